// The RPX2 viewer: shows a converted file the way a map viewer would, from
// the stored level whose scale suits the zoom, decoding only the tiles in
// view on a thread of their own into a cache of bounded size. The view never
// waits for a tile: it draws what is cached, a neutral fill for the rest,
// and repaints as tiles arrive.
#pragma once

#include <QMainWindow>
#include <QPointF>
#include <QString>
#include <QVector>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/error_overlay.h"
#include "app/tile_cache.h"
#include "rpx/rpx2_tiles.h"

class QAction;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QPainter;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;

namespace tessary::app {

// The canvas: pan with the mouse or the arrow keys, zoom with the wheel,
// + and -, F fits the image, 1 shows it at 100 %. The zoom counts device
// pixels per level-0 pixel, so that 100 % is one image pixel per screen
// pixel at any device pixel ratio.
class Rpx2View : public QWidget {
    Q_OBJECT
public:
    Rpx2View(const std::string& path, const Rpx2Summary& summary, size_t cacheBudget, QWidget* parent);
    ~Rpx2View() override;

    // Device pixels per level-0 pixel (1.0 is 100 %).
    double Zoom() const { return zoom_; }
    // The level-0 position at the top left corner of the view.
    QPointF Origin() const { return origin_; }
    // The level the view draws from: the one chosen in the level list, or
    // else the one that suits the zoom.
    int LevelInView() const { return level_; }
    bool LevelChosen() const { return chosenLevel_.has_value(); }
    // Shows this level, fitted to the view, until the zoom changes.
    void ShowLevel(int level);
    // The level that best serves a zoom: the smallest level at least as
    // detailed as the zoom, or level 0 beyond 100 %.
    int LevelForZoom(double zoom) const;

    void SetZoom(double zoom, QPointF anchor);  // anchor in (logical) view pixels
    void ZoomBy(double factor);                 // about the view's centre
    void FitToView();
    void ShowActualSize();                      // 100 % about the centre
    void SetOrigin(QPointF origin);
    void PanBy(QPointF viewPixels);

    // The tiles of the current level that the view covers.
    std::vector<TileKey> VisibleTiles() const;
    // True when every tile asked for has been decoded and taken in.
    bool Settled() const;
    const TileCache& Cache() const { return cache_; }
    uint64_t DecodedTiles() const { return loader_->DecodedCount(); }
    const Rpx2Summary& Summary() const { return summary_; }
    // The first tile error met, or empty.
    const QString& TileError() const { return tileError_; }

    // What lies under a view position: level-0 pixel, level pixel, the
    // palette index when its tile is cached and the error when the error
    // picture of the level is shown.
    struct Probe {
        bool inside = false;
        QPoint levelZero;
        QPoint inLevel;
        std::optional<int> index;
        std::optional<double> error;
    };
    Probe ProbeAt(QPoint viewPixel);

    // The error overlay: while it is on, a level whose error picture has
    // been handed over is drawn as that picture, with the colour scale's
    // legend; the others as their pixels.
    void SetErrorOverlay(bool on);
    void SetErrorPicture(ErrorPicturePointer picture);
    // The error picture drawn for the level in view, or null.
    const ErrorPicture* ErrorShown() const;

signals:
    void viewChanged();
    void pointerMoved(QPoint viewPixel);
    void pointerLeft();
    void tileFailed(const QString& reason);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void TileArrived(const TileKey& key, TilePointer tile);
    void Changed();
    void DrawLegend(QPainter& painter);
    void ClampOrigin();
    double FitZoom() const;
    double MinZoom() const;
    double LevelScaleX(int level) const;
    double LevelScaleY(int level) const;
    double Dpr() const;
    // The view's size in device pixels.
    double DeviceWidth() const;
    double DeviceHeight() const;

    std::string path_;
    Rpx2Summary summary_;
    std::vector<QVector<QRgb>> colourTables_;
    TileCache cache_;
    std::unique_ptr<TileLoader> loader_;
    size_t deliveriesInFlight_ = 0;  // posted from the loader, not yet taken in
    std::shared_ptr<std::atomic<size_t>> posted_;
    double zoom_ = 1.0;
    QPointF origin_{0, 0};
    int level_ = 0;
    bool fitted_ = true;  // follows the window's size until the user zooms
    std::optional<int> chosenLevel_;  // from the level list, until the user zooms
    std::optional<QPoint> dragFrom_;
    QString tileError_;
    bool errorOverlay_ = false;
    std::vector<ErrorPicturePointer> errorPictures_;  // by level, null until measured
};

// The palette of the level in view as 16 x 16 swatches.
class PaletteSwatches : public QWidget {
    Q_OBJECT
public:
    explicit PaletteSwatches(QWidget* parent);
    void SetPalette(const Palette& palette);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Palette palette_{};
    bool empty_ = true;
};

class TfmViewer : public QMainWindow {
    Q_OBJECT
public:
    explicit TfmViewer(const QString& path, QWidget* parent = nullptr,
                       size_t cacheBudget = kDefaultTileBudget);

    // Shows another file in this window (Open, a drop). A file that cannot
    // be shown leaves the reason in place of the view.
    void Load(const QString& path);
    // The picker behind Open (Ctrl+O); tests put their own here.
    void SetFilePicker(std::function<QString(QWidget* parent, const QString& start)> pick) {
        pickFile_ = std::move(pick);
    }
    void OpenClick();
    // The picker behind Show Error Against Source when the file's record
    // names no source at hand (`why` says what is wrong); tests put their
    // own here.
    void SetSourcePicker(std::function<QString(QWidget* parent, const QString& start, const QString& why)> pick) {
        pickSource_ = std::move(pick);
    }
    // Turns the error overlay on (the source from the file's record, or as
    // the user points at it) or off.
    void ShowErrorAgainstSource(bool on);
    // The source the error is measured against while the overlay is on.
    const QString& ErrorSource() const { return errorSource_; }
    // The level's error figures, what is being measured, or why the
    // overlay went off.
    QString ErrorText() const;

    const QString& Path() const { return path_; }
    // Empty unless the file could not be opened, and then the reason; the
    // window shows it in place of the view.
    const QString& Failure() const { return failure_; }
    QString PositionText() const;
    QString ZoomText() const;
    Rpx2View* View() const { return view_; }

protected:
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void UpdateViewState();
    void UpdatePointer(QPoint viewPixel);
    void LevelPicked(QTreeWidgetItem* item);
    void MeasureLevelInView();
    void ErrorMeasured(int level, ErrorPicturePointer picture, const QString& failure);
    void ErrorOverlayOff(const QString& why);

    QString path_;
    QString failure_;
    size_t cacheBudget_;
    std::function<QString(QWidget*, const QString&)> pickFile_;
    std::function<QString(QWidget*, const QString&, const QString&)> pickSource_;
    // The controls, by their object names: "Rpx2View" (none when the file
    // could not be opened), "cLevels", "PaletteSwatches", "cPosition",
    // "cZoom", "cError", "cMessage"; "actionShowError" is the overlay's
    // toggle.
    Rpx2View* view_ = nullptr;
    QTreeWidget* levels_ = nullptr;
    PaletteSwatches* swatches_ = nullptr;
    QLabel* position_ = nullptr;
    QLabel* zoomLabel_ = nullptr;
    QLabel* message_ = nullptr;
    QLabel* errorLabel_ = nullptr;
    QAction* errorAction_ = nullptr;
    QString errorSource_;
    std::unique_ptr<ErrorMeasurer> measurer_;
    int measuring_ = -1;      // the level asked of the measurer, until it answers
    uint64_t measurerSerial_ = 0;  // tells a late answer of an earlier measurer
    QToolBar* toolbar_ = nullptr;
    QList<QAction*> viewActions_;
    std::optional<QPoint> pointer_;  // the pointer over the view, in view pixels
    bool syncingLevels_ = false;
    bool placed_ = false;
};

// The file dialog for an RPX2 file, starting in `start`.
QString PickRpx2File(QWidget* parent, const QString& start);
// The file dialog for the source image of an RPX2 file.
QString PickSourceFile(QWidget* parent, const QString& start, const QString& why);

// The reason a file cannot be shown, or empty when it reads as an RPX2 file.
QString Rpx2FailureOf(const QString& path, Rpx2Summary* summary = nullptr);

// Opens a viewer window for the file: a top-level window that deletes
// itself when closed. A window that owns it (the log window, which is
// modal) keeps it usable while that window is open.
TfmViewer* OpenViewerWindow(const QString& path, QWidget* owner = nullptr);

}  // namespace tessary::app
