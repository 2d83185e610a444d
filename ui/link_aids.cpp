#include "ui/link_aids.h"

#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QMenu>
#include <QShortcut>
#include <QToolTip>

#include "protocol/number_text.h"
#include "ui/device_form.h"
#include "ui/find_form.h"
#include "ui/main_form.h"
#include "wire/device_info.h"
#include "wire/port_texts.h"

namespace tarnwick::ui {

namespace {

const QString choose_device_text = QStringLiteral("选择设备…");
const QString find_boards_text = QStringLiteral("查找模块…");
const QString overview_text = QStringLiteral("线路总览…");
const QKeySequence overview_key(Qt::CTRL | Qt::Key_L);

// "3 秒前", and below a second "40 ms 前" rather than "0 秒前".
QString seconds_ago(link::SteadyClock::time_point then) {
    const QString wait = link::duration_text(
        std::chrono::duration_cast<std::chrono::milliseconds>(link::SteadyClock::now() - then));
    return wait +
           (wait.endsWith(QStringLiteral("ms")) ? QStringLiteral(" 前") : QStringLiteral("前"));
}

}  // namespace

LinkAids::LinkAids(MainForm& form) : QObject(&form), form_(form) {
    for (QWidget* watched :
         {static_cast<QWidget*>(&form_), static_cast<QWidget*>(form_.port_label()),
          static_cast<QWidget*>(form_.port_entry()), static_cast<QWidget*>(form_.address_label()),
          static_cast<QWidget*>(form_.address_entry())})
        watched->installEventFilter(this);
    for (int n = 1; n <= 16; ++n) {
        form_.cell(n)->installEventFilter(this);
        form_.cell(n)->label()->installEventFilter(this);
    }
    auto* overview_shortcut = new QShortcut(overview_key, &form_);
    connect(overview_shortcut, &QShortcut::activated, this, [this] {
        if (form_.link().port_open() || form_.attached()) open_overview();
    });
}

bool LinkAids::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (watched == form_.port_entry()) return show_tip(form_.port_entry(), help, port_tip());
        for (int n = 1; n <= 16; ++n) {
            if (watched == form_.cell(n) || watched == form_.cell(n)->label())
                return show_tip(static_cast<QWidget*>(watched), help, cell_tip());
        }
        return false;
    }
    if (event->type() != QEvent::ContextMenu) return false;
    auto* menu_event = static_cast<QContextMenuEvent*>(event);
    if (watched == form_.port_label() || watched == form_.port_entry())
        return show_menu(port_menu(static_cast<QWidget*>(watched)), menu_event);
    if (watched == form_.address_label() || watched == form_.address_entry())
        return show_menu(address_menu(static_cast<QWidget*>(watched)), menu_event);
    // A disabled entry (the port entry while the port is open) passes its
    // menu request on to the window.
    if (watched == &form_ && form_.port_entry()->geometry().contains(menu_event->pos()))
        return show_menu(port_menu(form_.port_entry()), menu_event);
    return false;
}

bool LinkAids::show_tip(QWidget* widget, QHelpEvent* event, const QString& text) {
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(event->globalPos(), text, widget);
    return true;
}

bool LinkAids::show_menu(QMenu* menu, QContextMenuEvent* event) {
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
    return true;
}

QMenu* LinkAids::port_menu(QWidget* on) {
    auto* entry = qobject_cast<QLineEdit*>(on);
    QMenu* menu = entry && entry->isEnabled() ? entry->createStandardContextMenu() : new QMenu(on);
    QAction* choose = new QAction(choose_device_text, menu);
    const bool number = protocol::parse_entry(form_.port_text().toStdString()).has_value();
    choose->setEnabled(choices_ && number);  // a device belongs to a port number
    connect(choose, &QAction::triggered, this, [this] { open_device_form(); });
    QAction* first = menu->actions().isEmpty() ? nullptr : menu->actions().first();
    menu->insertAction(first, choose);
    if (first) menu->insertSeparator(first);
    return menu;
}

QMenu* LinkAids::address_menu(QWidget* on) {
    auto* entry = qobject_cast<QLineEdit*>(on);
    QMenu* menu = entry ? entry->createStandardContextMenu() : new QMenu(on);
    QAction* find = new QAction(find_boards_text, menu);
    connect(find, &QAction::triggered, this, [this] { open_find_form(); });
    QAction* overview = new QAction(overview_text, menu);
    overview->setShortcut(overview_key);  // shown in the menu; the window's shortcut acts
    overview->setShortcutContext(Qt::WidgetShortcut);
    connect(overview, &QAction::triggered, this, [this] { open_overview(); });
    QAction* first = menu->actions().isEmpty() ? nullptr : menu->actions().first();
    menu->insertAction(first, find);
    menu->insertAction(first, overview);
    if (first) menu->insertSeparator(first);
    return menu;
}

DeviceForm* LinkAids::open_device_form() {
    const auto number = protocol::parse_entry(form_.port_text().toStdString());
    if (!choices_ || !number) return nullptr;
    if (device_form_ && device_form_->port_number() != *number) {
        // close() only schedules the deletion; the old form must not be shown again.
        device_form_->close();
        device_form_ = nullptr;
    }
    if (!device_form_) device_form_ = new DeviceForm(*number, *choices_, form_.link(), &form_);
    device_form_->show();
    device_form_->raise();
    device_form_->activateWindow();
    return device_form_;
}

FindForm* LinkAids::open_find_form() {
    if (!find_form_)
        find_form_ = new FindForm(form_.link(), *form_.address_entry(), &form_);
    else
        find_form_->start_clicked();
    find_form_->show();
    find_form_->raise();
    find_form_->activateWindow();
    return find_form_;
}

LineOverview* LinkAids::open_overview() {
    if (!overview_) {
        overview_ = new LineOverview(form_);
        overview_->setAttribute(Qt::WA_DeleteOnClose);
    }
    overview_->show();
    overview_->raise();
    overview_->activateWindow();
    return overview_;
}

QString LinkAids::port_tip() const {
    QStringList parts;
    // A text that is no port number is marked on the entry; say so first.
    if (!form_.port_entry()->toolTip().isEmpty()) parts << form_.port_entry()->toolTip();
    if (const AttachedLine* attached = form_.attached())
        return (parts << attached->port_tip()).join(u'\n');
    const link::LinkController& link = form_.link();
    if (const auto device = link.device_for_entry()) {
        const int number = *protocol::parse_entry(form_.port_text().toStdString());
        parts << link::device_text(number, *device, link::inspect_device(device->path));
        if (link.port_open() && device->path != link.open_device())
            parts << QStringLiteral("现在打开的是 %1；新的设备在下次打开时生效。")
                         .arg(link.open_device());
        const protocol::LineSettings line =
            choices_ ? choices_->line(number) : protocol::LineSettings{};
        parts << QStringLiteral("线路：%1").arg(link::line_text(line));
        if (link.port_open() && line != link.line_settings())
            parts << QStringLiteral("现在的线路是 %1；新的设置在下次打开时生效。")
                         .arg(link::line_text(link.line_settings()));
    }
    if (link.reconnecting())
        parts << QStringLiteral("%1 已断开：正在等它重新出现，出现后自动重新打开。")
                     .arg(link.open_device());
    if (link.port_open()) {
        const link::LinkCounters& counters = link.counters();
        QString line = QStringLiteral("打开以来：") + link::tally_text(counters.since_open);
        if (counters.last_byte_at)
            line += QStringLiteral("；最后一个字节在 %1").arg(seconds_ago(*counters.last_byte_at));
        parts << line;
    }
    return parts.join(u'\n');
}

QString LinkAids::cell_tip() const {
    if (const AttachedLine* attached = form_.attached()) return attached->cell_tip();
    const link::LinkController& link = form_.link();
    if (!link.port_open() || form_.cell_state(1) != link::RelayState::unknown) return {};
    return link::unknown_reason(link.counters(), link.unknown_cause(), link::SteadyClock::now());
}

}  // namespace tarnwick::ui
