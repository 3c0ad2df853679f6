// How the image list compares two rows: by name or type without regard to
// ASCII case, or by the number a size column displays. Each column keeps its
// own direction for the life of the window.
#pragma once

#include <array>
#include <string>

namespace tessary::app {

enum ImageColumn {
    kNameColumn = 0,
    kTypeColumn,
    kDiskSizeColumn,
    kMemSizeColumn,
    kWidthColumn,
    kHeightColumn
};
inline constexpr int kImageColumnCount = 6;

// The number a numeric column shows: the thousands separator removed, spaces
// trimmed, a ',' read as a decimal point; text that is not a number is 0.
double DisplayedNumber(const std::string& text, const std::string& thousandsSeparator);

// -1, 0 or +1 for two rows' texts in `column`, in ascending order. Names
// compare without their extensions.
int CompareColumnTexts(int column, const std::string& a, const std::string& b,
                       const std::string& thousandsSeparator);

class SortState {
public:
    // A click on a column: the current column reverses its direction, any
    // other column becomes current with its remembered direction.
    void ColumnClicked(int column) {
        if (column < 0 || column >= kImageColumnCount) return;
        if (column == current_) direction_[size_t(column)] = -direction_[size_t(column)];
        current_ = column;
    }
    // After a refill: Name is current again; directions are kept.
    void ResetColumn() { current_ = kNameColumn; }
    // Name current and every direction ascending.
    void Reset() {
        current_ = kNameColumn;
        direction_.fill(1);
    }
    int Column() const { return current_; }
    int Direction(int column) const { return direction_[size_t(column)]; }
    int Direction() const { return direction_[size_t(current_)]; }

private:
    int current_ = kNameColumn;
    std::array<int, kImageColumnCount> direction_{1, 1, 1, 1, 1, 1};
};

}  // namespace tessary::app
