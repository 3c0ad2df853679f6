#include "sources/source_formats.h"

namespace tessary {

// This reader is not built yet: the extension has no row in the table.
std::span<const SourceFormat> TiffFormats() { return {}; }

}  // namespace tessary
