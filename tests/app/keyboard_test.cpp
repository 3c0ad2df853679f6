// The main window from the keyboard: the tab order, Return on buttons and
// on the list, the mnemonics, and opening any RPX2 file with Ctrl+O.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

// The names of the widgets that Tab visits from `first`, until it comes
// back round (or 60 steps).
QStringList TabChain(QWidget* first) {
    QStringList names;
    QWidget* widget = first;
    for (int i = 0; i < 60; ++i) {
        names << widget->objectName();
        widget = widget->nextInFocusChain();
        while (widget != first && !(widget->focusPolicy() & Qt::TabFocus && widget->isVisibleTo(first->window()) &&
                                    widget->isEnabled()))
            widget = widget->nextInFocusChain();
        if (widget == first) break;
    }
    return names;
}

TEST(Keyboard, TabFollowsTheLayoutAndSkipsTheDetails) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    const QStringList chain = TabChain(Control<QLineEdit>(window, "DirectoryEdit1"));
    const QStringList expected = {
        "DirectoryEdit1", "DirectoryEdit1Browse", "cDestFolder", "cDestFolderBrowse", "SpeedButton1",
        "cTempFolder",    "cTempFolderBrowse",    "cMapFolder",  "cMapFolderBrowse",  "BitBtn1",
        "bHelp",          "bAbort",               "bShowLog",    "bClose",            "cPath",
        "cCopy",          "cFinePalette",         "cInitialResize", "bInitialResize", "cNumColors",
        "bNumColors",     "bRefresh",             "cFilter",     "bViewRpx2",         "bSelectNone",
        "bSelectAll",     "ListView1"};
    // Spin boxes and the filter pass the focus on through their inner line
    // edits, which carry no names; those are left out.
    QStringList named;
    for (const QString& name : chain)
        if (!name.isEmpty() && !name.startsWith("qt_")) named << name;
    EXPECT_EQ(named, expected);
    EXPECT_EQ(Control<QListWidget>(window, "ListBox1")->focusPolicy(), Qt::NoFocus);
}

TEST(Keyboard, MainButtonsHaveMnemonicsThatShowTheCaptions) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    QStringList shortcuts;
    for (const char* name : {"BitBtn1", "bAbort", "bShowLog", "bClose", "bSelectNone", "bSelectAll"}) {
        QPushButton* button = Control<QPushButton>(window, name);
        QString caption = button->text();
        EXPECT_EQ(caption.count('&'), 1) << name;
        shortcuts << QKeySequence::mnemonic(caption).toString();
    }
    for (const char* name : {"cPath", "cCopy"}) shortcuts << QKeySequence::mnemonic(Control<QCheckBox>(window, name)->text()).toString();
    // Every mnemonic is a different key.
    QStringList unique = shortcuts;
    unique.removeDuplicates();
    EXPECT_EQ(unique.size(), shortcuts.size()) << shortcuts.join(" ").toStdString();
    // The captions read as they always have.
    EXPECT_EQ(Control<QPushButton>(window, "BitBtn1")->text().remove('&'), "Process Image Files to RPX2 Files");
    EXPECT_EQ(Control<QPushButton>(window, "bShowLog")->text().remove('&'), "Show Log");
    EXPECT_EQ(Control<QCheckBox>(window, "cCopy")->text().remove('&'), "Make a Copy of the Map File");

    // Alt + the letter presses the button.
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_L, Qt::AltModifier);
    // A mnemonic presses its button as a click drawn on the screen.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.services.logShown == 1; }, 2000));
}

TEST(Keyboard, ReturnPressesTheFocusedButtonAndOpensAnRpx2Row) {
    TempFolder program, maps;
    WritePng(maps.File("a.png"), 320, 320, false);
    WriteBytes(maps.File("b.rpx2"), "not read here");
    WriteBytes(program.File("tessary.ini"), "[System]\r\nSource Image Folder=" + maps.Str() + "\r\n");
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

    // Return on "All" and on "None", as Space would.
    QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    QPushButton* all = Control<QPushButton>(window, "bSelectAll");
    all->setFocus();
    QTest::keyClick(all, Qt::Key_Return);
    QTest::qWait(250);  // the button's animated press
    EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Checked);
    EXPECT_EQ(list->topLevelItem(1)->checkState(0), Qt::Checked);
    QPushButton* none = Control<QPushButton>(window, "bSelectNone");
    none->setFocus();
    QTest::keyClick(none, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::qWait(250);
    EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Unchecked);

    // The list shows where its focus is: a current row without a selection.
    list->setFocus();
    ASSERT_NE(list->currentItem(), nullptr);
    EXPECT_TRUE(list->selectedItems().isEmpty());
    // Return on the .png row does nothing; on the .rpx2 row it opens the
    // viewer.
    list->setCurrentItem(list->topLevelItem(0));
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(w.services.viewedFiles.isEmpty());
    list->setCurrentItem(list->topLevelItem(1));
    QTest::keyClick(list, Qt::Key_Return);
    ASSERT_EQ(w.services.viewedFiles.size(), 1);
    EXPECT_EQ(fs::path(w.services.viewedFiles[0].toStdString()), maps.Path() / "b.rpx2");
}

// Any RPX2 file opens in the viewer from the main window, wherever the
// source folder points: the button or Ctrl+O, through the file picker.
TEST(Keyboard, CtrlOOpensAnyRpx2FileInTheViewer) {
    TempFolder program, elsewhere;
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const QString file = QString::fromStdString(elsewhere.File("far.rpx2"));
    w.services.pickedRpx2 = {file};
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(w.services.viewedFiles, QStringList({file}));
    // Cancelled: nothing opens.
    Control<QToolButton>(window, "bViewRpx2")->click();
    EXPECT_EQ(w.services.viewedFiles.size(), 1);
}

}  // namespace
}  // namespace tessary::app::testing
