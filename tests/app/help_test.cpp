// The help button: the help program beside the program, or the help page.
#include "app/help.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTextBrowser>

#include <QElapsedTimer>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <thread>

#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

TEST(Help, HelpProgramGetsModeAndTopicWithoutWaiting) {
    TempFolder program;
    const std::string record = program.File("arguments.txt");
    // The help program records its arguments, one per line, after a pause
    // the button does not wait for.
    WriteBytes(program.File(kHelpProgramName), "#!/bin/sh\nsleep 1\nfor a in \"$@\"; do echo \"[$a]\"; done > '" +
                                              record + ".tmp'\nmv '" + record + ".tmp' '" + record + "'\n");
    fs::permissions(program.File(kHelpProgramName), fs::perms::owner_all);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(ShowHelpTopic(QString::fromStdString(program.Str()), "h", "introduction.html",
                            DesktopHelpLaunchers()),
              "");
    EXPECT_LT(timer.elapsed(), 900);
    for (int i = 0; i < 100 && !fs::exists(record); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ReadBytes(record), "[h]\n[introduction.html]\n");
    // Other modes do nothing.
    RecordedServices services;
    WindowServices fake = services.Make();
    EXPECT_EQ(ShowHelpTopic(QString::fromStdString(program.Str()), "k", "introduction.html", fake.help), "");
    EXPECT_TRUE(services.openedUrls.empty());
}

TEST(Help, WithoutTheProgramThePageOpensOrTheStatusBarSaysWhy) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    Control<QToolButton>(window, "bHelp")->click();
    EXPECT_TRUE(w.services.openedUrls.empty());
    EXPECT_TRUE(window.StatusText(0).startsWith("Help page not found")) << window.StatusText(0).toStdString();

    fs::create_directories(program.Path() / "help");
    WriteBytes(program.File("help/introduction.html"), "<html></html>");
    Control<QToolButton>(window, "bHelp")->click();
    ASSERT_EQ(w.services.openedUrls.size(), 1u);
    EXPECT_EQ(w.services.openedUrls[0],
              QUrl::fromLocalFile(QString::fromStdString(program.File("help/introduction.html"))));

    // No browser, as on a bare machine: the page opens in a window of the
    // program's own; only without that does the status bar say why.
    w.services.openUrlResult = false;
    window.SetStatus(0, "");
    Control<QToolButton>(window, "bHelp")->click();
    EXPECT_EQ(w.services.helpPages, QStringList({QString::fromStdString(program.File("help/introduction.html"))}));
    EXPECT_EQ(window.StatusText(0), "");

    HelpLaunchers bare;
    bare.openUrl = [](const QUrl&) { return false; };
    EXPECT_TRUE(ShowHelpTopic(QString::fromStdString(program.Str()), "h", "introduction.html", bare)
                    .startsWith("No browser for the help: "));
}

// The program's own help window shows the page itself.
TEST(Help, TheHelpWindowShowsThePage) {
    TempFolder folder;
    WriteBytes(folder.File("page.html"), "<html><body><h1>Zoom keys</h1></body></html>");
    ShowHelpWindow(QString::fromStdString(folder.File("page.html")));
    QTextBrowser* shown = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == "fmHelp" && window->isVisible()) shown = qobject_cast<QTextBrowser*>(window);
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->toPlainText().contains("Zoom keys"));
    shown->close();
}

}  // namespace
}  // namespace tessary::app::testing
