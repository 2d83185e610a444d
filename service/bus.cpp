#include "service/bus.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusVariant>
#include <algorithm>
#include <cmath>

namespace tarnwick::service {

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

const QString properties_interface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString manager_interface = QStringLiteral("org.freedesktop.DBus.ObjectManager");

constexpr int relays = 16;

const char* const manager_xml = R"(  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects">
      <arg name="objects" type="a{oa{sa{sv}}}" direction="out"/>
    </method>
    <signal name="InterfacesAdded">
      <arg name="object" type="o"/>
      <arg name="interfaces" type="a{sa{sv}}"/>
    </signal>
    <signal name="InterfacesRemoved">
      <arg name="object" type="o"/>
      <arg name="interfaces" type="as"/>
    </signal>
  </interface>
)";

const char* const line_xml = R"(  <interface name="org.tarnwick.Tarnwick1.Line">
    <property name="Name" type="s" access="read"/>
    <property name="Device" type="s" access="read"/>
    <property name="Open" type="b" access="read"/>
    <property name="Boards" type="ay" access="read"/>
  </interface>
)";

const char* const board_xml = R"(  <interface name="org.tarnwick.Tarnwick1.Board">
    <property name="Address" type="y" access="read"/>
    <property name="Online" type="b" access="read"/>
    <property name="Relays" type="q" access="read"/>
    <property name="Names" type="as" access="read"/>
    <property name="Protocol" type="s" access="read"/>
    <property name="Inputs" type="q" access="read"/>
    <property name="InputCount" type="q" access="read"/>
    <method name="Switch">
      <arg name="relay" type="y" direction="in"/>
      <arg name="on" type="b" direction="in"/>
    </method>
    <method name="SwitchAll">
      <arg name="on" type="b" direction="in"/>
    </method>
    <method name="Pulse">
      <arg name="relay" type="y" direction="in"/>
      <arg name="seconds" type="d" direction="in"/>
    </method>
    <method name="Rename">
      <arg name="relay" type="y" direction="in"/>
      <arg name="name" type="s" direction="in"/>
    </method>
    <signal name="Switched">
      <arg name="relay" type="y"/>
      <arg name="on" type="b"/>
      <arg name="source" type="s"/>
      <arg name="detail" type="s"/>
    </signal>
  </interface>
)";

const char* const schedule_xml = R"(  <interface name="org.tarnwick.Tarnwick1.Schedule">
    <property name="Name" type="s" access="read"/>
    <property name="Enabled" type="b" access="read"/>
    <property name="Active" type="b" access="read"/>
    <property name="NextChange" type="t" access="read"/>
    <method name="Enable">
      <arg name="enabled" type="b" direction="in"/>
    </method>
  </interface>
)";

const char* const scene_xml = R"(  <interface name="org.tarnwick.Tarnwick1.Scene">
    <property name="Name" type="s" access="read"/>
    <method name="Apply">
      <arg name="failed" type="as" direction="out"/>
    </method>
  </interface>
)";

// The reply once the model is done; the caller waits for it meanwhile.
Done replier(const QDBusMessage& message, const QDBusConnection& connection) {
    message.setDelayedReply(true);
    return [message, connection](const Outcome& outcome) {
        QDBusConnection(connection)
            .send(outcome.ok() ? message.createReply()
                               : message.createErrorReply(attach::error_name(outcome.error),
                                                          outcome.message));
    };
}

}  // namespace

BusObjects::BusObjects(QDBusConnection connection, QObject* parent)
    : QDBusVirtualObject(parent), connection_(std::move(connection)) {
    qDBusRegisterMetaType<Interfaces>();
    qDBusRegisterMetaType<ManagedObjects>();
    connection_.connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        "NameOwnerChanged", this,
                        SLOT(name_owner_changed(QString, QString, QString)));
}

BusObjects::~BusObjects() {
    connection_.unregisterObject(root_path, QDBusConnection::UnregisterTree);
}

bool BusObjects::register_tree() {
    return connection_.registerVirtualObject(root_path, this, QDBusConnection::SubPath);
}

QString BusObjects::line_path(const LineModel& line) const {
    return QString("%1/line/%2").arg(root_path, path_element(line.name()));
}

QString BusObjects::board_path(const LineModel& line, std::uint8_t address) const {
    return QString("%1/board/%2").arg(line_path(line)).arg(address);
}

void BusObjects::add_line(LineModel* line) {
    lines_.push_back(line);
    connect(line, &LineModel::open_changed, this, [this, line] {
        properties_changed(line_path(*line), line_interface, {{"Open", line->open()}});
    });
    connect(line, &LineModel::board_changed, this,
            [this, line](std::uint8_t address) { board_changed(line, address); });
    connect(line, &LineModel::relay_switched, this,
            [this, line](std::uint8_t address, int relay, bool on, const QString& source,
                         const QString& detail) {
                QDBusMessage signal = QDBusMessage::createSignal(board_path(*line, address),
                                                                 board_interface, "Switched");
                signal << QVariant::fromValue(static_cast<uchar>(relay)) << on << source << detail;
                connection_.send(signal);
            });
    interfaces_added(resolve(line_path(*line)), line_path(*line));
    for (const std::uint8_t address : line->boards()) {
        shown_[{line, address}] = line->board(address);
        interfaces_added(resolve(board_path(*line, address)), board_path(*line, address));
    }
    // A reload brings a changed line back under its old path: whoever
    // follows that path learns of its boards without watching the manager.
    const QVariantMap now = properties(resolve(line_path(*line)));
    properties_changed(line_path(*line), line_interface, {{"Boards", now.value("Boards")}});
}

void BusObjects::remove_line(LineModel* line) {
    disconnect(line, nullptr, this, nullptr);
    auto removed = [this](const QString& path, const char* interface) {
        QDBusMessage signal =
            QDBusMessage::createSignal(root_path, manager_interface, "InterfacesRemoved");
        signal << QVariant::fromValue(QDBusObjectPath(path)) << QStringList{interface};
        connection_.send(signal);
    };
    for (const std::uint8_t address : line->boards()) {
        shown_.erase({line, address});
        removed(board_path(*line, address), board_interface);
    }
    removed(line_path(*line), line_interface);
    lines_.erase(std::remove(lines_.begin(), lines_.end(), line), lines_.end());
}

// Root, ".../line", ".../line/<L>", ".../line/<L>/board", ".../board/<addr>".
BusObjects::Target BusObjects::resolve(const QString& path) const {
    Target target;
    const QString root = root_path;
    if (path != root && !path.startsWith(root + "/")) return target;
    const QStringList parts = path.mid(root.size()).split('/', Qt::SkipEmptyParts);
    if (parts.isEmpty()) {
        target.exists = true;
        if (!lines_.empty()) target.children = {"line"};
        if (time_ && !time_->schedule_names().isEmpty()) target.children << attach::schedule_node;
        if (time_ && !time_->scene_names().isEmpty()) target.children << attach::scene_node;
        return target;
    }
    if (parts[0] == attach::schedule_node || parts[0] == attach::scene_node) {
        target.exists = resolve_time(parts, target);
        return target;
    }
    if (parts[0] != "line" || parts.size() > 4) return target;
    if (parts.size() == 1) {
        for (const LineModel* line : lines_) target.children << path_element(line->name());
        target.exists = !lines_.empty();
        return target;
    }
    const auto found = std::find_if(lines_.begin(), lines_.end(), [&](const LineModel* line) {
        return path_element(line->name()) == parts[1];
    });
    if (found == lines_.end()) return target;
    target.line = *found;
    const std::vector<std::uint8_t> boards = target.line->boards();
    if (parts.size() == 2) {
        target.exists = true;
        target.children = {"board"};
        return target;
    }
    if (parts[2] != "board") return target;
    if (parts.size() == 3) {
        for (const std::uint8_t address : boards) target.children << QString::number(address);
        target.exists = true;
        return target;
    }
    for (const std::uint8_t address : boards)
        if (QString::number(address) == parts[3]) target.board = address;
    target.exists = target.board.has_value();
    return target;
}

QString BusObjects::introspect(const QString& path) const {
    const Target target = resolve(path);
    QString xml;
    if (path == root_path) xml += manager_xml;
    if (!target.schedule.isEmpty())
        xml += schedule_xml;
    else if (!target.scene.isEmpty())
        xml += scene_xml;
    else if (target.line && target.board)
        xml += board_xml;
    else if (target.line && target.children == QStringList{"board"})
        xml += line_xml;
    for (const QString& child : target.children)
        xml += QString("  <node name=\"%1\"/>\n").arg(child);
    return xml;
}

const char* BusObjects::interface_of(const Target& target) {
    if (!target.schedule.isEmpty()) return schedule_interface;
    if (!target.scene.isEmpty()) return scene_interface;
    if (target.board) return board_interface;
    return target.line ? line_interface : nullptr;
}

QVariantMap BusObjects::properties(const Target& target) const {
    if (!target.line) return time_properties(target);
    const LineModel& line = *target.line;
    if (!target.board) {
        const std::vector<std::uint8_t> boards = line.boards();
        return {{"Name", line.name()},
                {"Device", line.device()},
                {"Open", line.open()},
                {"Boards", QByteArray(reinterpret_cast<const char*>(boards.data()),
                                      static_cast<qsizetype>(boards.size()))}};
    }
    const BoardState state = line.board(*target.board);
    return {{"Address", QVariant::fromValue(static_cast<uchar>(*target.board))},
            {"Online", state.online},
            {"Relays", QVariant::fromValue(static_cast<quint16>(state.online ? state.relays : 0))},
            {"Names", state.names},
            {attach::protocol_property, line.protocol()},
            {attach::inputs_property,
             QVariant::fromValue(static_cast<quint16>(state.online ? state.inputs : 0))},
            {attach::input_count_property,
             QVariant::fromValue(static_cast<quint16>(line.input_count()))}};
}

bool BusObjects::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const Target target = resolve(message.path());
    const QString interface = message.interface();
    if (interface == "org.freedesktop.DBus.Introspectable" ||
        interface == "org.freedesktop.DBus.Peer")
        return false;  // Qt answers these, from introspect()
    if (!target.exists) {
        connection.send(
            message.createErrorReply(QDBusError::UnknownObject, "no object " + message.path()));
        return true;
    }
    if (interface == properties_interface && interface_of(target))
        return properties_call(message, target);
    if (message.path() == root_path && message.member() == "GetManagedObjects" &&
        (interface.isEmpty() || interface == manager_interface)) {
        managed_objects(message);
        return true;
    }
    if (target.board && (interface.isEmpty() || interface == board_interface)) {
        board_call(message, target);
        return true;
    }
    if ((!target.schedule.isEmpty() || !target.scene.isEmpty()) &&
        (interface.isEmpty() || interface == interface_of(target))) {
        time_call(message, target);
        return true;
    }
    connection.send(
        message.createErrorReply(QDBusError::UnknownMethod,
                                 QString("no method %1.%2 here").arg(interface, message.member())));
    return true;
}

bool BusObjects::properties_call(const QDBusMessage& message, const Target& target) {
    const QString wanted_interface = interface_of(target);
    const QList<QVariant> args = message.arguments();
    const QVariantMap all = properties(target);
    if (message.member() == "GetAll" && message.signature() == "s") {
        connection_.send(message.createReply(
            QVariant::fromValue(args[0].toString() == wanted_interface ? all : QVariantMap{})));
    } else if (message.member() == "Get" && message.signature() == "ss") {
        const QString name = args[1].toString();
        if (args[0].toString() != wanted_interface || !all.contains(name))
            connection_.send(message.createErrorReply(QDBusError::UnknownProperty,
                                                      "no property " + name + " here"));
        else
            connection_.send(message.createReply(QVariant::fromValue(QDBusVariant(all[name]))));
    } else if (message.member() == "Set") {
        connection_.send(message.createErrorReply(QDBusError::PropertyReadOnly,
                                                  "every property here is read-only"));
    } else {
        connection_.send(message.createErrorReply(QDBusError::InvalidArgs, "bad call"));
    }
    return true;
}

// The bus daemon vouches for the uid behind a unique name, but only while
// the connection lasts: it is asked as soon as a name appears on the bus,
// before its first call can arrive, and kept until the name goes (a unique
// name is never given to another connection). Nothing waits for the answer.
void BusObjects::name_owner_changed(const QString& name, const QString& old_owner,
                                    const QString& new_owner) {
    if (!name.startsWith(':')) return;
    if (old_owner.isEmpty() && !new_owner.isEmpty()) ask_uid(name);
    if (new_owner.isEmpty()) uids_.erase(name);
}

void BusObjects::ask_uid(const QString& name) {
    if (asking_.count(name)) return;
    asking_.insert(name);
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "GetConnectionUnixUser");
    call << name;
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, name, watcher] {
        watcher->deleteLater();
        asking_.erase(name);
        const QDBusPendingReply<uint> reply = *watcher;
        // Bounded for a service that runs for years on a bus whose names
        // come and go.
        if (uids_.size() >= max_known_callers) uids_.clear();
        if (reply.isValid()) uids_[name] = reply.value();
        std::vector<QDBusMessage> waiting = std::move(waiting_[name]);
        waiting_.erase(name);
        for (const QDBusMessage& message : waiting) {
            if (reply.isValid())
                handleMessage(message, connection_);
            else
                refuse_unknown_caller(message);
        }
    });
}

// A caller that hung up before the bus could say who it was: nobody can be
// named in the journal for what it asked, so it is not done.
void BusObjects::refuse_unknown_caller(const QDBusMessage& message) {
    connection_.send(message.createErrorReply(
        QDBusError::AccessDenied, "the bus could not say who called: the caller has left"));
    ++refused_unknown_;
    if (refused_told_.isValid() && refused_told_.elapsed() < 60'000) return;
    refused_told_.start();
    emit report(QString("refused %1 call(s) whose caller left before the bus said its uid, the "
                        "last from %2")
                    .arg(std::exchange(refused_unknown_, 0))
                    .arg(message.service()));
}

std::optional<QString> BusObjects::caller(const QDBusMessage& message) {
    const auto uid = uids_.find(message.service());
    if (uid != uids_.end()) return QString("uid %1").arg(uid->second);
    message.setDelayedReply(true);
    waiting_[message.service()].push_back(message);
    ask_uid(message.service());
    return std::nullopt;
}

void BusObjects::board_call(const QDBusMessage& message, const Target& target) {
    const QString member = message.member();
    const QString signature = message.signature();
    const QList<QVariant> args = message.arguments();
    const std::uint8_t address = *target.board;
    const bool known =
        (member == "Switch" && signature == "yb") || (member == "SwitchAll" && signature == "b") ||
        (member == "Pulse" && signature == "yd") || (member == "Rename" && signature == "ys");
    if (!known) {
        connection_.send(message.createErrorReply(
            QDBusError::UnknownMethod,
            QString("no method %1(%2) on a board; see Introspect").arg(member, signature)));
        return;
    }
    const std::optional<QString> asked_by = caller(message);
    if (!asked_by) return;
    const QString& caller = *asked_by;
    Done done = replier(message, connection_);
    if (member == "SwitchAll") {
        target.line->switch_all(address, args[0].toBool(), caller, std::move(done));
        return;
    }
    const int relay = args[0].value<uchar>();
    if (relay < 1 || relay > relays) {
        done({Outcome::Error::invalid_argument,
              QString("relay %1: the relays are 1..%2").arg(relay).arg(relays)});
        return;
    }
    if (member == "Switch") {
        target.line->switch_relay(address, relay, args[1].toBool(), caller, std::move(done));
    } else if (member == "Pulse") {
        // 0.1 s .. one day, as pulse.N in the configuration; NaN fails both.
        const double seconds = args[1].toDouble();
        if (!(seconds >= 0.1 && seconds <= 86400.0))
            return done({Outcome::Error::invalid_argument,
                         QString("%1 s: a pulse lasts 0.1 .. 86400 seconds").arg(seconds)});
        const auto length = std::chrono::milliseconds(std::llround(seconds * 1000.0));
        target.line->pulse(address, relay, length, caller, std::move(done));
    } else {
        target.line->rename(address, relay, args[1].toString(), caller, std::move(done));
    }
}

void BusObjects::managed_objects(const QDBusMessage& message) {
    ManagedObjects objects;
    for (LineModel* line : lines_) {
        const Target l = resolve(line_path(*line));
        objects[QDBusObjectPath(line_path(*line))] = {{line_interface, properties(l)}};
        for (const std::uint8_t address : line->boards()) {
            const Target b = resolve(board_path(*line, address));
            objects[QDBusObjectPath(board_path(*line, address))] = {
                {board_interface, properties(b)}};
        }
    }
    add_time_objects(objects);
    connection_.send(message.createReply(QVariant::fromValue(objects)));
}

void BusObjects::interfaces_added(const Target& target, const QString& path) {
    QDBusMessage signal =
        QDBusMessage::createSignal(root_path, manager_interface, "InterfacesAdded");
    const Interfaces interfaces{{interface_of(target), properties(target)}};
    signal << QVariant::fromValue(QDBusObjectPath(path)) << QVariant::fromValue(interfaces);
    connection_.send(signal);
}

// Only what changed since the last signal of this board.
void BusObjects::board_changed(LineModel* line, std::uint8_t address) {
    const auto shown = shown_.find({line, address});
    if (shown == shown_.end()) return;
    const BoardState now = line->board(address);
    BoardState& before = shown->second;
    QVariantMap changed;
    if (now.online != before.online) changed["Online"] = now.online;
    const quint16 relays_now = now.online ? now.relays : 0;
    if (relays_now != (before.online ? before.relays : 0))
        changed["Relays"] = QVariant::fromValue(relays_now);
    const quint16 inputs_now = now.online ? now.inputs : 0;
    if (inputs_now != (before.online ? before.inputs : 0))
        changed[attach::inputs_property] = QVariant::fromValue(inputs_now);
    if (now.names != before.names) changed["Names"] = now.names;
    before = now;
    if (!changed.isEmpty())
        properties_changed(board_path(*line, address), board_interface, changed);
}

void BusObjects::properties_changed(const QString& path, const char* interface,
                                    const QVariantMap& changed) {
    QDBusMessage signal =
        QDBusMessage::createSignal(path, properties_interface, "PropertiesChanged");
    signal << QString(interface) << changed << QStringList{};
    connection_.send(signal);
}

}  // namespace tarnwick::service
