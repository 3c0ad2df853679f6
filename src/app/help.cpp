#include "app/help.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTextBrowser>

#include "app/window_placement.h"

namespace tessary::app {

namespace {

// Whether the desktop has a program for web pages. Where xdg-open would
// fail in the background (no handler for HTML set), the help goes to the
// program's own window instead.
bool DesktopHasBrowser() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    if (!qEnvironmentVariableIsEmpty("BROWSER")) return true;
    if (QStandardPaths::findExecutable("xdg-open").isEmpty()) return false;
    if (QStandardPaths::findExecutable("xdg-mime").isEmpty()) return true;
    QProcess query;
    query.start("xdg-mime", {"query", "default", "text/html"});
    if (!query.waitForFinished(3000)) return true;
    return !query.readAllStandardOutput().trimmed().isEmpty();
#else
    return true;
#endif
}

}  // namespace

HelpLaunchers DesktopHelpLaunchers() {
    HelpLaunchers launchers;
    launchers.start = [](const QString& program, const QStringList& arguments, const QString& folder) {
        return QProcess::startDetached(program, arguments, folder);
    };
    launchers.openUrl = [](const QUrl& url) { return DesktopHasBrowser() && QDesktopServices::openUrl(url); };
    launchers.showPage = ShowHelpWindow;
    return launchers;
}

void ShowHelpWindow(const QString& file) {
    auto* browser = new QTextBrowser();
    browser->setObjectName("fmHelp");
    browser->setAttribute(Qt::WA_DeleteOnClose, true);
    browser->setWindowTitle("Tessary Help");
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl::fromLocalFile(file));
    FitIntoScreen(browser, QSize(760, 640));
    CentreOnScreen(browser);
    browser->show();
}

QString ShowHelpTopic(const QString& programFolder, const QString& mode, const QString& topic,
                      const HelpLaunchers& launchers) {
    const QDir folder(programFolder);
    const QFileInfo viewer(folder.filePath(kHelpProgramName));
    if (viewer.isFile()) {
        if (mode != "h") return QString();
        // The viewer gets the mode and the topic as two arguments; no shell
        // sees the topic, and the program does not wait for the viewer.
        if (!launchers.start(viewer.absoluteFilePath(), {mode, topic}, programFolder))
            return "The help program could not be started";
        return QString();
    }
    const QFileInfo page(folder.filePath("help/" + topic));
    if (!page.isFile()) return "Help page not found: " + page.absoluteFilePath();
    if (launchers.openUrl && launchers.openUrl(QUrl::fromLocalFile(page.absoluteFilePath()))) return QString();
    // No browser: the page in a window of the program's own.
    if (launchers.showPage) {
        launchers.showPage(page.absoluteFilePath());
        return QString();
    }
    return "No browser for the help: " + page.absoluteFilePath();
}

}  // namespace tessary::app
