#include "app/error_overlay.h"

#include <QDir>
#include <algorithm>
#include <cmath>
#include <exception>
#include <variant>

#include "engine/level_error.h"
#include "engine/output_record.h"
#include "raster/colour_difference.h"
#include "rpx/rpx2_tiles.h"
#include "rpx/rpx_layout.h"
#include "sources/source_image.h"

namespace tessary::app {

SourceAtHand RecordedSource(const QString& outputPath) {
    const std::optional<OutputRecord> record = ReadRecordOf(outputPath.toStdString());
    if (!record || record->sourcePath.empty())
        return {QString(), "There is no record of its conversion beside it."};
    const QString named = QString::fromStdString(record->sourcePath);
    uint64_t size = 0;
    int64_t timeNs = 0;
    if (!StatForRecord(record->sourcePath, size, timeNs))
        return {QString(), QString("Its source %1 is not there any more.").arg(QDir::toNativeSeparators(named))};
    if (size != record->sourceSize || timeNs != record->sourceTimeNs)
        return {QString(),
                QString("Its source %1 has changed since it was converted.").arg(QDir::toNativeSeparators(named))};
    return {named, QString()};
}

ErrorMeasurer::ErrorMeasurer(std::string rpx2Path, std::string sourcePath, int width, int height, Done done)
    : rpx2Path_(std::move(rpx2Path)),
      sourcePath_(std::move(sourcePath)),
      width_(width),
      height_(height),
      done_(std::move(done)),
      thread_([this] { Run(); }) {}

ErrorMeasurer::~ErrorMeasurer() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
        ++generation_;
    }
    wake_.notify_all();
    thread_.join();
}

void ErrorMeasurer::Measure(int level) {
    {
        std::lock_guard lock(mutex_);
        wanted_ = level;
        ++generation_;
    }
    wake_.notify_all();
}

void ErrorMeasurer::Run() {
    for (;;) {
        int level = 0;
        uint64_t generation = 0;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return quit_ || wanted_; });
            if (quit_) return;
            level = *wanted_;
            wanted_.reset();
            generation = generation_;
        }
        QString failure;
        ErrorPicturePointer picture;
        try {
            picture = MeasureLevel(level, generation);
            if (!picture) continue;  // stopped for another level
        } catch (const std::bad_alloc&) {
            failure = "there is not enough memory to measure this level";
        } catch (const std::exception& error) {
            failure = QString::fromStdString(error.what());
        } catch (...) {
            failure = "it could not be read";
        }
        if (generation_ == generation) done_(level, std::move(picture), failure);
    }
}

namespace {

class MeasureFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace

ErrorPicturePointer ErrorMeasurer::MeasureLevel(int level, uint64_t generation) {
    auto stopped = [&] { return generation_ != generation; };
    SourceOpenResult opened = OpenSourceImage(sourcePath_);
    if (auto* failure = std::get_if<SourceFailure>(&opened))
        throw MeasureFailure(failure->detail.empty() ? "it is not an image this program reads" : failure->detail);
    SourceHandle source = std::move(std::get<SourceHandle>(opened));
    if (!source) throw MeasureFailure("it is not an image this program reads");
    if (source->Width != width_ || source->Height != height_)
        throw MeasureFailure(QString("it is %1 x %2 pixels, the file's level 0 %3 x %4")
                                 .arg(source->Width)
                                 .arg(source->Height)
                                 .arg(width_)
                                 .arg(height_)
                                 .toStdString());
    if (stopped()) return nullptr;

    // The level's rows come from its tiles, one band of tiles at a time.
    const Rpx2Summary summary = ReadRpx2Summary(rpx2Path_);
    if (level < 0 || level >= int(summary.levels.size())) throw MeasureFailure("the file has no such level");
    const Rpx2LevelSummary& info = summary.levels[size_t(level)];
    Rpx2TileDecoder decoder(rpx2Path_);
    const size_t stride = size_t(info.tilesAcross) * rpx::kTileEdge;
    std::vector<uint8_t> band(stride * rpx::kTileEdge), tile(size_t(rpx::kTileEdge) * rpx::kTileEdge);
    int bandInMemory = -1;
    auto levelRow = [&](int y) -> const uint8_t* {
        if (y / rpx::kTileEdge != bandInMemory) {
            bandInMemory = y / rpx::kTileEdge;
            for (int column = 0; column < info.tilesAcross; ++column) {
                decoder.DecodeTile(level, bandInMemory, column, tile.data());
                for (int r = 0; r < rpx::kTileEdge; ++r)
                    std::copy_n(tile.data() + size_t(r) * rpx::kTileEdge, rpx::kTileEdge,
                                band.data() + size_t(r) * stride + size_t(column) * rpx::kTileEdge);
            }
        }
        return band.data() + size_t(y % rpx::kTileEdge) * stride;
    };

    auto picture = std::make_shared<ErrorPicture>();
    picture->level = level;
    picture->heat = QImage(info.width, info.height, QImage::Format_RGB888);
    if (picture->heat.isNull()) throw std::bad_alloc();
    picture->hundredths.resize(size_t(info.width) * size_t(info.height));
    std::vector<uint8_t> scratch;
    const LevelError measured = MeasureLevelError(
        source->Width, source->Height,
        [&](int y, uint8_t* bgr) { ReadSourceRowBgr(*source, y, bgr, scratch); },
        {info.width, info.height, info.palette, levelRow},
        [&](int y, const float* differences) {
            uchar* heat = picture->heat.scanLine(y);
            uint16_t* hundredths = picture->hundredths.data() + size_t(y) * size_t(info.width);
            for (int x = 0; x < info.width; ++x) {
                const auto colour = HeatColour(differences[x]);
                std::copy(colour.begin(), colour.end(), heat + 3 * x);
                hundredths[x] = uint16_t(std::min(65535.0, std::round(double(differences[x]) * 100.0)));
            }
        },
        stopped);
    if (measured.stopped) return nullptr;
    picture->mean = measured.statistics.Mean();
    picture->p99 = measured.statistics.Percentile(0.99);
    picture->largest = measured.statistics.Largest();
    picture->colours = measured.colours;
    return picture;
}

}  // namespace tessary::app
