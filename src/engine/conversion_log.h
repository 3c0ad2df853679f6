// The conversion log: the lines a run leaves behind, image by image. The
// driver and the map file step append lines; the log window and the command
// line show them.
//
// A line is tab-separated fields: a kind letter, the message, a marker ("x"
// draws the line red whatever its kind) and a continuation shown right after
// the message. Each field is trimmed of spaces; a missing field is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

struct Rgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    bool operator==(const Rgb&) const = default;
};

class ConversionLog {
public:
    // Starts with the content shown before the first run: an empty line and
    // "No Conversions done .....".
    ConversionLog();

    void Clear() { lines_.clear(); }
    void Add(std::string_view line) { lines_.emplace_back(line); }
    size_t Count() const { return lines_.size(); }
    const std::string& Line(size_t index) const { return lines_.at(index); }
    const std::vector<std::string>& Lines() const { return lines_; }

    // The whole log as plain text: every displayed line followed by CR LF,
    // empty lines included.
    std::string CopyText() const;

    // Field `number` (1 = kind) of a line, trimmed of spaces; empty when the
    // line has fewer fields.
    static std::string Field(std::string_view line, int number);
    // The indent of kinds "o" and "x" (three spaces), then the message and
    // the continuation.
    static std::string DisplayText(std::string_view line);
    // The colour of a line; no value means the platform's window text colour.
    static std::optional<Rgb> LineColour(std::string_view line);

    static constexpr Rgb kBlue{0, 0, 255};
    static constexpr Rgb kRed{255, 0, 0};
    static constexpr Rgb kGreen{0, 128, 0};

private:
    std::vector<std::string> lines_;
};

}  // namespace tessary
