// The window's loose ends: placement on the screen, the spin boxes during a
// run, settings files with a byte-order mark or in a folder where no
// temporary file can be made, files and folders dropped on the window, and
// what the help page says Abort does.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QMimeData>
#include <QScreen>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <QUrl>
#include <map>

#include "app/ini_file.h"
#include "app/splash.h"
#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

::testing::AssertionResult CentredOnScreen(QWidget& window) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint offset = window.frameGeometry().center() - area.center();
    if (std::abs(offset.x()) <= 1 && std::abs(offset.y()) <= 1) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the window's centre is " << offset.x() << ", " << offset.y()
                                         << " away from the screen's";
}

TEST(WindowPlacement, MainWindowAndSplashAreCentredOnTheScreen) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    w.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.window.get()));
    EXPECT_TRUE(CentredOnScreen(*w.window));
    TSplashForm splash;
    splash.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&splash));
    EXPECT_TRUE(CentredOnScreen(splash));
}

// The colour that fills most of a spin box.
QRgb Fill(const QImage& image) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) ++counts[image.pixel(x, y)];
    return std::max_element(counts.begin(), counts.end(),
                            [](const auto& a, const auto& b) { return a.second < b.second; })
        ->first;
}

// The darkest pixel inside a spin box's text area.
int DarkestInside(QSpinBox* box) {
    const QImage image = box->grab().toImage();
    int darkest = 255;
    for (int y = 4; y < image.height() - 4; ++y)
        for (int x = 4; x < image.width() / 2; ++x) darkest = std::min(darkest, qGray(image.pixel(x, y)));
    return darkest;
}

TEST(WindowRun, SpinBoxesKeepTheirColoursButLookDisabledDuringARun) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    for (const char* name : {"cInitialResize", "cNumColors"}) {
        QSpinBox* box = Control<QSpinBox>(window, name);
        SCOPED_TRACE(box->objectName().toStdString());
        const QImage enabledImage = box->grab().toImage();
        const QRgb enabledFill = Fill(enabledImage);
        const int enabledText = DarkestInside(box);
        window.SetBusy(true);
        const QImage disabledImage = box->grab().toImage();
        const QRgb disabledFill = Fill(disabledImage);
        const int disabledText = DarkestInside(box);
        window.SetBusy(false);
        // The same hue, washed out; the digits grey instead of black.
        EXPECT_EQ(qBlue(enabledFill), 0);
        EXPECT_GT(qBlue(disabledFill), 100);
        EXPECT_EQ(qGreen(enabledFill), 255);
        EXPECT_GT(qGreen(disabledFill), qBlue(disabledFill));
        EXPECT_LT(enabledText, 60);
        EXPECT_GT(disabledText, 100);
        EXPECT_EQ(box->grab().toImage(), enabledImage) << "enabled again after the run";
    }
}

TEST(Settings, AFileBeginningWithAByteOrderMarkIsReadAndKept) {
    TempFolder program;
    const std::string bom = "\xEF\xBB\xBF";
    WriteBytes(program.File("tessary.ini"), bom + "[System]\r\nReSize=50\r\nDo ReColor=1\r\n");
    {
        WindowUnderTest w(program.Str());
        EXPECT_EQ(Control<QSpinBox>(*w.window, "cInitialResize")->value(), 50);
        EXPECT_TRUE(Control<QCheckBox>(*w.window, "bNumColors")->isChecked());
    }
    const std::string saved = ReadBytes(program.File("tessary.ini"));
    EXPECT_EQ(saved.rfind(bom + "[System]\r\n", 0), 0u) << saved;
    size_t sections = 0;
    for (size_t at = saved.find("[System]"); at != std::string::npos; at = saved.find("[System]", at + 1))
        ++sections;
    EXPECT_EQ(sections, 1u) << saved;
    EXPECT_NE(saved.find("ReSize=50\r\n"), std::string::npos);
    EXPECT_EQ(saved.find("ReSize", saved.find("ReSize") + 1), std::string::npos) << saved;
}

TEST(Settings, SavedInPlaceWhereNoTemporaryFileCanBeMadeBesideThem) {
    TempFolder program;
    const std::string path = program.File("tessary.ini");
    WriteBytes(path, "[System]\r\nReSize=50\r\n");
    // The temporary file's name is taken by a folder: as in a folder that
    // cannot be written, holding a settings file that can.
    fs::create_directory(path + ".new");
    ASSERT_TRUE(WriteIniString(path, "System", "Number Colors", "99"));
    EXPECT_EQ(ReadBytes(path), "[System]\r\nReSize=50\r\nNumber Colors=99\r\n");
    {
        WindowUnderTest w(program.Str());
        Control<QLineEdit>(*w.window, "cTempFolder")->setText("/some/where");
        EXPECT_FALSE(w.window->SettingsFile().LastWriteFailed());
        Control<QSpinBox>(*w.window, "cInitialResize")->setValue(70);
    }
    EXPECT_EQ(ReadIniString(path, "System", "Temp Folder", ""), "/some/where");
    EXPECT_EQ(ReadIniString(path, "System", "ReSize", ""), "70");
    EXPECT_TRUE(fs::is_directory(path + ".new"));
}

TEST(WindowDrop, AFolderBecomesTheSourceAndAFileSelectsItsRow) {
    TempFolder program, images, other;
    WritePng(images.File("a.png"), 320, 310, false);
    WritePng(images.File("b.png"), 330, 310, false);
    WritePng(other.File("c.png"), 340, 310, false);
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;

    auto drop = [&](const std::string& path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        EXPECT_TRUE(enter.isAccepted());
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &dropped);
    };
    drop(other.Str());
    const QLineEdit* sourceFolder = Control<QLineEdit>(window, "DirectoryEdit1");
    const QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    EXPECT_EQ(sourceFolder->text().toStdString(), other.Str());
    EXPECT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(ReadIniString(program.File("tessary.ini"), "System", "Source Image Folder", ""), other.Str());

    drop(images.File("b.png"));
    EXPECT_EQ(sourceFolder->text().toStdString(), images.Str());
    ASSERT_EQ(list->topLevelItemCount(), 2);
    const QList<QTreeWidgetItem*> selected = list->selectedItems();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0]->text(0), "b.png");
    EXPECT_EQ(selected[0]->checkState(0), Qt::Checked);
    EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Unchecked);

    // Dropping the other file of the same folder moves the selection.
    drop(images.File("a.png"));
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems()[0]->text(0), "a.png");
}

TEST(Help, ThePageSaysAbortAbandonsTheImageAtWork) {
    const QString page = QString(TESSARY_EXAMPLES) + "/../docs/help/introduction.html";
    QFile file(page);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << page.toStdString();
    const QString text = QString::fromUtf8(file.readAll()).simplified();
    EXPECT_FALSE(text.contains("after the image at work"));
    EXPECT_TRUE(text.contains("abandons the image at work at once")) << "the run's Abort sentence";
}

}  // namespace
}  // namespace tessary::app::testing
