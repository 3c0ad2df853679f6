#include "app/image_list_sort.h"

#include "app/settings.h"
#include "common/text.h"

namespace tessary::app {

namespace {

int CompareNoCase(const std::string& a, const std::string& b) {
    std::string ua = UpperAscii(a), ub = UpperAscii(b);
    int c = ua.compare(ub);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

double DisplayedNumber(const std::string& text, const std::string& thousandsSeparator) {
    std::string digits = text;
    if (!thousandsSeparator.empty()) {
        for (size_t at = digits.find(thousandsSeparator); at != std::string::npos;
             at = digits.find(thousandsSeparator, at))
            digits.erase(at, thousandsSeparator.size());
    }
    return ReadDecimal(digits);
}

int CompareColumnTexts(int column, const std::string& a, const std::string& b,
                       const std::string& thousandsSeparator) {
    if (column == kNameColumn) return CompareNoCase(RemoveExtension(a), RemoveExtension(b));
    if (column == kTypeColumn) return CompareNoCase(a, b);
    double x = DisplayedNumber(a, thousandsSeparator), y = DisplayedNumber(b, thousandsSeparator);
    return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace tessary::app
