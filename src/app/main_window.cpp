#include "app/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QEventLoop>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/log_window.h"
#include "app/picture_image.h"
#include "app/rpx2_viewer.h"
#include "app/window_placement.h"
#include "common/platform.h"
#include "common/text.h"
#include "engine/image_list.h"
#include "sources/source_notes.h"

namespace tessary::app {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}
std::string S(const QString& text) {
    return text.toUtf8().toStdString();
}

constexpr int kColumnWidths[kImageColumnCount] = {200, 45, 80, 85, 55, 55};
const char* const kColumnTitles[kImageColumnCount] = {"Name",     "Type",  "Disk Size",
                                                      "Mem Size", "Width", "Height"};
const char* const kErrorOpeningImage = "Error Opening Image";
// The captions with their keyboard mnemonics (Alt + the underlined letter);
// what they show is the caption itself.
const char* const kFolderMnemonics[4] = {"&Source Image Folder", "&Destination Folder", "&Temp File Folder",
                                         "Map File Pat&h"};

// Return and Enter press the focused button as Space does.
bool IsReturnKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<const QKeyEvent*>(event);
    return (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
           !(key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier));
}

// The spin boxes' colours are a cue to tell them apart. A style sheet
// colour holds in every state, so the disabled state gets its own: the same
// colour washed out towards grey, with grey text.
QString SpinBoxStyle(const QColor& colour) {
    const QColor washed((colour.red() + 2 * 200) / 3, (colour.green() + 2 * 200) / 3,
                        (colour.blue() + 2 * 200) / 3);
    return QString("QSpinBox { background: %1; color: black; }"
                   " QSpinBox:disabled { background: %2; color: rgb(128, 128, 128); }")
        .arg(colour.name(), washed.name());
}

}  // namespace

// ---------------------------------------------------------------------------
// FolderEdit

FolderEdit::FolderEdit(const QString& name, const QString& dialogTitle, QWidget* parent)
    : QWidget(parent), title_(dialogTitle) {
    setObjectName(name + "Panel");
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    edit_ = new QLineEdit(this);
    edit_->setObjectName(name);
    browse_ = new QToolButton(this);
    browse_->setObjectName(name + "Browse");
    browse_->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    browse_->setToolTip(dialogTitle);
    layout->addWidget(edit_, 1);
    layout->addWidget(browse_);
    connect(browse_, &QToolButton::clicked, this, &FolderEdit::browseRequested);
}

QString FolderEdit::Text() const {
    return edit_->text();
}

void FolderEdit::SetText(const QString& text) {
    // QLineEdit reports a change only when the text differs, as the handlers
    // expect.
    edit_->setText(text);
}

// ---------------------------------------------------------------------------
// Services of the desktop

WindowServices DesktopServices() {
    WindowServices services;
    services.pickFolder = [](QWidget* parent, const QString& title, const QString& start) {
        return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
    };
    services.message = [](QWidget* parent, const QString& text) {
        QMessageBox::information(parent, "tessary", text);
    };
    services.ask = [](QWidget* parent, const QString& text) {
        return QMessageBox::question(parent, "tessary", text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    services.pickRpx2File = [](QWidget* parent, const QString& start) {
        return PickRpx2File(parent, start);
    };
    services.showLogModal = [](TfmLog& log) { log.exec(); };
    services.help = DesktopHelpLaunchers();
    services.openViewer = [](const QString& path, QWidget* owner) { OpenViewerWindow(path, owner); };
    return services;
}

// ---------------------------------------------------------------------------
// Creation

TfmTessary::TfmTessary(const WindowOptions& options, ConversionLog& log, WindowServices services,
                       QWidget* parent)
    : QMainWindow(parent),
      options_(options),
      log_(log),
      services_(std::move(services)),
      settings_(options.settingsFile),
      startFolder_(options.startFolder.empty() ? QDir::currentPath().toStdString() : options.startFolder) {
    setObjectName("fmTessary");
    setWindowTitle("Image to RPX2 Conversion (Version 2.07)");
    BuildControls();
    setAcceptDrops(true);
    CentreOnScreen(this);
    qApp->installEventFilter(this);
    LoadSettings();
}

TfmTessary::~TfmTessary() {
    qApp->removeEventFilter(this);
    SaveSettings();
}

void TfmTessary::CreateLogWindow() {
    if (fmLog_) return;
    fmLog_ = std::make_unique<TfmLog>(log_, this);
    // The log window is modal: the viewer it opens belongs to it, so that
    // the viewer takes input while the log is open.
    fmLog_->SetViewerOpener([this](const QString& path) { OpenViewer(path, fmLog_.get()); });
}

void TfmTessary::BuildControls() {
    auto* central = new QWidget(this);
    central->setObjectName("Panel1");
    setCentralWidget(central);
    auto* outer = new QVBoxLayout(central);
    outer->setContentsMargins(6, 6, 6, 2);
    outer->setSpacing(6);

    // Top strip: the four folders on the left, the run buttons and the map
    // options on the right.
    auto* top = new QHBoxLayout();
    top->setSpacing(10);
    outer->addLayout(top);

    auto* folders = new QGridLayout();
    folders->setHorizontalSpacing(4);
    folders->setVerticalSpacing(3);
    top->addLayout(folders, 1);
    DirectoryEdit1 = new FolderEdit("DirectoryEdit1", "Select Source Image Folder", central);
    cDestFolder = new FolderEdit("cDestFolder", "Select Destination Folder", central);
    cTempFolder = new FolderEdit("cTempFolder", "Select Temp File Folder", central);
    cMapFolder = new FolderEdit("cMapFolder", "Select Map File Path", central);
    SpeedButton1 = new QToolButton(central);
    SpeedButton1->setObjectName("SpeedButton1");
    SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_ArrowUp));
    SpeedButton1->setToolTip("Make the same as the Source Image Folder");
    const char* folderLabels[4] = {"Source Image Folder", "Destination Folder", "Temp File Folder",
                                   "Map File Path"};
    FolderEdit* folderEdits[4] = {DirectoryEdit1, cDestFolder, cTempFolder, cMapFolder};
    for (int row = 0; row < 4; ++row) {
        auto* label = new QLabel(folderLabels[row], central);
        label->setText(kFolderMnemonics[row]);
        label->setBuddy(folderEdits[row]->Edit());
        folders->addWidget(label, row, 0);
        folders->addWidget(folderEdits[row], row, 2);
        folderEdits[row]->setMinimumWidth(220);
        connect(folderEdits[row], &FolderEdit::browseRequested, this,
                [this, edit = folderEdits[row]] { Browse(edit); });
    }
    folders->addWidget(SpeedButton1, 1, 1);

    auto* actions = new QGridLayout();
    actions->setHorizontalSpacing(4);
    actions->setVerticalSpacing(3);
    top->addLayout(actions);
    BitBtn1 = new QPushButton("&Process Image Files to RPX2 Files", central);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setToolTip("Process all the selected image files to RPX2 files");
    BitBtn1->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    bHelp = new QToolButton(central);
    bHelp->setObjectName("bHelp");
    bHelp->setText("?");
    QFont helpFont = bHelp->font();
    helpFont.setBold(true);
    bHelp->setFont(helpFont);
    bAbort = new QPushButton("A&bort", central);
    bAbort->setObjectName("bAbort");
    bAbort->setToolTip("Abort the Conversion Process\nPressing the Esc Key also Aborts");
    bShowLog = new QPushButton("Show &Log", central);
    bShowLog->setObjectName("bShowLog");
    bShowLog->setToolTip("Show the Conversion Log");
    bClose = new QPushButton("&Close", central);
    bClose->setObjectName("bClose");
    cPath = new QCheckBox("&Include Image Path", central);
    cPath->setObjectName("cPath");
    cPath->setToolTip("Include the full path to the RPX2 file in the Map file");
    cPath->setChecked(true);
    cCopy = new QCheckBox("&Make a Copy of the Map File", central);
    cCopy->setObjectName("cCopy");
    cCopy->setToolTip(
        "Make a copy of the Map file (.map) which references the RPX2 image\n"
        "This copy of the map file is always placed with the RPX2 image\n"
        "Note : the map file must already exist - tessary cannot create map files");
    cCopy->setChecked(true);
    cFinePalette = new QCheckBox("Fine Palette", central);
    cFinePalette->setObjectName("cFinePalette");
    cFinePalette->setToolTip(
        "Choose each level's colours from all its pixels (closer colours, rare colours kept,\n"
        "all 256 colours in the zoom levels); slower, larger files.\n"
        "Off: the standard palette, the same files as always");
    actions->addWidget(BitBtn1, 0, 0, 1, 3);
    actions->addWidget(bHelp, 0, 3);
    actions->addWidget(bAbort, 1, 0);
    actions->addWidget(bShowLog, 1, 1);
    actions->addWidget(bClose, 1, 2);
    actions->addWidget(cPath, 2, 0, 1, 4);
    actions->addWidget(cCopy, 3, 0, 1, 4);
    actions->addWidget(cFinePalette, 4, 0, 1, 4);

    // Body: the options, details and preview on the left, the list on the right.
    auto* body = new QHBoxLayout();
    body->setSpacing(6);
    outer->addLayout(body, 1);

    auto* left = new QVBoxLayout();
    left->setSpacing(4);
    auto* leftPanel = new QWidget(central);
    leftPanel->setObjectName("Panel2");
    leftPanel->setFixedWidth(146);
    leftPanel->setLayout(left);
    left->setContentsMargins(0, 0, 0, 0);
    body->addWidget(leftPanel);

    cResize = new QGroupBox(" Initial Resize (%) ", leftPanel);
    cResize->setObjectName("cResize");
    cResize->setToolTip("Resize the Image to the specified Resize % before converting to the Rpx2 format");
    cInitialResize = new QSpinBox(cResize);
    cInitialResize->setObjectName("cInitialResize");
    cInitialResize->setRange(10, 100);
    cInitialResize->setValue(100);
    cInitialResize->setToolTip("Initial image size as % of the original");
    cInitialResize->setStyleSheet(SpinBoxStyle(QColor(255, 255, 0)));
    bInitialResize = new QCheckBox(cResize);
    bInitialResize->setObjectName("bInitialResize");
    bInitialResize->setToolTip("Do the Initial Resize");
    auto* resizeRow = new QHBoxLayout(cResize);
    resizeRow->setContentsMargins(8, 2, 8, 4);
    resizeRow->addWidget(cInitialResize, 1);
    resizeRow->addWidget(bInitialResize);
    left->addWidget(cResize);

    GroupBox1 = new QGroupBox(" Number Colors ", leftPanel);
    GroupBox1->setObjectName("GroupBox1");
    cNumColors = new QSpinBox(GroupBox1);
    cNumColors->setObjectName("cNumColors");
    cNumColors->setRange(8, 256);
    cNumColors->setValue(256);
    cNumColors->setToolTip("Number of Colors to use in the RPX2 file");
    cNumColors->setStyleSheet(SpinBoxStyle(QColor(0, 255, 0)));
    bNumColors = new QCheckBox(GroupBox1);
    bNumColors->setObjectName("bNumColors");
    bNumColors->setToolTip("Change the Number of Colors");
    auto* coloursRow = new QHBoxLayout(GroupBox1);
    coloursRow->setContentsMargins(8, 2, 8, 4);
    coloursRow->addWidget(cNumColors, 1);
    coloursRow->addWidget(bNumColors);
    left->addWidget(GroupBox1);

    ListBox1 = new QListWidget(leftPanel);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setFixedSize(146, 96);
    ListBox1->addItem("Image Details");
    // It only shows the details of the image at work: no tab stop.
    ListBox1->setFocusPolicy(Qt::NoFocus);
    left->addWidget(ListBox1);

    Image1 = new QLabel(leftPanel);
    Image1->setObjectName("Image1");
    Image1->setScaledContents(true);
    Image1->setFixedSize(130, 130);
    left->addWidget(Image1, 0, Qt::AlignHCenter | Qt::AlignTop);
    left->addStretch(1);

    auto* right = new QVBoxLayout();
    right->setSpacing(4);
    body->addLayout(right, 1);
    auto* listBar = new QHBoxLayout();
    listBar->setSpacing(4);
    right->addLayout(listBar);
    bRefresh = new QToolButton(central);
    bRefresh->setObjectName("bRefresh");
    bRefresh->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    bRefresh->setToolTip("Refresh the Image List");
    auto* filterLabel = new QLabel("Filte&r", central);
    cFilter = new QComboBox(central);
    cFilter->setObjectName("cFilter");
    cFilter->setEditable(true);
    cFilter->setInsertPolicy(QComboBox::NoInsert);
    cFilter->setMaxVisibleItems(20);
    cFilter->addItems({"All Images", "bmp", "ecw", "gif", "hdr", "jpg", "kap", "nos", "rpx", "rpx2", "png",
                       "rml", "sid", "tif"});
    // The formats read through GDAL.
    cFilter->addItems({"jp2", "j2k", "pdf", "webp", "ntf", "nitf", "img", "heic", "heif"});
    cFilter->lineEdit()->setMaxLength(10);
    cFilter->setCurrentIndex(0);
    cFilter->setMinimumContentsLength(10);
    filterLabel->setBuddy(cFilter);
    auto* selectLabel = new QLabel("Select", central);
    bSelectNone = new QPushButton("&None", central);
    bSelectNone->setObjectName("bSelectNone");
    bSelectNone->setToolTip("Unselect all the Images in the List");
    bSelectAll = new QPushButton("&All", central);
    bSelectAll->setObjectName("bSelectAll");
    bSelectAll->setToolTip("Select all the Images in the List");
    bViewRpx2 = new QToolButton(central);
    bViewRpx2->setObjectName("bViewRpx2");
    bViewRpx2->setText("&View RPX2 File...");
    bViewRpx2->setToolTip("Open any RPX2 file in the viewer (Ctrl+O)");
    listBar->addWidget(bRefresh);
    listBar->addSpacing(6);
    listBar->addWidget(filterLabel);
    listBar->addWidget(cFilter);
    listBar->addStretch(1);
    listBar->addWidget(bViewRpx2);
    listBar->addSpacing(6);
    listBar->addWidget(selectLabel);
    listBar->addWidget(bSelectNone);
    listBar->addWidget(bSelectAll);

    ListView1 = new QTreeWidget(central);
    ListView1->setObjectName("ListView1");
    ListView1->setColumnCount(kImageColumnCount);
    QStringList titles;
    for (const char* title : kColumnTitles) titles << title;
    ListView1->setHeaderLabels(titles);
    for (int c = 0; c < kImageColumnCount; ++c) ListView1->header()->resizeSection(c, kColumnWidths[c]);
    ListView1->header()->setStretchLastSection(false);
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    // The list sorts itself by its own rules; turning Qt's sorting off also
    // makes the headers unclickable, so they are made clickable after it.
    ListView1->setSortingEnabled(false);
    ListView1->header()->setSectionsClickable(true);
    ListView1->header()->setSortIndicatorShown(false);
    ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setMinimumWidth(300);
    // The selection stays visible when the list loses the focus.
    QPalette listPalette = ListView1->palette();
    listPalette.setColor(QPalette::Inactive, QPalette::Highlight,
                         listPalette.color(QPalette::Active, QPalette::Highlight));
    listPalette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         listPalette.color(QPalette::Active, QPalette::HighlightedText));
    ListView1->setPalette(listPalette);
    right->addWidget(ListView1, 1);

    // Status bar: three panels, the last taking the rest of the width.
    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(true);
    const int panelWidths[3] = {260, 180, 50};
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(bar);
        StatusPanels[i]->setObjectName(QString("StatusPanel%1").arg(i));
        StatusPanels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        StatusPanels[i]->setMinimumWidth(panelWidths[i]);
        if (i < 2) StatusPanels[i]->setMaximumWidth(panelWidths[i]);
        bar->addWidget(StatusPanels[i], i == 2 ? 1 : 0);
    }
    // During a run: which image of how many, and the share of the run done.
    cRunImage = new QLabel(bar);
    cRunImage->setObjectName("cRunImage");
    cRunProgress = new QProgressBar(bar);
    cRunProgress->setObjectName("cRunProgress");
    cRunProgress->setMaximumWidth(140);
    cRunProgress->setTextVisible(false);
    bar->addPermanentWidget(cRunImage);
    bar->addPermanentWidget(cRunProgress);
    cRunImage->hide();
    cRunProgress->hide();

    // Push buttons take Return from the event filter, not as a default.
    for (QPushButton* button : {BitBtn1, bAbort, bShowLog, bClose, bSelectNone, bSelectAll})
        button->setAutoDefault(false);
    SetTabOrder();

    // 672 x 456 or, with larger fonts, enough to show every column of the list.
    int columns = 0;
    for (int width : kColumnWidths) columns += width;
    const int listWidth = columns + 2 * ListView1->frameWidth() +
                          ListView1->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
    const int width = std::max({672, minimumSizeHint().width(), 12 + 146 + 6 + listWidth});
    resize(width, std::max(456 + bar->sizeHint().height(), minimumSizeHint().height()));

    // The handlers are connected after the initial values are in place.
    connect(BitBtn1, &QPushButton::clicked, this, &TfmTessary::BitBtn1Click);
    connect(ListView1, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { ListView1DblClick(item); });
    connect(bClose, &QPushButton::clicked, this, &TfmTessary::bCloseClick);
    connect(bAbort, &QPushButton::clicked, this, &TfmTessary::bAbortClick);
    connect(bShowLog, &QPushButton::clicked, this, &TfmTessary::bShowLogClick);
    connect(bHelp, &QToolButton::clicked, this, &TfmTessary::bhelpClick);
    connect(bRefresh, &QToolButton::clicked, this, &TfmTessary::bRefreshClick);
    connect(bViewRpx2, &QToolButton::clicked, this, &TfmTessary::bViewRpx2Click);
    auto* viewShortcut = new QShortcut(QKeySequence::Open, this);
    connect(viewShortcut, &QShortcut::activated, this, [this] {
        if (!running_) bViewRpx2Click();
    });
    connect(bSelectAll, &QPushButton::clicked, this, &TfmTessary::bSelectAllClick);
    connect(bSelectNone, &QPushButton::clicked, this, &TfmTessary::bSelectNoneClick);
    connect(SpeedButton1, &QToolButton::clicked, this, &TfmTessary::SpeedButton1Click);
    connect(cFilter, &QComboBox::currentTextChanged, this, &TfmTessary::cFilterChange);
    connect(ListView1->header(), &QHeaderView::sectionClicked, this, &TfmTessary::ListView1ColumnClick);
    connect(ListView1, &QTreeWidget::clicked, this, [this](const QModelIndex&) { ListView1Click(); });
    connect(DirectoryEdit1->Edit(), &QLineEdit::textChanged, this, &TfmTessary::DirectoryEdit1Change);
    connect(cDestFolder->Edit(), &QLineEdit::textChanged, this, &TfmTessary::cDestFolderChange);
    connect(cTempFolder->Edit(), &QLineEdit::textChanged, this, &TfmTessary::cTempFolderChange);
    connect(cMapFolder->Edit(), &QLineEdit::textChanged, this, &TfmTessary::cMapFolderChange);
}

// The tab order follows the layout: the folders top down (the "As Above"
// button right after the destination), the run buttons and map options,
// the options of the left column, then the list's bar and the list.
void TfmTessary::SetTabOrder() {
    std::vector<QWidget*> order;
    for (FolderEdit* edit : {DirectoryEdit1, cDestFolder, cTempFolder, cMapFolder}) {
        order.push_back(edit->Edit());
        order.push_back(edit->findChild<QToolButton*>(edit->Edit()->objectName() + "Browse"));
        if (edit == cDestFolder) order.push_back(SpeedButton1);
    }
    for (QWidget* widget : std::initializer_list<QWidget*>{
             BitBtn1, bHelp, bAbort, bShowLog, bClose, cPath, cCopy, cFinePalette, cInitialResize, bInitialResize,
             cNumColors, bNumColors, bRefresh, cFilter, bViewRpx2, bSelectNone, bSelectAll, ListView1})
        order.push_back(widget);
    for (size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

// ---------------------------------------------------------------------------
// Settings

void TfmTessary::LoadSettings() {
    const QString programFolder = Q(options_.programFolder);
    QDir::setCurrent(programFolder);
    const std::string& folder =
        options_.defaultFolder.empty() ? options_.programFolder : options_.defaultFolder;
    const std::string& tempFolder = options_.defaultTempFolder.empty() ? folder : options_.defaultTempFolder;
    DirectoryEdit1->SetText(Q(settings_.ReadSetting("Source Image Folder", folder)));
    cDestFolder->SetText(Q(settings_.ReadSetting("Destination Folder", "As Above")));
    cTempFolder->SetText(Q(settings_.ReadSetting("Temp Folder", tempFolder)));
    cMapFolder->SetText(Q(settings_.ReadSetting("Map File Folder", DefaultMapFolder(folder))));
    cInitialResize->setValue(settings_.ReadBoundedNumber("ReSize", "100", 10, 100));
    cNumColors->setValue(settings_.ReadBoundedNumber("Number Colors", "48", 8, 256));
    bNumColors->setChecked(settings_.ReadFlag("Do ReColor", false));
    // The resize tick is kept beside its value, so that a value shown is the
    // value used.
    bInitialResize->setChecked(settings_.ReadFlag("Do Initial Resize", false));
    cCopy->setChecked(settings_.ReadFlag("Copy Map File", true));
    cPath->setChecked(settings_.ReadFlag("Include Image Path", true));
    cFinePalette->setChecked(settings_.ReadFlag("Fine Palette", false));
    for (int c = 0; c < kImageColumnCount; ++c) {
        int width = settings_.ReadInteger("width" + std::to_string(c), kColumnWidths[c]);
        if (width < 0 || width > 4000) width = kColumnWidths[c];
        ListView1->header()->resizeSection(c, width);
    }
    FitColumnsToContents();
    sort_.Reset();
    ApplyCommandLine();
}

void TfmTessary::ApplyCommandLine() {
    if (options_.arguments.isEmpty()) return;
    const std::string argument = S(options_.arguments.front());
    if (TrimSpaces(argument).empty() || argument.rfind("/fn=", 0) != 0) return;
    // A relative path is read against the folder the program was started
    // from (the window has moved to the program's folder by now), so that
    // the folder shown and saved is absolute.
    const std::string typed = argument.substr(4, 250);
    std::string folder = FolderFromFnArgument(argument);
    const bool windowsPath = folder.size() >= 2 && folder[1] == ':';
    if (!windowsPath && !QDir::isAbsolutePath(Q(folder)))
        folder = S(QDir::cleanPath(QDir(Q(startFolder_)).absoluteFilePath(Q(folder))));
    DirectoryEdit1->SetText(Q(folder));
    // The named file is selected (and so ticked, as a click would).
    const size_t cut = typed.find_last_of("/\\");
    const QString name = Q(TrimSpaces(cut == std::string::npos ? typed : typed.substr(cut + 1)));
    if (name.isEmpty()) return;
    SelectRowNamed(name);
}

void TfmTessary::SelectRowNamed(const QString& name) {
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (item->text(kNameColumn) != name) continue;
        ListView1->clearSelection();
        item->setSelected(true);
        ListView1->setCurrentItem(item, 0, QItemSelectionModel::NoUpdate);
        ListView1->scrollToItem(item);
        ListView1Click();
        return;
    }
}

void TfmTessary::SaveSettings() {
    settings_.WriteSetting("ReSize", std::to_string(cInitialResize->value()));
    settings_.WriteSetting("Number Colors", std::to_string(cNumColors->value()));
    settings_.WriteFlag("Do ReColor", bNumColors->isChecked());
    settings_.WriteFlag("Copy Map File", cCopy->isChecked());
    settings_.WriteFlag("Include Image Path", cPath->isChecked());
    for (int c = 0; c < kImageColumnCount; ++c)
        settings_.WriteSetting("width" + std::to_string(c),
                               std::to_string(ListView1->header()->sectionSize(c)));
    // The resize tick, kept beside its value so that a value shown is the
    // value used.
    settings_.WriteFlag("Do Initial Resize", bInitialResize->isChecked());
    settings_.WriteFlag("Fine Palette", cFinePalette->isChecked());
}

void TfmTessary::WriteFolderSetting(const std::string& key, const std::string& value) {
    settings_.WriteSetting(key, value);
    // Settings that cannot be kept are not lost silently.
    if (settings_.LastWriteFailed()) SetStatus(0, "Settings could not be saved in " + settings_.Path());
}

void TfmTessary::DirectoryEdit1Change(const QString& text) {
    WriteFolderSetting("Source Image Folder", TrimSpaces(S(text)));
    FillImageList();
}

void TfmTessary::cDestFolderChange(const QString& text) {
    WriteFolderSetting("Destination Folder", S(text));
}
void TfmTessary::cTempFolderChange(const QString& text) {
    WriteFolderSetting("Temp Folder", S(text));
}
void TfmTessary::cMapFolderChange(const QString& text) {
    WriteFolderSetting("Map File Folder", S(text));
}
void TfmTessary::SpeedButton1Click() {
    cDestFolder->SetText("As Above");
}

FolderPath TfmTessary::SourceFolderValue() const {
    return FolderPath(S(DirectoryEdit1->Text()));
}

std::string TfmTessary::DestinationFolderValue() const {
    const std::string text = S(cDestFolder->Text());
    if (IsAsAbove(text)) return TrimSpaces(S(DirectoryEdit1->Text()));
    return text;
}

FolderPath TfmTessary::TempFolderValue() const {
    return FolderPath(S(cTempFolder->Text()));
}
FolderPath TfmTessary::MapFolderValue() const {
    return FolderPath(S(cMapFolder->Text()));
}

void TfmTessary::Browse(FolderEdit* edit) {
    if (!services_.pickFolder) return;
    QString folder = services_.pickFolder(this, edit->DialogTitle(), edit->Text().trimmed());
    if (!folder.isEmpty()) edit->SetText(QDir::toNativeSeparators(folder));
}

// ---------------------------------------------------------------------------
// The image list

void TfmTessary::FillImageList() {
    ListView1->clear();
    sort_.ResetColumn();
    ListView1->header()->setSortIndicatorShown(false);
    const FolderPath folder = SourceFolderValue();
    if (folder.Empty()) return;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder.ForCheck(), ec)) return;

    ListView1->setEnabled(false);
    // Repaint the disabled list once; typing is not taken here, so a key
    // cannot start a second fill inside this one.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    const std::string separator = LocaleThousandsSeparator();
    std::vector<ImageListRow> rows = BuildImageList(folder, S(cFilter->currentText()));
    QList<QTreeWidgetItem*> items;
    for (const ImageListRow& row : rows) {
        auto* item = new QTreeWidgetItem();
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
        item->setText(kNameColumn, Q(row.name));
        item->setText(kTypeColumn, Q(row.type));
        if (row.infoFailed) {
            // The information call failed before the sizes were added: the
            // message takes the next column and the rest stay empty.
            item->setText(kDiskSizeColumn, kErrorOpeningImage);
        } else {
            item->setText(kDiskSizeColumn, Q(FormatThousands(int64_t(row.diskSize), separator)));
            item->setText(kMemSizeColumn, Q(FormatThousands(int64_t(row.memSize), separator)));
            item->setText(kWidthColumn, Q(FormatThousands(row.width, separator)));
            item->setText(kHeightColumn, Q(FormatThousands(row.height, separator)));
            for (int c = kDiskSizeColumn; c < kImageColumnCount; ++c)
                item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        }
        items.push_back(item);
    }
    // Rows go in by the current column (Name) in its direction; rows that
    // compare equal keep the listing's order.
    const int column = sort_.Column(), direction = sort_.Direction();
    std::stable_sort(items.begin(), items.end(), [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return RowLess(a, b, column, direction, separator);
    });
    ListView1->addTopLevelItems(items);
    // A current row (not selected) so that the list shows where the focus is.
    if (!items.isEmpty()) ListView1->setCurrentItem(items.front(), 0, QItemSelectionModel::NoUpdate);
    FitColumnsToContents();
    ListView1->setEnabled(!running_);
}

// The size and dimension columns grow to show their widest text ("Error
// Opening Image", a size in the hundreds of millions); none shrinks.
void TfmTessary::FitColumnsToContents() {
    const QFontMetrics metrics(ListView1->font());
    const int margin = 16;
    for (int c = kDiskSizeColumn; c < kImageColumnCount; ++c) {
        int needed = 0;
        for (int i = 0; i < ListView1->topLevelItemCount(); ++i)
            needed = std::max(needed, metrics.horizontalAdvance(ListView1->topLevelItem(i)->text(c)) + margin);
        if (needed > ListView1->header()->sectionSize(c)) ListView1->header()->resizeSection(c, needed);
    }
}

bool TfmTessary::RowLess(const QTreeWidgetItem* a, const QTreeWidgetItem* b, int column, int direction,
                         const std::string& separator) {
    return CompareColumnTexts(column, S(a->text(column)), S(b->text(column)), separator) * direction < 0;
}

void TfmTessary::SortList() {
    const int column = sort_.Column(), direction = sort_.Direction();
    const std::string separator = LocaleThousandsSeparator();
    QTreeWidgetItem* current = ListView1->currentItem();
    QList<QTreeWidgetItem*> items;
    std::vector<bool> selected;
    while (ListView1->topLevelItemCount() > 0) {
        selected.push_back(ListView1->topLevelItem(0)->isSelected());
        items.push_back(ListView1->takeTopLevelItem(0));
    }
    for (size_t i = 0; i < selected.size(); ++i)
        items[qsizetype(i)]->setData(0, Qt::UserRole, bool(selected[i]));
    std::stable_sort(items.begin(), items.end(), [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
        return RowLess(a, b, column, direction, separator);
    });
    ListView1->addTopLevelItems(items);
    for (QTreeWidgetItem* item : items) item->setSelected(item->data(0, Qt::UserRole).toBool());
    if (current) ListView1->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    ListView1->header()->setSortIndicatorShown(true);
    ListView1->header()->setSortIndicator(column, direction > 0 ? Qt::AscendingOrder : Qt::DescendingOrder);
}

void TfmTessary::ListView1ColumnClick(int column) {
    sort_.ColumnClicked(column);
    SortList();
}

void TfmTessary::ListView1Click() {
    const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
    if (selected.isEmpty()) return;
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i)
        ListView1->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    for (QTreeWidgetItem* item : selected) item->setCheckState(0, Qt::Checked);
}

void TfmTessary::ListView1DblClick(QTreeWidgetItem* item) {
    if (!item || running_) return;
    if (item->text(kTypeColumn).compare("rpx2", Qt::CaseInsensitive) != 0) return;
    OpenViewer(Q(SourceFolderValue().Text()) + item->text(kNameColumn));
}

void TfmTessary::OpenViewer(const QString& path, QWidget* owner) {
    if (services_.openViewer) services_.openViewer(path, owner);
}

void TfmTessary::bSelectAllClick() {
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i)
        ListView1->topLevelItem(i)->setCheckState(0, Qt::Checked);
}

void TfmTessary::bSelectNoneClick() {
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i)
        ListView1->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
}

void TfmTessary::cFilterChange(const QString&) {
    FillImageList();
}
void TfmTessary::bRefreshClick() {
    FillImageList();
}

// ---------------------------------------------------------------------------
// Buttons and keys

void TfmTessary::bAbortClick() {
    abort_ = true;
}

bool TfmTessary::eventFilter(QObject* watched, QEvent* event) {
    // The window sees Esc before the control that has the focus, wherever
    // the focus is; the key still reaches the control.
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        if (auto* widget = qobject_cast<QWidget*>(watched); widget && widget->window() == this) abort_ = true;
    }
    if (IsReturnKey(event)) {
        // Return on the list opens an RPX2 row in the viewer, as a
        // double-click does; on a button it presses the button.
        if (watched == ListView1) {
            ListView1DblClick(ListView1->currentItem());
            return true;
        }
        auto* button = qobject_cast<QAbstractButton*>(watched);
        if (button && button->window() == this && button->isEnabled() && button->hasFocus()) {
            button->animateClick();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfmTessary::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Centred once more when first shown, now that the frame's size is
    // known; later the window stays where the user puts it.
    if (!placed_) {
        placed_ = true;
        FitIntoScreen(this, size());
        CentreOnScreen(this);
    }
}

void TfmTessary::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* data = event->mimeData();
    if (running_ || !data->hasUrls()) return;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) {
            event->acceptProposedAction();
            return;
        }
}

void TfmTessary::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    if (paths.isEmpty()) return;
    event->acceptProposedAction();
    DropPaths(paths);
}

void TfmTessary::DropPaths(const QStringList& paths) {
    if (running_ || paths.isEmpty()) return;
    // The first path decides: one source image folder at a time.
    const QFileInfo dropped(paths.front());
    if (!dropped.exists()) return;
    if (dropped.isDir()) {
        DirectoryEdit1->SetText(QDir::toNativeSeparators(dropped.absoluteFilePath()));
        return;
    }
    const QString folder = QDir::toNativeSeparators(dropped.absolutePath());
    if (TrimSpaces(S(DirectoryEdit1->Text())) != S(folder)) {
        DirectoryEdit1->SetText(folder);
    }
    // A file dropped on the window is picked as a click on its row would:
    // selected, and ticked as the selection is.
    ListView1->clearSelection();
    SelectRowNamed(dropped.fileName());
}

void TfmTessary::bShowLogClick() {
    ShowLogModal();
    SetLogButtonColour(Qt::black);
}

void TfmTessary::MarkLogButton() {
    SetLogButtonColour(Qt::red);
}

void TfmTessary::SetLogButtonColour(const QColor& colour) {
    // The enabled states only: a disabled button keeps the style's grey.
    QPalette palette = bShowLog->palette();
    palette.setColor(QPalette::Active, QPalette::ButtonText, colour);
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, colour);
    bShowLog->setPalette(palette);
}

void TfmTessary::bViewRpx2Click() {
    if (!services_.pickRpx2File) return;
    const QString path = services_.pickRpx2File(this, Q(SourceFolderValue().Text()));
    if (!path.isEmpty()) OpenViewer(path);
}

void TfmTessary::ShowLogModal() {
    CreateLogWindow();
    if (services_.showLogModal) services_.showLogModal(*fmLog_);
}

void TfmTessary::bCloseClick() {
    close();
}

void TfmTessary::closeEvent(QCloseEvent* event) {
    if (running_) {
        // The run cannot be left half-way: asked to, it stops at its next
        // test of the abort flag and the window closes when it has ended.
        event->ignore();
        if (closePending_) return;
        if (services_.ask && !services_.ask(this, "A conversion is running. Abort it and close the window?"))
            return;
        closePending_ = true;
        abort_ = true;
        return;
    }
    // Closing the main window ends the program: viewers opened from it
    // would otherwise keep it running.
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* viewer = qobject_cast<TfmViewer*>(window)) viewer->close();
    QMainWindow::closeEvent(event);
}

void TfmTessary::bhelpClick() {
    QString failure = ShowHelpTopic(Q(options_.programFolder), "h", "introduction.html", services_.help);
    if (!failure.isEmpty()) SetStatus(0, S(failure));
}

// ---------------------------------------------------------------------------
// The run

ConversionJob TfmTessary::BuildJob() {
    ConversionJob job;
    job.sourceFolder = SourceFolderValue();
    job.destinationFolder = FolderPath(DestinationFolderValue());
    job.tempFolder = TempFolderValue();
    job.mapFolder = MapFolderValue();
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = ListView1->topLevelItem(i);
        job.entries.push_back({S(item->text(kNameColumn)), item->checkState(0) == Qt::Checked});
    }
    job.resizeEnabled = bInitialResize->isChecked();
    job.resizeValue = cInitialResize->value();
    job.coloursEnabled = bNumColors->isChecked();
    job.coloursValue = cNumColors->value();
    job.copyMapFile = cCopy->isChecked();
    job.includeImagePath = cPath->isChecked();
    job.palette = cFinePalette->isChecked() ? PaletteMethod::kFine : PaletteMethod::kOctree;
    job.abort = &abort_;
    job.programFolder = options_.programFolder;
    return job;
}

void TfmTessary::BitBtn1Click() {
    if (running_) return;
    ConversionJob job = BuildJob();
    if (!OfferDestinationFolder()) return;
    runImages_ = int(std::count_if(job.entries.begin(), job.entries.end(),
                                   [](const ConversionEntry& entry) { return entry.ticked; }));
    runFinished_ = runConverted_ = 0;
    runAborted_ = false;
    running_ = true;
    try {
        RunConversion(job, *this, log_, this);
    } catch (const std::exception& error) {
        SetBusy(false);
        ShowMessage(error.what());
    } catch (...) {
        SetBusy(false);
        ShowMessage("An unknown Error occurred");
    }
    // However the run ended, the controls are usable again.
    SetBusy(false);
    running_ = false;
    ReportAbortedRun();
    ListView1->setFocus();
    if (closePending_) {
        closePending_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

// A destination folder that does not exist yet is offered to be made, as
// the command line makes it. False when the user declined or it could not
// be made (the run then reports the folder as not valid).
bool TfmTessary::OfferDestinationFolder() {
    const std::string folder = TrimSpaces(DestinationFolderValue());
    std::error_code ec;
    if (folder.empty() || std::filesystem::is_directory(folder, ec)) return true;
    if (!services_.ask ||
        !services_.ask(this, Q("The Destination Folder " + folder + " does not exist. Create it?")))
        return true;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        ShowMessage("The Destination Folder could not be created: " + ec.message());
        return false;
    }
    return true;
}

void TfmTessary::ImageFinished(const ImageResult& result) {
    ++runFinished_;
    if (result.outcome == ImageOutcome::Converted) ++runConverted_;
    if (result.outcome == ImageOutcome::Aborted) runAborted_ = true;
    UpdateRunProgress();
}

void TfmTessary::UpdateRunProgress() {
    // Image k of N: the one at work, or the last once all are done.
    const int at = std::min(runFinished_ + 1, std::max(runImages_, 1));
    cRunImage->setText(QString("Image %1 of %2").arg(at).arg(runImages_));
    cRunProgress->setMaximum(std::max(runImages_, 1));
    cRunProgress->setValue(std::min(runFinished_, runImages_));
}

QString TfmTessary::RunProgressText() const {
    return cRunImage->text();
}
int TfmTessary::RunProgressValue() const {
    return cRunProgress->value();
}
int TfmTessary::RunProgressMaximum() const {
    return cRunProgress->maximum();
}

// A run stopped by Abort, Esc or a close: the driver's summary counts the
// images it worked on; the window says that the run was aborted and how
// many images were converted before.
void TfmTessary::ReportAbortedRun() {
    const bool stopped = runAborted_ || (abort_.load() && runFinished_ < runImages_);
    if (!stopped || runImages_ == 0) return;
    const std::string count = std::to_string(runConverted_) + " of " + std::to_string(runImages_);
    log_.Add("x	Run aborted by user - " + count + " Image File(s) converted");
    SetStatus(0, "Aborted - " + count + " Image File(s) converted");
    MarkLogButton();
}

std::vector<QWidget*> TfmTessary::RunControls() const {
    return {BitBtn1,        bClose,     DirectoryEdit1, cDestFolder,    SpeedButton1,
            cTempFolder,    cMapFolder, bRefresh,       ListView1,      cFilter,
            cInitialResize, cCopy,      cPath,          bInitialResize, bSelectAll,
            bSelectNone,    bShowLog,   cNumColors,     bNumColors};
}

void TfmTessary::SetBusy(bool on) {
    for (QWidget* control : RunControls()) control->setEnabled(!on);
    bViewRpx2->setEnabled(!on);
    if (on) {
        ListView1->setCursor(Qt::WaitCursor);
        // The run clears the log (once it has a source folder): its unread
        // mark goes with it.
        if (!SourceFolderValue().Empty()) SetLogButtonColour(Qt::black);
    } else {
        ListView1->unsetCursor();
    }
    cRunImage->setVisible(on);
    cRunProgress->setVisible(on);
    if (on) UpdateRunProgress();
}

void TfmTessary::SetStatus(int slot, std::string_view text) {
    if (slot < 0 || slot > 2) return;
    StatusPanels[slot]->setText(Q(text));
    // Long texts are cut at the panel's edge; the whole text is its tooltip.
    StatusPanels[slot]->setToolTip(Q(text));
}

QString TfmTessary::StatusText(int slot) const {
    return slot >= 0 && slot <= 2 ? StatusPanels[slot]->text() : QString();
}

void TfmTessary::PumpEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TfmTessary::WaitPumping(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(std::max(0, milliseconds), &loop, &QEventLoop::quit);
    loop.exec();
}

void TfmTessary::ShowMessage(std::string_view text) {
    if (services_.message) services_.message(this, Q(text));
}

void TfmTessary::Notice(std::string_view text) {
    platform::ShowMessage(text);
}

void TfmTessary::ClearDetails() {
    ListBox1->clear();
}
void TfmTessary::AddDetail(std::string_view text) {
    ListBox1->addItem(Q(text));
}

void TfmTessary::ResetPreview() {
    Image1->clear();
    Image1->setScaledContents(true);
    Image1->setFixedSize(130, 130);
}

void TfmTessary::SetPreviewImage(const QImage& image, int width, int height) {
    width = std::clamp(width, 1, 130);
    height = std::clamp(height, 1, 130);
    Image1->setFixedSize(width, height);
    if (image.isNull()) {
        Image1->clear();
        return;
    }
    Image1->setPixmap(QPixmap::fromImage(image.scaled(width, height)));
}

void TfmTessary::ShowSourcePreview(Timagerecord4& source, int width, int height) {
    Picture picture;
    SourceNotes notes;
    DrawSourcePreview(picture, source, width, height);
    for (const std::string& text : notes.Take()) Notice(text);
    SetPreviewImage(PictureToImage(picture), width, height);
    Image1->repaint();
}

void TfmTessary::ShowPicture(const Picture& picture) {
    int width = picture.Width(), height = picture.Height();
    if (width > 130 || height > 130) {
        // Larger pictures are shown within the preview's box.
        double scale = std::min(130.0 / std::max(width, 1), 130.0 / std::max(height, 1));
        width = int(width * scale);
        height = int(height * scale);
    }
    SetPreviewImage(PictureToImage(picture), width, height);
}

}  // namespace tessary::app
