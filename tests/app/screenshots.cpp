// Takes pictures of the desktop program for a person to look at: the splash
// window, the main window before, during (with its progress bar) and after
// converting the bundled examples and after an aborted run, the log window,
// the help window, and the viewer on a converted file (fitted, zoomed in on
// level 0, on a middle level with the pointer's pixel in the status bar, on
// the thumbnail level chosen in the level list, with its error against the
// source shown, and opened by Ctrl+O from the main window). Run by scripts/screenshot under Xvfb.
//
//   tessary_screenshots <examples folder> <picture folder> <work folder>
//   tessary_screenshots --actual-size <file.rpx2> <picture file>
//
// The second form shows the viewer at 100 % only (scripts/screenshot runs
// it at a device pixel ratio of 2).
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTextBrowser>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/log_window.h"
#include "app/main_window.h"
#include "app/rpx2_viewer.h"
#include "app/splash.h"
#include "controls.h"
#include "engine/conversion_log.h"

namespace fs = std::filesystem;
using namespace tessary;
using app::testing::Control;

namespace {

bool Save(QWidget& widget, const QString& folder, const QString& name) {
    const QString path = QDir(folder).filePath(name);
    const bool saved = widget.grab().save(path, "PNG");
    std::printf("%s %s\n", saved ? "saved" : "could not save", path.toUtf8().constData());
    return saved;
}

// The top-level window of this class that is visible, or null.
template <typename T>
T* ShownWindow(const char* objectName) {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->isVisible() && window->objectName() == objectName)
            if (auto* shown = qobject_cast<T*>(window)) return shown;
    return nullptr;
}

// Waits until the view has drawn every tile it asked for.
void Settle(app::Rpx2View& view) {
    (void)QTest::qWaitFor([&] { return view.Settled(); }, 10000);
    QTest::qWait(50);
}

// The viewer alone at 100 % on the middle of the file.
int ActualSize(const QString& file, const QString& picture) {
    app::TfmViewer viewer(file);
    viewer.resize(900, 600);
    viewer.show();
    if (!QTest::qWaitForWindowExposed(&viewer) || !viewer.View()) return 1;
    app::Rpx2View& view = *viewer.View();
    view.ShowActualSize();
    Settle(view);
    QTest::mouseMove(&view, QPoint(view.width() / 2, view.height() / 2));
    QTest::qWait(50);
    const bool saved = viewer.grab().save(picture, "PNG");
    std::printf("%s %s: device pixel ratio %.1f, %s, %s\n", saved ? "saved" : "could not save",
                picture.toUtf8().constData(), view.devicePixelRatioF(), viewer.ZoomText().toUtf8().constData(),
                viewer.PositionText().toUtf8().constData());
    return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc == 4 && std::string(argv[1]) == "--actual-size")
        return ActualSize(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc != 4) {
        std::fprintf(stderr, "usage: tessary_screenshots <examples> <pictures> <work>\n");
        return 2;
    }
    const fs::path examples = argv[1], work = argv[3];
    const QString pictures = QString::fromLocal8Bit(argv[2]);
    std::error_code ec;
    fs::remove_all(work, ec);
    for (const char* folder : {"program", "source", "output", "scratch"})
        fs::create_directories(work / folder);
    for (const auto& entry : fs::directory_iterator(examples))
        if (entry.is_regular_file()) fs::copy_file(entry.path(), work / "source" / entry.path().filename());
    QDir().mkpath(pictures);
    // The help pages beside the program, as the build and the installation place them.
    const fs::path help = fs::path(QCoreApplication::applicationDirPath().toStdString()) / "help";
    if (fs::is_directory(help)) fs::copy(help, work / "program" / "help", fs::copy_options::recursive, ec);
    {
        std::ofstream ini(work / "program" / "tessary.ini", std::ios::binary);
        ini << "[System]\r\nSource Image Folder=" << (work / "source").string()
            << "\r\nDestination Folder=" << (work / "output").string()
            << "\r\nTemp Folder=" << (work / "scratch").string() << "\r\nNumber Colors=256\r\n";
    }

    app::TSplashForm splash;
    splash.show();
    if (!QTest::qWaitForWindowExposed(&splash)) return 1;
    bool ok = Save(splash, pictures, "splash.png");
    splash.close();

    app::WindowOptions options;
    options.programFolder = (work / "program").string();
    options.settingsFile = (work / "program" / "tessary.ini").string();
    ConversionLog log;
    app::WindowServices services = app::DesktopServices();
    QStringList messages;
    services.message = [&](QWidget*, const QString& text) { messages << text; };
    bool logOpenedByRun = false;
    services.showLogModal = [&](app::TfmLog&) { logOpenedByRun = true; };
    services.help.openUrl = [](const QUrl&) { return false; };  // no browser: the help window
    QString pickedRpx2;
    services.pickRpx2File = [&](QWidget*, const QString&) { return pickedRpx2; };
    app::TfmTessary window(options, log, services);
    window.CreateLogWindow();
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowExposed(&window)) return 1;
    Control<QPushButton>(window, "bSelectAll")->click();
    Control<QTreeWidget>(window, "ListView1")->topLevelItem(0)->setSelected(true);
    ok &= Save(window, pictures, "main-before.png");

    // One picture during the run, once the run has reached its zoom levels.
    bool takenDuring = false;
    QTimer during;
    during.setInterval(20);
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (takenDuring || !window.StatusText(1).startsWith("Creating") ||
            window.RunProgressText() != "Image 2 of 2")
            return;
        takenDuring = true;
        ok &= Save(window, pictures, "main-during.png");
    });
    during.start();
    QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
    during.stop();
    if (!takenDuring) std::fprintf(stderr, "the run ended before a picture could be taken during it\n");
    QTest::qWait(100);
    ok &= Save(window, pictures, "main-after.png");

    Control<QToolButton>(window, "bHelp")->click();  // no browser here: the help window
    QTest::qWait(200);
    if (auto* help = ShownWindow<QTextBrowser>("fmHelp")) {
        ok &= Save(*help, pictures, "help-window.png");
        help->close();
    } else {
        std::fprintf(stderr, "the help window did not open\n");
        ok = false;
    }

    // A run aborted in its second image.
    bool aborted = false;
    QTimer abortTimer;
    abortTimer.setInterval(5);
    QObject::connect(&abortTimer, &QTimer::timeout, [&] {
        if (aborted || window.RunProgressText() != "Image 2 of 2") return;
        aborted = true;
        window.bAbortClick();
    });
    abortTimer.start();
    const fs::path aborting = work / "output-aborted";
    fs::create_directories(aborting);
    Control<QLineEdit>(window, "cDestFolder")->setText(QString::fromStdString(aborting.string()));
    QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
    abortTimer.stop();
    QTest::qWait(100);
    ok &= aborted && Save(window, pictures, "main-aborted.png");
    std::printf("after the abort: '%s'\n", window.StatusText(0).toUtf8().constData());

    app::TfmLog* logWindow = window.LogWindow();
    logWindow->show();
    if (!QTest::qWaitForWindowExposed(logWindow)) return 1;
    Control<QListWidget>(*logWindow, "cErrorList")->setCurrentRow(1);
    ok &= Save(*logWindow, pictures, "log.png");
    logWindow->close();

    // The viewer on the first converted file.
    fs::path converted;
    for (const auto& entry : fs::directory_iterator(work / "output"))
        if (entry.path().extension() == ".rpx2" && (converted.empty() || entry.path() < converted))
            converted = entry.path();
    if (converted.empty()) {
        std::fprintf(stderr, "no RPX2 file to view\n");
        return 1;
    }
    {
        app::TfmViewer viewer(QString::fromStdString(converted.string()));
        viewer.resize(1100, 720);
        viewer.show();
        if (!QTest::qWaitForWindowExposed(&viewer) || !viewer.findChild<app::Rpx2View*>()) return 1;
        app::Rpx2View& view = *Control<app::Rpx2View>(viewer, "Rpx2View");
        auto settle = [&] { Settle(view); };
        view.FitToView();
        settle();
        ok &= Save(viewer, pictures, "viewer-fit.png");
        // Level 0 pixel for pixel, a little enlarged so that pixels show.
        view.SetZoom(2.0, QPointF(view.width() / 2.0, view.height() / 2.0));
        settle();
        ok &= Save(viewer, pictures, "viewer-level0.png");
        // A middle level, with the pointer over the image.
        view.SetZoom(0.2, QPointF(view.width() / 2.0, view.height() / 2.0));
        settle();
        QTest::mouseMove(&view, QPoint(view.width() / 2, view.height() / 2));
        QTest::qWait(50);
        ok &= Save(viewer, pictures, "viewer-levels.png");
        std::printf("viewer: %s, status '%s', %s\n", converted.filename().string().c_str(),
                    viewer.PositionText().toUtf8().constData(), viewer.ZoomText().toUtf8().constData());
        // The thumbnail chosen in the level list.
        QTreeWidget* levels = Control<QTreeWidget>(viewer, "cLevels");
        for (int i = 0; i < levels->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = levels->topLevelItem(i);
            if (!item->text(0).endsWith("thumbnail")) continue;
            QTest::mouseClick(levels->viewport(), Qt::LeftButton, {}, levels->visualItemRect(item).center());
        }
        settle();
        QTest::mouseMove(&view, QPoint(view.width() / 2, view.height() / 3));
        QTest::qWait(50);
        ok &= Save(viewer, pictures, "viewer-thumbnail.png");
        std::printf("thumbnail: status '%s', %s\n", viewer.PositionText().toUtf8().constData(),
                    viewer.ZoomText().toUtf8().constData());
        // Show Error Against Source on the fitted view, the pointer over the
        // image. The record leads to the source; should it not, the source
        // is the example of that name.
        const fs::path example = examples / converted.stem();
        viewer.SetSourcePicker([&](QWidget*, const QString&, const QString&) {
            for (const char* extension : {".tif", ".png"})
                if (fs::exists(fs::path(example).concat(extension)))
                    return QString::fromStdString(fs::path(example).concat(extension).string());
            return QString();
        });
        view.FitToView();
        settle();
        viewer.findChild<QAction*>("actionShowError")->trigger();
        (void)QTest::qWaitFor([&] { return view.ErrorShown() != nullptr; }, 60000);
        // The pointer on the first pixel of the middle row with an error of
        // 3 or more, so that the status bar has one to tell.
        QPoint pointer(view.width() / 2, view.height() / 3);
        if (const app::ErrorPicture* error = view.ErrorShown()) {
            const int y = error->heat.height() / 2;
            for (int x = error->heat.width() / 2; x < error->heat.width(); ++x)
                if (error->At(x, y) >= 3.0) {
                    const double scale = double(view.Summary().width) / error->heat.width();
                    pointer = ((QPointF(x + 0.5, y + 0.5) * scale - view.Origin()) * view.Zoom() /
                               view.devicePixelRatioF())
                                  .toPoint();
                    break;
                }
        }
        QTest::mouseMove(&view, pointer);
        QTest::qWait(50);
        if (view.ErrorShown()) {
            ok &= Save(viewer, pictures, "viewer-error.png");
        } else {
            std::fprintf(stderr, "no error overlay: %s\n", viewer.ErrorText().toUtf8().constData());
            ok = false;
        }
        std::printf("error: status '%s', '%s'\n", viewer.PositionText().toUtf8().constData(),
                    viewer.ErrorText().toUtf8().constData());
    }

    // Ctrl+O in the main window: the picker gives the other converted file.
    for (const auto& entry : fs::directory_iterator(work / "output"))
        if (entry.path().extension() == ".rpx2" && entry.path() != converted)
            pickedRpx2 = QString::fromStdString(entry.path().string());
    window.activateWindow();
    (void)QTest::qWaitForWindowActive(&window);
    QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
    QTest::qWait(100);
    if (auto* opened = ShownWindow<app::TfmViewer>("fmViewer"); opened && opened->View()) {
        opened->resize(1000, 680);
        Settle(*opened->View());
        ok &= Save(*opened, pictures, "viewer-open.png");
        opened->close();
    } else {
        std::fprintf(stderr, "Ctrl+O opened no viewer\n");
        ok = false;
    }

    for (const QString& message : messages) std::printf("message: %s\n", message.toUtf8().constData());
    for (const std::string& line : log.Lines()) std::printf("log: %s\n", line.c_str());
    std::printf("log window opened by the run: %s\n", logOpenedByRun ? "yes" : "no");
    return ok && takenDuring ? 0 : 1;
}
