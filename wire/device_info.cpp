#include "wire/device_info.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSerialPortInfo>
#include <QSet>
#include <algorithm>

namespace tarnwick::link {

namespace {

QString system_path_of(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
}

// Calls `visit(pid, target)` for every file some process we may look at
// holds open, until it returns true. Read from /proc, as fuser does.
template <typename Visit>
void each_open_file(Visit visit) {
    const QStringList pids =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& pid : pids) {
        if (pid.isEmpty() || !pid[0].isDigit()) continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot))
            if (visit(pid, QFile::symLinkTarget(fds.filePath(fd)))) return;
    }
}

// Every device node some process we may look at holds open, with whether
// this process is one of them.
struct OpenNodes {
    QSet<QString> by_others;
    QSet<QString> by_us;

    static OpenNodes now() {
        OpenNodes nodes;
        const QString self = QString::number(::getpid());
        each_open_file([&](const QString& pid, const QString& target) {
            if (target.startsWith(QStringLiteral("/dev/")))
                (pid == self ? nodes.by_us : nodes.by_others).insert(target);
            return false;
        });
        return nodes;
    }
};

// Where Qt's serial port keeps its lock files, in the order it looks.
const char* const lock_directories[] = {"/var/lock",         "/etc/locks", "/var/spool/locks",
                                        "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                        "/var/lock/lockdev", "/run/lock"};

// A process's command line on one line, its program by base name, cut
// short. Another user's process wrote it: control characters are not passed on.
QString command_line_of(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QList<QByteArray> words = file.read(4096).split('\0');
    while (!words.isEmpty() && words.constLast().isEmpty()) words.removeLast();
    if (words.isEmpty()) return {};
    QStringList parts{QFileInfo(QString::fromLocal8Bit(words[0])).fileName()};
    for (qsizetype i = 1; i < words.size(); ++i) parts << QString::fromLocal8Bit(words[i]);
    QString line = parts.join(u' ');
    for (QChar& c : line)
        if (!c.isPrint()) c = u'?';
    constexpr qsizetype longest = 60;
    if (line.size() > longest) line = line.left(longest - 1) + QChar(0x2026);
    return line;
}

std::optional<DeviceHolder> holder_by_pid(qint64 pid) {
    if (pid <= 0 || pid == ::getpid() || !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)))
        return std::nullopt;
    return DeviceHolder{pid, command_line_of(pid)};
}

// The process in Qt's lock file for the device by this name: Qt names the
// file after the path, /dev/ left off and '/' made '_' (LCK..ttyUSB0).
std::optional<DeviceHolder> holder_by_lock_file(const QString& path) {
    QString name = QFileInfo(path).absoluteFilePath();
    if (name.startsWith(QStringLiteral("/dev/"))) name = name.mid(5);
    name.replace(u'/', u'_');
    for (const char* directory : lock_directories) {
        const QString file = QString::fromLatin1(directory) + QStringLiteral("/LCK..") + name;
        if (!QFileInfo::exists(file)) continue;
        qint64 pid = 0;
        QString host;
        QString program;
        if (QLockFile(file).getLockInfo(&pid, &host, &program)) return holder_by_pid(pid);
    }
    return std::nullopt;
}

// A process that has the device node open by whatever name, from /proc.
std::optional<DeviceHolder> holder_by_descriptors(const QString& system_path) {
    std::optional<DeviceHolder> holder;
    each_open_file([&](const QString& pid, const QString& target) {
        if (target == system_path) holder = holder_by_pid(pid.toLongLong());
        return holder.has_value();
    });
    return holder;
}

// system path -> by-id name
QHash<QString, QString> by_id_names(const QString& by_id_directory) {
    QHash<QString, QString> names;
    const QDir dir(by_id_directory);
    for (const QString& name :
         dir.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString path = dir.filePath(name);
        const QString target = QFileInfo(path).canonicalFilePath();
        if (!target.isEmpty() && !names.contains(target)) names.insert(target, path);
    }
    return names;
}

// Without `open`, who holds the device is not looked at.
void fill(SerialDevice& device, const QHash<QString, QString>& by_id, const OpenNodes* open,
          const QList<QSerialPortInfo>& ports) {
    device.system_path = system_path_of(device.path);
    const QByteArray node = device.system_path.toLocal8Bit();
    struct stat status {};
    device.exists = ::stat(node.constData(), &status) == 0;
    device.char_device = device.exists && S_ISCHR(status.st_mode);
    device.permitted = device.exists && ::access(node.constData(), R_OK | W_OK) == 0;
    device.by_id = by_id.value(device.system_path);
    device.holder = holder_by_lock_file(device.path);
    if (!device.holder) device.holder = holder_by_lock_file(device.system_path);
    if (open) {
        device.in_use_here = open->by_us.contains(device.system_path);
        device.in_use = device.in_use_here || open->by_others.contains(device.system_path);
    }
    for (const QSerialPortInfo& port : ports) {
        if (system_path_of(port.systemLocation()) != device.system_path) continue;
        device.description = port.description();
        device.manufacturer = port.manufacturer();
        device.serial_number = port.serialNumber();
        if (port.hasVendorIdentifier()) device.vendor_id = port.vendorIdentifier();
        if (port.hasProductIdentifier()) device.product_id = port.productIdentifier();
        break;
    }
}

}  // namespace

QString SerialDevice::usb_id() const {
    if (!vendor_id || !product_id) return {};
    return QStringLiteral("%1:%2")
        .arg(*vendor_id, 4, 16, QLatin1Char('0'))
        .arg(*product_id, 4, 16, QLatin1Char('0'));
}

QString SerialDevice::summary() const {
    QStringList parts;
    if (!description.isEmpty()) parts << description;
    if (const QString id = usb_id(); !id.isEmpty()) parts << id;
    return parts.join(QStringLiteral(", "));
}

QString SerialDevice::state_text() const {
    if (!exists) return QStringLiteral("不存在");
    if (!char_device) return QStringLiteral("不是设备");
    if (in_use_here) return QStringLiteral("本程序正在使用");
    if (in_use) return QStringLiteral("正被其他程序使用");
    if (!permitted) return QStringLiteral("无权限");
    return QStringLiteral("可用");
}

std::optional<DeviceHolder> device_holder(const QString& path, bool look_at_processes) {
    if (auto holder = holder_by_lock_file(path)) return holder;
    if (auto holder = holder_by_lock_file(system_path_of(path))) return holder;
    if (!look_at_processes) return std::nullopt;
    return holder_by_descriptors(system_path_of(path));
}

SerialDevice inspect_device(const QString& path, const QString& by_id_directory) {
    SerialDevice device;
    device.path = path;
    fill(device, by_id_names(by_id_directory), nullptr, QSerialPortInfo::availablePorts());
    return device;
}

QList<SerialDevice> list_serial_devices(const QString& by_id_directory) {
    const auto by_id = by_id_names(by_id_directory);
    const OpenNodes open = OpenNodes::now();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    QList<SerialDevice> devices;
    QSet<QString> listed;
    for (const QSerialPortInfo& port : ports) {
        SerialDevice device;
        device.path = port.systemLocation();
        fill(device, by_id, &open, ports);
        if (listed.contains(device.system_path)) continue;
        listed.insert(device.system_path);
        devices << device;
    }
    for (auto it = by_id.cbegin(); it != by_id.cend(); ++it) {
        if (listed.contains(it.key())) continue;
        SerialDevice device;
        device.path = it.value();
        fill(device, by_id, &open, ports);
        listed.insert(device.system_path);
        devices << device;
    }
    std::sort(devices.begin(), devices.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return a.path < b.path; });
    return devices;
}

std::optional<QString> refusal(const SerialDevice& device) {
    if (device.path.trimmed().isEmpty()) return QStringLiteral("没有给出设备路径。");
    if (!device.exists) return QStringLiteral("%1 不存在。").arg(device.path);
    if (!device.char_device)
        return QStringLiteral("%1 不是字符设备，不能当作串口打开。").arg(device.path);
    if (!device.permitted)
        return QStringLiteral(
                   "当前用户不能读写 %1。请把当前用户加入 dialout 组（sudo usermod -aG dialout "
                   "用户名），重新登录后再选择。")
            .arg(device.path);
    return std::nullopt;
}

QString name_to_save(const SerialDevice& device) {
    return device.by_id.isEmpty() ? device.path : device.by_id;
}

}  // namespace tarnwick::link
