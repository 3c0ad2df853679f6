#include "app/log_window.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>

namespace tessary::app {

namespace {
constexpr int kLineRole = Qt::UserRole + 1;
const std::string kCreatedLine = "o\t   Rpx2 image created : ";
const std::string kInPathLine = "o\t   In path : ";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}
}  // namespace

std::optional<std::string> CreatedFileOfLine(const std::vector<std::string>& lines, size_t index) {
    if (index >= lines.size()) return std::nullopt;
    if (StartsWith(lines[index], kInPathLine) && index > 0) --index;
    if (!StartsWith(lines[index], kCreatedLine) || index + 1 >= lines.size() ||
        !StartsWith(lines[index + 1], kInPathLine))
        return std::nullopt;
    const std::string name = lines[index].substr(kCreatedLine.size());
    std::string folder = lines[index + 1].substr(kInPathLine.size());
    if (name.empty() || folder.empty()) return std::nullopt;
    if (folder.back() != '/' && folder.back() != '\\') folder += '/';
    return folder + name;
}

QColor LogLineColour(const std::string& line, const QPalette& palette) {
    std::optional<Rgb> colour = ConversionLog::LineColour(line);
    if (!colour) return palette.color(QPalette::Active, QPalette::WindowText);
    return QColor(colour->red, colour->green, colour->blue);
}

void LogRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const std::string line = index.data(kLineRole).toString().toStdString();
    const bool selected = option.state & QStyle::State_Selected;
    painter->save();
    painter->fillRect(option.rect, selected ? option.palette.highlight() : option.palette.base());
    painter->setPen(LogLineColour(line, option.palette));
    painter->setFont(option.font);
    QRect textRect = option.rect.adjusted(4, 0, 0, 0);
    painter->setClipRect(option.rect);
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                      QString::fromStdString(ConversionLog::DisplayText(line)));
    painter->restore();
}

QSize LogRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    // As wide as the text, so that the list scrolls sideways to long lines.
    const QFontMetrics metrics(option.font);
    const std::string line = index.data(kLineRole).toString().toStdString();
    return QSize(8 + metrics.horizontalAdvance(QString::fromStdString(ConversionLog::DisplayText(line))),
                 metrics.height() + 1);
}

TfmLog::TfmLog(const ConversionLog& log, QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      log_(log) {
    setObjectName("fmLog");
    setWindowTitle("File Conversion Log");
    // 498 x 338 to start with; the window can be made larger to read long
    // lines, which the list also scrolls to sideways.
    setSizeGripEnabled(true);
    setMinimumSize(300, 160);
    resize(498, 338);

    cErrorList_ = new QListWidget(this);
    cErrorList_->setObjectName("cErrorList");
    cErrorList_->setItemDelegate(new LogRowDelegate(cErrorList_));
    cErrorList_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    cErrorList_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    cErrorList_->setTextElideMode(Qt::ElideNone);
    cErrorList_->installEventFilter(this);

    bCopy_ = new QPushButton("Copy", this);
    bCopy_->setObjectName("bCopy");
    bCopy_->setToolTip("Copy to Clipboard");
    bCopy_->setMinimumWidth(90);
    connect(bCopy_, &QPushButton::clicked, this, &TfmLog::bCopyClick);

    bClose_ = new QPushButton("Close", this);
    bClose_->setObjectName("bClose");
    bClose_->setToolTip("Close the Window");
    bClose_->setMinimumWidth(90);
    connect(bClose_, &QPushButton::clicked, this, &TfmLog::bCloseClick);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 4);
    layout->setSpacing(4);
    layout->addWidget(cErrorList_, 1);
    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(8, 0, 8, 0);
    buttons->addWidget(bCopy_);
    buttons->addStretch(1);
    buttons->addWidget(bClose_);
    layout->addLayout(buttons);
    connect(cErrorList_, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { cErrorListDblClick(cErrorList_->row(item)); });

    Reload();
}

void TfmLog::Reload() {
    cErrorList_->clear();
    for (const std::string& line : log_.Lines()) {
        auto* item = new QListWidgetItem(cErrorList_);
        item->setData(kLineRole, QString::fromStdString(line));
        // The plain text serves accessibility and keyboard search.
        item->setText(QString::fromStdString(ConversionLog::DisplayText(line)));
    }
}

void TfmLog::cErrorListDblClick(int row) {
    if (row < 0 || !openViewer_) return;
    if (auto path = CreatedFileOfLine(log_.Lines(), size_t(row))) openViewer_(QString::fromStdString(*path));
}

bool TfmLog::eventFilter(QObject* watched, QEvent* event) {
    // Return on a line naming a created file opens it, as a double-click
    // does; the key does not go on to press a button of the window.
    if (watched == cErrorList_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            cErrorListDblClick(cErrorList_->currentRow());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TfmLog::bCopyClick() {
    QApplication::clipboard()->setText(QString::fromStdString(log_.CopyText()));
}

void TfmLog::bCloseClick() {
    close();
}

void TfmLog::showEvent(QShowEvent* event) {
    Reload();
    QDialog::showEvent(event);
}

}  // namespace tessary::app
