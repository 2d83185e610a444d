#include "ui/name_form.h"

#include <QPixmap>

#include "protocol/number_text.h"
#include "ui/fonts.h"
#include "ui/main_form.h"
#include "ui/twips.h"

namespace tarnwick::ui {

namespace {
constexpr int client_width_twips = 4740;
constexpr int client_height_twips = 1890;

// The address and channel texts are taken as 16-bit whole numbers.
std::optional<int> to_int16(const QString& text) {
    const auto value = protocol::parse_whole_number(text.toStdString());
    if (!value || *value < -32768 || *value > 32767) return std::nullopt;
    return *value;
}
}  // namespace

NameForm::NameForm(MainForm& main_form, names::NameFile& names, OperatorMessages& messages)
    : QWidget(nullptr, Qt::Window), main_form_(main_form), names_(names), messages_(messages) {
    setObjectName(QStringLiteral("name_form"));
    setWindowTitle(QStringLiteral("更改名称"));
    // No icon of its own: a transparent one keeps the application icon away.
    QPixmap none(16, 16);
    none.fill(Qt::transparent);
    setWindowIcon(QIcon(none));
    setAttribute(Qt::WA_DeleteOnClose);

    const qreal dpi = logical_dpi(this);
    resize(twips_to_px(client_width_twips, dpi), twips_to_px(client_height_twips, dpi));

    mingcheng = new QLineEdit(QStringLiteral("Text1"), this);
    mingcheng->setObjectName(QStringLiteral("mingcheng"));
    mingcheng->setFont(song_font(24));
    place(mingcheng, 960, 360, 3135, 615, dpi);

    Command_ok = new QPushButton(QStringLiteral("确 定"), this);
    Command_ok->setObjectName(QStringLiteral("Command_ok"));
    place(Command_ok, 1200, 1320, 975, 375, dpi);

    Command_cansel = new QPushButton(QStringLiteral("取 消"), this);
    Command_cansel->setObjectName(QStringLiteral("Command_cansel"));
    place(Command_cansel, 2640, 1320, 975, 375, dpi);

    for (QPushButton* button : {Command_ok, Command_cansel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(mingcheng, Command_ok);
    setTabOrder(Command_ok, Command_cansel);

    connect(Command_ok, &QPushButton::clicked, this, &NameForm::Command_ok_Click);
    connect(Command_cansel, &QPushButton::clicked, this, &NameForm::Command_cansel_Click);
}

void NameForm::Form_Load() {
    const auto address = to_int16(add);
    const auto channel = to_int16(xianlu);
    // Text that is no number keeps the design text, as do an address of 256
    // or more and a channel outside 1..16.
    if (!address || !channel || *address >= 256 || *channel > 16 || *channel <= 0) return;
    // The names of a board tarnwickd serves are its.
    const AttachedLine* attached = main_form_.attached();
    if (attached && attached->names().size() == 16 && add == main_form_.address_text()) {
        mingcheng->setText(attached->names()[*channel - 1]);
        return;
    }
    mingcheng->setText(
        QString::fromStdString(names_.channel_name(add.toStdString(), xianlu.toStdString())));
}

void NameForm::Command_ok_Click() {
    if (!to_int16(add) || !to_int16(xianlu)) {
        // A section named after such a text would be of no use to anybody.
        messages_.name_not_saved(
            QStringLiteral("模块地址“%1”不是整数，名称没有保存。请先输入 0 到 255 之间的地址。")
                .arg(add));
        return;
    }
    if (AttachedLine* attached = main_form_.attached()) {
        const auto refused = attached->rename(add, *to_int16(xianlu), mingcheng->text());
        if (refused) {
            messages_.name_not_saved(*refused + QStringLiteral("\n名称没有保存。"));
            return;
        }
        unload();  // the labels follow the service's names
        return;
    }
    using names::WriteError;
    const WriteError why = names_.set_channel_name(add.toStdString(), xianlu.toStdString(),
                                                   mingcheng->text().toStdString());
    if (why == WriteError::file_missing) return;  // the operator has just been told
    const std::string reason =
        names::refused_name_text(why, names_.path(), add.toStdString(), xianlu.toStdString());
    if (why != WriteError::none) {
        messages_.name_not_saved(QString::fromStdString(reason) +
                                 QStringLiteral("\n名称没有保存。"));
        return;
    }
    main_form_.add_Change();
    unload();
}

void NameForm::Command_cansel_Click() {
    unload();
}

void NameForm::unload() {
    close();
}

}  // namespace tarnwick::ui
