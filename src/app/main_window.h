// TfmTessary: the main window. It lists the images of the source folder,
// holds the folders and options of a conversion, runs the conversion on the
// user-interface thread and is the run's observer: the run reports through
// the status bar, the details list and the preview, and lets window events
// through at its pump points so that Abort, Esc and repaints reach it.
#pragma once

#include <QMainWindow>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/help.h"
#include "app/image_list_sort.h"
#include "app/settings.h"
#include "engine/conversion.h"
#include "engine/conversion_log.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tessary::app {

class TfmLog;

// A folder edit with its browse button.
class FolderEdit : public QWidget {
    Q_OBJECT
public:
    FolderEdit(const QString& name, const QString& dialogTitle, QWidget* parent);
    QLineEdit* Edit() const { return edit_; }
    QString Text() const;
    void SetText(const QString& text);
    const QString& DialogTitle() const { return title_; }

signals:
    void browseRequested();

private:
    QLineEdit* edit_;
    QToolButton* browse_;
    QString title_;
};

// What the window needs from the desktop, replaceable so that tests never
// block on a dialog.
struct WindowServices {
    // The folder picker: the chosen folder, or empty when cancelled.
    std::function<QString(QWidget* parent, const QString& title, const QString& start)> pickFolder;
    // A modal message box with one text.
    std::function<void(QWidget* parent, const QString& text)> message;
    // A modal yes/no question; true for yes.
    std::function<bool(QWidget* parent, const QString& text)> ask;
    // The file picker for an RPX2 file to view: the chosen file, or empty.
    std::function<QString(QWidget* parent, const QString& start)> pickRpx2File;
    // Opens the log window modally.
    std::function<void(TfmLog& log)> showLogModal;
    HelpLaunchers help;
    // Opens the viewer on an RPX2 file; `owner` is the window asking (the
    // log window while it is open), or null.
    std::function<void(const QString& path, QWidget* owner)> openViewer;
};
WindowServices DesktopServices();

struct WindowOptions {
    std::string programFolder;  // without a trailing separator
    std::string settingsFile;   // the tessary.ini to read and write
    QStringList arguments;      // the command-line arguments after the program name
    // First-start folders when they should not be the program's folder (an
    // installed program's folder cannot be written): empty means the
    // program's folder.
    std::string defaultFolder;      // source image and map file folders
    std::string defaultTempFolder;  // temp file folder
    // The folder the program was started from, against which a relative
    // "/fn=" path is read; empty = the working folder when the window is
    // created (before it moves to the program's folder).
    std::string startFolder;
};

class TfmTessary : public QMainWindow, public ConversionObserver, public ConversionDisplay {
    Q_OBJECT
public:
    TfmTessary(const WindowOptions& options, ConversionLog& log, WindowServices services,
               QWidget* parent = nullptr);
    ~TfmTessary() override;

    // The log window, created hidden (start-up creates it after the window).
    void CreateLogWindow();
    TfmLog* LogWindow() const { return fmLog_.get(); }

    // The image list rebuilt from the source image folder and the filter.
    void FillImageList();

    // The folders the edits name: trimmed, ending in a separator (an empty
    // edit names none). The destination's text is as typed ("As Above"
    // replaced by the source folder's trimmed text), as its question shows it.
    FolderPath SourceFolderValue() const;
    std::string DestinationFolderValue() const;
    FolderPath TempFolderValue() const;
    FolderPath MapFolderValue() const;

    // The job the controls describe now.
    ConversionJob BuildJob();

    bool Running() const { return running_; }
    bool AbortRequested() const { return abort_.load(); }
    const SortState& Sort() const { return sort_; }
    const Settings& SettingsFile() const { return settings_; }
    QString StatusText(int slot) const;

    // ConversionObserver and ConversionDisplay, bound to the controls.
    void SetStatus(int slot, std::string_view text) override;
    void PumpEvents() override;
    void AddDetail(std::string_view text) override;
    void ShowMessage(std::string_view text) override;
    // A reader's note: a message box over the active window, as the
    // program's messages outside a run are.
    void Notice(std::string_view text) override;
    void ImageFinished(const ImageResult& result) override;
    void ClearDetails() override;
    void ResetPreview() override;
    void ShowSourcePreview(Timagerecord4& source, int width, int height) override;
    void ShowPicture(const Picture& picture) override;
    void WaitPumping(int milliseconds) override;
    void SetBusy(bool on) override;
    void ShowLogModal() override;
    void MarkLogButton() override;

    // What the window shows of the run in progress: "Image k of N" and the
    // overall bar (images finished of N).
    QString RunProgressText() const;
    int RunProgressValue() const;
    int RunProgressMaximum() const;

    // The controls that a run disables, in the order the run names them.
    std::vector<QWidget*> RunControls() const;

public slots:
    void BitBtn1Click();
    void ListView1ColumnClick(int column);
    void ListView1Click();
    void bSelectAllClick();
    void bSelectNoneClick();
    void cFilterChange(const QString& text);
    void bRefreshClick();
    void bAbortClick();
    void bShowLogClick();
    void bCloseClick();
    void bhelpClick();
    void SpeedButton1Click();
    void DirectoryEdit1Change(const QString& text);
    void cDestFolderChange(const QString& text);
    void cTempFolderChange(const QString& text);
    void cMapFolderChange(const QString& text);
    // A double-click on a row opens an RPX2 file in the viewer.
    void ListView1DblClick(QTreeWidgetItem* item);
    // Files and folders dropped on the window: a folder becomes the source
    // image folder; a file's folder does, and its row is selected.
    void DropPaths(const QStringList& paths);
    // The viewer on a file (through the services).
    void OpenViewer(const QString& path, QWidget* owner = nullptr);
    // "View RPX2 File...": any RPX2 file picked, whatever the source folder.
    void bViewRpx2Click();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void SetLogButtonColour(const QColor& colour);
    void FitColumnsToContents();
    bool OfferDestinationFolder();
    void ReportAbortedRun();
    void UpdateRunProgress();
    void SetTabOrder();
    void SelectRowNamed(const QString& name);
    void BuildControls();
    void LoadSettings();
    void SaveSettings();
    void WriteFolderSetting(const std::string& key, const std::string& value);
    void ApplyCommandLine();
    void SortList();
    void Browse(FolderEdit* edit);
    void SetPreviewImage(const QImage& image, int width, int height);
    static bool RowLess(const QTreeWidgetItem* a, const QTreeWidgetItem* b, int column, int direction,
                        const std::string& separator);

    WindowOptions options_;
    ConversionLog& log_;
    WindowServices services_;
    Settings settings_;
    SortState sort_;
    std::atomic<bool> abort_{false};
    bool running_ = false;
    bool closePending_ = false;
    bool placed_ = false;
    std::unique_ptr<TfmLog> fmLog_;
    std::string startFolder_;
    // The run in progress: ticked images, images finished, and converted.
    int runImages_ = 0;
    int runFinished_ = 0;
    int runConverted_ = 0;
    bool runAborted_ = false;

    // The controls, by their form names, which they also carry as object
    // names (a folder edit's line edit carries it, the edit with its browse
    // button is name + "Panel"): tests find them by those.
    FolderEdit* DirectoryEdit1 = nullptr;
    FolderEdit* cDestFolder = nullptr;
    FolderEdit* cTempFolder = nullptr;
    FolderEdit* cMapFolder = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QToolButton* bRefresh = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* bClose = nullptr;
    QPushButton* bAbort = nullptr;
    QPushButton* bShowLog = nullptr;
    QToolButton* bHelp = nullptr;
    QToolButton* bViewRpx2 = nullptr;
    QComboBox* cFilter = nullptr;
    QCheckBox* cPath = nullptr;
    QCheckBox* cCopy = nullptr;
    QCheckBox* cFinePalette = nullptr;  // the fine palette builder (settings "Fine Palette")
    QPushButton* bSelectNone = nullptr;
    QPushButton* bSelectAll = nullptr;
    QGroupBox* cResize = nullptr;
    QSpinBox* cInitialResize = nullptr;
    QCheckBox* bInitialResize = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QSpinBox* cNumColors = nullptr;
    QCheckBox* bNumColors = nullptr;
    QListWidget* ListBox1 = nullptr;
    QLabel* Image1 = nullptr;
    QTreeWidget* ListView1 = nullptr;
    QLabel* StatusPanels[3] = {nullptr, nullptr, nullptr};
    QLabel* cRunImage = nullptr;
    QProgressBar* cRunProgress = nullptr;
};

}  // namespace tessary::app
