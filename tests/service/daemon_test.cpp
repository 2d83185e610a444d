// tarnwickd as a process: its configuration checked, its lines polling
// simulated boards, its objects on a bus of the test's own, its notifications
// on a socket the test reads.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "tests/service/private_bus.h"
#include "tests/support/board_sim.h"
#include "tests/support/broker.h"
#include "tests/support/modbus_fixture.h"
#include "tests/support/overview_rows.h"
#include "tests/support/program_copy.h"
#include "tests/support/recording_boxes.h"
#include "tests/support/wait.h"
#include "ui/line_overview.h"
#include "ui/link_aids.h"
#include "ui/main_form.h"
#include "ui/name_form.h"
#include "wire/qt_serial_port.h"

namespace tarnwick {
namespace {

const QString daemon_program = TARNWICK_DAEMON;
const QString ctl_program = TARNWICK_CTL;
const QString bus_name = "org.tarnwick.Tarnwick1";
const QString board_interface = "org.tarnwick.Tarnwick1.Board";
const QString line_interface = "org.tarnwick.Tarnwick1.Line";
const QString line_path = "/org/tarnwick/Tarnwick1/line/cab_2d1";
const QString schedule_interface = "org.tarnwick.Tarnwick1.Schedule";

// What the service tells systemd, read from a socket of the test's own by a
// thread of its own as it comes, as systemd would: a queue left full while
// the test waits on a process would block the service's next notification.
class NotifySocket {
  public:
    explicit NotifySocket(const QString& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", qPrintable(path));
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        reader_ = std::thread([this] {
            char buffer[4096];
            while (!stop_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, 50) <= 0) continue;
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0) continue;
                const std::lock_guard<std::mutex> lock(mutex_);
                incoming_ += QString::fromUtf8(buffer, static_cast<int>(n)) + "\n";
            }
        });
    }
    ~NotifySocket() {
        stop_ = true;
        reader_.join();
        ::close(fd_);
    }
    // Everything received so far, one message after another.
    const QString& received() {
        const std::lock_guard<std::mutex> lock(mutex_);
        received_ = incoming_;
        return received_;
    }
    [[nodiscard]] const QString& path() const { return path_; }

  private:
    QString path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    QString incoming_;
    QString received_;
    std::thread reader_;
};

QProcess::ProcessState run(const QStringList& args, int* status, QString* err) {
    QProcess process;
    process.start(daemon_program, args);
    process.waitForFinished(10000);
    *status = process.exitCode();
    *err = QString::fromUtf8(process.readAllStandardError()).trimmed();
    return process.state();
}

TEST(DaemonCheck, ExitsWithTheSentenceOrZero) {
    QTemporaryDir dir;
    struct Row {
        const char* text;
        int status;
        const char* err;  // its end
    };
    const Row rows[] = {
        {"[line a]\ndevice=/dev/null\n", 0, ""},
        {"[line a]\ndevice=/dev/null\nspeed=9600\n", 2,
         ":3: [line a] speed: unknown key; a line takes device, boards, pace, protocol, baud, "
         "parity, stop-bits, inputs, mqtt, username, password-file, tls-ca, "
         "allow-plaintext-password and read-only"},
        {"[line a]\ndevice=/dev/null\nprotocol=modbus\nbaud=19200\nparity=even\ninputs=8\n", 0, ""},
        {"[line a]\ndevice=/dev/null\nprotocol=modbus\nparity=space\n", 2,
         ":4: [line a] parity: \"space\" is none of none, even and odd"},
        {"[line a]\ndevice=/dev/null\nboards=1,2\nstop-bits=2\n", 2,
         ":4: [line a] stop-bits: only on a Modbus line (protocol=modbus); native boards run at "
         "9600 baud, 8N1, without inputs"},
        {"[line a]\ndevice=/dev/null\nprotocol=modbus\nboards=0,1\n", 2,
         ":4: [line a] boards: address 0 is the broadcast of a Modbus line; units are 1..247"},
        {"[line a]\ndevice=/dev/tarnwick-none\n", 0,
         ":1: [line a] device: /dev/tarnwick-none does not exist; the line waits for it"},
        {"\xEF\xBB\xBF[line a]\ndevice=/dev/null\n", 0, ""},
        {"[line a]\ndevice=/dev/null\n[board a 1]\npulse.1=1\npulse.01=2\n", 2,
         ":5: [board a 1] pulse.01: write the relay as 1..16, without sign or leading zero: "
         "pulse.1"},
    };
    for (const Row& row : rows) {
        QFile file(dir.filePath("t.conf"));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(row.text);
        file.close();
        int status = -1;
        QString err;
        run({"--check", "--config", file.fileName()}, &status, &err);
        EXPECT_EQ(status, row.status) << row.text;
        EXPECT_TRUE(*row.err ? err.endsWith(QString::fromUtf8(row.err)) : err.isEmpty())
            << row.text << ": " << err.toStdString();
    }
}

// The service's wall clock runs from `at` (seconds since the epoch) in
// `zone`, by libfaketime. An offset rather than its "@YYYY-MM-DD hh:mm:ss":
// that is read as local time, and a repeated hour as its second occurrence.
struct FakeClock {
    std::int64_t at = 0;
    QString zone;
};

QProcessEnvironment with_clock(QProcessEnvironment env, const FakeClock& clock) {
    const std::int64_t offset = clock.at - QDateTime::currentSecsSinceEpoch();
    env.insert("TZ", clock.zone);
    // The service has threads of its own: the variant that locks.
    env.insert("LD_PRELOAD", "/usr/$LIB/faketime/libfaketimeMT.so.1");
    env.insert("FAKETIME", QString("%1%2").arg(offset < 0 ? "" : "+").arg(offset));
    // A sanitized service refuses a library preloaded before its runtime.
    env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
    return env;
}

bool have_faketime() {
    return !QStandardPaths::findExecutable("faketime").isEmpty();
}

class Daemon : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(bus_.ready()); }
    // Boards 1 and 2 of the simulator (these arguments) on line cab-1, which
    // also polls the absent board 9, with the line's other keys. The device
    // is a link to the terminal, as the names under /dev/serial/by-id are.
    void start(const std::vector<std::string>& sim = {}, const QString& keys = {}) {
        stop_daemon();
        board_.reset();
        sim_args_ = {"--report-frames", "--address", "1,2", "--link", device().toStdString()};
        sim_args_.insert(sim_args_.end(), sim.begin(), sim.end());
        board_ = std::make_unique<test::BoardSim>(sim_args_);
        ASSERT_NO_FATAL_FAILURE(
            start_line(QString("device=%1\nboards=1,2,9\n%2").arg(device(), keys)));
    }
    // Line cab-1 of these keys alone, on whatever serves its device.
    void start_line(const QString& keys) {
        stop_daemon();
        QFile config(dir_.filePath("tarnwickd.conf"));
        config.open(QIODevice::WriteOnly | QIODevice::Truncate);
        config.write(QString("[line cab-1]\n%1").arg(keys).toUtf8());
        config.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NOTIFY_SOCKET", notify_.path());
        env.insert("WATCHDOG_USEC", "400000");
        env.insert("STATE_DIRECTORY", dir_.path());
        // The names handed out with the program: 地址码1, 第5路名称=valve.
        QDir(dir_.path()).mkpath("xdg/tarnwick");
        QFile seed(dir_.filePath("xdg/tarnwick/name.txt"));
        seed.open(QIODevice::WriteOnly);
        seed.write(
            "[\xB5\xD8\xD6\xB7\xC2\xEB"
            "1]\r\n\xB5\xDA"
            "5\xC2\xB7\xC3\xFB\xB3\xC6=valve\r\n");
        seed.close();
        env.insert("XDG_CONFIG_DIRS", dir_.filePath("xdg"));
        daemon_.setProcessEnvironment(env);
        ASSERT_NO_FATAL_FAILURE(start_daemon());
    }
    // Starts the service again as it was (after a crash: its state directory
    // is kept), waiting until it is ready.
    void start_daemon() {
        const int ready = notify_.received().count("READY=1");
        if (clock_)
            daemon_.setProcessEnvironment(with_clock(daemon_.processEnvironment(), *clock_));
        daemon_.start(daemon_program,
                      {"--config", dir_.filePath("tarnwickd.conf"), "--bus", bus_.address()});
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return notify_.received().count("READY=1") > ready; }, 10000));
    }
    // SIGKILL: as a crash, nothing said to anyone.
    void stop_daemon() {
        if (daemon_.state() == QProcess::NotRunning) return;
        daemon_.kill();
        daemon_.waitForFinished(3000);
        log();
    }
    void TearDown() override {
        stop_daemon();
        if (HasFailure()) std::fprintf(stderr, "tarnwickd's log:\n%s\n", qUtf8Printable(log()));
    }
    // The frames the boards read so far, and when; read often by the waits
    // below, so the times are those of their arrival within a few ms.
    bool wait_frame(const test::BoardSim::Frame& frame, std::size_t from, int timeout_ms,
                    std::size_t* at = nullptr) {
        return QTest::qWaitFor(
            [&] {
                const auto frames = board_->frames();
                for (std::size_t i = from; i < frames.size(); ++i)
                    if (frames[i] == frame) {
                        if (at) *at = i;
                        return true;
                    }
                return false;
            },
            timeout_ms);
    }
    double ms_between(std::size_t first, std::size_t second) {
        const auto times = board_->frame_times();
        return std::chrono::duration<double, std::milli>(times.at(second) - times.at(first))
            .count();
    }
    test::Busctl call(int address, const QStringList& args) {
        QStringList words{"call", bus_name, board(address), board_interface};
        return busctl(words + args);
    }
    // What the service wrote to stderr so far.
    const QString& log() {
        log_ += QString::fromUtf8(daemon_.readAllStandardError());
        return log_;
    }
    test::Busctl busctl(const QStringList& args) { return test::busctl(bus_.address(), args); }
    QString board(int address) { return line_path + "/board/" + QString::number(address); }
    QString schedule_property(const QString& name, const QString& property) {
        return busctl({"get-property", bus_name, "/org/tarnwick/Tarnwick1/schedule/" + name,
                       schedule_interface, property})
            .out;
    }
    QString device() const { return dir_.filePath("ttyUSB0"); }
    bool wait_property(const QString& path, const QString& name, const QString& value,
                       const QString& interface = board_interface) {
        return QTest::qWaitFor(
            [&] {
                return busctl({"get-property", bus_name, path, interface, name}).out == value;
            },
            5000);
    }

    test::PrivateBus bus_{TARNWICK_SOURCE_DIR "/packaging/org.tarnwick.Tarnwick1.conf"};
    QTemporaryDir dir_;
    NotifySocket notify_{dir_.filePath("notify")};
    std::unique_ptr<test::BoardSim> board_;
    QProcess daemon_;
    std::optional<FakeClock> clock_;  // from the next start
    QString log_;
    std::vector<std::string> sim_args_;
};

TEST_F(Daemon, SwitchesTheBoardsOfItsLineAndEndsOnTerm) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return notify_.received().contains("STATUS=2 of 3 boards answer on 1 line(s)"); },
        3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return notify_.received().contains("WATCHDOG=1"); }, 1000));

    const auto on =
        busctl({"call", bus_name, board(2), board_interface, "Switch", "yb", "3", "true"});
    EXPECT_EQ(on.status, 0) << on.err.toStdString();
    EXPECT_TRUE(
        log().contains(QString("board 2 relay 3 (dbus): switching on for uid %1").arg(::getuid())));
    EXPECT_TRUE(board_->wait_for_relays(2, 0x0004, std::chrono::milliseconds(1000)));
    EXPECT_EQ(board_->last_relays(1).value_or(0), 0);  // the other board untouched
    EXPECT_EQ(busctl({"get-property", bus_name, board(2), board_interface, "Relays"}).out, "q 4");

    // Callers that hang up at once: every change they make still names the
    // uid that asked for it, or is not made.
    for (int i = 0; i < 10; ++i) {
        busctl({"call", "--expect-reply=no", bus_name, board(2), board_interface, "Switch", "yb",
                "4", i % 2 ? "false" : "true"});
    }
    // Some may be refused (their caller left unnamed): relay 4 ends either
    // way, relay 3 stays as it was.
    QTest::qWait(500);
    EXPECT_EQ(board_->last_relays(2).value_or(0) & 0x0004, 0x0004);
    for (const QString& line : log().split('\n')) {
        if (line.contains("(dbus): relay") || line.contains("(dbus): switching")) {
            EXPECT_TRUE(line.contains("uid ")) << line.toStdString();
        }
    }
    EXPECT_FALSE(log().contains("whose uid the bus did not say"));

    // Switched comes before the PropertiesChanged it causes: a watcher has
    // the cause when it sees the change. Monitoring the bus is root's, as on
    // the system bus.
    QProcess monitor;
    if (::getuid() == 0) {
        monitor.start("busctl", {"--address=" + bus_.address(), "monitor", "--match",
                                 "type='signal',path='" + board(2) + "'"});
        ASSERT_TRUE(monitor.waitForStarted());
        QTest::qWait(300);
        EXPECT_EQ(call(2, {"Switch", "yb", "6", "true"}).status, 0);
        QString seen;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                seen += QString::fromUtf8(monitor.readAllStandardOutput());
                return seen.contains("Member=PropertiesChanged");
            },
            3000));
        monitor.kill();
        monitor.waitForFinished(1000);
        EXPECT_NE(seen.indexOf("Member=Switched"), -1) << seen.toStdString();
        EXPECT_LT(seen.indexOf("Member=Switched"), seen.indexOf("Member=PropertiesChanged"))
            << seen.toStdString();
    }

    const auto offline =
        busctl({"call", bus_name, board(9), board_interface, "Switch", "yb", "1", "true"});
    EXPECT_NE(offline.status, 0);
    EXPECT_TRUE(offline.err.contains("board 9 is offline")) << offline.err.toStdString();

    // The state directory's name file started as the seed; a name given
    // beside the program would have come first.
    if (!QFileInfo::exists(QFileInfo(daemon_program).dir().filePath("name.txt"))) {
        EXPECT_TRUE(busctl({"get-property", bus_name, board(1), board_interface, "Names"})
                        .out.contains("\"valve\""));
    }
    const auto renamed =
        busctl({"call", bus_name, board(1), board_interface, "Rename", "ys", "2", "pump"});
    EXPECT_EQ(renamed.status, 0) << renamed.err.toStdString();
    const QString names =
        busctl({"get-property", bus_name, board(1), board_interface, "Names"}).out;
    EXPECT_TRUE(names.contains("\"pump\"") && names.contains("\"valve\"")) << names.toStdString();
    EXPECT_TRUE(QFile::exists(dir_.filePath("name.txt")));
    // The file's readers take 254 bytes of GBK: a longer name would come back
    // cut, a huge one would make the file too large for every later rename.
    const struct {
        QString name;
        int status;
    } lengths[] = {
        {QString(254, 'x'), 0}, {QString(127, QChar(0x6C34)), 0},  // 水: two bytes each
        {QString(255, 'x'), 1}, {QString(128, QChar(0x6C34)), 1}, {QString(1 << 20, 'x'), 1},
    };
    {
        QDBusConnection caller = QDBusConnection::connectToBus(bus_.address(), "lengths");
        for (const auto& row : lengths) {
            QDBusMessage rename =
                QDBusMessage::createMethodCall(bus_name, board(1), board_interface, "Rename");
            rename << QVariant::fromValue(static_cast<uchar>(3)) << row.name;
            const QDBusMessage reply = caller.call(rename, QDBus::Block, 10000);
            EXPECT_EQ(reply.type() == QDBusMessage::ErrorMessage, row.status != 0)
                << row.name.size();
            if (row.status) {
                EXPECT_EQ(reply.errorName(), "org.tarnwick.Tarnwick1.Error.InvalidArgument");
                EXPECT_TRUE(reply.errorMessage().contains("at most 254 bytes"));
            }
        }
    }

    const QStringList names_now =
        QDBusInterface(bus_name, board(1), board_interface,
                       QDBusConnection::connectToBus(bus_.address(), "lengths"))
            .property("Names")
            .toStringList();
    EXPECT_EQ(names_now.value(2), QString(127, QChar(0x6C34)));
    QDBusConnection::disconnectFromBus("lengths");

    daemon_.terminate();
    EXPECT_TRUE(daemon_.waitForFinished(2000));
    EXPECT_EQ(daemon_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon_.exitCode(), 0);
    EXPECT_TRUE(notify_.received().contains("STOPPING=1"));
}

// The line's broker: what the boards answer is published, a set switches a
// relay, a D-Bus switch shows there too; a broker that restarted with nothing
// kept gets everything again; SIGTERM leaves every board and the node
// "offline" on the broker, within the 2 s systemd is promised.
TEST_F(Daemon, ServesItsLineOnTheBrokerAndLeavesItOfflineOnTerm) {
    test::Broker broker;
    QFile password(dir_.filePath("cab-1.password"));
    ASSERT_TRUE(password.open(QIODevice::WriteOnly));
    password.write(QByteArray(test::Broker::cabinet_password) + "\n");
    password.close();
    password.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ASSERT_NO_FATAL_FAILURE(start({}, QString("mqtt=127.0.0.1:%1\nusername=%2\npassword-file=%3\n")
                                          .arg(broker.port())
                                          .arg(test::Broker::cabinet_user)
                                          .arg(password.fileName())));
    const auto retained = [&](const char* topic, const char* payload) {
        return broker.wait_retained(topic, payload, 10000);
    };
    EXPECT_TRUE(retained("tarnwick/cab-1/status", "online"));
    EXPECT_TRUE(retained("tarnwick/cab-1/1/availability", "online"));
    EXPECT_TRUE(retained("tarnwick/cab-1/9/availability", "offline"));
    EXPECT_TRUE(retained("tarnwick/cab-1/2/relay/5/state", "OFF"));

    ASSERT_TRUE(broker.publish("tarnwick/cab-1/2/relay/5/set", "ON", false));
    EXPECT_TRUE(board_->wait_for_relays(2, 0x0010, std::chrono::milliseconds(3000)));
    EXPECT_TRUE(retained("tarnwick/cab-1/2/relay/5/state", "ON"));
    EXPECT_EQ(
        busctl({"call", bus_name, board(1), board_interface, "Switch", "yb", "7", "true"}).status,
        0);
    EXPECT_TRUE(retained("tarnwick/cab-1/1/relay/7/state", "ON"));
    EXPECT_EQ(board_->last_relays(2).value_or(0), 0x0010);  // the D-Bus call's board only

    broker.stop();
    broker.start();
    EXPECT_TRUE(retained("tarnwick/cab-1/1/relay/7/state", "ON"));
    EXPECT_TRUE(retained("tarnwick/cab-1/2/availability", "online"));

    QElapsedTimer stopping;
    stopping.start();
    daemon_.terminate();
    EXPECT_TRUE(daemon_.waitForFinished(2000));
    EXPECT_LT(stopping.elapsed(), 2000);
    EXPECT_EQ(daemon_.exitCode(), 0);
    EXPECT_EQ(broker.retained("tarnwick/cab-1/status"), QByteArray("offline"));
    EXPECT_EQ(broker.retained("tarnwick/cab-1/1/availability"), QByteArray("offline"));
    if (HasFailure()) std::fprintf(stderr, "broker's log:\n%s\n", qUtf8Printable(broker.log()));
}

// A Modbus line: its family and inputs on the bus and the broker (retained
// ON/OFF, a binary sensor per input in Home Assistant's discovery), its
// relays switched as a native line's.
TEST_F(Daemon, AModbusLineShowsItsInputsAndSwitches) {
    test::Broker broker;
    QFile password(dir_.filePath("cab-1.password"));
    ASSERT_TRUE(password.open(QIODevice::WriteOnly));
    password.write(QByteArray(test::Broker::cabinet_password) + "\n");
    password.close();
    password.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    ASSERT_NO_FATAL_FAILURE(
        start({"--protocol", "modbus", "--inputs", "8", "--input-bits", "0x05"},
              QString("protocol=modbus\ninputs=8\nmqtt=127.0.0.1:%1\nusername=%2\n"
                      "password-file=%3\n")
                  .arg(broker.port())
                  .arg(test::Broker::cabinet_user)
                  .arg(password.fileName())));
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    EXPECT_EQ(busctl({"get-property", bus_name, board(1), board_interface, "Protocol"}).out,
              "s \"modbus\"");
    EXPECT_TRUE(wait_property(board(1), "Inputs", "q 5"));
    EXPECT_TRUE(wait_property(board(2), "Inputs", "q 5"));
    EXPECT_EQ(busctl({"get-property", bus_name, board(9), board_interface, "Inputs"}).out, "q 0");

    const auto on = call(2, {"Switch", "yb", "3", "true"});
    EXPECT_EQ(on.status, 0) << on.err.toStdString();
    EXPECT_TRUE(board_->wait_for_relays(2, 0x0004, std::chrono::milliseconds(1000)));
    EXPECT_EQ(busctl({"get-property", bus_name, board(2), board_interface, "Relays"}).out, "q 4");

    const struct {
        const char* topic;
        const char* payload;
    } retained[] = {
        {"tarnwick/cab-1/1/input/1", "ON"}, {"tarnwick/cab-1/1/input/2", "OFF"},
        {"tarnwick/cab-1/1/input/3", "ON"}, {"tarnwick/cab-1/1/input/8", "OFF"},
        {"tarnwick/cab-1/2/input/3", "ON"}, {"tarnwick/cab-1/2/relay/3/state", "ON"},
    };
    for (const auto& row : retained)
        EXPECT_TRUE(broker.wait_retained(row.topic, row.payload, 10000)) << row.topic;
    EXPECT_FALSE(broker.retained("tarnwick/cab-1/1/input/9"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return broker.retained("homeassistant/device/tarnwick_cab-1_1/config").has_value(); },
        10000));
    const QJsonObject cmps =
        QJsonDocument::fromJson(*broker.retained("homeassistant/device/tarnwick_cab-1_1/config"))
            .object()["cmps"]
            .toObject();
    EXPECT_EQ(cmps["i8"]["p"].toString(), "binary_sensor");
    EXPECT_EQ(cmps["i8"]["state_topic"].toString(), "tarnwick/cab-1/1/input/8");
    EXPECT_FALSE(cmps.contains("i9"));
    if (HasFailure()) std::fprintf(stderr, "broker's log:\n%s\n", qUtf8Printable(broker.log()));
}

// A Modbus line on a server nobody here wrote (pymodbus): what the server
// holds shows on the bus and in tarnwick-ctl through the service, and their
// switches reach it. Expectations come from the server's own state. The rows
// run in order; each starts from the state the one before left.
TEST_F(Daemon, AModbusLineOnAServerWeDidNotWrite) {
    test::ModbusFixture server;
    const QString path = QString::fromStdString(server.path());
    ASSERT_NO_FATAL_FAILURE(start_line(
        QString("device=%1\nprotocol=modbus\nbaud=9600\nparity=none\nboards=1,2\ninputs=8\n")
            .arg(path)));
    ASSERT_TRUE(wait_property(board(1), "Online", "b true")) << log().toStdString();
    const auto copy = test::program_copy(ctl_program);
    ASSERT_TRUE(copy);
    const auto events = [] { QCoreApplication::processEvents(); };
    struct Row {
        const char* what;
        std::function<void(test::ModbusFixture&)> on_server = {};
        QStringList call = {};           // a method of board 1's on the bus
        QStringList ctl = {};            // tarnwick-ctl's arguments after -p DEVICE
        const char* property = nullptr;  // board 1's, and its value
        const char* value = nullptr;
        bool relays_as_server = false;  // board 1's Relays come to be unit 1's coils
        std::optional<std::uint16_t> unit1 = std::nullopt;  // the server's coils
        std::optional<std::uint16_t> unit2 = std::nullopt;
        QStringList out = {};
    };
    const auto no = std::nullopt;
    // clang-format off
    const Row rows[] = {
        {"its family", {}, {}, {}, "Protocol", "s \"modbus\""},
        {"how many inputs it reads", {}, {}, {}, "InputCount", "q 8"},
        {"the inputs the server starts with", {}, {}, {}, "Inputs", "q 5"},
        {"a coil set on the server", [](auto& s) { s.set_coil(1, 9, true); }, {}, {},
         nullptr, nullptr, true, 0x0200},
        {"an input set on the server", [](auto& s) { s.set_input(1, 7, true); }, {}, {},
         "Inputs", "q 133"},
        {"a switch on the bus", {}, {"Switch", "yb", "3", "true"}, {},
         nullptr, nullptr, true, 0x0204, 0x0000},
        {"status through the service", {}, {}, {"-a", "1", "status"}, nullptr, nullptr, false, no, no,
         {"10  on", " 3  on", " 9  off", "in 1  on", "in 2  off", "in 8  on"}},
        {"inputs in --json", {}, {}, {"--json", "status"}, nullptr, nullptr, false, no, no,
         {"\"inputs\":[{\"input\":1,\"on\":true},{\"input\":2,\"on\":false}"}},
        {"unit 2's inputs in a watch", {}, {}, {"-a", "2", "watch", "--count", "1"},
         nullptr, nullptr, false, no, no, {"all off  inputs on: 6 8"}},
        {"a switch through the service", {}, {}, {"-a", "2", "on", "16"},
         nullptr, nullptr, false, 0x0204, 0x8000, {"16  on"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.on_server) row.on_server(server);
        if (!row.call.isEmpty()) {
            const auto done = call(1, row.call);
            EXPECT_EQ(done.status, 0) << done.err.toStdString();
        }
        if (!row.ctl.isEmpty()) {
            QProcess ctl;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TARNWICK_BUS", bus_.address());
            env.insert("TARNWICK_SERVICE_WAIT_MS", "3000");
            env.insert("XDG_CONFIG_HOME", dir_.filePath("ctl-config"));
            ctl.setProcessEnvironment(env);
            ctl.start(copy->filePath(QFileInfo(ctl_program).fileName()),
                      QStringList{"-p", path} + row.ctl);
            ASSERT_TRUE(ctl.waitForFinished(10000));
            const QString out = QString::fromUtf8(ctl.readAllStandardOutput());
            EXPECT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
            for (const QString& part : row.out)
                EXPECT_TRUE(out.contains(part)) << part.toStdString() << "\n" << out.toStdString();
        }
        if (row.unit1) {
            EXPECT_TRUE(server.wait_for_coils(1, *row.unit1, std::chrono::seconds(3), events));
        }
        if (row.unit2) {
            EXPECT_TRUE(server.wait_for_coils(2, *row.unit2, std::chrono::seconds(3), events));
        }
        if (row.relays_as_server) {
            EXPECT_TRUE(wait_property(board(1), "Relays", QString("q %1").arg(server.coils(1))));
        }
        if (row.property) {
            EXPECT_TRUE(wait_property(board(1), row.property, row.value))
                << busctl({"get-property", bus_name, board(1), board_interface, row.property})
                       .out.toStdString();
        }
    }
    if (HasFailure()) std::fprintf(stderr, "server's log:\n%s\n", server.log().c_str());
}

// Boards with fewer inputs than configured refuse every read of them: said
// in the journal, once for a while, and the relays still switch.
TEST_F(Daemon, ABoardRefusingItsInputReadsIsSaidOnceAndStillSwitches) {
    ASSERT_NO_FATAL_FAILURE(
        start({"--protocol", "modbus", "--inputs", "4"}, "protocol=modbus\ninputs=16\n"));
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    const QString refused =
        "board 1: refused: unit 1 refused read discrete inputs (02): illegal data address (02), "
        "it has fewer inputs";
    EXPECT_TRUE(QTest::qWaitFor([&] { return log().contains(refused); }, 3000))
        << log().toStdString();
    const auto on = call(1, {"Switch", "yb", "16", "true"});
    EXPECT_EQ(on.status, 0) << on.err.toStdString();
    EXPECT_TRUE(board_->wait_for_relays(1, 0x8000, std::chrono::milliseconds(1000)));
    QTest::qWait(500);
    EXPECT_EQ(log().count(refused), 1) << log().toStdString();
    EXPECT_EQ(busctl({"get-property", bus_name, board(1), board_interface, "Inputs"}).out, "q 0");
}

// Frames as the board documentation writes them (the last byte the sum of
// the others, modulo 256).
using Frame = test::BoardSim::Frame;
const Frame board2_on5{0x55, 0x02, 0x21, 0x00, 0x00, 0xFA, 0x05, 0x77};
const Frame board2_off5{0x55, 0x02, 0x11, 0x00, 0x00, 0x00, 0x05, 0x6D};
const Frame board2_on7{0x55, 0x02, 0x21, 0x00, 0x00, 0xFA, 0x07, 0x79};
const Frame board2_off7{0x55, 0x02, 0x11, 0x00, 0x00, 0x00, 0x07, 0x6F};
const Frame board1_off1{0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x01, 0x68};
const Frame board1_on2{0x55, 0x01, 0x21, 0x00, 0x00, 0xFA, 0x02, 0x73};
const Frame board1_all_on{0x55, 0x01, 0x13, 0x00, 0x00, 0xFF, 0xFF, 0x67};

// Relay 5 of board 2 has a pulse of 0.3 s: a switch on over the bus ends by
// itself, counted from the ON frame; an explicit pulse of relay 7 too. The
// journal says who did each.
TEST_F(Daemon, APulseEndsAfterItsTimeWhateverSwitchedItOn) {
    ASSERT_NO_FATAL_FAILURE(start({}, "[board cab-1 2]\npulse.5=0.3\n"));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    struct Row {
        QStringList call;
        Frame on, off;
        double length_ms;
    };
    const Row rows[] = {
        {{"Switch", "yb", "5", "true"}, board2_on5, board2_off5, 300},
        {{"Pulse", "yd", "7", "0.2"}, board2_on7, board2_off7, 200},
    };
    for (const Row& row : rows) {
        const std::size_t from = board_->frames().size();
        const auto reply = call(2, row.call);
        EXPECT_EQ(reply.status, 0) << reply.err.toStdString();
        std::size_t on = 0, off = 0;
        ASSERT_TRUE(wait_frame(row.on, from, 2000, &on)) << row.call.join(' ').toStdString();
        ASSERT_TRUE(wait_frame(row.off, on, 3000, &off)) << row.call.join(' ').toStdString();
        EXPECT_GE(ms_between(on, off), row.length_ms - 5);  // read times: a few ms off
        EXPECT_TRUE(board_->wait_for_relays(2, 0, std::chrono::milliseconds(1000)));
    }
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return log().contains("board 2 relay 7 (pulse): relay off"); }, 1000));
    EXPECT_TRUE(log().contains("board 2 relay 5 (pulse): relay off")) << log().toStdString();

    // Already on: no ON frame is needed, and the time starts all the same.
    // An ON during a pulse starts its time again.
    struct Again {
        const char* what;
        QStringList first, second;
        Frame off;
        int between_ms;  // from the first call's return to the second call
        // The OFF comes 300 ms after the second call, so this long after the
        // first's return at least.
        double at_least_ms, at_most_ms;
    };
    const Again again[] = {
        {"a pulse of a relay already on",
         {"Switch", "yb", "7", "true"},
         {"Pulse", "yd", "7", "0.3"},
         board2_off7,
         400,
         400 + 300,
         1500},
        {"an ON during the pulse",
         {"Switch", "yb", "5", "true"},
         {"Switch", "yb", "5", "true"},
         board2_off5,
         150,
         150 + 300,
         1200},
    };
    for (const Again& row : again) {
        SCOPED_TRACE(row.what);
        const std::size_t from = board_->frames().size();
        QElapsedTimer since;
        since.start();
        EXPECT_EQ(call(2, row.first).status, 0);
        const qint64 first_done = since.elapsed();
        QTest::qWait(row.between_ms);
        const auto reply = call(2, row.second);
        EXPECT_EQ(reply.status, 0) << reply.err.toStdString();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto frames = board_->frames();
                return std::find(frames.begin() + static_cast<std::ptrdiff_t>(from), frames.end(),
                                 row.off) != frames.end();
            },
            3000))
            << "the OFF never came";
        const qint64 off = since.elapsed() - first_done;
        EXPECT_GE(off, row.at_least_ms - 5);
        EXPECT_LE(off, row.at_most_ms);
        EXPECT_TRUE(board_->wait_for_relays(2, 0, std::chrono::milliseconds(1000)));
    }
    EXPECT_TRUE(
        log().contains(QString("board 2 relay 5 (dbus): relay on (uid %1)").arg(::getuid())));
}

// A pulse of 3 s: the service killed 1.5 s in and started again ends it at
// its time, not 3 s after the restart; a deadline that passed while the
// adapter was out ends it at the board's first answer once it is back.
TEST_F(Daemon, APulseOutlivesACrashAndAnUnplug) {
    ASSERT_NO_FATAL_FAILURE(start({}, "[board cab-1 2]\npulse.5=3\n"));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    EXPECT_EQ(call(2, {"Switch", "yb", "5", "true"}).status, 0);
    std::size_t on = 0, off = 0;
    ASSERT_TRUE(wait_frame(board2_on5, 0, 1000, &on));
    QTest::qWait(1500);
    stop_daemon();
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_TRUE(wait_frame(board2_off5, on, 4000, &off));
    EXPECT_GE(ms_between(on, off), 3000 - 5);
    EXPECT_LT(ms_between(on, off), 4000);  // a fresh 3 s from the restart: 4.5 s at least

    // Unplugged while on; back with the relay still on once the time is up.
    ASSERT_TRUE(board_->wait_for_relays(2, 0, std::chrono::milliseconds(1000)));
    EXPECT_EQ(call(2, {"Switch", "yb", "5", "true"}).status, 0);
    board_->kill(SIGTERM);
    ASSERT_TRUE(board_->wait_exit(std::chrono::milliseconds(2000)));
    QTest::qWait(3200);
    std::vector<std::string> args = sim_args_;
    args.insert(args.end(), {"--relays", "0x0010"});  // relay 5 of both boards on
    board_ = std::make_unique<test::BoardSim>(args);
    ASSERT_TRUE(wait_frame(board2_off5, 0, 3000));
    EXPECT_TRUE(board_->wait_for_relays(2, 0, std::chrono::milliseconds(1000)));
    EXPECT_EQ(board_->last_relays(1), 0x0010);  // no pulse on board 1: left alone
}

// Relays 1 and 2 of board 1 are interlocked, 0.2 s apart.
TEST_F(Daemon, AnInterlockNeverHasTwoOnAndSaysWhyItRefuses) {
    const QString rules = "[board cab-1 1]\ninterlock=1,2\ninterlock-wait=0.2\n";
    const QString interlock_error = "org.tarnwick.Tarnwick1.Error.Interlock";
    struct Row {
        const char* what;
        std::vector<std::string> sim;
        QStringList first, second;  // calls; `second` is the one judged
        const char* error;          // its D-Bus error, or "" for none
        std::uint16_t relays;       // board 1's at the end
        const char* logged;
    };
    const Row rows[] = {
        {"release, wait, energize",
         {},
         {"Switch", "yb", "1", "true"},
         {"Switch", "yb", "2", "true"},
         "",
         0x0002,
         "(interlock): relay off"},
        {"the release is not confirmed",
         {"--stuck", "--relays", "0x0001"},
         {},
         {"Switch", "yb", "2", "true"},
         "not seen released within 1 s",
         0x0001,
         "not switched on"},
        {"all on is refused", {}, {}, {"SwitchAll", "b", "true"}, "all on is refused", 0x0000, ""},
        {"two found on together",
         {"--relays", "0x0003"},
         {},
         {},
         "",
         0x0000,
         "relays 1 and 2 of one interlocked group are on together"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_NO_FATAL_FAILURE(start(row.sim, rules));
        ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
        if (!row.first.isEmpty()) {
            EXPECT_EQ(call(1, row.first).status, 0);
        }
        const std::size_t from = board_->frames().size();
        if (!row.second.isEmpty()) {
            const auto reply = call(1, row.second);
            EXPECT_EQ(reply.status == 0, !*row.error) << reply.err.toStdString();
            if (*row.error) {
                EXPECT_TRUE(reply.err.contains(row.error)) << reply.err.toStdString();
            }
        }
        EXPECT_TRUE(board_->wait_for_relays(1, row.relays, std::chrono::milliseconds(2000)));
        const auto frames = board_->frames();
        const auto at = [&](const Frame& f) {
            return std::find(frames.begin() + static_cast<std::ptrdiff_t>(from), frames.end(), f) -
                   frames.begin();
        };
        const auto end = static_cast<std::ptrdiff_t>(frames.size());
        if (*row.error || row.second.isEmpty()) {
            EXPECT_EQ(at(board1_on2), end) << "relay 2 energized";
            EXPECT_EQ(at(board1_all_on), end) << "all energized";
        } else {
            ASSERT_LT(at(board1_off1), at(board1_on2));
            ASSERT_LT(at(board1_on2), end);
            EXPECT_GE(ms_between(static_cast<std::size_t>(at(board1_off1)),
                                 static_cast<std::size_t>(at(board1_on2))),
                      200 - 5);
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return log().contains(row.logged); }, 2000))
            << row.logged;
    }
}

// Board 1: relays off after power-up but 3 on and 4 as last confirmed;
// board 2 keeps what it has. Both boards start, and come back from a power
// cut, with relays 1 and 9 on.
TEST_F(Daemon, PowerOnPutsTheRelaysAsConfiguredWhenABoardStartsAnswering) {
    ASSERT_NO_FATAL_FAILURE(
        start({"--relays", "0x0101", "--power-cut", "1500"},
              "[board cab-1 1]\npower-on=off\npower-on.3=on\npower-on.4=last\n"));
    EXPECT_TRUE(board_->wait_for_relays(1, 0x0004, std::chrono::milliseconds(3000)));
    EXPECT_EQ(call(1, {"Switch", "yb", "4", "true"}).status, 0);  // confirmed, so kept
    EXPECT_TRUE(board_->wait_for_relays(1, 0x000C, std::chrono::milliseconds(1000)));

    board_->kill(SIGPWR);
    EXPECT_TRUE(board_->wait_for_relays(1, 0x0101, std::chrono::milliseconds(1000)));
    EXPECT_TRUE(wait_property(board(1), "Online", "b false"));
    EXPECT_TRUE(board_->wait_for_relays(1, 0x000C, std::chrono::milliseconds(4000)));
    EXPECT_TRUE(wait_property(board(1), "Relays", "q 12"));
    EXPECT_EQ(board_->last_relays(2), 0x0101);
    EXPECT_TRUE(log().contains("board 1 relay 3 (power-on): relay on")) << log().toStdString();
    EXPECT_TRUE(log().contains("board 1 relay 4 (power-on): relay on"));

    // Started again with the relays already as wanted: no command at all.
    stop_daemon();
    const std::size_t from = board_->frames().size();
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    QTest::qWait(500);
    const auto frames = board_->frames();
    EXPECT_TRUE(std::all_of(frames.begin() + static_cast<std::ptrdiff_t>(from), frames.end(),
                            [](const Frame& f) { return f[2] == 0x10; }));
}

// Board 1 answers 120 ms late, after two more frames went out, and the line
// hurries on after each answer: each answer still goes to the board that sent
// it, and none is lost (the board stays online, its switch is confirmed).
TEST_F(Daemon, ABoardAnsweringLateKeepsItsOwnRelays) {
    ASSERT_NO_FATAL_FAILURE(start({"--delay", "120,0"}, "pace=answer\n"));
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    const auto two =
        busctl({"call", bus_name, board(2), board_interface, "Switch", "yb", "3", "true"});
    EXPECT_EQ(two.status, 0) << two.err.toStdString();
    const auto one =
        busctl({"call", bus_name, board(1), board_interface, "Switch", "yb", "16", "true"});
    EXPECT_EQ(one.status, 0) << one.err.toStdString();
    const std::size_t polled = board_->frames().size();
    EXPECT_TRUE(QTest::qWaitFor([&] { return board_->frames().size() >= polled + 40; }, 5000));
    EXPECT_EQ(board_->last_relays(1).value_or(0), 0x8000);
    EXPECT_EQ(board_->last_relays(2).value_or(0), 0x0004);
    EXPECT_EQ(busctl({"get-property", bus_name, board(1), board_interface, "Relays"}).out,
              "q 32768");
    EXPECT_EQ(busctl({"get-property", bus_name, board(2), board_interface, "Relays"}).out, "q 4");
    // Each relay was seen to change once, on its own board.
    EXPECT_EQ(log().count("relay on"), 2);
    EXPECT_EQ(log().count("relay off"), 0);
    EXPECT_FALSE(log().contains("offline"));
}

// The adapter pulled and put back: the simulator ends, its link goes, and
// another starts under the same name.
TEST_F(Daemon, ADevicePulledAndPutBackIsPolledAgain) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    board_->kill(SIGTERM);
    ASSERT_TRUE(board_->wait_exit(std::chrono::milliseconds(2000)));
    EXPECT_TRUE(wait_property(line_path, "Open", "b false", line_interface));
    EXPECT_TRUE(wait_property(board(1), "Online", "b false"));
    board_ = std::make_unique<test::BoardSim>(sim_args_);
    EXPECT_TRUE(wait_property(line_path, "Open", "b true", line_interface));
    EXPECT_TRUE(wait_property(board(1), "Online", "b true"));
    EXPECT_TRUE(wait_property(board(2), "Online", "b true"));
}

// What the line keeps across restarts is in a file anyone with the service's
// rights may have spoiled: a FIFO, a file too large or not a state file is
// set aside, never waited on; a directory under the name a lock file would
// have blocks nothing. The service is ready at once, and the next pulse
// writes a new file.
TEST_F(Daemon, AStateFileOfAnyKindNeverStopsTheLine) {
    const QString state = dir_.filePath("line-cab-1.state");
    const auto write = [&](const QByteArray& bytes) {
        QFile file(state);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
    };
    struct Row {
        const char* what;
        std::function<void()> spoil;
        const char* logged;  // "" for nothing said
    };
    const Row rows[] = {
        {"a FIFO", [&] { ::mkfifo(qPrintable(state), 0600); }, "not a regular file; set aside as"},
        {"not a state file", [&] { write("[board-2]\nrelays=lots\n"); },
         "line 2 cannot be understood; set aside as"},
        {"17 MiB",
         [&] {
             QFile file(state);
             file.open(QIODevice::WriteOnly);
             file.resize(17 << 20);
         },
         "larger than 16 MiB; set aside as"},
        {"its lock file's name taken", [&] { QDir().mkpath(state + ".lock"); }, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        stop_daemon();
        QFile::remove(state);
        row.spoil();
        ASSERT_NO_FATAL_FAILURE(start({}, "[board cab-1 2]\npulse.5=0.3\n"));
        ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
        EXPECT_EQ(call(2, {"Switch", "yb", "5", "true"}).status, 0);
        EXPECT_TRUE(board_->wait_for_relays(2, 0, std::chrono::milliseconds(2000)));
        if (*row.logged) {
            EXPECT_TRUE(log().contains(row.logged)) << log().toStdString();
        }
        QByteArray kept;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                QFile file(state);
                kept = QFileInfo(state).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                                   : QByteArray();
                return kept.contains("[board-2]\nrelays=0\n");
            },
            2000))
            << kept.toStdString();
    }

    // A write that fails is said once, and done again once it can be.
    QFile::remove(state);
    ASSERT_TRUE(QDir().mkpath(state + "/in-the-way"));
    for (int pulse = 0; pulse < 2; ++pulse) {
        EXPECT_EQ(call(2, {"Switch", "yb", "5", "true"}).status, 0);
        EXPECT_TRUE(board_->wait_for_relays(2, 0, std::chrono::milliseconds(2000)));
    }
    EXPECT_EQ(log().count("cannot write " + state), 1) << log().toStdString();
    ASSERT_TRUE(QDir(state).removeRecursively());
    EXPECT_TRUE(QTest::qWaitFor([&] { return log().contains(state + " is written again"); }, 7000));
    EXPECT_TRUE(QFileInfo(state).isFile());
}

// A device not there at the start is said once, not at every try.
TEST_F(Daemon, ADeviceAbsentAtTheStartIsSaidOnce) {
    ASSERT_NO_FATAL_FAILURE(start());
    stop_daemon();
    // Ended as a user ends it, so its link goes with it: a link left behind
    // could lead to a terminal another test makes next.
    board_->kill(SIGTERM);
    ASSERT_TRUE(board_->wait_exit(std::chrono::milliseconds(2000)));
    ASSERT_FALSE(QFileInfo(device()).isSymLink());
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    QTest::qWait(3500);
    EXPECT_EQ(log().count(device() + "："), 1) << log().toStdString();
    board_ = std::make_unique<test::BoardSim>(sim_args_);
    EXPECT_TRUE(wait_property(board(1), "Online", "b true"));
}

// A thousand calls at once for relays 1..4 of board 2, each relay's wanted
// state changing with every call: each call is answered, the last for each
// relay wins, and board 1 is polled meanwhile.
TEST_F(Daemon, AFloodOfSwitchesLeavesTheLatestStateAndPollingGoesOn) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    QDBusConnection client = QDBusConnection::connectToBus(bus_.address(), "flood");
    ASSERT_TRUE(client.isConnected());
    const auto polled_1 = [&] {
        const auto frames = board_->frames();
        return std::count_if(frames.begin(), frames.end(),
                             [](const test::BoardSim::Frame& f) { return f[1] == 1; });
    };
    const auto polled_before = polled_1();
    constexpr int calls = 1000;
    int sent = 0;
    int answered = 0;
    std::vector<QString> errors(calls);
    // One a millisecond: all at once would meet the bus's own limit of calls
    // waiting for a reply, which refuses them before the service sees them.
    QTimer sender;
    sender.setTimerType(Qt::PreciseTimer);
    QElapsedTimer clock;
    const auto send = [&] {
        const int i = sent++;
        const int relay = 1 + i % 4;
        QDBusMessage call =
            QDBusMessage::createMethodCall(bus_name, board(2), board_interface, "Switch");
        call << QVariant::fromValue(static_cast<uchar>(relay)) << ((i / 4 + relay) % 2 == 0);
        auto* watcher = new QDBusPendingCallWatcher(client.asyncCall(call, 20000), &sender);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [&, i](auto* w) {
            errors[static_cast<std::size_t>(i)] = w->isError() ? w->error().message() : QString("");
            ++answered;
        });
    };
    // The test's loop wakes less often than every millisecond: each time,
    // the calls due since.
    QObject::connect(&sender, &QTimer::timeout, [&] {
        while (sent < std::min<qint64>(calls, clock.elapsed() + 1)) send();
        if (sent == calls) sender.stop();
    });
    clock.start();
    sender.start(1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered == calls; }, 10000)) << answered;
    for (int i = calls - 4; i < calls; ++i) EXPECT_EQ(errors[static_cast<std::size_t>(i)], "") << i;
    // The last four: relays 1 and 3 on, 2 and 4 off.
    EXPECT_TRUE(board_->wait_for_relays(2, 0x0005, std::chrono::milliseconds(1000)));
    EXPECT_EQ(busctl({"get-property", bus_name, board(2), board_interface, "Relays"}).out, "q 5");
    EXPECT_GT(polled_1(), polled_before + 2);
    EXPECT_EQ(busctl({"get-property", bus_name, board(1), board_interface, "Online"}).out,
              "b true");
    QDBusConnection::disconnectFromBus("flood");
}

// tarnwick-ctl finds the service that holds the device it is given (by the
// link's target or the link itself) and goes through it: the same output and
// exit statuses, one command frame per switch and all from the service. The
// rows run in order; each starts from the state the one before left.
TEST_F(Daemon, TarnwickCtlGoesThroughTheServiceHoldingItsDevice) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    // A copy of its own: a tarnwick-ctl that opened the device after all
    // would write its name file beside the program.
    const auto copy = test::program_copy(ctl_program);
    ASSERT_TRUE(copy);
    const QString ctl_copy = copy->filePath(QFileInfo(ctl_program).fileName());
    const QString pty = QFileInfo(device()).canonicalFilePath();
    const QString link = device();
    struct Row {
        QStringList args;
        bool outsider;  // run as nobody, outside the group tarnwick
        int status;
        const char* out;
        const char* err;
    };
    const Row rows[] = {
        {{"-p", pty, "-a", "2", "on", "3"}, false, 0, " 3  on", ""},
        {{"-p", link, "-a", "2", "--json", "status"}, false, 0, "\"state\":\"on\"", ""},
        {{"-p", link, "-a", "2", "toggle", "3"}, false, 0, " 3  off", ""},
        {{"-p", link, "-a", "2", "watch", "--count", "1"}, false, 0, "all off", ""},
        {{"-p", link, "-a", "1", "all-on"}, false, 0, "16  on", ""},
        {{"-p", link, "-a", "1", "all-off"}, false, 0, "16  off", ""},
        {{"--direct", "-p", link, "-a", "2", "status"}, false, 3, "", "设备正被其他程序使用"},
        {{"-p", link, "-a", "2", "on", "5"}, true, 3, "", "没有权限"},
        {{"-p", link, "-a", "9", "on", "1"}, false, 4, "", "board 9 is offline"},
        {{"-p", link, "-a", "7", "status"}, false, 4, "", "没有地址 7"},
        {{"-p", link, "scan"},
         false,
         2,
         "",
         "the line is held by tarnwickd; its boards are 1, 2, 9"},
        {{"-p", link, "-a", "1", "names", "2", "pump"}, false, 0, "", ""},
        {{"-p", link, "-a", "1", "names", "2"}, false, 0, "pump", ""},
        // Relay 4 on for 0.4 s, then the watch sees the pulse end it.
        {{"-p", link, "-a", "2", "pulse", "4", "0.4"}, false, 0, " 4  on", ""},
        {{"-p", link, "-a", "2", "watch", "--count", "2"}, false, 0, "(by pulse)", ""},
        {{"--direct", "-p", link, "-a", "2", "pulse", "4", "1"},
         false,
         2,
         "",
         "only tarnwickd gives a pulse"},
        {{"--via-service", "-p", dir_.filePath("ttyUSB7"), "status"},
         false,
         3,
         "",
         "no service holds"},
    };
    for (const Row& row : rows) {
        QProcess ctl;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TARNWICK_BUS", bus_.address());
        env.insert("TARNWICK_SERVICE_WAIT_MS", "3000");  // a sanitized service answers slowly
        env.insert("XDG_CONFIG_HOME", dir_.filePath("ctl-config"));
        ctl.setProcessEnvironment(env);
        // The copy's directory is root's alone; nobody cannot write the
        // build's either.
        if (row.outsider)
            ctl.start("setpriv", QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                             "--", ctl_program} +
                                     row.args);
        else
            ctl.start(ctl_copy, row.args);
        const QString text = row.args.join(' ');
        ASSERT_TRUE(ctl.waitForFinished(10000)) << text.toStdString();
        const QString out = QString::fromUtf8(ctl.readAllStandardOutput());
        const QString err = QString::fromUtf8(ctl.readAllStandardError());
        EXPECT_EQ(ctl.exitCode(), row.status) << text.toStdString() << ": " << err.toStdString();
        EXPECT_TRUE(out.contains(QString::fromUtf8(row.out)))
            << text.toStdString() << ": " << out.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(row.err)))
            << text.toStdString() << ": " << err.toStdString();
    }
    // One command frame per switch, each from the service: relay 3 of board 2
    // on and off again and relay 4 pulsed on and off, board 1 all on and all
    // off; the outsider switched nothing.
    const auto frames = board_->frames();
    const auto commands = [&](std::uint8_t address) {
        return std::count_if(frames.begin(), frames.end(), [&](const auto& f) {
            return f[1] == address && f[2] != 0x10;  // not a query
        });
    };
    EXPECT_EQ(commands(1), 2);
    EXPECT_EQ(commands(2), 4);
    EXPECT_EQ(board_->last_relays(1).value_or(0xffff), 0);
    EXPECT_EQ(board_->last_relays(2).value_or(0xffff), 0);

    // A watch goes on across the service's restart, as across an unplug:
    // the relays unknown while it is away, known again once it is back.
    QProcess watch;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARNWICK_BUS", bus_.address());
    env.insert("TARNWICK_SERVICE_WAIT_MS", "3000");
    watch.setProcessEnvironment(env);
    watch.start(ctl_copy, {"-p", link, "-a", "2", "watch", "--count", "3"});
    QString out;
    const auto lines = [&] {
        out += QString::fromUtf8(watch.readAllStandardOutput());
        return out.count('\n');
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return lines() == 1; }, 5000));
    stop_daemon();
    EXPECT_TRUE(QTest::qWaitFor([&] { return lines() == 2; }, 5000)) << out.toStdString();
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    EXPECT_TRUE(QTest::qWaitFor([&] { return watch.state() == QProcess::NotRunning; }, 10000));
    lines();
    const QStringList said = out.trimmed().split('\n');
    ASSERT_EQ(said.size(), 3) << out.toStdString();
    EXPECT_TRUE(said[0].endsWith("all off")) << out.toStdString();
    EXPECT_TRUE(said[1].endsWith("unknown")) << out.toStdString();
    EXPECT_TRUE(said[2].endsWith("all off")) << out.toStdString();
    EXPECT_EQ(watch.exitCode(), 0);
}

// The panel on a device tarnwickd holds (relay 3 of boards 1 and 2 on at
// first) shows the service's line and switches through it, sending nothing
// itself; it follows names renamed elsewhere,
// turns unknown while the service is away and comes back with it. Each row
// acts, then waits for what the cells show (G on, R off, Y unknown, - closed).
TEST_F(Daemon, ThePanelShowsAndSwitchesTheLineOfTheServiceHoldingItsDevice) {
    ASSERT_NO_FATAL_FAILURE(start({"--relays", "0x0004"}));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    qputenv("TARNWICK_COM1", device().toUtf8());
    qputenv("TARNWICK_BUS", bus_.address().toUtf8());
    qputenv("TARNWICK_SERVICE_WAIT_MS", "3000");  // a sanitized service answers slowly
    QTemporaryDir panel_dir;
    test::RecordingBoxes boxes;
    names::NameFile names(panel_dir.path().toStdString(), boxes);
    link::QtSerialPort port;
    ui::MainForm form(port, boxes, names);
    const auto cells = [&] {
        QString shown;
        for (int n = 1; n <= 16; ++n) {
            const ui::Colour colour = form.cell_colour(n);
            shown += colour == ui::colour_green    ? 'G'
                     : colour == ui::colour_red    ? 'R'
                     : colour == ui::colour_yellow ? 'Y'
                                                   : '-';
        }
        return shown;
    };
    const QString all_on(16, 'G'), all_off(16, 'R'), unknown(16, 'Y'), closed(16, '-');
    const QString third_on = "RRGRRRRRRRRRRRRR";
    struct Row {
        const char* what;
        std::function<void()> act;
        QString cells;
        std::uint16_t board_2;  // what board 2's relays are then
        const char* box;        // the one message box the row gives, if any
        const char* tip = "";   // in the port's or the cells' tooltip then
        int label = 0;          // and this name label shows
        const char* name = "";  // this name
    };
    const auto rename_in_dialog = [&](int n, const QString& name) {
        form.Label4_Click(n);
        form.name_dialog()->name_entry()->setText(name);
        form.name_dialog()->Command_ok_Click();
    };
    const Row rows[] = {
        {"attach", [&] { form.address_entry()->setText("2"), form.open_comm_Click(); }, third_on,
         0x0004, "", "由 tarnwickd 的线路 cab-1 持有"},
        {"click on relay 3", [&] { form.cell_Click(3); }, all_off, 0x0000, ""},
        {"吸合所有", [&] { form.all_Click(true); }, all_on, 0xffff, ""},
        {"switched over the bus",
         [&] {
             call(2, {"Switch", "yb", "16", "false"});
         },
         QString(15, 'G') + 'R', 0x7fff, ""},
        {"断开所有", [&] { form.all_Click(false); }, all_off, 0x0000, ""},
        {"address 7, not on the line", [&] { form.address_entry()->setText("7"); }, unknown, 0x0000,
         "", "不是 tarnwickd 的线路 cab-1 上的模块；它的模块是 1, 2, 9"},
        {"click there", [&] { form.cell_Click(1); }, unknown, 0x0000,
         "不是 tarnwickd 的线路 cab-1"},
        {"board 9 of the line, offline", [&] { form.address_entry()->setText("9"); }, unknown,
         0x0000, ""},
        {"click there", [&] { form.cell_Click(1); }, unknown, 0x0000, "离线"},
        {"board 1: the service's names", [&] { form.address_entry()->setText("1"); }, third_on,
         0x0000, "", "", 5, "valve"},
        {"renamed over the bus",
         [&] {
             call(1, {"Rename", "ys", "2", "pump"});
         },
         third_on, 0x0000, "", "", 2, "pump"},
        {"renamed in the name dialog", [&] { rename_in_dialog(3, "fan"); }, third_on, 0x0000, "",
         "", 3, "fan"},
        {"back to board 2", [&] { form.address_entry()->setText("2"); }, all_off, 0x0000, ""},
        {"the service killed", [&] { stop_daemon(); }, unknown, 0x0000, "", "tarnwickd 已停止"},
        {"and started again", [&] { start_daemon(); }, all_off, 0x0000, ""},
        {"click on relay 1 again", [&] { form.cell_Click(1); }, "GRRRRRRRRRRRRRRR", 0x0001, ""},
        {"关闭串口", [&] { form.open_comm_Click(); }, closed, 0x0001, ""},
        {"--direct", [&] { form.set_direct(true), form.open_comm_Click(); }, closed, 0x0001,
         "设备正被其他程序使用"},
    };
    for (const Row& row : rows) {
        const int boxes_before = static_cast<int>(boxes.texts.size());
        row.act();
        EXPECT_TRUE(QTest::qWaitFor([&] { return cells() == row.cells; }, 5000))
            << row.what << ": " << cells().toStdString();
        EXPECT_TRUE(board_->wait_for_relays(2, row.board_2, std::chrono::milliseconds(2000)))
            << row.what;
        test::run_events_for(200);  // a late second box would come now
        const QStringList said = boxes.texts.mid(boxes_before);
        EXPECT_EQ(said.size(), *row.box ? 1 : 0)
            << row.what << ": " << said.join('|').toStdString();
        if (*row.box && !said.isEmpty()) {
            EXPECT_TRUE(said.first().contains(QString::fromUtf8(row.box)))
                << row.what << ": " << said.first().toStdString();
        }
        const QString tips = form.aids().port_tip() + '\n' + form.aids().cell_tip();
        EXPECT_TRUE(tips.contains(QString::fromUtf8(row.tip)))
            << row.what << ": " << tips.toStdString();
        if (row.label) {
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return form.name_label(row.label)->text() == QString::fromUtf8(row.name); },
                2000))
                << row.what << ": " << form.name_label(row.label)->text().toStdString();
        }
        if (row.cells != closed) {
            EXPECT_NE(form.attached(), nullptr) << row.what;
            EXPECT_EQ(form.port_button()->text(), "关闭串口") << row.what;
        }
        EXPECT_FALSE(form.link().port_open()) << row.what;  // never on the wire itself
    }
    EXPECT_EQ(form.attached(), nullptr);
    EXPECT_EQ(form.port_button()->text(), "打开串口");
    // The names went to the service's file, not the panel's.
    EXPECT_EQ(names.channel_name("1", "3"), "第3路");
    unsetenv("TARNWICK_COM1");
    unsetenv("TARNWICK_BUS");
}

// The panel attached to the service's line opens 线路总览: the rows are the
// service's boards 1, 2 and the silent 9; a click switches that row's board
// through the service. A reload that drops board 9 takes the line's object
// away and brings it back; the window follows it to the new boards.
TEST_F(Daemon, ThePanelsLineOverviewShowsAndSwitchesTheServicesBoards) {
    ASSERT_NO_FATAL_FAILURE(start({"--relays", "0x0004"}));
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    qputenv("TARNWICK_COM1", device().toUtf8());
    qputenv("TARNWICK_BUS", bus_.address().toUtf8());
    qputenv("TARNWICK_SERVICE_WAIT_MS", "3000");
    QTemporaryDir panel_dir;
    test::RecordingBoxes boxes;
    names::NameFile names(panel_dir.path().toStdString(), boxes);
    link::QtSerialPort port;
    ui::MainForm form(port, boxes, names);
    boxes.texts.clear();  // a first start's words about the name file
    form.address_entry()->setText("2");
    form.open_comm_Click();
    ASSERT_NE(form.attached(), nullptr) << boxes.texts.join('\n').toStdString();
    QPointer<ui::LineOverview> view = form.aids().open_overview();
    const auto reload_without_9 = [&] {
        QFile config(dir_.filePath("tarnwickd.conf"));
        config.open(QIODevice::WriteOnly | QIODevice::Truncate);
        config.write(QString("[line cab-1]\ndevice=%1\nboards=1,2\n").arg(device()).toUtf8());
        config.close();
        ::kill(static_cast<pid_t>(daemon_.processId()), SIGHUP);
        // Until the new line has heard board 2, a click is refused as offline.
        ASSERT_TRUE(QTest::qWaitFor([&] { return log().contains("polling boards 1,2 on"); }, 5000));
        ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    };
    const QString unknown(16, 'Y');
    struct Row {
        const char* what;
        std::function<void()> act;
        QString rows;  // what the window's rows begin with then
        std::uint16_t board_1, board_2;
        const char* why_9 = "";  // in the tooltip of board 9's state
        int row_count = 0;       // when it matters
    };
    const Row rows[] = {
        {"opened", [] {},
         "1 在线 原生 RRGRRRRRRRRRRRRR; 2 在线 原生 RRGRRRRRRRRRRRRR; 9 离线 原生 " + unknown,
         0x0004, 0x0004, "模块 9 没有应答"},
        {"board 1 relay 5", [&] { view->cell_clicked(0, 5); },
         "1 在线 原生 RRGRGRRRRRRRRRRR; 2 在线 原生 RRGRRRRRRRRRRRRR", 0x0014, 0x0004},
        {"board 2 relay 3", [&] { view->cell_clicked(1, 3); },
         "1 在线 原生 RRGRGRRRRRRRRRRR; 2 在线 原生 RRRRRRRRRRRRRRRR", 0x0014, 0x0000},
        {"board 9, silent", [&] { view->cell_clicked(2, 1); },
         "1 在线 原生 RRGRGRRRRRRRRRRR; 2 在线 原生 RRRRRRRRRRRRRRRR; 9 离线 原生 " + unknown,
         0x0014, 0x0000, "模块 9 没有应答"},
        {"board 1 switched over the bus",
         [&] {
             call(1, {"Switch", "yb", "16", "true"});
         },
         "1 在线 原生 RRGRGRRRRRRRRRRG; 2 在线 原生 RRRRRRRRRRRRRRRR", 0x8014, 0x0000},
        {"reloaded without board 9: the window follows", reload_without_9,
         "1 在线 原生 RRGRGRRRRRRRRRRG; 2 在线 原生 RRRRRRRRRRRRRRRR", 0x8014, 0x0000, "", 2},
        {"board 2 relay 1 after the reload", [&] { view->cell_clicked(1, 1); },
         "1 在线 原生 RRGRGRRRRRRRRRRG; 2 在线 原生 GRRRRRRRRRRRRRRR", 0x8014, 0x0001},
        {"the service killed",
         [&] {
             // The last click's reply may still be on its way: a kill before
             // it arrives is a refusal the panel rightly reports.
             test::run_live_for(300);
             stop_daemon();
         },
         "1 离线  " + unknown + "; 2 离线  " + unknown, 0x8014, 0x0001},
        {"and started again", [&] { start_daemon(); },
         "1 在线 原生 RRGRGRRRRRRRRRRG; 2 在线 原生 GRRRRRRRRRRRRRRR", 0x8014, 0x0001},
    };
    for (const Row& row : rows) {
        row.act();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return test::overview_rows(*view).startsWith(row.rows) &&
                       (row.row_count == 0 || view->row_count() == row.row_count);
            },
            5000))
            << row.what << ": " << test::overview_rows(*view).toStdString();
        EXPECT_TRUE(board_->wait_for_relays(1, row.board_1, std::chrono::milliseconds(2000)))
            << row.what;
        EXPECT_TRUE(board_->wait_for_relays(2, row.board_2, std::chrono::milliseconds(2000)))
            << row.what;
        if (*row.why_9) {
            ASSERT_EQ(view->row_count(), 3) << row.what;
            EXPECT_TRUE(view->online_label(2)->toolTip().contains(QString::fromUtf8(row.why_9)))
                << row.what << ": " << view->online_label(2)->toolTip().toStdString();
        }
        EXPECT_FALSE(form.link().port_open()) << row.what;  // never on the wire itself
    }
    EXPECT_EQ(view->row_count(), 2);  // the line read again, without board 9
    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('\n').toStdString();
    form.open_comm_Click();
    unsetenv("TARNWICK_COM1");
    unsetenv("TARNWICK_BUS");
}

TEST_F(Daemon, ReloadAddsALineAndTheOthersPollOn) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
    test::BoardSim second(std::vector<std::string>{"--address", "5"});
    QFile config(dir_.filePath("tarnwickd.conf"));
    config.open(QIODevice::Append);
    config.write(QString("[line cab-2]\ndevice=%1\nboards=5\n")
                     .arg(QString::fromStdString(second.path()))
                     .toUtf8());
    config.close();
    const std::size_t frames_before = board_->frames().size();
    ::kill(static_cast<pid_t>(daemon_.processId()), SIGHUP);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return busctl({"get-property", bus_name, "/org/tarnwick/Tarnwick1/line/cab_2d2/board/5",
                           board_interface, "Online"})
                       .out == "b true";
        },
        5000));
    EXPECT_EQ(busctl({"get-property", bus_name, board(1), board_interface, "Online"}).out,
              "b true");
    EXPECT_TRUE(QTest::qWaitFor([&] { return board_->frames().size() > frames_before; }, 1000));
}

// Local times across the changes of daylight saving time, on the service's
// own timers under a faked wall clock: a window starting in the hour that
// does not exist starts at the first instant after it; an event in the hour
// that comes twice happens at its first occurrence and next on the next
// day. Each row starts the service 10 s before the change it watches. The
// instants are date(1)'s, e.g. TZ=Europe/Berlin date -d '2027-03-28 03:00' +%s.
TEST_F(Daemon, SchedulesKeepLocalTimeAcrossDaylightSavingChanges) {
    if (!have_faketime()) GTEST_SKIP() << "needs faketime";
    const QString window = "[schedule porch]\nrelays=cab-1/1/1\non=02:30\noff=03:10\n";
    const auto event = [](const char* at) {
        return QString("[scene night]\ncab-1/1/2=on\n[schedule porch]\nscene=night\nat=%1\n")
            .arg(at);
    };
    struct Row {
        const char* what;
        const char* zone;
        std::int64_t start;  // the service's first instant (s)
        QString keys;
        std::uint16_t relays;      // board 1's once it happened
        std::int64_t next, after;  // NextChange before and after it (s)
        const char* active;        // Active after it
    };
    const Row rows[] = {
        // 03:00 CEST, then 03:10 CEST
        {"2027-03-28 01:59:50 CET", "Europe/Berlin", 1806195590, window, 0x0001, 1806195600,
         1806196200, "b true"},
        // 03:00 EDT, then 03:10 EDT
        {"2027-03-14 01:59:50 EST", "America/New_York", 1805007590, window, 0x0001, 1805007600,
         1805008200, "b true"},
        // 02:30 CEST, then 2027-11-01 02:30 CET (not 02:30 CET an hour later)
        {"2027-10-31 02:29:50 CEST", "Europe/Berlin", 1824942590, event("02:30"), 0x0002,
         1824942600, 1825032600, "b false"},
        // 01:30 EDT, then 2027-11-08 01:30 EST
        {"2027-11-07 01:29:50 EDT", "America/New_York", 1825565390, event("01:30"), 0x0002,
         1825565400, 1825655400, "b false"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        // Each a first start: an event applied in a row before would be
        // made up for.
        QFile::remove(dir_.filePath("schedules.state"));
        clock_ = FakeClock{row.start, row.zone};
        ASSERT_NO_FATAL_FAILURE(start({}, row.keys));
        ASSERT_TRUE(wait_property(board(1), "Online", "b true"));
        const auto micros = [](std::int64_t s) { return QString("t %1").arg(s * 1'000'000); };
        EXPECT_EQ(schedule_property("porch", "NextChange").toStdString(),
                  micros(row.next).toStdString());
        EXPECT_EQ(schedule_property("porch", "Active").toStdString(), "b false");
        EXPECT_EQ(board_->last_relays(1).value_or(0), 0);
        EXPECT_TRUE(board_->wait_for_relays(1, row.relays, std::chrono::milliseconds(20000)));
        EXPECT_TRUE(wait_property("/org/tarnwick/Tarnwick1/schedule/porch", "NextChange",
                                  micros(row.after), schedule_interface));
        EXPECT_EQ(schedule_property("porch", "Active").toStdString(), row.active);
    }
}

// An event missed while the service was down is applied once at the next
// start (within a day); the state directory remembers it, so a start after
// that applies nothing. A first start makes up for nothing, though the
// day before's 06:00 is within a day.
TEST_F(Daemon, AnEventMissedWhileDownIsAppliedOnceAtTheNextStart) {
    if (!have_faketime()) GTEST_SKIP() << "needs faketime";
    const QString keys =
        "[scene morning]\ncab-1/2/3=on\n[schedule wake]\nscene=morning\nat=06:00\n";
    clock_ = FakeClock{1811840400, "America/New_York"};  // 2027-06-01 05:00 EDT
    ASSERT_NO_FATAL_FAILURE(start({}, keys));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    EXPECT_EQ(schedule_property("wake", "NextChange").toStdString(),
              "t 1811844000000000");  // 06:00 EDT
    test::run_events_for(1000);
    EXPECT_EQ(board_->last_relays(2).value_or(0), 0);
    EXPECT_FALSE(log().contains("applying the scene"));

    clock_ = FakeClock{1811854800, "America/New_York"};  // 09:00 EDT
    stop_daemon();
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    EXPECT_TRUE(board_->wait_for_relays(2, 0x0004, std::chrono::milliseconds(5000)));
    EXPECT_TRUE(
        log().contains("(schedule-catch-up) schedule wake scene morning: applying the "
                       "scene missed at 06:00:00"))
        << log().toStdString();
    EXPECT_EQ(schedule_property("wake", "NextChange").toStdString(),
              "t 1811930400000000");  // 06-02 06:00
    EXPECT_TRUE(QFile::exists(dir_.filePath("schedules.state")));
    ASSERT_EQ(call(2, {"Switch", "yb", "3", "false"}).status, 0);

    clock_ = FakeClock{1811854830, "America/New_York"};  // 09:00:30 EDT
    stop_daemon();
    const auto seen = log().size();
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    test::run_events_for(1000);
    EXPECT_EQ(board_->last_relays(2).value_or(0xffff), 0);
    EXPECT_FALSE(log().mid(seen).contains("applying the scene")) << log().mid(seen).toStdString();
}

// tarnwick-ctl scene through the service: every relay of the scene as it
// says and exit 0, or exit 5 naming each relay not confirmed (board 9 never
// answers) with the boards that answer set all the same. Rows in order.
TEST_F(Daemon, TarnwickCtlAppliesASceneAndNamesTheRelaysNotConfirmed) {
    ASSERT_NO_FATAL_FAILURE(start({"--relays", "0x0001"},
                                  "[scene evening]\ncab-1/1/1-3=on\ncab-1/2/1=off\ncab-1/2/4=on\n"
                                  "[scene away]\ncab-1/1/2-3=off\ncab-1/9/2=on\ncab-1/9/5=off\n"));
    ASSERT_TRUE(wait_property(board(2), "Online", "b true"));
    struct Row {
        QStringList args;
        int status;
        const char* out;
        const char* err;
        std::uint16_t board_1, board_2;
    };
    const Row rows[] = {
        {{"scene", "evening"}, 0, "", "", 0x0007, 0x0008},
        {{"scene", "away"}, 5, "", "scene away: not confirmed: cab-1/9/2: ", 0x0001, 0x0008},
        {{"--json", "scene", "away"},
         5,
         "\"failed\":[\"cab-1/9/2: ",
         "cab-1/9/5: ",
         0x0001,
         0x0008},
        {{"scene"}, 0, "away\nevening\n", "", 0x0001, 0x0008},
        {{"scene", "dawn"}, 2, "", "dawn", 0x0001, 0x0008},
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARNWICK_BUS", bus_.address());
    for (const Row& row : rows) {
        const std::string text = row.args.join(' ').toStdString();
        QProcess ctl;
        ctl.setProcessEnvironment(env);
        ctl.start(ctl_program, row.args);
        ASSERT_TRUE(ctl.waitForFinished(15000)) << text;
        const QString out = QString::fromUtf8(ctl.readAllStandardOutput());
        const QString err = QString::fromUtf8(ctl.readAllStandardError());
        EXPECT_EQ(ctl.exitCode(), row.status) << text << ": " << err.toStdString();
        EXPECT_TRUE(out.contains(QString::fromUtf8(row.out))) << text << ": " << out.toStdString();
        EXPECT_TRUE(err.contains(QString::fromUtf8(row.err))) << text << ": " << err.toStdString();
        EXPECT_EQ(board_->last_relays(1).value_or(0xffff), row.board_1) << text;
        EXPECT_EQ(board_->last_relays(2).value_or(0xffff), row.board_2) << text;
    }
}

TEST_F(Daemon, EndsNonZeroWhenTheBusGoesAway) {
    ASSERT_NO_FATAL_FAILURE(start());
    bus_.stop();
    ASSERT_TRUE(daemon_.waitForFinished(3000));
    EXPECT_NE(daemon_.exitCode(), 0);
}

}  // namespace
}  // namespace tarnwick
