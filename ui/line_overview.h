#pragma once

#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "attach/service_client.h"
#include "panel/link_controller.h"
#include "panel/relay_state.h"
#include "ui/relay_cell.h"

namespace tarnwick::ui {

class MainForm;

// One relay of a row: a small box in the main window's colours, which a
// click or Space switches; the arrow keys step to the neighbouring box.
class OverviewCell : public QWidget {
    Q_OBJECT
  public:
    OverviewCell(int row, int relay, QWidget* parent);
    void paint(link::RelayState state);
    [[nodiscard]] Colour colour() const { return colour_; }
    [[nodiscard]] int row() const { return row_; }
    [[nodiscard]] int relay() const { return relay_; }
    [[nodiscard]] QSize sizeHint() const override { return {22, 22}; }

  signals:
    void clicked(int row, int relay);
    void step(int row, int relay, int rows, int relays);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    int row_;
    int relay_;
    Colour colour_ = ~Colour{0};
    ClickGesture gesture_;
};

// "线路总览": every board of the line in a row: its address, online or not
// (why not in the tooltip), its family and its 16 relays with their names.
// On the panel's own line the boards are the last scan's and the address
// entry's, the others queried by the link between its ticks while this is
// shown; on a line tarnwickd holds, the service's boards.
class LineOverview : public QWidget {
    Q_OBJECT
  public:
    explicit LineOverview(MainForm& form);
    ~LineOverview() override;

    // Reads the boards and their states anew.
    void refresh();

    [[nodiscard]] int row_count() const { return static_cast<int>(rows_.size()); }
    [[nodiscard]] int row_address(int row) const { return rows_[row].address; }
    [[nodiscard]] bool row_online(int row) const { return rows_[row].online; }
    [[nodiscard]] QLabel* address_label(int row) const { return rows_[row].address_label; }
    [[nodiscard]] QLabel* online_label(int row) const { return rows_[row].online_label; }
    [[nodiscard]] QLabel* family_label(int row) const { return rows_[row].family_label; }
    [[nodiscard]] OverviewCell* cell(int row, int relay) const {
        return rows_[row].cells[static_cast<std::size_t>(relay - 1)];
    }
    void cell_clicked(int row, int relay);
    void address_chosen(int row);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    struct Row {
        int address = 0;
        bool online = false;
        QLabel* address_label = nullptr;
        QLabel* online_label = nullptr;
        QLabel* family_label = nullptr;
        std::array<OverviewCell*, 16> cells{};
        std::array<QString, 16> names;
    };
    // What a row shows now.
    struct RowState {
        bool online = false;
        QString why;  // when not online
        QString family;
        link::RelayStates relays{};
        QStringList served_names;  // the service's, when it has 16
    };

    [[nodiscard]] std::vector<int> wanted_addresses() const;
    void rebuild(const std::vector<int>& addresses);
    void add_row(int address);
    void load_names(Row& row) const;
    void show_row(Row& row, const RowState& state);
    [[nodiscard]] RowState own_line_state(int address) const;
    [[nodiscard]] RowState service_state(int address) const;
    [[nodiscard]] RowState entry_state() const;
    void follow_service();
    void step(int row, int relay, int rows, int relays);

    // Stops the round.
    void watch_none();

    MainForm& form_;
    // The window's link, which goes before the window's children do.
    QPointer<link::LinkController> link_;
    std::vector<Row> rows_;
    QTimer refresh_;
    std::map<int, std::unique_ptr<attach::BoardClient>> clients_;  // by address
};

}  // namespace tarnwick::ui
