#pragma once

#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include "names/name_file.h"
#include "ui/message_boxes.h"

namespace tarnwick::ui {

class MainForm;

// Edits the name of one channel at one board address. Modeless; the main
// window creates it on the first click on a name label and it unloads itself
// after OK or Cancel. Neither Enter nor Esc does anything here.
class NameForm : public QWidget {
    Q_OBJECT
public:
    NameForm(MainForm& main_form, names::NameFile& names, OperatorMessages& messages);

    // Set by the main window before showing: its address text at the time of
    // the click, and the channel number as text "1".."16".
    QString add;
    QString xianlu;

    // Fills the name box; runs once, when the dialog is loaded.
    void Form_Load();
    void Command_ok_Click();
    void Command_cansel_Click();

    QLineEdit* name_entry() const { return mingcheng; }
    QPushButton* ok_button() const { return Command_ok; }
    QPushButton* cancel_button() const { return Command_cansel; }

private:
    void unload();

    MainForm& main_form_;
    names::NameFile& names_;
    OperatorMessages& messages_;
    QLineEdit* mingcheng;
    QPushButton* Command_ok;
    QPushButton* Command_cansel;
};

}  // namespace tarnwick::ui
