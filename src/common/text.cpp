#include "common/text.h"

#include <clocale>
#include <cmath>
#include <cstdio>

namespace tessary {

bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// What separates the folders of this platform's paths.
static bool IsNameSeparator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

static size_t LastSeparator(std::string_view path) {
    for (size_t i = path.size(); i > 0; --i)
        if (IsNameSeparator(path[i - 1])) return i - 1;
    return std::string_view::npos;
}

std::string MapLineFileNamePart(std::string_view text) {
    const size_t sep = text.find_last_of("/\\");
    return std::string(sep == std::string_view::npos ? text : text.substr(sep + 1));
}

std::string FileNamePart(std::string_view path) {
    size_t sep = LastSeparator(path);
    return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

std::string FolderPart(std::string_view path) {
    size_t sep = LastSeparator(path);
    return sep == std::string_view::npos ? std::string() : std::string(path.substr(0, sep + 1));
}

static size_t ExtensionDot(std::string_view path) {
    for (size_t i = path.size(); i > 0; --i) {
        char c = path[i - 1];
        if (c == '.') return i - 1;
        if (IsNameSeparator(c) || c == ':') break;
    }
    return std::string_view::npos;
}

std::string RemoveExtension(std::string_view path) {
    size_t dot = ExtensionDot(path);
    return std::string(dot == std::string_view::npos ? path : path.substr(0, dot));
}

std::string ExtensionOf(std::string_view path) {
    size_t dot = ExtensionDot(path);
    return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot));
}

std::string UpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return out;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && UpperAscii(a) == UpperAscii(b);
}

bool Contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

std::string TrimLeadingSpaces(std::string_view text) {
    size_t b = 0;
    while (b < text.size() && text[b] == ' ') ++b;
    return std::string(text.substr(b));
}

std::string TrimSpaces(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    return std::string(text.substr(b, e - b));
}

std::string WithTrailingSeparator(std::string_view folder) {
    std::string out(folder);
#ifdef _WIN32
    if (out.empty() || !IsPathSeparator(out.back())) out += '\\';
#else
    if (out.empty() || !IsPathSeparator(out.back())) out += '/';
#endif
    return out;
}

std::string FormatThousands(int64_t value, std::string_view separator) {
    bool negative = value < 0;
    uint64_t magnitude = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    std::string digits = std::to_string(magnitude);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3 * separator.size() + 1);
    if (negative) out += '-';
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += separator;
        out += digits[i];
    }
    return out;
}

std::string LocaleThousandsSeparator() {
    const std::lconv* conv = std::localeconv();
    if (conv && conv->thousands_sep && conv->thousands_sep[0]) return conv->thousands_sep;
    return ",";
}

std::string FormatOneDecimal(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return TrimSpaces(buffer);
}

int64_t RoundHalfEven(double value) { return int64_t(std::nearbyint(value)); }

}  // namespace tessary
