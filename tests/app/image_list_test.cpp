// The image list of the main window: filter, sorting, ticks.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>

#include "app/image_list_sort.h"
#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

QStringList Column(const TfmTessary& window, int column) {
    QStringList texts;
    const QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    for (int i = 0; i < list->topLevelItemCount(); ++i) texts << list->topLevelItem(i)->text(column);
    return texts;
}

QStringList SortedNames(const TfmTessary& window) {
    QStringList names = Column(window, kNameColumn);
    names.sort();
    return names;
}

void TypeFilter(TfmTessary& window, const QString& text) {
    QLineEdit* edit = Control<QComboBox>(window, "cFilter")->lineEdit();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

class ImageListTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"a.BMP", "b.tiff", "c.rpx2", "d.jpeg", "e.txt", "f.tif", "g.HDR"})
            WriteBytes(images.File(name), "not really an image");
        WriteBytes(program.File("tessary.ini"), "[System]\r\nSource Image Folder=" + images.Str() + "\r\n");
    }
    TempFolder program, images;
};

TEST_F(ImageListTest, FilterKeepsImageExtensionsOrExactlyTheChosenOne) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    EXPECT_EQ(SortedNames(window), QStringList({"a.BMP", "b.tiff", "c.rpx2", "d.jpeg", "f.tif", "g.HDR"}));

    QComboBox* filter = Control<QComboBox>(window, "cFilter");
    filter->setCurrentIndex(filter->findText("tif"));
    EXPECT_EQ(SortedNames(window), QStringList({"f.tif"}));  // b.tiff is not ".TIF"
    filter->setCurrentIndex(filter->findText("hdr"));
    EXPECT_EQ(SortedNames(window), QStringList({"g.HDR"}));

    // Typing refills on every change, in any case.
    TypeFilter(window, "TIF");
    EXPECT_EQ(filter->currentText(), "TIF");
    EXPECT_EQ(SortedNames(window), QStringList({"f.tif"}));
    TypeFilter(window, "all images");
    EXPECT_EQ(SortedNames(window), QStringList({"a.BMP", "b.tiff", "c.rpx2", "d.jpeg", "f.tif", "g.HDR"}));
    // The box takes at most ten characters.
    TypeFilter(window, "abcdefghijklmn");
    EXPECT_EQ(filter->currentText().size(), 10);
    EXPECT_TRUE(w.services.messages.isEmpty());
}

TEST_F(ImageListTest, BlankOrMissingFolderGivesAnEmptyListWithoutMessage) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    QLineEdit* folder = Control<QLineEdit>(window, "DirectoryEdit1");
    ASSERT_GT(list->topLevelItemCount(), 0);
    folder->setText((images.Path() / "missing").string().c_str());
    EXPECT_EQ(list->topLevelItemCount(), 0);
    folder->setText("   ");
    EXPECT_EQ(list->topLevelItemCount(), 0);
    // A trailing separator and surrounding spaces are accepted.
    folder->setText(QString::fromStdString("  " + images.Str() + "/ "));
    EXPECT_EQ(list->topLevelItemCount(), 6);  // d.jpeg is listed too
    EXPECT_TRUE(w.services.messages.isEmpty());
}

TEST(ImageListSort, DisplayedNumbers) {
    EXPECT_EQ(DisplayedNumber("1,234,567", ","), 1234567);
    EXPECT_EQ(DisplayedNumber("1.234.567", "."), 1234567);
    EXPECT_EQ(DisplayedNumber("Error Opening Image", ","), 0);
    EXPECT_EQ(DisplayedNumber("", ","), 0);
    EXPECT_EQ(DisplayedNumber(" 12,5 ", "."), 12.5);  // ',' is a decimal point once separators are gone
    EXPECT_LT(CompareColumnTexts(kNameColumn, "chart", "CHART2.tif", ","), 0);  // a prefix first
    EXPECT_EQ(CompareColumnTexts(kNameColumn, "chart.bmp", "CHART.tif", ","), 0);
    EXPECT_GT(CompareColumnTexts(kDiskSizeColumn, "10,000", "9,999", ","), 0);
}

class SortTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Disk size order small < mid < big; width order small < big < mid.
        WritePng(images.File("big.png"), 100, 100, true);
        WritePng(images.File("mid.png"), 300, 20, false);
        WritePng(images.File("small.png"), 10, 10, false);
        WriteBytes(images.File("broken.png"), "this is no PNG file at all");
        WriteBytes(program.File("tessary.ini"), "[System]\r\nSource Image Folder=" + images.Str() + "\r\n");
    }
    QStringList BySize(bool ascending) {
        std::vector<std::string> names = {"big.png", "mid.png", "small.png"};
        std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
            return ascending ? fs::file_size(images.File(a)) < fs::file_size(images.File(b))
                             : fs::file_size(images.File(a)) > fs::file_size(images.File(b));
        });
        QStringList out;
        for (const auto& n : names) out << QString::fromStdString(n);
        return out;
    }
    void ClickHeader(TfmTessary& window, int column) {
        QHeaderView* header = Control<QTreeWidget>(window, "ListView1")->header();
        int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
    }
    TempFolder program, images;
};

TEST_F(SortTest, RowsShowSizesAndAnUnreadableImageSaysSo) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    ASSERT_EQ(Column(window, kNameColumn), QStringList({"big.png", "broken.png", "mid.png", "small.png"}));
    QTreeWidgetItem* mid = Control<QTreeWidget>(window, "ListView1")->topLevelItem(2);
    EXPECT_EQ(mid->text(kTypeColumn), "png");
    EXPECT_EQ(mid->text(kWidthColumn), "300");
    EXPECT_EQ(mid->text(kHeightColumn), "20");
    EXPECT_EQ(mid->text(kMemSizeColumn).remove(QRegularExpression("[^0-9]")), "18000");
    QTreeWidgetItem* broken = Control<QTreeWidget>(window, "ListView1")->topLevelItem(1);
    EXPECT_EQ(broken->text(kDiskSizeColumn), "Error Opening Image");
    EXPECT_EQ(broken->checkState(0), Qt::Unchecked);
}

// Columns are never too narrow for what they show: "Error Opening Image"
// and the memory size of a large image (a BMP header of 10,000 x 10,800
// pixels, 324,000,000 bytes) are shown whole.
TEST_F(SortTest, ColumnsFitTheirLongestTexts) {
    std::string header(54, '\0');
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) header[at + size_t(i)] = char((value >> (8 * i)) & 0xFF);
    };
    header[0] = 'B';
    header[1] = 'M';
    put(2, 54, 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, 10000, 4);
    put(22, 10800, 4);
    put(26, 1, 2);
    put(28, 24, 2);
    WriteBytes(images.File("large.bmp"), header);
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    const QFontMetrics metrics(list->font());
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        for (int c = kDiskSizeColumn; c < kImageColumnCount; ++c) {
            const QString text = list->topLevelItem(i)->text(c);
            EXPECT_LT(metrics.horizontalAdvance(text), list->header()->sectionSize(c))
                << text.toStdString() << " in column " << c;
        }
    const QStringList memSizes = Column(window, kMemSizeColumn);
    EXPECT_TRUE(std::any_of(memSizes.begin(), memSizes.end(), [](const QString& text) {
        return QString(text).remove(QRegularExpression("[^0-9]")) == "324000000";
    })) << memSizes.join(" ").toStdString();
    // A column already wide enough keeps its width.
    EXPECT_EQ(list->header()->sectionSize(kNameColumn), 200);
}

TEST_F(SortTest, EachColumnRemembersItsDirection) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto withoutBroken = [&] {
        QStringList names = Column(window, kNameColumn);
        names.removeAll("broken.png");
        return names;
    };
    ClickHeader(window, kDiskSizeColumn);
    EXPECT_EQ(withoutBroken(), BySize(true));
    EXPECT_EQ(Column(window, kNameColumn).front(), "broken.png");  // its text counts as 0
    ClickHeader(window, kDiskSizeColumn);
    EXPECT_EQ(withoutBroken(), BySize(false));
    EXPECT_EQ(Column(window, kNameColumn).back(), "broken.png");
    ClickHeader(window, kWidthColumn);
    EXPECT_EQ(withoutBroken(), QStringList({"small.png", "big.png", "mid.png"}));
    // Back to Disk Size: its remembered direction, largest first.
    ClickHeader(window, kDiskSizeColumn);
    EXPECT_EQ(withoutBroken(), BySize(false));

    // After a refill Name is current, so the first click on it reverses.
    Control<QToolButton>(window, "bRefresh")->click();
    EXPECT_EQ(Column(window, kNameColumn), QStringList({"big.png", "broken.png", "mid.png", "small.png"}));
    ClickHeader(window, kNameColumn);
    EXPECT_EQ(Column(window, kNameColumn), QStringList({"small.png", "mid.png", "broken.png", "big.png"}));
    // A refill now keeps Name's descending direction.
    Control<QToolButton>(window, "bRefresh")->click();
    EXPECT_EQ(Column(window, kNameColumn), QStringList({"small.png", "mid.png", "broken.png", "big.png"}));
}

TEST_F(SortTest, TicksFollowTheSelection) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    auto clickRow = [&](int row, Qt::KeyboardModifiers modifiers) {
        QRect rect = list->visualItemRect(list->topLevelItem(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers,
                          QPoint(rect.center().x() + 40, rect.center().y()));
    };
    auto ticked = [&] {
        std::vector<int> rows;
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->checkState(0) == Qt::Checked) rows.push_back(i);
        return rows;
    };
    clickRow(0, {});
    clickRow(2, Qt::ControlModifier);
    clickRow(3, Qt::ControlModifier);
    EXPECT_EQ(list->selectedItems().size(), 3);
    EXPECT_EQ(ticked(), std::vector<int>({0, 2, 3}));
    // A plain click narrows the selection and the ticks with it.
    clickRow(1, {});
    EXPECT_EQ(ticked(), std::vector<int>({1}));
    clickRow(3, Qt::ShiftModifier);
    EXPECT_EQ(ticked(), std::vector<int>({1, 2, 3}));

    Control<QPushButton>(window, "bSelectAll")->click();
    EXPECT_EQ(ticked(), std::vector<int>({0, 1, 2, 3}));
    EXPECT_EQ(list->selectedItems().size(), 3);
    Control<QPushButton>(window, "bSelectNone")->click();
    EXPECT_TRUE(ticked().empty());

    // The job takes the rows in display order with their ticks.
    clickRow(2, {});
    ConversionJob job = window.BuildJob();
    ASSERT_EQ(job.entries.size(), 4u);
    EXPECT_EQ(job.entries[2].fileName, list->topLevelItem(2)->text(0).toStdString());
    EXPECT_TRUE(job.entries[2].ticked);
    EXPECT_FALSE(job.entries[0].ticked);
}

}  // namespace
}  // namespace tessary::app::testing
