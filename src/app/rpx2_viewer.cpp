#include "app/rpx2_viewer.h"

#include <QAction>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMimeData>
#include <QHeaderView>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QPainter>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <exception>

#include "app/window_placement.h"
#include "raster/colour_difference.h"

namespace tessary::app {

namespace {

// What the view shows where there is nothing to draw: around the image, and
// over tiles still being decoded or that could not be decoded.
const QColor kOutsideFill(72, 72, 72);
const QColor kPendingFill(150, 150, 150);
const QColor kFailedFill(200, 60, 60);

constexpr double kMaxZoom = 32.0;
constexpr double kWheelStep = 1.25;
constexpr double kKeyStep = 2.0;
constexpr int kArrowStep = 64;
// How long the status bar shows a notice about the error overlay, which
// its own label keeps saying.
constexpr int kNoticeMs = 10000;

QString WithSeparators(qint64 value) {
    return QLocale().toString(value);
}

}  // namespace

// ---------------------------------------------------------------------------
// Rpx2View

Rpx2View::Rpx2View(const std::string& path, const Rpx2Summary& summary, size_t cacheBudget, QWidget* parent)
    : QWidget(parent),
      path_(path),
      summary_(summary),
      cache_(cacheBudget),
      posted_(std::make_shared<std::atomic<size_t>>(0)) {
    setObjectName("Rpx2View");
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(200, 150);
    for (const Rpx2LevelSummary& level : summary_.levels) {
        QVector<QRgb> table(256);
        for (int i = 0; i < 256; ++i)
            table[i] = qRgb(level.palette[size_t(i)].red, level.palette[size_t(i)].green,
                            level.palette[size_t(i)].blue);
        colourTables_.push_back(table);
    }
    auto posted = posted_;
    loader_ = std::make_unique<TileLoader>(
        [path]() -> TileLoader::Decoder {
            auto decoder = std::make_shared<Rpx2TileDecoder>(path);
            return [decoder](const TileKey& key, uint8_t* out) {
                decoder->DecodeTile(key.level, key.row, key.column, out);
            };
        },
        [this, posted](const TileKey& key, TilePointer tile) {
            ++*posted;
            QMetaObject::invokeMethod(
                this, [this, key, tile = std::move(tile)]() mutable { TileArrived(key, std::move(tile)); },
                Qt::QueuedConnection);
        });
}

Rpx2View::~Rpx2View() {
    // The loader's thread is stopped before the members it delivers to go.
    loader_.reset();
}

double Rpx2View::LevelScaleX(int level) const {
    return double(summary_.levels[size_t(level)].width) / double(summary_.width);
}
double Rpx2View::LevelScaleY(int level) const {
    return double(summary_.levels[size_t(level)].height) / double(summary_.height);
}

int Rpx2View::LevelForZoom(double zoom) const {
    int best = -1, largest = 0;
    for (int i = 0; i < int(summary_.levels.size()); ++i) {
        const double scale = LevelScaleX(i);
        if (scale > LevelScaleX(largest)) largest = i;
        // A level at least as detailed as the view needs is shrunk, never
        // blown up; the least detailed of those is the cheapest to draw.
        if (scale >= zoom * 0.999 && (best < 0 || scale < LevelScaleX(best))) best = i;
    }
    return best >= 0 ? best : largest;
}

double Rpx2View::Dpr() const {
    return devicePixelRatioF();
}
double Rpx2View::DeviceWidth() const {
    return std::max(width(), 1) * Dpr();
}
double Rpx2View::DeviceHeight() const {
    return std::max(height(), 1) * Dpr();
}

double Rpx2View::FitZoom() const {
    return std::min(DeviceWidth() / summary_.width, DeviceHeight() / summary_.height);
}

double Rpx2View::MinZoom() const {
    // Out to where the image's larger side takes 64 view pixels, where the
    // thumbnail level serves; never less than a fitted view allows.
    return std::min({FitZoom(), 1.0, 64.0 / std::max(summary_.width, summary_.height)});
}

void Rpx2View::SetZoom(double zoom, QPointF anchor) {
    zoom = std::clamp(zoom, MinZoom(), kMaxZoom);
    const QPointF device = anchor * Dpr();
    const QPointF under = origin_ + device / zoom_;
    zoom_ = zoom;
    origin_ = under - device / zoom_;
    fitted_ = false;
    chosenLevel_.reset();
    Changed();
}

void Rpx2View::ZoomBy(double factor) {
    SetZoom(zoom_ * factor, QPointF(width() / 2.0, height() / 2.0));
}

void Rpx2View::FitToView() {
    zoom_ = FitZoom();
    fitted_ = true;
    chosenLevel_.reset();
    Changed();
}

void Rpx2View::ShowLevel(int level) {
    if (level < 0 || level >= int(summary_.levels.size())) return;
    zoom_ = FitZoom();
    fitted_ = true;
    chosenLevel_ = level;
    Changed();
}

void Rpx2View::ShowActualSize() {
    SetZoom(1.0, QPointF(width() / 2.0, height() / 2.0));
}

void Rpx2View::SetOrigin(QPointF origin) {
    origin_ = origin;
    Changed();
}

void Rpx2View::PanBy(QPointF viewPixels) {
    origin_ -= viewPixels * Dpr() / zoom_;
    Changed();
}

void Rpx2View::ClampOrigin() {
    // An image narrower than the view is centred; a wider one cannot be
    // dragged past its edges.
    const double viewWidth = DeviceWidth() / zoom_, viewHeight = DeviceHeight() / zoom_;
    auto clampAxis = [](double origin, double view, double image) {
        if (view >= image) return -(view - image) / 2;
        return std::clamp(origin, 0.0, image - view);
    };
    origin_.setX(clampAxis(origin_.x(), viewWidth, summary_.width));
    origin_.setY(clampAxis(origin_.y(), viewHeight, summary_.height));
    // Whole device pixels, so that at 100 % every image pixel falls on one
    // screen pixel.
    origin_.setX(std::round(origin_.x() * zoom_) / zoom_);
    origin_.setY(std::round(origin_.y() * zoom_) / zoom_);
}

void Rpx2View::Changed() {
    ClampOrigin();
    level_ = chosenLevel_ ? *chosenLevel_ : LevelForZoom(zoom_);
    // Ask for the tiles in view that are not cached, the middle ones first,
    // and never more than the cache can hold at once.
    std::vector<TileKey> wanted;
    const QPointF centre(DeviceWidth() / 2.0, DeviceHeight() / 2.0);
    const double sx = LevelScaleX(level_), sy = LevelScaleY(level_);
    for (const TileKey& key : VisibleTiles())
        if (!cache_.Contains(key)) wanted.push_back(key);
    auto distance = [&](const TileKey& key) {
        const double x = ((key.column + 0.5) * kViewTileEdge / sx - origin_.x()) * zoom_ - centre.x();
        const double y = ((key.row + 0.5) * kViewTileEdge / sy - origin_.y()) * zoom_ - centre.y();
        return x * x + y * y;
    };
    std::stable_sort(wanted.begin(), wanted.end(),
                     [&](const TileKey& a, const TileKey& b) { return distance(a) < distance(b); });
    if (wanted.size() > cache_.CapacityTiles()) wanted.resize(cache_.CapacityTiles());
    loader_->Request(std::move(wanted));
    update();
    emit viewChanged();
}

std::vector<TileKey> Rpx2View::VisibleTiles() const {
    std::vector<TileKey> keys;
    if (summary_.levels.empty() || width() <= 0 || height() <= 0) return keys;
    const Rpx2LevelSummary& level = summary_.levels[size_t(level_)];
    const double sx = LevelScaleX(level_), sy = LevelScaleY(level_);
    const double left = origin_.x() * sx, top = origin_.y() * sy;
    const double right = (origin_.x() + DeviceWidth() / zoom_) * sx;
    const double bottom = (origin_.y() + DeviceHeight() / zoom_) * sy;
    // Only tiles that hold pixels of the level: the extra column and row of
    // background tiles are never shown.
    const int lastColumn = (level.width - 1) / kViewTileEdge;
    const int lastRow = (level.height - 1) / kViewTileEdge;
    const int c0 = std::max(0, int(std::floor(left / kViewTileEdge)));
    const int r0 = std::max(0, int(std::floor(top / kViewTileEdge)));
    const int c1 = std::min(lastColumn, int(std::ceil(right / kViewTileEdge)) - 1);
    const int r1 = std::min(lastRow, int(std::ceil(bottom / kViewTileEdge)) - 1);
    for (int r = r0; r <= r1; ++r)
        for (int c = c0; c <= c1; ++c) keys.push_back({level_, r, c});
    return keys;
}

bool Rpx2View::Settled() const {
    return loader_->Outstanding() == 0 && posted_->load() == 0;
}

void Rpx2View::TileArrived(const TileKey& key, TilePointer tile) {
    --*posted_;
    if (tile->failed && tileError_.isEmpty()) {
        tileError_ = QString::fromStdString(tile->error);
        emit tileFailed(tileError_);
    }
    cache_.Insert(key, std::move(tile));
    if (key.level == level_) update();
}

void Rpx2View::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kOutsideFill);
    if (summary_.levels.empty()) return;
    // Drawn in device pixels: at 100 % one image pixel is one screen pixel
    // whatever the device pixel ratio.
    painter.scale(1 / Dpr(), 1 / Dpr());
    const Rpx2LevelSummary& level = summary_.levels[size_t(level_)];
    const double sx = LevelScaleX(level_), sy = LevelScaleY(level_);
    // Tile edges are rounded one by one, so neighbouring tiles meet without
    // a gap or an overlap at any zoom.
    auto viewX = [&](double levelX) { return int(std::lround((levelX / sx - origin_.x()) * zoom_)); };
    auto viewY = [&](double levelY) { return int(std::lround((levelY / sy - origin_.y()) * zoom_)); };
    const QRect image(QPoint(viewX(0), viewY(0)), QPoint(viewX(level.width) - 1, viewY(level.height) - 1));
    painter.setClipRect(image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    const QVector<QRgb>& colours = colourTables_[size_t(level_)];
    const ErrorPicture* error = ErrorShown();
    for (const TileKey& key : VisibleTiles()) {
        const QRect target(QPoint(viewX(key.column * kViewTileEdge), viewY(key.row * kViewTileEdge)),
                           QPoint(viewX((key.column + 1) * kViewTileEdge) - 1,
                                  viewY((key.row + 1) * kViewTileEdge) - 1));
        if (error) {
            // The error picture in the tile's place, edges rounded as the
            // tiles' are.
            const QRect part = QRect(key.column * kViewTileEdge, key.row * kViewTileEdge, kViewTileEdge,
                                     kViewTileEdge)
                                   .intersected(error->heat.rect());
            painter.drawImage(QRect(QPoint(viewX(part.left()), viewY(part.top())),
                                    QPoint(viewX(part.right() + 1) - 1, viewY(part.bottom() + 1) - 1)),
                              error->heat, part);
            continue;
        }
        TilePointer tile = cache_.Find(key);
        if (!tile) {
            painter.fillRect(target, kPendingFill);
        } else if (tile->failed) {
            painter.fillRect(target, QBrush(kFailedFill, Qt::BDiagPattern));
        } else {
            QImage pixels(tile->pixels.data(), kViewTileEdge, kViewTileEdge, kViewTileEdge,
                          QImage::Format_Indexed8);
            pixels.setColorTable(colours);
            painter.drawImage(target, pixels);
        }
    }
    if (error) {
        painter.resetTransform();
        painter.setClipping(false);
        DrawLegend(painter);
    }
}

void Rpx2View::DrawLegend(QPainter& painter) {
    // The compare command's colour scale with its marks, in the bottom left
    // corner.
    const QFontMetrics metrics(font());
    const int barWidth = std::min(260, width() - 40), barHeight = 12, pad = 8;
    if (barWidth < 60) return;
    const QString title = "CIEDE2000 error against the source";
    const int boxWidth = std::max(barWidth, metrics.horizontalAdvance(title)) + 2 * pad + metrics.horizontalAdvance("20+");
    const int boxHeight = pad + metrics.height() + 4 + barHeight + 2 + metrics.height() + pad;
    const QRect box(pad, height() - pad - boxHeight, boxWidth, boxHeight);
    painter.fillRect(box, QColor(255, 255, 255, 225));
    painter.setPen(QColor(60, 60, 60));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    const int left = box.left() + pad, top = box.top() + pad;
    painter.drawText(QRect(left, top, boxWidth - 2 * pad, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter, title);
    const int barTop = top + metrics.height() + 4;
    for (int x = 0; x < barWidth; ++x) {
        const auto c = HeatColour(kHeatScaleTop * x / (barWidth - 1));
        painter.fillRect(QRect(left + x, barTop, 1, barHeight), QColor(c[0], c[1], c[2]));
    }
    for (int mark : kHeatScaleMarks) {
        const int x = left + int(std::lround(double(mark) / kHeatScaleTop * (barWidth - 1)));
        painter.drawLine(x, barTop + barHeight, x, barTop + barHeight + 2);
        const QString label = mark == int(kHeatScaleTop) ? "20+" : QString::number(mark);
        const int labelWidth = metrics.horizontalAdvance(label);
        painter.drawText(QRect(x - labelWidth / 2, barTop + barHeight + 2, labelWidth + 1, metrics.height()),
                         Qt::AlignCenter, label);
    }
}

void Rpx2View::SetErrorOverlay(bool on) {
    errorOverlay_ = on;
    if (!on) errorPictures_.clear();
    update();
}

void Rpx2View::SetErrorPicture(ErrorPicturePointer picture) {
    if (!errorOverlay_ || !picture || picture->level < 0 || picture->level >= int(summary_.levels.size())) return;
    errorPictures_.resize(summary_.levels.size());
    const int level = picture->level;
    errorPictures_[size_t(level)] = std::move(picture);
    if (level == level_) update();
}

const ErrorPicture* Rpx2View::ErrorShown() const {
    if (!errorOverlay_ || size_t(level_) >= errorPictures_.size()) return nullptr;
    return errorPictures_[size_t(level_)].get();
}

void Rpx2View::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // A fitted view stays fitted; otherwise the zoom stays where it was.
    zoom_ = fitted_ ? FitZoom() : std::max(zoom_, MinZoom());
    // A view fitted to a chosen level stays on that level.
    Changed();
}

void Rpx2View::wheelEvent(QWheelEvent* event) {
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0) SetZoom(zoom_ * std::pow(kWheelStep, notches), event->position());
    event->accept();
}

void Rpx2View::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragFrom_ = event->position().toPoint();
        setCursor(Qt::ClosedHandCursor);
    }
}

void Rpx2View::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    if (dragFrom_) {
        PanBy(QPointF(at - *dragFrom_));
        dragFrom_ = at;
    }
    emit pointerMoved(at);
}

void Rpx2View::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    if (!dragFrom_) emit pointerLeft();
}

void Rpx2View::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        dragFrom_.reset();
        unsetCursor();
    }
}

void Rpx2View::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left: PanBy(QPointF(kArrowStep, 0)); break;
    case Qt::Key_Right: PanBy(QPointF(-kArrowStep, 0)); break;
    case Qt::Key_Up: PanBy(QPointF(0, kArrowStep)); break;
    case Qt::Key_Down: PanBy(QPointF(0, -kArrowStep)); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: ZoomBy(kKeyStep); break;
    case Qt::Key_Minus: ZoomBy(1 / kKeyStep); break;
    case Qt::Key_F: FitToView(); break;
    case Qt::Key_1: ShowActualSize(); break;
    default: QWidget::keyPressEvent(event); return;
    }
    event->accept();
}

Rpx2View::Probe Rpx2View::ProbeAt(QPoint viewPixel) {
    Probe probe;
    // The first device pixel of the view pixel, at its middle.
    const QPointF at = origin_ + (QPointF(viewPixel) * Dpr() + QPointF(0.5, 0.5)) / zoom_;
    if (at.x() < 0 || at.y() < 0 || at.x() >= summary_.width || at.y() >= summary_.height) return probe;
    probe.inside = true;
    probe.levelZero = QPoint(int(at.x()), int(at.y()));
    const Rpx2LevelSummary& level = summary_.levels[size_t(level_)];
    const int x = std::min(level.width - 1, int(at.x() * LevelScaleX(level_)));
    const int y = std::min(level.height - 1, int(at.y() * LevelScaleY(level_)));
    probe.inLevel = QPoint(x, y);
    const TileKey key{level_, y / kViewTileEdge, x / kViewTileEdge};
    if (TilePointer tile = cache_.Find(key); tile && !tile->failed)
        probe.index = tile->pixels[size_t(y % kViewTileEdge) * kViewTileEdge + size_t(x % kViewTileEdge)];
    if (const ErrorPicture* error = ErrorShown()) probe.error = error->At(x, y);
    return probe;
}

// ---------------------------------------------------------------------------
// PaletteSwatches

PaletteSwatches::PaletteSwatches(QWidget* parent) : QWidget(parent) {
    setObjectName("PaletteSwatches");
    setMinimumSize(16 * 9 + 1, 16 * 9 + 1);
}

void PaletteSwatches::SetPalette(const Palette& palette) {
    palette_ = palette;
    empty_ = false;
    update();
}

QSize PaletteSwatches::sizeHint() const {
    return QSize(16 * 14 + 1, 16 * 14 + 1);
}

void PaletteSwatches::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (empty_) return;
    const int cell = std::max(4, std::min(width(), height()) / 16);
    for (int i = 0; i < 256; ++i) {
        const PaletteEntry& entry = palette_[size_t(i)];
        const QRect swatch((i % 16) * cell, (i / 16) * cell, cell, cell);
        painter.fillRect(swatch, QColor(entry.red, entry.green, entry.blue));
        painter.setPen(QColor(90, 90, 90));
        painter.drawRect(swatch.adjusted(0, 0, -1, -1));
    }
}

// ---------------------------------------------------------------------------
// TfmViewer

QString PickRpx2File(QWidget* parent, const QString& start) {
    return QFileDialog::getOpenFileName(parent, "Open RPX2 File", start, "RPX2 files (*.rpx2 *.RPX2);;All files (*)");
}

QString Rpx2FailureOf(const QString& path, Rpx2Summary* summary) {
    const QFileInfo file(path);
    if (!file.exists()) return "the file does not exist";
    if (file.isDir()) return "it is a folder, not a file";
    if (file.size() == 0) return "the file is empty";
    try {
        Rpx2Summary read = ReadRpx2Summary(path.toStdString());
        if (read.levels.empty()) return "the file lists no levels";
        if (summary) *summary = std::move(read);
        return QString();
    } catch (const std::exception& error) {
        return QString::fromStdString(error.what());
    } catch (...) {
        return "the file could not be read";
    }
}

TfmViewer::TfmViewer(const QString& path, QWidget* parent, size_t cacheBudget)
    : QMainWindow(parent), cacheBudget_(cacheBudget), pickFile_(PickRpx2File), pickSource_(PickSourceFile) {
    setObjectName("fmViewer");
    setAcceptDrops(true);

    toolbar_ = addToolBar("View");
    toolbar_->setObjectName("ViewToolBar");
    toolbar_->setMovable(false);
    QAction* open = toolbar_->addAction("Open...");
    open->setObjectName("actionOpen");
    open->setShortcut(QKeySequence::Open);
    open->setToolTip("Open another RPX2 file (Ctrl+O); files can be dropped on the window too");
    connect(open, &QAction::triggered, this, &TfmViewer::OpenClick);
    toolbar_->addSeparator();
    auto addAction = [&](const QString& text, const QString& tip, auto slot) {
        QAction* action = toolbar_->addAction(text);
        action->setToolTip(tip);
        connect(action, &QAction::triggered, this, slot);
        viewActions_ << action;
    };
    addAction("Fit", "Show the whole image (F)", [this] { if (view_) view_->FitToView(); });
    addAction("100 %", "Show the image pixel for pixel (1)", [this] { if (view_) view_->ShowActualSize(); });
    addAction("Zoom In", "Zoom in (+ or the mouse wheel)", [this] { if (view_) view_->ZoomBy(2.0); });
    addAction("Zoom Out", "Zoom out (- or the mouse wheel)", [this] { if (view_) view_->ZoomBy(0.5); });
    toolbar_->addSeparator();
    errorAction_ = toolbar_->addAction("Show Error Against Source");
    errorAction_->setObjectName("actionShowError");
    errorAction_->setCheckable(true);
    errorAction_->setShortcut(QKeySequence(Qt::Key_E));
    errorAction_->setToolTip("Show how far the colours of the level in view are from the source's, as a heatmap "
                             "(CIEDE2000), when the source is at hand (E)");
    connect(errorAction_, &QAction::toggled, this, &TfmViewer::ShowErrorAgainstSource);
    // Esc and Ctrl+W close the viewer.
    auto* close = new QAction("Close", this);
    close->setObjectName("actionClose");
    close->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)});
    connect(close, &QAction::triggered, this, &QWidget::close);
    QWidget::addAction(close);

    position_ = new QLabel(this);
    position_->setObjectName("cPosition");
    zoomLabel_ = new QLabel(this);
    zoomLabel_->setObjectName("cZoom");
    errorLabel_ = new QLabel(this);
    errorLabel_->setObjectName("cError");
    statusBar()->addWidget(position_, 1);
    statusBar()->addPermanentWidget(errorLabel_);
    statusBar()->addPermanentWidget(zoomLabel_);

    Load(path);
    FitIntoScreen(this, QSize(1000, 700));
    CentreOnScreen(this);
}

void TfmViewer::OpenClick() {
    if (!pickFile_) return;
    const QString start = path_.isEmpty() ? QString() : QFileInfo(path_).absolutePath();
    const QString chosen = pickFile_(this, start);
    if (!chosen.isEmpty()) Load(chosen);
}

void TfmViewer::Load(const QString& path) {
    // The overlay of the last file goes with it.
    ErrorOverlayOff(QString());
    errorSource_.clear();
    path_ = path;
    setWindowTitle(QFileInfo(path).fileName() + " - RPX2 Viewer");
    Rpx2Summary summary;
    failure_ = Rpx2FailureOf(path, &summary);
    // The last file's view goes, with its tiles and its loader's thread.
    if (QWidget* old = takeCentralWidget()) delete old;
    view_ = nullptr;
    levels_ = nullptr;
    swatches_ = nullptr;
    message_ = nullptr;
    pointer_.reset();
    position_->clear();
    zoomLabel_->clear();
    statusBar()->clearMessage();
    for (QAction* action : viewActions_) action->setEnabled(failure_.isEmpty());
    errorAction_->setEnabled(failure_.isEmpty());

    if (!failure_.isEmpty()) {
        message_ = new QLabel(this);
        message_->setObjectName("cMessage");
        message_->setAlignment(Qt::AlignCenter);
        message_->setWordWrap(true);
        message_->setMargin(20);
        message_->setText(QString("%1 cannot be shown:\n%2").arg(QDir::toNativeSeparators(path), failure_));
        setCentralWidget(message_);
        return;
    }

    auto* splitter = new QSplitter(this);
    splitter->setObjectName("ViewerSplitter");

    auto* side = new QWidget(splitter);
    side->setObjectName("ViewerSidePanel");
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(4, 4, 4, 4);
    auto* levelsTitle = new QLabel("Levels", side);
    levels_ = new QTreeWidget(side);
    QFont bold = levels_->font();
    bold.setBold(true);
    levelsTitle->setFont(bold);
    levels_->setObjectName("cLevels");
    levels_->setRootIsDecorated(false);
    levels_->setSelectionMode(QAbstractItemView::SingleSelection);
    levels_->setHeaderLabels({"Level", "Size", "Scale", "Colours", "Bytes"});
    levels_->setToolTip("Click a level to show it; zooming goes back to the level that suits the zoom");
    const int levelCount = int(summary.levels.size());
    for (int i = 0; i < levelCount; ++i) {
        const Rpx2LevelSummary& level = summary.levels[size_t(i)];
        QString name = QString::number(i);
        if (levelCount >= 3 && i == levelCount - 2) name += " thumbnail";
        if (levelCount >= 3 && i == levelCount - 1) name += " overview";
        auto* item = new QTreeWidgetItem(levels_);
        item->setText(0, name);
        item->setText(1, WithSeparators(level.width) + " x " + WithSeparators(level.height));
        item->setText(2, QLocale().toString(level.scalePercent, 'f', 2) + " %");
        item->setText(3, QString::number(level.distinctColours));
        item->setText(4, WithSeparators(qint64(level.storedBytes)));
        for (int c = 1; c < 5; ++c) item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    }
    // Columns wide enough for the level in view, which is shown in bold.
    for (int i = 0; i < levels_->topLevelItemCount(); ++i)
        for (int c = 0; c < 5; ++c) levels_->topLevelItem(i)->setFont(c, bold);
    for (int c = 0; c < 5; ++c) levels_->resizeColumnToContents(c);
    int levelsWidth = 2 * levels_->frameWidth() + 4;
    for (int c = 0; c < 5; ++c) levelsWidth += levels_->columnWidth(c);
    levels_->setMinimumWidth(std::min(levelsWidth, 480));
    auto* paletteTitle = new QLabel("Palette of the level in view", side);
    paletteTitle->setFont(bold);
    swatches_ = new PaletteSwatches(side);
    sideLayout->addWidget(levelsTitle);
    sideLayout->addWidget(levels_, 1);
    sideLayout->addWidget(paletteTitle);
    sideLayout->addWidget(swatches_, 0, Qt::AlignLeft);

    view_ = new Rpx2View(path.toStdString(), summary, cacheBudget_, splitter);
    splitter->addWidget(side);
    splitter->addWidget(view_);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    setCentralWidget(splitter);

    connect(view_, &Rpx2View::viewChanged, this, &TfmViewer::UpdateViewState);
    connect(view_, &Rpx2View::pointerMoved, this, &TfmViewer::UpdatePointer);
    // Once the pointer has left, a zoom no longer names a pixel under it.
    connect(view_, &Rpx2View::pointerLeft, this, [this] { pointer_.reset(); });
    connect(view_, &Rpx2View::tileFailed, this,
            [this](const QString& reason) { statusBar()->showMessage("Damaged tile: " + reason); });
    // A level picked in the list, by mouse or keyboard, is shown.
    connect(levels_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) { LevelPicked(item); });
    connect(levels_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) { LevelPicked(item); });
    connect(levels_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (!syncingLevels_) LevelPicked(item);
    });

    view_->setFocus();
    UpdateViewState();
}

void TfmViewer::LevelPicked(QTreeWidgetItem* item) {
    if (!view_ || !item) return;
    view_->ShowLevel(levels_->indexOfTopLevelItem(item));
}

void TfmViewer::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!placed_ && !parentWidget()) {
        placed_ = true;
        FitIntoScreen(this, size());
        CentreOnScreen(this);
    }
}

void TfmViewer::dragEnterEvent(QDragEnterEvent* event) {
    // One local file: whether it can be shown is for Load to say.
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void TfmViewer::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return;
    event->acceptProposedAction();
    Load(urls.front().toLocalFile());
}

QString TfmViewer::PositionText() const {
    return position_->text();
}
QString TfmViewer::ZoomText() const {
    return zoomLabel_->text();
}

void TfmViewer::UpdateViewState() {
    if (!view_) return;
    const int level = view_->LevelInView();
    const Rpx2LevelSummary& summary = view_->Summary().levels[size_t(level)];
    zoomLabel_->setText(QString("Zoom %1 % - level %2 (%3 x %4)")
                            .arg(QLocale().toString(view_->Zoom() * 100, 'f', 1))
                            .arg(level)
                            .arg(WithSeparators(summary.width), WithSeparators(summary.height)));
    for (int i = 0; i < levels_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = levels_->topLevelItem(i);
        QFont font = levels_->font();
        font.setBold(i == level);
        for (int c = 0; c < 5; ++c) item->setFont(c, font);
    }
    syncingLevels_ = true;
    levels_->setCurrentItem(levels_->topLevelItem(level));
    syncingLevels_ = false;
    swatches_->SetPalette(summary.palette);
    MeasureLevelInView();
    // A zoom by key or wheel moves the image under a pointer that stays put.
    if (pointer_) UpdatePointer(*pointer_);
}

void TfmViewer::UpdatePointer(QPoint viewPixel) {
    pointer_ = viewPixel;
    const Rpx2View::Probe probe = view_->ProbeAt(viewPixel);
    if (!probe.inside) {
        position_->clear();
        return;
    }
    QString text = QString("Pixel %1, %2 - in level %3: %4, %5 - index ")
                       .arg(probe.levelZero.x())
                       .arg(probe.levelZero.y())
                       .arg(view_->LevelInView())
                       .arg(probe.inLevel.x())
                       .arg(probe.inLevel.y());
    text += probe.index ? QString::number(*probe.index) : QString("(not loaded)");
    if (probe.error) text += " - error " + QLocale().toString(*probe.error, 'f', 2);
    position_->setText(text);
}

QString PickSourceFile(QWidget* parent, const QString& start, const QString& why) {
    return QFileDialog::getOpenFileName(parent, "Where Is the Source Image? " + why, start,
                                        "Images (*.tif *.tiff *.png *.jpg *.jpeg *.gif *.bmp *.pcx *.kap *.ecw "
                                        "*.jp2 *.sid);;All files (*)");
}

void TfmViewer::ShowErrorAgainstSource(bool on) {
    if (!on) {
        ErrorOverlayOff(QString());
        return;
    }
    if (measurer_) return;
    if (!view_) {
        ErrorOverlayOff(QString());
        return;
    }
    if (errorSource_.isEmpty()) {
        const SourceAtHand atHand = RecordedSource(path_);
        if (atHand.path.isEmpty()) {
            statusBar()->showMessage(atHand.why, kNoticeMs);
            const QString chosen = pickSource_ ? pickSource_(this, QFileInfo(path_).absolutePath(), atHand.why)
                                               : QString();
            if (chosen.isEmpty()) {
                ErrorOverlayOff("No source to compare with: " + atHand.why);
                return;
            }
            errorSource_ = chosen;
        } else {
            errorSource_ = atHand.path;
        }
    }
    const uint64_t serial = ++measurerSerial_;
    measurer_ = std::make_unique<ErrorMeasurer>(
        path_.toStdString(), errorSource_.toStdString(), view_->Summary().width, view_->Summary().height,
        [this, serial](int level, ErrorPicturePointer picture, const QString& failure) {
            // From the measuring thread: taken in on the window's.
            QMetaObject::invokeMethod(
                this,
                [this, serial, level, picture = std::move(picture), failure]() mutable {
                    if (serial == measurerSerial_ && measurer_) ErrorMeasured(level, std::move(picture), failure);
                },
                Qt::QueuedConnection);
        });
    if (!errorAction_->isChecked()) {
        const QSignalBlocker quiet(errorAction_);
        errorAction_->setChecked(true);
    }
    view_->SetErrorOverlay(true);
    measuring_ = -1;
    MeasureLevelInView();
}

void TfmViewer::MeasureLevelInView() {
    if (!measurer_ || !view_) return;
    const int level = view_->LevelInView();
    if (view_->ErrorShown()) {
        const ErrorPicture& shown = *view_->ErrorShown();
        errorLabel_->setText(QString("Error of level %1 against %2: mean %3, p99 %4, max %5")
                                 .arg(level)
                                 .arg(QFileInfo(errorSource_).fileName())
                                 .arg(QLocale().toString(shown.mean, 'f', 2), QLocale().toString(shown.p99, 'f', 2),
                                      QLocale().toString(shown.largest, 'f', 2)));
        return;
    }
    errorLabel_->setText(QString("Measuring level %1 against %2...").arg(level).arg(QFileInfo(errorSource_).fileName()));
    if (measuring_ == level) return;
    measuring_ = level;
    measurer_->Measure(level);
}

void TfmViewer::ErrorMeasured(int level, ErrorPicturePointer picture, const QString& failure) {
    if (level == measuring_) measuring_ = -1;
    if (!picture) {
        const QString source = QDir::toNativeSeparators(errorSource_);
        // Asked again next time: the user may point at another file.
        errorSource_.clear();
        ErrorOverlayOff(QString("The error against %1 cannot be shown: %2").arg(source, failure));
        return;
    }
    view_->SetErrorPicture(std::move(picture));
    MeasureLevelInView();
    if (pointer_) UpdatePointer(*pointer_);
}

void TfmViewer::ErrorOverlayOff(const QString& why) {
    // The measuring thread stops at its next row and is waited for.
    measurer_.reset();
    measuring_ = -1;
    if (view_) view_->SetErrorOverlay(false);
    if (errorAction_->isChecked()) {
        const QSignalBlocker quiet(errorAction_);
        errorAction_->setChecked(false);
    }
    errorLabel_->setText(why);
    if (!why.isEmpty()) statusBar()->showMessage(why, kNoticeMs);
    if (view_ && pointer_) UpdatePointer(*pointer_);
}

QString TfmViewer::ErrorText() const {
    return errorLabel_->text();
}

TfmViewer* OpenViewerWindow(const QString& path, QWidget* owner) {
    auto* viewer = new TfmViewer(path, owner);
    if (owner) viewer->setWindowFlag(Qt::Window, true);
    viewer->setAttribute(Qt::WA_DeleteOnClose, true);
    viewer->show();
    viewer->raise();
    viewer->activateWindow();
    return viewer;
}

}  // namespace tessary::app
