#pragma once

namespace AgentWire {

// Owns one open file descriptor and closes it exactly once: when it goes away, is reset or is
// assigned another. Moving hands the descriptor on; copying is impossible.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const noexcept { return fd_; }
    // Whether a descriptor is held (a negative one never is).
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

}  // namespace AgentWire
