// The cabinet's topics, and what a message on its command subscription may do.
#include "mqtt/topics.h"

#include <gtest/gtest.h>

namespace {

using namespace tarnwick::mqtt;

TEST(Topics, TheTopicTable) {
    struct {
        std::string topic;
        const char* expected;
    } cases[] = {
        {node_status_topic("cab1"), "tarnwick/cab1/status"},
        {availability_topic("cab1", 7), "tarnwick/cab1/7/availability"},
        {relay_state_topic("cab1", 7, 3), "tarnwick/cab1/7/relay/3/state"},
        {relay_state_topic("cab1", 0, 16), "tarnwick/cab1/0/relay/16/state"},
        {board_state_topic("cab1", 255), "tarnwick/cab1/255/state"},
        {input_state_topic("cab1", 7, 1), "tarnwick/cab1/7/input/1"},
        {input_state_topic("cab1", 247, 16), "tarnwick/cab1/247/input/16"},
        {relay_set_topic("cab1", 7, 3), "tarnwick/cab1/7/relay/3/set"},
        {board_error_topic("cab1", 7), "tarnwick/cab1/7/error"},
        {node_error_topic("cab1"), "tarnwick/cab1/error"},
        {set_filter("cab1"), "tarnwick/cab1/+/relay/+/set"},
        {device_id("cab-1", 20), "tarnwick_cab-1_20"},
        {discovery_topic("cab1", 7), "homeassistant/device/tarnwick_cab1_7/config"},
        {scene_set_topic("cab1", "night"), "tarnwick/cab1/scene/night/set"},
        {scene_filter("cab1"), "tarnwick/cab1/scene/+/set"},
        {schedule_state_topic("cab1", "pump_am"), "tarnwick/cab1/schedule/pump_am"},
        {schedule_set_topic("cab1", "pump-am"), "tarnwick/cab1/schedule/pump-am/set"},
        {schedule_filter("cab1"), "tarnwick/cab1/schedule/+/set"},
        {timekeeping_discovery_topic("cab-1"),
         "homeassistant/device/tarnwick_cab-1_timekeeping/config"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.topic, c.expected);
}

struct SetCase {
    const char* what;
    std::string topic;
    std::string payload;
    bool retained;
    std::optional<SetCommand> command;  // else refused:
    const char* error_topic;
    const char* reason;  // part of the refusal's text
};

TEST(ReadSet, OnlyFreshExactSetsOfServedBoardsSwitch) {
    const std::vector<std::uint8_t> boards{1, 7, 20, 21, 22, 23};
    const std::string base = "tarnwick/cab1/";
    const char* board7 = "tarnwick/cab1/7/error";
    const char* node = "tarnwick/cab1/error";
    const std::string junk(1024, 'j');
    const SetCase cases[] = {
        {"ON", base + "7/relay/3/set", "ON", false, SetCommand{7, 3, true, {}}, nullptr, nullptr},
        {"OFF", base + "7/relay/16/set", "OFF", false, SetCommand{7, 16, false, {}}, nullptr,
         nullptr},
        {"range", base + "22/relay/1/set", "ON", false, SetCommand{22, 1, true, {}}, nullptr,
         nullptr},
        // A pulse: seconds, 0.1 .. 86400.
        {"pulse", base + "7/relay/5/pulse", "1.5", false, SetCommand{7, 5, true, 1500}, nullptr,
         nullptr},
        {"pulse of a day", base + "7/relay/5/pulse", "86400", false,
         SetCommand{7, 5, true, 86'400'000}, nullptr, nullptr},
        {"pulse too short", base + "7/relay/5/pulse", "0.05", false, {}, board7, "0.1 .. 86400"},
        {"pulse too long", base + "7/relay/5/pulse", "86400.1", false, {}, board7, "0.1 .. 86400"},
        {"pulse ON", base + "7/relay/5/pulse", "ON", false, {}, board7, "0.1 .. 86400"},
        {"pulse negative", base + "7/relay/5/pulse", "-1", false, {}, board7, "0.1 .. 86400"},
        {"pulse exponent", base + "7/relay/5/pulse", "1e3", false, {}, board7, "0.1 .. 86400"},
        {"pulse retained", base + "7/relay/5/pulse", "2", true, {}, board7, "retained"},
        // The payload.
        {"lower case", base + "7/relay/3/set", "on", false, {}, board7, "\"on\""},
        {"empty", base + "7/relay/3/set", "", false, {}, board7, "exactly"},
        {"mixed case", base + "7/relay/3/set", "Off", false, {}, board7, "exactly"},
        {"blank after", base + "7/relay/3/set", "ON ", false, {}, board7, "exactly"},
        {"line break", base + "7/relay/3/set", "ON\n", false, {}, board7, "\"ON\\x0A\""},
        {"number", base + "7/relay/3/set", "1", false, {}, board7, "exactly"},
        {"1 KB of junk", base + "7/relay/3/set", junk, false, {}, board7, "(1024 bytes)"},
        {"bytes",
         base + "7/relay/3/set",
         std::string("\x01\xFF", 2),
         false,
         {},
         board7,
         "\"\\x01\\xFF\""},
        // The retain flag, even on a good command.
        {"retained", base + "7/relay/3/set", "ON", true, {}, board7, "retained"},
        // The relay.
        {"relay 17", base + "7/relay/17/set", "ON", false, {}, board7, "1..16"},
        {"relay 0", base + "7/relay/0/set", "ON", false, {}, board7, "1..16"},
        {"relay 03", base + "7/relay/03/set", "ON", false, {}, board7, "1..16"},
        {"relay x", base + "7/relay/x/set", "ON", false, {}, board7, "1..16"},
        {"no relay", base + "7/relay//set", "ON", false, {}, board7, "1..16"},
        // The board.
        {"not served",
         base + "9/relay/1/set",
         "ON",
         false,
         {},
         "tarnwick/cab1/9/error",
         "serves boards 1,7,20-23 only"},
        {"board 0", base + "0/relay/1/set", "ON", false, {}, "tarnwick/cab1/0/error", "serves"},
        {"address 256", base + "256/relay/1/set", "ON", false, {}, node, "0..255"},
        {"address 07", base + "07/relay/1/set", "ON", false, {}, node, "leading zeros"},
        {"address x", base + "x/relay/1/set", "ON", false, {}, node, "no board address"},
        {"address -1", base + "-1/relay/1/set", "ON", false, {}, node, "no board address"},
        // The shape.
        {"longer", base + "7/relay/3/set/x", "ON", false, {}, node, "not a command topic"},
        {"shorter", base + "7/relay/3", "ON", false, {}, node, "not a command topic"},
        {"other node", "tarnwick/cab2/7/relay/3/set", "ON", false, {}, node, "not a command"},
        {"relays", base + "7/relays/3/set", "ON", false, {}, node, "not a command topic"},
        {"leading slash", "/" + base + "7/relay/3/set", "ON", false, {}, node, "not a command"},
    };
    for (const auto& c : cases) {
        const auto result = read_set("cab1", boards, c.topic, c.payload, c.retained);
        if (c.command) {
            ASSERT_TRUE(std::holds_alternative<SetCommand>(result)) << c.what;
            EXPECT_EQ(std::get<SetCommand>(result), *c.command) << c.what;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<Refusal>(result)) << c.what;
        const auto& refusal = std::get<Refusal>(result);
        EXPECT_EQ(refusal.error_topic, c.error_topic) << c.what;
        EXPECT_NE(refusal.text.find(c.reason), std::string::npos) << c.what << ": " << refusal.text;
        EXPECT_LT(refusal.text.size(), 400u) << c.what;
    }
}

// The device of the scenes and schedules is never taken for a board's.
TEST(Topics, TheTimekeepingDeviceIsNoBoard) {
    EXPECT_EQ(discovery_address("cab1", timekeeping_discovery_topic("cab1")), std::nullopt);
    EXPECT_EQ(discovery_address("cab1", discovery_topic("cab1", 7)), 7);
}

struct TimekeepingCase {
    const char* what;
    std::string topic;
    std::string payload;
    bool retained;
    std::variant<SceneCommand, ScheduleCommand, const char*> expected;  // or part of the refusal
};

TEST(ReadTimekeeping, FreshSetsOfKnownNamesOnly) {
    const std::vector<std::string> scenes{"night", "all-off"};
    const std::vector<std::string> schedules{"pump_am", "lights"};
    const std::string base = "tarnwick/cab1/";
    const TimekeepingCase cases[] = {
        {"scene ON", base + "scene/night/set", "ON", false, SceneCommand{"night"}},
        // Any payload applies a scene: Home Assistant sends payload_on.
        {"scene empty", base + "scene/all-off/set", "", false, SceneCommand{"all-off"}},
        {"scene junk", base + "scene/night/set", "whatever", false, SceneCommand{"night"}},
        {"scene retained", base + "scene/night/set", "ON", true, "dropped a retained set"},
        {"scene unknown", base + "scene/day/set", "ON", false, "has scenes night, all-off only"},
        {"scene case", base + "scene/Night/set", "ON", false, "\"Night\""},
        {"scene empty name", base + "scene//set", "ON", false, "the scene \"\""},
        {"schedule ON", base + "schedule/pump_am/set", "ON", false,
         ScheduleCommand{"pump_am", true}},
        {"schedule OFF", base + "schedule/lights/set", "OFF", false,
         ScheduleCommand{"lights", false}},
        {"schedule on", base + "schedule/lights/set", "on", false, "only ON or OFF, exactly"},
        {"schedule 1", base + "schedule/lights/set", "1", false, "the payload \"1\""},
        {"schedule blank", base + "schedule/lights/set", "OFF ", false, "\"OFF \""},
        {"schedule empty", base + "schedule/lights/set", "", false, "the payload \"\""},
        {"schedule retained", base + "schedule/lights/set", "OFF", true, "dropped a retained"},
        {"schedule unknown", base + "schedule/night/set", "ON", false, "schedules pump_am, lights"},
        {"scene as schedule", base + "schedule/night/set", "ON", false, "the schedule \"night\""},
        {"state topic", base + "schedule/lights", "ON", false, "not a command topic"},
        {"longer", base + "scene/night/set/x", "ON", false, "not a command topic"},
        {"other node", "tarnwick/cab2/scene/night/set", "ON", false, "not a command topic"},
    };
    for (const auto& c : cases) {
        const auto result =
            read_timekeeping("cab1", scenes, schedules, c.topic, c.payload, c.retained);
        if (const auto* scene = std::get_if<SceneCommand>(&c.expected)) {
            ASSERT_TRUE(std::holds_alternative<SceneCommand>(result)) << c.what;
            EXPECT_EQ(std::get<SceneCommand>(result), *scene) << c.what;
        } else if (const auto* schedule = std::get_if<ScheduleCommand>(&c.expected)) {
            ASSERT_TRUE(std::holds_alternative<ScheduleCommand>(result)) << c.what;
            EXPECT_EQ(std::get<ScheduleCommand>(result), *schedule) << c.what;
        } else {
            ASSERT_TRUE(std::holds_alternative<Refusal>(result)) << c.what;
            const auto& refusal = std::get<Refusal>(result);
            EXPECT_EQ(refusal.error_topic, "tarnwick/cab1/error") << c.what;
            EXPECT_NE(refusal.text.find(std::get<const char*>(c.expected)), std::string::npos)
                << c.what << ": " << refusal.text;
            EXPECT_LT(refusal.text.size(), 400u) << c.what;
        }
    }
    // None offered at all.
    const auto none = read_timekeeping("cab1", {}, {}, base + "scene/night/set", "ON", false);
    ASSERT_TRUE(std::holds_alternative<Refusal>(none));
    EXPECT_NE(std::get<Refusal>(none).text.find("has no scenes"), std::string::npos);
}

}  // namespace
