#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include "panel/link_controller.h"

namespace tarnwick::ui {

// "查找模块": asks every address 0..255 in turn, one query per polling tick,
// and lists the addresses that answered with their relays; choosing one puts
// it in the address entry. Opening it starts a scan when the port is open;
// closing it, or the port, cancels the scan.
class FindForm : public QDialog {
    Q_OBJECT
  public:
    FindForm(link::LinkController& link, QLineEdit& address_entry, QWidget* parent);

    void start_clicked();
    void stop_clicked();
    void use_clicked();

    QTreeWidget* found_list() const { return list_; }
    QProgressBar* progress() const { return progress_; }
    QLabel* status_label() const { return status_; }
    QPushButton* start_button() const { return start_; }
    QPushButton* stop_button() const { return stop_; }
    QPushButton* use_button() const { return use_; }

  protected:
    void done(int result) override;

  private:
    void on_progress(int asked, int total);
    void on_found(int address, int relays);
    void on_ended(bool complete);
    void show_state();

    link::LinkController& link_;
    QLineEdit& address_entry_;
    QLabel* status_;
    QProgressBar* progress_;
    QTreeWidget* list_;
    QPushButton* start_;
    QPushButton* stop_;
    QPushButton* use_;
    QString ended_text_;
};

}  // namespace tarnwick::ui
