// The real Qt serial port on pseudo-terminals made here, with nothing behind
// them: only what opening and closing does is looked at.
#include "link/qt_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

using tarnwick::link::QtSerialPort;

// A pseudo-terminal whose slave side can be opened as a serial port.
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            path_ = ::ptsname(master_);
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }

  private:
    int master_ = -1;
    std::string path_;
};

void map_port(int n, const std::string& device) {
    qputenv(("TARNWICK_COM" + std::to_string(n)).c_str(), QByteArray::fromStdString(device));
}

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
        map_port(1, path_of(c.first));
        map_port(2, path_of(c.second));

        auto first = std::make_unique<QtSerialPort>();
        QtSerialPort second;
        ASSERT_FALSE(first->open(1).has_value());
        const auto failure = second.open(2);
        EXPECT_EQ(failure.has_value(), c.refused);
        EXPECT_EQ(second.is_open(), !c.refused);
        if (failure) {
            EXPECT_EQ(failure->device.toStdString(), path_of(c.second));
            EXPECT_TRUE(failure->reason.contains(QStringLiteral("设备正被其他程序使用")))
                << failure->reason.toStdString();
            EXPECT_FALSE(failure->permission_denied);
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
            EXPECT_FALSE(second.open(2).has_value()) << (by_close ? "after close" : "after delete");
            EXPECT_TRUE(second.is_open());
        }
    }
    qunsetenv("TARNWICK_COM1");
    qunsetenv("TARNWICK_COM2");
}

}  // namespace
