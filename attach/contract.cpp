#include "attach/contract.h"

#include <iterator>

namespace tarnwick::attach {

namespace {

struct Named {
    BoardError error;
    const char* name;
};
constexpr Named error_names[] = {
    {BoardError::not_confirmed, "org.tarnwick.Tarnwick1.Error.NotConfirmed"},
    {BoardError::offline, "org.tarnwick.Tarnwick1.Error.Offline"},
    {BoardError::invalid_argument, "org.tarnwick.Tarnwick1.Error.InvalidArgument"},
    {BoardError::interlock, "org.tarnwick.Tarnwick1.Error.Interlock"},
    {BoardError::refused, "org.tarnwick.Tarnwick1.Error.Refused"},
    // Last: the name of any error without one of its own.
    {BoardError::failed, "org.tarnwick.Tarnwick1.Error.Failed"},
};

}  // namespace

QString error_name(BoardError error) {
    for (const Named& named : error_names)
        if (named.error == error) return QString::fromLatin1(named.name);
    return QString::fromLatin1(error_names[std::size(error_names) - 1].name);
}

std::optional<BoardError> board_error(const QString& name) {
    for (const Named& named : error_names)
        if (name == QLatin1String(named.name)) return named.error;
    return std::nullopt;
}

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
