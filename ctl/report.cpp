#include "ctl/report.h"

#include <poll.h>
#include <unistd.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QStringList>
#include <cstdio>

#include "ctl/command_line.h"

namespace tarnwick::ctl {

using link::RelayState;

QString state_word(RelayState state) {
    switch (state) {
        case RelayState::energized:
            return QStringLiteral("on");
        case RelayState::released:
            return QStringLiteral("off");
        case RelayState::port_closed:
            return QStringLiteral("closed");
        case RelayState::unknown:
            break;
    }
    return QStringLiteral("unknown");
}

QString channel_line(int channel, RelayState state, const QString& name) {
    return QStringLiteral("%1  %2 %3").arg(channel, 2).arg(state_word(state), -4).arg(name);
}

link::RelayStates pattern_states(std::uint16_t relays) {
    link::RelayStates states{};
    for (std::size_t i = 0; i < states.size(); ++i)
        states[i] = (relays >> i) & 1u ? RelayState::energized : RelayState::released;
    return states;
}

QString states_summary(const link::RelayStates& states) {
    const auto pattern = link::known_pattern(states);
    if (!pattern) {
        return states[0] == RelayState::port_closed ? QStringLiteral("port closed")
                                                    : QStringLiteral("unknown");
    }
    if (*pattern == 0) return QStringLiteral("all off");
    if (*pattern == 0xFFFF) return QStringLiteral("all on");
    QStringList on;
    for (int relay = 1; relay <= 16; ++relay)
        if (*pattern & (1u << (relay - 1))) on << QString::number(relay);
    return QStringLiteral("on: ") + on.join(u' ');
}

QJsonArray relays_json(const link::RelayStates& states, const ChannelNames* names) {
    QJsonArray relays;
    for (std::size_t i = 0; i < states.size(); ++i) {
        QJsonObject relay{{QStringLiteral("channel"), static_cast<int>(i + 1)},
                          {QStringLiteral("state"), state_word(states[i])}};
        if (names) relay.insert(QStringLiteral("name"), (*names)[i]);
        relays.append(relay);
    }
    return relays;
}

QJsonArray energized_json(std::uint16_t relays) {
    QJsonArray on;
    for (int relay = 1; relay <= 16; ++relay)
        if (relays & (1u << (relay - 1))) on.append(relay);
    return on;
}

QString pattern_text(std::uint16_t relays) {
    return QStringLiteral("0x%1").arg(relays, 4, 16, QLatin1Char('0'));
}

QString timestamp() {
    return QDateTime::currentDateTime()
        .toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
        .toString(Qt::ISODateWithMs);
}

bool print_line(const QString& line) {
    std::fputs(qUtf8Printable(line + u'\n'), stdout);
    std::fflush(stdout);
    return !std::ferror(stdout);
}

bool print_json(const QJsonObject& object) {
    return print_line(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

bool output_reader_gone() {
    pollfd out{STDOUT_FILENO, 0, 0};
    return ::poll(&out, 1, 0) > 0 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

QString reason_code(int status, std::optional<link::PortFault> fault) {
    switch (status) {
        case exit_name_file:
            return QStringLiteral("name_file");
        case exit_usage:
            return QStringLiteral("usage");
        case exit_no_answer:
            return QStringLiteral("no_answer");
        case exit_not_confirmed:
            return QStringLiteral("not_confirmed");
        case exit_refused:
            return QStringLiteral("refused");
        case exit_interrupted:
            return QStringLiteral("interrupted");
        default:
            break;
    }
    switch (fault.value_or(link::PortFault::other)) {
        case link::PortFault::no_device:
        case link::PortFault::not_found:
            return QStringLiteral("not_found");
        case link::PortFault::permission:
        case link::PortFault::not_permitted:
            return QStringLiteral("permission");
        case link::PortFault::busy:
            return QStringLiteral("busy");
        case link::PortFault::gone:
        case link::PortFault::io_error:
            return QStringLiteral("lost");
        default:
            break;
    }
    return QStringLiteral("port");
}

void print_error(const QString& text) {
    std::fprintf(stderr, "tarnwick-ctl: %s\n", qUtf8Printable(text));
}

int print_failure(bool json_too, QJsonObject json, const QString& text, int status) {
    print_error(text);
    if (json_too) {
        json.insert(QStringLiteral("ok"), false);
        json.insert(QStringLiteral("exit"), status);
        json.insert(QStringLiteral("error"), text);
        json.insert(QStringLiteral("reason"), reason_code(status));
        print_json(json);
    }
    return status;
}

void print_log(const QString& text) {
    const QString line = text.split(u'\n', Qt::SkipEmptyParts).join(u' ');
    std::fprintf(stderr, "%s  %s\n", qUtf8Printable(timestamp()), qUtf8Printable(line));
    std::fflush(stderr);
}

}  // namespace tarnwick::ctl
