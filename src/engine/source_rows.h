// The source table's rows whose readers live beside the sources rather than
// among them: RPX and RPX2 files (rpx/) and scratch rasters (raster/).
#pragma once

namespace tessary {

// Adds those rows to the source table once; later calls do nothing. The
// engine calls it where a run or a list starts, and each program's main
// before it looks at an extension.
void AddEngineSourceRows();

}  // namespace tessary
