// GIF sources (.gif): whole-image loader (first frame) and header inspector.
#pragma once

#include <string>

#include "common/picture.h"
#include "sources/source_image.h"

namespace tessary {

// Decodes the first frame into an 8-bit picture of palette indices.
// - A frame as large as the logical screen (or a file whose screen is 0 wide
//   or high) gives the frame's own picture with its colour map (local, else
//   global; a grey palette when the file has neither).
// - A smaller frame is drawn at its position onto a screen-sized picture;
//   the rest of the screen is the background colour. Parts of a frame
//   outside the screen are cut off.
// Gives true. Raises SourceError of kind SourceNotLoadable with giflib's
// reason when the file cannot be opened or holds no frame or sizes it cannot
// hold, and of kind SourceDamaged (giflib's reason and the row) when the
// frame's data is corrupt or cut short; std::bad_alloc when the picture does
// not fit in memory. As a source, a frame without interlacing is read line
// by line instead (one line in memory), giving the same rows.
bool LoadGifBitmap(const std::string& path, Picture& picture);

// Reads the headers byte by byte: the width and height of an image
// descriptor that directly follows the global colour table; 0 x 0 when the
// file is not a GIF, has no global colour table, or has another block first
// (such as an extension). Always 1 byte per pixel. File errors (a file too
// short to hold the headers) raise IoError.
SourceImageInfo GetGifInfo(const std::string& path);

}  // namespace tessary
