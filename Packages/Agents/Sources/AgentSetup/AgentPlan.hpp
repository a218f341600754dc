#pragma once

#include <optional>
#include <string>

#include "AgentSetup/AgentApp.hpp"

namespace AgentSetup {

// What registering the helper in one app would do, worked out before anything is written. Holds
// the file as read (`original`) so the applier can tell whether it changed since it was shown.
struct AgentPlan {
    // What happens to the "bosken" entry: added, kept or replaced by install; removed, or
    // found absent, by uninstall.
    struct Change {
        enum class Kind { add, unchanged, replace, remove, absent };
        Kind kind = Kind::add;
        // For replace and remove: the command the entry starts now.
        std::string previous;
        // For unchanged and replace: the entry was turned off and is turned back on.
        bool enables = false;

        static Change add() { return {Kind::add, {}}; }
        static Change unchanged(bool enables = false) { return {Kind::unchanged, {}, enables}; }
        static Change replace(std::string previous, bool enables = false) {
            return {Kind::replace, std::move(previous), enables};
        }
        static Change remove(std::string previous) { return {Kind::remove, std::move(previous)}; }
        static Change absent() { return {Kind::absent, {}}; }

        // Whether anything is written.
        bool changesFile() const { return kind != Kind::absent && (kind != Kind::unchanged || enables); }

        friend bool operator==(const Change&, const Change&) = default;
    };

    // How the change is made.
    struct Method {
        enum class Kind { editFile, command };
        Kind kind = Kind::editFile;
        // For command: the `claude` executable to run.
        std::string executable;

        static Method editFile() { return {Kind::editFile, {}}; }
        static Method command(std::string executable) { return {Kind::command, std::move(executable)}; }

        friend bool operator==(const Method&, const Method&) = default;
    };

    AgentApp app;
    std::string helperPath;
    Change change;
    Method method;
    // The configuration file with every symbolic link resolved: the file read, compared and written.
    std::string configPath;
    bool createsFile = false;
    // Where the current file is copied first; none when it is created or nothing changes.
    std::optional<std::string> backupPath;
    // Shown before the change: the JSON snippet, the TOML table or the command line (for a
    // removal: what is removed).
    std::string preview;
    std::string summary;
    // The file's bytes when planned; none when there was no file.
    std::optional<std::string> original;
    // The whole new file for editFile; none for command.
    std::optional<std::string> result;

    friend bool operator==(const AgentPlan&, const AgentPlan&) = default;
};

}  // namespace AgentSetup
