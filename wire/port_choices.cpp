#include "wire/port_choices.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include "names/file_io.h"

namespace tarnwick::link {

namespace {

const QString group = QStringLiteral("ports");

QString key(int port_number, const QString& in = group) {
    return in + u'/' + QString::number(port_number);
}

const QString protocols_group = QStringLiteral("protocols");
const QString serial_group = QStringLiteral("serial");

// An unquoted comma makes Qt read a list.
QStringList parts_of(const QVariant& value) {
    return value.typeId() == QMetaType::QStringList ? value.toStringList()
                                                    : value.toString().split(u',');
}

// "19200,even,1" as the settings of a Modbus line; nothing unless all three
// hold.
std::optional<protocol::LineSettings> parse_serial(const QVariant& value) {
    protocol::LineSettings line{.protocol = protocol::Protocol::modbus};
    if (!value.isValid()) return line;
    const QStringList parts = parts_of(value);
    if (parts.size() != 3) return std::nullopt;
    bool baud_ok = false;
    line.baud = parts[0].trimmed().toInt(&baud_ok);
    const auto parity = protocol::parse_parity(parts[1].trimmed().toStdString());
    const QString stop = parts[2].trimmed();
    if (!baud_ok || !parity || (stop != u"1" && stop != u"2")) return std::nullopt;
    line.parity = *parity;
    line.stop_bits = stop.toInt();
    if (protocol::settings_fault(line)) return std::nullopt;
    return line;
}

std::optional<QString> written(QSettings& settings) {
    settings.sync();
    if (settings.status() == QSettings::NoError) return std::nullopt;
    return QStringLiteral("无法写入设置文件 %1").arg(settings.fileName());
}

}  // namespace

PortChoices::PortChoices(QString file_path) : file_path_(std::move(file_path)) {}

std::optional<QString> PortChoices::problem() const {
    const QFileInfo info(file_path_);
    if (const auto owner = names::foreign_link_owner(file_path_.toStdString())) {
        return QStringLiteral(
                   "设置文件 %1 是用户 %2 的符号链接，所在目录别人也能写：不读也不写它。")
            .arg(file_path_)
            .arg(*owner);
    }
    if (info.isFile() && info.size() > max_file_bytes) {
        return QStringLiteral("设置文件 %1 太大（%2 字节）：不读也不写它。")
            .arg(file_path_)
            .arg(info.size());
    }
    if (!info.exists() || info.isFile()) return std::nullopt;
    return QStringLiteral("设置文件 %1 不是普通文件（%2）：不读也不写它。")
        .arg(file_path_,
             info.isDir() ? QStringLiteral("是一个目录") : QStringLiteral("是管道、套接字或设备"));
}

std::optional<QString> PortChoices::device(int port_number) const {
    if (const auto why = problem()) {
        qWarning("%s", qUtf8Printable(*why));
        return std::nullopt;
    }
    const QSettings settings(file_path_, QSettings::IniFormat);
    const QVariant value = settings.value(key(port_number));
    // An unquoted comma makes Qt read a list; a path may hold one.
    const QString path = value.typeId() == QMetaType::QStringList ? value.toStringList().join(u',')
                                                                  : value.toString().trimmed();
    if (path.isEmpty()) return std::nullopt;
    return path;
}

std::optional<QString> PortChoices::save(int port_number, const QString& device) {
    if (auto why = problem()) return why;
    QSettings settings(file_path_, QSettings::IniFormat);
    settings.setValue(key(port_number), device);
    return written(settings);
}

std::optional<QString> PortChoices::remove(int port_number) {
    if (auto why = problem()) return why;
    QSettings settings(file_path_, QSettings::IniFormat);
    settings.remove(key(port_number));
    return written(settings);
}

protocol::LineSettings PortChoices::line(int port_number) const {
    if (problem()) return {};
    const QSettings settings(file_path_, QSettings::IniFormat);
    const QVariant protocol = settings.value(key(port_number, protocols_group));
    if (protocol.typeId() != QMetaType::QString || protocol.toString().trimmed() != u"modbus")
        return {};
    return parse_serial(settings.value(key(port_number, serial_group)))
        .value_or(protocol::LineSettings{});
}

std::optional<QString> PortChoices::save_line(int port_number, const protocol::LineSettings& line) {
    if (auto why = problem()) return why;
    QSettings settings(file_path_, QSettings::IniFormat);
    if (line.protocol == protocol::Protocol::native) {
        settings.remove(key(port_number, protocols_group));
        settings.remove(key(port_number, serial_group));
        return written(settings);
    }
    if (const auto fault = protocol::settings_fault(line))
        return QStringLiteral("串口设置不可用：%1").arg(QString::fromStdString(*fault));
    settings.setValue(key(port_number, protocols_group), QStringLiteral("modbus"));
    settings.setValue(key(port_number, serial_group),
                      QStringList{QString::number(line.baud),
                                  QString::fromUtf8(protocol::parity_name(line.parity)),
                                  QString::number(line.stop_bits)});
    return written(settings);
}

}  // namespace tarnwick::link
