#pragma once

#include <string>
#include <string_view>

#include "Options.hpp"
#include "Tabs.hpp"

namespace StandIn {

// Plays the browser's side of one helper connection: hello, the approval answer, then one
// result per call, misbehaving as the options ask.
class Connection {
public:
    // Logged when the helper sent something while a late call was still unanswered.
    static constexpr std::string_view lateOverlapMark = "<sent while a call was in flight>";

    // `number` counts connections from 1; `logFD` is -1 when nothing is logged.
    Connection(const Options& options, int fd, int number, int logFD);

    // Serves until the helper closes, the options call for a close, or a write fails.
    void serve();

private:
    enum class Stage { hello, ignoring, ready };

    const Options& options_;
    int fd_;
    int number_;
    int logFD_;
    Stage stage_ = Stage::hello;
    Tabs tabs_;
    int answered_ = 0;
    bool linesWaiting_ = false;  // more lines were read with the one being handled

    // Each returns false when the connection should end.
    bool handle(std::string_view line);
    bool handleHello();
    bool handleCall(int64_t id, const std::string& tool, const AgentWire::JSON& arguments);
    void waitLate();
    bool send(std::string_view bytes);
    bool sendStopped();
    std::string stoppedLine() const;
    void log(std::string_view line);
};

}  // namespace StandIn
