#include "wire/port_map.h"

#include <QtGlobal>

#include "wire/port_choices.h"

namespace tarnwick::link {

PortDevice device_for_port(int port_number, const PortChoices* choices) {
    const QByteArray variable = "TARNWICK_COM" + QByteArray::number(port_number);
    const QString mapped = qEnvironmentVariable(variable.constData());
    if (!mapped.isEmpty()) return {mapped, PortSource::environment};
    if (choices) {
        if (auto saved = choices->device(port_number)) return {*saved, PortSource::saved};
    }
    if (port_number < 1) return {{}, PortSource::fallback};
#ifdef Q_OS_WIN
    return {QStringLiteral("COM%1").arg(port_number), PortSource::fallback};
#else
    return {QStringLiteral("/dev/ttyS%1").arg(port_number - 1), PortSource::fallback};
#endif
}

}  // namespace tarnwick::link
