#include "AgentWire/FileDescriptor.hpp"

#include <unistd.h>

namespace AgentWire {

int FileDescriptor::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::reset(int fd) noexcept {
    // Never retried on EINTR: the descriptor is gone either way, and its number may already
    // belong to another thread's file.
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

}  // namespace AgentWire
