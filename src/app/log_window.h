// TfmLog: the conversion log window. Each row is drawn in the colour of its
// kind; Copy puts the displayed text on the clipboard.
#pragma once

#include <QDialog>
#include <QStyledItemDelegate>

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

// The text colour of a row: its kind colour, or the palette's window text.
QColor LogLineColour(const std::string& line, const QPalette& palette);

class TfmLog : public QDialog {
    Q_OBJECT
public:
    explicit TfmLog(const ConversionLog& log, QWidget* parent = nullptr);

    // Rebuilds the rows from the log (the window shows the log as it is when
    // it opens).
    void Reload();

public slots:
    void bCopyClick();
    void bCloseClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    const ConversionLog& log_;
    QListWidget* cErrorList_;
    QPushButton* bCopy_;
    QPushButton* bClose_;
};

}  // namespace tessary::app
