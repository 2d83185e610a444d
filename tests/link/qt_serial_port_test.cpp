// The real Qt serial port on pseudo-terminals made here, with nothing behind
// them: only what opening and closing does is looked at.
#include "wire/qt_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/pty.h"

namespace {

using tarnwick::link::PortFault;
using tarnwick::link::QtSerialPort;
using tarnwick::test::Pty;

// Two panels on one device would each take half of the other's answers. Qt's
// own lock file is named after the path, and root passes TIOCEXCL, so the
// device itself has to be what is locked.
TEST(QtSerialPort, ASecondOpenOfTheSameDeviceIsRefusedWhateverItsName) {
    enum Name { device, link, other_link, other_device };
    const struct {
        const char* what;
        Name first;
        Name second;
        bool refused;
    } cases[] = {
        {"the device twice", device, device, true},
        {"the device, then a link to it", device, link, true},
        {"a link, then the device", link, device, true},
        {"two links to one device", link, other_link, true},
        {"two devices", device, other_device, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pty pty, other;
        ASSERT_FALSE(pty.path().empty());
        ASSERT_FALSE(other.path().empty());
        QTemporaryDir dir;
        const std::string links[] = {dir.filePath("board").toStdString(),
                                     dir.filePath("board-too").toStdString()};
        for (const auto& l : links) std::filesystem::create_symlink(pty.path(), l);
        const auto path_of = [&](Name name) {
            switch (name) {
                case device:
                    return pty.path();
                case link:
                    return links[0];
                case other_link:
                    return links[1];
                case other_device:
                    return other.path();
            }
            return std::string();
        };
        const QString first_path = QString::fromStdString(path_of(c.first));
        const QString second_path = QString::fromStdString(path_of(c.second));

        auto first = std::make_unique<QtSerialPort>();
        QtSerialPort second;
        ASSERT_FALSE(first->open(first_path).has_value());
        const auto failure = second.open(second_path);
        EXPECT_EQ(failure.has_value(), c.refused);
        EXPECT_EQ(second.is_open(), !c.refused);
        if (failure) {
            EXPECT_EQ(failure->device.toStdString(), path_of(c.second));
            EXPECT_EQ(failure->fault, PortFault::busy) << failure->system_text.toStdString();
        }
        EXPECT_TRUE(first->is_open()) << "the refused open disturbed the first";

        // Once the first lets go, the second gets in; a port destroyed while
        // open lets go as well.
        if (c.refused) {
            const bool by_close = c.first == device;
            if (by_close)
                first->close();
            else
                first.reset();
            EXPECT_FALSE(second.open(second_path).has_value())
                << (by_close ? "after close" : "after delete");
            EXPECT_TRUE(second.is_open());
        }
    }
}

// What a failed open is put down to; the panel's message follows from it.
TEST(QtSerialPort, AFailedOpenSaysWhatKindOfFailureItWas) {
    QTemporaryDir dir;
    const QString plain = dir.filePath("plain-file");
    QFile file(plain);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    Pty pty;
    const struct {
        const char* what;
        QString path;
        std::optional<PortFault> fault;  // nothing: it opens
    } cases[] = {
        {"no such path", dir.filePath("missing"), PortFault::not_found},
        {"a link whose device is gone", dir.filePath("dangling"), PortFault::not_found},
        {"a plain file", plain, PortFault::not_serial},
        {"a directory", dir.path(), PortFault::not_serial},
        {"a port number with no device", QString(), PortFault::no_device},
        {"a terminal", QString::fromStdString(pty.path()), std::nullopt},
    };
    std::filesystem::create_symlink("/dev/pts/tarnwick-no-such-terminal",
                                    dir.filePath("dangling").toStdString());
    for (const auto& c : cases) {
        QtSerialPort port;
        const auto problem = port.open(c.path);
        EXPECT_EQ(problem.has_value(), c.fault.has_value()) << c.what;
        if (problem && c.fault) {
            EXPECT_EQ(problem->fault, *c.fault)
                << c.what << ": " << problem->system_text.toStdString();
            EXPECT_EQ(problem->device, c.path) << c.what;
        }
        EXPECT_EQ(port.is_open(), !c.fault) << c.what;
    }
}

}  // namespace

namespace tarnwick::link {
namespace {

struct CountingListener : SerialListener {
    int heard = 0;
    void on_received() override { ++heard; }
    void on_lost(const PortProblem&) override {}
};

// An answer already in the driver while the event loop is busy elsewhere is
// taken in on the spot, and the listener hears of it then; with nothing in
// the driver, nothing happens and the port stays without an error.
TEST(QtSerialPort, FetchWaitingTakesInWhatTheDriverHoldsWithoutTheLoop) {
    const struct {
        const char* what;
        std::size_t sent;
        std::size_t waiting;
        int heard;
    } cases[] = {
        {"nothing sent", 0, 0, 0},
        {"a whole answer", 8, 8, 1},
        {"three bytes of one: they wait in the driver for the rest", 3, 0, 0},
        {"two answers back to back", 16, 16, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::Pty pty;
        QtSerialPort port;
        CountingListener listener;
        port.set_listener(&listener);
        ASSERT_FALSE(port.open(QString::fromStdString(pty.path())).has_value());
        const std::uint8_t bytes[16] = {0x55, 0x01, 0x10, 0x00, 0x00, 0x00, 0x01, 0x67,
                                        0x55, 0x02, 0x10, 0x00, 0x00, 0x00, 0x00, 0x67};
        ASSERT_TRUE(c.sent == 0 || pty.send(bytes, c.sent));
        ::usleep(20'000);  // through the pseudo-terminal, no event processed
        EXPECT_EQ(port.bytes_waiting(), 0U);
        port.fetch_waiting();
        EXPECT_EQ(port.bytes_waiting(), c.waiting);
        EXPECT_EQ(listener.heard, c.heard);
        EXPECT_TRUE(port.is_open());
        port.set_listener(nullptr);
    }
}

}  // namespace
}  // namespace tarnwick::link
