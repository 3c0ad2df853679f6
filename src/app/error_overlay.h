// The viewer's error overlay: where each level of an RPX2 file differs from
// its source, in CIEDE2000, measured as `tessary-cli compare` measures it.
// The measuring runs on a thread of its own, one level at a time, so that
// a big image never holds up the window; a level asked for while another is
// measured stops that one at its next row.
#pragma once

#include <QImage>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tessary::app {

// One level's error: the heatmap on the compare command's colour scale, the
// difference of every pixel (in hundredths) and the level's figures.
struct ErrorPicture {
    int level = -1;
    QImage heat;  // the level's size, RGB888
    std::vector<uint16_t> hundredths;  // row by row; 65535 stands for 655.35 and above
    double mean = 0, p99 = 0, largest = 0;
    int colours = 0;

    double At(int x, int y) const { return hundredths[size_t(y) * size_t(heat.width()) + size_t(x)] / 100.0; }
};
using ErrorPicturePointer = std::shared_ptr<const ErrorPicture>;

// Where the source of an output is, from the output's record: the path when
// the record names a file that is there with the size and time recorded,
// and otherwise why not (for the person asked to point at it).
struct SourceAtHand {
    QString path;
    QString why;
};
SourceAtHand RecordedSource(const QString& outputPath);

class ErrorMeasurer {
public:
    // `done` runs on the measuring thread with the level's picture, or with
    // none and the reason it could not be measured; a level stopped for
    // another gives neither.
    using Done = std::function<void(int level, ErrorPicturePointer picture, const QString& failure)>;
    ErrorMeasurer(std::string rpx2Path, std::string sourcePath, int width, int height, Done done);
    // Stops the level at work and waits for the thread.
    ~ErrorMeasurer();
    ErrorMeasurer(const ErrorMeasurer&) = delete;
    ErrorMeasurer& operator=(const ErrorMeasurer&) = delete;

    // Measures this level next, in place of any other asked for or at work.
    void Measure(int level);

private:
    void Run();
    ErrorPicturePointer MeasureLevel(int level, uint64_t generation);

    std::string rpx2Path_;
    std::string sourcePath_;
    int width_, height_;  // level 0's
    Done done_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<int> wanted_;
    std::atomic<uint64_t> generation_{0};  // counts requests; a level at work stops when it moves on
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

}  // namespace tessary::app
