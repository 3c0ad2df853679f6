// The help button: the help viewer program beside the program when it
// exists, otherwise the help page shipped in the program's "help" folder,
// opened in the desktop's browser.
#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace tessary::app {

struct HelpLaunchers {
    // Starts a program without a shell and without waiting; false when it
    // could not be started.
    std::function<bool(const QString& program, const QStringList& arguments, const QString& folder)> start;
    // Opens a page in the desktop's browser; false when nothing opened it.
    std::function<bool(const QUrl& url)> openUrl;
    // Shows a local page in a window of the program's own, for a desktop
    // without a browser.
    std::function<void(const QString& file)> showPage;
};

// The launchers of the desktop (QProcess::startDetached, QDesktopServices,
// ShowHelpWindow).
HelpLaunchers DesktopHelpLaunchers();

// A window of its own with the page (links followed inside it).
void ShowHelpWindow(const QString& file);

// The help viewer program, looked for in the program's folder.
#ifdef _WIN32
inline constexpr const char* kHelpProgramName = "vidirezoz.exe";
#else
inline constexpr const char* kHelpProgramName = "vidirezoz";
#endif

// Opens `topic` in mode `mode` ("h"). Gives an empty text on success, or a
// short text for the status bar when the help could not be shown.
QString ShowHelpTopic(const QString& programFolder, const QString& mode, const QString& topic,
                      const HelpLaunchers& launchers);

}  // namespace tessary::app
