#pragma once

#include <string>

namespace AgentSetup {

// Why planning or applying a registration failed; `message()` is the sentence for the user.
struct AgentInstallError {
    enum class Kind {
        notInstalled,       // path: the helper path, at no place an agent can keep starting
        unreadableConfig,   // path, why
        unsupportedLayout,  // path, why
        changedSinceShown,  // path
        backupFailed,       // path, why
        writeFailed,        // path, why
        commandFailed,      // why: the failed command's message
        notApplied,         // path
        notRemoved,         // path
    };
    Kind kind = Kind::notInstalled;
    std::string path;
    std::string why;

    static AgentInstallError notInstalled(std::string helperPath) { return {Kind::notInstalled, std::move(helperPath), {}}; }
    static AgentInstallError unreadableConfig(std::string path, std::string why) {
        return {Kind::unreadableConfig, std::move(path), std::move(why)};
    }
    static AgentInstallError unsupportedLayout(std::string path, std::string why) {
        return {Kind::unsupportedLayout, std::move(path), std::move(why)};
    }
    static AgentInstallError changedSinceShown(std::string path) { return {Kind::changedSinceShown, std::move(path), {}}; }
    static AgentInstallError backupFailed(std::string path, std::string why) {
        return {Kind::backupFailed, std::move(path), std::move(why)};
    }
    static AgentInstallError writeFailed(std::string path, std::string why) {
        return {Kind::writeFailed, std::move(path), std::move(why)};
    }
    static AgentInstallError commandFailed(std::string text) { return {Kind::commandFailed, {}, std::move(text)}; }
    static AgentInstallError notApplied(std::string path) { return {Kind::notApplied, std::move(path), {}}; }
    static AgentInstallError notRemoved(std::string path) { return {Kind::notRemoved, std::move(path), {}}; }

    std::string message() const;

    friend bool operator==(const AgentInstallError&, const AgentInstallError&) = default;
};

}  // namespace AgentSetup
