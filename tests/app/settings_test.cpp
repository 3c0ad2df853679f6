// tessary.ini: the INI form, first start, reading rules, the change handlers
// and the "/fn=" argument.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <cstdlib>

#include "app/ini_file.h"
#include "app_test_support.h"
#include "controls.h"

namespace tessary::app::testing {
namespace {

// Points the viewer lookup at a folder for the length of a test.
class ViewerFolder {
public:
    explicit ViewerFolder(const std::string& folder) { setenv("KARTOVO_HOME", folder.c_str(), 1); }
    ~ViewerFolder() { unsetenv("KARTOVO_HOME"); }
};

TEST(IniFile, WritesWindowsLinesAndKeepsEverythingElse) {
    TempFolder folder;
    const std::string path = folder.File("tessary.ini");
    // A file written on Windows, with another section and a comment.
    WriteBytes(path,
               "[Other]\r\nReSize=1\r\n\r\n[system]\r\n; note\r\nSource Image Folder = C:\\Maps \r\n\r\n");
    EXPECT_EQ(ReadIniString(path, "System", "source image folder", "x"), "C:\\Maps");
    EXPECT_EQ(ReadIniString(path, "System", "ReSize", "default"), "default");
    ASSERT_TRUE(WriteIniString(path, "System", "Source Image Folder", "/data/maps"));
    ASSERT_TRUE(WriteIniString(path, "System", "ReSize", "50"));
    EXPECT_EQ(ReadBytes(path),
              "[Other]\r\nReSize=1\r\n\r\n[system]\r\n; note\r\nSource Image "
              "Folder=/data/maps\r\nReSize=50\r\n\r\n");
    EXPECT_EQ(ReadIniString(path, "Other", "ReSize", ""), "1");

    const std::string fresh = folder.File("new.ini");
    ASSERT_TRUE(WriteIniString(fresh, "System", "Destination Folder", "As Above"));
    EXPECT_EQ(ReadBytes(fresh), "[System]\r\nDestination Folder=As Above\r\n");
    // Files with LF lines read the same.
    WriteBytes(fresh, "[System]\nDo ReColor=1\n");
    EXPECT_EQ(ReadIniString(fresh, "System", "Do ReColor", "0"), "1");
    EXPECT_FALSE(WriteIniString(folder.File("missing/folder.ini"), "System", "a", "b"));
}

TEST(Settings, FirstStartProposesTheProgramFolder) {
    TempFolder program, viewer;
    ViewerFolder noViewer(viewer.Str());  // a viewer folder without kartex.ini
    {
        WindowUnderTest w(program.Str());
        TfmTessary& window = *w.window;
        EXPECT_EQ(Control<QLineEdit>(window, "DirectoryEdit1")->text().toStdString(), program.Str());
        EXPECT_EQ(Control<QLineEdit>(window, "cDestFolder")->text(), "As Above");
        EXPECT_EQ(Control<QLineEdit>(window, "cTempFolder")->text().toStdString(), program.Str());
        EXPECT_EQ(Control<QLineEdit>(window, "cMapFolder")->text().toStdString(), program.Str());
        EXPECT_EQ(Control<QSpinBox>(window, "cInitialResize")->value(), 100);
        EXPECT_EQ(Control<QSpinBox>(window, "cNumColors")->value(), 48);
        EXPECT_FALSE(Control<QCheckBox>(window, "bInitialResize")->isChecked());
        EXPECT_FALSE(Control<QCheckBox>(window, "bNumColors")->isChecked());
        EXPECT_TRUE(Control<QCheckBox>(window, "cCopy")->isChecked());
        EXPECT_TRUE(Control<QCheckBox>(window, "cPath")->isChecked());
        QHeaderView* columns = Control<QTreeWidget>(window, "ListView1")->header();
        EXPECT_EQ(columns->sectionSize(0), 200);
        EXPECT_EQ(columns->sectionSize(3), 85);
        EXPECT_EQ(window.DestinationFolderValue(), program.Str());
        EXPECT_EQ(window.TempFolderValue().Text(), program.Str() + "/");
        Control<QSpinBox>(window, "cNumColors")->setValue(100);
        Control<QCheckBox>(window, "bNumColors")->setChecked(true);
        Control<QCheckBox>(window, "cCopy")->setChecked(false);
        Control<QSpinBox>(window, "cInitialResize")->setValue(50);
        Control<QCheckBox>(window, "bInitialResize")->setChecked(true);
        columns->resizeSection(1, 60);
    }
    // The folders were written as they were set, the options at destruction.
    const std::string path = program.File("tessary.ini");
    const std::string content = ReadBytes(path);
    EXPECT_EQ(content.rfind("[System]\r\nSource Image Folder=" + program.Str() + "\r\n", 0), 0u) << content;
    EXPECT_NE(content.find("\r\nDestination Folder=As Above\r\n"), std::string::npos);
    EXPECT_NE(content.find("\r\nNumber Colors=100\r\nDo ReColor=1\r\nCopy Map File=0\r\n"),
              std::string::npos);
    EXPECT_NE(content.find("\r\nwidth1=60\r\n"), std::string::npos);
    Settings settings(path);
    EXPECT_EQ(settings.ReadSetting("ReSize", ""), "50");
    EXPECT_EQ(settings.ReadSetting("Do Initial Resize", ""), "1");
    EXPECT_EQ(settings.ReadSetting("Include Image Path", ""), "1");

    // The next start shows what was saved.
    WindowUnderTest again(program.Str());
    EXPECT_EQ(Control<QSpinBox>(*again.window, "cNumColors")->value(), 100);
    EXPECT_TRUE(Control<QCheckBox>(*again.window, "bNumColors")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>(*again.window, "cCopy")->isChecked());
    // The resize tick comes back with its value, and the run uses both.
    EXPECT_EQ(Control<QSpinBox>(*again.window, "cInitialResize")->value(), 50);
    EXPECT_TRUE(Control<QCheckBox>(*again.window, "bInitialResize")->isChecked());
    const ConversionJob job = again.window->BuildJob();
    EXPECT_TRUE(job.resizeEnabled);
    EXPECT_EQ(job.resizeValue, 50);
    EXPECT_EQ(Control<QTreeWidget>(*again.window, "ListView1")->header()->sectionSize(1), 60);
}

TEST(Settings, InstalledProgramProposesWritableFolders) {
    TempFolder program, home, temp, viewer;
    ViewerFolder noViewer(viewer.Str());
    WindowOptions options;
    options.defaultFolder = home.Str();
    options.defaultTempFolder = temp.Str();
    WindowUnderTest w(program.Str(), {}, options);
    EXPECT_EQ(Control<QLineEdit>(*w.window, "DirectoryEdit1")->text().toStdString(), home.Str());
    EXPECT_EQ(Control<QLineEdit>(*w.window, "cTempFolder")->text().toStdString(), temp.Str());
    EXPECT_EQ(Control<QLineEdit>(*w.window, "cMapFolder")->text().toStdString(), home.Str());
    EXPECT_EQ(Control<QLineEdit>(*w.window, "cDestFolder")->text(), "As Above");
}

TEST(Settings, ValuesAreReadIntoTheirRanges) {
    TempFolder program;
    WriteBytes(program.File("tessary.ini"),
               "[System]\r\nReSize=5\r\nNumber Colors= 300 \r\nDo ReColor=abc\r\nCopy Map File=2\r\n"
               "Include Image Path=0\r\nwidth0=wide\r\nwidth2=120\r\n");
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    EXPECT_EQ(Control<QSpinBox>(window, "cInitialResize")->value(), 10);
    EXPECT_EQ(Control<QSpinBox>(window, "cNumColors")->value(), 256);
    EXPECT_FALSE(Control<QCheckBox>(window, "bNumColors")->isChecked());  // not an integer: the default
    EXPECT_TRUE(Control<QCheckBox>(window, "cCopy")->isChecked());        // anything but 0 is true
    EXPECT_FALSE(Control<QCheckBox>(window, "cPath")->isChecked());
    const QHeaderView* columns = Control<QTreeWidget>(window, "ListView1")->header();
    EXPECT_EQ(columns->sectionSize(0), 200);
    EXPECT_EQ(columns->sectionSize(2), 120);

    Settings settings(program.File("tessary.ini"));
    settings.WriteSetting("ReSize", "55,5");
    EXPECT_EQ(settings.ReadBoundedNumber("ReSize", "100", 10, 100), 56);  // halves to even
    settings.WriteSetting("ReSize", "54.5");
    EXPECT_EQ(settings.ReadBoundedNumber("ReSize", "100", 10, 100), 54);
    settings.WriteSetting("ReSize", "fifty");
    EXPECT_EQ(settings.ReadBoundedNumber("ReSize", "100", 10, 100), 10);  // not a number reads as 0
}

TEST(Settings, ViewerSettingsGiveTheDefaultMapFolder) {
    TempFolder program, viewer;
    ViewerFolder installed(viewer.Str());
    WriteBytes(viewer.File("kartex.ini"), "[SYSTEM]\r\nMap File Path=D:\\Maps\r\n");
    EXPECT_EQ(FindViewerFolder(), viewer.Str());
    WindowUnderTest w(program.Str());
    EXPECT_EQ(Control<QLineEdit>(*w.window, "cMapFolder")->text(), "D:\\Maps");
}

TEST(Settings, FnArgumentChoosesTheSourceFolder) {
    EXPECT_EQ(FolderFromFnArgument("/fn=D:\\Scans\\chart.tif"), "D:\\Scans");
    EXPECT_EQ(FolderFromFnArgument("/fn=/data/scans/chart.tif"), "/data/scans");
    EXPECT_EQ(FolderFromFnArgument("/fn=/chart.tif"), "/");
    EXPECT_EQ(FolderFromFnArgument("/fn=/maps/x:1.tif"), "/maps");  // a colon is part of a name here
    EXPECT_EQ(FolderFromFnArgument("-fn=/data/x.tif"), "");
    EXPECT_EQ(FolderFromFnArgument(" "), "");

    TempFolder program, scans;
    WritePng(scans.File("chart.png"), 20, 10, false);
    WindowUnderTest w(program.Str(),
                      {QString::fromStdString("/fn=" + scans.Str() + "/chart.png"), "ignored"});
    EXPECT_EQ(Control<QLineEdit>(*w.window, "DirectoryEdit1")->text().toStdString(), scans.Str());
    const QTreeWidget* list = Control<QTreeWidget>(*w.window, "ListView1");
    ASSERT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "chart.png");
    Settings settings(program.File("tessary.ini"));
    EXPECT_EQ(settings.ReadSetting("Source Image Folder", ""), scans.Str());
}

// The README's start command, "tessary /fn=examples/lake_varn.png" from the
// project folder: the relative path is read against the folder the program
// was started from, the absolute folder is shown and saved, and the file
// is selected (and so ticked).
TEST(Settings, ARelativeFnPathIsReadFromTheStartFolder) {
    TempFolder program;
    WindowOptions options;
    options.startFolder = fs::path(TESSARY_EXAMPLES).parent_path().string();
    WindowUnderTest w(program.Str(), {"/fn=examples/lake_varn.png"}, options);
    const std::string examples = fs::canonical(TESSARY_EXAMPLES).string();
    EXPECT_EQ(Control<QLineEdit>(*w.window, "DirectoryEdit1")->text().toStdString(), examples);
    EXPECT_EQ(Settings(program.File("tessary.ini")).ReadSetting("Source Image Folder", ""), examples);
    const QTreeWidget* list = Control<QTreeWidget>(*w.window, "ListView1");
    ASSERT_GT(list->topLevelItemCount(), 1);
    QStringList selected, ticked;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        if (item->isSelected()) selected << item->text(0);
        if (item->checkState(0) == Qt::Checked) ticked << item->text(0);
    }
    EXPECT_EQ(selected, QStringList({"lake_varn.png"}));
    EXPECT_EQ(ticked, QStringList({"lake_varn.png"}));

    // A bare name is a file in the start folder.
    WindowOptions inExamples;
    inExamples.startFolder = examples;
    WindowUnderTest bare(program.Str(), {"/fn=lake_varn.png"}, inExamples);
    EXPECT_EQ(Control<QLineEdit>(*bare.window, "DirectoryEdit1")->text().toStdString(), examples);
}

TEST(Settings, DestinationFollowsTheSourceWhenAsAbove) {
    TempFolder program, source, elsewhere;
    WriteBytes(program.File("tessary.ini"), "[System]\r\nSource Image Folder=" + source.Str() +
                                                "\r\nDestination Folder=" + elsewhere.Str() + "\r\n");
    WindowUnderTest w(program.Str());
    TfmTessary& window = *w.window;
    Settings settings(program.File("tessary.ini"));
    EXPECT_EQ(window.DestinationFolderValue(), elsewhere.Str());

    QTest::mouseClick(Control<QToolButton>(window, "SpeedButton1"), Qt::LeftButton);
    EXPECT_EQ(Control<QLineEdit>(window, "cDestFolder")->text(), "As Above");
    EXPECT_EQ(settings.ReadSetting("Destination Folder", ""), "As Above");
    EXPECT_EQ(window.DestinationFolderValue(), source.Str());

    // Typing it by hand does the same; every keystroke is written.
    QLineEdit* destination = Control<QLineEdit>(window, "cDestFolder");
    destination->setText("");
    QTest::keyClicks(destination, "as abov");
    EXPECT_EQ(settings.ReadSetting("Destination Folder", ""), "as abov");
    EXPECT_EQ(window.DestinationFolderValue(), "as abov");
    QTest::keyClicks(destination, "e");
    EXPECT_EQ(window.DestinationFolderValue(), source.Str());

    // Typing the source folder rewrites it after every character; the list
    // fills once the text names a folder.
    WritePng(source.File("map.png"), 8, 8, false);
    QLineEdit* sourceFolder = Control<QLineEdit>(window, "DirectoryEdit1");
    QTreeWidget* list = Control<QTreeWidget>(window, "ListView1");
    sourceFolder->setText("");
    QTest::keyClicks(sourceFolder, QString::fromStdString(source.Str()));
    EXPECT_EQ(settings.ReadSetting("Source Image Folder", ""), source.Str());
    EXPECT_EQ(list->topLevelItemCount(), 1);
    EXPECT_EQ(window.DestinationFolderValue(), source.Str());
    QTest::keyClick(sourceFolder, Qt::Key_Backspace);
    EXPECT_EQ(settings.ReadSetting("Source Image Folder", ""),
              source.Str().substr(0, source.Str().size() - 1));
    EXPECT_EQ(list->topLevelItemCount(), 0);
}

TEST(Settings, BrowseButtonsUseThePickerWithTheirTitles) {
    TempFolder program, picked;
    WindowUnderTest w(program.Str());
    w.services.pickedFolder = QString::fromStdString(picked.Str());
    Control<QToolButton>(*w.window, "cTempFolderBrowse")->click();
    EXPECT_EQ(w.services.pickerTitles, QStringList({"Select Temp File Folder"}));
    EXPECT_EQ(Control<QLineEdit>(*w.window, "cTempFolder")->text().toStdString(), picked.Str());
    EXPECT_EQ(Settings(program.File("tessary.ini")).ReadSetting("Temp Folder", ""), picked.Str());
    // A cancelled picker changes nothing.
    w.services.pickedFolder.clear();
    Control<QToolButton>(*w.window, "cMapFolderBrowse")->click();
    EXPECT_EQ(w.services.pickerTitles.back(), "Select Map File Path");
    EXPECT_EQ(Control<QLineEdit>(*w.window, "cMapFolder")->text().toStdString(), program.Str());
}

TEST(Settings, AFailedWriteIsShownInTheStatusBar) {
    TempFolder program;
    WindowUnderTest w(program.Str());
    // The settings file turned into a folder: nothing can replace it.
    fs::remove(program.File("tessary.ini"));
    fs::create_directories(program.Path() / "tessary.ini");
    Control<QLineEdit>(*w.window, "cTempFolder")->setText("/tmp");
    EXPECT_TRUE(w.window->StatusText(0).startsWith("Settings could not be saved in "));
}

TEST(Settings, UnwritableProgramFolderKeepsSettingsWithTheUser) {
    TempFolder program, home;
    const std::string user = (home.Path() / "tessary").string();
    auto readOnly = [](const std::string&) { return false; };
    auto writable = [](const std::string&) { return true; };
    EXPECT_EQ(ChooseSettingsFile(program.Str(), user, writable), program.File("tessary.ini"));

    // Nothing beside the program: a fresh file in the user's folder.
    EXPECT_EQ(ChooseSettingsFile(program.Str(), user, readOnly), user + "/tessary.ini");
    EXPECT_TRUE(fs::is_directory(user));
    EXPECT_FALSE(fs::exists(user + "/tessary.ini"));

    // Installed settings beside the program are the starting point once.
    fs::remove_all(user);
    WriteBytes(program.File("tessary.ini"), "[System]\r\nReSize=50\r\n");
    const std::string chosen = ChooseSettingsFile(program.Str(), user, readOnly);
    ASSERT_EQ(chosen, user + "/tessary.ini");
    Settings settings(chosen);
    EXPECT_EQ(settings.ReadSetting("ReSize", ""), "50");
    settings.WriteSetting("ReSize", "70");
    EXPECT_FALSE(settings.LastWriteFailed());
    EXPECT_EQ(ChooseSettingsFile(program.Str(), user, readOnly), chosen);
    EXPECT_EQ(Settings(chosen).ReadSetting("ReSize", ""), "70");
    EXPECT_EQ(ReadIniString(program.File("tessary.ini"), "System", "ReSize", ""), "50");
}

}  // namespace
}  // namespace tessary::app::testing
