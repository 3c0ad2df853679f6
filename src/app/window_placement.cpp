#include "app/window_placement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>

namespace tessary::app {

void CentreOnScreen(QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    // Before the window is shown its frame is unknown; the frame's share is
    // the difference between frame and client once it is known.
    const QSize frameExtra = window->frameGeometry().size() - window->geometry().size();
    const QSize outer = window->size() + frameExtra;
    const int x = area.x() + std::max(0, (area.width() - outer.width()) / 2);
    const int y = area.y() + std::max(0, (area.height() - outer.height()) / 2);
    window->move(x, y);
}

void FitIntoScreen(QWidget* window, QSize wanted) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        const QSize frameExtra = window->frameGeometry().size() - window->geometry().size();
        wanted = wanted.boundedTo(screen->availableGeometry().size() - frameExtra);
    }
    window->resize(wanted.expandedTo(window->minimumSizeHint()).expandedTo(window->minimumSize()));
}

}  // namespace tessary::app
