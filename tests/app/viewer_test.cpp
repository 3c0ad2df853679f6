// The RPX2 viewer: the tile cache's budget, a huge file opened with only the
// tiles in view decoded, what it draws at 100 % against the level the reader
// decodes, the level it picks for a zoom, damaged files, and the ways in
// (image list, log window, the --view argument).
#include "app/rpx2_viewer.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QMimeData>
#include <QScreen>
#include <QPointer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <thread>

#include "app/log_window.h"
#include "app/tile_cache.h"
#include "app_test_support.h"
#include "controls.h"
#include "rpx/rpx_reader.h"
#include "viewer_test_support.h"

namespace tessary::app::testing {
namespace {

TilePointer SomeTile(uint8_t value) {
    auto tile = std::make_shared<DecodedTile>();
    tile->pixels.assign(kViewTileBytes, value);
    return tile;
}

TEST(TileCache, KeepsWithinItsBudgetDroppingTheLeastRecentlyUsed) {
    TileCache cache(3 * kViewTileBytes + 100);
    ASSERT_EQ(cache.CapacityTiles(), 3u);
    for (int c = 0; c < 3; ++c) cache.Insert({0, 0, c}, SomeTile(uint8_t(c)));
    ASSERT_TRUE(cache.Find({0, 0, 0}));  // now the most recently used
    cache.Insert({1, 0, 0}, SomeTile(9));
    EXPECT_EQ(cache.Count(), 3u);
    EXPECT_LE(cache.SizeBytes(), cache.BudgetBytes());
    EXPECT_TRUE(cache.Contains({0, 0, 0}));
    EXPECT_FALSE(cache.Contains({0, 0, 1})) << "the least recently used tile stays";
    EXPECT_TRUE(cache.Contains({0, 0, 2}));
    EXPECT_EQ(cache.Find({1, 0, 0})->pixels[0], 9);
    // Replacing a tile does not count it twice.
    cache.Insert({1, 0, 0}, SomeTile(7));
    EXPECT_EQ(cache.Count(), 3u);
    EXPECT_EQ(cache.Find({1, 0, 0})->pixels[0], 7);

    TileCache none(kViewTileBytes - 1);
    none.Insert({0, 0, 0}, SomeTile(1));
    EXPECT_EQ(none.Count(), 0u);
}

TEST(TileLoader, DecodesOnItsOwnThreadAndDropsReplacedRequests) {
    std::mutex mutex;
    std::vector<TileKey> delivered;
    std::vector<std::thread::id> decodedOn;
    std::atomic<bool> release{false};
    {
        TileLoader loader(
            [&]() -> TileLoader::Decoder {
                return [&](const TileKey& key, uint8_t* out) {
                    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (key.row == 99) throw std::runtime_error("broken tile");
                    out[0] = uint8_t(key.column);
                    std::lock_guard lock(mutex);
                    decodedOn.push_back(std::this_thread::get_id());
                };
            },
            [&](const TileKey& key, TilePointer tile) {
                std::lock_guard lock(mutex);
                delivered.push_back(key);
                if (key.row == 99) {
                    EXPECT_TRUE(tile->failed);
                    EXPECT_EQ(tile->error, "broken tile");
                } else {
                    EXPECT_EQ(tile->pixels[0], key.column);
                }
            });
        loader.Request({{0, 0, 0}, {0, 0, 1}, {0, 0, 2}});
        // The first tile is in work (held); the other two are replaced.
        ASSERT_TRUE(QTest::qWaitFor([&] { return loader.Outstanding() == 3; }, 2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loader.Request({{0, 0, 0}, {0, 5, 5}, {0, 99, 0}});
        release = true;
        ASSERT_TRUE(QTest::qWaitFor([&] { return loader.Outstanding() == 0; }, 5000));
        EXPECT_EQ(loader.DecodedCount(), 3u);
    }
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[0], (TileKey{0, 0, 0}));
    EXPECT_EQ(delivered[1], (TileKey{0, 5, 5}));
    EXPECT_EQ(delivered[2], (TileKey{0, 99, 0}));
    for (std::thread::id id : decodedOn) EXPECT_NE(id, std::this_thread::get_id());
}

QRgb PatternColour(int x, int y) {
    const PaletteEntry entry = PatternPalette()[PatternIndex(x, y)];
    return qRgb(entry.red, entry.green, entry.blue);
}

// A 20,000 x 15,000 file: opening it, fitting it and looking at it at 100 %
// decode only the tiles in view, and the cache never passes its budget.
TEST(Rpx2Viewer, AHugeFileDecodesOnlyTheTilesInView) {
    TempFolder folder;
    const std::string path = folder.File("huge.rpx2");
    const int width = 20000, height = 15000;
    WritePatternRpx2(path, width, height, {100.0f, 25.0f, 6.25f, 0.65f, 1.5f});

    const size_t budget = 2 << 20;  // 512 tiles
    TfmViewer viewer(QString::fromStdString(path), nullptr, budget);
    ASSERT_TRUE(viewer.Failure().isEmpty()) << viewer.Failure().toStdString();
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    // Sized before it is shown: a view shown at another size first asks
    // for the tiles of that size, and some of them are decoded.
    view.setFixedSize(800, 600);
    viewer.show();
    ASSERT_TRUE(WaitSettled(view));

    // Fitted, the view draws from the 6.25 % level (the smallest at least
    // as detailed as 4 %), not from level 0.
    EXPECT_NEAR(view.Zoom(), 0.04, 1e-9);
    EXPECT_EQ(view.LevelInView(), 2);
    const size_t fittedTiles = view.VisibleTiles().size();
    EXPECT_EQ(fittedTiles, 20u * 15u);
    EXPECT_EQ(view.DecodedTiles(), fittedTiles);
    const QTreeWidget* levels = Control<QTreeWidget>(viewer, "cLevels");
    EXPECT_EQ(levels->topLevelItemCount(), 5);
    EXPECT_EQ(levels->topLevelItem(0)->text(1),
              QLocale().toString(20000) + " x " + QLocale().toString(15000));

    // At 100 % in the middle of level 0: only its visible tiles are added.
    view.ShowActualSize();
    ASSERT_TRUE(WaitSettled(view));
    EXPECT_EQ(view.LevelInView(), 0);
    const size_t actualTiles = view.VisibleTiles().size();
    EXPECT_LE(actualTiles, 14u * 11u);
    EXPECT_EQ(view.DecodedTiles(), fittedTiles + actualTiles);
    EXPECT_TRUE(ViewShowsLevelZero(view, width, height, PatternColour));

    // Panning across the file: tiles come and go, the cache stays within
    // its budget and the view shows the right pixels where it stops.
    for (int step = 0; step < 6; ++step) {
        view.SetOrigin(QPointF(2600.0 * step + 37, 1900.0 * step + 11));
        ASSERT_TRUE(WaitSettled(view));
        EXPECT_LE(view.Cache().SizeBytes(), budget);
    }
    EXPECT_TRUE(ViewShowsLevelZero(view, width, height, PatternColour));
    EXPECT_LT(view.DecodedTiles(), 2000u) << "of " << 314 * 235 << " tiles on level 0";
    EXPECT_TRUE(view.TileError().isEmpty());

    // The status bar names the pixel under the mouse in both coordinates.
    QTest::mouseMove(&view, QPoint(10, 20));
    const QPointF origin = view.Origin();
    const int x = int(origin.x()) + 10, y = int(origin.y()) + 20;
    EXPECT_EQ(viewer.PositionText(), QString("Pixel %1, %2 - in level 0: %1, %2 - index %3")
                                         .arg(x)
                                         .arg(y)
                                         .arg(PatternIndex(x, y)));
}

TEST(Rpx2Viewer, PicksTheLevelThatFitsEachZoom) {
    TempFolder folder;
    const std::string path = folder.File("levels.rpx2");
    WritePatternRpx2(path, 3000, 2000, {100.0f, 50.0f, 25.0f, 4.333f, 10.0f});
    TfmViewer viewer(QString::fromStdString(path));
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    EXPECT_EQ(view.LevelForZoom(4.0), 0);
    EXPECT_EQ(view.LevelForZoom(1.0), 0);
    EXPECT_EQ(view.LevelForZoom(0.6), 0) << "50 % would have to be blown up";
    EXPECT_EQ(view.LevelForZoom(0.5), 1);
    EXPECT_EQ(view.LevelForZoom(0.3), 1);
    EXPECT_EQ(view.LevelForZoom(0.25), 2);
    EXPECT_EQ(view.LevelForZoom(0.1), 4) << "the overview";
    EXPECT_EQ(view.LevelForZoom(0.05), 4);
    EXPECT_EQ(view.LevelForZoom(0.02), 3) << "the thumbnail";

    // Keys: + and - double and halve, F fits, 1 returns to 100 %.
    view.setFixedSize(600, 400);
    viewer.show();
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_1);
    EXPECT_EQ(view.Zoom(), 1.0);
    QTest::keyClick(&view, Qt::Key_Minus);
    EXPECT_EQ(view.Zoom(), 0.5);
    EXPECT_EQ(view.LevelInView(), 1);
    QTest::keyClick(&view, Qt::Key_Plus);
    EXPECT_EQ(view.Zoom(), 1.0);
    const QPointF before = view.Origin();
    QTest::keyClick(&view, Qt::Key_Right);
    EXPECT_EQ(view.Origin(), before + QPointF(64, 0));
    // Dragging moves the image with the mouse.
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(300, 200));
    QMouseEvent move(QEvent::MouseMove, QPointF(280, 190), view.mapToGlobal(QPointF(280, 190)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&view, &move);
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(280, 190));
    EXPECT_EQ(view.Origin(), before + QPointF(64 + 20, 10));
    QTest::keyClick(&view, Qt::Key_F);
    EXPECT_DOUBLE_EQ(view.Zoom(), std::min(600.0 / 3000, 400.0 / 2000));
    EXPECT_EQ(view.LevelInView(), 2);
}

// The examples converted by the window, shown pixel for pixel; a
// double-click on the row or on the log line opens the same file.
TEST(Rpx2Viewer, ShowsTheExamplesOutputsAsTheReaderDecodesThem) {
    TempFolder program, source, output, scratch;
    for (const char* name : {"hollow_ridge.tif", "lake_varn.png"})
        fs::copy_file(fs::path(TESSARY_EXAMPLES) / name, source.Path() / name);
    WriteBytes(program.File("tessary.ini"), "[System]\r\nSource Image Folder=" + source.Str() +
                                                "\r\nDestination Folder=" + output.Str() +
                                                "\r\nTemp Folder=" + scratch.Str() + "\r\n");
    WindowUnderTest w(program.Str());
    const QStringList& opened = w.services.viewedFiles;
    const std::vector<QWidget*>& owners = w.services.viewerOwners;
    TfmTessary& window = *w.window;
    Control<QPushButton>(window, "bSelectAll")->click();
    Control<QPushButton>(window, "BitBtn1")->click();

    for (const char* name : {"hollow_ridge.rpx2", "lake_varn.rpx2"}) {
        SCOPED_TRACE(name);
        const std::string path = output.File(name);
        std::optional<Picture> level = RpxToPicture(path, 1, 0);
        ASSERT_TRUE(level);
        TfmViewer viewer(QString::fromStdString(path));
        ASSERT_TRUE(viewer.Failure().isEmpty()) << viewer.Failure().toStdString();
        Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
        view.setFixedSize(420, 300);
        viewer.show();
        view.ShowActualSize();
        view.SetOrigin(QPointF(level->Width() / 3, level->Height() / 4));
        ASSERT_TRUE(WaitSettled(view));
        auto colour = [&](int x, int y) {
            const PaletteEntry& entry = level->Colours()[level->Row(y)[x]];
            return qRgb(entry.red, entry.green, entry.blue);
        };
        EXPECT_TRUE(ViewShowsLevelZero(view, level->Width(), level->Height(), colour));
        // Panned to the bottom right corner: the last column and line too.
        view.SetOrigin(QPointF(1e9, 1e9));
        ASSERT_TRUE(WaitSettled(view));
        EXPECT_EQ(view.Origin(), QPointF(level->Width() - 420, level->Height() - 300));
        EXPECT_TRUE(ViewShowsLevelZero(view, level->Width(), level->Height(), colour));
        // The side panel: a row per level, the palette of the level in view.
        const Rpx2Summary summary = ReadRpx2Summary(path);
        EXPECT_EQ(Control<QTreeWidget>(viewer, "cLevels")->topLevelItemCount(), int(summary.levels.size()));
        EXPECT_GE(summary.levels.size(), 3u);
    }

    // The rows of the output folder: a double-click on an .rpx2 row opens
    // it; on another row it does nothing.
    QLineEdit* sourceFolder = Control<QLineEdit>(window, "DirectoryEdit1");
    QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    sourceFolder->setText(QString::fromStdString(output.Str()));
    sourceFolder->setText(QString::fromStdString(source.Str()));
    auto doubleClick = [&](const QString& name) {
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = list->topLevelItem(i);
            if (item->text(0) != name) continue;
            list->scrollToItem(item);
            // A press and a release, then the double-click and its release,
            // as the platform sends them.
            QWidget* viewport = list->viewport();
            const QPoint at = list->visualItemRect(item).center();
            QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
            QMouseEvent twice(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(viewport, &twice);
            QTest::mouseRelease(viewport, Qt::LeftButton, {}, at);
            return true;
        }
        return false;
    };
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(doubleClick("lake_varn.png"));
    EXPECT_TRUE(opened.isEmpty());
    sourceFolder->setText(QString::fromStdString(output.Str()));
    ASSERT_TRUE(doubleClick("lake_varn.rpx2"));
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(fs::path(opened[0].toStdString()), output.Path() / "lake_varn.rpx2");
    EXPECT_EQ(owners[0], nullptr);

    // The log window: the "Rpx2 image created" line and its "In path" line.
    const std::vector<std::string>& lines = w.log.Lines();
    size_t created = lines.size();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].find("Rpx2 image created : hollow_ridge.rpx2") != std::string::npos) created = i;
    ASSERT_LT(created, lines.size());
    window.LogWindow()->Reload();
    window.LogWindow()->cErrorListDblClick(int(created));
    window.LogWindow()->cErrorListDblClick(int(created) + 1);
    window.LogWindow()->cErrorListDblClick(0);  // "Processing - ...": nothing
    ASSERT_EQ(opened.size(), 3);
    for (int i = 1; i < 3; ++i) {
        EXPECT_TRUE(fs::equivalent(opened[i].toStdString(), output.Path() / "hollow_ridge.rpx2"));
        EXPECT_EQ(owners[size_t(i)], window.LogWindow());
    }
}

// Opened from the modal log window, the viewer is a window of its own that
// the log owns (so the log's modality does not block it); it stays open
// when the log closes and deletes itself when closed.
TEST(Rpx2Viewer, AViewerOpenedFromTheLogOutlivesTheLogWindow) {
    TempFolder folder;
    const std::string path = folder.File("small.rpx2");
    WritePatternRpx2(path, 500, 400, {100.0f, 26.0f, 60.0f});
    ConversionLog log;
    TfmLog logWindow(log);
    logWindow.setWindowModality(Qt::ApplicationModal);
    logWindow.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&logWindow));
    QPointer<TfmViewer> viewer = OpenViewerWindow(QString::fromStdString(path), &logWindow);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(viewer.data()));
    EXPECT_TRUE(viewer->isWindow());
    EXPECT_EQ(viewer->parentWidget(), &logWindow);
    logWindow.close();
    QTest::qWait(20);
    ASSERT_TRUE(viewer);
    EXPECT_TRUE(viewer->isVisible());
    viewer->close();
    (void)QTest::qWaitFor([&] { return viewer.isNull(); }, 2000);
    EXPECT_TRUE(viewer.isNull()) << "a closed viewer deletes itself";
}

// Closing the main window ends the program, viewers included.
TEST(Rpx2Viewer, ClosingTheMainWindowClosesTheViewers) {
    TempFolder program;
    const std::string path = program.File("small.rpx2");
    WritePatternRpx2(path, 400, 300, {100.0f, 32.5f, 75.0f});
    WindowUnderTest w(program.Str());
    w.window->show();
    QPointer<TfmViewer> alone = OpenViewerWindow(QString::fromStdString(path));
    QPointer<TfmViewer> fromLog = OpenViewerWindow(QString::fromStdString(path), w.window->LogWindow());
    ASSERT_TRUE(alone && fromLog);
    EXPECT_TRUE(w.window->close());
    EXPECT_TRUE(QTest::qWaitFor([&] { return alone.isNull() && fromLog.isNull(); }, 2000));
}

TEST(Rpx2Viewer, NamesTheFileOfACreatedLine) {
    const std::vector<std::string> lines = {"i\tProcessing - a.tif", "o\t   Rpx2 image created : a.rpx2",
                                            "o\t   In path : /maps/out/", "o\t   File Size : 1,234",
                                            "o\t   Rpx2 image created : b.rpx2"};
    EXPECT_EQ(CreatedFileOfLine(lines, 1), "/maps/out/a.rpx2");
    EXPECT_EQ(CreatedFileOfLine(lines, 2), "/maps/out/a.rpx2");
    EXPECT_EQ(CreatedFileOfLine(lines, 0), std::nullopt);
    EXPECT_EQ(CreatedFileOfLine(lines, 3), std::nullopt);
    EXPECT_EQ(CreatedFileOfLine(lines, 4), std::nullopt) << "no In path line follows";
    EXPECT_EQ(CreatedFileOfLine(lines, 9), std::nullopt);
}

TEST(Rpx2Viewer, ADamagedFileShowsTheReasonInTheWindow) {
    TempFolder folder;
    const std::string good = folder.File("good.rpx2");
    WritePatternRpx2(good, 700, 500, {100.0f, 50.0f, 18.5f, 42.8f});
    const std::string bytes = ReadBytes(good);

    struct Case {
        const char* name;
        std::string content;
    };
    std::string legacy = bytes;
    legacy[0] = 0x77;
    legacy[1] = 0x77;
    std::string pointsOutside = bytes;
    pointsOutside[pointsOutside.size() - 1] = char(0x7F);  // the level table position
    const Case cases[] = {
        {"text.rpx2", "this is not an image"},
        {"empty.rpx2", ""},
        {"cut.rpx2", bytes.substr(0, bytes.size() / 2)},
        {"table.rpx2", pointsOutside},
        {"legacy.rpx2", legacy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(folder.File(c.name), c.content);
        TfmViewer viewer(QString::fromStdString(folder.File(c.name)));
        EXPECT_EQ(viewer.findChild<Rpx2View*>(), nullptr);
        ASSERT_FALSE(viewer.Failure().isEmpty());
        auto* message = Control<QLabel>(viewer, "cMessage");
        EXPECT_TRUE(message->text().contains(viewer.Failure())) << message->text().toStdString();
        EXPECT_TRUE(message->text().contains("cannot be shown"));
    }
    TfmViewer missing(QString::fromStdString(folder.File("missing.rpx2")));
    EXPECT_FALSE(missing.Failure().isEmpty());

    // A tile whose stream is damaged is drawn as damaged; its neighbours
    // are drawn and the reason reaches the status bar.
    std::string badTile = bytes;
    const size_t firstTile = 60 + 4 * 4 + 4;  // after the scale list and the level marker
    for (size_t i = firstTile + 2; i < firstTile + 12; ++i) badTile[i] = char(0xFF);
    WriteBytes(folder.File("tile.rpx2"), badTile);
    TfmViewer viewer(QString::fromStdString(folder.File("tile.rpx2")));
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    view.setFixedSize(300, 200);
    viewer.show();
    view.ShowActualSize();
    view.SetOrigin(QPointF(0, 0));
    ASSERT_TRUE(WaitSettled(view));
    EXPECT_TRUE(view.TileError().startsWith("inflate failed: ")) << view.TileError().toStdString();
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(shown.pixel(100, 100) & 0xFFFFFF, PatternColour(100, 100) & 0xFFFFFF);
}

// Clicks on a row of the level list, as the mouse would.
void ClickLevel(QTreeWidget* levels, int row) {
    QTreeWidgetItem* item = levels->topLevelItem(row);
    levels->scrollToItem(item);
    QTest::mouseClick(levels->viewport(), Qt::LeftButton, {}, levels->visualItemRect(item).center());
}

// A level chosen in the list is shown (its own tiles, fitted to the view)
// until the next zoom, and stays highlighted; the status bar names the
// level and the pixel under the pointer after a zoom by key, without a
// mouse move.
TEST(Rpx2Viewer, ChoosingALevelShowsItUntilTheNextZoom) {
    TempFolder folder;
    const std::string path = folder.File("levels.rpx2");
    WritePatternRpx2(path, 3000, 2000, {100.0f, 50.0f, 25.0f, 4.333f, 10.0f});
    TfmViewer viewer(QString::fromStdString(path));
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    QTreeWidget* levels = Control<QTreeWidget>(viewer, "cLevels");
    view.setFixedSize(600, 400);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    ASSERT_TRUE(WaitSettled(view));
    EXPECT_EQ(view.LevelInView(), 2);
    ASSERT_EQ(levels->topLevelItem(3)->text(0), "3 thumbnail");

    ClickLevel(levels, 3);
    EXPECT_EQ(view.LevelInView(), 3);
    EXPECT_TRUE(view.LevelChosen());
    EXPECT_DOUBLE_EQ(view.Zoom(), 0.2) << "fitted to the view";
    ASSERT_TRUE(WaitSettled(view));
    for (const TileKey& key : view.VisibleTiles()) EXPECT_EQ(key.level, 3);
    EXPECT_TRUE(view.Cache().Contains({3, 0, 0}));
    EXPECT_EQ(levels->currentItem(), levels->topLevelItem(3)) << "the highlight stays on the level shown";
    EXPECT_TRUE(viewer.ZoomText().contains("level 3")) << viewer.ZoomText().toStdString();
    // What is drawn is the thumbnail's pixels, blown up: the middle of the
    // view shows the thumbnail pixel there.
    const std::optional<Picture> thumbnail = RpxToPicture(path, 1, 3);
    ASSERT_TRUE(thumbnail);
    {
        const QImage shown = view.grab().toImage();
        const QPoint middle(300, 200);
        const Rpx2View::Probe probe = view.ProbeAt(middle);
        ASSERT_TRUE(probe.inside);
        const PaletteEntry& entry = thumbnail->Colours()[thumbnail->Row(probe.inLevel.y())[probe.inLevel.x()]];
        EXPECT_EQ(shown.pixel(middle) & 0xFFFFFF, qRgb(entry.red, entry.green, entry.blue) & 0xFFFFFF);
    }

    // The keyboard in the list: Down chooses the overview.
    levels->setFocus();
    QTest::keyClick(levels, Qt::Key_Down);
    EXPECT_EQ(view.LevelInView(), 4);

    // The pointer over the view; a zoom by key moves the image under it and
    // the status bar follows at once.
    QTest::mouseMove(&view, QPoint(100, 80));
    EXPECT_TRUE(viewer.PositionText().contains("in level 4")) << viewer.PositionText().toStdString();
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_Plus);
    EXPECT_FALSE(view.LevelChosen()) << "a zoom gives the level back to the zoom";
    EXPECT_DOUBLE_EQ(view.Zoom(), 0.4);
    EXPECT_EQ(view.LevelInView(), 1);
    EXPECT_EQ(levels->currentItem(), levels->topLevelItem(1));
    const QPointF origin = view.Origin();
    const int x = int(origin.x() + 100.5 / 0.4), y = int(origin.y() + 80.5 / 0.4);
    EXPECT_TRUE(viewer.PositionText().startsWith(QString("Pixel %1, %2 - in level 1: ").arg(x).arg(y)))
        << viewer.PositionText().toStdString();
}

// Drops a list of local files on a widget, as a drag from a file manager.
bool DropFiles(QWidget* target, const QStringList& files) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& file : files) urls << QUrl::fromLocalFile(file);
    data.setUrls(urls);
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

// The viewer opens other files: Ctrl+O through the picker, or a file
// dropped on it. A file it cannot show says why in the reader's words; Esc
// and Ctrl+W close the window.
TEST(Rpx2Viewer, OpensOtherFilesAndSaysWhyItCannotShowOne) {
    TempFolder folder;
    const std::string first = folder.File("first.rpx2"), second = folder.File("second.rpx2");
    WritePatternRpx2(first, 700, 500, {100.0f, 50.0f, 18.5f, 42.8f});
    WritePatternRpx2(second, 900, 400, {100.0f, 50.0f, 18.5f, 42.8f});
    WritePng(folder.File("picture.png"), 40, 30, false);
    WriteBytes(folder.File("nothing.rpx2"), "");

    auto* viewer = new TfmViewer(QString::fromStdString(first));
    viewer->setAttribute(Qt::WA_DeleteOnClose, true);
    QPointer<TfmViewer> alive = viewer;
    QStringList picks = {QString::fromStdString(second)};
    viewer->SetFilePicker([&](QWidget*, const QString&) { return picks.isEmpty() ? QString() : picks.takeFirst(); });
    viewer->show();
    viewer->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(viewer));
    QTest::keyClick(viewer, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(viewer->Path().toStdString(), second);
    ASSERT_NE(viewer->View(), nullptr);
    EXPECT_EQ(viewer->View()->Summary().width, 900);
    QTest::keyClick(viewer, Qt::Key_O, Qt::ControlModifier);  // cancelled: the file stays
    EXPECT_EQ(viewer->Path().toStdString(), second);

    // Not an RPX2 file: the reader's reason, not a generic error.
    EXPECT_TRUE(DropFiles(viewer, {QString::fromStdString(folder.File("picture.png"))}));
    EXPECT_EQ(viewer->View(), nullptr);
    const QString notRpx2 = viewer->Failure();
    EXPECT_FALSE(notRpx2.isEmpty());
    EXPECT_FALSE(notRpx2.contains("unknown", Qt::CaseInsensitive)) << notRpx2.toStdString();
    EXPECT_TRUE(Control<QLabel>(*viewer, "cMessage")->text().contains(notRpx2));
    EXPECT_TRUE(DropFiles(viewer, {QString::fromStdString(folder.File("nothing.rpx2"))}));
    EXPECT_EQ(viewer->Failure(), "the file is empty");
    EXPECT_FALSE(DropFiles(viewer, {QString::fromStdString(first), QString::fromStdString(second)}))
        << "one file at a time";
    // From a failure back to a file that shows.
    EXPECT_TRUE(DropFiles(viewer, {QString::fromStdString(first)}));
    ASSERT_NE(viewer->View(), nullptr);
    EXPECT_TRUE(viewer->Failure().isEmpty());
    EXPECT_EQ(viewer->View()->Summary().width, 700);

    QTest::keyClick(viewer->View(), Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return alive.isNull(); }, 2000)) << "Esc closes the viewer";

    TfmViewer other(QString::fromStdString(first));
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QTest::keyClick(&other, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(other.isVisible()) << "Ctrl+W closes the viewer";
}

// At a device pixel ratio of 2 (the ctest entry tessary_app_tests_dpr2
// runs these with QT_SCALE_FACTOR=2), 100 % is one image pixel per device
// pixel, and the viewer fits the screen.
TEST(HighDpi, OneHundredPercentIsOneImagePixelPerDevicePixel) {
    TempFolder folder;
    const std::string path = folder.File("sharp.rpx2");
    const int width = 2400, height = 1800;
    WritePatternRpx2(path, width, height, {100.0f, 50.0f, 5.0f, 10.0f});
    TfmViewer viewer(QString::fromStdString(path));
    Rpx2View& view = *Control<Rpx2View>(viewer, "Rpx2View");
    if (view.devicePixelRatioF() != 2.0) GTEST_SKIP() << "runs at a device pixel ratio of 2";
    const QSize available = viewer.screen()->availableGeometry().size();
    EXPECT_LE(viewer.width(), std::max(available.width(), viewer.minimumSizeHint().width()));
    EXPECT_LE(viewer.height(), std::max(available.height(), viewer.minimumSizeHint().height()));
    view.setFixedSize(300, 200);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    view.ShowActualSize();
    EXPECT_EQ(view.Zoom(), 1.0);
    EXPECT_TRUE(viewer.ZoomText().startsWith("Zoom 100")) << viewer.ZoomText().toStdString();
    // Across a grid line of the pattern (4 pixels wide at x 1000).
    view.SetOrigin(QPointF(1000 - 250, 300));
    ASSERT_TRUE(WaitSettled(view));
    const QImage shown = view.grab().toImage();
    EXPECT_EQ(shown.size(), QSize(600, 400)) << "device pixels";
    EXPECT_TRUE(ViewShowsLevelZero(view, width, height, PatternColour));
    // The pixel under a pointer position counts device pixels too.
    const Rpx2View::Probe probe = view.ProbeAt(QPoint(125, 10));
    EXPECT_EQ(probe.levelZero, QPoint(int(view.Origin().x()) + 250, int(view.Origin().y()) + 20));
}

TEST(Rpx2Viewer, TheProgramOpensTheViewerAloneWithView) {
    const QString program = QString(TESSARY_BIN_DIR) + "/tessary";
    if (!QFileInfo::exists(program)) GTEST_SKIP() << "the program is not built";
    QProcess process;
    process.setProcessEnvironment([] {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        return environment;
    }());
    process.start(program, {"--view"});
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_TRUE(process.readAllStandardError().contains("usage: tessary --view FILE.rpx2"));

    // --help prints the usage, without a window.
    process.start(program, {"--help"});
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitCode(), 0);
    const QByteArray usage = process.readAllStandardOutput();
    EXPECT_TRUE(usage.startsWith("usage: tessary [/fn=IMAGE]")) << usage.toStdString();
    EXPECT_TRUE(usage.contains("--view FILE.rpx2"));
}

}  // namespace
}  // namespace tessary::app::testing
