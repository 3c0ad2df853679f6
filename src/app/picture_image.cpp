#include "app/picture_image.h"

#include <algorithm>
#include <cstring>

namespace tessary::app {

QImage PictureToImage(const Picture& pictureIn) {
    if (pictureIn.Empty()) return QImage();
    Picture picture = pictureIn;
    picture.ConvertTo8Bit();
    QImage::Format format;
    switch (picture.BitsPerPixel()) {
        case 8:
            format = QImage::Format_Indexed8;
            break;
        case 16:
            format = QImage::Format_RGB555;
            break;
        case 24:
            format = QImage::Format_BGR888;
            break;
        case 32:
            format = QImage::Format_RGB32;
            break;
        default:
            return QImage();
    }
    QImage image(picture.Width(), picture.Height(), format);
    if (image.isNull()) return QImage();
    const size_t rowBytes = std::min(size_t(image.bytesPerLine()), picture.Stride());
    for (int y = 0; y < picture.Height(); ++y) std::memcpy(image.scanLine(y), picture.Row(y), rowBytes);
    if (format == QImage::Format_Indexed8) {
        QList<QRgb> table;
        table.reserve(256);
        for (const PaletteEntry& e : picture.Colours()) table.push_back(qRgb(e.red, e.green, e.blue));
        image.setColorTable(table);
    }
    return image;
}

}  // namespace tessary::app
