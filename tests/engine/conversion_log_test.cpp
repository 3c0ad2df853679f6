#include "engine/conversion_log.h"

#include <gtest/gtest.h>

namespace tessary {
namespace {

TEST(ConversionLog, InitialContentIsAnEmptyRowAndABlueNote) {
    ConversionLog log;
    ASSERT_EQ(log.Count(), 2u);
    EXPECT_EQ(ConversionLog::DisplayText(log.Line(0)), "");
    EXPECT_EQ(ConversionLog::LineColour(log.Line(0)), std::nullopt);
    EXPECT_EQ(ConversionLog::DisplayText(log.Line(1)), "No Conversions done .....");
    EXPECT_EQ(ConversionLog::LineColour(log.Line(1)), ConversionLog::kBlue);
    log.Clear();
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_EQ(log.CopyText(), "");
}

TEST(ConversionLog, OutcomeLinesTakeTheIndentInsteadOfTheirOwnSpaces) {
    const std::string line = "o\t   In path : C:\\out\\";
    EXPECT_EQ(ConversionLog::DisplayText(line), "   In path : C:\\out\\");
    EXPECT_EQ(ConversionLog::LineColour(line), std::nullopt);
    EXPECT_EQ(ConversionLog::DisplayText("x\tNo .map file found"), "   No .map file found");
    EXPECT_EQ(ConversionLog::LineColour("x\tNo .map file found"), ConversionLog::kRed);
}

TEST(ConversionLog, KindsWithoutIndentAndTheirColours) {
    EXPECT_EQ(ConversionLog::DisplayText("e\tImage file not found"), "Image file not found");
    EXPECT_EQ(ConversionLog::LineColour("e\tImage file not found"), ConversionLog::kRed);
    EXPECT_EQ(ConversionLog::DisplayText("z\t3 Image File(s) Processed"), "3 Image File(s) Processed");
    EXPECT_EQ(ConversionLog::LineColour("z\t3 Image File(s) Processed"), ConversionLog::kGreen);
    EXPECT_EQ(ConversionLog::LineColour("i\tProcessing - a.tif"), ConversionLog::kBlue);
    // Kinds are compared case-sensitively; unknown kinds draw in the window text colour.
    EXPECT_EQ(ConversionLog::LineColour("E\tsomething"), std::nullopt);
    EXPECT_EQ(ConversionLog::DisplayText("E\tsomething"), "something");
}

TEST(ConversionLog, MarkerAndContinuationFields) {
    EXPECT_EQ(ConversionLog::DisplayText("i\tabc\tx"), "abc");
    EXPECT_EQ(ConversionLog::LineColour("i\tabc\tx"), ConversionLog::kRed);
    EXPECT_EQ(ConversionLog::LineColour("z\tabc\t x "), ConversionLog::kRed);
    EXPECT_EQ(ConversionLog::LineColour("i\tabc\txx"), ConversionLog::kBlue);
    EXPECT_EQ(ConversionLog::DisplayText("i\tabc\t\tdef"), "abcdef");
    EXPECT_EQ(ConversionLog::LineColour("i\tabc\t\tdef"), ConversionLog::kBlue);
    EXPECT_EQ(ConversionLog::DisplayText("o\t a \t\t b \tignored"), "   ab");
}

TEST(ConversionLog, LineWithoutTabShowsAsEmptyRow) {
    EXPECT_EQ(ConversionLog::DisplayText("no tab here"), "");
    EXPECT_EQ(ConversionLog::LineColour("no tab here"), std::nullopt);
}

TEST(ConversionLog, CopyTextEndsEveryDisplayedLineWithCrLf) {
    ConversionLog log;
    log.Clear();
    for (const char* line :
         {"i\tProcessing - a.tif", "o\t   Rpx2 image created : a.rpx2", "", "", "i\tProcessing - b.tif",
          "e\tImage file not found", "", "z\t2 Image File(s) Processed"})
        log.Add(line);
    EXPECT_EQ(log.CopyText(),
              "Processing - a.tif\r\n"
              "   Rpx2 image created : a.rpx2\r\n"
              "\r\n"
              "\r\n"
              "Processing - b.tif\r\n"
              "Image file not found\r\n"
              "\r\n"
              "2 Image File(s) Processed\r\n");
}

}  // namespace
}  // namespace tessary
