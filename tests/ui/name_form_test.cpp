#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/fake_link.h"
#include "tests/support/recording_boxes.h"
#include "ui/main_form.h"
#include "ui/name_form.h"

namespace {

using namespace tarnwick;
using link::LinkController;

QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A started panel over a complete name file in a fresh directory.
class PanelTest : public ::testing::Test {
protected:
    PanelTest() {
        boxes.texts.clear();  // the first start's two messages
    }
    QString file() const { return dir.path() + "/name.txt"; }
    QString label(int n) const { return form.name_label(n)->text(); }
    void click_name(int n) { QTest::mouseClick(form.name_label(n), Qt::LeftButton); }
    ui::NameForm* dialog() const { return form.name_dialog(); }

    QTemporaryDir dir;
    test::FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{dir.path().toStdString(), boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};
};

TEST(FirstStart, MessagesComeBeforeTheWindowAndDefaultsShow) {
    QTemporaryDir dir;
    test::FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{dir.path().toStdString(), boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};
    boxes.watched = &form;
    const QString path = dir.path() + "/name.txt";
    ASSERT_EQ(boxes.texts.size(), 2);
    EXPECT_EQ(boxes.texts[0], "File Not Found: " + path + " not found.");
    EXPECT_EQ(boxes.texts[1], QStringLiteral("Tarnwick: 名称文件被创建。"));
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.windowTitle(), "Tarnwick");
    for (int n = 1; n <= 16; ++n)
        EXPECT_EQ(form.name_label(n)->text(), QStringLiteral("第%1路").arg(n));
    EXPECT_TRUE(QFile::exists(path));
}

// A read-only home or a full disk: one message before the window, the
// defaults on screen, and a name dialog that says its OK saved nothing.
TEST(FirstStart, ANameFileThatCannotBeCreatedIsReportedOnce) {
    QTemporaryDir dir;
    names::NameFileLocation where;
    where.path = (dir.path() + "/config/name.txt").toStdString();
    where.problem = "/home/op: Read-only file system";
    test::FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{where, boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].contains(dir.path() + "/config/name.txt"));
    EXPECT_TRUE(boxes.texts[0].contains("Read-only file system"));
    EXPECT_FALSE(boxes.texts[0].contains(QStringLiteral("名称文件被创建")));
    EXPECT_EQ(form.windowTitle(), "Tarnwick");
    form.address_entry()->setText("2");
    for (int n = 1; n <= 16; ++n)
        EXPECT_EQ(form.name_label(n)->text(), QStringLiteral("第%1路").arg(n));

    QTest::mouseClick(form.name_label(3), Qt::LeftButton);
    ASSERT_NE(form.name_dialog(), nullptr);
    EXPECT_EQ(form.name_dialog()->name_entry()->text(), QStringLiteral("第3路"));
    form.name_dialog()->name_entry()->setText(QStringLiteral("主阀"));
    QTest::mouseClick(form.name_dialog()->ok_button(), Qt::LeftButton);
    ASSERT_EQ(boxes.texts.size(), 2);
    EXPECT_TRUE(boxes.texts[1].startsWith("not saved: ")) << boxes.texts[1].toStdString();
    EXPECT_TRUE(form.name_dialog()->isVisible());
    EXPECT_EQ(form.name_dialog()->name_entry()->text(), QStringLiteral("主阀"));
    EXPECT_EQ(form.name_label(3)->text(), QStringLiteral("第3路"));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(where.path)));
}

TEST(FirstStart, AHandEditedTitleBecomesTheCaption) {
    QTemporaryDir dir;
    test::RecordingBoxes boxes;
    {
        names::NameFile names{dir.path().toStdString(), boxes};
        (void)names.load_title();
    }
    // Hand edit: 名称=Bench 3 (GBK bytes of 名称 are C3FB B3C6).
    QByteArray bytes = read_file(dir.path() + "/name.txt");
    bytes.replace(QByteArray("\xC3\xFB\xB3\xC6=Tarnwick"), QByteArray("\xC3\xFB\xB3\xC6=Bench 3"));
    QFile out(dir.path() + "/name.txt");
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(bytes);
    out.close();
    boxes.texts.clear();
    test::FakePort port;
    names::NameFile names{dir.path().toStdString(), boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};
    EXPECT_EQ(form.windowTitle(), "Bench 3");
    EXPECT_TRUE(boxes.texts.isEmpty());
}

// A name file saved as UTF-8 with a character GBK cannot hold (the names
// layer tests what is read and kept): one message at the start, and the
// dialog says why a rename is refused.
TEST(FirstStart, AUtf8FileThatCannotBeMadeGbkIsReportedAndRenamesAreRefused) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/name.txt";
    const QByteArray bytes = QStringLiteral("[地址码0]\r\n[地址码1]\r\n第1路名称=泵💧\r\n").toUtf8();
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size());
    out.close();
    test::FakePort port;
    test::RecordingBoxes boxes;
    names::NameFile names{dir.path().toStdString(), boxes};
    ui::MainForm form{port, boxes, names, LinkController::Ticks::manual};
    EXPECT_EQ(boxes.texts,
              QStringList{"not converted: " + path + QStringLiteral(" line 3: 第1路名称=泵💧")});
    EXPECT_EQ(form.name_label(1)->text(), QStringLiteral("泵?"));

    QTest::mouseClick(form.name_label(1), Qt::LeftButton);
    form.name_dialog()->name_entry()->setText(QStringLiteral("主阀"));
    QTest::mouseClick(form.name_dialog()->ok_button(), Qt::LeftButton);
    ASSERT_EQ(boxes.texts.size(), 2);
    EXPECT_TRUE(boxes.texts[1].startsWith("not saved: ") && boxes.texts[1].contains("UTF-8"))
        << boxes.texts[1].toStdString();
    EXPECT_TRUE(form.name_dialog()->isVisible());
    EXPECT_EQ(read_file(path), bytes);
}

TEST_F(PanelTest, SpinnerArrowsStepTheAddressAndItsNames) {
    ASSERT_EQ(names.set_channel_name("2", "4", "水泵"), names::WriteError::none);
    QScrollBar* spinner = form.address_spinner();
    spinner->triggerAction(QAbstractSlider::SliderSingleStepSub);  // the up arrow
    EXPECT_EQ(form.address_entry()->text(), "2");
    EXPECT_EQ(label(4), QStringLiteral("水泵"));
    spinner->triggerAction(QAbstractSlider::SliderSingleStepAdd);  // the down arrow
    EXPECT_EQ(form.address_entry()->text(), "1");
    EXPECT_EQ(label(4), QStringLiteral("第4路"));

    struct {
        const char* start;
        QAbstractSlider::SliderAction arrow;
        const char* after;
    } edges[] = {
        {"255", QAbstractSlider::SliderSingleStepSub, "255"},
        {"0", QAbstractSlider::SliderSingleStepAdd, "0"},
        {"254", QAbstractSlider::SliderSingleStepSub, "255"},
    };
    for (const auto& e : edges) {
        form.address_entry()->setText(e.start);
        spinner->triggerAction(e.arrow);
        EXPECT_EQ(form.address_entry()->text(), e.after) << e.start;
    }
}

TEST_F(PanelTest, TypedAddressSettlesAfterOneExchange) {
    // "05" moves the spinner from 1 to 5, whose change rewrites the text.
    form.address_entry()->setText("05");
    EXPECT_EQ(form.address_entry()->text(), "5");
    EXPECT_EQ(form.address_spinner()->number(), 5);
    EXPECT_EQ(label(1), QStringLiteral("第1路"));
    // With the spinner already at 5 the text stays "05" and is looked up as
    // it stands: there is no section 地址码05, so the labels go blank.
    form.address_entry()->setText("05");
    EXPECT_EQ(form.address_entry()->text(), "05");
    for (int n = 1; n <= 16; ++n) EXPECT_EQ(label(n), "") << n;
}

TEST_F(PanelTest, TextThatIsNoAddressLeavesSpinnerAndNames) {
    form.address_entry()->setText("9");
    for (const char* text : {"abc", "256", "-1", "", "9x"}) {
        form.address_entry()->setText(text);
        EXPECT_EQ(form.address_spinner()->number(), 9) << text;
        EXPECT_EQ(label(3), QStringLiteral("第3路")) << text;
    }
    form.port_entry()->setText("17");
    EXPECT_EQ(form.port_spinner()->number(), 17);
    form.port_entry()->setText("x");
    EXPECT_EQ(form.port_spinner()->number(), 17);
    EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(PanelTest, PortSpinnerStaysUsableWhileOpen) {
    form.link().open_comm_Click();
    ASSERT_FALSE(form.port_entry()->isEnabled());
    EXPECT_TRUE(form.port_spinner()->isEnabled());
    form.port_spinner()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(form.port_entry()->text(), "2");
    form.link().open_comm_Click();  // close
    form.link().open_comm_Click();  // the new number counts at the next open
    EXPECT_EQ(port.opened_devices, (QStringList{"/dev/ttyS0", "/dev/ttyS1"}));
}

TEST_F(PanelTest, NameLabelOpensTheDialogLoadedWithThatName) {
    form.address_entry()->setText("255");
    ASSERT_EQ(names.set_channel_name("255", "16", "冷却风扇"), names::WriteError::none);
    click_name(16);
    ASSERT_NE(dialog(), nullptr);
    EXPECT_TRUE(dialog()->isVisible());
    EXPECT_EQ(dialog()->add, "255");
    EXPECT_EQ(dialog()->xianlu, "16");
    EXPECT_EQ(dialog()->windowTitle(), QStringLiteral("更改名称"));
    EXPECT_EQ(dialog()->name_entry()->text(), QStringLiteral("冷却风扇"));
    EXPECT_EQ(dialog()->ok_button()->text(), QStringLiteral("确 定"));
    EXPECT_EQ(dialog()->cancel_button()->text(), QStringLiteral("取 消"));
}

TEST_F(PanelTest, OkStoresTheNameAndRefreshesEveryLabel) {
    click_name(3);
    dialog()->name_entry()->setText(QStringLiteral("主阀"));
    QPointer<ui::NameForm> open = dialog();
    QTest::mouseClick(dialog()->ok_button(), Qt::LeftButton);
    EXPECT_EQ(label(3), QStringLiteral("主阀"));
    EXPECT_EQ(QString::fromStdString(names.channel_name("1", "3")), QStringLiteral("主阀"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(open.isNull());  // unloaded
    EXPECT_TRUE(boxes.texts.isEmpty());
}

TEST_F(PanelTest, ASecondClickRetargetsWithoutReloading) {
    ASSERT_EQ(names.set_channel_name("1", "2", "进水"), names::WriteError::none);
    click_name(2);
    ui::NameForm* first = dialog();
    click_name(7);
    EXPECT_EQ(dialog(), first);
    EXPECT_EQ(dialog()->xianlu, "7");
    EXPECT_EQ(dialog()->name_entry()->text(), QStringLiteral("进水"));
    QTest::mouseClick(dialog()->ok_button(), Qt::LeftButton);
    EXPECT_EQ(label(7), QStringLiteral("进水"));
    EXPECT_EQ(label(2), QStringLiteral("进水"));
}

TEST_F(PanelTest, CancelWritesNothing) {
    const QByteArray before = read_file(file());
    click_name(5);
    dialog()->name_entry()->setText(QStringLiteral("不要"));
    QTest::mouseClick(dialog()->cancel_button(), Qt::LeftButton);
    EXPECT_EQ(read_file(file()), before);
    EXPECT_EQ(label(5), QStringLiteral("第5路"));
}

TEST_F(PanelTest, EnterAndEscapeDoNothingInTheDialog) {
    const QByteArray before = read_file(file());
    click_name(5);
    dialog()->name_entry()->setText(QStringLiteral("改"));
    for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QTest::keyClick(dialog()->name_entry(), static_cast<Qt::Key>(key));
        QTest::keyClick(dialog(), static_cast<Qt::Key>(key));
    }
    ASSERT_NE(dialog(), nullptr);
    EXPECT_TRUE(dialog()->isVisible());
    EXPECT_EQ(read_file(file()), before);
}

TEST_F(PanelTest, ANameThatCannotBeStoredKeepsTheDialogOpenAndSaysWhy) {
    struct Case {
        const char* what;
        QString name;
        bool read_only;
        const char* says;
    } cases[] = {
        {"line break", QStringLiteral("一\n二"), false, "换行"},
        {"no GBK for it", QStringLiteral("泵🙂"), false, "GBK"},
        {"read-only file", QStringLiteral("泵"), true, "只读"},
    };
    for (const auto& c : cases) {
        boxes.texts.clear();
        if (c.read_only) ::chmod(file().toLocal8Bit().constData(), 0444);
        const QByteArray before = read_file(file());
        click_name(6);
        dialog()->name_entry()->setText(c.name);
        QTest::mouseClick(dialog()->ok_button(), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ASSERT_NE(dialog(), nullptr) << c.what;
        EXPECT_TRUE(dialog()->isVisible()) << c.what;
        EXPECT_EQ(dialog()->name_entry()->text(), c.name) << c.what;
        ASSERT_EQ(boxes.texts.size(), 1) << c.what;
        EXPECT_TRUE(boxes.texts[0].contains(c.says)) << c.what << " " << boxes.texts[0].toStdString();
        EXPECT_EQ(read_file(file()), before) << c.what;
        EXPECT_EQ(label(6), QStringLiteral("第6路")) << c.what;
        QTest::mouseClick(dialog()->cancel_button(), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST_F(PanelTest, AnAddressThatIsNoNumberCreatesNoSection) {
    const QByteArray before = read_file(file());
    form.address_entry()->setText("1a");
    click_name(4);
    EXPECT_EQ(dialog()->name_entry()->text(), "Text1");  // Load kept the design text
    dialog()->name_entry()->setText(QStringLiteral("泵"));
    QTest::mouseClick(dialog()->ok_button(), Qt::LeftButton);
    EXPECT_EQ(read_file(file()), before);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].contains("1a"));
    EXPECT_TRUE(dialog()->isVisible());
}

TEST_F(PanelTest, AMissingFileIsReportedAndTheDialogStays) {
    click_name(8);
    ASSERT_TRUE(QFile::remove(file()));
    boxes.texts.clear();
    dialog()->name_entry()->setText(QStringLiteral("泵"));
    QTest::mouseClick(dialog()->ok_button(), Qt::LeftButton);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("File Not Found: "));
    EXPECT_FALSE(QFile::exists(file()));  // never created by a single write
    EXPECT_TRUE(dialog()->isVisible());
}

}  // namespace
