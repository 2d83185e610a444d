#include "ui/find_form.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "engine/address_scan.h"
#include "wire/port_texts.h"

namespace tarnwick::ui {

FindForm::FindForm(link::LinkController& link, QLineEdit& address_entry, QWidget* parent)
    : QDialog(parent), link_(link), address_entry_(address_entry) {
    setObjectName(QStringLiteral("find_form"));
    setWindowTitle(QStringLiteral("查找模块"));
    setAttribute(Qt::WA_DeleteOnClose);

    status_ = new QLabel(this);
    status_->setWordWrap(true);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, link::AddressScan::address_count);
    progress_->setFormat(QStringLiteral("%v / %m"));
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setHeaderLabels({QStringLiteral("地址"), QStringLiteral("继电器")});
    list_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    start_ = new QPushButton(QStringLiteral("开始查找"), this);
    stop_ = new QPushButton(QStringLiteral("停止"), this);
    use_ = new QPushButton(QStringLiteral("使用此地址"), this);
    auto* close = new QPushButton(QStringLiteral("关闭"), this);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    buttons->addStretch(1);
    buttons->addWidget(use_);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status_);
    layout->addWidget(progress_);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);

    connect(start_, &QPushButton::clicked, this, &FindForm::start_clicked);
    connect(stop_, &QPushButton::clicked, this, &FindForm::stop_clicked);
    connect(use_, &QPushButton::clicked, this, &FindForm::use_clicked);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &FindForm::use_clicked);
    connect(list_, &QTreeWidget::currentItemChanged, this, &FindForm::show_state);
    connect(&link_, &link::LinkController::scan_progress, this, &FindForm::on_progress);
    connect(&link_, &link::LinkController::scan_found, this, &FindForm::on_found);
    connect(&link_, &link::LinkController::scan_ended, this, &FindForm::on_ended);
    connect(&link_, &link::LinkController::port_state_changed, this, &FindForm::show_state);

    resize(420, 360);
    start_clicked();
}

void FindForm::start_clicked() {
    if (link_.port_open() && !link_.scanning()) {
        list_->clear();
        ended_text_.clear();
        link_.start_scan();
    }
    show_state();
}

void FindForm::stop_clicked() {
    link_.cancel_scan();
}

void FindForm::use_clicked() {
    const QTreeWidgetItem* item = list_->currentItem();
    if (!item) return;
    address_entry_.setText(item->text(0));
}

void FindForm::done(int result) {
    // A scan nobody watches would leave the cells unknown for no visible reason.
    link_.cancel_scan();
    QDialog::done(result);
}

void FindForm::on_progress(int asked, int total) {
    progress_->setValue(asked);
    status_->setText(
        QStringLiteral("正在查找：已查询 %1 / %2 个地址（每 %3 ms 一个），找到 %4 个模块。")
            .arg(asked)
            .arg(total)
            .arg(link::LinkController::tick_ms)
            .arg(list_->topLevelItemCount()));
}

void FindForm::on_found(int address, int relays) {
    auto* item = new QTreeWidgetItem(list_);
    item->setText(0, QString::number(address));
    item->setText(1, link::relay_pattern_text(static_cast<std::uint16_t>(relays)));
    if (!list_->currentItem()) list_->setCurrentItem(item);
}

void FindForm::on_ended(bool complete) {
    const int found = list_->topLevelItemCount();
    if (complete) {
        progress_->setValue(link::AddressScan::address_count);
        ended_text_ =
            found > 0
                ? QStringLiteral("查找完成：找到 %1 个模块。选中一个后点“使用此地址”。").arg(found)
                : QStringLiteral("查找完成：0..255 都没有应答。请检查接线、电源和串口设备。");
    } else {
        ended_text_ = QStringLiteral("查找已停止（查询了 %1 个地址），找到 %2 个模块。")
                          .arg(progress_->value())
                          .arg(found);
    }
    show_state();
}

void FindForm::show_state() {
    const bool scanning = link_.scanning();
    start_->setEnabled(!scanning && link_.port_open());
    start_->setText(ended_text_.isEmpty() ? QStringLiteral("开始查找")
                                          : QStringLiteral("重新查找"));
    stop_->setEnabled(scanning);
    use_->setEnabled(list_->currentItem() != nullptr);
    if (scanning) return;  // the progress signal keeps the text
    if (!link_.port_open())
        status_->setText(ended_text_.isEmpty()
                             ? QStringLiteral("串口没有打开：请先打开串口，再点“开始查找”。")
                             : ended_text_ + QStringLiteral("\n串口已关闭。"));
    else if (!ended_text_.isEmpty())
        status_->setText(ended_text_);
}

}  // namespace tarnwick::ui
