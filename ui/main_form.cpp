#include "ui/main_form.h"

#include <QApplication>
#include <QScreen>

#include "protocol/number_text.h"
#include "ui/fonts.h"
#include "ui/twips.h"

namespace tarnwick::ui {

namespace {
constexpr int client_width_twips = 6720;
constexpr int client_height_twips = 7965;

// Cell n's box: relays 1..8 down the left column, 16..9 down the right.
QPoint cell_origin_twips(int n) {
    if (n <= 8) return {1440, 1560 + 720 * (n - 1)};
    return {3840, 1560 + 720 * (16 - n)};
}
}  // namespace

MainForm::MainForm(link::SerialPort& port, OperatorMessages& messages,
                   link::LinkController::Ticks ticks, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("main_form"));
    setWindowTitle(QStringLiteral("Tarnwick"));
    build_controls();
    link_ = std::make_unique<link::LinkController>(port, *this, messages, ticks);
    for (RelayCell* cell : Picture1)
        connect(cell, &RelayCell::clicked, this, [this](int n) { link_->Picture1_Click(n); });
    connect(open_comm, &QPushButton::clicked, this, [this] { link_->open_comm_Click(); });
    connect(openall, &QPushButton::clicked, this, [this] { link_->openall_Click(); });
    connect(closeall, &QPushButton::clicked, this, [this] { link_->closeall_Click(); });
    center_on_screen();
}

MainForm::~MainForm() = default;

void MainForm::build_controls() {
    const qreal dpi = logical_dpi(this);
    setFixedSize(twips_to_px(client_width_twips, dpi), twips_to_px(client_height_twips, dpi));

    const QFont label_font = song_font(15.75);
    const QFont entry_font = song_font(15);
    const QFont button_font = song_font(15.75);

    Label3 = new QLabel(QStringLiteral("串口号"), this);
    Label3->setFont(label_font);
    place(Label3, 120, 120, 1335, 375, dpi);

    chuankou_num = new QLineEdit(QStringLiteral("1"), this);
    chuankou_num->setObjectName(QStringLiteral("chuankou_num"));
    chuankou_num->setFont(entry_font);
    place(chuankou_num, 1680, 120, 615, 375, dpi);

    open_comm = new QPushButton(link::caption_open_port, this);
    open_comm->setObjectName(QStringLiteral("open_comm"));
    open_comm->setFont(button_font);
    place(open_comm, 3840, 120, 1455, 375, dpi);

    Label5 = new QLabel(QStringLiteral("模块地址"), this);
    Label5->setFont(label_font);
    place(Label5, 120, 840, 1335, 375, dpi);

    add = new QLineEdit(QStringLiteral("1"), this);
    add->setObjectName(QStringLiteral("add"));
    add->setFont(entry_font);
    place(add, 1680, 840, 690, 375, dpi);

    const QFont cell_font = song_font(15);
    for (int n = 1; n <= 16; ++n) {
        auto* cell = new RelayCell(n, this);
        const QPoint origin = cell_origin_twips(n);
        place(cell, origin.x(), origin.y(), 1335, 615, dpi);
        cell->label()->setFont(cell_font);
        // The status label sits at (0, 120) of the box's client area.
        const QRect client = cell->contentsRect();
        cell->label()->setGeometry(client.x(), client.y() + twips_to_px(120, dpi),
                                   twips_to_px(1215, dpi), twips_to_px(375, dpi));
        Picture1[static_cast<std::size_t>(n - 1)] = cell;
    }

    openall = new QPushButton(QStringLiteral("吸合所有"), this);
    openall->setObjectName(QStringLiteral("openall"));
    openall->setFont(button_font);
    place(openall, 1680, 7440, 1455, 375, dpi);

    closeall = new QPushButton(QStringLiteral("断开所有"), this);
    closeall->setObjectName(QStringLiteral("closeall"));
    closeall->setFont(button_font);
    place(closeall, 3600, 7440, 1455, 375, dpi);

    for (QPushButton* button : {open_comm, openall, closeall}) button->setAutoDefault(false);

    // Entries keep whatever is typed; text that is no number 0..255 is marked
    // and never reaches a frame or the port.
    connect(chuankou_num, &QLineEdit::textChanged, this, [this] {
        mark_entry(chuankou_num, QStringLiteral("串口号必须是 0 到 255 之间的整数，否则无法打开串口。"));
    });
    connect(add, &QLineEdit::textChanged, this, [this] {
        mark_entry(add, QStringLiteral("模块地址必须是 0 到 255 之间的整数；地址无效时不发送任何命令。"));
    });
}

void MainForm::mark_entry(QLineEdit* entry, const QString& explanation) {
    const bool valid = protocol::parse_entry(entry->text().toStdString()).has_value();
    QPalette pal = entry->palette();
    pal.setColor(QPalette::Base, valid ? QApplication::palette().color(QPalette::Base)
                                       : QColor(255, 200, 200));
    pal.setColor(QPalette::Text, Qt::black);
    entry->setPalette(pal);
    entry->setToolTip(valid ? QString() : explanation);
    entry->setProperty("invalid", !valid);
}

void MainForm::center_on_screen() {
    // Done here rather than left to a window manager, which may not be there.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

QSize MainForm::client_size() const { return size(); }

void MainForm::paint_cell(int n, link::Colour box, const QString& label) { cell(n)->paint(box, label); }

link::Colour MainForm::cell_colour(int n) const { return cell(n)->colour(); }

void MainForm::set_all_relay_buttons_enabled(bool enabled) {
    openall->setEnabled(enabled);
    closeall->setEnabled(enabled);
}

void MainForm::set_port_entry_enabled(bool enabled) { chuankou_num->setEnabled(enabled); }

void MainForm::set_port_button_caption(const QString& caption) { open_comm->setText(caption); }

QString MainForm::address_text() const { return add->text(); }

QString MainForm::port_text() const { return chuankou_num->text(); }

}  // namespace tarnwick::ui
