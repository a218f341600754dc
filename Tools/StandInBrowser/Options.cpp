#include "Options.hpp"

#include <charconv>

namespace StandIn {

const char* const usage =
    "usage: bosken-standin --socket PATH [--log FILE] [--pending N] [--deny | --deny-reason TEXT]\n"
    "       [--stop-at hello|between|call [--stop-reason TEXT]] [--silent] [--silent-hello]\n"
    "       [--close-mid-line] [--garbage] [--overlong] [--late MS] [--wrong-id]\n"
    "       [--result-bytes N] [--close-after-calls K] [--raw-text JSONSTRING]";

namespace {

template <class T> std::optional<T> number(const std::string& text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

}  // namespace

std::variant<Options, std::string> Options::parse(const std::vector<std::string>& arguments) {
    Options options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= arguments.size()) return std::nullopt;
            return arguments[++i];
        };
        auto flag = [&](const char* name, bool& target) {
            if (option != name) return false;
            target = true;
            return true;
        };
        if (flag("--deny", options.deny) || flag("--silent", options.silent) ||
            flag("--silent-hello", options.silentHello) || flag("--close-mid-line", options.closeMidLine) ||
            flag("--garbage", options.garbage) || flag("--overlong", options.overlong) ||
            flag("--wrong-id", options.wrongID)) {
            continue;
        }
        bool takesValue = option == "--socket" || option == "--log" || option == "--pending" ||
                          option == "--deny-reason" || option == "--stop-at" || option == "--stop-reason" ||
                          option == "--late" || option == "--result-bytes" || option == "--close-after-calls" ||
                          option == "--raw-text";
        if (!takesValue) return "unknown option " + option;
        auto text = value();
        if (!text) return option + " needs a value";
        if (option == "--socket") {
            options.socketPath = *text;
        } else if (option == "--log") {
            options.logPath = *text;
        } else if (option == "--deny-reason") {
            options.deny = true;
            options.denyReason = *text;
        } else if (option == "--raw-text") {
            options.rawText = *text;
        } else if (option == "--stop-reason") {
            options.stopReason = *text;
        } else if (option == "--stop-at") {
            if (*text == "hello") {
                options.stopAt = StopAt::hello;
            } else if (*text == "between") {
                options.stopAt = StopAt::between;
            } else if (*text == "call") {
                options.stopAt = StopAt::call;
            } else {
                return "--stop-at takes hello, between or call";
            }
        } else if (option == "--result-bytes") {
            auto n = number<size_t>(*text);
            if (!n) return option + " needs a whole number";
            options.resultBytes = *n;
        } else {
            auto n = number<int>(*text);
            if (!n) return option + " needs a whole number";
            if (option == "--pending") options.pending = *n;
            if (option == "--late") options.lateMilliseconds = *n;
            if (option == "--close-after-calls") options.closeAfterCalls = *n;
        }
    }
    if (options.socketPath.empty()) return std::string("--socket PATH is required");
    return options;
}

}  // namespace StandIn
