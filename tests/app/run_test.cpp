// Runs from the window: the controls of the job disabled for the run and
// enabled again however it ends, Esc and Abort, a close request during a run.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app_test_support.h"
#include "common/platform.h"
#include "controls.h"
#include "sources/ecw_reader.h"

namespace tessary::app::testing {
namespace {

class RunTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"hollow_ridge.tif", "hollow_ridge.map", "lake_varn.png", "lake_varn.map"})
            fs::copy_file(fs::path(TESSARY_EXAMPLES) / name, source.Path() / name);
        WriteBytes(program.File("tessary.ini"), "[System]\r\nSource Image Folder=" + source.Str() +
                                                    "\r\nDestination Folder=" + output.Str() +
                                                    "\r\nTemp Folder=" + scratch.Str() + "\r\n");
    }
    // Runs `during` from the event processing of the run, once, after `delay`.
    void RunWith(TfmTessary& window, int delay, std::function<void()> during) {
        bool called = false;
        QTimer::singleShot(delay, &window, [&] {
            called = true;
            during();
        });
        QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
        EXPECT_TRUE(called) << "the run did not let window events through";
    }
    TempFolder program, source, output, scratch;
};

TEST_F(RunTest, TheNineteenControlsNamedForARun) {
    TempFolder folder;
    WindowUnderTest w(folder.Str());
    TfmTessary& window = *w.window;
    QStringList names;
    for (QWidget* control : window.RunControls()) names << control->objectName();
    names.sort();
    EXPECT_EQ(names, QStringList({"BitBtn1", "DirectoryEdit1Panel", "ListView1", "SpeedButton1", "bClose",
                                  "bInitialResize", "bNumColors", "bRefresh", "bSelectAll", "bSelectNone",
                                  "bShowLog", "cCopy", "cDestFolderPanel", "cFilter", "cInitialResize",
                                  "cMapFolderPanel", "cNumColors", "cPath", "cTempFolderPanel"}));
}

TEST_F(RunTest, AReadersNotesAreMessageBoxesOverTheWindow) {
    // Without the ECW library the open of an ECW file notes that twice (the
    // whole picture, then the view); the window shows each as a box, and the
    // other images convert.
    fs::copy_file(source.Path() / "hollow_ridge.tif", source.Path() / "ridge.ecw");
    const std::string savedFolder = platform::ProgramFolder();
    platform::SetProgramFolder(program.Str());
    platform::RecordingMessageSink boxes;
    {
        platform::ScopedMessageSink scoped(&boxes);
        WindowUnderTest w(program.Str());
        TfmTessary& window = *w.window;
        ASSERT_EQ(Control<QTreeWidget>(window, "ListView1")->topLevelItemCount(), 3);
        Control<QPushButton>(window, "bSelectAll")->click();
        QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
        EXPECT_TRUE(w.services.messages.isEmpty()) << "a note is not a message about the run";
        EXPECT_TRUE(fs::exists(output.Path() / "lake_varn.rpx2"));
    }
    platform::SetProgramFolder(savedFolder);
    EXPECT_EQ(boxes.messages, std::vector<std::string>(2, std::string(kEcwLibraryMissingMessage)));
}

struct ControlStates {
    std::vector<bool> enabled;
    bool abortEnabled = false, helpEnabled = false;
    Qt::CursorShape listCursor = Qt::ArrowCursor;
};

ControlStates Capture(TfmTessary& window) {
    ControlStates states;
    for (QWidget* control : window.RunControls()) states.enabled.push_back(control->isEnabled());
    states.abortEnabled = Control<QPushButton>(window, "bAbort")->isEnabled();
    states.helpEnabled = Control<QToolButton>(window, "bHelp")->isEnabled();
    states.listCursor = Control<QTreeWidget>(window, "ListView1")->cursor().shape();
    return states;
}

TEST_F(RunTest, ARunDisablesTheControlsAndEnablesThemAgain) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    ASSERT_EQ(Control<QTreeWidget>(window, "ListView1")->topLevelItemCount(), 2);
    Control<QPushButton>(window, "bSelectAll")->click();
    ControlStates during;
    RunWith(window, 50, [&] { during = Capture(window); });
    EXPECT_EQ(during.enabled, std::vector<bool>(19, false));
    EXPECT_TRUE(during.abortEnabled);
    EXPECT_TRUE(during.helpEnabled);
    EXPECT_EQ(during.listCursor, Qt::WaitCursor);

    ControlStates after = Capture(window);
    EXPECT_EQ(after.enabled, std::vector<bool>(19, true));
    EXPECT_EQ(after.listCursor, Qt::ArrowCursor);
    EXPECT_TRUE(fs::exists(output.Path() / "hollow_ridge.rpx2"));
    EXPECT_TRUE(fs::exists(output.Path() / "lake_varn.rpx2"));
    ASSERT_GT(w.log.Count(), 0u);
    EXPECT_EQ(w.log.Lines().back(), "z\t2 Image File(s) Processed");
    EXPECT_EQ(w.services.logShown, 0);
    EXPECT_EQ(Control<QPushButton>(window, "bShowLog")->palette().color(QPalette::ButtonText),
              QColor(Qt::red));
    EXPECT_EQ(window.StatusText(0), "Completed");
    EXPECT_TRUE(w.services.messages.isEmpty()) << w.services.messages.join("; ").toStdString();
}

TEST_F(RunTest, EscAbortsTheRunAndTheRemainingImagesAreSkipped) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    window.activateWindow();
    Control<QPushButton>(window, "bSelectAll")->click();
    // Esc before a run has no visible effect; the run clears the flag.
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_TRUE(window.AbortRequested());
    RunWith(window, 50, [&] { QTest::keyClick(Control<QPushButton>(window, "bAbort"), Qt::Key_Escape); });
    const auto& lines = w.log.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "o\t   Aborted by user"), lines.end());
    // The driver's summary stands as it is; one more line and the status
    // bar say that the run was aborted and what it had converted.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "z\t1 Image File(s) Processed");
    EXPECT_EQ(lines.back(), "x\tRun aborted by user - 0 of 2 Image File(s) converted");
    EXPECT_EQ(window.StatusText(0), "Aborted - 0 of 2 Image File(s) converted");
    EXPECT_FALSE(fs::exists(output.Path() / "hollow_ridge.rpx2"));
    EXPECT_FALSE(fs::exists(output.Path() / "lake_varn.rpx2"));
    EXPECT_EQ(Capture(window).enabled, std::vector<bool>(19, true));
}

// Abort in the second image: the first one counts as converted. During the
// run the window shows image k of N with an overall bar; the "Show Log"
// button is disabled and looks it, its unread mark cleared with the log.
TEST_F(RunTest, TheRunShowsImageKOfNAndAnAbortSaysWhatWasConverted) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    Control<QPushButton>(window, "bSelectAll")->click();
    window.MarkLogButton();
    QPushButton* showLog = Control<QPushButton>(window, "bShowLog");
    QStringList seen;
    std::vector<std::pair<int, int>> bars;
    QColor captionDuring, disabledCaption;
    QTimer watch;
    watch.setInterval(2);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!window.Running()) return;
        if (!seen.contains(window.RunProgressText())) {
            seen << window.RunProgressText();
            bars.emplace_back(window.RunProgressValue(), window.RunProgressMaximum());
        }
        captionDuring = showLog->palette().color(QPalette::Active, QPalette::ButtonText);
        disabledCaption = showLog->palette().color(QPalette::Disabled, QPalette::ButtonText);
        // In the second image: abort.
        if (window.RunProgressText() == "Image 2 of 2") window.bAbortClick();
    });
    watch.start();
    QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
    watch.stop();
    EXPECT_EQ(seen, QStringList({"Image 1 of 2", "Image 2 of 2"}));
    EXPECT_EQ(bars, (std::vector<std::pair<int, int>>{{0, 2}, {1, 2}}));
    EXPECT_EQ(captionDuring, QColor(Qt::black)) << "the run cleared the log and its unread mark";
    EXPECT_NE(disabledCaption, QColor(Qt::black)) << "disabled, the caption is the style's grey";
    EXPECT_EQ(w.log.Lines().back(), "x\tRun aborted by user - 1 of 2 Image File(s) converted");
    EXPECT_EQ(window.StatusText(0), "Aborted - 1 of 2 Image File(s) converted");
    EXPECT_TRUE(fs::exists(output.Path() / "hollow_ridge.rpx2"));
    EXPECT_FALSE(fs::exists(output.Path() / "lake_varn.rpx2"));
    EXPECT_FALSE(Control<QWidget>(window, "cRunProgress")->isVisible()) << "the bar is for the run only";
}

// A destination folder that does not exist is offered to be made; declined,
// the run reports it as not valid.
TEST_F(RunTest, AMissingDestinationFolderIsOfferedToBeMade) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    Control<QPushButton>(window, "bSelectAll")->click();
    const fs::path made = output.Path() / "new" / "maps";
    Control<QLineEdit>(window, "cDestFolder")->setText(QString::fromStdString(made.string()));
    w.services.answer = false;
    Control<QPushButton>(window, "BitBtn1")->click();
    ASSERT_EQ(w.services.questions.size(), 1);
    EXPECT_TRUE(w.services.questions[0].contains(QString::fromStdString(made.string())));
    EXPECT_EQ(w.services.messages, QStringList({"Destination Folder is not valid"}));
    EXPECT_FALSE(fs::exists(made));

    w.services.answer = true;
    Control<QPushButton>(window, "BitBtn1")->click();
    EXPECT_TRUE(fs::exists(made / "hollow_ridge.rpx2"));
    EXPECT_TRUE(fs::exists(made / "lake_varn.rpx2"));
    EXPECT_EQ(w.services.questions.size(), 2);
}

// Spaces typed around the source folder are no part of it: the list shows
// its images and the run converts them and finds their calibration files.
TEST_F(RunTest, ASourceFolderTypedWithSpacesAroundItConverts) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    Control<QLineEdit>(window, "DirectoryEdit1")->setText(QString::fromStdString("  " + source.Str() + "  "));
    Control<QPushButton>(window, "bSelectAll")->click();
    Control<QPushButton>(window, "BitBtn1")->click();
    EXPECT_TRUE(w.services.messages.isEmpty()) << w.services.messages.join("; ").toStdString();
    for (const char* name : {"hollow_ridge", "lake_varn"}) {
        EXPECT_TRUE(fs::exists(output.Path() / (std::string(name) + ".rpx2"))) << name;
        EXPECT_TRUE(fs::exists(output.Path() / (std::string(name) + "_rpx.map"))) << name;
    }
}

TEST_F(RunTest, FolderErrorsEnableTheControlsAndACloseWaitsForTheRun) {
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    window.show();
    Control<QPushButton>(window, "bSelectAll")->click();
    QLineEdit* tempFolder = Control<QLineEdit>(window, "cTempFolder");
    tempFolder->setText(QString::fromStdString((scratch.Path() / "missing").string()));
    QTest::mouseClick(Control<QPushButton>(window, "BitBtn1"), Qt::LeftButton);
    EXPECT_EQ(w.services.messages, QStringList({"Temp File Folder is not valid"}));
    EXPECT_EQ(Capture(window).enabled, std::vector<bool>(19, true));

    tempFolder->setText(QString::fromStdString(scratch.Str()));
    // A close during a run asks whether to abort it. No: the run goes on to
    // its end and the window stays.
    w.services.answer = false;
    bool visibleAfterClose = false;
    RunWith(window, 50, [&] {
        window.close();
        visibleAfterClose = window.isVisible();
    });
    EXPECT_TRUE(visibleAfterClose);
    ASSERT_EQ(w.services.questions, QStringList({"A conversion is running. Abort it and close the window?"}));
    EXPECT_TRUE(fs::exists(output.Path() / "lake_varn.rpx2"));  // the run went on to its end
    QTest::qWait(50);
    EXPECT_TRUE(window.isVisible());
    // After the run the focus is back on the list.
    EXPECT_EQ(window.focusWidget(), Control<QTreeWidget>(window, "ListView1"));

    // Yes: the run stops at once, and the window closes when it has.
    fs::remove(output.Path() / "lake_varn.rpx2");
    fs::remove(output.Path() / "hollow_ridge.rpx2");
    w.services.answer = true;
    RunWith(window, 50, [&] {
        window.close();
        visibleAfterClose = window.isVisible();
    });
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_EQ(w.services.questions.size(), 2);
    EXPECT_FALSE(fs::exists(output.Path() / "hollow_ridge.rpx2"));
    EXPECT_FALSE(fs::exists(output.Path() / "lake_varn.rpx2"));
    EXPECT_TRUE(w.log.Lines().back().rfind("x\tRun aborted by user", 0) == 0);
    QTest::qWait(50);
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace tessary::app::testing
