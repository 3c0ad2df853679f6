// Path and text rules shared by every subsystem.
//
// Paths of this platform are taken apart at its own separators: "/" here, so
// that a backslash is part of a file's name ("a\m.png" is one name); "/" and
// "\" on Windows. The names written on the third line of calibration files
// are another matter: they are Windows paths even when read here, and have
// their own rule below. Case folding touches the ASCII letters only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessary {

// Whether a folder value ends in a separator: "/" or "\" (folder values may
// come from settings written on Windows). Names are not split by this.
bool IsPathSeparator(char c);

// The text after the last separator (the whole text when there is none).
std::string FileNamePart(std::string_view path);

// The text up to and including the last separator ("" when there is none).
std::string FolderPart(std::string_view path);

// Removes the text from the last "." that follows the last separator or ":".
std::string RemoveExtension(std::string_view path);

// The file name in an image path written in a calibration file: the text after
// the last "/" or "\", on every platform.
std::string MapLineFileNamePart(std::string_view text);

// The extension with its dot (".tif"), as it stands; "" when there is none.
std::string ExtensionOf(std::string_view path);

std::string UpperAscii(std::string_view text);
std::string LowerAscii(std::string_view text);
bool EqualsIgnoreCaseAscii(std::string_view a, std::string_view b);
bool Contains(std::string_view haystack, std::string_view needle);

// Removes leading and trailing space characters (only ' ', nothing else).
std::string TrimSpaces(std::string_view text);
std::string TrimLeadingSpaces(std::string_view text);

// Appends "/" unless the text already ends in a separator.
std::string WithTrailingSeparator(std::string_view folder);

// Decimal digits grouped by three from the right: 1234567 -> "1,234,567".
std::string FormatThousands(int64_t value, std::string_view separator = ",");

// The separator of the user's locale for grouping digits ("," when the
// locale names none).
std::string LocaleThousandsSeparator();

// Fixed notation with exactly one decimal digit: 33.333 -> "33.3".
std::string FormatOneDecimal(double value);

// Nearest integer, halves to even.
int64_t RoundHalfEven(double value);

}  // namespace tessary
