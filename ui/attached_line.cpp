#include "ui/attached_line.h"

#include "attach/contract.h"
#include "protocol/number_text.h"

namespace tarnwick::ui {

namespace {
// While the service is away, it is looked for this often, as a lost device is.
constexpr int retry_ms = 1000;
}  // namespace

AttachedLine::AttachedLine(QDBusConnection bus, attach::HeldLine line, QString device,
                           link::PanelView& view, OperatorMessages& messages, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      line_(std::move(line)),
      device_(std::move(device)),
      view_(view),
      messages_(messages),
      watcher_(QString::fromLatin1(attach::bus_name), bus_,
               QDBusServiceWatcher::WatchForOwnerChange) {
    retry_.setInterval(retry_ms);
    connect(&retry_, &QTimer::timeout, this, &AttachedLine::look_again);
    connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            &AttachedLine::service_gone);
    connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, &AttachedLine::look_again);
    follow_line(true);
}

AttachedLine::~AttachedLine() {
    follow_line(false);
}

void AttachedLine::follow_line(bool follow) {
    const QString service = QString::fromLatin1(attach::bus_name);
    const QString interface = QStringLiteral("org.freedesktop.DBus.Properties");
    const QString member = QStringLiteral("PropertiesChanged");
    const char* slot = SLOT(on_line_changed(QString, QVariantMap, QStringList));
    if (follow)
        bus_.connect(service, line_.path, interface, member, this, slot);
    else
        bus_.disconnect(service, line_.path, interface, member, this, slot);
}

// Boards added to or taken from the line: read the line anew.
void AttachedLine::on_line_changed(const QString& interface, const QVariantMap& changed,
                                   const QStringList& invalidated) {
    if (interface != QLatin1String(attach::line_interface)) return;
    if (!changed.contains(QStringLiteral("Boards")) &&
        !invalidated.contains(QStringLiteral("Boards")))
        return;
    look_again();
}

void AttachedLine::show_board(const QString& address_text) {
    address_text_ = address_text;
    board_.reset();
    const std::optional<QString> path = board_path(address_text);
    if (present_ && path) {
        board_ = std::make_unique<attach::BoardClient>(bus_, *path);
        connect(board_.get(), &attach::BoardClient::changed, this, [this] {
            repaint();
            emit names_changed();
        });
        if (board_->read(attach::find_wait_ms()).refusal == attach::Refusal::gone) {
            service_gone();
            return;
        }
    }
    repaint();
    emit names_changed();
}

void AttachedLine::repaint() {
    const bool known = present_ && board_ && board_->properties().online;
    const quint16 relays = known ? board_->properties().relays : 0;
    for (int n = 1; n <= 16; ++n) {
        if (!known)
            view_.paint_cell(n, link::RelayState::unknown);
        else
            view_.paint_cell(n, (relays >> (n - 1)) & 1 ? link::RelayState::energized
                                                        : link::RelayState::released);
    }
}

// One message box per refused click, from the reply to that click. Said
// from the event loop, not from within the reply: the box's own loop, or a
// service found gone, may end the board client the reply belongs to.
void AttachedLine::report(const attach::CallResult& result) {
    if (result.ok()) return;
    QMetaObject::invokeMethod(
        this, [this, result] { refused(result); }, Qt::QueuedConnection);
}

void AttachedLine::refused(const attach::CallResult& result) {
    if (result.refusal == attach::Refusal::gone) service_gone();
    messages_.port_error(refusal_words(result));
}

QString AttachedLine::refusal_words(const attach::CallResult& result) const {
    return QStringLiteral("tarnwickd（线路 %1）：%2。\n%3")
        .arg(line_.name, attach::refusal_text(result.refusal), result.message);
}

bool AttachedLine::board_or_say_why() {
    if (board_) return true;
    messages_.port_error(present_ ? not_a_board_text()
                                  : attach::refusal_text(attach::Refusal::gone));
    return false;
}

void AttachedLine::click(int n) {
    if (!board_or_say_why()) return;
    // The state the service last reported; an offline board is refused there.
    const bool on = !((board_->properties().relays >> (n - 1)) & 1);
    board_->call_async(QStringLiteral("Switch"), {QVariant::fromValue(static_cast<uchar>(n)), on},
                       attach::reply_timeout_ms, [this](const auto& result) { report(result); });
}

void AttachedLine::switch_all(bool on) {
    if (!board_or_say_why()) return;
    board_->call_async(QStringLiteral("SwitchAll"), {on}, attach::reply_timeout_ms,
                       [this](const auto& result) { report(result); });
}

std::optional<QString> AttachedLine::rename(const QString& address_text, int relay,
                                            const QString& name) {
    if (!present_) return attach::refusal_text(attach::Refusal::gone);
    const std::optional<QString> path = board_path(address_text);
    if (!path) return not_a_board_text();
    attach::BoardClient client(bus_, *path);
    const attach::CallResult done = client.rename(relay, name, attach::reply_timeout_ms);
    if (done.ok()) return std::nullopt;
    return refusal_words(done);
}

std::optional<QString> AttachedLine::board_path(const QString& address_text) const {
    const auto address = protocol::parse_entry(address_text.toStdString());
    const auto board = address ? line_.boards.find(*address) : line_.boards.end();
    if (board == line_.boards.end()) return std::nullopt;
    return board->second;
}

QStringList AttachedLine::names() const {
    return board_ ? board_->properties().names : QStringList{};
}

QString AttachedLine::not_a_board_text() const {
    return QStringLiteral("地址“%1”不是 tarnwickd 的线路 %2 上的模块；它的模块是 %3。")
        .arg(address_text_, line_.name, line_.board_list());
}

QString AttachedLine::port_tip() const {
    QString tip = QStringLiteral("由 tarnwickd 的线路 %1 持有\n设备：%2").arg(line_.name, device_);
    if (!present_) tip += QStringLiteral("\ntarnwickd 已停止：它回来后自动重新连接。");
    return tip;
}

QString AttachedLine::cell_tip() const {
    const QString held = QStringLiteral("由 tarnwickd 的线路 %1 持有。").arg(line_.name);
    if (!present_) return QStringLiteral("tarnwickd 已停止：它回来后自动重新连接。\n") + held;
    if (!board_) return not_a_board_text() + u'\n' + held;
    if (!board_->properties().online)
        return QStringLiteral("模块 %1 没有应答（离线）。\n").arg(address_text_) + held;
    return {};
}

void AttachedLine::service_gone() {
    if (!present_) return;
    present_ = false;
    board_.reset();
    repaint();
    retry_.start();
    emit boards_changed();
}

// The service is back, or may be: attach again if it still holds the device
// (its configuration may have changed while it was away).
void AttachedLine::look_again() {
    const std::optional<attach::HeldLine> line =
        attach::find_holder(bus_, device_, attach::find_wait_ms());
    if (!line) {
        if (!retry_.isActive()) service_gone();
        return;
    }
    retry_.stop();
    present_ = true;
    follow_line(false);
    line_ = *line;
    follow_line(true);
    show_board(address_text_);
    emit boards_changed();
}

}  // namespace tarnwick::ui
