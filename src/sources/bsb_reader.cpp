#include "sources/bsb_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/expansion_limit.h"
#include "common/le.h"
#include "common/text.h"
#include "sources/fixed_colour_table.h"
#include "sources/source_formats.h"

namespace tessary {

namespace {

constexpr uint8_t kEndOfText = 0x1A;
// A header longer than this is not a chart header; real ones are a few KB.
constexpr size_t kMaxHeaderBytes = size_t(16) << 20;
// A run longer than any row is clipped anyway; lengths stop growing here so
// that long chains of continuation bytes cannot overflow.
constexpr int kLengthCeiling = 1 << 24;

struct RunMasks {
    uint8_t index;
    int shift;
    uint8_t length;
};

constexpr RunMasks kRunMasks[8] = {
    {0x00, 0, 0x00},  // unused
    {0x40, 6, 0x3F}, {0x60, 5, 0x1F}, {0x70, 4, 0x0F}, {0x78, 3, 0x07},
    {0x7C, 2, 0x03}, {0x7E, 1, 0x01}, {0x7F, 0, 0x00},
};

// The text of field `field` (from 1) of a comma-separated value, or "" when
// the value has fewer fields.
std::string_view Field(std::string_view value, int field) {
    size_t start = 0;
    for (int n = 1; n < field; ++n) {
        size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) return {};
        start = comma + 1;
    }
    size_t end = value.find(',', start);
    return value.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

bool ParseInt(std::string_view text, int& out) {
    std::string cleaned(text);
    for (char& c : cleaned)
        if (!((c >= '0' && c <= '9') || c == '+' || c == '-')) c = ' ';
    cleaned = TrimSpaces(cleaned);
    if (cleaned.empty()) return false;
    size_t i = 0;
    bool negative = false;
    if (cleaned[0] == '+' || cleaned[0] == '-') {
        negative = cleaned[0] == '-';
        i = 1;
    }
    if (i == cleaned.size()) return false;
    long long value = 0;
    for (; i < cleaned.size(); ++i) {
        char c = cleaned[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return false;
    }
    out = int(negative ? -value : value);
    return true;
}

// What the header says, gathered record by record.
struct ChartHeader {
    bool nosRules = false;
    bool sawSize = false;
    int width = 0;
    int height = 0;
    int rowsPerEntry = 1;
    bool sawIndexBits = false;
    int indexBits = 0;
    int colourCount = 0;
    bool badColourIndex = false;
    std::array<std::array<uint8_t, 3>, 256> colours{};
};

void ApplyRecord(const std::string& record, ChartHeader& header) {
    size_t slash = record.find('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string_view key(record.data(), slash);
    std::string_view value = std::string_view(record).substr(slash + 1);

    if ((!header.nosRules && key == "BSB") || (header.nosRules && key == "NOS")) {
        size_t ra = value.find("RA=");
        if (ra == std::string_view::npos) return;
        std::string after(value.substr(ra + 3));
        int first = header.nosRules ? 3 : 1;
        header.width = ChartFieldInt(after, first, 0);
        header.height = ChartFieldInt(after, first + 1, 0);
        header.sawSize = true;
    } else if (key == "OST") {
        header.rowsPerEntry = ChartFieldInt(std::string(value), 1, 1);
    } else if (key == "IFM") {
        header.indexBits = ChartFieldInt(std::string(value), 1, 1);
        header.sawIndexBits = true;
    } else if (key == "RGB") {
        std::string v(value);
        int index = ChartFieldInt(v, 1, 0);
        ++header.colourCount;
        if (index < 0 || index > 255) {
            header.badColourIndex = true;
            return;
        }
        // Colour values are bytes; larger numbers keep their low byte.
        header.colours[index] = {uint8_t(ChartFieldInt(v, 2, 0)), uint8_t(ChartFieldInt(v, 3, 0)),
                                 uint8_t(ChartFieldInt(v, 4, 0))};
    }
}

// Splits the header text into lines (CR, LF or CR LF) and assembles records:
// a line starting with four spaces continues the record before it.
void ParseHeaderText(std::string_view text, ChartHeader& header) {
    std::string record;
    bool haveRecord = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
        std::string_view line = text.substr(pos, end - pos);
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        pos = end + 1;

        if (line.substr(0, 4) == "    ") {
            record += ',';
            record += TrimSpaces(line);
        } else {
            if (haveRecord) ApplyRecord(record, header);
            record.assign(line);
            haveRecord = true;
        }
    }
    if (haveRecord) ApplyRecord(record, header);
}

// Reads the file from its start up to the first 0x1A. False when there is
// none within kMaxHeaderBytes (a file without row data).
bool ReadHeaderText(CheckedFile& file, std::string& text, uint64_t& endOfText) {
    text.clear();
    std::vector<char> chunk(64 * 1024);
    file.Seek(0);
    while (text.size() < kMaxHeaderBytes) {
        size_t n = file.ReadSome(chunk.data(), chunk.size());
        if (n == 0) return false;
        const char* eot = static_cast<const char*>(std::memchr(chunk.data(), kEndOfText, n));
        if (eot) {
            text.append(chunk.data(), size_t(eot - chunk.data()));
            endOfText = text.size();
            return true;
        }
        text.append(chunk.data(), n);
    }
    return false;
}

// Checks a stored row table: every delivered row starts after the header and
// no later than the table, and rows never go backwards.
bool RowTableIsSound(const std::vector<uint32_t>& table, uint64_t dataStart, uint64_t tablePosition) {
    for (size_t i = 0; i < table.size(); ++i) {
        if (table[i] < dataStart || table[i] > tablePosition) return false;
        if (i > 0 && table[i] < table[i - 1]) return false;
    }
    return true;
}

// Finds the rows of a chart whose file holds no usable row table by walking
// them: each row is its row number (7 bits a byte, high bit on all but the
// last), then runs, each a first byte and continuation bytes while bit 7 is
// set, up to a first byte of 0. Fills the start of every complete row found
// (at most `height`) and the end of the last; gives the number of complete
// rows, fewer than `height` when the file ends first.
int ScanRows(CheckedFile& file, uint64_t rowsStart, int height, std::vector<uint32_t>& table) {
    table.clear();
    table.reserve(size_t(height) + 1);
    std::vector<uint8_t> buffer(64 * 1024);
    size_t have = 0, at = 0;
    uint64_t bufferStart = rowsStart;
    file.Seek(rowsStart);
    auto next = [&](uint8_t& byte) -> bool {
        if (at == have) {
            bufferStart += have;
            have = file.ReadSome(buffer.data(), buffer.size());
            at = 0;
            if (have == 0) return false;
        }
        byte = buffer[at++];
        return true;
    };
    auto position = [&] { return bufferStart + at; };
    // Walks one row; false when the file ends inside it.
    auto skipRow = [&] {
        uint8_t byte = 0;
        do {
            if (!next(byte)) return false;
        } while (byte & 0x80);
        for (;;) {
            if (!next(byte)) return false;
            if (byte == 0) return true;
            while (byte & 0x80)
                if (!next(byte)) return false;
        }
    };

    int found = 0;
    uint64_t start = position();
    while (found < height && start <= UINT32_MAX) {
        if (!skipRow() || position() > UINT32_MAX) break;
        table.push_back(uint32_t(start));
        ++found;
        start = position();
    }
    if (found > 0) table.push_back(uint32_t(start));
    return found;
}

// "row 1,204 of 1,536": rows are counted from 1 here, as chart files number
// them.
std::string RowName(int row, int height) {
    return "row " + FormatThousands(int64_t(row) + 1) + " of " + FormatThousands(height);
}

[[noreturn]] void Refuse(const std::string& detail) {
    throw SourceError(SourceOpenError::SourceUnusable, detail);
}

// Row data read at most to weigh a chart's width, and rows read when the row
// data is larger than that.
constexpr uint64_t kWidthCheckBytes = uint64_t(4) << 20;
constexpr int kWidthCheckRows = 64;

// The header's width is weighed against the rows themselves: a chart is
// refused when no row read covers even half of the width it states. One
// continuation byte multiplies a run's length by 128, so a few bytes can state
// any width and the file's size bounds nothing; but a chart whose rows all end
// far short of the stated width (a 625-pixel chart stating 2,147,483,647) is
// not that wide, and every row buffer of the conversion would be sized by the
// false width. All rows are read when their data is small; otherwise rows
// spread over the chart, within a byte budget. A chart with some full rows
// opens as before, its short rows damaged.
void WeighWidth(CheckedFile& file, const std::vector<uint32_t>& table, int rows, int indexBits, int width) {
    if (rows <= 0 || width <= 2) return;
    const uint64_t allBytes = uint64_t(table[size_t(rows)]) - uint64_t(table[0]);
    const int step = allBytes <= kWidthCheckBytes ? 1 : std::max(1, rows / kWidthCheckRows);
    std::vector<uint8_t> bytes;
    uint64_t budget = kWidthCheckBytes;
    int widest = 0;
    int read = 0;
    for (int row = 0; row < rows; row += step) {
        const uint64_t size = uint64_t(table[size_t(row) + 1]) - uint64_t(table[size_t(row)]);
        if (size > budget) return;  // rows too large to weigh within the budget: not judged
        budget -= size;
        bytes.resize(size_t(size));
        if (size > 0) {
            file.Seek(table[size_t(row)]);
            file.ReadExact(bytes.data(), bytes.size());
        }
        widest = std::max(widest, DecodeChartRow(bytes, indexBits, width, nullptr));
        ++read;
        if (int64_t(widest) * 2 >= int64_t(width)) return;
    }
    Refuse("the header's width of " + FormatThousands(width) + " pixels is more than twice what any row covers (" +
           FormatThousands(widest) + " pixels at most, in " + FormatThousands(read) +
           (read == 1 ? " row" : " rows") + " read)");
}

}  // namespace

int ChartFieldInt(const std::string& value, int field, int fallback) {
    int out = 0;
    return ParseInt(Field(value, field), out) ? out : fallback;
}

int DecodeChartRow(std::span<const uint8_t> bytes, int indexBits, int width, uint8_t* row) {
    if (indexBits < 1 || indexBits > 7 || width <= 0) return 0;
    const RunMasks masks = kRunMasks[indexBits];
    size_t p = 0;
    // The row number: every byte with bit 7 set, then one more.
    while (p < bytes.size() && (bytes[p] & 0x80)) ++p;
    if (p < bytes.size()) ++p;

    int i = 0;
    while (p < bytes.size()) {
        uint8_t first = bytes[p++];
        uint8_t index = uint8_t((first & masks.index) >> masks.shift);
        int length = first & masks.length;
        uint8_t last = first;
        while ((last & 0x80) && p < bytes.size()) {
            last = bytes[p++];
            if (length < kLengthCeiling) length = length * 128 + (last & 0x7F);
        }
        if (length > width - i - 1) length = width - i - 1;  // i + length + 1 > width, without overflow
        if (length >= 0) {
            if (row) std::memset(row + i, index, size_t(length) + 1);
            i += length + 1;
        }
    }
    if (i == width - 1 && row) row[width - 1] = 0;
    return i;
}

std::unique_ptr<ChartReader> OpenChart(const std::string& path) {
    ChartHeader header;
    header.nosRules = Contains(UpperAscii(ExtensionOf(path)), ".NO");

    CheckedFile file(path, CheckedFile::Mode::Read);
    std::string text;
    uint64_t endOfText = 0;
    if (!ReadHeaderText(file, text, endOfText)) Refuse("no end of the chart's text header (0x1A)");
    ParseHeaderText(text, header);

    const char* sizeRecord = header.nosRules ? "NOS" : "BSB";
    if (!header.sawSize) Refuse(std::string("no chart size (RA=) in the ") + sizeRecord + " record");
    if (header.width <= 0 || header.height <= 0)
        Refuse("chart size " + FormatThousands(header.width) + " x " + FormatThousands(header.height) +
               " has no pixels");
    if (header.rowsPerEntry != 1)
        Refuse("OST/" + std::to_string(header.rowsPerEntry) + ": only one row per table entry is supported");
    if (header.badColourIndex) Refuse("RGB record with a colour index outside 0 to 255");
    if (header.sawIndexBits && (header.indexBits < 1 || header.indexBits > 7))
        Refuse("IFM/" + std::to_string(header.indexBits) + ": index bits must be 1 to 7");

    const uint64_t fileSize = file.Size();
    const uint64_t afterText = endOfText + 1;
    // After the 0x1A: a 0 byte, then the index bits again, then the rows.
    uint64_t rowsStart = afterText;
    uint8_t lead[2] = {0, 0};
    file.Seek(afterText);
    size_t leadBytes = file.ReadSome(lead, 2);
    int storedIndexBits = 0;
    if (leadBytes >= 1 && lead[0] == 0) {
        rowsStart += 1;
        if (leadBytes >= 2) {
            storedIndexBits = lead[1];
            rowsStart += 1;
        }
    } else if (leadBytes >= 1) {
        storedIndexBits = lead[0];
        rowsStart += 1;
    }
    // Charts without an "IFM" record: the index bits stored after the header.
    if (!header.sawIndexBits) {
        if (storedIndexBits < 1 || storedIndexBits > 7)
            Refuse("no IFM record, and the index bits after the header (" + std::to_string(storedIndexBits) +
                   ") are not 1 to 7");
        header.indexBits = storedIndexBits;
    }

    std::unique_ptr<ChartReader> chart(new ChartReader());
    chart->width_ = header.width;
    chart->height_ = header.height;
    chart->rowsPerEntry_ = header.rowsPerEntry;
    chart->indexBits_ = header.indexBits;
    chart->colourCount_ = header.colourCount;
    chart->colours_ = header.colours;

    // The row table: one offset per row, then the table position itself,
    // which ends the last row.
    const uint64_t entries = uint64_t(header.height);
    bool haveTable = false;
    if (fileSize >= afterText + 4) {
        uint8_t tail[4];
        file.Seek(fileSize - 4);
        file.ReadExact(tail, 4);
        const uint64_t tablePosition = ReadU32BE(tail);
        if (tablePosition >= afterText && tablePosition + (entries + 1) * 4 <= fileSize) {
            std::vector<uint8_t> raw(size_t(entries + 1) * 4);
            file.Seek(tablePosition);
            file.ReadExact(raw.data(), raw.size());
            std::vector<uint32_t> table(size_t(entries) + 1);
            for (size_t i = 0; i < table.size(); ++i) table[i] = ReadU32BE(raw.data() + 4 * i);
            if (RowTableIsSound(table, afterText, tablePosition)) {
                chart->rowTable_ = std::move(table);
                chart->rowsInFile_ = header.height;
                haveTable = true;
            }
        }
    }
    if (!haveTable) {
        // Refuse row counts the file cannot hold before building a table for
        // them.
        if (!kChartRowExpansion.Allows(fileSize, uint64_t(header.height)))
            Refuse("the header's " + FormatThousands(header.height) + " rows cannot fit in a file of " +
                   FormatThousands(int64_t(fileSize)) + " bytes");
        chart->rowsInFile_ = ScanRows(file, rowsStart, header.height, chart->rowTable_);
        if (chart->rowsInFile_ == 0) Refuse("no row data after the header");
        chart->scanned_ = true;
    }
    WeighWidth(file, chart->rowTable_, chart->rowsInFile_, header.indexBits, header.width);
    chart->file_ = std::move(file);
    return chart;
}

void ChartReader::FillFormat(int32_t& bytesPerPixel, Palette& palette) {
    bytesPerPixel = 1;
    int last = std::min(colourCount_, 255);
    for (int i = 1; i <= last; ++i) {
        palette[i].red = colours_[i][0];
        palette[i].green = colours_[i][1];
        palette[i].blue = colours_[i][2];
        palette[i].reserved = 0;
    }
}

bool GetChartFormat(ChartReader* chart, int32_t& bytesPerPixel, Palette& palette) {
    if (!chart) return false;
    chart->FillFormat(bytesPerPixel, palette);
    return true;
}

std::string ChartReader::DecodeRow(int row, uint8_t* buffer) {
    if (row >= rowsInFile_)
        return RowName(row, height_) + ": not in the file (it ends after row " + FormatThousands(rowsInFile_) +
               ")";
    uint32_t start = rowTable_[size_t(row)];
    uint32_t end = rowTable_[size_t(row) + 1];
    rowBytes_.resize(end - start);
    if (!rowBytes_.empty()) {
        file_.Seek(start);
        file_.ReadExact(rowBytes_.data(), rowBytes_.size());
    }
    int pixels = DecodeChartRow(rowBytes_, indexBits_, width_, buffer);
    // A row one pixel short is how some writers end their rows; anything
    // shorter is a row whose run-length data is broken.
    if (pixels < width_ - 1)
        return RowName(row, height_) + ": run-length data covers " + FormatThousands(pixels) + " of " +
               FormatThousands(width_) + " pixels";
    return {};
}

void ChartReader::ReadRow(int row, uint8_t* buffer) {
    if (row < 0 || row > height_ - 1) return;
    std::string damage = DecodeRow(row, buffer);
    if (!damage.empty()) ThrowDamaged(damage);
}

Picture ChartReader::LoadPreview(int factor) {
    if (factor < 1) factor = 1;
    int previewWidth = width_ / factor;
    int previewHeight = height_ / factor;
    if (previewWidth <= 0 || previewHeight <= 0) return Picture();
    Picture picture(previewWidth, previewHeight, 8);
    Palette& palette = picture.Colours();
    int32_t bytesPerPixel = 1;
    FillFormat(bytesPerPixel, palette);
    for (size_t k = 0; k < kFixedColourTable.size(); ++k) {
        size_t entry = size_t(colourCount_) + 1 + k;
        if (entry > 255) break;
        palette[entry] = {kFixedColourTable[k].blue, kFixedColourTable[k].green, kFixedColourTable[k].red, 0};
    }
    std::vector<uint8_t> row(size_t(width_), 0);
    // A damaged row shows what could be decoded of it: the preview is for
    // looking, and the conversion reports the damage.
    for (int y = 0; y < previewHeight; ++y) {
        DecodeRow(y * factor, row.data());
        uint8_t* out = picture.Row(y);
        for (int x = 0; x < previewWidth; ++x) out[x] = row[size_t(x) * size_t(factor)];
    }
    return picture;
}

Picture LoadChartPreview(const std::string& path, int factor) {
    std::unique_ptr<ChartReader> chart;
    try {
        chart = OpenChart(path);
    } catch (const SourceError&) {
        return Picture();
    }
    return chart->LoadPreview(factor);
}

bool GetChartInfo(const std::string& path, SourceImageInfo& info) {
    info = SourceImageInfo{};
    std::unique_ptr<ChartReader> chart;
    try {
        chart = OpenChart(path);
    } catch (const SourceError&) {
        return false;
    }
    info.width = chart->Width();
    info.height = chart->Height();
    info.bytesPerPixel = 1;
    return true;
}

namespace {

std::unique_ptr<SourceRowReader> OpenChartRows(const std::string& path) {
    return OpenChart(path);
}

SourceImageInfo InspectChart(const std::string& path) {
    SourceImageInfo info;
    GetChartInfo(path, info);
    return info;
}

const SourceFormat kBsbFormats[] = {
    {".kap", nullptr, &OpenChartRows, &InspectChart},
    {".nos", nullptr, &OpenChartRows, &InspectChart},
};

}  // namespace

std::span<const SourceFormat> BsbFormats() {
    return kBsbFormats;
}

}  // namespace tessary
