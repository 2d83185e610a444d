#include "attach/service_client.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <algorithm>

#include "attach/contract.h"
#include "protocol/number_text.h"

namespace tarnwick::attach {

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

const QString properties_interface = QStringLiteral("org.freedesktop.DBus.Properties");

void register_types() {
    static const bool done = [] {
        qDBusRegisterMetaType<Interfaces>();
        qDBusRegisterMetaType<ManagedObjects>();
        return true;
    }();
    (void)done;
}

// A call that never starts a service that is not running.
QDBusMessage method(const QString& path, const QString& interface, const QString& member) {
    QDBusMessage message = QDBusMessage::createMethodCall(bus_name, path, interface, member);
    message.setAutoStartService(false);
    return message;
}

// One device whichever name it goes by; a name that resolves to nothing
// (a device not there now) is compared as it is written.
bool same_device(const QString& a, const QString& b) {
    const QString ca = QFileInfo(a).canonicalFilePath();
    const QString cb = QFileInfo(b).canonicalFilePath();
    if (!ca.isEmpty() && !cb.isEmpty()) return ca == cb;
    return QFileInfo(a).absoluteFilePath() == QFileInfo(b).absoluteFilePath();
}

CallResult result_of(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage) return {};
    const QString name = reply.errorName();
    const QString text = reply.errorMessage().isEmpty() ? name : reply.errorMessage();
    switch (board_error(name).value_or(BoardError::none)) {
        case BoardError::not_confirmed:
            return {Refusal::not_confirmed, text};
        case BoardError::offline:
            return {Refusal::offline, text};
        case BoardError::invalid_argument:
            return {Refusal::invalid_argument, text};
        case BoardError::interlock:
            return {Refusal::interlock, text};
        case BoardError::failed:
        case BoardError::refused:  // the board's own words say what it refused
            return {Refusal::failed, text};
        case BoardError::none:
            break;
    }
    if (name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"))
        return {Refusal::denied, text};
    if (name == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Timeout"))
        return {Refusal::no_answer, text};
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name == QLatin1String("org.freedesktop.DBus.Error.Disconnected") ||
        name == QLatin1String("org.freedesktop.DBus.Error.UnknownObject"))
        return {Refusal::gone, text};
    return {Refusal::failed, text};
}

// The line among the service's objects whose device is `device`, with its
// boards (objects under the line's path that carry the board interface).
std::optional<HeldLine> line_of(const ManagedObjects& objects, const QString& device) {
    for (auto object = objects.begin(); object != objects.end(); ++object) {
        const auto line = object.value().find(line_interface);
        if (line == object.value().end()) continue;
        const QString line_device = line->value(QStringLiteral("Device")).toString();
        if (line_device.isEmpty() || !same_device(line_device, device)) continue;
        HeldLine held{object.key().path(),
                      line->value(QStringLiteral("Name")).toString(),
                      line_device,
                      line->value(QStringLiteral("Open")).toBool(),
                      {}};
        const QString under = held.path + QLatin1Char('/');
        for (auto board = objects.begin(); board != objects.end(); ++board) {
            const auto props = board.value().find(board_interface);
            if (props == board.value().end() || !board.key().path().startsWith(under)) continue;
            const QVariant address = props->value(QStringLiteral("Address"));
            if (address.metaType() == QMetaType::fromType<uchar>())
                held.boards[address.value<uchar>()] = board.key().path();
        }
        return held;
    }
    return std::nullopt;
}

}  // namespace

QDBusConnection service_bus() {
    const QString address = qEnvironmentVariable("TARNWICK_BUS");
    if (address.isEmpty()) return QDBusConnection::systemBus();
    return QDBusConnection::connectToBus(address, QStringLiteral("tarnwick-service"));
}

int find_wait_ms() {
    const auto wait = protocol::parse_unsigned(
        qEnvironmentVariable("TARNWICK_SERVICE_WAIT_MS").toStdString(), 10000);
    return wait ? static_cast<int>(*wait) : find_timeout_ms;
}

QString HeldLine::board_list() const {
    QStringList list;
    for (const auto& [address, path] : boards) list << QString::number(address);
    return list.join(QStringLiteral(", "));
}

std::optional<HeldLine> find_holder(const QDBusConnection& bus, const QString& device,
                                    int timeout_ms) {
    if (!bus.isConnected()) return std::nullopt;
    register_types();
    const QDBusMessage reply = QDBusConnection(bus).call(
        method(root_path, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
               QStringLiteral("GetManagedObjects")),
        QDBus::Block, timeout_ms);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != "a{oa{sa{sv}}}")
        return std::nullopt;
    const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().constFirst());
    return line_of(objects, device);
}

namespace {

// A name the service does not know is the caller's mistake, not its absence.
CallResult time_result(const QDBusMessage& reply, const char* node, const QString& name) {
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.UnknownObject"))
        return {Refusal::invalid_argument,
                QStringLiteral("tarnwickd has no %1 %2").arg(QLatin1String(node), name)};
    return result_of(reply);
}

QDBusMessage time_call(const QDBusConnection& bus, const char* node, const char* interface,
                       const QString& name, const QString& member, const QVariantList& args,
                       int timeout_ms) {
    QDBusMessage message = method(
        QStringLiteral("%1/%2/%3").arg(root_path, node, path_element(name)), interface, member);
    message.setArguments(args);
    return QDBusConnection(bus).call(message, QDBus::Block, timeout_ms);
}

template <typename T>
T value_of(const QVariantMap& values, const char* name, T otherwise = {}) {
    const QVariant value = values.value(QLatin1String(name));
    return value.metaType() == QMetaType::fromType<T>() ? value.value<T>() : otherwise;
}

}  // namespace

TimeObjects list_time_objects(const QDBusConnection& bus, int timeout_ms) {
    register_types();
    TimeObjects listed;
    const QDBusMessage reply = QDBusConnection(bus).call(
        method(root_path, QStringLiteral("org.freedesktop.DBus.ObjectManager"),
               QStringLiteral("GetManagedObjects")),
        QDBus::Block, timeout_ms);
    listed.result = result_of(reply);
    if (!listed.result.ok()) return listed;
    if (reply.signature() != "a{oa{sa{sv}}}") {
        listed.result = {Refusal::failed, QStringLiteral("bad reply")};
        return listed;
    }
    const auto objects = qdbus_cast<ManagedObjects>(reply.arguments().constFirst());
    for (const Interfaces& object : objects) {
        if (const auto s = object.find(schedule_interface); s != object.end())
            listed.schedules.push_back({value_of<QString>(*s, "Name"),
                                        value_of<bool>(*s, "Enabled"), value_of<bool>(*s, "Active"),
                                        value_of<qulonglong>(*s, "NextChange")});
        if (const auto s = object.find(scene_interface); s != object.end())
            listed.scenes << value_of<QString>(*s, "Name");
    }
    std::sort(listed.schedules.begin(), listed.schedules.end(),
              [](const ScheduleInfo& a, const ScheduleInfo& b) { return a.name < b.name; });
    listed.scenes.sort();
    return listed;
}

CallResult enable_schedule(const QDBusConnection& bus, const QString& name, bool enabled,
                           int timeout_ms) {
    return time_result(time_call(bus, schedule_node, schedule_interface, name,
                                 QStringLiteral("Enable"), {enabled}, timeout_ms),
                       schedule_node, name);
}

SceneResult apply_scene(const QDBusConnection& bus, const QString& name, int timeout_ms) {
    const QDBusMessage reply =
        time_call(bus, scene_node, scene_interface, name, QStringLiteral("Apply"), {}, timeout_ms);
    SceneResult applied{time_result(reply, scene_node, name), {}};
    if (!applied.result.ok()) return applied;
    if (reply.signature() != "as")
        applied.result = {Refusal::failed, QStringLiteral("bad reply")};
    else
        applied.failed = reply.arguments().constFirst().toStringList();
    return applied;
}

QString refusal_text(Refusal refusal) {
    switch (refusal) {
        case Refusal::none:
            return {};
        case Refusal::not_confirmed:
            return QStringLiteral("模块有应答，但没有确认所要的状态");
        case Refusal::offline:
            return QStringLiteral("模块没有应答（离线）");
        case Refusal::invalid_argument:
            return QStringLiteral("参数无效");
        case Refusal::interlock:
            return QStringLiteral("互锁不允许");
        case Refusal::denied:
            return QStringLiteral("没有权限：只有 tarnwick 组的成员可以操作");
        case Refusal::no_answer:
            return QStringLiteral("tarnwickd 没有及时回复");
        case Refusal::gone:
            return QStringLiteral("tarnwickd 没有运行");
        case Refusal::failed:
            break;
    }
    return QStringLiteral("tarnwickd 拒绝了操作");
}

BoardClient::BoardClient(QDBusConnection bus, QString path, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), path_(std::move(path)) {
    bus_.connect(bus_name, path_, properties_interface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(on_properties_changed(QString, QVariantMap, QStringList)));
    bus_.connect(bus_name, path_, QString::fromLatin1(board_interface), QStringLiteral("Switched"),
                 this, SLOT(on_switched(uchar, bool, QString, QString)));
}

BoardClient::~BoardClient() {
    bus_.disconnect(bus_name, path_, properties_interface, QStringLiteral("PropertiesChanged"),
                    this, SLOT(on_properties_changed(QString, QVariantMap, QStringList)));
    bus_.disconnect(bus_name, path_, QString::fromLatin1(board_interface),
                    QStringLiteral("Switched"), this,
                    SLOT(on_switched(uchar, bool, QString, QString)));
}

CallResult BoardClient::read(int timeout_ms) {
    QDBusMessage get = method(path_, properties_interface, QStringLiteral("GetAll"));
    get << QString::fromLatin1(board_interface);
    const QDBusMessage reply = bus_.call(get, QDBus::Block, timeout_ms);
    CallResult result = result_of(reply);
    if (!result.ok()) return result;
    if (reply.signature() != "a{sv}") return {Refusal::failed, QStringLiteral("bad reply")};
    take(qdbus_cast<QVariantMap>(reply.arguments().constFirst()));
    return result;
}

// Only values of the documented types are taken: the bus is another program.
void BoardClient::take(const QVariantMap& values) {
    const auto online = values.find(QStringLiteral("Online"));
    if (online != values.end() && online->metaType() == QMetaType::fromType<bool>())
        properties_.online = online->toBool();
    const auto relays = values.find(QStringLiteral("Relays"));
    if (relays != values.end() && relays->metaType() == QMetaType::fromType<quint16>())
        properties_.relays = relays->value<quint16>();
    const auto inputs = values.find(QLatin1String(inputs_property));
    if (inputs != values.end() && inputs->metaType() == QMetaType::fromType<quint16>())
        properties_.inputs = inputs->value<quint16>();
    const auto count = values.find(QLatin1String(input_count_property));
    if (count != values.end() && count->metaType() == QMetaType::fromType<quint16>())
        properties_.input_count = std::min<quint16>(count->value<quint16>(), 16);
    const auto family = values.find(QLatin1String(protocol_property));
    if (family != values.end() && family->metaType() == QMetaType::fromType<QString>())
        properties_.protocol = family->toString().left(16);
    const auto names = values.find(QStringLiteral("Names"));
    if (names != values.end() && names->metaType() == QMetaType::fromType<QStringList>()) {
        const QStringList list = names->toStringList();
        properties_.names = list.size() == 16 ? list : QStringList{};
    }
}

void BoardClient::on_properties_changed(const QString& interface, const QVariantMap& changed,
                                        const QStringList& /*invalidated*/) {
    if (interface != QLatin1String(board_interface)) return;
    take(changed);
    emit this->changed();
}

void BoardClient::on_switched(uchar relay, bool on, const QString& source, const QString& detail) {
    // From the service, whose words are not trusted blindly.
    if (relay < 1 || relay > 16) return;
    emit switched(relay, on, source.left(32), detail.left(256));
}

CallResult BoardClient::pulse(int relay, double seconds, int timeout_ms) {
    return call(QStringLiteral("Pulse"), {QVariant::fromValue(static_cast<uchar>(relay)), seconds},
                timeout_ms);
}

CallResult BoardClient::call(const QString& member, const QVariantList& args, int timeout_ms) {
    QDBusMessage message = method(path_, board_interface, member);
    message.setArguments(args);
    return result_of(bus_.call(message, QDBus::Block, timeout_ms));
}

CallResult BoardClient::switch_relay(int relay, bool on, int timeout_ms) {
    return call(QStringLiteral("Switch"), {QVariant::fromValue(static_cast<uchar>(relay)), on},
                timeout_ms);
}

CallResult BoardClient::switch_all(bool on, int timeout_ms) {
    return call(QStringLiteral("SwitchAll"), {on}, timeout_ms);
}

CallResult BoardClient::rename(int relay, const QString& name, int timeout_ms) {
    return call(QStringLiteral("Rename"), {QVariant::fromValue(static_cast<uchar>(relay)), name},
                timeout_ms);
}

void BoardClient::call_async(const QString& member, const QVariantList& args, int timeout_ms,
                             const std::function<void(const CallResult&)>& done) {
    QDBusMessage message = method(path_, board_interface, member);
    message.setArguments(args);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, timeout_ms), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                done(result_of(finished->reply()));
            });
}

}  // namespace tarnwick::attach
