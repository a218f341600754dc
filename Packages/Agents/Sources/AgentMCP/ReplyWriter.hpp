#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "AgentMCP/ToolCallScan.hpp"
#include "AgentWire/LineBuffer.hpp"

namespace AgentMCP {

// Writes reply lines to the MCP client's standard output without ever waiting for the client:
// the descriptor is made non-blocking and what does not fit now stays pending, in order, to be
// written when poll says there is room. Each reply leaves whole and in one piece of the stream.
class ReplyWriter {
public:
    enum class Status { written, pending, closed };

    // A writer on `fd`, made non-blocking until `restore` or destruction. Never closes `fd`.
    explicit ReplyWriter(int fd);
    ~ReplyWriter();
    ReplyWriter(const ReplyWriter&) = delete;
    ReplyWriter& operator=(const ReplyWriter&) = delete;

    // Queues `reply` and a line feed; nothing is written until `flush`.
    void add(std::string reply);
    // Queues a reply of the fast road whose content lies in `line`: the line is kept (and its
    // storage given back) until the reply's last byte is written; the other parts are copied.
    void add(const ToolCallScan::Reply& reply, AgentWire::LineBuffer::Line line);
    // Writes what fits now. `closed` once the reader has gone (or the descriptor fails).
    Status flush();
    // Writes everything, waiting as long as the reader takes.
    Status flushAll();

    int fd() const { return fd_; }
    size_t pendingBytes() const { return pendingBytes_; }
    bool closed() const { return closed_; }

    // Gives `fd` back its own blocking mode (before a re-execution), and takes it again.
    void restore();
    void takeOver();

private:
    int fd_;
    int originalFlags_ = -1;
    // A fast-road reply's content, which lies in `line`, and where in `text` it goes.
    struct Held {
        size_t at = 0;
        std::string_view content;
        AgentWire::LineBuffer::Line line;
    };
    // One reply: `text` and a line feed, or `text` around held content (a burst of small
    // replies keeps these entries small).
    struct Pending {
        std::string text;
        std::unique_ptr<Held> held;
        size_t size() const { return text.size() + (held ? held->content.size() : 1); }
    };

    std::deque<Pending> pending_;
    size_t frontWritten_ = 0;  // of the first pending reply
    size_t pendingBytes_ = 0;
    bool closed_ = false;
};

}  // namespace AgentMCP
