#include "wire/qt_serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnwick::link {

QtSerialPort::QtSerialPort(QObject* parent) : QObject(parent) {
    connect(&port_, &QSerialPort::readyRead, this, &QtSerialPort::on_ready_read);
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialPort::on_error);
}

namespace {

// errno of opening the device as the port does, without waiting for a
// carrier; 0 when it opens (it is closed again at once).
int open_errno(const char* path) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

}  // namespace

// Why the open failed, in the words of the device itself where Qt's are vague.
PortProblem QtSerialPort::open_failure(const QString& device) {
    const auto error = port_.error();
    PortProblem problem{device, PortFault::other, port_.errorString()};
    port_.clearError();
    const QFileInfo file(device);
    const QByteArray path = file.absoluteFilePath().toLocal8Bit();
    // Qt's words may carry an errno of an earlier step (its lock file);
    // the device's own refusal is asked again.
    const int refusal = open_errno(path.constData());
    if (refusal != 0) problem.system_text = QString::fromLocal8Bit(std::strerror(refusal));
    if (refusal == EPERM) {
        // Not the file's mode: a device policy (systemd's DeviceAllow=,
        // a cgroup) refuses this kind of device.
        problem.fault = PortFault::not_permitted;
    } else if (error == QSerialPort::DeviceNotFoundError || !file.exists()) {
        problem.fault = PortFault::not_found;
    } else if (error == QSerialPort::PermissionError &&
               ::access(path.constData(), R_OK | W_OK) != 0) {
        problem.fault = PortFault::permission;
    } else if (error == QSerialPort::PermissionError) {
        // Qt reports a device held by another program as a permission
        // error; who holds it says more than its words.
        problem.fault = PortFault::busy;
        problem.holder = device_holder(device, true);
    } else if (struct stat node{}; ::stat(path.constData(), &node) == 0 && !S_ISCHR(node.st_mode)) {
        problem.fault = PortFault::not_serial;  // a plain file, a directory
    }
    return problem;
}

std::optional<PortProblem> QtSerialPort::open(const QString& device) {
    if (device.isEmpty()) return PortProblem{{}, PortFault::no_device, {}};

    device_ = device;
    port_.setPortName(device);
    port_.setBaudRate(settings_.baud);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(settings_.parity == protocol::Parity::even  ? QSerialPort::EvenParity
                    : settings_.parity == protocol::Parity::odd ? QSerialPort::OddParity
                                                                : QSerialPort::NoParity);
    port_.setStopBits(settings_.stop_bits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    lost_ = false;
    if (!port_.open(QIODevice::ReadWrite)) return open_failure(device);
    // Qt's guard against a second user is a lock file named after the path,
    // plus TIOCEXCL, which root passes: a second panel reaching the same
    // device by another name (a symlink, another TARNWICK_COM variable) would
    // get in, and the two would take each other's answers. A lock on the
    // device itself holds whatever name it was opened by, and goes with the
    // descriptor when the port closes or the process dies.
    const int fd = static_cast<int>(port_.handle());
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        const QString detail = QString::fromLocal8Bit(std::strerror(errno));
        port_.close();
        port_.clearError();
        return PortProblem{device, PortFault::busy, detail, device_holder(device, true)};
    }
    // Modem lines do not exist on every device (a pseudo-terminal has none);
    // that is no reason to refuse the port.
    port_.setDataTerminalReady(true);
    port_.setRequestToSend(false);
    port_.clearError();
    vmin_ = 0;
    wake_at_threshold();
    return std::nullopt;
}

void QtSerialPort::close() {
    if (port_.isOpen()) port_.close();
    port_.clearError();
}

std::size_t QtSerialPort::discard_input() {
    // Drops both what Qt has buffered and what the driver still holds,
    // counting them first.
    int in_driver = 0;
    if (::ioctl(static_cast<int>(port_.handle()), FIONREAD, &in_driver) != 0) in_driver = 0;
    const qint64 buffered = port_.bytesAvailable();
    port_.clear(QSerialPort::Input);
    port_.readAll();
    wake_at_threshold();
    return static_cast<std::size_t>(buffered + std::max(in_driver, 0));
}

// The driver wakes the event loop only once the rest of what the listener
// waits for is in (VMIN with VTIME 0, which poll() on a terminal honours),
// not at every byte: an answer coming a byte at a time wakes it once. Reads
// stay non-blocking and take whatever is there.
void QtSerialPort::wake_at_threshold() {
    if (!port_.isOpen()) return;
    const auto buffered = static_cast<std::size_t>(std::max<qint64>(port_.bytesAvailable(), 0));
    const std::size_t rest = settings_.threshold > buffered ? settings_.threshold - buffered : 1;
    const auto vmin = static_cast<unsigned>(std::clamp<std::size_t>(rest, 1, 255));
    if (vmin == vmin_) return;
    const int fd = static_cast<int>(port_.handle());
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return;
    tio.c_cc[VMIN] = static_cast<cc_t>(vmin);
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) == 0) vmin_ = vmin;
}

void QtSerialPort::write(std::span<const std::uint8_t> bytes) {
    port_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
}

std::optional<std::uint8_t> QtSerialPort::read_byte() {
    char byte = 0;
    if (!port_.getChar(&byte)) return std::nullopt;
    return static_cast<std::uint8_t>(byte);
}

std::size_t QtSerialPort::bytes_waiting() const {
    return static_cast<std::size_t>(port_.bytesAvailable());
}

void QtSerialPort::fetch_waiting() {
    int in_driver = 0;
    if (!port_.isOpen() || ::ioctl(static_cast<int>(port_.handle()), FIONREAD, &in_driver) != 0 ||
        in_driver <= 0)
        return;
    // With bytes in the driver this reads at once (readyRead comes from in
    // here); a timeout it might still report is no fault of the line.
    if (!port_.waitForReadyRead(0) && port_.error() == QSerialPort::TimeoutError)
        port_.clearError();
}

void QtSerialPort::on_ready_read() {
    if (listener_ && static_cast<std::size_t>(port_.bytesAvailable()) >= settings_.threshold)
        listener_->on_received();
    wake_at_threshold();
}

void QtSerialPort::on_error(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::ResourceError:
        case QSerialPort::ReadError:
        case QSerialPort::WriteError:
            break;
        default:
            return;  // e.g. no modem lines on a pseudo-terminal: harmless
    }
    if (lost_ || !port_.isOpen()) return;
    lost_ = true;
    lost_problem_ = PortProblem{
        device_, error == QSerialPort::ResourceError ? PortFault::gone : PortFault::io_error,
        port_.errorString()};
    // Qt keeps raising errors on a vanished device until it is closed, and
    // closing from inside its own error signal is unsafe: do it from the loop.
    QMetaObject::invokeMethod(this, &QtSerialPort::report_lost, Qt::QueuedConnection);
}

void QtSerialPort::report_lost() {
    if (!port_.isOpen()) return;
    if (listener_)
        listener_->on_lost(lost_problem_);
    else
        close();
}

}  // namespace tarnwick::link
