// A bridge with scenes and schedules of a fake owner, on a broker of the
// test's own; a dashboard's client sends the sets and records what the bridge
// publishes (with the retain flag as published). The line has no device: the
// scenes and schedules need none.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

#include "mqtt/bridge.h"
#include "mqtt/topics.h"
#include "tests/support/broker.h"

namespace {

using namespace tarnwick;
using mqtt::Message;
using test::Broker;

constexpr int wait_ms = 5000;

class NoPort : public link::SerialPort {
  public:
    std::optional<link::PortProblem> open(const QString&) override { return std::nullopt; }
    void close() override {}
    bool is_open() const override { return false; }
    std::size_t discard_input() override { return 0; }
    void write(std::span<const std::uint8_t>) override {}
    std::size_t bytes_waiting() const override { return 0; }
    std::optional<std::uint8_t> read_byte() override { return std::nullopt; }
};

class Silent : public link::LinkMessages {
  public:
    void port_error(const QString&) override {}
};

// What the line's owner was asked, and schedules it changes by itself.
class FakeTimekeeping : public mqtt::Timekeeping {
  public:
    std::vector<std::string> scenes() const override { return {"night", "all-off"}; }
    std::vector<Schedule> schedules() const override { return kept; }
    void apply_scene(const std::string& name) override { applied.push_back(name); }
    void enable_schedule(const std::string& name, bool on) override {
        enabled.emplace_back(name, on);
    }
    void change(const std::string& name, bool on) {
        auto found = std::find_if(kept.begin(), kept.end(),
                                  [&](const Schedule& s) { return s.name == name; });
        if (found == kept.end()) found = kept.insert(kept.end(), {name, on});
        found->enabled = on;
        emit schedule_changed(QString::fromStdString(name), on);
    }

    std::vector<Schedule> kept{{"pump_am", true}, {"lights", false}};
    std::vector<std::string> applied;
    std::vector<std::pair<std::string, bool>> enabled;
};

QJsonObject parsed(const std::string& json) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
}

class BridgeTimekeeping : public ::testing::Test {
  protected:
    void SetUp() override {
        broker_ = std::make_unique<Broker>();
        line_ = std::make_unique<link::BoardLine>(port_, messages_, std::vector<std::uint8_t>{1});
    }
    void TearDown() override {
        if (bridge_) bridge_->stop();
        if (dashboard_) dashboard_->stop();
    }

    void start(bool read_only = false) {
        dashboard_ = std::make_unique<mqtt::Client>(test::dashboard_options(*broker_, "dash"));
        seen_ = std::make_unique<test::Recorder>(*dashboard_);
        dashboard_->subscribe("tarnwick/cab1/#");
        dashboard_->subscribe("homeassistant/device/#");
        dashboard_->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return seen_->connects == 1; }, wait_ms));
        names::NameFileLocation names;
        names.path = dir_.filePath("name.txt").toStdString();
        mqtt::BridgeOptions options{
            test::cabinet_options(*broker_, "cab1"), {1}, read_only, "0.1", {}};
        bridge_ = std::make_unique<mqtt::Bridge>(std::move(options), *line_, names);
        bridge_->set_timekeeping(&owner_);
        bridge_->start();
        ASSERT_TRUE(wait_message("tarnwick/cab1/status", containing("online")));
    }

    // The first message on `topic`, from index `from` on, that `match` takes.
    std::optional<Message> wait_message(const std::string& topic,
                                        const std::function<bool(const Message&)>& match,
                                        std::size_t from = 0) {
        std::optional<Message> found;
        (void)QTest::qWaitFor(
            [&] {
                for (std::size_t i = from; i < seen_->messages.size(); ++i)
                    if (seen_->messages[i].topic == topic && match(seen_->messages[i])) {
                        found = seen_->messages[i];
                        return true;
                    }
                return false;
            },
            wait_ms);
        return found;
    }
    static std::function<bool(const Message&)> containing(const std::string& part) {
        return [part](const Message& m) { return m.payload.find(part) != std::string::npos; };
    }

    QTemporaryDir dir_;
    NoPort port_;
    Silent messages_;
    FakeTimekeeping owner_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<link::BoardLine> line_;
    std::unique_ptr<mqtt::Bridge> bridge_;
    std::unique_ptr<mqtt::Client> dashboard_;
    std::unique_ptr<test::Recorder> seen_;
};

const std::string config_topic = "homeassistant/device/tarnwick_cab1_timekeeping/config";

TEST_F(BridgeTimekeeping, RetainedStatesDiscoveryAndNoReplayedSets) {
    // Left on the broker by someone: sets, and the config of an earlier run
    // that had a scene "day" more.
    ASSERT_TRUE(broker_->publish("tarnwick/cab1/scene/night/set", "ON", true));
    ASSERT_TRUE(broker_->publish("tarnwick/cab1/schedule/lights/set", "ON", true));
    ASSERT_TRUE(broker_->publish(
        QString::fromStdString(config_topic),
        R"({"dev":{"identifiers":["tarnwick_cab1_timekeeping"]},"cmps":{)"
        R"("scene_day":{"p":"scene","command_topic":"tarnwick/cab1/scene/day/set"},)"
        R"("scene_night":{"p":"scene","command_topic":"tarnwick/cab1/scene/night/set"}}})",
        true));
    start();

    for (const auto& [schedule, state] : {std::pair{"pump_am", "ON"}, {"lights", "OFF"}}) {
        const auto m = wait_message(std::string("tarnwick/cab1/schedule/") + schedule,
                                    [](const Message&) { return true; });
        ASSERT_TRUE(m) << schedule;
        EXPECT_EQ(m->payload, state) << schedule;
        EXPECT_TRUE(m->retained) << schedule;
    }
    for (const char* part :
         {"retained set for the scene night", "retained set for the schedule lights"})
        EXPECT_TRUE(wait_message("tarnwick/cab1/error", containing(part))) << part;

    // The scene as Home Assistant's MQTT scene, the schedules as switches.
    const auto config = wait_message(config_topic, containing("schedule_lights"));
    ASSERT_TRUE(config);
    EXPECT_TRUE(config->retained);
    const QJsonObject cmps = parsed(config->payload)["cmps"].toObject();
    EXPECT_EQ(cmps["scene_night"]["p"].toString(), "scene");
    EXPECT_EQ(cmps["scene_night"]["command_topic"].toString(), "tarnwick/cab1/scene/night/set");
    EXPECT_EQ(cmps["schedule_lights"]["p"].toString(), "switch");
    EXPECT_EQ(cmps["schedule_lights"]["state_topic"].toString(), "tarnwick/cab1/schedule/lights");
    EXPECT_EQ(cmps["schedule_lights"]["command_topic"].toString(),
              "tarnwick/cab1/schedule/lights/set");
    EXPECT_NE(cmps["schedule_lights"]["unique_id"], cmps["schedule_pump_am"]["unique_id"]);
    // The earlier run's scene goes: its platform alone, then the config as it is now.
    EXPECT_TRUE(wait_message(config_topic, containing(R"("scene_day":{"p":"scene"})")));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return broker_->retained(QString::fromStdString(config_topic)) ==
                   config->payload.c_str();
        },
        wait_ms));

    QStringList subscribed = broker_->subscriptions("tarnwick-cab1");
    EXPECT_TRUE(subscribed.contains("tarnwick/cab1/scene/+/set"))
        << subscribed.join(' ').toStdString();
    EXPECT_TRUE(subscribed.contains("tarnwick/cab1/schedule/+/set"));

    // The owner's changes, retained; a new schedule brings the config again.
    const std::size_t before = seen_->messages.size();
    owner_.change("lights", true);
    auto m = wait_message("tarnwick/cab1/schedule/lights", containing("ON"), before);
    EXPECT_TRUE(m && m->retained);
    owner_.change("lights", false);
    m = wait_message("tarnwick/cab1/schedule/lights", containing("OFF"), before);
    EXPECT_TRUE(m && m->retained);
    owner_.change("evening", true);
    EXPECT_TRUE(wait_message(config_topic, containing("schedule_evening"), before));
    m = wait_message("tarnwick/cab1/schedule/evening", containing("ON"), before);
    EXPECT_TRUE(m && m->retained);

    // Home Assistant's birth asks for the config again.
    const std::size_t birth = seen_->messages.size();
    ASSERT_TRUE(broker_->publish("homeassistant/status", "online", false));
    EXPECT_TRUE(wait_message(config_topic, containing("scene_night"), birth));

    // Nothing was asked of the owner by any of it.
    QTest::qWait(300);
    EXPECT_TRUE(owner_.applied.empty());
    EXPECT_TRUE(owner_.enabled.empty());
}

TEST_F(BridgeTimekeeping, FreshSetsReachTheOwnerOnce) {
    using Enabled = std::vector<std::pair<std::string, bool>>;
    struct {
        const char* topic;  // under tarnwick/cab1/
        const char* payload;
        bool retain;
        std::vector<std::string> applied;  // in all, after this row
        Enabled enabled;
        const char* refusal;  // part of the text on tarnwick/cab1/error, or none
    } rows[] = {
        {"scene/night/set", "ON", false, {"night"}, {}, nullptr},
        {"scene/all-off/set", "", false, {"night", "all-off"}, {}, nullptr},
        {"scene/night/set", "ON", true, {"night", "all-off"}, {}, "dropped a retained set"},
        {"scene/day/set", "ON", false, {"night", "all-off"}, {}, "has scenes night, all-off"},
        {"schedule/lights/set", "ON", false, {"night", "all-off"}, {{"lights", true}}, nullptr},
        {"schedule/lights/set",
         "OFF",
         false,
         {"night", "all-off"},
         {{"lights", true}, {"lights", false}},
         nullptr},
        {"schedule/lights/set",
         "on",
         false,
         {"night", "all-off"},
         {{"lights", true}, {"lights", false}},
         "only ON or OFF"},
        {"schedule/lights/set",
         "yes please",
         false,
         {"night", "all-off"},
         {{"lights", true}, {"lights", false}},
         "\"yes please\""},
        {"schedule/pump_am/set",
         "OFF",
         true,
         {"night", "all-off"},
         {{"lights", true}, {"lights", false}},
         "dropped a retained set"},
        {"schedule/nope/set",
         "ON",
         false,
         {"night", "all-off"},
         {{"lights", true}, {"lights", false}},
         "has schedules pump_am, lights"},
    };
    start();
    ASSERT_TRUE(wait_message(config_topic, [](const Message&) { return true; }));
    for (const auto& row : rows) {
        const std::size_t seen = seen_->messages.size();
        ASSERT_TRUE(dashboard_->publish(std::string("tarnwick/cab1/") + row.topic, row.payload,
                                        row.retain));
        if (row.refusal) {
            const auto refused = wait_message("tarnwick/cab1/error", containing(row.refusal), seen);
            EXPECT_TRUE(refused && !refused->retained) << row.topic << " " << row.payload;
        } else {
            (void)QTest::qWaitFor(
                [&] { return owner_.applied == row.applied && owner_.enabled == row.enabled; },
                wait_ms);
        }
        QTest::qWait(150);  // and not twice
        EXPECT_EQ(owner_.applied, row.applied) << row.topic << " " << row.payload;
        EXPECT_EQ(owner_.enabled, row.enabled) << row.topic << " " << row.payload;
        // A retained set stays on the broker otherwise, to be replayed later.
        if (row.retain) {
            ASSERT_TRUE(dashboard_->publish(std::string("tarnwick/cab1/") + row.topic, "", true));
        }
    }
    // The bridge sets no schedule state itself: the owner tells it.
    EXPECT_EQ(broker_->retained("tarnwick/cab1/schedule/lights"), "OFF");
}

// A read-only cabinet takes no sets: no subscription, no scenes in Home
// Assistant, the schedules shown but not switched.
TEST_F(BridgeTimekeeping, ReadOnlyShowsSchedulesAndTakesNothing) {
    start(true);
    const auto config = wait_message(config_topic, [](const Message&) { return true; });
    ASSERT_TRUE(config);
    const QJsonObject cmps = parsed(config->payload)["cmps"].toObject();
    EXPECT_EQ(cmps.keys(), (QStringList{"schedule_lights", "schedule_pump_am"}));
    EXPECT_EQ(cmps["schedule_lights"]["p"].toString(), "binary_sensor");
    EXPECT_FALSE(cmps["schedule_lights"].toObject().contains("command_topic"));
    ASSERT_TRUE(dashboard_->publish("tarnwick/cab1/scene/night/set", "ON", false));
    ASSERT_TRUE(dashboard_->publish("tarnwick/cab1/schedule/lights/set", "ON", false));
    QTest::qWait(500);
    EXPECT_TRUE(owner_.applied.empty());
    EXPECT_TRUE(owner_.enabled.empty());
    EXPECT_FALSE(broker_->subscriptions("tarnwick-cab1").contains("tarnwick/cab1/scene/+/set"));
}

}  // namespace
