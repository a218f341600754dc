#pragma once

#include <string>
#include <vector>

#include "AgentWire/JSON.hpp"

namespace StandIn {

// One agent's tabs on one connection, and the seven tools acting on them.
class Tabs {
public:
    struct Outcome {
        std::vector<AgentWire::JSON> content;
        bool isError = false;
    };

    // Runs `tool` with `arguments`; unknown tabs and tools are error outcomes.
    Outcome run(const std::string& tool, const AgentWire::JSON& arguments);

private:
    struct Tab {
        std::string id;
        std::string url;
        std::string title;
    };
    std::vector<Tab> tabs_;
    int opened_ = 0;

    Tab* find(const AgentWire::JSON& arguments, std::string& missing);
};

}  // namespace StandIn
