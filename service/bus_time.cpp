// The schedules' and scenes' part of the bus objects (bus.h).
#include <QDBusMessage>

#include "service/bus.h"

namespace tarnwick::service {

namespace {

const QString manager_interface = QStringLiteral("org.freedesktop.DBus.ObjectManager");

}  // namespace

void BusObjects::set_time_model(TimeModel* model) {
    if (time_) {
        disconnect(time_, nullptr, this, nullptr);
        time_objects_added(false);
    }
    time_ = model;
    schedules_shown_.clear();
    if (!time_) return;
    for (const QString& name : time_->schedule_names())
        if (const auto view = time_->schedule(name)) schedules_shown_[name] = *view;
    connect(time_, &TimeModel::schedule_changed, this, &BusObjects::schedule_changed);
    time_objects_added(true);
}

QString BusObjects::time_path(const char* node, const QString& name) const {
    return QString("%1/%2/%3").arg(root_path, node, path_element(name));
}

// ".../schedule", ".../schedule/<S>", ".../scene", ".../scene/<S>".
bool BusObjects::resolve_time(const QStringList& parts, Target& target) const {
    if (!time_ || parts.size() > 2) return false;
    const bool schedules = parts[0] == attach::schedule_node;
    const QStringList names = schedules ? time_->schedule_names() : time_->scene_names();
    if (parts.size() == 1) {
        for (const QString& name : names) target.children << path_element(name);
        return !names.isEmpty();
    }
    for (const QString& name : names) {
        if (path_element(name) != parts[1]) continue;
        (schedules ? target.schedule : target.scene) = name;
        return true;
    }
    return false;
}

QVariantMap BusObjects::time_properties(const Target& target) const {
    if (!target.scene.isEmpty()) return {{"Name", target.scene}};
    const ScheduleView view = time_->schedule(target.schedule).value_or(ScheduleView{});
    return {{"Name", target.schedule},
            {"Enabled", view.enabled},
            {"Active", view.active},
            {"NextChange", QVariant::fromValue(static_cast<qulonglong>(view.next_change))}};
}

// Enable(b) and Apply(), by the caller's uid as a board's methods are.
void BusObjects::time_call(const QDBusMessage& message, const Target& target) {
    const bool schedule = !target.schedule.isEmpty();
    const char* const what = schedule ? "schedule" : "scene";
    const bool known = schedule ? message.member() == "Enable" && message.signature() == "b"
                                : message.member() == "Apply" && message.signature().isEmpty();
    if (!known) {
        connection_.send(message.createErrorReply(
            QDBusError::UnknownMethod, QString("no method %1(%2) on a %3; see Introspect")
                                           .arg(message.member(), message.signature(), what)));
        return;
    }
    const std::optional<QString> asked_by = caller(message);
    if (!asked_by) return;
    const QString name = schedule ? target.schedule : target.scene;
    // Gone from the configuration since the path was resolved.
    const QDBusMessage unknown =
        message.createErrorReply(QDBusError::UnknownObject, QString("no %1 %2").arg(what, name));
    if (schedule) {
        const bool enabled = message.arguments().constFirst().toBool();
        connection_.send(time_->enable(name, enabled, *asked_by) ? message.createReply() : unknown);
        return;
    }
    message.setDelayedReply(true);
    const QDBusConnection connection = connection_;
    const auto done = [message, connection](const QStringList& failed) {
        QDBusConnection(connection).send(message.createReply(QVariant(failed)));
    };
    if (!time_->apply_scene(name, *asked_by, done)) connection_.send(unknown);
}

void BusObjects::add_time_objects(
    QMap<QDBusObjectPath, QMap<QString, QVariantMap>>& objects) const {
    if (!time_) return;
    for (const QString& name : time_->schedule_names()) {
        Target target;
        target.schedule = name;
        objects[QDBusObjectPath(time_path(attach::schedule_node, name))] = {
            {schedule_interface, properties(target)}};
    }
    for (const QString& name : time_->scene_names()) {
        Target target;
        target.scene = name;
        objects[QDBusObjectPath(time_path(attach::scene_node, name))] = {
            {scene_interface, properties(target)}};
    }
}

// InterfacesAdded for each schedule and scene of the model, or Removed.
void BusObjects::time_objects_added(bool added) {
    QMap<QDBusObjectPath, QMap<QString, QVariantMap>> objects;
    add_time_objects(objects);
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        QDBusMessage signal = QDBusMessage::createSignal(
            root_path, manager_interface, added ? "InterfacesAdded" : "InterfacesRemoved");
        signal << QVariant::fromValue(object.key());
        if (added)
            signal << QVariant::fromValue(object.value());
        else
            signal << QStringList(object.value().keys());
        connection_.send(signal);
    }
}

// Only what changed since the last signal of this schedule.
void BusObjects::schedule_changed(const QString& name) {
    const std::optional<ScheduleView> now = time_ ? time_->schedule(name) : std::nullopt;
    if (!now) return;
    const auto shown = schedules_shown_.find(name);
    const bool known = shown != schedules_shown_.end();
    QVariantMap changed;
    if (!known || now->enabled != shown->second.enabled) changed["Enabled"] = now->enabled;
    if (!known || now->active != shown->second.active) changed["Active"] = now->active;
    if (!known || now->next_change != shown->second.next_change)
        changed["NextChange"] = QVariant::fromValue(static_cast<qulonglong>(now->next_change));
    schedules_shown_[name] = *now;
    if (!changed.isEmpty())
        properties_changed(time_path(attach::schedule_node, name), schedule_interface, changed);
}

}  // namespace tarnwick::service
