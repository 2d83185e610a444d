#pragma once

#include <QObject>
#include <QPointer>

#include "ui/device_form.h"
#include "ui/find_form.h"
#include "ui/line_overview.h"
#include "wire/port_choices.h"

class QMenu;
class QHelpEvent;
class QContextMenuEvent;

namespace tarnwick::ui {

class MainForm;

// What the window adds around the link without moving anything it shows:
// tooltips on the port entry (which device its number opens, from where, and
// what the line did) and on unknown cells (why they are unknown), and the
// context menus "选择设备…" on the port entry and its label 串口号 and
// "查找模块…" and "线路总览…" (also Ctrl+L while the port is open) on the
// address entry and its label 模块地址.
class LinkAids : public QObject {
    Q_OBJECT
  public:
    explicit LinkAids(MainForm& form);

    void use_port_choices(link::PortChoices* choices) { choices_ = choices; }

    // The menus as they pop up; the caller owns them.
    QMenu* port_menu(QWidget* on);
    QMenu* address_menu(QWidget* on);
    // What the tooltips say now.
    QString port_tip() const;
    QString cell_tip() const;

    DeviceForm* open_device_form();
    FindForm* open_find_form();
    LineOverview* open_overview();
    LineOverview* overview() const { return overview_; }
    DeviceForm* device_form() const { return device_form_; }
    FindForm* find_form() const { return find_form_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool show_tip(QWidget* widget, QHelpEvent* event, const QString& text);
    bool show_menu(QMenu* menu, QContextMenuEvent* event);

    MainForm& form_;
    link::PortChoices* choices_ = nullptr;
    QPointer<DeviceForm> device_form_;
    QPointer<FindForm> find_form_;
    QPointer<LineOverview> overview_;
};

}  // namespace tarnwick::ui
