// Takes pictures of the desktop program for a person to look at: the splash
// window, the main window before, during and after converting the bundled
// examples, the log window, and the viewer on a converted file (fitted,
// zoomed in on level 0, and on a middle level with the pointer's pixel in
// the status bar). Run by scripts/screenshot under Xvfb.
//
//   tessary_screenshots <examples folder> <picture folder> <work folder>
#include <QApplication>
#include <QDir>
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

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
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
    services.help.openUrl = [](const QUrl&) { return false; };
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
        if (takenDuring || !window.StatusText(1).startsWith("Creating")) return;
        takenDuring = true;
        ok &= Save(window, pictures, "main-during.png");
    });
    during.start();
    QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
    during.stop();
    if (!takenDuring) std::fprintf(stderr, "the run ended before a picture could be taken during it\n");
    QTest::qWait(100);
    ok &= Save(window, pictures, "main-after.png");

    Control<QToolButton>(window, "bHelp")->click();  // no browser here: the status bar says so
    QTest::qWait(50);
    ok &= Save(window, pictures, "main-help.png");

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
        auto settle = [&] {
            (void)QTest::qWaitFor([&] { return view.Settled(); }, 10000);
            QTest::qWait(50);
        };
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
    }

    for (const QString& message : messages) std::printf("message: %s\n", message.toUtf8().constData());
    for (const std::string& line : log.Lines()) std::printf("log: %s\n", line.c_str());
    std::printf("log window opened by the run: %s\n", logOpenedByRun ? "yes" : "no");
    return ok && takenDuring ? 0 : 1;
}
