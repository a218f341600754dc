#include <gtest/gtest.h>

#include "AgentWire/AgentTools.hpp"

using AgentWire::JSON;
namespace AgentTools = AgentWire::AgentTools;

namespace {

std::vector<std::string> strings(const JSON& array) {
    std::vector<std::string> out;
    for (const auto& e : *array.array()) out.push_back(*e.string());
    return out;
}

TEST(AgentTools, SevenToolsInCatalogueOrder) {
    EXPECT_EQ(AgentTools::names(), (std::vector<std::string>{"open_tab", "list_agent_tabs", "read_page", "screenshot_tab",
                                                             "click", "type", "close_tab"}));
    EXPECT_EQ(AgentTools::names(),
              (std::vector<std::string>{std::string(AgentTools::openTab), std::string(AgentTools::listTabs),
                                        std::string(AgentTools::readPage), std::string(AgentTools::screenshotTab),
                                        std::string(AgentTools::click), std::string(AgentTools::type),
                                        std::string(AgentTools::closeTab)}));
}

TEST(AgentTools, SchemasAndAnnotations) {
    struct Expected {
        std::vector<std::string> properties;
        std::vector<std::string> required;
    };
    const std::vector<Expected> expected = {
        {{"newWindow", "url"}, {"url"}},
        {{}, {}},
        {{"maxText", "tab"}, {"tab"}},
        {{"tab"}, {"tab"}},
        {{"selector", "tab"}, {"tab", "selector"}},
        {{"clear", "selector", "submit", "tab", "text"}, {"tab", "selector", "text"}},
        {{"tab"}, {"tab"}},
    };
    const auto& definitions = AgentTools::definitions();
    ASSERT_EQ(definitions.size(), expected.size());
    for (size_t i = 0; i < definitions.size(); ++i) {
        const JSON& d = definitions[i];
        SCOPED_TRACE(*d["name"]->string());
        const JSON& schema = *d["inputSchema"];
        EXPECT_EQ(schema.object()->size(), 4u);
        EXPECT_EQ(*schema["type"], JSON("object"));
        EXPECT_EQ(*schema["additionalProperties"], JSON(false));
        EXPECT_EQ(strings(*schema["required"]), expected[i].required);
        std::vector<std::string> properties;
        for (const auto& m : *schema["properties"]->object()) properties.push_back(m.key);
        std::sort(properties.begin(), properties.end());
        EXPECT_EQ(properties, expected[i].properties);
        for (const auto& m : *schema["properties"]->object()) {
            if (*d["name"]->string() == "type" && m.key == "text") {
                EXPECT_EQ(m.value, JSON::object({{"type", "string"}}));
            } else {
                EXPECT_TRUE(m.value["description"]) << m.key;
            }
        }
    }
}

// Clients weigh a call by these: every hint is given (a missing one reads as destructive and
// open-world), only the three readers are read-only, and only what can submit a form is destructive.
TEST(AgentTools, TitlesAndEveryHint) {
    std::vector<std::string> readOnly, destructive;
    for (const JSON& d : AgentTools::definitions()) {
        const std::string& name = *d["name"]->string();
        ASSERT_TRUE(d["title"] && d["title"]->string()) << name;
        EXPECT_FALSE(d["title"]->string()->empty()) << name;
        const JSON* hints = d["annotations"];
        ASSERT_TRUE(hints && hints->object()) << name;
        EXPECT_EQ(hints->object()->size(), 4u) << name;
        for (const char* hint : {"readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"}) {
            ASSERT_TRUE((*hints)[hint] && (*hints)[hint]->boolValue()) << name << " " << hint;
        }
        if (*(*hints)["readOnlyHint"]->boolValue()) readOnly.push_back(name);
        if (*(*hints)["destructiveHint"]->boolValue()) destructive.push_back(name);
    }
    EXPECT_EQ(readOnly, (std::vector<std::string>{"list_agent_tabs", "read_page", "screenshot_tab"}));
    EXPECT_EQ(destructive, (std::vector<std::string>{"click", "type"}));
}

TEST(AgentTools, SharedTabArgumentAndTextLengths) {
    const JSON tab = *(*AgentTools::definitions()[2]["inputSchema"])["properties"]->object()->find("tab");
    EXPECT_EQ(tab, JSON::object({{"type", "string"}, {"description", "A tab id from open_tab or list_agent_tabs, like \"tab-1\"."}}));
    EXPECT_EQ(tab["description"]->string()->size(), 56u);
    for (size_t i : {3, 4, 5, 6}) {
        EXPECT_EQ(*(*AgentTools::definitions()[i]["inputSchema"])["properties"]->object()->find("tab"), tab);
    }
    EXPECT_EQ(AgentTools::instructions.size(), 517u);
    EXPECT_EQ(AgentTools::instructions.find('\n'), std::string_view::npos);
}

}  // namespace
