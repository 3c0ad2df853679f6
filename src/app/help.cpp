#include "app/help.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace tessary::app {

HelpLaunchers DesktopHelpLaunchers() {
    HelpLaunchers launchers;
    launchers.start = [](const QString& program, const QStringList& arguments, const QString& folder) {
        return QProcess::startDetached(program, arguments, folder);
    };
    launchers.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    return launchers;
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
    if (!launchers.openUrl(QUrl::fromLocalFile(page.absoluteFilePath())))
        return "No browser for the help: " + page.absoluteFilePath();
    return QString();
}

}  // namespace tessary::app
