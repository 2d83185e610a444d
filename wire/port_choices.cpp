#include "wire/port_choices.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>

namespace tarnwick::link {

namespace {

const QString group = QStringLiteral("ports");

QString key(int port_number) {
    return group + u'/' + QString::number(port_number);
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

}  // namespace tarnwick::link
