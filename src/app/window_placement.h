// Placing windows on the screen.
#pragma once

#include <QSize>

class QWidget;

namespace tessary::app {

// Moves a top-level window so that it sits in the middle of the available
// area of the screen it is on (the primary screen before it is shown). A
// window larger than that area keeps its top left corner inside it.
void CentreOnScreen(QWidget* window);

// Resizes a top-level window to `wanted`, shrunk where the available area
// of its screen is smaller (a high device pixel ratio on a small screen),
// down to the window's minimum size at most.
void FitIntoScreen(QWidget* window, QSize wanted);

}  // namespace tessary::app
