#pragma once

#include <QComboBox>
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
// usable device is refused with the reason, and nothing is saved. Beside the
// device: whether the boards speak the native protocol (9600 8N1, always) or
// Modbus RTU, and a Modbus line's speed, parity and stop bits.
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
    QComboBox* protocol_box() const { return protocol_; }
    QComboBox* baud_box() const { return baud_; }
    QComboBox* parity_box() const { return parity_; }
    QComboBox* stop_bits_box() const { return stop_bits_; }
    // The line as the controls stand.
    [[nodiscard]] protocol::LineSettings chosen_line() const;

  private:
    void make_fields();
    void make_line_fields();
    QLayout* line_row();
    void show_line(const protocol::LineSettings& line);
    void protocol_changed();
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
    QComboBox* protocol_;
    QComboBox* baud_;
    QComboBox* parity_;
    QComboBox* stop_bits_;
};

}  // namespace tarnwick::ui
