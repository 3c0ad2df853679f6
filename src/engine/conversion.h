// The conversion run: what a front end hands the engine, and the operations
// through which the engine reports back. The engine never prints and never
// opens a window; the desktop program, the command line and the tests each
// implement ConversionObserver, and the desktop program ConversionDisplay too.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/folder_path.h"
#include "common/picture.h"
#include "common/run_context.h"
#include "engine/output_names.h"
#include "sources/source_image.h"

namespace tessary {

class ConversionLog;

struct ConversionEntry {
    std::string fileName;  // the "Name" column
    bool ticked = false;
    // Where the entry comes from and goes to when it is not the job's own
    // folders (the command line's paths and trees); empty = the job's
    // sourceFolder + fileName, and the job's destinationFolder.
    std::string sourcePath{};
    FolderPath destinationFolder{};
    // The output planned over a longer list than this run's (one shard of a
    // run split over several processes), so that numbered names come out as
    // in the whole run; unset = planned over this run's ticked entries.
    std::optional<PlannedOutput> plannedOutput{};
    // The entry's place in `ConversionJob::wholeRun`, when that is given.
    std::optional<size_t> wholeRunIndex{};
};

// The values the controls hold when the run starts; read once.
struct ConversionJob {
    FolderPath sourceFolder;
    FolderPath destinationFolder;  // resolved ("As Above" already replaced)
    FolderPath tempFolder;
    FolderPath mapFolder;          // empty: no second calibration search
    std::vector<ConversionEntry> entries;
    // The whole run's list when `entries` is a share of it (a run split over
    // several processes): the names of calibration copies are planned over
    // it, as output names are, so that two shares never aim two calibration
    // files at one copy name. Empty otherwise.
    std::vector<ConversionEntry> wholeRun{};
    bool resizeEnabled = false;
    double resizeValue = 100;  // 10 to 100
    bool coloursEnabled = false;
    double coloursValue = 256;  // 8 to 256
    bool copyMapFile = true;
    bool includeImagePath = true;
    std::atomic<bool>* abort = nullptr;  // shared with Abort / Esc / Ctrl-C
    std::string programFolder;          // without a trailing separator
    std::string scaleFile;              // UseScales.dat to use; empty = beside the program
    unsigned threads = 0;               // worker threads; 0 = as many as cores
    // Damaged rows (a strip that cannot be decoded, a chart row outside its
    // file) are counted and the best-effort file is written; the image
    // still counts as failed. Off: the first damaged row fails the image.
    bool keepDamaged = false;
    // Opens each source; empty = OpenSourceImage. Tests put a reader of
    // their own here to stand for a damaged file.
    std::function<SourceOpenResult(const std::string& path)> openSource;
    // A resumed run: an image whose output is newer than its source (and has
    // its map copy when one is due) is skipped as up to date.
    bool update = false;
    // Images converted at once; 0 = one per core. With 1 (the desktop
    // program's run) every image runs on the calling thread.
    unsigned jobs = 1;
    // Bytes that the images at work may hold together (see
    // EstimateImageMemory); 0 = a quarter of physical memory.
    uint64_t memoryBudget = 0;
    // The palette builder of every level, and error diffusion when mapping.
    PaletteMethod palette = PaletteMethod::kOctree;
    bool dither = false;
};

// How one ticked image ended.
enum class ImageOutcome {
    Converted,
    Failed,
    Aborted,
    TooSmall,  // below the 300-pixel minimum (logged as an error, counted apart)
    UpToDate,  // skipped: its output is newer than its source
};

// "converted", "failed", "aborted", "too-small", "up-to-date".
const char* OutcomeName(ImageOutcome outcome);

// What a front end learns about one finished image.
struct ImageResult {
    std::string sourcePath{};
    std::string outputPath{};  // the file written (or kept, when up to date); empty when none
    ImageOutcome outcome = ImageOutcome::Failed;
    std::string reason{};     // why it failed: the reader's or the system's text; may be empty
    int32_t width = 0;        // of the source, when it could be opened
    int32_t height = 0;
    int levels = 0;           // levels of the file written, level 0 included; 0 when none
    uint64_t outputBytes = 0;
    // Rows known to be damaged: all of them when the file was written
    // best-effort under keepDamaged, else at least the one that failed it.
    int64_t damagedRows = 0;
    double seconds = 0;
    std::string mapFile{};      // the calibration file copied for the image; empty when none
    std::string mapCopyPath{};  // the calibration copy written beside the output; empty when none
    // Why --update made the output again ("source changed", "options changed",
    // "made from another source", "calibration changed", "damaged before",
    // "output changed"); empty when it was not there to judge or no update.
    std::string updateReason{};
};

// What every front end learns of a run: the status panels and the event
// pump (from ProgressObserver), the image details, run-level messages and
// how each image ended.
class ConversionObserver : public ProgressObserver {
public:
    // SetStatus(slot, text) and PumpEvents() come from ProgressObserver.
    virtual void AddDetail(std::string_view text) = 0;
    // A message about the run as a whole (a folder that is not valid,
    // nothing selected); the run does not go on after it.
    virtual void ShowMessage(std::string_view text) = 0;
    // A reader's note about the image at work (a missing decoding library,
    // a kind of file it refuses), shown when the reader made it; the run
    // goes on.
    virtual void Notice(std::string_view text) = 0;
    // Called once for every ticked image the run worked on, after its log
    // lines, so that a front end can count outcomes without reading the log.
    virtual void ImageFinished(const ImageResult& result) = 0;
    // With several images at work at once: the three status panels of each,
    // in run order (none or one: back to the panels of SetStatus). A front
    // end with one status line may leave it as it is.
    virtual void ShowImagesAtWork(const std::vector<std::array<std::string, 3>>& panels) { (void)panels; }
};

// What only a window shows of a run: the details list emptied between
// images, the previews, the busy state and the log window's call. A run
// given no display draws no preview and decodes no picture from the files
// it writes.
class ConversionDisplay {
public:
    virtual ~ConversionDisplay() = default;
    virtual void ClearDetails() = 0;
    // An empty 130 x 130 preview, stretched, not auto-sized.
    virtual void ResetPreview() = 0;
    // Sets the preview's size and draws the source scaled into it.
    virtual void ShowSourcePreview(Timagerecord4& source, int width, int height) = 0;
    // Shows an 8-bit picture decoded from the written file.
    virtual void ShowPicture(const Picture& picture) = 0;
    // Pumps events until the time has passed.
    virtual void WaitPumping(int milliseconds) = 0;
    // On: disables the controls that feed the job and shows the busy cursor.
    virtual void SetBusy(bool on) = 0;
    // Opens the log window modally.
    virtual void ShowLogModal() = 0;
    // Draws the "Show Log" caption in red.
    virtual void MarkLogButton() = 0;
};

// Runs the conversion of every ticked entry. Everything it reports goes to
// the observer and the log, and to the display when there is one.
void RunConversion(const ConversionJob& job, ConversionObserver& observer, ConversionLog& log,
                   ConversionDisplay* display = nullptr);

}  // namespace tessary
