#include "Tabs.hpp"

#include <algorithm>

namespace StandIn {

using AgentWire::JSON;

namespace {

// A real 16×12 PNG: a window with a blue title bar and a ruled page.
constexpr const char* screenshotPNG =
    "iVBORw0KGgoAAAANSUhEUgAAABAAAAAMCAIAAADkharWAAAAJklEQVR42mOwyltKEmKgvYYTJ07MIhoAFYM0/CcakKthRDqJJAAA9zumevhUi2gAAAAASUVORK5CYII=";

JSON text(std::string value) { return JSON::object({{"type", "text"}, {"text", std::move(value)}}); }

Tabs::Outcome failure(std::string message) { return {{text(std::move(message))}, true}; }

std::string stringArgument(const JSON& arguments, const char* name) {
    const JSON* value = arguments[name];
    const std::string* s = value ? value->string() : nullptr;
    return s ? *s : std::string();
}

bool boolArgument(const JSON& arguments, const char* name) {
    const JSON* value = arguments[name];
    return value && value->boolValue().value_or(false);
}

std::string hostOf(const std::string& url) {
    auto start = url.find("://");
    start = start == std::string::npos ? 0 : start + 3;
    auto end = url.find_first_of("/?#", start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

Tabs::Tab* Tabs::find(const JSON& arguments, std::string& missing) {
    std::string id = stringArgument(arguments, "tab");
    auto it = std::find_if(tabs_.begin(), tabs_.end(), [&](const Tab& t) { return t.id == id; });
    if (it != tabs_.end()) return &*it;
    missing = id.empty() ? "This tool needs a tab id from open_tab or list_agent_tabs."
                         : "No tab \"" + id + "\" among your tabs. Use list_agent_tabs to see them.";
    return nullptr;
}

Tabs::Outcome Tabs::run(const std::string& tool, const JSON& arguments) {
    std::string missing;
    if (tool == "open_tab") {
        std::string url = stringArgument(arguments, "url");
        if (url.empty()) return failure("open_tab needs a url.");
        if (url.find("://") == std::string::npos) url = "https://" + url;
        Tab tab{"tab-" + std::to_string(++opened_), url, "Stand-in page at " + hostOf(url)};
        tabs_.push_back(tab);
        return {{text(tab.id)}, false};
    }
    if (tool == "list_agent_tabs") {
        JSON::Array list;
        for (const Tab& t : tabs_) {
            list.push_back(JSON::object({{"id", t.id}, {"url", t.url}, {"title", t.title}, {"loading", false}}));
        }
        return {{text(JSON(std::move(list)).data())}, false};
    }
    if (tool == "read_page") {
        Tab* tab = find(arguments, missing);
        if (!tab) return failure(missing);
        std::string page = "Title: " + tab->title + "\nURL: " + tab->url + "\n\n" + tab->title +
                           "\nThis page is served by the stand-in browser for development.\n"
                           "Search: [input#q]\n\nAccessibility summary:\n"
                           "- heading level 1 \"" + tab->title + "\" (h1)\n"
                           "- landmark main (main)\n"
                           "- textbox \"Search\" (#q)\n"
                           "- button \"Go\" (form > button)\n"
                           "- link \"More information\" (a.more)";
        int64_t maxText = 20000;
        if (const JSON* m = arguments["maxText"]) maxText = std::max<int64_t>(0, m->intValue().value_or(maxText));
        if (page.size() > static_cast<size_t>(maxText)) page.resize(static_cast<size_t>(maxText));
        return {{text(std::move(page))}, false};
    }
    if (tool == "screenshot_tab") {
        if (!find(arguments, missing)) return failure(missing);
        return {{JSON::object({{"type", "image"}, {"mimeType", "image/png"}, {"data", screenshotPNG}})}, false};
    }
    if (tool == "click") {
        Tab* tab = find(arguments, missing);
        if (!tab) return failure(missing);
        std::string selector = stringArgument(arguments, "selector");
        if (selector.empty()) return failure("click needs a selector.");
        return {{text("Clicked " + selector + " in " + tab->id + ".")}, false};
    }
    if (tool == "type") {
        Tab* tab = find(arguments, missing);
        if (!tab) return failure(missing);
        std::string selector = stringArgument(arguments, "selector");
        if (selector.empty()) return failure("type needs a selector.");
        std::string typed = stringArgument(arguments, "text");
        std::string done = "Typed " + std::to_string(typed.size()) + " characters into " + selector + " in " +
                           tab->id + (boolArgument(arguments, "clear") ? ", replacing its text" : "") +
                           (boolArgument(arguments, "submit") ? ", and submitted the form." : ".");
        return {{text(std::move(done))}, false};
    }
    if (tool == "close_tab") {
        Tab* tab = find(arguments, missing);
        if (!tab) return failure(missing);
        std::string id = tab->id;
        tabs_.erase(tabs_.begin() + (tab - tabs_.data()));
        return {{text("Closed " + id + ".")}, false};
    }
    return failure("Unknown tool \"" + tool + "\".");
}

}  // namespace StandIn
