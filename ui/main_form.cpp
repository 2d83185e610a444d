#include "ui/main_form.h"

#include <QApplication>
#include <QScreen>

#include "config/config.h"
#include "protocol/number_text.h"
#include "ui/app_icon.h"
#include "ui/fonts.h"
#include "ui/link_aids.h"
#include "ui/name_form.h"
#include "ui/twips.h"
#include "wire/port_map.h"

namespace tarnwick::ui {

namespace {
constexpr int client_width_twips = 6720;
constexpr int client_height_twips = 7965;

// Relays 1..8 run down the left column, 16..9 down the right, so 1 and 16
// share the top row; each name label sits 120 twips lower than its box.
QPoint cell_origin_twips(int n) {
    if (n <= 8) return {1440, 1560 + 720 * (n - 1)};
    return {3840, 1560 + 720 * (16 - n)};
}
QPoint name_origin_twips(int n) {
    if (n <= 8) return {120, 1680 + 720 * (n - 1)};
    return {5280, 1680 + 720 * (16 - n)};
}

const QString design_names[16] = {
    QStringLiteral("第一路"),   QStringLiteral("第二路"),   QStringLiteral("第三路"),
    QStringLiteral("第四路"),   QStringLiteral("第五路"),   QStringLiteral("第六路"),
    QStringLiteral("第七路"),   QStringLiteral("第八路"),   QStringLiteral("第九路"),
    QStringLiteral("第十路"),   QStringLiteral("第十一路"), QStringLiteral("第十二路"),
    QStringLiteral("第十三路"), QStringLiteral("第十四路"), QStringLiteral("第十五路"),
    QStringLiteral("第十六路"),
};

// A control of the window, named, in its font, at Left, Top, Width, Height in twips.
template <typename Control>
Control* placed(Control* control, const char* name, QRect twips, const QFont& font, qreal dpi) {
    control->setObjectName(QString::fromLatin1(name));
    control->setFont(font);
    place(control, twips.x(), twips.y(), twips.width(), twips.height(), dpi);
    return control;
}

void set_black_text(QWidget* widget) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    pal.setColor(QPalette::Text, Qt::black);
    widget->setPalette(pal);
}
}  // namespace

Spinner::Spinner(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {
    setRange(-protocol::entry_max, -protocol::entry_min);
    setSingleStep(1);
    setPageStep(1);
    setValue(-1);
    connect(this, &QScrollBar::valueChanged, this,
            [this](int value) { emit number_changed(-value); });
}

MainForm::MainForm(link::SerialPort& port, OperatorMessages& messages, names::NameFile& names,
                   link::LinkController::Ticks ticks, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      messages_(messages),
      names_(names) {
    setObjectName(QStringLiteral("main_form"));
    setWindowTitle(QStringLiteral("Tarnwick"));
    setWindowIcon(app_icon());
    build_controls();
    link_ = std::make_unique<link::LinkController>(port, *this, messages, ticks);
    for (RelayCell* cell : Picture1)
        connect(cell, &RelayCell::clicked, this, &MainForm::cell_Click);
    connect(open_comm, &QPushButton::clicked, this, &MainForm::open_comm_Click);
    connect(openall, &QPushButton::clicked, this, [this] { all_Click(true); });
    connect(closeall, &QPushButton::clicked, this, [this] { all_Click(false); });
    // The service's interlocks hold for a line the panel drives itself: read
    // for the device at every open, a reconnect's too.
    connect(link_.get(), &link::LinkController::port_state_changed, this, [this](bool open) {
        if (open)
            link_->use_board_rules(config::rules_for_device(link_->open_device().toStdString()));
    });
    aids_ = new LinkAids(*this);
    Form_Initialize();
    center_on_screen();
}

MainForm::~MainForm() {
    if (name_form_) delete name_form_.data();
}

void MainForm::use_port_choices(link::PortChoices& choices) {
    choices_ = &choices;
    link_->use_port_choices(&choices);
    aids_->use_port_choices(&choices);
}

void MainForm::closeEvent(QCloseEvent* event) {
    link_->shutdown();  // no reconnect, no scan after the window is gone
    attached_.reset();
    QWidget::closeEvent(event);
}

void MainForm::Form_Initialize() {
    setWindowTitle(QString::fromStdString(names_.load_title()));
    show_names();
}

void MainForm::open_comm_Click() {
    if (attached_) return detach();
    if (link_->port_open() || direct_ || !attach_to_service()) link_->open_comm_Click();
}

// A tarnwickd that holds the device the port number names keeps it; the
// window then shows its line. No service within the wait costs only that.
bool MainForm::attach_to_service() {
    const auto number = protocol::parse_entry(chuankou_num->text().toStdString());
    if (!number) return false;
    const link::PortDevice device = link::device_for_port(*number, choices_);
    if (device.path.isEmpty()) return false;
    QDBusConnection bus = attach::service_bus();
    std::optional<attach::HeldLine> line =
        attach::find_holder(bus, device.path, attach::find_wait_ms());
    if (!line) return false;
    attached_ =
        std::make_unique<AttachedLine>(bus, std::move(*line), device.path, *this, messages_);
    connect(attached_.get(), &AttachedLine::names_changed, this, &MainForm::show_names);
    // The window's own line rests: no ticks, no reconnect of an earlier loss.
    link_->stop_ticks();
    link_->shutdown();
    set_all_relay_buttons_enabled(true);
    set_port_entry_enabled(false);
    set_port_button_caption(link::caption_close_port);
    attached_->show_board(add->text());
    return true;
}

// The service keeps its line; the window lets go of it.
void MainForm::detach() {
    attached_.reset();
    for (int n = 1; n <= 16; ++n) paint_cell(n, link::RelayState::port_closed);
    set_all_relay_buttons_enabled(false);
    set_port_entry_enabled(true);
    set_port_button_caption(link::caption_open_port);
    show_names();
}

void MainForm::cell_Click(int n) {
    if (attached_)
        attached_->click(n);
    else
        link_->Picture1_Click(n);
}

void MainForm::all_Click(bool on) {
    if (attached_)
        attached_->switch_all(on);
    else if (on)
        link_->openall_Click();
    else
        link_->closeall_Click();
}

// The service's names while attached to a board of its line, else the file's.
void MainForm::show_names() {
    const QStringList served = attached_ ? attached_->names() : QStringList{};
    const auto names = names_.load_names(add->text().toStdString());
    for (int n = 1; n <= 16; ++n)
        name_label(n)->set_name(
            served.size() == 16 ? served[n - 1]
                                : QString::fromStdString(names[static_cast<std::size_t>(n - 1)]));
}

void MainForm::build_controls() {
    const qreal dpi = logical_dpi(this);
    setFixedSize(twips_to_px(client_width_twips, dpi), twips_to_px(client_height_twips, dpi));
    build_entries(dpi);
    build_cells(dpi);

    const QFont button_font = song_font(15.75);
    openall = placed(new QPushButton(QStringLiteral("吸合所有"), this), "openall",
                     {1680, 7440, 1455, 375}, button_font, dpi);
    closeall = placed(new QPushButton(QStringLiteral("断开所有"), this), "closeall",
                      {3600, 7440, 1455, 375}, button_font, dpi);

    for (QPushButton* button : {open_comm, openall, closeall}) button->setAutoDefault(false);
    // Each spinner overlaps the right edge of its entry and stays on top of it.
    VScroll1->raise();
    VScroll2->raise();
    set_focus_order();
    connect_entries();
}

// The port and address rows: label, entry, spinner (and the port button).
void MainForm::build_entries(qreal dpi) {
    const QFont label_font = song_font(15.75);
    const QFont entry_font = song_font(15);
    const QFont button_font = song_font(15.75);
    Label3 = placed(new QLabel(QStringLiteral("串口号"), this), "Label3", {120, 120, 1335, 375},
                    label_font, dpi);
    chuankou_num = placed(new QLineEdit(QStringLiteral("1"), this), "chuankou_num",
                          {1680, 120, 615, 375}, entry_font, dpi);
    VScroll2 = placed(new Spinner(this), "VScroll2", {2280, 120, 375, 375}, font(), dpi);
    open_comm = placed(new QPushButton(link::caption_open_port, this), "open_comm",
                       {3840, 120, 1455, 375}, button_font, dpi);
    Label5 = placed(new QLabel(QStringLiteral("模块地址"), this), "Label5", {120, 840, 1335, 375},
                    label_font, dpi);
    add = placed(new QLineEdit(QStringLiteral("1"), this), "add", {1680, 840, 690, 375}, entry_font,
                 dpi);
    VScroll1 = placed(new Spinner(this), "VScroll1", {2310, 840, 375, 375}, font(), dpi);
    for (QWidget* black : std::initializer_list<QWidget*>{Label3, Label5, chuankou_num, add})
        set_black_text(black);
    for (QLabel* label : {Label3, Label5}) label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void MainForm::build_cells(qreal dpi) {
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

        auto* name = new NameLabel(design_names[n - 1], this);
        name->setObjectName(QStringLiteral("Label4_%1").arg(n));
        name->setFont(cell_font);
        name->setAutoFillBackground(false);
        const QPoint name_origin = name_origin_twips(n);
        place(name, name_origin.x(), name_origin.y(), 1335, 615, dpi);
        name->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        connect(name, &ClickLabel::clicked, this, [this, n] { Label4_Click(n); });
        Label4[static_cast<std::size_t>(n - 1)] = name;
    }
}

// Focus order: port entry, port button, address entry, the all-relay
// buttons, address spinner, port spinner, then the cells in relay order.
void MainForm::set_focus_order() {
    for (QScrollBar* spinner :
         {static_cast<QScrollBar*>(VScroll1), static_cast<QScrollBar*>(VScroll2)})
        spinner->setFocusPolicy(Qt::TabFocus);
    QList<QWidget*> order{chuankou_num, open_comm, add, openall, closeall, VScroll1, VScroll2};
    for (RelayCell* cell : Picture1) order << cell;
    for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void MainForm::connect_entries() {
    connect(chuankou_num, &QLineEdit::textChanged, this, [this] {
        mark_entry(chuankou_num,
                   QStringLiteral("串口号必须是 0 到 255 之间的整数，否则无法打开串口。"));
        chuankou_num_Change();
    });
    connect(add, &QLineEdit::textChanged, this, [this] {
        mark_entry(
            add, QStringLiteral("模块地址必须是 0 到 255 之间的整数；地址无效时不发送任何命令。"));
        add_Change();
    });
    connect(VScroll1, &Spinner::number_changed, this, &MainForm::VScroll1_Change);
    connect(VScroll2, &Spinner::number_changed, this, &MainForm::VScroll2_Change);
}

// Entries keep whatever is typed; text that is no number 0..255 is marked
// and never reaches a frame, a spinner or the port.
void MainForm::mark_entry(QLineEdit* entry, const QString& explanation) {
    const bool valid = protocol::parse_entry(entry->text().toStdString()).has_value();
    if (entry->property("invalid").toBool() == !valid && entry->property("invalid").isValid())
        return;
    QPalette pal = entry->palette();
    pal.setColor(QPalette::Base,
                 valid ? QApplication::palette().color(QPalette::Base) : QColor(255, 200, 200));
    entry->setPalette(pal);
    entry->setToolTip(valid ? QString() : explanation);
    entry->setProperty("invalid", !valid);
}

void MainForm::add_Change() {
    const auto number = protocol::parse_entry(add->text().toStdString());
    if (!number) return;
    // Setting the value it already has raises no change, so the pair settles
    // after one exchange; "05" becomes "5" unless the spinner already stood at 5.
    VScroll1->set_number(*number);
    if (attached_)
        attached_->show_board(add->text());  // shows its names too
    else
        show_names();
}

void MainForm::VScroll1_Change() {
    add->setText(QString::number(VScroll1->number()));
}

void MainForm::chuankou_num_Change() {
    if (const auto number = protocol::parse_entry(chuankou_num->text().toStdString()))
        VScroll2->set_number(*number);
    link_->port_text_changed();
}

void MainForm::VScroll2_Change() {
    chuankou_num->setText(QString::number(VScroll2->number()));
}

void MainForm::Label4_Click(int n) {
    const bool loading = !name_form_;
    if (loading) name_form_ = new NameForm(*this, names_, messages_);
    name_form_->add = add->text();
    name_form_->xianlu = QString::number(n);
    if (loading) name_form_->Form_Load();
    name_form_->show();
    name_form_->raise();
    name_form_->activateWindow();
}

void MainForm::center_on_screen() {
    // Done here rather than left to a window manager, which may not be there.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

QSize MainForm::client_size() const {
    return size();
}

NameForm* MainForm::name_dialog() const {
    return name_form_.data();
}

void MainForm::paint_cell(int n, link::RelayState state) {
    const CellLook look = cell_look(state);
    cell(n)->paint(look.colour, look.text);
}

link::RelayState MainForm::cell_state(int n) const {
    return state_of(cell(n)->colour());
}

Colour MainForm::cell_colour(int n) const {
    return cell(n)->colour();
}

void MainForm::set_all_relay_buttons_enabled(bool enabled) {
    openall->setEnabled(enabled);
    closeall->setEnabled(enabled);
}

void MainForm::set_port_entry_enabled(bool enabled) {
    chuankou_num->setEnabled(enabled);
}

void MainForm::set_port_button_caption(const QString& caption) {
    open_comm->setText(caption);
}

QString MainForm::address_text() const {
    return add->text();
}

QString MainForm::port_text() const {
    return chuankou_num->text();
}

}  // namespace tarnwick::ui
