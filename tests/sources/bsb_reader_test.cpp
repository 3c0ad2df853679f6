#include "sources/bsb_reader.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "common/text.h"
#include "sources/fixed_colour_table.h"
#include "sources/source_image.h"
#include "sources/source_notes.h"
#include "support/temp_folder.h"

namespace tessary {
namespace {

namespace fs = std::filesystem;

const std::string kData = std::string(TESSARY_TEST_DATA) + "/bsb/";

// Expected per-row CRC-32 of the red, green, blue bytes, made once by
// tests/data/bsb/make_expected.py from gdal_translate's decode.
std::vector<uint32_t> ExpectedRowCrcs(const std::string& file) {
    std::ifstream in(file);
    std::vector<uint32_t> crcs;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        size_t row;
        std::string hex;
        fields >> row >> hex;
        crcs.push_back(uint32_t(std::stoul(hex, nullptr, 16)));
        EXPECT_EQ(row + 1, crcs.size());
    }
    return crcs;
}

uint32_t RowColourCrc(const std::vector<uint8_t>& indices, const Palette& palette) {
    std::vector<uint8_t> rgb;
    rgb.reserve(indices.size() * 3);
    for (uint8_t i : indices) {
        rgb.push_back(palette[i].red);
        rgb.push_back(palette[i].green);
        rgb.push_back(palette[i].blue);
    }
    return uint32_t(crc32(0, rgb.data(), uInt(rgb.size())));
}

TEST(BsbReader, RealChartsGiveTheColoursOfAnIndependentDecoder) {
    struct Chart {
        std::string name, expected;
        int width, height;
        bool scanned;
    };
    const std::vector<Chart> charts = {
        {"australia4c.kap", "australia4c.rows.crc32", 625, 480, false},
        {"golfe_morbihan_A1a.kap", "golfe_morbihan_A1a.rows.crc32", 992, 617, false},
        {"rgbsmall.kap", "rgbsmall.rows.crc32", 50, 50, true},
        {"19347_2.KAP", "19347_2.rows.crc32", 2248, 1536, false},
    };
    // All charts stay open together and are read in turns: each keeps its own
    // state.
    std::vector<SourceHandle> handles;
    std::vector<std::vector<uint32_t>> expected;
    for (const Chart& c : charts) {
        handles.push_back(OpenSourceImageOrNull(kData + c.name));
        ASSERT_TRUE(handles.back()) << c.name;
        EXPECT_EQ(handles.back()->Extension, LowerAscii(ExtensionOf(c.name)));
        EXPECT_EQ(handles.back()->Width, c.width) << c.name;
        EXPECT_EQ(handles.back()->Height, c.height) << c.name;
        EXPECT_EQ(handles.back()->BytesPerPixel, 1);
        auto* chart = dynamic_cast<ChartReader*>(handles.back()->Reader.get());
        ASSERT_NE(chart, nullptr);
        EXPECT_EQ(chart->RowsFoundByScanning(), c.scanned) << c.name;
        expected.push_back(ExpectedRowCrcs(kData + c.expected));
        // Every row of the chart, the last one included.
        ASSERT_EQ(expected.back().size(), size_t(c.height)) << c.name;
        // The list shows the size the conversion delivers.
        SourceImageInfo info = GetSourceImageInfo(kData + c.name);
        EXPECT_EQ(info.width, c.width) << c.name;
        EXPECT_EQ(info.height, c.height) << c.name;
    }
    std::vector<int> mismatches(charts.size(), 0);
    // A damaged row would throw here: real charts have none.
    for (int row = 0; row < 1536; ++row) {
        for (size_t k = 0; k < charts.size(); ++k) {
            Timagerecord4& h = *handles[k];
            if (row >= h.Height) continue;
            std::vector<uint8_t> indices(size_t(h.Width), 0);
            ReadSourceRow(h, row, indices.data());
            if (RowColourCrc(indices, h.Palette) != expected[k][size_t(row)] && ++mismatches[k] < 4)
                ADD_FAILURE() << charts[k].name << " row " << row << " differs";
        }
    }
    for (size_t k = 0; k < charts.size(); ++k) EXPECT_EQ(mismatches[k], 0) << charts[k].name;
}

// Writes a chart: header text, 0x1A 0x00, the index bits, the rows, the
// big-endian row table and its position. `tweak` may change the bytes.
struct ChartFile {
    std::string header;
    int indexBits = 4;
    std::vector<std::vector<uint8_t>> rows;

    std::vector<uint8_t> Bytes() const {
        std::vector<uint8_t> out(header.begin(), header.end());
        out.push_back(0x1A);
        out.push_back(0x00);
        out.push_back(uint8_t(indexBits));
        std::vector<uint32_t> offsets;
        for (const auto& row : rows) {
            offsets.push_back(uint32_t(out.size()));
            out.insert(out.end(), row.begin(), row.end());
        }
        uint32_t tablePosition = uint32_t(out.size());
        auto be = [&](uint32_t v) {
            for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
        };
        for (uint32_t o : offsets) be(o);
        be(tablePosition);
        return out;
    }
};

// A row of the given number whose runs are `runs`, ended by a 0 byte.
std::vector<uint8_t> Row(int number, std::vector<uint8_t> runs) {
    runs.insert(runs.begin(), uint8_t(number));
    runs.push_back(0);
    return runs;
}

class BsbHandMade : public ::testing::Test {
protected:
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) { return temp_.Write(name, bytes); }

    test::TempFolder temp_{"tessary_bsb"};
    const fs::path folder_ = temp_.Path();
};

// Four rows of 8 pixels: runs of index 1 and 2 (index bits 4).
ChartFile SmallChart(const std::string& header) {
    ChartFile chart;
    chart.header = header;
    for (int r = 1; r <= 4; ++r) chart.rows.push_back(Row(r, {0x0B, 0x13}));  // 4 x index 1, 4 x index 2
    return chart;
}

TEST_F(BsbHandMade, HeaderRecordsGiveSizeAndColours) {
    // "RA=" on a continuation line; more fields after the size.
    ChartFile chart;
    chart.header =
        "! a comment\r\nBSB/NA=Test chart\r\n    NU=1,RA=1200,900,DU=254\r\nOST/1\r\nIFM/4\r\n"
        "RGB/1,255,0,0\r\nRGB/2,0,128,255\r\n";
    // Each row one run of index 1 over the whole width: length 1,199 in two
    // continuation bytes (9 x 128 + 47).
    for (int r = 1; r <= 900; ++r) chart.rows.push_back(Row(r & 0x7F, {0x88, 0x89, 0x2F}));
    std::string path = Write("sized.kap", chart.Bytes());

    SourceHandle h = OpenSourceImageOrNull(path);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->Width, 1200);
    EXPECT_EQ(h->Height, 900);
    EXPECT_EQ(h->Palette[1], (PaletteEntry{0, 0, 255, 0}));  // pure red
    EXPECT_EQ(h->Palette[2], (PaletteEntry{255, 128, 0, 0}));
    EXPECT_EQ(h->Palette[3], PaletteEntry{});

    SourceImageInfo info = GetSourceImageInfo(path);
    EXPECT_EQ(info.width, 1200);
    EXPECT_EQ(info.height, 900);
    EXPECT_EQ(info.bytesPerPixel, 1);
}

TEST_F(BsbHandMade, NosFilesTakeTheSizeFromTheThirdAndFourthFields) {
    ChartFile chart = SmallChart("NOS/NA=Old,RA=1,2,8,4,DU=1\nBSB/RA=99,99\nIFM/4\nRGB/1,1,2,3\n");
    SourceHandle h = OpenSourceImageOrNull(Write("old.NOS", chart.Bytes()));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->Width, 8);
    EXPECT_EQ(h->Height, 4);
    // And a ".kap" reads the "BSB" record, not the "NOS" one.
    chart.header = "NOS/RA=1,2,99,99\nBSB/RA=8,4\nIFM/4\n";
    SourceImageInfo info = GetSourceImageInfo(Write("new.kap", chart.Bytes()));
    EXPECT_EQ(info.width, 8);
    EXPECT_EQ(info.height, 4);
}

TEST(ChartFields, IntegersIgnoreLettersAndFallBackWhenUnconvertible) {
    EXPECT_EQ(ChartFieldInt("625,480,DU=300", 2, 0), 480);
    EXPECT_EQ(ChartFieldInt("x=12 ,y", 1, 0), 12);
    EXPECT_EQ(ChartFieldInt("1 2", 1, 7), 7);
    EXPECT_EQ(ChartFieldInt("a,b", 3, 5), 5);
    EXPECT_EQ(ChartFieldInt("-3", 1, 0), -3);
    EXPECT_EQ(ChartFieldInt("99999999999", 1, 4), 4);
}

TEST(ChartRuns, RunBytesPaintIndexAndLength) {
    // Index bits 4: 0x35 is index 6 for 6 pixels; the terminating 0 paints
    // one pixel of index 0; the rest keeps its content.
    std::vector<uint8_t> row(10, 0xEE);
    const uint8_t a[] = {0x01, 0x35, 0x00};
    DecodeChartRow(a, 4, 10, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{6, 6, 6, 6, 6, 6, 0, 0xEE, 0xEE, 0xEE}));

    // 0x85 0x02: index 0, length 5 x 128 + 2 = 642, so 643 pixels, clipped
    // at the row's end; the run after it is dropped.
    std::vector<uint8_t> wide(700, 0xEE);
    const uint8_t b[] = {0x81, 0x05, 0x85, 0x02, 0x08, 0x00};
    DecodeChartRow(b, 4, 700, wide.data());
    EXPECT_EQ(std::count(wide.begin(), wide.begin() + 643, 0), 643);
    EXPECT_EQ(wide[643], 1);  // 0x08: index 1, one pixel
    EXPECT_EQ(wide[644], 0);  // the terminator
    std::vector<uint8_t> narrow(600, 0xEE);
    DecodeChartRow(b, 4, 600, narrow.data());  // exact-size buffer: no write past it
    EXPECT_EQ(std::count(narrow.begin(), narrow.end(), 0), 600);

    // Index bits 7: no length bits in the first byte.
    std::vector<uint8_t> seven(4, 0xEE);
    const uint8_t c[] = {0x01, 0x7F, 0x2A};
    DecodeChartRow(c, 7, 4, seven.data());
    EXPECT_EQ(seven, (std::vector<uint8_t>{127, 42, 0xEE, 0xEE}));
}

TEST(ChartRuns, OnePixelShortGetsIndexZeroInTheLastPixel) {
    std::vector<uint8_t> row(8, 0xEE);
    const uint8_t a[] = {0x01, 0x0E};  // index 1, 7 pixels, no terminator
    DecodeChartRow(a, 4, 8, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 1, 0}));
    std::vector<uint8_t> shorter(8, 0xEE);
    const uint8_t b[] = {0x01, 0x0D};  // 6 pixels: the rest is left alone
    DecodeChartRow(b, 4, 8, shorter.data());
    EXPECT_EQ(shorter, (std::vector<uint8_t>{1, 1, 1, 1, 1, 1, 0xEE, 0xEE}));
}

TEST(ChartRuns, LongChainsOfContinuationBytesStayInsideTheRow) {
    std::vector<uint8_t> bytes{0xFF, 0xFF, 0x01};  // a long row number
    bytes.push_back(0x10);                         // index 2, one pixel
    bytes.push_back(0x8F);
    bytes.insert(bytes.end(), 200, 0xFF);  // a run length far beyond any row
    std::vector<uint8_t> row(16, 0xEE);
    DecodeChartRow(bytes, 4, 16, row.data());
    EXPECT_EQ(row[0], 2);
    EXPECT_EQ(std::count(row.begin() + 1, row.end(), 1), 15);
}

TEST_F(BsbHandMade, RowHeightAndBeyondLeaveTheBufferUntouched) {
    ChartFile chart = SmallChart("BSB/RA=8,4\nIFM/4\nRGB/1,1,1,1\nRGB/2,2,2,2\n");
    SourceHandle h = OpenSourceImageOrNull(Write("rows.kap", chart.Bytes()));
    ASSERT_TRUE(h);
    ASSERT_EQ(h->Height, 4);
    std::vector<uint8_t> row(8, 0xEE);
    ReadSourceRow(*h, 4, row.data());
    h->Reader->ReadRow(4, row.data());
    h->Reader->ReadRow(-1, row.data());
    EXPECT_EQ(row, std::vector<uint8_t>(8, 0xEE));
    ReadSourceRow(*h, 3, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 2, 2}));
}

TEST_F(BsbHandMade, MalformedChartsAreRefused) {
    const std::string good = "BSB/RA=8,4\nOST/1\nIFM/4\nRGB/1,1,1,1\n";
    std::map<std::string, std::vector<uint8_t>> cases;
    cases["ifm0"] = SmallChart("BSB/RA=8,4\nIFM/0\n").Bytes();
    cases["ifm8"] = SmallChart("BSB/RA=8,4\nIFM/8\n").Bytes();
    cases["rgb256"] = SmallChart("BSB/RA=8,4\nIFM/4\nRGB/256,1,1,1\n").Bytes();
    cases["rgbneg"] = SmallChart("BSB/RA=8,4\nIFM/4\nRGB/-1,1,1,1\n").Bytes();
    cases["nosize"] = SmallChart("BSB/NA=x,NU=3\nIFM/4\n").Bytes();
    cases["zeroheight"] = SmallChart("BSB/RA=8,0\nIFM/4\n").Bytes();
    cases["ost2"] = SmallChart("BSB/RA=8,4\nOST/2\nIFM/4\n").Bytes();
    {
        // No "IFM" record and no usable index bits after the header.
        ChartFile c = SmallChart("BSB/RA=8,4\n");
        c.indexBits = 9;
        cases["noifm"] = c.Bytes();
    }
    auto withTail = [&](std::vector<uint8_t> bytes, uint32_t tablePosition) {
        for (int k = 0; k < 4; ++k) bytes[bytes.size() - 4 + k] = uint8_t(tablePosition >> (24 - 8 * k));
        return bytes;
    };
    std::vector<uint8_t> base = SmallChart(good).Bytes();
    // A table beyond the file, over a first row that the file cuts short:
    // not one row to convert.
    std::vector<uint8_t> cut = base;
    cut.erase(cut.begin() + long(good.size() + 3 + 2), cut.end() - 4);
    cases["tableoutside"] = withTail(cut, 0xFFFFFF00u);
    cases["noeot"] = std::vector<uint8_t>(good.begin(), good.end());
    cases["empty"] = {};

    SourceNotes notes;
    for (const auto& [name, bytes] : cases) {
        std::string path = Write(name + ".kap", bytes);
        SourceOpenResult result = OpenSourceImage(path);
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result)) << name;
        EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceUnusable) << name;
        // Every refusal says why.
        EXPECT_FALSE(std::get<SourceFailure>(result).detail.empty()) << name;
        SourceImageInfo info = GetSourceImageInfo(path);
        EXPECT_EQ(info.width, 0) << name;
        EXPECT_EQ(info.height, 0) << name;
        EXPECT_TRUE(LoadChartPreview(path, 1).Empty()) << name;
    }
    auto detailOf = [&](const std::string& name) {
        SourceOpenResult result = OpenSourceImage((folder_ / (name + ".kap")).string());
        return std::holds_alternative<SourceFailure>(result) ? std::get<SourceFailure>(result).detail : "";
    };
    EXPECT_EQ(detailOf("ifm8"), "IFM/8: index bits must be 1 to 7");
    EXPECT_EQ(detailOf("ost2"), "OST/2: only one row per table entry is supported");
    EXPECT_EQ(detailOf("nosize"), "no chart size (RA=) in the BSB record");
    EXPECT_EQ(detailOf("tableoutside"), "no row data after the header");
    EXPECT_EQ(detailOf("zeroheight"), "chart size 8 x 0 has no pixels");
    for (const char* name :
         {"12221_1_MapTech_testing_file_header.kap",
          "L16-22600-32392-16-16_16_Saint_Malo_Brittany_France_header.kap", "golfe_morbihan_A1.kap"}) {
        SourceOpenResult result = OpenSourceImage(kData + "bad/" + name);
        EXPECT_TRUE(std::holds_alternative<SourceFailure>(result)) << name;
    }
    EXPECT_TRUE(notes.Take().empty());
}

TEST_F(BsbHandMade, ABrokenTableFallsBackToScanningTheRows) {
    const std::vector<uint8_t> good = SmallChart("BSB/RA=8,4\nIFM/4\nRGB/1,1,1,1\n").Bytes();
    // No table position at the end (as some chart writers leave it) ...
    std::vector<uint8_t> garbage = good;
    for (int k = 1; k <= 4; ++k) garbage[garbage.size() - k] = 0x20;
    // ... and a table whose rows go backwards.
    std::vector<uint8_t> backwards = good;
    size_t table = backwards.size() - 4 * 5;
    std::swap(backwards[table + 3], backwards[table + 7]);
    for (const auto& [name, bytes] :
         {std::pair{"garbage.kap", garbage}, std::pair{"backwards.kap", backwards}}) {
        SourceHandle h = OpenSourceImageOrNull(Write(name, bytes));
        ASSERT_TRUE(h) << name;
        EXPECT_TRUE(dynamic_cast<ChartReader&>(*h->Reader).RowsFoundByScanning());
        for (int r = 0; r < 4; ++r) {
            std::vector<uint8_t> row(8, 0xEE);
            ReadSourceRow(*h, r, row.data());
            EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 2, 2})) << name << " row " << r;
        }
    }
}

TEST_F(BsbHandMade, DamagedChartsNeverReachOutsideTheirRows) {
    std::ifstream in(kData + "australia4c.kap", std::ios::binary);
    const std::vector<uint8_t> original((std::istreambuf_iterator<char>(in)), {});
    std::mt19937 random(20261208);
    int opened = 0;
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> bytes = original;
        int flips = 1 + int(random() % 8);
        for (int f = 0; f < flips; ++f) bytes[random() % bytes.size()] = uint8_t(random());
        if (round % 4 == 3) bytes.resize(random() % bytes.size());
        std::string path = Write("damaged" + std::to_string(round) + ".kap", bytes);
        std::unique_ptr<ChartReader> chart;
        try {
            chart = OpenChart(path);
        } catch (const SourceError& e) {
            ASSERT_EQ(e.kind(), SourceOpenError::SourceUnusable) << round;
            continue;
        }
        ++opened;
        ASSERT_LE(chart->Width(), 100000) << round;
        const uint8_t limit = uint8_t(1 << chart->IndexBits());
        // Guard bytes past the row must survive every decode.
        std::vector<uint8_t> row(size_t(chart->Width()) + 16, 0);
        for (int r = 0; r < chart->Height(); ++r) {
            std::fill(row.begin(), row.end(), 0);
            try {
                chart->ReadRow(r, row.data());
            } catch (const SourceError& e) {
                ASSERT_EQ(e.kind(), SourceOpenError::SourceDamaged) << round;
            }
            for (int x = 0; x < chart->Width(); ++x) ASSERT_LT(row[size_t(x)], limit) << round;
            for (size_t g = size_t(chart->Width()); g < row.size(); ++g) ASSERT_EQ(row[g], 0) << round;
        }
    }
    // Most damage lands in the rows, which still open.
    EXPECT_GT(opened, 50);
}

TEST_F(BsbHandMade, TheLastRowIsDeliveredAndRowsTheFileLacksAreDamaged) {
    ChartFile chart = SmallChart("BSB/RA=8,4\nIFM/4\nRGB/1,1,1,1\nRGB/2,2,2,2\n");
    chart.rows[3] = Row(4, {0x13, 0x0B});  // the last row differs from the others
    const std::vector<uint8_t> whole = chart.Bytes();
    {
        SourceHandle h = OpenSourceImageOrNull(Write("whole.kap", whole));
        ASSERT_TRUE(h);
        ASSERT_EQ(h->Height, 4);
        std::vector<uint8_t> row(8, 0xEE);
        ReadSourceRow(*h, 3, row.data());
        EXPECT_EQ(row, (std::vector<uint8_t>{2, 2, 2, 2, 1, 1, 1, 1}));
    }

    // The file ends inside the last row (its table is gone with it): the
    // chart still opens at its full size, and the rows it lacks fail.
    const size_t header = chart.header.size() + 3;
    std::vector<uint8_t> cut(whole.begin(), whole.begin() + long(header + 3 * 4 + 2));
    std::string path = Write("cut.kap", cut);
    std::unique_ptr<ChartReader> reader = OpenChart(path);
    ASSERT_EQ(reader->Height(), 4);
    EXPECT_EQ(reader->RowsInFile(), 3);
    EXPECT_EQ(GetSourceImageInfo(path).height, 4);

    SourceHandle h = OpenSourceImageOrNull(path);
    ASSERT_TRUE(h);
    std::vector<uint8_t> row(8, 0xEE);
    try {
        ReadSourceRow(*h, 3, row.data());
        ADD_FAILURE() << "the missing last row was read";
    } catch (const SourceError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
        EXPECT_STREQ(e.what(), "row 4 of 4: not in the file (it ends after row 3)");
    }
    // The reader stays usable for the rows the file holds.
    ReadSourceRow(*h, 2, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 2, 2}));

    // With keep-damaged the row is counted once, however often it is read.
    h->Damage.keepGoing = true;
    ReadSourceRow(*h, 3, row.data());
    ReadSourceRow(*h, 3, row.data());
    EXPECT_EQ(h->Damage.rows, 1);
    EXPECT_EQ(h->Damage.firstDetail, "row 4 of 4: not in the file (it ends after row 3)");
}

TEST_F(BsbHandMade, ARowWhoseRunsDoNotFillItIsDamaged) {
    ChartFile chart = SmallChart("BSB/RA=8,4\nIFM/4\nRGB/1,1,1,1\nRGB/2,2,2,2\n");
    // Same byte counts as the good rows, so the table stays sound.
    chart.rows[1] = {0x02, 0x0B, 0x00, 0x00};  // 4 + 1 + 1 pixels of 8
    chart.rows[2] = {0x03, 0x0B, 0x11, 0x00};  // 4 + 2 + 1: one short, as some writers end rows
    SourceHandle h = OpenSourceImageOrNull(Write("runs.kap", chart.Bytes()));
    ASSERT_TRUE(h);
    ASSERT_FALSE(dynamic_cast<ChartReader&>(*h->Reader).RowsFoundByScanning());
    std::vector<uint8_t> row(8, 0xEE);
    try {
        ReadSourceRow(*h, 1, row.data());
        ADD_FAILURE() << "a broken row was read";
    } catch (const SourceError& e) {
        EXPECT_EQ(e.kind(), SourceOpenError::SourceDamaged);
        EXPECT_STREQ(e.what(), "row 2 of 4: run-length data covers 6 of 8 pixels");
    }
    ReadSourceRow(*h, 2, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 0, 0}));
    ReadSourceRow(*h, 3, row.data());
    EXPECT_EQ(row, (std::vector<uint8_t>{1, 1, 1, 1, 2, 2, 2, 2}));
    // The preview shows what can be decoded instead of failing.
    EXPECT_FALSE(LoadChartPreview(h->FileName, 1).Empty());
}

// A 12 KB chart stating RA=2147483647,480 took 2.1 GB before failing at its
// first row: one continuation byte multiplies a run by 128, so the file's size
// cannot bound a width, but the rows can. A width more than twice what every
// row covers is refused at the open, before a row buffer is sized by it.
TEST_F(BsbHandMade, AWidthTheRowsDoNotCoverIsRefusedAtTheOpen) {
    SourceOpenResult result = OpenSourceImage(kData + "bad/stated_width_2147483647.kap");
    ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
    EXPECT_EQ(std::get<SourceFailure>(result), SourceOpenError::SourceUnusable);
    EXPECT_EQ(std::get<SourceFailure>(result).detail,
              "the header's width of 2,147,483,647 pixels is more than twice what any row covers "
              "(626 pixels at most, in 480 rows read)");
    EXPECT_EQ(GetSourceImageInfo(kData + "bad/stated_width_2147483647.kap").width, 0);

    // The rows cover 9 pixels (two runs of 4, then the ending 0 byte paints
    // one more): 18 stated opens (its rows are damaged, as before), 19 is
    // refused, with the row table and without it.
    for (bool table : {true, false}) {
        SCOPED_TRACE(table ? "row table" : "rows scanned");
        auto chart = [&](int width) {
            std::vector<uint8_t> bytes = SmallChart("BSB/RA=" + std::to_string(width) + ",4\nIFM/4\n").Bytes();
            if (!table)
                for (int k = 1; k <= 4; ++k) bytes[bytes.size() - size_t(k)] = 0x20;
            return Write("w" + std::to_string(width) + ".kap", bytes);
        };
        SourceHandle wide = OpenSourceImageOrNull(chart(18));
        ASSERT_TRUE(wide);
        std::vector<uint8_t> row(18);
        EXPECT_THROW(ReadSourceRow(*wide, 0, row.data()), SourceError);
        result = OpenSourceImage(chart(19));
        ASSERT_TRUE(std::holds_alternative<SourceFailure>(result));
        EXPECT_EQ(std::get<SourceFailure>(result).detail,
                  "the header's width of 19 pixels is more than twice what any row covers "
                  "(9 pixels at most, in 4 rows read)");
    }
}

TEST(BsbReader, PreviewSamplesEveryFactorthPixelWithTheFixedColoursAfterTheChartColours) {
    const std::string path = kData + "australia4c.kap";
    std::unique_ptr<ChartReader> chart = OpenChart(path);
    ASSERT_TRUE(chart);
    ASSERT_EQ(chart->ColourCount(), 4);
    Picture preview = LoadChartPreview(path, 5);
    ASSERT_EQ(preview.Width(), 125);
    ASSERT_EQ(preview.Height(), 96);
    ASSERT_EQ(preview.BitsPerPixel(), 8);
    std::vector<uint8_t> row(625);
    for (int y = 0; y < 96; y += 7) {
        chart->ReadRow(y * 5, row.data());
        for (int x = 0; x < 125; ++x) ASSERT_EQ(preview.Row(y)[x], row[size_t(x) * 5]) << x << "," << y;
    }
    Palette palette{};
    int32_t bpp = 0;
    ASSERT_TRUE(GetChartFormat(chart.get(), bpp, palette));
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(preview.Colours()[i], palette[i]);
    for (int k = 0; k < 41; ++k) {
        const PaletteEntry& e = preview.Colours()[5 + k];
        EXPECT_EQ(e, (PaletteEntry{kFixedColourTable[k].blue, kFixedColourTable[k].green,
                                   kFixedColourTable[k].red, 0}));
    }
    EXPECT_FALSE(GetChartFormat(nullptr, bpp, palette));
}

}  // namespace
}  // namespace tessary
