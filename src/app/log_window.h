// TfmLog: the conversion log window. Each row is drawn in the colour of its
// kind; Copy puts the displayed text on the clipboard.
#pragma once

#include <QDialog>
#include <QStyledItemDelegate>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/conversion_log.h"

class QListWidget;
class QPushButton;

namespace tessary::app {

// Draws one log row: the row's background, then the displayed text 4 pixels
// from the left edge in the line's kind colour (selected rows too).
class LogRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The RPX2 file that a log line names: on an "Rpx2 image created" line (or
// the "In path" line after it), the folder of the following "In path" line
// joined with the file name. Nothing for other lines.
std::optional<std::string> CreatedFileOfLine(const std::vector<std::string>& lines, size_t index);

// The text colour of a row: its kind colour, or the palette's window text.
QColor LogLineColour(const std::string& line, const QPalette& palette);

class TfmLog : public QDialog {
    Q_OBJECT
public:
    explicit TfmLog(const ConversionLog& log, QWidget* parent = nullptr);

    // Rebuilds the rows from the log (the window shows the log as it is when
    // it opens).
    void Reload();

    // What a double-click on a line naming a created RPX2 file calls.
    void SetViewerOpener(std::function<void(const QString& path)> open) { openViewer_ = std::move(open); }
    // The double-click on row `row` of the list.
    void cErrorListDblClick(int row);

public slots:
    void bCopyClick();
    void bCloseClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    const ConversionLog& log_;
    QListWidget* cErrorList_;
    QPushButton* bCopy_;
    QPushButton* bClose_;
    std::function<void(const QString& path)> openViewer_;
};

}  // namespace tessary::app
