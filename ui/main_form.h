#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <array>
#include <memory>

#include "link/link_controller.h"
#include "link/panel_view.h"
#include "link/serial_port.h"
#include "ui/message_boxes.h"
#include "ui/relay_cell.h"

namespace tarnwick::ui {

// The main window: relay cells, port and address entries, the port button and
// the two all-relay buttons. It owns the link for the whole run.
class MainForm : public QWidget, public link::PanelView {
    Q_OBJECT
public:
    MainForm(link::SerialPort& port, OperatorMessages& messages,
             link::LinkController::Ticks ticks = link::LinkController::Ticks::timer,
             QWidget* parent = nullptr);
    ~MainForm() override;

    link::LinkController& link() { return *link_; }
    RelayCell* cell(int n) const { return Picture1[static_cast<std::size_t>(n - 1)]; }
    QLineEdit* port_entry() const { return chuankou_num; }
    QLineEdit* address_entry() const { return add; }
    QPushButton* port_button() const { return open_comm; }
    QPushButton* all_on_button() const { return openall; }
    QPushButton* all_off_button() const { return closeall; }

    // The window's client size in pixels at this screen's DPI.
    QSize client_size() const;

    // PanelView
    void paint_cell(int n, link::Colour box, const QString& label) override;
    link::Colour cell_colour(int n) const override;
    void set_all_relay_buttons_enabled(bool enabled) override;
    void set_port_entry_enabled(bool enabled) override;
    void set_port_button_caption(const QString& caption) override;
    QString address_text() const override;
    QString port_text() const override;

private:
    void build_controls();
    void mark_entry(QLineEdit* entry, const QString& explanation);
    void center_on_screen();

    QLabel* Label3;
    QLineEdit* chuankou_num;
    QPushButton* open_comm;
    QLabel* Label5;
    QLineEdit* add;
    QPushButton* openall;
    QPushButton* closeall;
    std::array<RelayCell*, 16> Picture1{};

    std::unique_ptr<link::LinkController> link_;
};

}  // namespace tarnwick::ui
