// tarnwick-ctl serve as a process of its own, against two simulated boards on
// one pseudo-terminal and a broker of the test's own. A dashboard's client
// sends the sets and records what serve publishes (with the retain flag as
// published); the simulator reports every frame it reads. Every wait is
// bounded; the processes end with the test however it ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <map>
#include <memory>
#include <optional>

#include "mqtt/client.h"
#include "mqtt/topics.h"
#include "names/name_file.h"
#include "tests/names/names_support.h"
#include "tests/support/board_sim.h"
#include "tests/support/broker.h"
#include "tests/support/golden_frames.h"
#include "tests/support/program_copy.h"
#include "tests/support/wait.h"

namespace {

using namespace tarnwick;
using mqtt::Message;
using test::BoardSim;
using test::Broker;
using test::wait_until;

constexpr int start_ms = 5000;
constexpr int frame_ms = 2000;  // a set to its command on the wire, or to its refusal
// Relay 9 on, the others off, on both boards at the start.
constexpr std::uint16_t start_relays = 0x0100;

QJsonObject parsed(const std::string& json) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
}

class Serve : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = test::program_copy(QStringLiteral(TARNWICK_CTL));
        ASSERT_TRUE(dir_);
    }
    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override { broker_ = std::make_unique<Broker>(); }

    void TearDown() override {
        if (serve_.state() != QProcess::NotRunning) {
            serve_.kill();
            serve_.waitForFinished(3000);
        }
        if (dashboard_) dashboard_->stop();
        if (HasFailure()) std::fprintf(stderr, "serve's log:\n%s\n", qUtf8Printable(log()));
    }

    void start_board(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--report-frames", "--address", "1,2", "--relays", "0x0100"};
        args.insert(args.end(), extra.begin(), extra.end());
        board_ = std::make_unique<BoardSim>(args);
    }

    // The dashboard's client, subscribed to everything the cabinet publishes.
    void start_dashboard() {
        dashboard_ = std::make_unique<mqtt::Client>(test::dashboard_options(*broker_, "dash"));
        seen_ = std::make_unique<test::Recorder>(*dashboard_);
        dashboard_->subscribe("tarnwick/" + node_ + "/#");
        dashboard_->subscribe("homeassistant/device/#");
        dashboard_->start();
        ASSERT_TRUE(wait_until([&] { return seen_->connects == 1; }, start_ms));
    }

    // serve on the board's line for boards 1 and 2 as the cabinet's user; the
    // password from the environment unless `password` is empty. "{port}",
    // "{tls-port}", "{ca}" and "{wrong-ca}" in `extra` stand for the broker's.
    void start_serve(QStringList extra = {}, const QString& password = Broker::cabinet_password) {
        extra.replaceInStrings("{tls-port}", QString::number(broker_->tls_port()));
        extra.replaceInStrings("{port}", QString::number(broker_->port()));
        extra.replaceInStrings("{wrong-ca}", broker_->wrong_ca_file());
        extra.replaceInStrings("{ca}", broker_->ca_file());
        QStringList args{"-p",
                         QString::fromStdString(board_->path()),
                         "serve",
                         "--node",
                         q(node_),
                         "--boards",
                         "1,2",
                         "--username",
                         Broker::cabinet_user};
        if (!extra.contains("--mqtt"))
            args << "--mqtt"
                 << "127.0.0.1:" + QString::number(broker_->port());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", dir_->filePath("config"));
        env.remove("TARNWICK_MQTT_PASSWORD");
        if (!password.isEmpty()) env.insert("TARNWICK_MQTT_PASSWORD", password);
        log_.clear();
        serve_.setProcessEnvironment(env);
        const QString program = dir_->filePath("tarnwick-ctl");
        if (resolver_) {
            const auto [wrapper, wrapped] = resolver_->wrap(program, args + extra);
            serve_.start(wrapper, wrapped);
        } else {
            serve_.start(program, args + extra);
        }
        ASSERT_TRUE(serve_.waitForStarted(start_ms));
    }

    // The exit status after the signal, or -1.
    int stop_serve(int sig) {
        // processId() is 0 once it has ended, and kill(0) signals our own group.
        if (serve_.state() == QProcess::NotRunning) return -1;
        ::kill(static_cast<pid_t>(serve_.processId()), sig);
        if (!serve_.waitForFinished(5000)) return -1;
        return serve_.exitStatus() == QProcess::NormalExit ? serve_.exitCode() : -1;
    }

    // What serve has logged so far.
    QString log() {
        if (serve_.isOpen()) log_ += QString::fromUtf8(serve_.readAllStandardError());
        return log_;
    }
    bool wait_log(const QString& part, int timeout_ms = start_ms) {
        return wait_until([&] { return log().contains(part); }, timeout_ms);
    }

    static QString q(const std::string& text) { return QString::fromStdString(text); }
    std::string topic(const std::string& rest) const { return "tarnwick/" + node_ + "/" + rest; }
    std::string state_topic(int address, int relay) const {
        return mqtt::relay_state_topic(node_, static_cast<std::uint8_t>(address), relay);
    }

    // The first message on `topic` from the index `from` of everything seen
    // on that `match` accepts, waiting for it.
    std::optional<Message> wait_message(const std::string& topic,
                                        const std::function<bool(const Message&)>& match,
                                        std::size_t from = 0, int timeout_ms = start_ms) {
        std::optional<Message> found;
        wait_until(
            [&] {
                for (std::size_t i = from; i < seen_->messages.size(); ++i) {
                    if (seen_->messages[i].topic == topic && match(seen_->messages[i])) {
                        found = seen_->messages[i];
                        return true;
                    }
                }
                return false;
            },
            timeout_ms);
        return found;
    }
    static std::function<bool(const Message&)> payload(const std::string& expected) {
        return [expected](const Message& m) { return m.payload == expected; };
    }
    // The last payload seen on a topic.
    std::optional<std::string> last(const std::string& topic) const {
        const auto on = seen_->on(topic);
        if (on.empty()) return std::nullopt;
        return on.back().payload;
    }

    // The command frames the boards have read (everything but queries).
    std::vector<BoardSim::Frame> commands() {
        std::vector<BoardSim::Frame> found;
        for (const auto& frame : board_->frames())
            if (frame[2] != protocol::cmd_query) found.push_back(frame);
        return found;
    }

    // Writes a name into serve's name.txt, as the panel's rename does.
    static void store_name(int address, int channel, const std::string& name) {
        names::test::SilentMessages silent;
        names::NameFile file(dir_->path().toStdString(), silent);
        (void)file.load_title();
        ASSERT_EQ(file.set_channel_name(std::to_string(address), std::to_string(channel), name),
                  names::WriteError::none);
    }

    static std::unique_ptr<QTemporaryDir> dir_;
    std::string node_ = "cab1";
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<BoardSim> board_;
    std::unique_ptr<mqtt::Client> dashboard_;
    std::unique_ptr<test::Recorder> seen_;
    const test::SilentResolver* resolver_ = nullptr;  // serve's lookups hang
    QProcess serve_;
    QString log_;
};

std::unique_ptr<QTemporaryDir> Serve::dir_;

TEST_F(Serve, PublishesWhatTheBoardsAnswerAndSwitchesNothingByItself) {
    // A command left retained on the broker before the start, and a name.
    QFile::remove(dir_->filePath("name.txt"));
    store_name(1, 3, "进水泵");
    ASSERT_TRUE(broker_->publish(q(topic("2/relay/7/set")), "ON", true));
    start_board();
    start_dashboard();
    start_serve();

    ASSERT_TRUE(broker_->wait_retained(q(topic("status")), "online", start_ms));
    const auto retained = [&](const std::string& t, const std::string& expected) {
        const auto m = wait_message(t, payload(expected));
        EXPECT_TRUE(m && m->retained) << t << " " << expected;
    };
    QSet<QString> unique_ids;
    for (const int address : {1, 2}) {
        const std::string a = std::to_string(address);
        retained(topic(a + "/availability"), "online");
        for (int relay = 1; relay <= 16; ++relay)
            retained(state_topic(address, relay), relay == 9 ? "ON" : "OFF");

        const auto state = wait_message(topic(a + "/state"), [](const Message&) { return true; });
        ASSERT_TRUE(state);
        EXPECT_TRUE(state->retained);
        const QJsonObject json = parsed(state->payload);
        EXPECT_EQ(json["address"].toInt(), address);
        EXPECT_EQ(json["states"][8].toString(), "ON");
        EXPECT_EQ(json["states"][2].toString(), "OFF");
        EXPECT_EQ(json["names"][2].toString(), address == 1 ? "进水泵" : "第3路");
        const QDateTime answered =
            QDateTime::fromString(json["time"].toString(), Qt::ISODateWithMs);
        EXPECT_LE(std::abs(answered.msecsTo(QDateTime::currentDateTimeUtc())), 10000)
            << state->payload;

        const std::string discovery =
            mqtt::discovery_topic(node_, static_cast<std::uint8_t>(address));
        const auto config = wait_message(discovery, [](const Message&) { return true; });
        ASSERT_TRUE(config);
        EXPECT_TRUE(config->retained);
        const QJsonObject cmps = parsed(config->payload)["cmps"].toObject();
        EXPECT_EQ(cmps.size(), 16);
        for (const QJsonValue c : cmps) {
            EXPECT_EQ(c[QStringLiteral("p")].toString(), "switch");
            unique_ids.insert(c[QStringLiteral("unique_id")].toString());
        }
        EXPECT_EQ(cmps["r3"][QStringLiteral("name")].toString(), address == 1 ? "进水泵" : "第3路");
    }
    EXPECT_EQ(unique_ids.size(), 32);
    QStringList subscribed = broker_->subscriptions(q(mqtt::client_id(node_)));
    subscribed.sort();
    EXPECT_EQ(subscribed, (QStringList{"homeassistant/device/+/config", "homeassistant/status",
                                       q(mqtt::pulse_filter(node_)), q(mqtt::set_filter(node_))}));

    // The retained set is dropped aloud; nothing at all is switched.
    const auto dropped = wait_message(topic("2/error"), [](const Message& m) {
        return m.payload.find("dropped a retained set for relay 7 of board 2") != std::string::npos;
    });
    ASSERT_TRUE(dropped);
    EXPECT_FALSE(dropped->retained);
    test::run_events_for(3000);
    EXPECT_TRUE(commands().empty()) << commands().size() << " commands";
    EXPECT_EQ(board_->last_relays(2), start_relays);

    // Home Assistant's birth asks for the configs again; a rename in name.txt
    // brings them, and the state, with the new name.
    const std::size_t before = seen_->messages.size();
    ASSERT_TRUE(broker_->publish("homeassistant/status", "online", false));
    for (const int address : {1, 2})
        EXPECT_TRUE(wait_message(
            mqtt::discovery_topic(node_, static_cast<std::uint8_t>(address)),
            [](const Message&) { return true; }, before));
    // A burst of births (a flapping Home Assistant): one republish after it.
    test::run_events_for(1000);
    const std::size_t burst = seen_->messages.size();
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(dashboard_->publish("homeassistant/status", "online", false));
    EXPECT_TRUE(wait_message(
        mqtt::discovery_topic(node_, 2), [](const Message&) { return true; }, burst));
    test::run_events_for(1500);
    std::size_t configs = 0;
    for (std::size_t i = burst; i < seen_->messages.size(); ++i)
        configs += seen_->messages[i].topic == mqtt::discovery_topic(node_, 1);
    EXPECT_EQ(configs, 1u);
    store_name(1, 3, "出水阀");
    const auto renamed = [](const char* key) {
        return [key](const Message& m) {
            return m.payload.find("出水阀") != std::string::npos &&
                   m.payload.find(key) != std::string::npos;
        };
    };
    EXPECT_TRUE(wait_message(mqtt::discovery_topic(node_, 1), renamed("\"unique_id\""), before));
    EXPECT_TRUE(wait_message(topic("1/state"), renamed("\"states\""), before));

    // SIGTERM: offline said and kept, a clean exit, still nothing switched.
    EXPECT_EQ(stop_serve(SIGTERM), 0);
    EXPECT_EQ(broker_->retained(q(topic("status"))), "offline");
    EXPECT_EQ(broker_->retained(q(topic("1/availability"))), "offline");
    EXPECT_TRUE(commands().empty());
    EXPECT_TRUE(log().contains("SIGTERM: stopping")) << log().toStdString();
    EXPECT_TRUE(log().contains("said offline and disconnected")) << log().toStdString();
    // One line per event, each with its time.
    const QRegularExpression stamped(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\S*  \S)");
    for (const QString& line : log().split('\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(stamped.match(line).hasMatch()) << line.toStdString();
}

TEST_F(Serve, SetsOnTheWire) {
    struct {
        const char* what;
        const char* topic;  // under tarnwick/cab1/
        QByteArray payload;
        bool retain;
        const char* frame;        // the example frame sent, or none and a refusal
        const char* error_topic;  // under tarnwick/cab1/; none: never reaches serve
        const char* error;        // part of the refusal
    } cases[] = {
        {"ON", "1/relay/3/set", "ON", false, "energize relay 3", nullptr, nullptr},
        {"OFF", "1/relay/3/set", "OFF", false, "release relay 3", nullptr, nullptr},
        {"on", "1/relay/3/set", "on", false, nullptr, "1/error", "the payload \"on\""},
        {"empty", "1/relay/3/set", "", false, nullptr, "1/error", "the payload \"\""},
        {"ON and a line break", "1/relay/3/set", "ON\n", false, nullptr, "1/error", "\"ON\\x0A\""},
        {"1 KB of junk", "1/relay/3/set", QByteArray(1024, '\xA5'), false, nullptr, "1/error",
         "(1024 bytes)"},
        // Over the maximum packet size serve gives the broker, which drops it.
        {"100 KB of junk", "1/relay/3/set", QByteArray(100 * 1024, 'x'), false, nullptr, nullptr,
         "(102400 bytes)"},
        {"relay 0", "1/relay/0/set", "ON", false, nullptr, "1/error", "relays are 1..16"},
        {"relay 17", "1/relay/17/set", "ON", false, nullptr, "1/error", "relays are 1..16"},
        {"relay x", "1/relay/x/set", "ON", false, nullptr, "1/error", "relays are 1..16"},
        {"a board not served", "3/relay/3/set", "ON", false, nullptr, "3/error",
         "serves boards 1,2 only"},
        {"no address", "x/relay/3/set", "ON", false, nullptr, "error", "is no board address"},
        {"a leading zero", "01/relay/3/set", "ON", false, nullptr, "error", "is no board address"},
        {"retained", "1/relay/3/set", "ON", true, nullptr, "1/error", "dropped a retained set"},
    };
    start_board();
    start_dashboard();
    start_serve();
    ASSERT_TRUE(wait_message(state_topic(1, 3), payload("OFF")));
    for (const auto& c : cases) {
        const std::size_t seen = seen_->messages.size();
        const std::size_t sent = commands().size();
        ASSERT_TRUE(dashboard_->publish(topic(c.topic), c.payload.toStdString(), c.retain));
        if (c.frame) {
            ASSERT_TRUE(wait_until([&] { return commands().size() > sent; }, frame_ms)) << c.what;
            EXPECT_EQ(commands()[sent], test::golden_frame(c.frame)) << c.what;
            // The state comes from the board's answer, retained.
            const bool on = c.payload == "ON";
            const auto state = wait_message(state_topic(1, 3), payload(on ? "ON" : "OFF"), seen);
            EXPECT_TRUE(state && state->retained) << c.what;
            EXPECT_EQ(board_->last_relays(1), start_relays | (on ? 0x0004 : 0)) << c.what;
        } else if (!c.error_topic) {
            test::run_events_for(500);
            EXPECT_FALSE(log().contains(QString::fromUtf8(c.error))) << c.what;
        } else {
            const auto refused = wait_message(
                topic(c.error_topic),
                [&](const Message& m) { return m.payload.find(c.error) != std::string::npos; },
                seen, frame_ms);
            EXPECT_TRUE(refused && !refused->retained) << c.what;
        }
        test::run_events_for(150);  // three ticks: no further frame
        EXPECT_EQ(commands().size(), sent + (c.frame ? 1 : 0)) << c.what;
        EXPECT_EQ(board_->last_relays(2), start_relays) << c.what;
        ASSERT_EQ(serve_.state(), QProcess::Running) << c.what;
    }
    EXPECT_EQ(board_->last_relays(1), start_relays);
    // The log names the first refusal of a burst, then counts the others
    // once a second.
    EXPECT_TRUE(log().contains("the payload \"on\"")) << log().toStdString();
    test::run_events_for(1100);
    const qsizetype lines = log().count('\n');
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(dashboard_->publish(topic("1/relay/3/set"), "bad", false));
    EXPECT_TRUE(wait_log("more sets in the last second"));
    test::run_events_for(1100);
    EXPECT_LE(log().count('\n') - lines, 4) << log().toStdString();
    EXPECT_TRUE(commands().size() == 2u);
}

TEST_F(Serve, ABoardThatSwitchesNothingKeepsItsState) {
    start_board({"--stuck"});
    start_dashboard();
    start_serve();
    ASSERT_TRUE(wait_message(state_topic(1, 3), payload("OFF")));
    ASSERT_TRUE(dashboard_->publish(topic("1/relay/3/set"), "ON", false));
    ASSERT_TRUE(wait_until([&] { return !commands().empty(); }, frame_ms));
    test::run_events_for(500);
    // Sent once, not repeated; the board's answers still say OFF.
    EXPECT_EQ(commands(), std::vector<BoardSim::Frame>{test::golden_frame("energize relay 3")});
    EXPECT_EQ(last(state_topic(1, 3)), "OFF");
    EXPECT_EQ(seen_->on(state_topic(1, 3)).size(), 1u);
}

TEST_F(Serve, AFloodOfSetsEndsInTheLastStatesWhileBothBoardsArePolled) {
    start_board();
    start_dashboard();
    start_serve();
    ASSERT_TRUE(wait_message(state_topic(2, 9), payload("ON")));
    std::map<int, std::uint16_t> expected{{1, start_relays}, {2, start_relays}};
    for (int i = 0; i < 1000; ++i) {
        const int address = 1 + i % 2;
        const int relay = 1 + (i / 2) % 16;
        const bool on = (i * 7919 + i / 32) % 3 == 0;
        ASSERT_TRUE(dashboard_->publish(
            mqtt::relay_set_topic(node_, static_cast<std::uint8_t>(address), relay),
            on ? "ON" : "OFF", false));
        const auto bit = static_cast<std::uint16_t>(1u << (relay - 1));
        expected[address] = on ? expected[address] | bit : expected[address] & ~bit;
    }
    for (const auto& entry : expected) {
        // Named copies: clang 14 cannot capture a structured binding.
        const int address = entry.first;
        const std::uint16_t relays = entry.second;
        EXPECT_TRUE(board_->wait_for_relays(static_cast<std::uint8_t>(address), relays,
                                            std::chrono::seconds(15)))
            << "board " << address;
        for (int relay = 1; relay <= 16; ++relay) {
            const std::string state = (relays >> (relay - 1)) & 1 ? "ON" : "OFF";
            EXPECT_TRUE(wait_until([&] { return last(state_topic(address, relay)) == state; }))
                << address << "/" << relay;
        }
    }
    // Never two commands in a row; while they go out, each board is asked
    // at least every fourth tick.
    const std::vector<BoardSim::Frame> frames = board_->frames();
    std::size_t first = frames.size(), last_command = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i][2] == protocol::cmd_query) continue;
        first = std::min(first, i);
        last_command = i;
        if (i + 1 < frames.size()) {
            EXPECT_EQ(frames[i + 1][2], protocol::cmd_query) << i;
        }
    }
    ASSERT_LT(first, frames.size());
    for (const std::uint8_t address : {1, 2}) {
        std::size_t previous = first;
        for (std::size_t i = first; i <= last_command + 4 && i < frames.size(); ++i) {
            if (frames[i][2] != protocol::cmd_query || frames[i][1] != address) continue;
            EXPECT_LE(i - previous, 4u) << "board " << int(address) << " at frame " << i;
            previous = i;
        }
    }
}

// Two boards answering late, up to the liveness window, while polled in
// turn: every state published is the board's that sent it. Board 2's relay 16
// goes on first, then board 1's relay 3 is switched back and forth; board 1
// never has relay 16 on, board 2 never relay 3, and each switch flips one
// state, so a state under the wrong board shows. An answer from an address
// no poll waits on is no board's. Polls and switches per delay come from
// TARNWICK_SWEEP_POLLS and TARNWICK_SWEEP_SWITCHES (default 40 and 2).
TEST_F(Serve, EveryStateIsPublishedUnderTheBoardThatSentIt) {
    const auto from_env = [](const char* name, int fallback) {
        const int value = qEnvironmentVariableIntValue(name);
        return value > 0 ? value : fallback;
    };
    const int polls = from_env("TARNWICK_SWEEP_POLLS", 40);
    const int switches = from_env("TARNWICK_SWEEP_SWITCHES", 2);
    const struct {
        const char* option;
        const char* value;  // --delay: per board when a list
        bool answered;
    } cases[] = {
        {"--delay", "120,0", true}, {"--delay", "0", true},   {"--delay", "30", true},
        {"--delay", "70", true},    {"--delay", "120", true}, {"--answer-address", "7", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.option) + " " + c.value);
        node_ = std::string("sweep") + std::to_string(&c - cases);
        if (dashboard_) dashboard_->stop();
        start_board({c.option, c.value});
        start_dashboard();
        start_serve();
        const auto queries = [&] { return board_->frames().size() - commands().size(); };
        int published = 0;
        if (!c.answered) {
            EXPECT_TRUE(wait_log("answers from another address")) << log().toStdString();
            EXPECT_FALSE(wait_message(topic("1/availability"), payload("online"), 0, 1000));
        } else {
            const auto set = [&](int address, int relay, bool on) {
                const std::size_t from = seen_->messages.size();
                const char* state = on ? "ON" : "OFF";
                ASSERT_TRUE(dashboard_->publish(
                    mqtt::relay_set_topic(node_, static_cast<std::uint8_t>(address), relay), state,
                    false));
                EXPECT_TRUE(wait_message(state_topic(address, relay), payload(state), from))
                    << address << "/" << relay << " " << state;
            };
            for (const int address : {1, 2})
                EXPECT_TRUE(wait_message(state_topic(address, 9), payload("ON")));
            set(2, 16, true);
            for (int i = 0; i < switches; ++i) {
                set(1, 3, i % 2 == 0);
                const auto due = static_cast<std::size_t>(polls * (i + 1) / switches);
                EXPECT_TRUE(wait_until([&] { return queries() >= due; }, polls * 100));
            }
        }
        EXPECT_EQ(stop_serve(SIGTERM), 0);
        if (HasFailure()) std::fprintf(stderr, "serve's log:\n%s\n", qUtf8Printable(log()));
        int misattributed = 0;
        bool board_2_on = false;
        for (const Message& m : seen_->messages) {
            const bool on = m.payload == "ON";
            if (m.topic == state_topic(2, 16)) {
                if (board_2_on && !on) ++misattributed;
                board_2_on = board_2_on || on;
            }
            if ((m.topic == state_topic(1, 16) || m.topic == state_topic(2, 3)) && on)
                ++misattributed;
            if (m.topic.find("/relay/") != std::string::npos) ++published;
        }
        const std::size_t flips = seen_->on(state_topic(1, 3)).size();
        if (c.answered)
            misattributed += static_cast<int>(std::max<std::size_t>(flips, switches + 1) -
                                              static_cast<std::size_t>(switches + 1));
        std::printf(
            "%s %s: %zu polls, %d switches, %d relay states published, %d under the "
            "wrong board\n",
            c.option, c.value, queries(), c.answered ? switches : 0, published, misattributed);
        EXPECT_EQ(misattributed, 0);
    }
}

TEST_F(Serve, ReconnectsAfterABrokerRestartAndSwitchesOnlyOnALaterSet) {
    start_board();
    start_dashboard();
    start_serve();
    ASSERT_TRUE(broker_->wait_retained(q(state_topic(1, 9)), "ON", start_ms));
    broker_->stop();
    ASSERT_TRUE(wait_log("lost the connection"));
    broker_->start();
    // The restarted broker kept nothing: all of it comes again from serve.
    EXPECT_TRUE(broker_->wait_retained(q(topic("status")), "online", 8000));
    EXPECT_TRUE(broker_->wait_retained(q(state_topic(2, 9)), "ON", start_ms));
    EXPECT_TRUE(broker_->wait_retained(q(topic("2/availability")), "online", start_ms));
    EXPECT_TRUE(broker_->retained(q(mqtt::discovery_topic(node_, 2))).has_value());
    EXPECT_TRUE(commands().empty());

    ASSERT_TRUE(wait_until([&] { return seen_->connects == 2; }, 8000));
    ASSERT_TRUE(dashboard_->publish(topic("1/relay/3/set"), "ON", false));
    EXPECT_TRUE(board_->wait_for_relays(1, start_relays | 0x0004, std::chrono::seconds(2)));
    EXPECT_EQ(commands(), std::vector<BoardSim::Frame>{test::golden_frame("energize relay 3")});

    // A second client with the cabinet's id: serve says why it was pushed off.
    {
        const qsizetype from = log().size();
        mqtt::Client twin(test::cabinet_options(*broker_, node_));
        twin.start();
        EXPECT_TRUE(wait_until([&] {
            return log().mid(from).contains("another client connecting as tarnwick-" + q(node_));
        })) << log().toStdString();
        twin.stop();
    }

    // Killed: the broker's last will says it.
    stop_serve(SIGKILL);
    EXPECT_TRUE(broker_->wait_retained(q(topic("status")), "offline", 3000));
}

TEST_F(Serve, BoardsGoOfflineWhenSilentOrGoneAndServeGoesOn) {
    start_board();
    start_dashboard();
    start_serve();
    const auto both = [&](const char* availability, std::size_t from) {
        for (const char* a : {"1", "2"})
            EXPECT_TRUE(
                wait_message(topic(a + std::string("/availability")), payload(availability), from))
                << a << " " << availability;
    };
    both("online", 0);
    std::size_t from = seen_->messages.size();
    board_->kill(SIGUSR2);  // silent
    both("offline", from);
    from = seen_->messages.size();
    board_->kill(SIGUSR2);
    both("online", from);

    // The device goes away: the link waits for it to come back.
    from = seen_->messages.size();
    board_->kill(SIGKILL);
    both("offline", from);
    EXPECT_TRUE(wait_log("went away"));
    ASSERT_TRUE(dashboard_->publish(topic("1/relay/3/set"), "ON", false));
    EXPECT_TRUE(wait_message(topic("1/error"), [](const Message& m) {
        return m.payload.find("is gone") != std::string::npos;
    }));
    EXPECT_EQ(serve_.state(), QProcess::Running);
    EXPECT_EQ(stop_serve(SIGINT), 0);
}

TEST_F(Serve, PollsWhileTheBrokersNameDoesNotResolve) {
    const test::SilentResolver resolver;
    if (!resolver.usable()) GTEST_SKIP() << "needs root and unshare(1)";
    resolver_ = &resolver;
    start_board();
    start_serve({"--mqtt", "broker.invalid:{port}"}, QString());
    ASSERT_TRUE(wait_log("connecting to broker.invalid"));
    const std::size_t before = board_->frames().size();
    test::run_events_for(2000);
    // One frame a tick goes on (40 in 2 s), both boards in turn.
    EXPECT_GE(board_->frames().size() - before, 30u);
    EXPECT_TRUE(log().contains("board 2 answers"));
    EXPECT_FALSE(log().contains("connected to"));
    // A stop in the middle of the lookup does not wait for it.
    EXPECT_EQ(stop_serve(SIGTERM), 0);
}

TEST_F(Serve, ConnectsAsConfigured) {
    const QString password_file = dir_->filePath("password");
    {
        QFile file(password_file);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(Broker::cabinet_password) + "\n");
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    struct {
        const char* what;
        QStringList args;
        QString password;  // in the environment
        const char* said;  // in the log
        bool online;
    } cases[] = {
        {"a wrong password",
         {},
         "wrong",
         "not authorised (check --username and the password); trying again in 1 s",
         false},
        {"the password from a file", {"--password-file", password_file}, "", "connected to", true},
        {"TLS with the broker's CA",
         {"--mqtt", "localhost:{tls-port}", "--tls-ca", "{ca}"},
         Broker::cabinet_password,
         "connected to localhost",
         true},
        {"TLS with another CA",
         {"--mqtt", "localhost:{tls-port}", "--tls-ca", "{wrong-ca}"},
         Broker::cabinet_password,
         "not signed by the CA",
         false},
        {"TLS to the plain listener",
         {"--mqtt", "localhost:{port}", "--tls-ca", "{ca}"},
         Broker::cabinet_password,
         "trying again",
         false},
        {"read-only", {"--read-only"}, Broker::cabinet_password, "connected to", true},
    };
    start_board();
    int n = 0;
    for (const auto& c : cases) {
        node_ = "access" + std::to_string(++n);
        start_serve(c.args, c.password);
        EXPECT_TRUE(wait_log(c.said)) << c.what << "\n" << log().toStdString();
        if (c.args.contains("--read-only")) {
            // An earlier run left board 1 with switches and board 3, which is
            // no longer served.
            start_dashboard();
            ASSERT_TRUE(broker_->publish(q(mqtt::discovery_topic(node_, 1)),
                                         R"({"dev":{"identifiers":["x"]},"o":{"name":"t"},
                                             "cmps":{"r1":{"p":"switch","unique_id":"a"}}})",
                                         true));
            ASSERT_TRUE(broker_->publish(q(mqtt::discovery_topic(node_, 3)),
                                         R"({"dev":{"identifiers":["y"]},"o":{"name":"t"},
                                             "cmps":{"r1":{"p":"switch","unique_id":"b"}}})",
                                         true));
        }
        const auto status = broker_->retained(q(topic("status")));
        if (c.online) {
            EXPECT_TRUE(broker_->wait_retained(q(topic("status")), "online", start_ms)) << c.what;
        } else {
            // No connection, and none in plain text instead.
            EXPECT_EQ(status, std::nullopt) << c.what;
        }
        if (c.args.contains("--read-only")) {
            std::optional<QByteArray> config;
            ASSERT_TRUE(wait_until([&] {
                config = broker_->retained(q(mqtt::discovery_topic(node_, 1)));
                return config.has_value();
            })) << c.what;
            EXPECT_EQ(
                parsed(config->toStdString())["cmps"][QStringLiteral("r3")][QStringLiteral("p")]
                    .toString(),
                "binary_sensor");
            // Published after its subscriptions would have been sent.
            EXPECT_EQ(broker_->subscriptions(q(mqtt::client_id(node_))),
                      QStringList{"homeassistant/device/+/config"})
                << c.what;
            // Board 3's device removed; board 1's switches removed (each its
            // platform alone) before its binary sensors come.
            EXPECT_TRUE(
                wait_until([&] { return !broker_->retained(q(mqtt::discovery_topic(node_, 3))); }));
            const auto removal =
                wait_message(mqtt::discovery_topic(node_, 1), [](const Message& m) {
                    const QJsonObject cmps = parsed(m.payload)["cmps"].toObject();
                    if (cmps.size() != 16) return false;
                    for (const QJsonValue component : cmps)
                        if (component.toObject() != QJsonObject{{"p", "switch"}}) return false;
                    return true;
                });
            EXPECT_TRUE(removal && removal->retained);
        }
        // Its log ends with what a sanitizer found, when one did.
        EXPECT_EQ(stop_serve(SIGTERM), 0) << c.what << "\n" << log().toStdString();
    }
    EXPECT_TRUE(commands().empty());
}

}  // namespace
