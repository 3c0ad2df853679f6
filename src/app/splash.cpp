#include "app/splash.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include "app/window_placement.h"

namespace tessary::app {

QPixmap DrawLogo(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // Three stacked tiles, largest at the back: a pyramid of zoom levels.
    const QColor fills[3] = {QColor(46, 125, 50), QColor(2, 119, 189), QColor(249, 168, 37)};
    const QRectF tiles[3] = {QRectF(4, 4, 40, 40), QRectF(16, 16, 32, 32), QRectF(30, 30, 30, 30)};
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(QColor(255, 255, 255), 2));
        p.setBrush(fills[i]);
        p.drawRoundedRect(tiles[i], 4, 4);
    }
    // The grid of tiles on the front level.
    p.setPen(QPen(QColor(255, 255, 255, 200), 1.5));
    p.drawLine(QPointF(45, 31), QPointF(45, 59));
    p.drawLine(QPointF(31, 45), QPointF(59, 45));
    return pixmap;
}

TSplashForm::TSplashForm(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName("SplashForm");
    setFixedSize(405, 186);
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);

    auto* panel = new QWidget(this);
    panel->setObjectName("Panel1");
    panel->setGeometry(3, 3, 399, 180);
    panel->setAutoFillBackground(true);
    QPalette blue = panel->palette();
    blue.setColor(QPalette::Window, QColor(77, 104, 148));
    blue.setColor(QPalette::WindowText, Qt::white);
    panel->setPalette(blue);

    auto* logo = new QLabel(panel);
    logo->setObjectName("Image1");
    logo->setPixmap(DrawLogo(88));
    logo->setGeometry(80, 47, 88, 88);

    auto* title = new QLabel("Image to Rpx2 File Conversion", panel);
    title->setObjectName("Label1");
    title->setGeometry(180, 96, 215, 24);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);

    auto* line = new QLabel(QString(), panel);
    line->setObjectName("Label2");
    line->setGeometry(4, 4, 300, 16);

    bClose_ = new QPushButton("Close", panel);
    bClose_->setObjectName("bClose");
    bClose_->setFlat(true);
    bClose_->hide();
    connect(bClose_, &QPushButton::clicked, this, &TSplashForm::bCloseClick);
    CentreOnScreen(this);
}

void TSplashForm::bCloseClick() {
    close();
}

}  // namespace tessary::app
