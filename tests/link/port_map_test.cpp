// Which device a port number opens, the operator's saved choices, and what a
// chosen path is saved as.
#include "wire/port_map.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtGlobal>
#include <filesystem>
#include <optional>

#include "tests/support/pty.h"
#include "wire/device_info.h"
#include "wire/port_choices.h"

namespace {

using namespace tarnwick::link;

// Written by hand, as an operator or an installer might: comments, blanks
// around '=', another group, a port with an empty value.
constexpr char hand_written[] =
    "; saved devices\n"
    "[ports]\n"
    "1=/dev/serial/by-id/usb-1a86_USB2.0-Ser_-if00-port0\n"
    "3 = /dev/ttyUSB1\n"
    "5=\n"
    "200=/tmp/board-link\n"
    "\n"
    "[other]\n"
    "2=/dev/not-a-port-choice\n";

TEST(PortMap, EnvironmentThenSavedChoiceThenDefault) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("tarnwick.conf");
    QFile file(conf);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(hand_written);
    file.close();
    const PortChoices choices(conf);

    for (const char* n : {"0", "1", "2", "3", "5", "200", "255"})
        qunsetenv((QByteArray("TARNWICK_COM") + n).constData());
    qputenv("TARNWICK_COM3", "/dev/ttyACM0");
    qputenv("TARNWICK_COM0", "/dev/pts/9");
    struct {
        int number;
        const char* device;
        PortSource source;
    } cases[] = {
        {1, "/dev/serial/by-id/usb-1a86_USB2.0-Ser_-if00-port0", PortSource::saved},
        {3, "/dev/ttyACM0", PortSource::environment},  // the variable beats the saved choice
        {0, "/dev/pts/9", PortSource::environment},
        {200, "/tmp/board-link", PortSource::saved},
        {2, "/dev/ttyS1", PortSource::fallback},  // [other] is no port choice
        {5, "/dev/ttyS4", PortSource::fallback},  // an empty value is no choice
        {255, "/dev/ttyS254", PortSource::fallback},
    };
    for (const auto& c : cases) {
        const PortDevice device = device_for_port(c.number, &choices);
        EXPECT_EQ(device.path, QString(c.device)) << c.number;
        EXPECT_EQ(device.source, c.source) << c.number;
    }
    // Without saved choices, and port 0 without its variable: no device.
    EXPECT_EQ(device_for_port(1, nullptr).path, QString("/dev/ttyS0"));
    qunsetenv("TARNWICK_COM0");
    EXPECT_TRUE(device_for_port(0, &choices).path.isEmpty());
    qunsetenv("TARNWICK_COM3");
}

TEST(PortChoices, SaveAndRemoveKeepTheRestOfTheFile) {
    QTemporaryDir dir;
    // The directory does not exist yet, as on a first start.
    const QString conf = dir.filePath("config/tarnwick/tarnwick.conf");
    PortChoices choices(conf);
    EXPECT_FALSE(choices.device(1).has_value());
    EXPECT_FALSE(choices.save(1, "/dev/ttyUSB0").has_value());
    EXPECT_FALSE(choices.save(7, "/dev/with,comma").has_value());
    EXPECT_EQ(PortChoices(conf).device(1), QString("/dev/ttyUSB0"));
    EXPECT_EQ(PortChoices(conf).device(7), QString("/dev/with,comma"));
    EXPECT_FALSE(choices.remove(1).has_value());
    EXPECT_FALSE(PortChoices(conf).device(1).has_value());
    EXPECT_EQ(PortChoices(conf).device(7), QString("/dev/with,comma"));

    QFile file(conf);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("[ports]"));

    // A file that cannot be written says so and keeps nothing.
    PortChoices nowhere("/proc/tarnwick/tarnwick.conf");
    const auto refused = nowhere.save(1, "/dev/ttyUSB0");
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(refused->contains("/proc/tarnwick/tarnwick.conf")) << refused->toStdString();

    // What is no ordinary file is neither waited on nor written to.
    const QString fifo = dir.filePath("fifo.conf");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    for (const QString& odd : {fifo, dir.filePath("config")}) {
        PortChoices choices_there(odd);
        EXPECT_FALSE(choices_there.device(1).has_value()) << odd.toStdString();
        const auto why = choices_there.save(1, "/dev/ttyUSB0");
        ASSERT_TRUE(why.has_value()) << odd.toStdString();
        EXPECT_TRUE(why->contains(odd)) << why->toStdString();
        EXPECT_FALSE(QFileInfo(odd).isFile());
    }
}

using tarnwick::protocol::LineSettings;
using tarnwick::protocol::Parity;
using tarnwick::protocol::Protocol;

// A port's line as a hand-written file gives it: Modbus only with the word
// modbus and usable settings; anything else leaves the port native.
TEST(PortChoices, TheLineIsReadStrictly) {
    const LineSettings native;
    const LineSettings modbus_9600{.protocol = Protocol::modbus};
    struct {
        const char* what;
        const char* file;
        LineSettings line;
    } cases[] = {
        {"nothing said", "[ports]\n1=/dev/ttyUSB0\n", native},
        {"modbus with settings",
         "[protocols]\n1=modbus\n[serial]\n1=19200,even,1\n",
         {.protocol = Protocol::modbus, .baud = 19200, .parity = Parity::even}},
        {"spaces around the parts",
         "[protocols]\n1 = modbus\n[serial]\n1 = 115200, odd, 2\n",
         {.protocol = Protocol::modbus, .baud = 115200, .parity = Parity::odd, .stop_bits = 2}},
        {"quoted as one value",
         "[protocols]\n1=modbus\n[serial]\n1=\"4800,none,2\"\n",
         {.protocol = Protocol::modbus, .baud = 4800, .stop_bits = 2}},
        {"modbus without settings", "[protocols]\n1=modbus\n", modbus_9600},
        {"native said", "[protocols]\n1=native\n[serial]\n1=19200,even,1\n", native},
        {"settings without modbus", "[serial]\n1=19200,even,1\n", native},
        {"another port's", "[protocols]\n2=modbus\n", native},
        {"unknown protocol", "[protocols]\n1=profibus\n", native},
        {"protocol as a list", "[protocols]\n1=modbus,native\n", native},
        {"upper case", "[protocols]\n1=MODBUS\n", native},
        {"speed no standard", "[protocols]\n1=modbus\n[serial]\n1=19201,even,1\n", native},
        {"speed too high", "[protocols]\n1=modbus\n[serial]\n1=230400,none,1\n", native},
        {"speed no number", "[protocols]\n1=modbus\n[serial]\n1=fast,none,1\n", native},
        {"parity unknown", "[protocols]\n1=modbus\n[serial]\n1=9600,mark,1\n", native},
        {"parity as a letter", "[protocols]\n1=modbus\n[serial]\n1=9600,E,1\n", native},
        {"three stop bits", "[protocols]\n1=modbus\n[serial]\n1=9600,none,3\n", native},
        {"1.5 stop bits", "[protocols]\n1=modbus\n[serial]\n1=9600,none,1.5\n", native},
        {"two parts", "[protocols]\n1=modbus\n[serial]\n1=9600,none\n", native},
        {"four parts", "[protocols]\n1=modbus\n[serial]\n1=9600,none,1,1\n", native},
        {"empty settings", "[protocols]\n1=modbus\n[serial]\n1=\n", native},
        {"a huge speed", "[protocols]\n1=modbus\n[serial]\n1=99999999999999999999,none,1\n",
         native},
    };
    QTemporaryDir dir;
    const QString conf = dir.filePath("tarnwick.conf");
    for (const auto& c : cases) {
        QFile file(conf);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.file);
        file.close();
        EXPECT_EQ(PortChoices(conf).line(1), c.line) << c.what;
    }
}

// A Modbus line is saved beside the device; a native one removes the port's
// settings and leaves the other ports' alone.
TEST(PortChoices, SavingALineKeepsTheRestOfTheFile) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("config/tarnwick/tarnwick.conf");
    PortChoices choices(conf);
    ASSERT_FALSE(choices.save(1, "/dev/ttyUSB0").has_value());
    const LineSettings even_19200{
        .protocol = Protocol::modbus, .baud = 19200, .parity = Parity::even};
    const LineSettings odd_1200{
        .protocol = Protocol::modbus, .baud = 1200, .parity = Parity::odd, .stop_bits = 2};
    struct {
        int port;
        LineSettings saved;
        LineSettings line_1, line_2;
    } steps[] = {
        {1, even_19200, even_19200, {}},
        {2, odd_1200, even_19200, odd_1200},
        {1, {}, {}, odd_1200},
        {2, {}, {}, {}},
    };
    for (const auto& s : steps) {
        EXPECT_FALSE(choices.save_line(s.port, s.saved).has_value()) << s.port;
        EXPECT_EQ(PortChoices(conf).line(1), s.line_1) << s.port;
        EXPECT_EQ(PortChoices(conf).line(2), s.line_2) << s.port;
        EXPECT_EQ(PortChoices(conf).device(1), QString("/dev/ttyUSB0"));
    }
    // Native everywhere: nothing is left of the groups.
    const QSettings settings(conf, QSettings::IniFormat);
    EXPECT_TRUE(settings.childGroups() == QStringList{"ports"})
        << settings.childGroups().join(',').toStdString();

    // Settings no line can run at are not saved.
    EXPECT_TRUE(choices.save_line(1, {.protocol = Protocol::modbus, .baud = 300}).has_value());
    EXPECT_EQ(PortChoices(conf).line(1), LineSettings{});
}

// A file too big to be ours, or a link planted in a directory others write
// to, is neither read nor written.
TEST(PortChoices, AHostileFileIsNeitherReadNorWritten) {
    QTemporaryDir dir;
    const std::string good = "[ports]\n1=/dev/ttyUSB0\n[protocols]\n1=modbus\n";
    const QString shared = dir.filePath("shared");
    ASSERT_EQ(::mkdir(shared.toLocal8Bit().constData(), 01777), 0);
    ASSERT_EQ(::chmod(shared.toLocal8Bit().constData(), 01777), 0);
    const QString target = dir.filePath("real.conf");
    struct {
        const char* what;
        std::size_t padding;  // comment bytes after the good lines
        bool via_link;
        bool planted_link;
        bool used;
    } cases[] = {
        {"a small file", 0, false, false, true},
        {"just under the bound", PortChoices::max_file_bytes - 100, false, false, true},
        {"over the bound", PortChoices::max_file_bytes, false, false, false},
        {"a link of our own", 0, true, false, true},
        {"a link another user planted", 0, true, true, false},
    };
    for (const auto& c : cases) {
        QFile file(target);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(good.c_str());
        if (c.padding) file.write(("; " + std::string(c.padding, 'x') + "\n").c_str());
        file.close();
        const QString link = shared + "/tarnwick.conf";
        QFile::remove(link);
        ASSERT_TRUE(QFile::link(target, link));
        if (c.planted_link) {
            if (::getuid() != 0) GTEST_SKIP() << "needs root to give the link away";
            ASSERT_EQ(::lchown(link.toLocal8Bit().constData(), 65534, 65534), 0);
        }
        const QString conf = c.via_link ? link : target;
        PortChoices choices(conf);
        EXPECT_EQ(choices.device(1).has_value(), c.used) << c.what;
        EXPECT_EQ(choices.line(1).protocol == Protocol::modbus, c.used) << c.what;
        EXPECT_EQ(choices.save_line(2, {}).has_value(), !c.used) << c.what;
        EXPECT_EQ(choices.problem().has_value(), !c.used) << c.what;
    }
}

// A device with a name under /dev/serial/by-id is saved by that name, so the
// choice follows the adapter from socket to socket; paths that are no
// usable device are refused with the reason.
TEST(DeviceChoice, SavedByItsStableNameAndRefusedWhenUnusable) {
    tarnwick::test::Pty adapter, plain;
    ASSERT_FALSE(adapter.path().empty());
    QTemporaryDir dir;
    const QString by_id = dir.filePath("by-id");
    std::filesystem::create_directory(by_id.toStdString());
    const QString stable = by_id + "/usb-1a86_USB2.0-Ser_-if00-port0";
    std::filesystem::create_symlink(adapter.path(), stable.toStdString());
    const QString other_link = dir.filePath("my-board");
    std::filesystem::create_symlink(adapter.path(), other_link.toStdString());
    const QString plain_file = dir.filePath("plain");
    QFile(plain_file).open(QIODevice::WriteOnly);

    struct {
        const char* what;
        QString path;
        QString saved;     // empty: refused
        const char* says;  // in the refusal
    } cases[] = {
        {"the device node", QString::fromStdString(adapter.path()), stable, ""},
        {"another link to it", other_link, stable, ""},
        {"its stable name", stable, stable, ""},
        {"a device without one", QString::fromStdString(plain.path()),
         QString::fromStdString(plain.path()), ""},
        {"no such path", dir.filePath("missing"), {}, "不存在"},
        {"a plain file", plain_file, {}, "不是字符设备"},
        {"a directory", dir.path(), {}, "不是字符设备"},
        {"nothing typed", " ", {}, "没有给出设备路径"},
    };
    for (const auto& c : cases) {
        const SerialDevice device = inspect_device(c.path, by_id);
        const auto refused = refusal(device);
        EXPECT_EQ(refused.has_value(), c.saved.isEmpty()) << c.what;
        if (refused)
            EXPECT_TRUE(refused->contains(QString::fromUtf8(c.says)))
                << c.what << ": " << refused->toStdString();
        else
            EXPECT_EQ(name_to_save(device), c.saved) << c.what;
    }
}

}  // namespace
