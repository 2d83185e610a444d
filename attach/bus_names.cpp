#include "attach/bus_names.h"

namespace tarnwick::attach {

QString path_element(const QString& name) {
    QString element;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9'))
            element += c;
        else
            element += QStringLiteral("_%1").arg(u & 0xff, 2, 16, QLatin1Char('0'));
    }
    return element;
}

}  // namespace tarnwick::attach
