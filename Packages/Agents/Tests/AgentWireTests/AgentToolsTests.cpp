#include <gtest/gtest.h>

#include "AgentWire/AgentTools.hpp"

using AgentWire::JSON;
namespace AgentTools = AgentWire::AgentTools;

namespace {

// The schemas hold together: every required argument is described, nothing else is accepted.
TEST(AgentTools, SchemasAreClosedObjectsWhoseRequiredArgumentsExist) {
    for (const JSON& d : AgentTools::definitions()) {
        SCOPED_TRACE(*d["name"]->string());
        const JSON& schema = *d["inputSchema"];
        EXPECT_EQ(*schema["type"], JSON("object"));
        EXPECT_EQ(*schema["additionalProperties"], JSON(false));
        for (const auto& name : *schema["required"]->array()) EXPECT_TRUE((*schema["properties"])[*name.string()]) << name.data();
    }
}

// Clients weigh a call by these: every hint is given (a missing one reads as destructive and
// open-world), only the three readers are read-only, and only what can submit a form is destructive.
TEST(AgentTools, TitlesAndEveryHint) {
    std::vector<std::string> readOnly, destructive;
    for (const JSON& d : AgentTools::definitions()) {
        const std::string& name = *d["name"]->string();
        EXPECT_FALSE(d["title"]->string()->empty()) << name;
        const JSON& hints = *d["annotations"];
        for (const char* hint : {"readOnlyHint", "destructiveHint", "idempotentHint", "openWorldHint"})
            ASSERT_TRUE(hints[hint] && hints[hint]->boolValue()) << name << " " << hint;
        if (*hints["readOnlyHint"]->boolValue()) readOnly.push_back(name);
        if (*hints["destructiveHint"]->boolValue()) destructive.push_back(name);
    }
    EXPECT_EQ(readOnly, (std::vector<std::string>{"list_agent_tabs", "read_page", "screenshot_tab"}));
    EXPECT_EQ(destructive, (std::vector<std::string>{"click", "type"}));
}

}  // namespace
