#include "service/bus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QProcess>
#include <QTimer>
#include <memory>

#include "tests/service/private_bus.h"

namespace tarnwick::service {
namespace {

// Boards 1 and 7 of a Modbus line; 7 never answers, relay 13 of 1 never
// switches, relay 14 of 1 is refused by the board.
// Calls are answered a moment later, as a line's are.
class FakeLine : public LineModel {
  public:
    QString name() const override { return "cabinet-3"; }
    QString device() const override { return "/dev/ttyUSB9"; }
    bool open() const override { return true; }
    std::vector<std::uint8_t> boards() const override { return {1, 7}; }
    QString protocol() const override { return "modbus"; }
    int input_count() const override { return 12; }
    BoardState board(std::uint8_t address) const override {
        return {address == 1, address == 1 ? relays : std::uint16_t{0xffff}, names,
                address == 1 ? inputs : std::uint16_t{0xffff}};
    }
    void switch_relay(std::uint8_t address, int relay, bool on, const QString&,
                      Done done) override {
        ++calls;
        later(
            address,
            [=, this] {
                if (relay == 13)
                    return Outcome{Outcome::Error::not_confirmed, "answered, not switched"};
                if (relay == 14)
                    return Outcome{
                        Outcome::Error::refused,
                        "unit 1 refused write single coil (05): illegal data address (02)"};
                relays = static_cast<std::uint16_t>(on ? relays | (1u << (relay - 1))
                                                       : relays & ~(1u << (relay - 1)));
                return Outcome{};
            },
            std::move(done));
    }
    void switch_all(std::uint8_t address, bool on, const QString&, Done done) override {
        ++calls;
        later(
            address,
            [=, this] {
                relays = on ? 0xffff : 0;
                return Outcome{};
            },
            std::move(done));
    }
    // Relay 5 is interlocked with a relay that never lets go.
    void pulse(std::uint8_t address, int relay, std::chrono::milliseconds length, const QString&,
               Done done) override {
        ++calls;
        pulsed = length;
        later(
            address,
            [=] {
                if (relay == 5)
                    return Outcome{Outcome::Error::interlock, "relay 6 not seen released"};
                return Outcome{};
            },
            std::move(done));
    }
    void rename(std::uint8_t address, int relay, const QString& name, const QString&,
                Done done) override {
        ++calls;
        later(
            address,
            [=, this] {
                if (name.isEmpty())
                    return Outcome{Outcome::Error::failed, "a name cannot be empty"};
                names[relay - 1] = name;
                return Outcome{};
            },
            std::move(done));
    }

    std::uint16_t relays = 0;
    std::uint16_t inputs = 0;
    QStringList names = QStringList(16, "x");
    int calls = 0;
    std::chrono::milliseconds pulsed{0};

  private:
    void later(std::uint8_t address, std::function<Outcome()> act, Done done) {
        QTimer::singleShot(20, this, [=, this] {
            if (address == 7) return done({Outcome::Error::offline, "board 7 does not answer"});
            const Outcome outcome = act();
            emit board_changed(address);
            done(outcome);
        });
    }
};

// Two schedules and two scenes. "night" leaves relay 2 of board 7 off a
// moment later; "day" is done at once. A call is recorded with its caller.
class FakeTime : public TimeModel {
  public:
    QStringList schedule_names() const override { return {"porch-lights", "boiler"}; }
    std::optional<ScheduleView> schedule(const QString& name) const override {
        if (name == "porch-lights") return porch;
        if (name == "boiler") return ScheduleView{"boiler", false, false, 0};
        return std::nullopt;
    }
    bool enable(const QString& name, bool enabled, const QString& caller) override {
        calls << QString("%1 %2 %3").arg(name, enabled ? "on" : "off", caller);
        if (name != "porch-lights") return name == "boiler";
        porch.enabled = enabled;
        emit schedule_changed(name);
        return true;
    }
    QStringList scene_names() const override { return {"night", "day"}; }
    bool apply_scene(const QString& name, const QString& caller, Applied done) override {
        calls << QString("%1 %2").arg(name, caller);
        if (name == "day") done({});
        if (name == "night")
            QTimer::singleShot(20, this,
                               [done] { done({"cabinet-3/7/2: board 7 does not answer"}); });
        return name == "day" || name == "night";
    }

    // 2025-12-11 06:00:00 UTC.
    ScheduleView porch{"porch-lights", true, true, 1765432800000000};
    QStringList calls;
};

class PropertiesSeen : public QObject {
    Q_OBJECT
  public slots:
    void changed(const QString& interface, const QVariantMap& properties, const QStringList&) {
        if (interface == board_interface || interface == schedule_interface) changes << properties;
    }
    void added(const QDBusMessage& message) {
        paths << message.arguments().value(0).value<QDBusObjectPath>().path();
    }

    void switched(uchar relay, bool on, const QString& source, const QString& detail) {
        switches << QString("%1 %2 %3 %4").arg(relay).arg(on ? "on" : "off", source, detail);
    }

  public:
    QList<QVariantMap> changes;
    QStringList switches;
    QStringList paths;
};

const QString board1 = "/org/tarnwick/Tarnwick1/line/cabinet_2d3/board/1";

class Bus : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(bus_.ready());
        // A name of its own: a call the service still awaits from the bus of
        // the test before keeps that connection, and its name, alive.
        static int tests = 0;
        service_name_ = QString("service-%1").arg(++tests);
        service_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(bus_.address(), service_name_));
        ASSERT_TRUE(service_->isConnected());
        objects_ = std::make_unique<BusObjects>(*service_);
        ASSERT_TRUE(objects_->register_tree());
        objects_->add_line(&line_);
        ASSERT_TRUE(service_->registerService(bus_name));
    }
    void TearDown() override {
        objects_.reset();
        service_.reset();
        QDBusConnection::disconnectFromBus(service_name_);
        QDBusConnection::disconnectFromBus("client");
    }
    test::Busctl busctl(const QStringList& args, const QString& as_user = {}) {
        return test::busctl(bus_.address(), args, as_user);
    }
    // A call from another connection: the error name, or "" for a reply
    // (its arguments in `replied`).
    QString call(const QString& member, const QVariantList& args,
                 const QString& interface = board_interface) {
        QDBusConnection client = QDBusConnection::connectToBus(bus_.address(), "client");
        QDBusMessage message =
            QDBusMessage::createMethodCall(bus_name, board_path_, interface, member);
        message.setArguments(args);
        QDBusPendingCallWatcher watcher(client.asyncCall(message));
        if (!QTest::qWaitFor([&] { return watcher.isFinished(); }, 5000)) return "no reply";
        replied_ = watcher.reply().arguments();
        return watcher.isError() ? watcher.error().name() : QString();
    }

    test::PrivateBus bus_{TARNWICK_SOURCE_DIR "/packaging/org.tarnwick.Tarnwick1.conf"};
    QString service_name_;
    std::unique_ptr<QDBusConnection> service_;
    FakeLine line_;
    std::unique_ptr<BusObjects> objects_;
    QString board_path_ = board1;
    QVariantList replied_;
};

TEST(PathElement, EscapesAllButLettersAndDigits) {
    EXPECT_EQ(path_element("cabinet-3"), "cabinet_2d3");
    EXPECT_EQ(path_element("a_b"), "a_5fb");
    EXPECT_EQ(path_element("Line9"), "Line9");
}

TEST_F(Bus, PropertiesHaveTheirTypes) {
    struct Row {
        QString path, interface, property, value;
    };
    const QString line = "/org/tarnwick/Tarnwick1/line/cabinet_2d3";
    line_.relays = 0x0005;
    line_.inputs = 0x0102;
    const Row rows[] = {
        {line, "org.tarnwick.Tarnwick1.Line", "Name", "s \"cabinet-3\""},
        {line, "org.tarnwick.Tarnwick1.Line", "Device", "s \"/dev/ttyUSB9\""},
        {line, "org.tarnwick.Tarnwick1.Line", "Open", "b true"},
        {line, "org.tarnwick.Tarnwick1.Line", "Boards", "ay 2 1 7"},
        {board1, "org.tarnwick.Tarnwick1.Board", "Address", "y 1"},
        {board1, "org.tarnwick.Tarnwick1.Board", "Online", "b true"},
        {board1, "org.tarnwick.Tarnwick1.Board", "Relays", "q 5"},
        {line + "/board/7", "org.tarnwick.Tarnwick1.Board", "Online", "b false"},
        {line + "/board/7", "org.tarnwick.Tarnwick1.Board", "Relays", "q 0"},  // offline: 0
        {board1, "org.tarnwick.Tarnwick1.Board", "Protocol", "s \"modbus\""},
        {board1, "org.tarnwick.Tarnwick1.Board", "Inputs", "q 258"},
        {line + "/board/7", "org.tarnwick.Tarnwick1.Board", "Inputs", "q 0"},  // offline: 0
        {board1, "org.tarnwick.Tarnwick1.Board", "InputCount", "q 12"},
        // The line's count, whether the board answers or not.
        {line + "/board/7", "org.tarnwick.Tarnwick1.Board", "InputCount", "q 12"},
    };
    for (const Row& row : rows) {
        const auto got = busctl({"get-property", bus_name, row.path, row.interface, row.property});
        EXPECT_EQ(got.out, row.value) << row.path.toStdString() << " " << row.property.toStdString()
                                      << ": " << got.err.toStdString();
    }
    const auto names = busctl({"get-property", bus_name, board1, board_interface, "Names"});
    EXPECT_TRUE(names.out.startsWith("as 16 \"x\"")) << names.out.toStdString();
}

TEST_F(Bus, TreeAndObjectManagerListEveryObject) {
    const auto tree = busctl({"tree", bus_name});
    EXPECT_TRUE(tree.out.contains("/org/tarnwick/Tarnwick1/line/cabinet_2d3/board/7"))
        << tree.out.toStdString() << tree.err.toStdString();
    const auto introspect = busctl({"introspect", bus_name, board1});
    EXPECT_TRUE(introspect.out.contains(".Switch")) << introspect.out.toStdString();
    const auto managed = busctl(
        {"call", bus_name, root_path, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"});
    EXPECT_TRUE(managed.out.startsWith("a{oa{sa{sv}}} 3 ")) << managed.out.toStdString();
}

TEST_F(Bus, CallsReturnWhenTheLineIsDoneOrFailWithItsError) {
    struct Row {
        QString path, member;
        QVariantList args;
        QString error;
    };
    const QString board7 = "/org/tarnwick/Tarnwick1/line/cabinet_2d3/board/7";
    const QString e = "org.tarnwick.Tarnwick1.Error.";
    const Row rows[] = {
        {board1, "Switch", {QVariant::fromValue(uchar(3)), true}, ""},
        {board1, "Switch", {QVariant::fromValue(uchar(13)), true}, e + "NotConfirmed"},
        {board1, "Switch", {QVariant::fromValue(uchar(14)), true}, e + "Refused"},
        {board1, "Switch", {QVariant::fromValue(uchar(0)), true}, e + "InvalidArgument"},
        {board1, "Switch", {QVariant::fromValue(uchar(17)), true}, e + "InvalidArgument"},
        {board7, "Switch", {QVariant::fromValue(uchar(1)), true}, e + "Offline"},
        {board1, "SwitchAll", {false}, ""},
        {board1, "Rename", {QVariant::fromValue(uchar(2)), "pump"}, ""},
        {board1, "Rename", {QVariant::fromValue(uchar(2)), ""}, e + "Failed"},
        {board1, "Switch", {3, true}, "org.freedesktop.DBus.Error.UnknownMethod"},  // "ib"
        {board1, "Pulse", {QVariant::fromValue(uchar(3)), 0.05}, e + "InvalidArgument"},
        {board1, "Pulse", {QVariant::fromValue(uchar(3)), 86400.5}, e + "InvalidArgument"},
        {board1, "Pulse", {QVariant::fromValue(uchar(3)), qQNaN()}, e + "InvalidArgument"},
        {board1, "Pulse", {QVariant::fromValue(uchar(5)), 2.0}, e + "Interlock"},
        {board1, "Pulse", {QVariant::fromValue(uchar(3)), 1.5}, ""},
    };
    for (const Row& row : rows) {
        board_path_ = row.path;
        EXPECT_EQ(call(row.member, row.args), row.error) << row.member.toStdString();
    }
    EXPECT_EQ(line_.names[1], "pump");
    EXPECT_EQ(line_.pulsed, std::chrono::milliseconds(1500));
}

TEST_F(Bus, ChangesAreSignalled) {
    PropertiesSeen seen;
    QDBusConnection client = QDBusConnection::connectToBus(bus_.address(), "client");
    ASSERT_TRUE(client.connect(bus_name, board1, "org.freedesktop.DBus.Properties",
                               "PropertiesChanged", &seen,
                               SLOT(changed(QString, QVariantMap, QStringList))));
    EXPECT_EQ(call("Switch", {QVariant::fromValue(uchar(2)), true}), "");
    EXPECT_EQ(call("Switch", {QVariant::fromValue(uchar(2)), true}), "");  // no change, no signal
    EXPECT_EQ(call("Rename", {QVariant::fromValue(uchar(2)), "fan"}), "");
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.changes.size() >= 2; }, 5000));
    QTest::qWait(100);
    ASSERT_EQ(seen.changes.size(), 2);
    EXPECT_EQ(seen.changes[0].keys(), QStringList{"Relays"});
    EXPECT_EQ(seen.changes[0]["Relays"].value<quint16>(), 0x0002);
    EXPECT_EQ(seen.changes[1].keys(), QStringList{"Names"});
    EXPECT_EQ(seen.changes[1]["Names"].toStringList()[1], "fan");

    // Inputs change as the board reads them, alone.
    line_.inputs = 0x0003;
    emit line_.board_changed(1);
    emit line_.board_changed(1);  // no change, no signal
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.changes.size() >= 3; }, 5000));
    QTest::qWait(100);
    ASSERT_EQ(seen.changes.size(), 3);
    EXPECT_EQ(seen.changes[2].keys(), QStringList{"Inputs"});
    EXPECT_EQ(seen.changes[2]["Inputs"].value<quint16>(), 0x0003);

    // Who switched a relay comes with the change.
    ASSERT_TRUE(client.connect(bus_name, board1, board_interface, "Switched", &seen,
                               SLOT(switched(uchar, bool, QString, QString))));
    emit line_.relay_switched(1, 5, true, "mqtt", "tarnwick/cabinet-3/1/relay/5/set");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !seen.switches.isEmpty(); }, 5000));
    EXPECT_EQ(seen.switches, QStringList{"5 on mqtt tarnwick/cabinet-3/1/relay/5/set"});
}

// The error names as the README and the manual page give them, both ways:
// the service replies with them, its clients tell them apart.
TEST(Contract, ErrorNamesBothWays) {
    using attach::BoardError;
    const std::pair<BoardError, const char*> rows[] = {
        {BoardError::not_confirmed, "org.tarnwick.Tarnwick1.Error.NotConfirmed"},
        {BoardError::offline, "org.tarnwick.Tarnwick1.Error.Offline"},
        {BoardError::invalid_argument, "org.tarnwick.Tarnwick1.Error.InvalidArgument"},
        {BoardError::interlock, "org.tarnwick.Tarnwick1.Error.Interlock"},
        {BoardError::failed, "org.tarnwick.Tarnwick1.Error.Failed"},
        {BoardError::refused, "org.tarnwick.Tarnwick1.Error.Refused"},
    };
    for (const auto& [error, name] : rows) {
        EXPECT_EQ(attach::error_name(error), name);
        EXPECT_EQ(attach::board_error(name), error) << name;
    }
    EXPECT_EQ(attach::board_error("org.freedesktop.DBus.Error.AccessDenied"), std::nullopt);
    EXPECT_EQ(attach::board_error("org.tarnwick.Tarnwick1.Error.offline"), std::nullopt);
}

TEST_F(Bus, OutsideTheGroupOnlyReading) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run busctl as nobody";
    const auto read =
        busctl({"get-property", bus_name, board1, board_interface, "Online"}, "nobody");
    EXPECT_EQ(read.out, "b true") << read.err.toStdString();
    const auto refused =
        busctl({"call", bus_name, board1, board_interface, "Switch", "yb", "3", "true"}, "nobody");
    EXPECT_NE(refused.status, 0);
    EXPECT_TRUE(refused.err.contains("denied")) << refused.err.toStdString();
    const auto allowed =
        busctl({"call", bus_name, board1, board_interface, "Switch", "yb", "3", "true"});
    EXPECT_EQ(allowed.status, 0) << allowed.err.toStdString();
    EXPECT_EQ(line_.calls, 1);  // the refused call never reached the line
}

class TimeBus : public Bus {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(Bus::SetUp());
        objects_->set_time_model(&time_);  // after register_tree, as the service does
    }
    FakeTime time_;
    const QString uid_ = QString("uid %1").arg(::getuid());
};

const QString porch = "/org/tarnwick/Tarnwick1/schedule/porch_2dlights";
const QString boiler = "/org/tarnwick/Tarnwick1/schedule/boiler";
const QString night = "/org/tarnwick/Tarnwick1/scene/night";
const QString day = "/org/tarnwick/Tarnwick1/scene/day";

TEST_F(TimeBus, PropertiesHaveTheirTypes) {
    struct Row {
        QString path, interface, property, value;
    };
    const Row rows[] = {
        {porch, "org.tarnwick.Tarnwick1.Schedule", "Name", "s \"porch-lights\""},
        {porch, "org.tarnwick.Tarnwick1.Schedule", "Enabled", "b true"},
        {porch, "org.tarnwick.Tarnwick1.Schedule", "Active", "b true"},
        {porch, "org.tarnwick.Tarnwick1.Schedule", "NextChange", "t 1765432800000000"},
        {boiler, "org.tarnwick.Tarnwick1.Schedule", "Enabled", "b false"},
        {boiler, "org.tarnwick.Tarnwick1.Schedule", "NextChange", "t 0"},
        {night, "org.tarnwick.Tarnwick1.Scene", "Name", "s \"night\""},
    };
    for (const Row& row : rows) {
        const auto got = busctl({"get-property", bus_name, row.path, row.interface, row.property});
        EXPECT_EQ(got.out, row.value) << row.path.toStdString() << " " << row.property.toStdString()
                                      << ": " << got.err.toStdString();
    }
    // A scene has no schedule's properties, nor a schedule a board's.
    EXPECT_NE(busctl({"get-property", bus_name, night, schedule_interface, "Enabled"}).status, 0);
    EXPECT_NE(busctl({"get-property", bus_name, porch, board_interface, "Online"}).status, 0);
    const auto all = busctl({"call", bus_name, boiler, "org.freedesktop.DBus.Properties", "GetAll",
                             "s", schedule_interface});
    EXPECT_TRUE(all.out.startsWith("a{sv} 4 ")) << all.out.toStdString();
}

TEST_F(TimeBus, TreeAndObjectManagerListThemWhileThereIsAModel) {
    board_path_ = root_path;
    ASSERT_EQ(call("Introspect", {}, "org.freedesktop.DBus.Introspectable"), "");
    const QString xml = replied_.value(0).toString();
    for (const char* node : {"line", "schedule", "scene"})
        EXPECT_TRUE(xml.contains(QString("<node name=\"%1\"/>").arg(node))) << xml.toStdString();
    const auto tree = busctl({"tree", bus_name});
    for (const QString& path : {porch, boiler, night, day})
        EXPECT_TRUE(tree.out.contains(path)) << tree.out.toStdString();
    const auto introspect = busctl({"introspect", bus_name, porch});
    EXPECT_TRUE(introspect.out.contains(".Enable")) << introspect.out.toStdString();
    EXPECT_TRUE(busctl({"introspect", bus_name, night}).out.contains(".Apply"));
    const auto managed = [&] {
        return busctl({"call", bus_name, root_path, "org.freedesktop.DBus.ObjectManager",
                       "GetManagedObjects"})
            .out;
    };
    EXPECT_TRUE(managed().startsWith("a{oa{sa{sv}}} 7 ")) << managed().toStdString();

    // Without a model they go, and come back with InterfacesAdded.
    objects_->set_time_model(nullptr);
    EXPECT_TRUE(managed().startsWith("a{oa{sa{sv}}} 3 ")) << managed().toStdString();
    EXPECT_FALSE(busctl({"tree", bus_name}).out.contains("schedule"));
    PropertiesSeen seen;
    QDBusConnection client = QDBusConnection::connectToBus(bus_.address(), "client");
    ASSERT_TRUE(client.connect(bus_name, root_path, "org.freedesktop.DBus.ObjectManager",
                               "InterfacesAdded", &seen, SLOT(added(QDBusMessage))));
    objects_->set_time_model(&time_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.paths.size() >= 4; }, 5000));
    seen.paths.sort();
    EXPECT_EQ(seen.paths, (QStringList{day, night, boiler, porch}));
}

TEST_F(TimeBus, CallsReachTheModelWithTheCaller) {
    struct Row {
        QString path, interface, member;
        QVariantList args;
        QString error;
        QStringList reply;  // Apply's failed list
        QString model_call;
    };
    const QString unknown_object = "org.freedesktop.DBus.Error.UnknownObject";
    const QString unknown_method = "org.freedesktop.DBus.Error.UnknownMethod";
    const QString schedule = schedule_interface, scene = scene_interface;
    const Row rows[] = {
        {porch, schedule, "Enable", {false}, "", {}, "porch-lights off " + uid_},
        {boiler, schedule, "Enable", {true}, "", {}, "boiler on " + uid_},
        {porch, schedule, "Enable", {1}, unknown_method, {}, ""},  // "i"
        {porch, schedule, "Enable", {}, unknown_method, {}, ""},
        {porch, schedule, "Apply", {}, unknown_method, {}, ""},
        {"/org/tarnwick/Tarnwick1/schedule/porch_lights",
         schedule,
         "Enable",
         {true},
         unknown_object,
         {},
         ""},
        {day, scene, "Apply", {}, "", {}, "day " + uid_},
        {night,
         scene,
         "Apply",
         {},
         "",
         {"cabinet-3/7/2: board 7 does not answer"},
         "night " + uid_},
        {night, schedule, "Enable", {true}, unknown_method, {}, ""},
        {day, scene, "Apply", {true}, unknown_method, {}, ""},
        {"/org/tarnwick/Tarnwick1/scene/dusk", scene, "Apply", {}, unknown_object, {}, ""},
    };
    for (const Row& row : rows) {
        board_path_ = row.path;
        time_.calls.clear();
        replied_.clear();
        const QString what = row.path + " " + row.member;
        EXPECT_EQ(call(row.member, row.args, row.interface), row.error) << what.toStdString();
        if (row.interface == scene && row.error.isEmpty()) {
            EXPECT_EQ(replied_.value(0).toStringList(), row.reply) << what.toStdString();
        }
        EXPECT_EQ(time_.calls.join('|'), row.model_call) << what.toStdString();
    }
}

TEST_F(TimeBus, ScheduleChangesAreSignalledAlone) {
    PropertiesSeen seen;
    QDBusConnection client = QDBusConnection::connectToBus(bus_.address(), "client");
    ASSERT_TRUE(client.connect(bus_name, porch, "org.freedesktop.DBus.Properties",
                               "PropertiesChanged", &seen,
                               SLOT(changed(QString, QVariantMap, QStringList))));
    time_.porch.active = false;
    time_.porch.next_change += 1800'000'000;
    emit time_.schedule_changed("porch-lights");
    emit time_.schedule_changed("porch-lights");  // no change, no signal
    emit time_.schedule_changed("nowhere");
    board_path_ = porch;
    EXPECT_EQ(call("Enable", {false}, schedule_interface), "");
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.changes.size() >= 2; }, 5000));
    QTest::qWait(100);
    ASSERT_EQ(seen.changes.size(), 2);
    EXPECT_EQ(seen.changes[0].keys(), (QStringList{"Active", "NextChange"}));
    EXPECT_EQ(seen.changes[0]["Active"].toBool(), false);
    EXPECT_EQ(seen.changes[0]["NextChange"].value<qulonglong>(), 1765434600000000u);
    EXPECT_EQ(seen.changes[1].keys(), QStringList{"Enabled"});
    EXPECT_EQ(seen.changes[1]["Enabled"].toBool(), false);
}

TEST_F(TimeBus, OutsideTheGroupOnlyReading) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run busctl as nobody";
    const auto read =
        busctl({"get-property", bus_name, porch, schedule_interface, "Enabled"}, "nobody");
    EXPECT_EQ(read.out, "b true") << read.err.toStdString();
    for (const QStringList& call :
         {QStringList{"call", bus_name, porch, schedule_interface, "Enable", "b", "false"},
          QStringList{"call", bus_name, night, scene_interface, "Apply"}}) {
        const auto refused = busctl(call, "nobody");
        EXPECT_NE(refused.status, 0);
        EXPECT_TRUE(refused.err.contains("denied")) << refused.err.toStdString();
        EXPECT_EQ(busctl(call).status, 0) << call.join(' ').toStdString();
    }
    EXPECT_EQ(time_.calls, (QStringList{"porch-lights off uid 0", "night uid 0"}));
}

// tarnwick-ctl against these objects, in a zone half an hour off the hour
// (no daylight saving); the expected times are GNU date's.
TEST_F(TimeBus, CtlListsEnablesAndApplies) {
    struct Row {
        QStringList args;
        int status;
        QString out;  // found in stdout; all of it when it ends with a line break
        QString err;
        bool outsider = false;
        QString bus = {};  // else this test's
    };
    const Row rows[] = {
        {{"schedules"},
         0,
         "boiler        disabled idle   -\n"
         "porch-lights  enabled  active 2025-12-11T11:30:00+05:30\n",
         ""},
        {{"--json", "schedules"},
         0,
         R"({"active":false,"enabled":false,"name":"boiler","next_change":null},)"
         R"({"active":true,"enabled":true,"name":"porch-lights",)"
         R"("next_change":"2025-12-11T11:30:00+05:30"}]})",
         ""},
        {{"schedule", "boiler", "enable"}, 0, "\n", ""},
        {{"--json", "schedule", "porch-lights", "disable"}, 0, R"("enabled":false,"ok":true)", ""},
        {{"schedule", "dusk", "enable"}, 2, "", "tarnwickd has no schedule dusk"},
        {{"schedule", "boiler"}, 2, "", "enable or disable"},
        {{"scene"}, 0, "day\nnight\n", ""},
        {{"--json", "scene"}, 0, R"({"command":"scene","ok":true,"scenes":["day","night"]})", ""},
        {{"scene", "day"}, 0, "\n", ""},
        {{"scene", "night"}, 5, "", "scene night: not confirmed: cabinet-3/7/2: board 7 does not"},
        {{"--json", "scene", "night"},
         5,
         R"("failed":["cabinet-3/7/2: board 7 does not answer"],"ok":false,"reason":"not_confirmed")",
         ""},
        {{"scene", "dusk"}, 2, "", "tarnwickd has no scene dusk"},
        {{"-p", "2", "scene", "day"}, 2, "", "--port does not apply"},
        {{"--direct", "schedules"}, 2, "", "--direct does not apply"},
        {{"scene", "day"}, 3, "", "没有权限", true},
        {{"schedules"}, 3, "", "no tarnwickd on the bus", false, "unix:path=/nonexistent/bus"},
    };
    for (const Row& row : rows) {
        if (row.outsider && ::getuid() != 0) continue;  // needs root to run it as nobody
        QProcess ctl;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TARNWICK_BUS", row.bus.isEmpty() ? bus_.address() : row.bus);
        env.insert("TZ", "Asia/Kolkata");
        ctl.setProcessEnvironment(env);
        if (row.outsider)
            ctl.start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                             "--", TARNWICK_CTL} +
                                     row.args);
        else
            ctl.start(TARNWICK_CTL, row.args);
        const std::string what = row.args.join(' ').toStdString();
        ASSERT_TRUE(QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, 20000))
            << what;
        const QString out = QString::fromUtf8(ctl.readAllStandardOutput());
        const QString err = QString::fromUtf8(ctl.readAllStandardError());
        EXPECT_EQ(ctl.exitCode(), row.status) << what << ": " << err.toStdString();
        if (row.out.endsWith('\n')) {
            EXPECT_EQ(out, row.out.mid(row.out == "\n" ? 1 : 0)) << what;
        } else {
            EXPECT_TRUE(out.contains(row.out)) << what << ": " << out.toStdString();
        }
        EXPECT_TRUE(err.contains(row.err)) << what << ": " << err.toStdString();
    }
    // The model heard each call of a configured name, once; nobody's none.
    EXPECT_EQ(time_.calls, (QStringList{"boiler on " + uid_, "porch-lights off " + uid_,
                                        "day " + uid_, "night " + uid_, "night " + uid_}));

    // The service gone from the bus: the same as no bus at all.
    ASSERT_TRUE(service_->unregisterService(bus_name));
    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARNWICK_BUS", bus_.address());
    ctl.setProcessEnvironment(env);
    ctl.start(TARNWICK_CTL, {"--json", "scene", "day"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return ctl.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(ctl.exitCode(), 3);
    EXPECT_TRUE(ctl.readAllStandardOutput().contains(R"("exit":3,"ok":false,"reason":"port")"));
}

}  // namespace
}  // namespace tarnwick::service

#include "bus_test.moc"
