// Placing windows on the screen.
#pragma once

class QWidget;

namespace tessary::app {

// Moves a top-level window so that it sits in the middle of the available
// area of the screen it is on (the primary screen before it is shown). A
// window larger than that area keeps its top left corner inside it.
void CentreOnScreen(QWidget* window);

}  // namespace tessary::app
