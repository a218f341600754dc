#include <gtest/gtest.h>
#include "AgentWire/JSON.hpp"
using AgentWire::JSON;
TEST(JSONTest, Smoke) { EXPECT_EQ(JSON::parsed("{\"b\":1,\"a\":[true,null,\"x\"]}")->data(), "{\"a\":[true,null,\"x\"],\"b\":1}"); }
