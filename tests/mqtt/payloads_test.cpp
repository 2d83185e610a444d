// The board's state JSON and its Home Assistant discovery config, compared
// as parsed JSON with documents written out by hand.
#include "mqtt/payloads.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {

using namespace tarnwick::mqtt;
using namespace std::chrono;

QJsonObject parsed(const std::string& json) {
    QJsonParseError error;
    const auto document = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
    return document.object();
}

RelayNames some_names() {
    RelayNames names;
    for (int i = 0; i < relay_count; ++i) names[i] = "第" + std::to_string(i + 1) + "路";
    names[0] = "进水泵";
    names[1] = "";  // missing from name.txt
    return names;
}

TEST(BoardStateJson, AddressStatesNamesAndTimeOfTheAnswer) {
    BoardState state;
    state.address = 7;
    state.relays = 0x8005;  // relays 1, 3 and 16
    state.names = some_names();
    // 2025-03-01T08:15:02.250Z
    state.answered = system_clock::time_point(milliseconds(1740816902250));
    const char* expected = R"({
        "address": 7,
        "states": ["ON", "OFF", "ON", "OFF", "OFF", "OFF", "OFF", "OFF",
                   "OFF", "OFF", "OFF", "OFF", "OFF", "OFF", "OFF", "ON"],
        "names": ["进水泵", "Relay 2", "第3路", "第4路", "第5路", "第6路", "第7路", "第8路",
                  "第9路", "第10路", "第11路", "第12路", "第13路", "第14路", "第15路", "第16路"],
        "time": "2025-03-01T08:15:02.250Z"
    })";
    EXPECT_EQ(parsed(board_state_json(state)), parsed(expected));
}

TEST(DiscoveryJson, OneDeviceWithSixteenSwitches) {
    const QJsonObject config = parsed(discovery_json("cab1", 7, some_names(), "0.1"));
    // The shared part of a device-based discovery payload: device, origin,
    // availability of the cabinet and of the board, both needed.
    const char* shared = R"({
        "dev": {"identifiers": ["tarnwick_cab1_7"], "name": "cab1 board 7",
                "model": "16-channel relay board", "sw_version": "0.1"},
        "o": {"name": "tarnwick", "sw_version": "0.1"},
        "availability": [
            {"topic": "tarnwick/cab1/status",
             "payload_available": "online", "payload_not_available": "offline"},
            {"topic": "tarnwick/cab1/7/availability",
             "payload_available": "online", "payload_not_available": "offline"}],
        "availability_mode": "all",
        "qos": 1
    })";
    QJsonObject without_components = config;
    without_components.remove("cmps");
    EXPECT_EQ(without_components, parsed(shared));

    const QJsonObject components = config["cmps"].toObject();
    EXPECT_EQ(components.size(), relay_count);
    EXPECT_EQ(components["r3"].toObject(), parsed(R"({
        "p": "switch", "name": "第3路", "unique_id": "tarnwick_cab1_7_r3",
        "command_topic": "tarnwick/cab1/7/relay/3/set",
        "state_topic": "tarnwick/cab1/7/relay/3/state",
        "payload_on": "ON", "payload_off": "OFF",
        "optimistic": false, "retain": false, "qos": 1
    })"));
    QSet<QString> unique_ids;
    for (int n = 1; n <= relay_count; ++n) {
        const QString r = QString::number(n);
        const QJsonObject c = components["r" + r].toObject();
        EXPECT_EQ(c["p"].toString(), "switch") << n;
        EXPECT_EQ(c["command_topic"].toString(), "tarnwick/cab1/7/relay/" + r + "/set") << n;
        EXPECT_EQ(c["state_topic"].toString(), "tarnwick/cab1/7/relay/" + r + "/state") << n;
        EXPECT_EQ(c["optimistic"], QJsonValue(false)) << n;
        EXPECT_EQ(c["retain"], QJsonValue(false)) << n;
        unique_ids.insert(c["unique_id"].toString());
    }
    EXPECT_EQ(unique_ids.size(), relay_count);
    EXPECT_EQ(components["r1"]["name"].toString(), "进水泵");
    EXPECT_EQ(components["r2"]["name"].toString(), "Relay 2");

    // A relay with a pulse length gets a button beside its switch; a cabinet
    // that takes no sets gets none.
    PulseLengths pulses;
    pulses[2] = 1500;
    const QJsonObject pulsed = parsed(discovery_json("cab1", 7, some_names(), "0.1", true, pulses));
    EXPECT_EQ(pulsed["cmps"].toObject().size(), relay_count + 1);
    EXPECT_EQ(pulsed["cmps"]["p3"].toObject(), parsed(R"({
        "p": "button", "name": "第3路 pulse", "unique_id": "tarnwick_cab1_7_p3",
        "command_topic": "tarnwick/cab1/7/relay/3/pulse", "payload_press": "1.5",
        "retain": false, "qos": 1
    })"));
    EXPECT_EQ(parsed(discovery_json("cab1", 7, some_names(), "0.1", false, pulses))["cmps"]
                  .toObject()
                  .size(),
              relay_count);

    // A cabinet that takes no sets: the same relays as binary sensors, with
    // nothing to command.
    const QJsonObject read_only = parsed(discovery_json("cab1", 7, some_names(), "0.1", false));
    EXPECT_EQ(read_only["cmps"]["r3"].toObject(), parsed(R"({
        "p": "binary_sensor", "name": "第3路", "unique_id": "tarnwick_cab1_7_r3",
        "state_topic": "tarnwick/cab1/7/relay/3/state",
        "payload_on": "ON", "payload_off": "OFF", "qos": 1
    })"));
    EXPECT_EQ(read_only["cmps"].toObject().size(), relay_count);

    // Components that go: each is its platform alone; the device stays.
    for (const bool switches : {true, false}) {
        const QJsonObject removal = parsed(discovery_removal_json("cab1", 7, "0.1", switches));
        QJsonObject shared_part = removal;
        shared_part.remove("cmps");
        EXPECT_EQ(shared_part, parsed(shared));
        const QJsonObject cmps = removal["cmps"].toObject();
        EXPECT_EQ(cmps.size(), relay_count);
        const QJsonObject alone{{"p", switches ? "switch" : "binary_sensor"}};
        for (int n = 1; n <= relay_count; ++n)
            EXPECT_EQ(cmps["r" + QString::number(n)].toObject(), alone) << n;
    }
}

// A board's discrete inputs as Home Assistant's MQTT binary sensors: read
// only (no command_topic), ON/OFF as payload_on/payload_off, one unique_id
// each, on the device of the relays.
TEST(DiscoveryJson, EachInputIsABinarySensor) {
    struct Row {
        bool switchable;
        int inputs;
    };
    for (const Row& row : {Row{true, 0}, Row{true, 8}, Row{false, 16}, Row{true, 1}}) {
        const QJsonObject cmps = parsed(discovery_json("cab1", 7, some_names(), "0.1",
                                                       row.switchable, {}, row.inputs))["cmps"]
                                     .toObject();
        EXPECT_EQ(cmps.size(), relay_count + row.inputs) << row.inputs;
        EXPECT_FALSE(cmps.contains("i" + QString::number(row.inputs + 1))) << row.inputs;
        for (int n = 1; n <= row.inputs; ++n) {
            const QString expected = QString(R"({
                "p": "binary_sensor", "name": "Input %1", "unique_id": "tarnwick_cab1_7_i%1",
                "state_topic": "tarnwick/cab1/7/input/%1",
                "payload_on": "ON", "payload_off": "OFF", "qos": 1
            })")
                                         .arg(n);
            EXPECT_EQ(cmps["i" + QString::number(n)].toObject(), parsed(expected.toStdString()))
                << n;
        }
    }
}

// Scenes and schedules: one device of the node, available with the cabinet;
// keys as Home Assistant's MQTT scene and switch document them.
TEST(TimekeepingDiscoveryJson, AScenePerSceneAndASwitchPerSchedule) {
    const QJsonObject config =
        parsed(timekeeping_discovery_json("cab1", "0.1", {"night"}, {"pump_am", "lights"}));
    EXPECT_EQ(config, parsed(R"({
        "dev": {"identifiers": ["tarnwick_cab1_timekeeping"], "name": "cab1 scenes and schedules",
                "model": "scenes and schedules", "sw_version": "0.1"},
        "o": {"name": "tarnwick", "sw_version": "0.1"},
        "availability": [
            {"topic": "tarnwick/cab1/status",
             "payload_available": "online", "payload_not_available": "offline"}],
        "availability_mode": "all",
        "qos": 1,
        "cmps": {
            "scene_night": {"p": "scene", "name": "night", "unique_id": "tarnwick_cab1_scene_night",
                            "command_topic": "tarnwick/cab1/scene/night/set",
                            "payload_on": "ON", "retain": false, "qos": 1},
            "schedule_pump_am": {"p": "switch", "name": "pump_am",
                                 "unique_id": "tarnwick_cab1_schedule_pump_am",
                                 "state_topic": "tarnwick/cab1/schedule/pump_am",
                                 "command_topic": "tarnwick/cab1/schedule/pump_am/set",
                                 "payload_on": "ON", "payload_off": "OFF",
                                 "optimistic": false, "retain": false, "qos": 1},
            "schedule_lights": {"p": "switch", "name": "lights",
                                "unique_id": "tarnwick_cab1_schedule_lights",
                                "state_topic": "tarnwick/cab1/schedule/lights",
                                "command_topic": "tarnwick/cab1/schedule/lights/set",
                                "payload_on": "ON", "payload_off": "OFF",
                                "optimistic": false, "retain": false, "qos": 1}
        }
    })"));

    // Read-only: no scenes, schedules shown but not switched.
    const QJsonObject read_only =
        parsed(timekeeping_discovery_json("cab1", "0.1", {"night"}, {"lights"}, false))["cmps"]
            .toObject();
    EXPECT_EQ(read_only, parsed(R"({
        "schedule_lights": {"p": "binary_sensor", "name": "lights",
                            "unique_id": "tarnwick_cab1_schedule_lights",
                            "state_topic": "tarnwick/cab1/schedule/lights",
                            "payload_on": "ON", "payload_off": "OFF", "qos": 1}
    })"));
    // Nothing to show: no config at all.
    EXPECT_EQ(timekeeping_discovery_json("cab1", "0.1", {}, {}), "");
    EXPECT_EQ(timekeeping_discovery_json("cab1", "0.1", {"night"}, {}, false), "");
}

// An entity that went is sent as its platform alone, once.
TEST(DiscoveryWithRemovals, EachComponentGoneAsItsPlatformAlone) {
    const std::string earlier =
        timekeeping_discovery_json("cab1", "0.1", {"night", "day"}, {"lights", "pump_am"});
    const std::string now = timekeeping_discovery_json("cab1", "0.1", {"night"}, {"lights"});
    QJsonObject expected = parsed(now);
    QJsonObject cmps = expected["cmps"].toObject();
    cmps.insert("scene_day", QJsonObject{{"p", "scene"}});
    cmps.insert("schedule_pump_am", QJsonObject{{"p", "switch"}});
    expected.insert("cmps", cmps);
    const std::string removal = discovery_with_removals(now, earlier);
    EXPECT_EQ(parsed(removal), expected);
    // The removal itself, coming back from the broker, removes nothing more.
    EXPECT_EQ(discovery_with_removals(now, removal), "");
    EXPECT_EQ(discovery_with_removals(now, now), "");
    EXPECT_EQ(discovery_with_removals(earlier, now), "");
}

}  // namespace
