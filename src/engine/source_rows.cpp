#include "engine/source_rows.h"

#include "raster/scratch_raster.h"
#include "rpx/rpx_reader.h"
#include "sources/source_formats.h"

namespace tessary {

void AddEngineSourceRows() {
    static const bool added = [] {
        AddSourceFormats(RpxFormats());
        AddSourceFormats(ScratchFormats());
        return true;
    }();
    (void)added;
}

}  // namespace tessary
