#include "ui/device_form.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "wire/port_map.h"
#include "wire/port_texts.h"

namespace tarnwick::ui {

namespace {

enum Column {
    path_column,
    by_id_column,
    description_column,
    maker_column,
    serial_column,
    usb_column,
    state_column
};

constexpr std::array bauds{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
// In the order of the parity box's items.
constexpr std::array parities{protocol::Parity::none, protocol::Parity::even,
                              protocol::Parity::odd};

}  // namespace

DeviceForm::DeviceForm(int port_number, link::PortChoices& choices,
                       const link::LinkController& link, QWidget* parent, QString by_id_directory)
    : QDialog(parent),
      port_number_(port_number),
      choices_(choices),
      link_(link),
      by_id_directory_(std::move(by_id_directory)) {
    setObjectName(QStringLiteral("device_form"));
    setWindowTitle(QStringLiteral("选择设备 — 串口 %1").arg(port_number));
    setAttribute(Qt::WA_DeleteOnClose);

    make_fields();
    auto* refresh_button = new QPushButton(QStringLiteral("刷新"), this);
    default_ = new QPushButton(QStringLiteral("恢复默认"), this);
    ok_ = new QPushButton(QStringLiteral("确定"), this);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    ok_->setDefault(true);
    lay_out(refresh_button, cancel);
    connect_controls(refresh_button, cancel);

    show_line(choices_.line(port_number_));
    refresh();
    resize(760, 400);
}

void DeviceForm::make_fields() {
    current_ = new QLabel(this);
    current_->setWordWrap(true);
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("设备"), QStringLiteral("稳定名称 (by-id)"),
                            QStringLiteral("描述"), QStringLiteral("制造商"),
                            QStringLiteral("序列号"), QStringLiteral("VID:PID"),
                            QStringLiteral("状态")});
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    path_ = new QLineEdit(this);
    path_->setPlaceholderText(QStringLiteral("从列表中选择，或输入设备路径，例如 /dev/ttyUSB0"));
    saved_as_ = new QLabel(this);
    refusal_ = new QLabel(this);
    refusal_->setWordWrap(true);
    refusal_->setStyleSheet(QStringLiteral("color: #c00000"));
    make_line_fields();
}

void DeviceForm::make_line_fields() {
    protocol_ = new QComboBox(this);
    protocol_->addItems({QStringLiteral("原生协议"), QStringLiteral("Modbus RTU")});
    baud_ = new QComboBox(this);
    for (const int baud : bauds) baud_->addItem(QString::number(baud), baud);
    parity_ = new QComboBox(this);
    parity_->addItems({QStringLiteral("无"), QStringLiteral("偶"), QStringLiteral("奇")});
    stop_bits_ = new QComboBox(this);
    stop_bits_->addItems({QStringLiteral("1"), QStringLiteral("2")});
}

QLayout* DeviceForm::line_row() {
    auto* row = new QHBoxLayout;
    const std::array<std::pair<const char*, QComboBox*>, 4> fields{{{"协议：", protocol_},
                                                                    {"波特率：", baud_},
                                                                    {"校验：", parity_},
                                                                    {"停止位：", stop_bits_}}};
    for (const auto& [label, box] : fields) {
        row->addWidget(new QLabel(QString::fromUtf8(label), this));
        row->addWidget(box);
    }
    row->addStretch(1);
    return row;
}

void DeviceForm::show_line(const protocol::LineSettings& line) {
    const bool modbus = line.protocol == protocol::Protocol::modbus;
    protocol_->setCurrentIndex(modbus ? 1 : 0);
    // A native line is 9600 8N1, whatever was chosen for Modbus before.
    const protocol::LineSettings shown = modbus ? line : protocol::LineSettings{};
    baud_->setCurrentIndex(baud_->findData(shown.baud));
    parity_->setCurrentIndex(static_cast<int>(
        std::find(parities.begin(), parities.end(), shown.parity) - parities.begin()));
    stop_bits_->setCurrentIndex(shown.stop_bits - 1);
    for (QComboBox* box : {baud_, parity_, stop_bits_}) box->setEnabled(modbus);
}

void DeviceForm::protocol_changed() {
    if (protocol_->currentIndex() == 0) return show_line({});
    for (QComboBox* box : {baud_, parity_, stop_bits_}) box->setEnabled(true);
}

protocol::LineSettings DeviceForm::chosen_line() const {
    if (protocol_->currentIndex() == 0) return {};
    return {.protocol = protocol::Protocol::modbus,
            .baud = baud_->currentData().toInt(),
            .parity = parities.at(static_cast<std::size_t>(parity_->currentIndex())),
            .stop_bits = stop_bits_->currentIndex() + 1};
}

void DeviceForm::lay_out(QPushButton* refresh_button, QPushButton* cancel) {
    auto* path_row = new QHBoxLayout;
    path_row->addWidget(new QLabel(QStringLiteral("设备路径："), this));
    path_row->addWidget(path_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(refresh_button);
    buttons->addWidget(default_);
    buttons->addStretch(1);
    buttons->addWidget(ok_);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(current_);
    layout->addWidget(list_, 1);
    layout->addLayout(path_row);
    layout->addLayout(line_row());
    layout->addWidget(saved_as_);
    layout->addWidget(refusal_);
    layout->addLayout(buttons);
}

void DeviceForm::connect_controls(QPushButton* refresh_button, QPushButton* cancel) {
    // Selection, not the current item: the list makes its first row current
    // when it takes the focus, which must not overwrite a typed path.
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const auto selected = list_->selectedItems();
        if (!selected.isEmpty()) path_->setText(selected.first()->text(path_column));
    });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &DeviceForm::ok_clicked);
    connect(path_, &QLineEdit::textChanged, this, &DeviceForm::show_saved_name);
    connect(protocol_, &QComboBox::currentIndexChanged, this, &DeviceForm::protocol_changed);
    connect(refresh_button, &QPushButton::clicked, this, &DeviceForm::refresh);
    connect(default_, &QPushButton::clicked, this, &DeviceForm::default_clicked);
    connect(ok_, &QPushButton::clicked, this, &DeviceForm::ok_clicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

void DeviceForm::refresh() {
    const link::PortDevice device = link::device_for_port(port_number_, &choices_);
    QString text = link::device_text(port_number_, device,
                                     link::inspect_device(device.path, by_id_directory_));
    if (device.source == link::PortSource::environment) {
        text += QStringLiteral("\n环境变量 TARNWICK_COM%1 已设置：它优先于这里保存的选择。")
                    .arg(port_number_);
    }
    text += QStringLiteral("\n线路：%1").arg(link::line_text(choices_.line(port_number_)));
    if (link_.port_open()) text += QStringLiteral("\n串口正打开着：新的选择在下次打开串口时生效。");
    current_->setText(text);

    list_->clear();
    for (const link::SerialDevice& d : link::list_serial_devices(by_id_directory_)) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(path_column, d.path);
        item->setText(by_id_column, d.by_id.section(u'/', -1));
        item->setToolTip(by_id_column, d.by_id);
        item->setText(description_column, d.description);
        item->setText(maker_column, d.manufacturer);
        item->setText(serial_column, d.serial_number);
        item->setText(usb_column, d.usb_id());
        item->setText(state_column, d.state_text());
    }
    if (list_->topLevelItemCount() == 0) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(path_column, QStringLiteral("（系统中没有找到串口设备）"));
        item->setFlags(Qt::NoItemFlags);
    }
    default_->setEnabled(choices_.device(port_number_).has_value());
    show_saved_name();
}

void DeviceForm::show_saved_name() {
    refusal_->clear();
    const QString path = path_->text().trimmed();
    if (path.isEmpty()) {
        saved_as_->clear();
        return;
    }
    const link::SerialDevice device = link::inspect_device(path, by_id_directory_);
    const QString name = link::name_to_save(device);
    saved_as_->setText(name == path ? QString() : QStringLiteral("将保存为稳定名称：%1").arg(name));
}

void DeviceForm::ok_clicked() {
    const link::SerialDevice device =
        link::inspect_device(path_->text().trimmed(), by_id_directory_);
    if (const auto refused = link::refusal(device)) {
        refusal_->setText(QStringLiteral("不能保存：%1").arg(*refused));
        return;
    }
    auto failed = choices_.save(port_number_, link::name_to_save(device));
    if (!failed) failed = choices_.save_line(port_number_, chosen_line());
    if (failed) {
        refusal_->setText(*failed);
        return;
    }
    accept();
}

void DeviceForm::default_clicked() {
    auto failed = choices_.remove(port_number_);
    if (!failed) failed = choices_.save_line(port_number_, {});
    if (failed) {
        refusal_->setText(*failed);
        return;
    }
    accept();
}

}  // namespace tarnwick::ui
