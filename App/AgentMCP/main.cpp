#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "AgentMCP/MCPMain.hpp"

extern char** environ;

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    std::map<std::string, std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string text = *entry;
        auto eq = text.find('=');
        if (eq == std::string::npos) continue;
        environment.emplace(text.substr(0, eq), text.substr(eq + 1));
    }
    std::exit(AgentMCP::MCPMain::run(arguments, environment));
}
