#include "ui/line_overview.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QPainter>

#include "protocol/modbus.h"
#include "protocol/number_text.h"
#include "ui/link_aids.h"
#include "ui/main_form.h"
#include "wire/port_texts.h"

namespace tarnwick::ui {

namespace {

// Rows are read this often while shown: a few times a tick's liveness window.
constexpr int refresh_ms = 100;

QString family_text(bool modbus) {
    return modbus ? QStringLiteral("Modbus") : QStringLiteral("原生");
}

link::RelayStates pattern_states(std::uint16_t relays) {
    link::RelayStates states{};
    for (std::size_t i = 0; i < states.size(); ++i)
        states[i] = (relays >> i) & 1 ? link::RelayState::energized : link::RelayState::released;
    return states;
}

link::RelayStates all_states(link::RelayState state) {
    link::RelayStates states{};
    states.fill(state);
    return states;
}

}  // namespace

OverviewCell::OverviewCell(int row, int relay, QWidget* parent)
    : QWidget(parent), row_(row), relay_(relay) {
    setFocusPolicy(Qt::StrongFocus);
    setFixedSize(sizeHint());
    setObjectName(QStringLiteral("cell_%1_%2").arg(row).arg(relay));
}

void OverviewCell::paint(link::RelayState state) {
    const Colour colour = cell_look(state).colour;
    if (colour == colour_) return;
    colour_ = colour;
    update();
}

void OverviewCell::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.fillRect(rect(), RelayCell::to_qcolor(colour_));
    painter.setPen(QColor(96, 96, 96));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (hasFocus()) {
        painter.setPen(QPen(Qt::black, 2));
        painter.drawRect(rect().adjusted(3, 3, -3, -3));
    }
}

void OverviewCell::focusInEvent(QFocusEvent* event) {
    update();
    QWidget::focusInEvent(event);
}

void OverviewCell::focusOutEvent(QFocusEvent* event) {
    update();
    QWidget::focusOutEvent(event);
}

void OverviewCell::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    gesture_.press(event);
}

void OverviewCell::mouseReleaseEvent(QMouseEvent* event) {
    if (gesture_.release(this, event)) emit clicked(row_, relay_);
}

void OverviewCell::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
            if (!event->isAutoRepeat()) emit clicked(row_, relay_);
            return;
        case Qt::Key_Left:
            return emit step(row_, relay_, 0, -1);
        case Qt::Key_Right:
            return emit step(row_, relay_, 0, 1);
        case Qt::Key_Up:
            return emit step(row_, relay_, -1, 0);
        case Qt::Key_Down:
            return emit step(row_, relay_, 1, 0);
        default:
            QWidget::keyPressEvent(event);
    }
}

LineOverview::LineOverview(MainForm& form)
    : QWidget(&form, Qt::Window), form_(form), link_(&form.link()) {
    setObjectName(QStringLiteral("line_overview"));
    setWindowTitle(QStringLiteral("线路总览"));
    auto* grid = new QGridLayout(this);
    grid->setHorizontalSpacing(3);
    grid->setVerticalSpacing(3);
    const QStringList heads{QStringLiteral("地址"), QStringLiteral("状态"), QStringLiteral("协议")};
    for (int column = 0; column < heads.size(); ++column)
        grid->addWidget(new QLabel(heads[column], this), 0, column);
    for (int relay = 1; relay <= 16; ++relay)
        grid->addWidget(new QLabel(QString::number(relay), this), 0, 2 + relay, Qt::AlignCenter);
    grid->setColumnMinimumWidth(0, 36);
    grid->setColumnMinimumWidth(1, 36);
    grid->setColumnMinimumWidth(2, 52);
    refresh_.setInterval(refresh_ms);
    connect(&refresh_, &QTimer::timeout, this, &LineOverview::refresh);
    connect(&form_.link(), &link::LinkController::port_state_changed, this, &LineOverview::refresh);
    refresh();
}

LineOverview::~LineOverview() {
    watch_none();
}

void LineOverview::watch_none() {
    if (link_) link_->watch_boards({});
}

void LineOverview::showEvent(QShowEvent* event) {
    for (Row& row : rows_) load_names(row);
    refresh();
    refresh_.start();
    QWidget::showEvent(event);
}

// Hidden or closed, nothing but the tick's frames go out.
void LineOverview::hideEvent(QHideEvent* event) {
    refresh_.stop();
    watch_none();
    QWidget::hideEvent(event);
}

std::vector<int> LineOverview::wanted_addresses() const {
    std::vector<int> addresses;
    if (const AttachedLine* attached = form_.attached()) {
        for (const auto& [address, path] : attached->line().boards) addresses.push_back(address);
        return addresses;
    }
    const link::LinkController& link = form_.link();
    const bool modbus = link.line_settings().protocol == protocol::Protocol::modbus;
    for (const std::uint8_t found : link.found_boards()) addresses.push_back(found);
    if (const auto entry = protocol::parse_entry(form_.address_text().toStdString()))
        addresses.push_back(*entry);
    std::erase_if(addresses, [modbus](int address) {
        return modbus && (address < protocol::modbus::first_unit ||
                          address > protocol::modbus::last_unit);
    });
    std::sort(addresses.begin(), addresses.end());
    addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
    return addresses;
}

void LineOverview::refresh() {
    const std::vector<int> wanted = wanted_addresses();
    std::vector<int> shown;
    for (const Row& row : rows_) shown.push_back(row.address);
    if (wanted != shown) rebuild(wanted);
    follow_service();
    const bool served = form_.attached() != nullptr;
    const auto entry = protocol::parse_entry(form_.address_text().toStdString());
    std::vector<std::uint8_t> others;
    for (Row& row : rows_) {
        const bool in_entry = entry && *entry == row.address;
        if (!served && !in_entry) others.push_back(static_cast<std::uint8_t>(row.address));
        show_row(row, served     ? service_state(row.address)
                      : in_entry ? entry_state()
                                 : own_line_state(row.address));
    }
    if (isVisible()) form_.link().watch_boards(others);
}

void LineOverview::rebuild(const std::vector<int>& addresses) {
    for (Row& row : rows_) {
        delete row.address_label;
        delete row.online_label;
        delete row.family_label;
        for (OverviewCell* cell : row.cells) delete cell;
    }
    rows_.clear();
    for (const int address : addresses) add_row(address);
    adjustSize();
}

void LineOverview::add_row(int address) {
    auto* grid = static_cast<QGridLayout*>(layout());
    const int index = static_cast<int>(rows_.size());
    Row row;
    row.address = address;
    row.address_label = new QLabel(QString::number(address), this);
    row.address_label->setToolTip(QStringLiteral("双击：把 %1 填入“模块地址”").arg(address));
    row.address_label->setProperty("row", index);
    row.address_label->installEventFilter(this);
    row.online_label = new QLabel(this);
    row.family_label = new QLabel(this);
    grid->addWidget(row.address_label, index + 1, 0);
    grid->addWidget(row.online_label, index + 1, 1);
    grid->addWidget(row.family_label, index + 1, 2);
    for (int relay = 1; relay <= 16; ++relay) {
        auto* cell = new OverviewCell(index, relay, this);
        connect(cell, &OverviewCell::clicked, this, &LineOverview::cell_clicked);
        connect(cell, &OverviewCell::step, this, &LineOverview::step);
        grid->addWidget(cell, index + 1, 2 + relay);
        row.cells[static_cast<std::size_t>(relay - 1)] = cell;
    }
    load_names(row);
    rows_.push_back(std::move(row));
}

void LineOverview::load_names(Row& row) const {
    const auto names = form_.names().load_names(std::to_string(row.address));
    for (std::size_t i = 0; i < row.names.size(); ++i)
        row.names[i] = QString::fromStdString(names[i]);
}

void LineOverview::show_row(Row& row, const RowState& state) {
    row.online = state.online;
    row.online_label->setText(state.online ? QStringLiteral("在线") : QStringLiteral("离线"));
    row.online_label->setToolTip(state.online ? QString() : state.why);
    row.family_label->setText(state.family);
    for (int relay = 1; relay <= 16; ++relay) {
        const auto i = static_cast<std::size_t>(relay - 1);
        OverviewCell* cell = row.cells[i];
        cell->paint(state.relays[i]);
        const QString name = state.served_names.size() == 16
                                 ? state.served_names[static_cast<qsizetype>(i)]
                                 : row.names[i];
        const QString tip = QStringLiteral("%1（第 %2 路）").arg(name).arg(relay);
        if (cell->toolTip() != tip) cell->setToolTip(tip);
    }
}

}  // namespace tarnwick::ui

namespace tarnwick::ui {

// The board in the address entry: the main window's cells and their reason.
LineOverview::RowState LineOverview::entry_state() const {
    const link::LinkController& link = form_.link();
    RowState state;
    state.family = family_text(link.line_settings().protocol == protocol::Protocol::modbus);
    if (!link.port_open()) {
        state.relays = all_states(link::RelayState::port_closed);
        state.why = QStringLiteral("串口没有打开。");
        return state;
    }
    for (int n = 1; n <= 16; ++n) state.relays[static_cast<std::size_t>(n - 1)] = form_.cell_state(n);
    state.online = link::known_pattern(state.relays).has_value();
    // Not the main window's words: they count every byte on the line, and
    // here other boards answer on it.
    if (!state.online && link.scanning())
        state.why = QStringLiteral("正在查找模块，查找结束后恢复。");
    else if (!state.online)
        state.why = QStringLiteral(
                        "模块 %1 没有应答（“模块地址”里的模块，每 %2 ms 查询一次）。\n"
                        "线路上其他模块的应答不算它的。\n"
                        "可能的原因：模块地址不对、模块电源或接线。")
                        .arg(form_.address_text())
                        .arg(link::LinkController::tick_ms);
    return state;
}

// Another board of the panel's own line: what the link's round heard of it.
LineOverview::RowState LineOverview::own_line_state(int address) const {
    const link::LinkController& link = form_.link();
    RowState state;
    state.family = family_text(link.line_settings().protocol == protocol::Protocol::modbus);
    state.relays = all_states(link::RelayState::unknown);
    if (!link.port_open()) {
        state.relays = all_states(link::RelayState::port_closed);
        state.why = QStringLiteral("串口没有打开。");
        return state;
    }
    const auto now = link::SteadyClock::now();
    const link::BoardRound::Board* board =
        link.watched().board(static_cast<std::uint8_t>(address));
    state.online = link.watched().online(static_cast<std::uint8_t>(address), now);
    if (state.online) {
        state.relays = pattern_states(*board->relays);
    } else if (link.scanning()) {
        state.why = QStringLiteral("正在查找模块：轮询暂停，查找结束后恢复。");
    } else if (!board || board->asked == 0) {
        state.why = QStringLiteral("还没有轮到查询模块 %1。").arg(address);
    } else if (board->answered) {
        const auto silent =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - *board->answered);
        state.why = QStringLiteral("模块 %1 没有应答：最后一个有效应答在 %2前。")
                        .arg(address)
                        .arg(link::duration_text(silent));
    } else {
        state.why = QStringLiteral(
                        "模块 %1 没有应答：查询了 %2 次，一个有效应答也没有收到。\n"
                        "可能的原因：模块地址不对、模块电源或接线。")
                        .arg(address)
                        .arg(board->asked);
    }
    return state;
}

// A board of tarnwickd's line: what the service says of it.
LineOverview::RowState LineOverview::service_state(int address) const {
    const AttachedLine& attached = *form_.attached();
    RowState state;
    state.relays = all_states(link::RelayState::unknown);
    const auto client = clients_.find(address);
    const attach::BoardProperties* props =
        client == clients_.end() ? nullptr : &client->second->properties();
    if (props) {
        state.family = props->protocol == QLatin1String("modbus") ? family_text(true)
                       : props->protocol == QLatin1String("native")
                           ? family_text(false)
                           : props->protocol;
        state.served_names = props->names;
    }
    const QString held = QStringLiteral("由 tarnwickd 的线路 %1 持有。").arg(attached.line().name);
    state.online = attached.present() && props && props->online;
    if (state.online)
        state.relays = pattern_states(props->relays);
    else if (!attached.present())
        state.why = QStringLiteral("tarnwickd 已停止：它回来后自动重新连接。\n") + held;
    else
        state.why = QStringLiteral("模块 %1 没有应答（离线）。\n").arg(address) + held;
    return state;
}

// One client per board of the service's line, kept current by its signals.
void LineOverview::follow_service() {
    const AttachedLine* attached = form_.attached();
    if (!attached || !attached->present()) {
        clients_.clear();
        return;
    }
    const std::map<int, QString>& boards = attached->line().boards;
    std::erase_if(clients_, [&](const auto& client) {
        const auto board = boards.find(client.first);
        return board == boards.end() || board->second != client.second->path();
    });
    for (const auto& [address, path] : boards) {
        if (clients_.count(address)) continue;
        auto client = std::make_unique<attach::BoardClient>(attached->bus(), path);
        connect(client.get(), &attach::BoardClient::changed, this, &LineOverview::refresh);
        (void)client->read(attach::find_wait_ms());
        clients_[address] = std::move(client);
    }
}

void LineOverview::cell_clicked(int row, int relay) {
    if (row < 0 || row >= row_count()) return;
    const int address = rows_[static_cast<std::size_t>(row)].address;
    if (form_.attached()) {
        const auto client = clients_.find(address);
        if (client == clients_.end() || !client->second->properties().online) return;
        const bool on = !((client->second->properties().relays >> (relay - 1)) & 1);
        OperatorMessages& messages = form_.messages();
        client->second->call_async(
            QStringLiteral("Switch"), {QVariant::fromValue(static_cast<uchar>(relay)), on},
            attach::reply_timeout_ms, [&messages](const attach::CallResult& result) {
                if (!result.ok())
                    messages.port_error(attach::refusal_text(result.refusal) + u'\n' +
                                        result.message);
            });
        return;
    }
    form_.link().switch_board_relay(static_cast<std::uint8_t>(address), relay);
}

void LineOverview::address_chosen(int row) {
    if (row < 0 || row >= row_count()) return;
    form_.address_entry()->setText(QString::number(rows_[static_cast<std::size_t>(row)].address));
}

void LineOverview::step(int row, int relay, int rows, int relays) {
    if (rows_.empty()) return;
    const int to_row = std::clamp(row + rows, 0, row_count() - 1);
    const int to_relay = std::clamp(relay + relays, 1, 16);
    cell(to_row, to_relay)->setFocus(Qt::TabFocusReason);
}

bool LineOverview::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonDblClick) return false;
    const QVariant row = watched->property("row");
    if (!row.isValid()) return false;
    address_chosen(row.toInt());
    return true;
}

}  // namespace tarnwick::ui
