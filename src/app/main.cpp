// tessary: the desktop program. Shows the splash window while the main window
// loads its settings and fills its image list, creates the log window hidden,
// and runs the event loop; the main window saves its options when it is
// destroyed at exit.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/log_window.h"
#include "app/main_window.h"
#include "app/rpx2_viewer.h"
#include "app/settings.h"
#include "app/splash.h"
#include "common/platform.h"
#include "engine/conversion_log.h"
#include "engine/source_rows.h"

namespace {

// The window's notes from readers (a missing decoding library, an
// unsupported kind of file) appear as message boxes over the active window.
class QtMessageSink : public tessary::platform::MessageSink {
public:
    void ShowMessage(std::string_view text) override {
        QMessageBox::information(QApplication::activeWindow(), "tessary",
                                 QString::fromUtf8(text.data(), qsizetype(text.size())));
    }
};

const char* const kUsage =
    "usage: tessary [/fn=IMAGE]\n"
    "       tessary --view FILE.rpx2\n"
    "\n"
    "Converts raster map images into RPX2 files in a window.\n"
    "  /fn=IMAGE        start in the folder of IMAGE (relative to the current folder)\n"
    "                   with IMAGE selected\n"
    "  --view FILE.rpx2 open only the viewer on FILE.rpx2\n"
    "  --help           show this text\n"
    "The command line converter is tessary-cli.\n";

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    tessary::platform::UseParentConsole();
#endif
    // The usage needs no display: it is printed before the window system
    // is asked for.
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    // Read before the window moves to the program's folder.
    // (A working folder that no longer exists leaves it empty.)
    std::error_code noFolder;
    const std::string startFolder = std::filesystem::current_path(noFolder).string();
    QApplication application(argc, argv);
    QApplication::setApplicationName("tessary");
    QApplication::setWindowIcon(QIcon(tessary::app::DrawLogo(64)));
    QtMessageSink sink;
    tessary::platform::ScopedMessageSink scopedSink(&sink);
    tessary::AddEngineSourceRows();

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    // "--view FILE.rpx2": the viewer alone, without the converter's window.
    if (!arguments.isEmpty() && arguments.front() == "--view") {
        if (arguments.size() != 2) {
            std::fprintf(stderr, "usage: tessary --view FILE.rpx2\n");
            return 2;
        }
        tessary::app::TfmViewer viewer(arguments.at(1));
        viewer.show();
        return QApplication::exec();
    }

    tessary::app::TSplashForm splash;
    splash.show();
    splash.repaint();
    QApplication::processEvents();

    tessary::app::WindowOptions options;
    options.programFolder = tessary::platform::ProgramFolder();
    options.settingsFile = tessary::app::ChooseSettingsFile(
        options.programFolder, tessary::app::UserConfigFolder(),
        tessary::platform::CanWrite);
    // An installed program's folder cannot be written: the first start then
    // proposes the home folder for images and the system's temporary folder
    // for scratch files instead of a folder where every run would fail.
    if (!tessary::platform::CanWrite(options.programFolder)) {
        options.defaultFolder = QDir::homePath().toStdString();
        options.defaultTempFolder = QDir::tempPath().toStdString();
    }
    options.arguments = arguments;
    options.startFolder = startFolder;

    tessary::ConversionLog log;
    tessary::app::TfmTessary window(options, log, tessary::app::DesktopServices());
    window.CreateLogWindow();
    splash.hide();
    splash.close();
    window.show();
    return QApplication::exec();
}
