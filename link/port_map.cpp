#include "link/port_map.h"

#include <QtGlobal>

namespace tarnwick::link {

QString device_for_port(int port_number) {
#ifdef Q_OS_WIN
    return port_number > 0 ? QStringLiteral("COM%1").arg(port_number) : QString();
#else
    const QByteArray variable = "TARNWICK_COM" + QByteArray::number(port_number);
    const QString mapped = qEnvironmentVariable(variable.constData());
    if (!mapped.isEmpty()) return mapped;
    if (port_number < 1) return {};
    return QStringLiteral("/dev/ttyS%1").arg(port_number - 1);
#endif
}

}  // namespace tarnwick::link
