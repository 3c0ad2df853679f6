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
// Gives false (the picture left empty) when the file holds no frame.
// Raises std::runtime_error when the file cannot be decoded (corrupt or
// truncated data, a size the file cannot hold); std::bad_alloc when the
// picture does not fit in memory.
bool LoadGifBitmap(const std::string& path, Picture& picture);

// Reads the headers byte by byte: the width and height of an image
// descriptor that directly follows the global colour table; 0 x 0 when the
// file is not a GIF, has no global colour table, or has another block first
// (such as an extension). Always 1 byte per pixel. File errors (a file too
// short to hold the headers) raise IoError.
SourceImageInfo GetGifInfo(const std::string& path);

}  // namespace tessary
