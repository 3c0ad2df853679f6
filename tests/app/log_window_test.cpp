// The log window: rows drawn in their kind colours, Copy, Close, and the
// "Show Log" button's caption colour.
#include "app/log_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <cstdlib>

#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

// How many pixels of a row are mostly of one colour.
struct Ink {
    int red = 0, green = 0, blue = 0, dark = 0;
};

Ink InkOfRow(const QImage& image, const QRect& row) {
    Ink ink;
    for (int y = row.top(); y <= row.bottom(); ++y)
        for (int x = row.left(); x <= row.right(); ++x) {
            QColor c = image.pixelColor(x, y);
            if (c.red() > 180 && c.green() < 90 && c.blue() < 90) ++ink.red;
            if (c.blue() > 180 && c.red() < 90 && c.green() < 90) ++ink.blue;
            if (c.green() > 90 && c.red() < 60 && c.blue() < 60) ++ink.green;
            if (c.red() < 90 && c.green() < 90 && c.blue() < 90) ++ink.dark;
        }
    return ink;
}

TEST(LogWindow, RowsAreDrawnInTheirKindColours) {
    ConversionLog log;
    log.Clear();
    log.Add("e\tImage file not found");
    log.Add("z\t3 Image File(s) Processed");
    log.Add("i\tProcessing - a.tif");
    log.Add("o\t   In path : /out/");
    log.Add("i\tabc\tx");  // the marker field makes any line red
    log.Add("");
    TfmLog window(log);
    EXPECT_EQ(window.windowTitle(), "File Conversion Log");
    EXPECT_EQ(window.size(), QSize(498, 338));
    EXPECT_LT(window.minimumWidth(), 498) << "the window can be resized";
    EXPECT_GT(window.maximumWidth(), 498);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* list = Control<QListWidget>(window, "cErrorList");
    ASSERT_EQ(list->count(), 6);
    list->doItemsLayout();
    const QImage image = list->viewport()->grab().toImage();
    if (const char* keep = std::getenv("TESSARY_KEEP_GRABS")) image.save(QString(keep) + "/log_rows.png");
    auto ink = [&](int row) { return InkOfRow(image, list->visualItemRect(list->item(row))); };
    EXPECT_GT(ink(0).red, 5);
    EXPECT_EQ(ink(0).blue, 0);
    EXPECT_GT(ink(1).green, 5);
    EXPECT_EQ(ink(1).red, 0);
    EXPECT_GT(ink(2).blue, 5);
    EXPECT_EQ(ink(2).red, 0);
    EXPECT_GT(ink(3).dark, 5);  // the window text colour
    EXPECT_EQ(ink(3).red + ink(3).blue + ink(3).green, 0);
    EXPECT_GT(ink(4).red, 5);
    EXPECT_EQ(ink(4).blue, 0);
    EXPECT_EQ(ink(5).red + ink(5).blue + ink(5).green + ink(5).dark, 0);
    // The indent of outcome lines is three spaces plus the 4-pixel margin;
    // the kind letter is never drawn.
    EXPECT_EQ(list->item(3)->text(), "   In path : /out/");
    EXPECT_EQ(LogLineColour("i\tabc\t\tdef", QPalette()), QColor(0, 0, 255));
}

TEST(LogWindow, CopyPutsEveryDisplayedLineWithCrLfOnTheClipboard) {
    ConversionLog log;
    log.Clear();
    log.Add("i\tProcessing - a.png");
    log.Add("o\t   Rpx2 image created : a.rpx2");
    log.Add("");
    log.Add("z\t1 Image File(s) Processed");
    TfmLog window(log);
    window.show();
    QApplication::clipboard()->clear();
    Control<QPushButton>(window, "bCopy")->click();
    EXPECT_EQ(QApplication::clipboard()->text(),
              "Processing - a.png\r\n   Rpx2 image created : a.rpx2\r\n\r\n1 Image File(s) Processed\r\n");

    // The window shows the log as it is when it opens; Close keeps the log.
    Control<QPushButton>(window, "bClose")->click();
    EXPECT_FALSE(window.isVisible());
    log.Add("x\tNo .map file found");
    window.show();
    EXPECT_EQ(Control<QListWidget>(window, "cErrorList")->count(), 5);
}

TEST(LogWindow, ShowLogButtonTurnsBackToBlackWhenTheLogIsRead) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.MarkLogButton();
    QPushButton* showLog = Control<QPushButton>(window, "bShowLog");
    EXPECT_EQ(showLog->palette().color(QPalette::ButtonText), QColor(Qt::red));
    showLog->click();
    EXPECT_EQ(w.services.logShown, 1);
    EXPECT_EQ(showLog->palette().color(QPalette::ButtonText), QColor(Qt::black));
}

// Long lines stay readable: the window grows with its list, and the list
// scrolls sideways to the end of a line. Return on a line naming a created
// file opens it, as a double-click does.
TEST(LogWindow, LongLinesAreReadableAndReturnOpensACreatedFile) {
    ConversionLog log;
    log.Clear();
    const std::string folder = "/maps/" + std::string(180, 'f') + "/";
    log.Add("i\tProcessing - a.tif");
    log.Add("o\t   Rpx2 image created : a.rpx2");
    log.Add("o\t   In path : " + folder);
    TfmLog window(log);
    QStringList opened;
    window.SetViewerOpener([&](const QString& path) { opened << path; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QListWidget* list = Control<QListWidget>(window, "cErrorList");
    EXPECT_GT(list->horizontalScrollBar()->maximum(), 0) << "a long line can be scrolled to";
    const int narrow = list->width();
    window.resize(900, 400);
    QTest::qWait(1);
    EXPECT_GT(list->width(), narrow + 300) << "the list grows with the window";
    EXPECT_GT(Control<QPushButton>(window, "bClose")->geometry().right(), 800) << "Close stays at the right";

    list->setFocus();
    list->setCurrentRow(0);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_TRUE(opened.isEmpty()) << "a Processing line names no file";
    list->setCurrentRow(1);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(opened, QStringList({QString::fromStdString(folder + "a.rpx2")}));
    EXPECT_TRUE(window.isVisible()) << "Return does not press a button of the window";
}

}  // namespace
}  // namespace tessary::app::testing
