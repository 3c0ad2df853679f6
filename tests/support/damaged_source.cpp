#include "support/damaged_source.h"

#include <utility>

#include "sources/source_error.h"
#include "support/fake_rows.h"

namespace tessary::test {

SourceHandle DamagedRowsSource(const std::string& path, int width, int height, const PixelColour& colour,
                               std::set<int> damagedRows) {
    SourceHandle handle = FakeRowsSource(
        path, width, height, 3, Palette{}, [=, damaged = std::move(damagedRows)](int row, uint8_t* buffer) {
            const bool broken = damaged.count(row) > 0;
            const int columns = broken ? width / 2 : width;
            for (int x = 0; x < columns; ++x) {
                const std::array<uint8_t, 3> c = colour(x, row);
                buffer[size_t(x) * 3] = c[0];
                buffer[size_t(x) * 3 + 1] = c[1];
                buffer[size_t(x) * 3 + 2] = c[2];
            }
            if (broken) ThrowDamaged("row " + std::to_string(row) + ": inflate failed");
        });
    handle->Extension = ".tif";  // stands for a TIFF whatever its name
    return handle;
}

}  // namespace tessary::test
