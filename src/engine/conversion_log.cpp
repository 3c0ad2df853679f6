#include "engine/conversion_log.h"

#include "common/text.h"

namespace tessary {

ConversionLog::ConversionLog() : lines_{"", "i\tNo Conversions done ....."} {}

std::string ConversionLog::Field(std::string_view line, int number) {
    size_t start = 0;
    for (int i = 1; i < number; ++i) {
        size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) return std::string();
        start = tab + 1;
    }
    size_t end = line.find('\t', start);
    if (end == std::string_view::npos) end = line.size();
    return TrimSpaces(line.substr(start, end - start));
}

std::string ConversionLog::DisplayText(std::string_view line) {
    std::string kind = Field(line, 1);
    std::string text = (kind == "o" || kind == "x") ? "   " : "";
    text += Field(line, 2);
    text += Field(line, 4);
    return text;
}

std::optional<Rgb> ConversionLog::LineColour(std::string_view line) {
    std::string kind = Field(line, 1);
    std::optional<Rgb> colour;
    if (kind == "e") colour = kRed;
    if (kind == "z") colour = kGreen;
    if (kind == "i") colour = kBlue;
    if (kind == "x" || Field(line, 3) == "x") colour = kRed;
    return colour;
}

std::string ConversionLog::CopyText() const {
    std::string text;
    for (const std::string& line : lines_) {
        text += DisplayText(line);
        text += "\r\n";
    }
    return text;
}

}  // namespace tessary
