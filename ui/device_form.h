#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "panel/link_controller.h"
#include "wire/device_info.h"
#include "wire/port_choices.h"

namespace tarnwick::ui {

// "选择设备": which device a port number opens. Lists every serial device the
// system has, takes any path typed by hand, saves the choice for the port
// number in the entry ("确定") or removes it ("恢复默认"). A path that is no
// usable device is refused with the reason, and nothing is saved.
class DeviceForm : public QDialog {
    Q_OBJECT
  public:
    DeviceForm(int port_number, link::PortChoices& choices, const link::LinkController& link,
               QWidget* parent, QString by_id_directory = link::serial_by_id_directory);

    void refresh();
    void ok_clicked();
    void default_clicked();

    [[nodiscard]] int port_number() const { return port_number_; }
    QTreeWidget* device_list() const { return list_; }
    QLineEdit* path_entry() const { return path_; }
    QLabel* refusal_label() const { return refusal_; }
    QPushButton* ok_button() const { return ok_; }
    QPushButton* default_button() const { return default_; }

  private:
    void make_fields();
    void lay_out(QPushButton* refresh_button, QPushButton* cancel);
    void connect_controls(QPushButton* refresh_button, QPushButton* cancel);
    void show_saved_name();

    int port_number_;
    link::PortChoices& choices_;
    const link::LinkController& link_;
    QString by_id_directory_;
    QLabel* current_;
    QTreeWidget* list_;
    QLineEdit* path_;
    QLabel* saved_as_;
    QLabel* refusal_;
    QPushButton* ok_;
    QPushButton* default_;
};

}  // namespace tarnwick::ui
