// Pictures of the engine shown in Qt widgets.
#pragma once

#include <QImage>

#include "common/picture.h"

namespace tessary::app {

// A deep copy of the picture as a QImage (1, 4 and 8 bits through the
// palette, 16 bits as 5-5-5, 24 bits blue-green-red, 32 bits blue-green-red
// and an unused byte). A null image for an empty picture.
QImage PictureToImage(const Picture& picture);

}  // namespace tessary::app
