// The viewer's error overlay: turned on for a converted image, it shows each
// level's error as tessary-cli compare measures it (figures and heatmap), off
// again the pixels; a source that moved is asked for, and one that cannot be
// used is refused with its reason.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QProcess>
#include <QTest>
#include <QTreeWidget>
#include <deque>

#include "app/rpx2_viewer.h"
#include "app_test_support.h"
#include "controls.h"
#include "raster/colour_difference.h"
#include "rpx/rpx_reader.h"
#include "support/compare_rows.h"
#include "support/image_writers.h"
#include "viewer_test_support.h"

namespace tessary::app::testing {
namespace {

// Runs tessary-cli with these arguments; its standard output, or a failure.
std::string RunCli(const QStringList& arguments) {
    QProcess process;
    process.start(QString(TESSARY_BIN_DIR) + "/tessary-cli", arguments);
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        ADD_FAILURE() << "tessary-cli " << arguments.join(' ').toStdString() << ": "
                      << process.readAllStandardError().toStdString();
        return {};
    }
    return process.readAllStandardOutput().toStdString();
}

// Shaded slopes with fine grain and a few thin roads: far more colours than
// a palette holds, so that every level has an error to show.
std::array<uint8_t, 3> ScanLike(int x, int y) {
    if ((x + 2 * y) % 97 < 2) return {30, 30, 200};  // blue, green, red: a red road
    const int grain = ((x * 7919 + y * 104729) >> 3) % 9;
    return {uint8_t(90 + (x * 120) / 330 + grain), uint8_t(150 + (y * 80) / 250 - grain),
            uint8_t(200 - ((x + y) * 60) / 580 + grain)};
}

struct Converted {
    TempFolder folder;
    std::string source, output;
    std::vector<test::CompareRow> compared;
};

std::unique_ptr<Converted> ConvertScanLike() {
    auto c = std::make_unique<Converted>();
    c->source = c->folder.File("scan.tif");
    test::WriteTiff(c->source, test::DrawnImage(330, 250, ScanLike));
    const QString dest = QString::fromStdString(c->folder.File("out"));
    RunCli({"convert", "--no-map-copy", "--dest", dest, QString::fromStdString(c->source)});
    c->output = c->folder.File("out/scan.rpx2");
    c->compared = test::CompareRows(RunCli({"compare", QString::fromStdString(c->source), QString::fromStdString(c->output)}));
    return c;
}

bool WaitForError(Rpx2View& view, int level) {
    return QTest::qWaitFor([&] { return view.ErrorShown() && view.ErrorShown()->level == level; }, 60000);
}

QAction* ErrorToggle(TfmViewer& viewer) {
    return viewer.findChild<QAction*>("actionShowError");
}

TEST(ErrorOverlay, ShowsEachLevelsErrorAsCompareMeasuresItAndOffShowsThePixels) {
    const auto c = ConvertScanLike();
    const Rpx2Summary summary = ReadRpx2Summary(c->output);
    ASSERT_EQ(c->compared.size(), summary.levels.size());
    ASSERT_GT(c->compared[0].largest, 0.0) << "level 0 has no error to show";

    TfmViewer viewer(QString::fromStdString(c->output));
    // The record names the source and it is unchanged: nobody is asked.
    viewer.SetSourcePicker([](QWidget*, const QString&, const QString& why) {
        ADD_FAILURE() << "asked for the source: " << why.toStdString();
        return QString();
    });
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    view.setFixedSize(300, 220);
    viewer.show();
    viewer.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&viewer));
    view.ShowActualSize();
    ASSERT_TRUE(WaitSettled(view));
    QTest::keyClick(&view, Qt::Key_E);
    ASSERT_TRUE(ErrorToggle(viewer)->isChecked());
    EXPECT_TRUE(fs::equivalent(viewer.ErrorSource().toStdString(), c->source)) << viewer.ErrorSource().toStdString();

    // Every level, level 0 at 100 % and the others chosen in the list: the
    // picture's differences give compare's figures for that level.
    for (int level = 0; level < int(summary.levels.size()); ++level) {
        SCOPED_TRACE("level " + std::to_string(level));
        if (level > 0) view.ShowLevel(level);
        ASSERT_TRUE(WaitForError(view, level)) << viewer.ErrorText().toStdString();
        const ErrorPicture& error = *view.ErrorShown();
        ASSERT_EQ(error.heat.width(), summary.levels[size_t(level)].width);
        ASSERT_EQ(error.heat.height(), summary.levels[size_t(level)].height);
        ErrorStatistics fromPixels;
        for (int y = 0; y < error.heat.height(); ++y)
            for (int x = 0; x < error.heat.width(); ++x) fromPixels.Add(error.At(x, y));
        const test::CompareRow& want = c->compared[size_t(level)];
        // (Printed to 0.01, held to 0.01.)
        EXPECT_NEAR(fromPixels.Mean(), want.mean, 0.0101);
        EXPECT_NEAR(fromPixels.Percentile(0.99), want.p99, 0.0101);
        EXPECT_NEAR(fromPixels.Largest(), want.largest, 0.0101);
        EXPECT_EQ(error.colours, want.colours);
        // The status bar gives the level's figures as compare prints them.
        char figures[80];
        std::snprintf(figures, sizeof figures, "mean %.2f, p99 %.2f, max %.2f", want.mean, want.p99, want.largest);
        EXPECT_TRUE(viewer.ErrorText().contains(QString::fromLatin1(figures)))
            << viewer.ErrorText().toStdString() << " has not " << figures;
    }

    // At 100 % on level 0 the view draws each pixel's difference on the
    // heatmap's scale, the largest where the road's red could not be kept.
    view.ShowActualSize();
    view.SetOrigin(QPointF(0, 0));
    ASSERT_TRUE(WaitForError(view, 0));
    const ErrorPicture& error = *view.ErrorShown();
    const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(view.Origin(), QPointF(0, 0));
    int compared = 0;
    for (int y = 0; y < std::min(shown.height(), error.heat.height()); ++y)
        for (int x = 0; x < std::min(shown.width(), error.heat.width()); ++x) {
            if (y > 120) continue;  // the legend lies below
            const auto want = HeatColour(error.At(x, y));
            const QRgb got = shown.pixel(x, y);
            ASSERT_LE(std::abs(qRed(got) - want[0]) + std::abs(qGreen(got) - want[1]) + std::abs(qBlue(got) - want[2]), 3)
                << "pixel " << x << ", " << y << " error " << error.At(x, y);
            ++compared;
        }
    EXPECT_GT(compared, 20000);
    // The error under the pointer.
    QTest::mouseMove(&view, QPoint(10, 5));
    EXPECT_TRUE(viewer.PositionText().endsWith(" - error " + QLocale().toString(error.At(10, 5), 'f', 2)))
        << viewer.PositionText().toStdString();

    // Off again: the pixels.
    ErrorToggle(viewer)->trigger();
    EXPECT_FALSE(ErrorToggle(viewer)->isChecked());
    EXPECT_EQ(view.ErrorShown(), nullptr);
    EXPECT_TRUE(viewer.ErrorText().isEmpty());
    const std::optional<Picture> pixels = RpxToPicture(c->output, 1, 0);
    ASSERT_TRUE(pixels);
    ASSERT_TRUE(WaitSettled(view));
    EXPECT_TRUE(ViewShowsLevelZero(view, pixels->Width(), pixels->Height(), [&](int x, int y) {
        const PaletteEntry& entry = pixels->Colours()[pixels->Row(y)[x]];
        return qRgb(entry.red, entry.green, entry.blue);
    }));
}

TEST(ErrorOverlay, AsksForASourceThatMovedAndRefusesOneItCannotUse) {
    const auto c = ConvertScanLike();
    const std::string moved = c->folder.File("moved.tif");
    fs::rename(c->source, moved);
    const std::string notes = c->folder.File("notes.tif");
    WriteBytes(notes, "not a picture");
    const std::string small = c->folder.File("small.tif");
    test::WriteTiff(small, test::DrawnImage(100, 80, ScanLike));

    TfmViewer viewer(QString::fromStdString(c->output));
    std::deque<std::string> answers = {"", notes, small, moved};
    QStringList reasons;
    viewer.SetSourcePicker([&](QWidget*, const QString&, const QString& why) {
        reasons << why;
        const std::string answer = answers.empty() ? std::string() : answers.front();
        if (!answers.empty()) answers.pop_front();
        return QString::fromStdString(answer);
    });
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    QAction* toggle = ErrorToggle(viewer);

    // Nothing chosen: the overlay stays off and says why.
    toggle->trigger();
    ASSERT_EQ(reasons.size(), 1);
    EXPECT_TRUE(reasons[0].contains("is not there")) << reasons[0].toStdString();
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_TRUE(viewer.ErrorText().contains("No source")) << viewer.ErrorText().toStdString();

    // A file that is not an image, then an image of another size: refused
    // with the reason, the overlay off, the pixels shown.
    for (const std::string& wrong : {notes, small}) {
        toggle->trigger();
        EXPECT_TRUE(toggle->isChecked());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !toggle->isChecked(); }, 60000));
        EXPECT_TRUE(viewer.ErrorText().contains("cannot be shown")) << viewer.ErrorText().toStdString();
        EXPECT_TRUE(viewer.ErrorText().contains(QString::fromStdString(fs::path(wrong).filename().string())));
        EXPECT_EQ(view.ErrorShown(), nullptr);
    }
    EXPECT_TRUE(viewer.ErrorText().contains("100 x 80")) << viewer.ErrorText().toStdString();

    // The moved source, pointed at: its error is shown.
    toggle->trigger();
    EXPECT_EQ(reasons.size(), 4);
    ASSERT_TRUE(WaitForError(view, view.LevelInView())) << viewer.ErrorText().toStdString();
    EXPECT_EQ(viewer.ErrorSource(), QString::fromStdString(moved));
    EXPECT_TRUE(viewer.ErrorText().contains("mean")) << viewer.ErrorText().toStdString();

    // Another file: the overlay goes with the last one.
    viewer.Load(QString::fromStdString(c->output));
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_TRUE(viewer.ErrorSource().isEmpty());
}

}  // namespace
}  // namespace tessary::app::testing
