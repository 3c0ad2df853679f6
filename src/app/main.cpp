// tessary: the desktop program. Shows the splash window while the main window
// loads its settings and fills its image list, creates the log window hidden,
// and runs the event loop; the main window saves its options when it is
// destroyed at exit.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QMessageBox>

#include "app/log_window.h"
#include "app/main_window.h"
#include "app/settings.h"
#include "app/splash.h"
#include "common/platform.h"
#include "engine/conversion_log.h"

namespace {

// Readers' notices (a missing decoding library, an unsupported kind of
// file) appear as message boxes over the active window.
class QtMessageSink : public tessary::platform::MessageSink {
public:
    void ShowMessage(std::string_view text) override {
        QMessageBox::information(QApplication::activeWindow(), "tessary",
                                 QString::fromUtf8(text.data(), qsizetype(text.size())));
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("tessary");
    QApplication::setWindowIcon(QIcon(tessary::app::DrawLogo(64)));
    QtMessageSink sink;
    tessary::platform::ScopedMessageSink scopedSink(&sink);

    tessary::app::TSplashForm splash;
    splash.show();
    splash.repaint();
    QApplication::processEvents();

    tessary::app::WindowOptions options;
    options.programFolder = tessary::platform::ProgramFolder();
    options.settingsFile = tessary::app::ChooseSettingsFile(
        options.programFolder, tessary::app::UserConfigFolder(),
        [](const std::string& path) { return ::access(path.c_str(), W_OK) == 0; });
    // An installed program's folder cannot be written: the first start then
    // proposes the home folder for images and the system's temporary folder
    // for scratch files instead of a folder where every run would fail.
    if (::access(options.programFolder.c_str(), W_OK) != 0) {
        options.defaultFolder = QDir::homePath().toStdString();
        options.defaultTempFolder = QDir::tempPath().toStdString();
    }
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    options.arguments = arguments;

    tessary::ConversionLog log;
    tessary::app::TfmTessary window(options, log, tessary::app::DesktopServices());
    window.CreateLogWindow();
    splash.hide();
    splash.close();
    window.show();
    return QApplication::exec();
}
