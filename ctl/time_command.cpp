#include "ctl/time_command.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>

#include "attach/service_client.h"
#include "ctl/report.h"
#include "ctl/service_board.h"

namespace tarnwick::ctl {

namespace {

// The next change in local time with its offset, as watch's times are;
// nothing when there is none.
QString local_time(quint64 us) {
    if (us == 0) return {};
    const QDateTime time = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(us / 1000));
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

// The service did not do it: said on stderr, and with --json in the object.
int refused(const Request& request, QJsonObject json, const attach::CallResult& result) {
    const int status = status_of(result.refusal);
    const QString text =
        result.refusal == attach::Refusal::gone
            ? QStringLiteral("no tarnwickd on the bus; %1 goes through it only (%2)")
                  .arg(request.verb_name, result.message)
            : QStringLiteral("tarnwickd：%1：%2")
                  .arg(attach::refusal_text(result.refusal), result.message);
    return print_failure(request.json, std::move(json), text, status);
}

// One line per schedule: its name, enabled or not, active or not, the next change.
QJsonArray print_schedules(const Request& request, const std::vector<attach::ScheduleInfo>& all) {
    qsizetype width = 0;
    for (const attach::ScheduleInfo& s : all) width = std::max(width, s.name.size());
    QJsonArray items;
    for (const attach::ScheduleInfo& s : all) {
        const QString next = local_time(s.next_change);
        items.append(QJsonObject{
            {QStringLiteral("name"), s.name},
            {QStringLiteral("enabled"), s.enabled},
            {QStringLiteral("active"), s.active},
            {QStringLiteral("next_change"), next.isEmpty() ? QJsonValue() : QJsonValue(next)}});
        if (!request.json)
            print_line(QStringLiteral("%1  %2 %3 %4")
                           .arg(s.name, -static_cast<int>(width))
                           .arg(QLatin1String(s.enabled ? "enabled" : "disabled"), -8)
                           .arg(QLatin1String(s.active ? "active" : "idle"), -6)
                           .arg(next.isEmpty() ? QStringLiteral("-") : next));
    }
    return items;
}

// schedules, or scene without a name: the scenes' names.
int list(const Request& request, const QDBusConnection& bus) {
    QJsonObject json{{QStringLiteral("command"), request.verb_name}};
    const attach::TimeObjects listed = attach::list_time_objects(bus);
    if (!listed.result.ok()) return refused(request, json, listed.result);
    if (request.verb == Verb::schedules) {
        json.insert(QStringLiteral("schedules"), print_schedules(request, listed.schedules));
    } else {
        if (!request.json)
            for (const QString& scene : listed.scenes) print_line(scene);
        json.insert(QStringLiteral("scenes"), QJsonArray::fromStringList(listed.scenes));
    }
    json.insert(QStringLiteral("ok"), true);
    if (request.json) print_json(json);
    return exit_done;
}

int enable(const Request& request, const QDBusConnection& bus) {
    QJsonObject json{{QStringLiteral("command"), request.verb_name},
                     {QStringLiteral("schedule"), request.time_name},
                     {QStringLiteral("enabled"), request.enable}};
    const attach::CallResult done = attach::enable_schedule(bus, request.time_name, request.enable);
    if (!done.ok()) return refused(request, json, done);
    json.insert(QStringLiteral("ok"), true);
    if (request.json) print_json(json);
    return exit_done;
}

// Exit 5 when a relay of the scene was not confirmed, each named.
int apply(const Request& request, const QDBusConnection& bus) {
    QJsonObject json{{QStringLiteral("command"), request.verb_name},
                     {QStringLiteral("scene"), request.time_name}};
    const attach::SceneResult applied = attach::apply_scene(bus, request.time_name);
    if (!applied.result.ok()) return refused(request, json, applied.result);
    json.insert(QStringLiteral("failed"), QJsonArray::fromStringList(applied.failed));
    json.insert(QStringLiteral("ok"), applied.failed.isEmpty());
    if (applied.failed.isEmpty()) {
        if (request.json) print_json(json);
        return exit_done;
    }
    const QString text = QStringLiteral("scene %1: not confirmed: %2")
                             .arg(request.time_name, applied.failed.join(QStringLiteral("; ")));
    return print_failure(request.json, std::move(json), text, exit_not_confirmed);
}

}  // namespace

int run_time_command(const Request& request) {
    const QDBusConnection bus = attach::service_bus();
    if (request.verb == Verb::schedule) return enable(request, bus);
    if (request.verb == Verb::scene && !request.time_name.isEmpty()) return apply(request, bus);
    return list(request, bus);
}

}  // namespace tarnwick::ctl
