#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QWidget>
#include <array>
#include <memory>

#include "names/name_file.h"
#include "panel/link_controller.h"
#include "panel/panel_view.h"
#include "ui/attached_line.h"
#include "ui/message_boxes.h"
#include "ui/relay_cell.h"
#include "wire/port_choices.h"
#include "wire/serial_port.h"

namespace tarnwick::ui {

// The main window: relay cells, port and address entries, the port button and
// the two all-relay buttons. It owns the link for the whole run.
class NameForm;
class LinkAids;

// A spinner as the panel has always had it: 255 at the top, 0 at the bottom,
// the up arrow adds one. A Qt scroll bar's inverted appearance does not swap
// its arrows, so the bar runs over -255..0 and the number is the negation.
class Spinner : public QScrollBar {
    Q_OBJECT
  public:
    explicit Spinner(QWidget* parent);
    [[nodiscard]] int number() const { return -value(); }
    void set_number(int number) { setValue(-number); }
  signals:
    void number_changed(int number);
};

class MainForm : public QWidget, public link::PanelView {
    Q_OBJECT
  public:
    // Runs start-up (title and names from the name file) before returning, so
    // that a first start's messages come before the window is shown.
    MainForm(link::SerialPort& port, OperatorMessages& messages, names::NameFile& names,
             link::LinkController::Ticks ticks = link::LinkController::Ticks::timer,
             QWidget* parent = nullptr);
    ~MainForm() override;

    // The operator's saved devices: consulted on every open, changed through
    // "选择设备…" (which stays disabled without them).
    void use_port_choices(link::PortChoices& choices);
    // Never ask whether tarnwickd holds the device: always open it here.
    void set_direct(bool direct) { direct_ = direct; }

    // The port button, a cell, the all-relay buttons: through tarnwickd
    // while it holds the device, else on the window's own line.
    void open_comm_Click();
    void cell_Click(int n);
    void all_Click(bool on);
    // The service's line the window shows, or none.
    AttachedLine* attached() const { return attached_.get(); }

    // Handlers of this window's own controls.
    void add_Change();
    void VScroll1_Change();
    void chuankou_num_Change();
    void VScroll2_Change();
    void Label4_Click(int n);

    NameLabel* name_label(int n) const { return Label4[static_cast<std::size_t>(n - 1)]; }
    Spinner* address_spinner() const { return VScroll1; }
    Spinner* port_spinner() const { return VScroll2; }
    NameForm* name_dialog() const;

    link::LinkController& link() { return *link_; }
    RelayCell* cell(int n) const { return Picture1[static_cast<std::size_t>(n - 1)]; }
    QLineEdit* port_entry() const { return chuankou_num; }
    QLineEdit* address_entry() const { return add; }
    QLabel* port_label() const { return Label3; }
    QLabel* address_label() const { return Label5; }
    LinkAids& aids() const { return *aids_; }
    names::NameFile& names() const { return names_; }
    OperatorMessages& messages() const { return messages_; }
    QPushButton* port_button() const { return open_comm; }
    QPushButton* all_on_button() const { return openall; }
    QPushButton* all_off_button() const { return closeall; }

    // The window's client size in pixels at this screen's DPI.
    QSize client_size() const;

    // The colour cell n shows, which is its state.
    Colour cell_colour(int n) const;

    // PanelView
    void paint_cell(int n, link::RelayState state) override;
    link::RelayState cell_state(int n) const override;
    void set_all_relay_buttons_enabled(bool enabled) override;
    void set_port_entry_enabled(bool enabled) override;
    void set_port_button_caption(const QString& caption) override;
    QString address_text() const override;
    QString port_text() const override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void Form_Initialize();
    void build_controls();
    void build_entries(qreal dpi);
    void build_cells(qreal dpi);
    void set_focus_order();
    void connect_entries();
    void mark_entry(QLineEdit* entry, const QString& explanation);
    void center_on_screen();
    bool attach_to_service();
    void detach();
    void show_names();

    QLabel* Label3;
    QLineEdit* chuankou_num;
    QPushButton* open_comm;
    QLabel* Label5;
    QLineEdit* add;
    QPushButton* openall;
    QPushButton* closeall;
    Spinner* VScroll1;
    Spinner* VScroll2;
    std::array<RelayCell*, 16> Picture1{};
    std::array<NameLabel*, 16> Label4{};

    OperatorMessages& messages_;
    names::NameFile& names_;
    QPointer<NameForm> name_form_;

    std::unique_ptr<link::LinkController> link_;
    link::PortChoices* choices_ = nullptr;
    bool direct_ = false;
    std::unique_ptr<AttachedLine> attached_;
    LinkAids* aids_ = nullptr;
};

}  // namespace tarnwick::ui
