// The log window: rows drawn in their kind colours, Copy, Close, and the
// "Show Log" button's caption colour.
#include "app/log_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QListWidget>
#include <QPushButton>
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

}  // namespace
}  // namespace tessary::app::testing
