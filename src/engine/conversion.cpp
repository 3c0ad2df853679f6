#include "engine/conversion.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>

#include "common/errors.h"
#include "common/file.h"
#include "common/platform.h"
#include "common/scale_list.h"
#include "common/text.h"
#include "engine/conversion_log.h"
#include "engine/leftovers.h"
#include "engine/map_file.h"
#include "engine/output_names.h"
#include "engine/output_record.h"
#include "engine/parallel_run.h"
#include "engine/source_rows.h"
#include "engine/zoom_scales.h"
#include "engine/update_check.h"
#include "raster/colour_reduction.h"
#include "raster/zoom_level.h"
#include "rpx/rpx2_writer.h"
#include "rpx/rpx_reader.h"
#include "sources/source_notes.h"

namespace tessary {

namespace fs = std::filesystem;

namespace {

// Ends the busy state on every way out of the run.
class BusyGuard {
public:
    explicit BusyGuard(ConversionDisplay* display) : display_(display) {
        if (display_) display_->SetBusy(true);
    }
    ~BusyGuard() {
        if (display_) display_->SetBusy(false);
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    ConversionDisplay* display_;
};

void RemoveFile(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// What an image has open and written. Its destructor is the image's
// clean-up on every way out (finished, aborted, failed): the handles are
// closed, so that the next image and the run end find none of them open, and
// the partial file is removed unless the image was committed under its final
// name, so that no half-written file stays behind.
struct ImageWork {
    SourceHandle source;
    SourceHandle level0;  // "rpx_0.rpx0" when the source was prepared
    SourceHandle level1;  // "rpx_1.rpx0" while small levels are built
    // The name the new file is written under until it is complete: hidden,
    // in the destination folder (so that the final rename stays on one file
    // system), locked by this run (see engine/leftovers.h), and short and of
    // fixed length, so that any output name the file system accepts also
    // works while the file is written.
    PartialFile partial;
    FolderPath partialFolder;
    std::string partialPath;  // empty until the file is made
    bool committed = false;   // renamed to the output name
    // The output's name and its calibration copy's, locked against other
    // runs writing them from before the copy's partial file is made until
    // the pair is committed.
    NameLocks nameLocks;
    StagedMapCopy mapCopy;  // the rewritten calibration copy, under its partial name
    uint64_t sourceSize = 0;    // the source as it was opened, for the record
    int64_t sourceTimeNs = 0;
    int levelsWritten = 0;
    SourceDamage damage;  // the source's, kept when the source is closed early

    ImageWork() = default;
    ImageWork(const ImageWork&) = delete;
    ImageWork& operator=(const ImageWork&) = delete;
    // The partial file goes before `partial` gives its lock up, so that no
    // other run can take it for a dead run's leftover meanwhile.
    ~ImageWork() {
        CloseAll();
        if (!committed) {
            RemoveFile(partialPath);
            RemoveFile(mapCopy.partial.Path());
        }
    }

    Timagerecord4& Level0() { return level0 ? *level0 : *source; }
    void CloseSource() {
        if (source) damage = source->Damage;
        CloseSourceImage(source);
    }
    void CloseAll() {
        CloseSourceImage(level1);
        CloseSourceImage(level0);
        CloseSource();
    }
};

class ScratchOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

SourceHandle OpenScratch(const RunContext& context, int slot) {
    std::string path = context.TempPath("rpx_" + std::to_string(slot) + ".rpx0");
    SourceHandle handle = OpenSourceImageOrNull(path);
    if (!handle) throw ScratchOpenError("scratch raster " + path + " was not produced");
    return handle;
}

std::string ZoomText(const char* verb, float scale) {
    return std::string(verb) + " " + FormatOneDecimal(double(scale)) + "% Zoom";
}

// What the steps after the source checks need to know about the image.
struct ImagePlan {
    std::string scaleFile;
    bool chartSource = false;
    int resize = 100;
    int w130 = 0;
    int w300 = 0;
    bool preprocess = false;  // an ECW or MrSID source, copied before use
};

// A reader's or a library's text as the text of one log line: a tab or a
// line break would split the line into fields or rows of the log window.
std::string OneLine(std::string_view text) {
    std::string line;
    for (char c : text) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    return TrimSpaces(line);
}

// The line under a failure's own line that says why, indented like the
// result lines. Nothing when there is no reason to give.
void AddDetailLine(ConversionLog& log, std::string_view detail) {
    const std::string text = OneLine(detail);
    if (!text.empty()) log.Add("x\t   " + text);
}

std::string FailedLine(std::string_view reason) {
    return "x\tError : " + std::string(reason) + " - Failed to create the Rpx2 file";
}

// The first reason a source gave for a damaged row.
std::string DamageReason(const SourceDamage& damage) {
    const std::string detail = OneLine(damage.firstDetail);
    return detail.empty() ? std::string("damaged image data") : detail;
}

// The warning under the result lines of a file written with damaged rows.
std::string DamageWarning(const SourceDamage& damage, const std::string& thousands) {
    return "x\t   Warning : " + FormatThousands(damage.rows, thousands) +
           (damage.rows == 1 ? " damaged row" : " damaged rows") + " written as far as decoded - " +
           DamageReason(damage);
}

// A ticked entry with its source and destination resolved.
struct RunEntry {
    const ConversionEntry* entry = nullptr;
    std::string sourcePath;
    FolderPath destinationFolder;
};

std::vector<RunEntry> TickedEntries(const ConversionJob& job, const FolderPath& sourceFolder,
                                    const FolderPath& destinationFolder) {
    std::vector<RunEntry> entries;
    for (const ConversionEntry& entry : job.entries) {
        if (!entry.ticked) continue;
        RunEntry resolved;
        resolved.entry = &entry;
        resolved.sourcePath =
            entry.sourcePath.empty() ? sourceFolder.Join(entry.fileName) : entry.sourcePath;
        resolved.destinationFolder = entry.destinationFolder.Empty() ? destinationFolder : entry.destinationFolder;
        entries.push_back(std::move(resolved));
    }
    return entries;
}

// Every output of the run, decided before the first image so that no image
// replaces the file of an earlier one.
std::vector<PlannedOutput> PlanRunOutputs(const std::vector<RunEntry>& entries) {
    std::vector<OutputRequest> requests;
    requests.reserve(entries.size());
    for (const RunEntry& entry : entries) requests.push_back({entry.sourcePath, entry.destinationFolder});
    std::vector<PlannedOutput> outputs = PlanOutputPaths(requests);
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].entry->plannedOutput) outputs[i] = *entries[i].entry->plannedOutput;
    return outputs;
}

// The map copy goes beside the RPX2 file it names; the calibration search
// of an entry with its own source path starts in the image's own folder.
// The name an image's "Processing - " line shows: its file name, or the
// entry's own name when it comes with its own path (a front end may name
// it by its path below the folder the user chose, when names repeat).
std::string ProcessingName(const ConversionEntry& entry, const std::string& sourcePath) {
    return entry.sourcePath.empty() || entry.fileName.empty() ? FileNamePart(sourcePath) : entry.fileName;
}

MapFileSettings EntryMapSettings(const MapFileSettings& run, const RunEntry& entry) {
    MapFileSettings settings = run;
    if (!entry.entry->destinationFolder.Empty()) settings.destinationFolder = entry.destinationFolder;
    if (!entry.entry->sourcePath.empty()) settings.sourceFolder = FolderOf(entry.sourcePath);
    return settings;
}

// The calibration file of an entry and the name its copy takes, decided
// for the whole run before the first image, like the outputs' names, so that
// two images never write one copy and each run gives the same names.
struct PlannedMapCopy {
    std::string found;     // the calibration file; empty when none matches
    std::vector<std::string> matches;  // every match of found's folder; more than one is warned about
    std::string copyPath;  // the copy to write
    std::exception_ptr searchError;  // the search failed (an unreadable candidate): the image reports it
};

std::vector<PlannedMapCopy> PlanMapCopies(const MapFileSettings& run, const std::vector<RunEntry>& entries,
                                          const std::vector<PlannedOutput>& outputs) {
    std::vector<PlannedMapCopy> copies(entries.size());
    if (!run.copyMapFile) return copies;
    std::set<std::string> taken;
    auto key = [](const std::string& path) { return UpperAscii(fs::path(path).lexically_normal().string()); };
    for (size_t i = 0; i < entries.size(); ++i) {
        const MapFileSettings settings = EntryMapSettings(run, entries[i]);
        PlannedMapCopy& copy = copies[i];
        try {
            MapSearchResult search = SearchMapFile(settings, entries[i].sourcePath);
            copy.found = std::move(search.found);
            copy.matches = std::move(search.matches);
        } catch (...) {
            copy.searchError = std::current_exception();
            continue;
        }
        if (copy.found.empty()) continue;
        // A copy name an earlier image of the run takes gets the next free
        // number, as an output name does: sheet.1.map and sheet.2.map give
        // sheet_rpx.map and sheet_1_rpx.map.
        copy.copyPath = MapCopyPath(settings, copy.found, outputs[i].numberSuffix);
        for (int n = 1; taken.count(key(copy.copyPath)); ++n)
            copy.copyPath = MapCopyPath(settings, copy.found, "_" + std::to_string(n));
        taken.insert(key(copy.copyPath));
    }
    return copies;
}

// Run start: the destination and temporary folders must exist and lie on
// no CD-ROM. Shows the first problem found and gives false.
bool CheckRunFolders(const ConversionJob& job, ConversionObserver& observer) {
    const std::string destinationCheck = job.destinationFolder.ForCheck();
    if (!DirectoryExists(destinationCheck)) {
        observer.ShowMessage("Destination Folder is not valid");
        return false;
    }
    const std::string tempCheck = job.tempFolder.ForCheck();
    if (!DirectoryExists(tempCheck)) {
        observer.ShowMessage("Temp File Folder is not valid");
        return false;
    }
    if (platform::IsCdRomDrive(destinationCheck)) {
        observer.ShowMessage("The Destination Folder is on a CDROM");
        return false;
    }
    if (platform::IsCdRomDrive(tempCheck)) {
        observer.ShowMessage("The Temp File Folder is on a CDROM");
        return false;
    }
    return true;
}

void ClearStatus(ConversionObserver& observer) {
    for (int slot = 0; slot < 3; ++slot) observer.SetStatus(slot, "");
}

// R: the initial resize percentage, at most 100.
int ResizePercentage(const ConversionJob& job) {
    int resize = 100;
    if (job.resizeEnabled) resize = int(RoundHalfEven(job.resizeValue));
    return resize > 100 ? 100 : resize;
}

// N: the colour count; 256 and 255 asked become 254 and 255 (255 stays).
int ColourCount(const ConversionJob& job) {
    int colours = 256;
    if (job.coloursEnabled) colours = int(RoundHalfEven(job.coloursValue));
    return colours > 255 ? 254 : colours;
}

// What every image of a run reads: settled once, before the first image.
struct RunSetup {
    const ConversionJob* job = nullptr;
    ConversionDisplay* display = nullptr;  // the front end's, when it has one
    RunContext context;
    MapFileSettings mapSettings;
    std::string thousands;
    std::string scaleFile;
    int resize = 100;
    std::function<SourceOpenResult(const std::string&)> openSource;
    std::vector<RunEntry> entries;
    std::vector<PlannedOutput> outputs;  // one per entry
    std::vector<PlannedMapCopy> mapCopies;  // one per entry when copies are made
    std::string recordOptions;              // the options that shape the outputs, for their records
    std::mutex updateMutex;              // images at work beside each other share the check's cache
    UpdateCheck updateCheck;
};

// The options that shape an output's bytes and its copy's, as its record
// keeps them; the scale file by its contents.
std::string RecordOptions(const RunSetup& run, const ConversionJob& job) {
    std::string scales = "none";
    try {
        const std::string bytes = ReadRegularFile(run.scaleFile, 1 << 20, true);
        uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
        char text[32];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
        scales = text;
    } catch (const std::exception&) {
    }
    return "resize=" + std::to_string(run.resize) + " colours=" + std::to_string(run.context.colourCount) +
           " keep_damaged=" + (job.keepDamaged ? "1" : "0") + " copy_map=" + (job.copyMapFile ? "1" : "0") +
           " image_path=" + (job.includeImagePath ? "1" : "0") + " scales=" + scales;
}

// The record an entry's output would get if it were made now: its source
// and calibration file as they are, the run's options.
OutputRecord RecordNow(const RunSetup& run, size_t index) {
    OutputRecord now;
    now.sourcePath = run.entries[index].sourcePath;
    StatForRecord(now.sourcePath, now.sourceSize, now.sourceTimeNs);
    now.options = run.recordOptions;
    now.version = RecordedProgramVersion();
    if (run.job->copyMapFile && !run.mapCopies[index].copyPath.empty()) {
        now.calibrationPath = run.mapCopies[index].found;
        StatForRecord(now.calibrationPath, now.calibrationSize, now.calibrationTimeNs);
    }
    return now;
}

// The copies of a share of a run: planned over the whole run's list, each
// entry taking the plan of its place there. Entries that name no place (a
// front end that gave none) fall back to the share's own plan.
std::vector<PlannedMapCopy> ShareMapCopies(const RunSetup& run, const ConversionJob& job,
                                           const FolderPath& sourceFolder) {
    for (const RunEntry& entry : run.entries)
        if (!entry.entry->wholeRunIndex || *entry.entry->wholeRunIndex >= job.wholeRun.size())
            return PlanMapCopies(run.mapSettings, run.entries, run.outputs);
    ConversionJob whole;
    whole.entries = job.wholeRun;
    const std::vector<RunEntry> wholeEntries = TickedEntries(whole, sourceFolder, job.destinationFolder);
    if (wholeEntries.size() != job.wholeRun.size()) return PlanMapCopies(run.mapSettings, run.entries, run.outputs);
    std::vector<PlannedMapCopy> wholeCopies =
        PlanMapCopies(run.mapSettings, wholeEntries, PlanRunOutputs(wholeEntries));
    std::vector<PlannedMapCopy> copies;
    copies.reserve(run.entries.size());
    for (const RunEntry& entry : run.entries) copies.push_back(wholeCopies[*entry.entry->wholeRunIndex]);
    return copies;
}

void SetUpRun(RunSetup& run, const ConversionJob& job, ConversionObserver& observer,
              std::atomic<bool>& abort) {
    run.job = &job;
    run.resize = ResizePercentage(job);
    run.context.tempFolder = job.tempFolder;
    run.context.colourCount = ColourCount(job);
    run.context.abort = &abort;
    run.context.observer = &observer;
    run.context.threads = job.threads;
    run.context.palette = job.palette;
    run.context.dither = job.dither;
    run.mapSettings.sourceFolder = job.sourceFolder;
    run.mapSettings.mapFolder = job.mapFolder;
    run.mapSettings.destinationFolder = job.destinationFolder;
    run.mapSettings.copyMapFile = job.copyMapFile;
    run.mapSettings.includeImagePath = job.includeImagePath;
    run.thousands = LocaleThousandsSeparator();
    run.scaleFile = job.scaleFile.empty() ? ScaleFilePath(job.programFolder) : job.scaleFile;
    run.openSource = job.openSource ? job.openSource : OpenSourceImage;
    run.entries = TickedEntries(job, job.sourceFolder, job.destinationFolder);
    run.outputs = PlanRunOutputs(run.entries);
    run.mapCopies = job.wholeRun.empty() ? PlanMapCopies(run.mapSettings, run.entries, run.outputs)
                                         : ShareMapCopies(run, job, job.sourceFolder);
    run.recordOptions = RecordOptions(run, job);
}

// What killed runs left in this run's destination folders goes first;
// partial files of runs still at work stay (engine/leftovers.h).
void RemoveDeadPartialsOfRun(const std::vector<PlannedOutput>& outputs) {
    std::set<std::string> destinations;
    for (const PlannedOutput& planned : outputs)
        if (!planned.path.empty()) destinations.insert(FolderPart(planned.path));
    for (const std::string& folder : destinations) RemoveDeadPartialFiles(FolderPath(folder));
}

// The entry and the planned output of the image at work.
const RunEntry& EntryOf(const RunSetup& run, const ImageTask& task) {
    return run.entries[task.index];
}
const PlannedOutput& PlannedOf(const RunSetup& run, const ImageTask& task) {
    return run.outputs[task.index];
}

// The window's panels, preview and details emptied for the next image.
void StartImageDisplay(ConversionObserver& observer, ConversionDisplay* display) {
    ClearStatus(observer);
    if (display) {
        display->ResetPreview();
        display->WaitPumping(200);
        display->ClearDetails();
    }
    observer.PumpEvents();
}

// Chart sources by name: a BSB, NOS or Maptech chart anywhere in the path.
bool ChartSourceByName(const std::string& upperSource) {
    bool chartSource = false;
    for (const char* marker : {".KAP", ".NOS", ".HDR", ".RML"})
        if (Contains(upperSource, marker)) chartSource = true;
    return chartSource;
}

// The source's details in the details list: name, size, and how much
// memory it holds (whole images all of it, row-access formats six rows).
void ReportSourceDetails(ConversionObserver& observer, Timagerecord4& source, const std::string& sourceName,
                         const std::string& thousands) {
    const bool whole = source.HeldWhole();
    observer.AddDetail(sourceName);
    observer.AddDetail("Width = " + std::to_string(source.Width));
    observer.AddDetail("Height = " + std::to_string(source.Height));
    observer.AddDetail(whole ? "Fully loaded" : "Paged");
    observer.AddDetail("Mem Used = ");
    const int64_t memory =
        int64_t(source.Width) * (whole ? int64_t(source.Height) : int64_t(6)) * int64_t(source.BytesPerPixel);
    observer.AddDetail(FormatThousands(memory, thousands) + " Bytes");
}

// The preview boxes fitting 300 x 300 and 130 x 130 with the source's
// aspect ratio.
struct PreviewSizes {
    int w300 = 0, h300 = 0, w130 = 0, h130 = 0;
};

PreviewSizes PreviewSizesFor(int32_t width, int32_t height) {
    const double aspect = double(width) / double(height);
    PreviewSizes sizes;
    if (aspect > 1) {
        sizes.w300 = 300;
        sizes.h300 = int(RoundHalfEven(300 / aspect));
        sizes.w130 = 130;
        sizes.h130 = int(RoundHalfEven(130 / aspect));
    } else {
        sizes.h300 = 300;
        sizes.w300 = int(RoundHalfEven(300 * aspect));
        sizes.h130 = 130;
        sizes.w130 = int(RoundHalfEven(130 * aspect));
    }
    // A strip more than 260 times taller than wide would get previews of no
    // width, hence zoom scales of 0 %, and could not be converted at all;
    // its previews are one pixel wide instead. Every other image keeps its
    // sizes.
    sizes.w130 = std::max(sizes.w130, 1);
    sizes.w300 = std::max(sizes.w300, 1);
    return sizes;
}

// How an image failed. Each kind has its own log lines (see
// ImageConversion::Fail).
enum class ImageFailure {
    kSourceNotFound,     // the source could not be opened: the file is not there,
    kSourceNotLoadable,  // it could not be held in memory,
    kSourceUnusable,     // or it cannot be used at all
    kDamaged,            // a row of the source could not be decoded
    kTooSmall,           // below the 300-pixel minimum
    kMapCopy,            // the calibration copy could not be made
    kIo,                 // an input/output error (a full disk, a locked file)
    kOutOfMemory,
    kUnknown,            // any other error
};

ImageFailure OpenFailureKind(SourceOpenError error) {
    switch (error) {
        case SourceOpenError::SourceFileNotFound:
            return ImageFailure::kSourceNotFound;
        case SourceOpenError::SourceNotLoadable:
            return ImageFailure::kSourceNotLoadable;
        case SourceOpenError::SourceUnusable:
        case SourceOpenError::SourceDamaged:  // refused at open: nothing of it can be used
            break;
    }
    return ImageFailure::kSourceUnusable;
}

// One ticked image at work, from opening its source to its result: what it
// has open and written, what the front end learns of it, and whether it
// failed in a way that opens the log window. Every failure goes through
// Fail; every pass tells whether it finished, and one that did not was
// stopped by the abort flag.
class ImageConversion {
public:
    ImageConversion(const RunSetup& run, const ImageTask& task, ConversionObserver& observer,
                    ConversionLog& log, ImageResult result)
        : run_(run), task_(task), context_(task.context), observer_(observer), log_(log),
          result_(std::move(result)) {}
    ImageConversion(const ImageConversion&) = delete;
    ImageConversion& operator=(const ImageConversion&) = delete;

    // Converts the image. Whatever happened, everything it had open and
    // every file it left unfinished are released before this returns.
    void Run();

    const ImageResult& Result() const { return result_; }
    bool OpensLog() const { return opensLog_; }

private:
    void Convert();
    SourceOpenResult OpenWithNotes(const std::string& path);
    [[nodiscard]] bool WriteFile();
    [[nodiscard]] bool PrepareLevel0();
    [[nodiscard]] bool BuildZoomLevels(const ScaleList& scales);
    [[nodiscard]] bool WritePartialFile(const ScaleList& scales);
    void Commit();
    // `detail` is taken by value: a source's own text goes with the source
    // when Fail closes it.
    void Fail(ImageFailure kind, std::string detail = {});

    const RunSetup& run_;
    const ImageTask& task_;
    const RunContext& context_;
    ConversionObserver& observer_;
    ConversionLog& log_;
    std::optional<ImageWork> work_;  // while the image is at work
    ImagePlan plan_;
    ImageResult result_;
    bool opensLog_ = false;
};

void ImageConversion::Run() {
    work_.emplace();
    try {
        Convert();
    } catch (const IoError& e) {
        Fail(ImageFailure::kIo, e.what());
    } catch (const SourceError& e) {
        Fail(ImageFailure::kDamaged, e.what());
    } catch (const std::bad_alloc&) {
        Fail(ImageFailure::kOutOfMemory);
    } catch (const std::exception& e) {
        Fail(ImageFailure::kUnknown, e.what());
    } catch (...) {
        Fail(ImageFailure::kUnknown);
    }
    work_.reset();
}

// Opens the source; the notes its reader made for the user on the way are
// shown as soon as the open returns, or fails with an exception.
SourceOpenResult ImageConversion::OpenWithNotes(const std::string& path) {
    SourceNotes notes;
    auto show = [&] {
        for (const std::string& text : notes.Take()) observer_.Notice(text);
    };
    try {
        SourceOpenResult opened = run_.openSource(path);
        show();
        return opened;
    } catch (...) {
        show();
        throw;
    }
}

// How an image's failures are logged. An input/output error or memory
// exhaustion is the machine's (a full disk, a file another program locks,
// too large an image for this machine): the user fixes it and reruns, so
// the line says what happened and the log window stays closed unless
// something else failed; so does a calibration copy that cannot be made. A
// source that cannot be opened or used opens the log window. An error of
// any other kind means the image or this program is at fault and nobody can
// tell how far the file is right: the log opens by itself, and whatever the
// image wrote is removed; even a file that already took its final name,
// because an error after the rename (in the map step) leaves no guarantee
// that the pair of files belongs together.
void ImageConversion::Fail(ImageFailure kind, std::string detail) {
    ImageWork& work = *work_;
    result_.outcome = ImageOutcome::Failed;
    // Why the source could not be opened: the fixed line of its kind, then
    // the reader's reason.
    auto refuse = [&](const char* text) {
        log_.Add(std::string("e\t") + text);
        AddDetailLine(log_, detail);
        const std::string line = OneLine(detail);
        result_.reason = line.empty() ? std::string(text) : line;
        opensLog_ = true;
    };
    switch (kind) {
        case ImageFailure::kSourceNotFound:
            refuse("Image file not found");
            break;
        case ImageFailure::kSourceNotLoadable:
            refuse("Image file could not be fully loaded in memory");
            break;
        case ImageFailure::kSourceUnusable:
            refuse("Image could not be used");
            break;
        case ImageFailure::kDamaged:
            // The image is not written; an earlier file of its name stays.
            work.CloseAll();  // keeps the source's damage count
            result_.reason = OneLine(detail);
            if (result_.reason.empty()) result_.reason = "damaged image data";
            result_.damagedRows = std::max<int64_t>(work.damage.rows, 1);
            log_.Add(FailedLine(result_.reason));
            opensLog_ = true;
            break;
        case ImageFailure::kTooSmall:
            work.CloseAll();
            opensLog_ = true;
            log_.Add("e\tImage is too small must be 300 pixels or greater in width or height");
            // The detail gives the size, taken before the source was closed.
            result_.reason = detail.empty() ? std::string("Image is too small must be 300 pixels or greater in width or height")
                                            : detail;
            result_.outcome = ImageOutcome::TooSmall;
            break;
        case ImageFailure::kMapCopy:
            log_.Add("x\t(.map) file found but could not be copied");
            result_.reason = OneLine(detail);
            log_.Add(FailedLine(result_.reason));
            break;
        case ImageFailure::kIo:
            result_.reason = std::string(detail);
            log_.Add(FailedLine(detail));
            break;
        case ImageFailure::kOutOfMemory:
            result_.reason = "Out of memory";
            log_.Add("x\tError : Out of memory - Failed to create the Rpx2 file");
            break;
        case ImageFailure::kUnknown: {
            work.CloseAll();
            if (work.committed) RemoveFile(PlannedOf(run_, task_).path);  // the partial file goes with `work`
            result_.outputPath.clear();
            result_.outputBytes = 0;
            result_.levels = 0;
            log_.Add("x\tAn unknown Error occurred - Failed to create the Rpx2 file");
            AddDetailLine(log_, detail);
            const std::string line = OneLine(detail);
            result_.reason = line.empty() ? std::string("An unknown Error occurred") : line;
            opensLog_ = true;
            break;
        }
    }
}

// From opening the source to the image end. Errors go to Run.
void ImageConversion::Convert() {
    ImageWork& work = *work_;
    const std::string& sourcePath = result_.sourcePath;
    const PlannedOutput& planned = PlannedOf(run_, task_);
    // No free name could be found for the output (a name too long, a folder
    // that cannot be searched): this image fails, the run goes on.
    if (planned.error) ThrowIoError(planned.error.value());
    const std::string upperSource = UpperAscii(sourcePath);
    plan_.chartSource = ChartSourceByName(upperSource);
    // An RPX source that cannot be read fails this image only: a missing one
    // is reported by the open below, a short or unreadable one as an
    // input/output error. Neither ends the run.
    std::error_code existsError;
    if (Contains(upperSource, ".RPX") && fs::exists(fs::path(sourcePath), existsError))
        plan_.chartSource = RpxChartFlag(sourcePath);
    StatForRecord(sourcePath, work.sourceSize, work.sourceTimeNs);
    SourceOpenResult opened = OpenWithNotes(sourcePath);
    if (auto* failure = std::get_if<SourceFailure>(&opened))
        return Fail(OpenFailureKind(failure->kind), failure->detail);
    work.source = std::move(std::get<SourceHandle>(opened));
    Timagerecord4& source = *work.source;
    result_.width = source.Width;
    result_.height = source.Height;
    source.Damage.keepGoing = run_.job->keepDamaged;
    // A whole image loaded only in part (its data ends early, a block is
    // corrupt) is not the picture: it fails unless the user asked for what
    // could be decoded.
    if (source.Damage.rows > 0 && !run_.job->keepDamaged)
        return Fail(ImageFailure::kDamaged, source.Damage.firstDetail);
    if (source.Width < 300 && source.Height < 300)
        return Fail(ImageFailure::kTooSmall, std::to_string(source.Width) + " x " + std::to_string(source.Height) +
                                                 ": below 300 pixels in width and in height");

    ReportSourceDetails(observer_, source, FileNamePart(sourcePath), run_.thousands);
    const PreviewSizes preview = PreviewSizesFor(source.Width, source.Height);
    if (task_.display) task_.display->ShowSourcePreview(source, preview.w130, preview.h130);
    observer_.SetStatus(0, "Creating RPX2 File : " + FileNamePart(planned.path));

    plan_.scaleFile = run_.scaleFile;
    plan_.resize = run_.resize;
    plan_.w130 = preview.w130;
    plan_.w300 = preview.w300;
    const std::string upperExtension = UpperAscii(ExtensionOf(sourcePath));
    plan_.preprocess = Contains(upperExtension, ".SID") || Contains(upperExtension, ".ECW");
    work.partialFolder = FolderOf(planned.path);
    const bool written = !context_.Aborted() && WriteFile();

    // Image end. An abort raised after the last pass still stops the image
    // before its file takes its name.
    work.CloseAll();
    if (!written || context_.Aborted()) {
        log_.Add("o\t   Aborted by user");
        result_.reason = "Aborted by user";
        result_.outcome = ImageOutcome::Aborted;
        return;  // the partial file goes with `work`
    }
    Commit();
}

// Steps from the level-0 raster to the written file; false when the abort
// flag stopped them. Run then releases everything.
bool ImageConversion::WriteFile() {
    if (!PrepareLevel0()) return false;
    Timagerecord4& level0 = work_->Level0();
    const ScaleList scales = BuildScaleList(level0.Width, level0.Height, plan_.w130, plan_.w300, plan_.scaleFile);
    if (!BuildZoomLevels(scales)) return false;
    if (!WritePartialFile(scales)) return false;
    // The overview is decoded only for a display that shows it.
    if (task_.display)
        if (std::optional<Picture> overview = RpxToPicture(work_->partialPath, 1, -1))
            task_.display->ShowPicture(*overview);
    observer_.PumpEvents();
    return true;
}

// The level-0 raster: the source shrunk, quantised or copied into
// "rpx_0.rpx0", or the source itself.
bool ImageConversion::PrepareLevel0() {
    ImageWork& work = *work_;
    Timagerecord4& source = *work.source;
    if (plan_.resize != 100) {
        observer_.SetStatus(1, "Initial Resize to " + std::to_string(plan_.resize) + "%");
        // Level 0 takes no dominant colours; only the zoom levels do.
        const bool built =
            BuildZoomLevel(context_, 0, source, context_.colourCount, double(plan_.resize), DominantColourTable{});
        work.CloseSource();
        if (!built) return false;
    } else if (source.BytesPerPixel == 3 || context_.colourCount < 254) {
        if (!ReduceColorsPass(context_, source)) return false;  // the source stays open until the image end
        work.CloseSource();
    } else if (plan_.preprocess) {
        observer_.SetStatus(1, "Preprocessing Image");
        const bool copied = CopyIndexedPass(context_, source);
        work.CloseSource();
        if (!copied) return false;
    } else {
        return true;  // the source is level 0
    }
    work.level0 = OpenScratch(context_, 0);
    return true;
}

// The zoom levels "rpx_<t>.rpx0": the small ones come from level 1 rather
// than level 0.
bool ImageConversion::BuildZoomLevels(const ScaleList& scales) {
    ImageWork& work = *work_;
    Timagerecord4& level0 = work.Level0();
    // Sampled from this image alone, so that no image's levels depend on
    // which image came before it (or ran beside it).
    const DominantColourTable dominant = SampleDominantColors(level0);
    observer_.SetStatus(1, ZoomText("Creating", scales[1]));
    if (!BuildZoomLevel(context_, 1, level0, kZoomLevelColourLimit, ZoomLevelPercentage(scales, 1), dominant))
        return false;
    work.level1 = OpenScratch(context_, 1);
    for (int t = 2; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        observer_.SetStatus(1, ZoomText("Creating", scales[size_t(t)]));
        Timagerecord4& from = double(scales[size_t(t)]) < 19.9 ? *work.level1 : level0;
        if (!BuildZoomLevel(context_, t, from, kZoomLevelColourLimit, ZoomLevelPercentage(scales, t), dominant))
            return false;
    }
    CloseSourceImage(work.level1);
    return true;
}

// Writes level 0 and every zoom level under the partial name.
bool ImageConversion::WritePartialFile(const ScaleList& scales) {
    ImageWork& work = *work_;
    Timagerecord4& level0 = work.Level0();
    work.partial = PartialFile::Create(work.partialFolder);
    work.partialPath = work.partial.Path();
    Rpx2Writer writer(work.partial.OpenForWriting(), context_);
    WriteRpx2Header(writer, level0.Width, level0.Height, plan_.chartSource, scales);
    observer_.SetStatus(1, "Writing 100% Zoom");
    if (!WriteRpx2Level(writer, level0)) return false;
    ++work.levelsWritten;
    for (int t = 1; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        observer_.SetStatus(1, ZoomText("Writing", scales[size_t(t)]));
        SourceHandle level = OpenScratch(context_, t);
        const bool written = WriteRpx2Level(writer, *level);
        CloseSourceImage(level);
        if (!written) return false;
        ++work.levelsWritten;
    }
    WriteRpx2Trailer(writer);
    writer.Close();
    return true;
}

// The image end of a finished image: the calibration copy is written under
// its partial name, the new file and its copy take their names together, the
// result lines and the map line go to the log.
void ImageConversion::Commit() {
    const RunSetup& run = run_;
    const ImageTask& task = task_;
    ImageWork& work = *work_;
    ConversionLog& log = log_;
    ImageResult& result = result_;
    const PlannedOutput& planned = PlannedOf(run, task);
    const std::string& outputPath = planned.path;
    const std::string outputName = FileNamePart(outputPath);
    const MapFileSettings settings = EntryMapSettings(run.mapSettings, EntryOf(run, task));
    {
        // Another run writing the same output or copy commits its pair
        // before or after this one, never between its renames. The lock is
        // taken before the copy's partial file is written; the RPX2 file's
        // partial file has a name no other run uses, so that waiting for the
        // lock while it is written would only hold two conversions back.
        std::vector<std::string> names{outputPath};
        if (settings.copyMapFile && !run.mapCopies[task.index].copyPath.empty())
            names.push_back(run.mapCopies[task.index].copyPath);
        work.nameLocks = NameLocks(FolderOf(outputPath), names);
    }
    std::string mapLine;
    std::string mapWarning;
    if (settings.copyMapFile) {
        const PlannedMapCopy& copy = run.mapCopies[task.index];
        if (copy.searchError) std::rethrow_exception(copy.searchError);
        if (copy.found.empty()) {
            mapLine = "x\tNo .map file found";
        } else {
            // The copy is made before the new file takes its name: a copy that
            // cannot be made fails the image and leaves the earlier pair.
            try {
                work.mapCopy = StageMapCopy(settings, copy.found, copy.copyPath, outputPath,
                                            100.0 / double(run.resize));
            } catch (const std::exception& e) {
                return Fail(ImageFailure::kMapCopy, e.what());
            }
            result.mapFile = copy.found;
            mapLine = "o\tNew map file created - ( " + copy.copyPath + " )";
            if (copy.matches.size() > 1) mapWarning = SeveralMapFilesWarning(copy.matches);
        }
    } else {
        // The search runs all the same; its errors are the image's.
        FindMapFile(settings, result.sourcePath);
    }
    // The new file and its copy take their names only now that both are
    // complete, as one step (engine/leftovers.h: CommitFiles), so that an
    // earlier pair survives every failure and a kill leaves no output with
    // another run's calibration; their data reach the disk before the renames
    // and the new names after them.
    std::vector<std::pair<std::string, std::string>> moves{{work.partialPath, outputPath}};
    if (!work.mapCopy.partial.Empty()) moves.emplace_back(work.mapCopy.partial.Path(), work.mapCopy.copyPath);
    ClosingFile recordFile;
    {
        // The output's record goes with it, as the commit's closing file.
        OutputRecord record = RecordNow(run, task.index);
        record.outputName = outputName;
        record.sourceSize = work.sourceSize;
        record.sourceTimeNs = work.sourceTimeNs;
        record.damaged = work.damage.rows > 0;
        record.outputSize = uint64_t(std::max<int64_t>(FileSizeOf(work.partialPath), 0));
        if (work.mapCopy.partial.Empty()) {
            record.calibrationPath.clear();
            record.calibrationSize = 0;
            record.calibrationTimeNs = 0;
        }
        recordFile = {RecordPathFor(outputPath), RecordText(record)};
    }
    try {
        CommitFiles(FolderOf(outputPath), moves, &recordFile);
    } catch (const IoError&) {
        // The output took its name but its copy could not: the new file goes
        // rather than stand beside a calibration of another picture.
        if (moves.size() > 1 && !FileExists(work.partialPath) && FileExists(work.mapCopy.partial.Path()))
            RemoveFile(outputPath);
        throw;
    }
    work.committed = true;
    work.partial.Release();
    work.mapCopy.partial.Release();
    if (!work.mapCopy.copyPath.empty()) result.mapCopyPath = work.mapCopy.copyPath;
    observer_.SetStatus(0, "Rpx2 image created : " + outputName);
    observer_.SetStatus(1, "");
    observer_.SetStatus(2, "");
    log.Add("o\t   Rpx2 image created : " + outputName);
    log.Add("o\t   In path : " + FolderPart(outputPath));
    result.outputPath = outputPath;
    result.levels = work.levelsWritten;
    result.outputBytes = uint64_t(FileSizeOf(outputPath));
    log.Add("o\t   File Size : " + FormatThousands(int64_t(result.outputBytes), run.thousands));
    result.outcome = ImageOutcome::Converted;
    // Written best-effort (keepDamaged): the file is there, but the image is
    // not what its source holds.
    if (work.damage.rows > 0) {
        log.Add(DamageWarning(work.damage, run.thousands));
        result.damagedRows = work.damage.rows;
        result.reason = DamageReason(work.damage);
        opensLog_ = true;
        result.outcome = ImageOutcome::Failed;
    }
    log.Add(mapLine);
    // Several calibration files named the image: which one was used.
    if (!mapWarning.empty()) log.Add(mapWarning);
}

// One ticked entry, from emptying the window's panels to ImageFinished.
EntryEnd ProcessEntry(RunSetup& run, const ImageTask& task, ConversionObserver& observer, ConversionLog& log) {
    StartImageDisplay(observer, task.display);
    const RunEntry& entry = EntryOf(run, task);
    const std::string& sourcePath = entry.sourcePath;
    OutputRecord now;
    std::string againReason;
    {
        std::lock_guard lock(run.updateMutex);
        if (run.job->update) now = RecordNow(run, task.index);
        if (SkipWhenUpToDate(*run.job, run.updateCheck, sourcePath, PlannedOf(run, task).path,
                             EntryMapSettings(run.mapSettings, entry), task.number > 1, log, observer,
                             ProcessingName(*entry.entry, sourcePath), run.job->update ? &now : nullptr,
                             &againReason))
            return {ImageOutcome::UpToDate, false};
    }

    if (task.number > 1) log.Add("");
    log.Add("i\tProcessing - " + ProcessingName(*entry.entry, sourcePath));
    // --update found the earlier output out of date: why it is made again.
    if (!againReason.empty()) log.Add("i\t   Converting again : " + againReason);
    observer.SetStatus(0, "Loading Image - " + FileNamePart(sourcePath));
    observer.PumpEvents();

    ImageResult start;
    start.sourcePath = sourcePath;
    start.updateReason = againReason;
    const auto imageStart = std::chrono::steady_clock::now();
    ImageConversion image(run, task, observer, log, std::move(start));
    image.Run();
    ImageResult result = image.Result();
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - imageStart).count();
    observer.ImageFinished(result);
    return {result.outcome, image.OpensLog()};
}

// Run end: the status, the scratch files (stopping at the first that cannot
// be deleted), and the summary line, or the message that nothing was ticked.
void EndRun(const RunContext& context, int processed, bool opensLog, ConversionObserver& observer,
            ConversionDisplay* display, ConversionLog& log) {
    observer.SetStatus(0, "Completed");
    observer.SetStatus(1, "");
    observer.SetStatus(2, "");
    RemoveScratchFiles(context.tempFolder);
    if (processed == 0) {
        observer.ShowMessage("No Image Files Selected");
        return;
    }
    log.Add("");
    log.Add("z\t" + std::to_string(processed) + " Image File(s) Processed");
    if (!display) return;
    if (opensLog)
        display->ShowLogModal();
    else
        display->MarkLogButton();
}

}  // namespace

const char* OutcomeName(ImageOutcome outcome) {
    switch (outcome) {
        case ImageOutcome::Converted:
            return "converted";
        case ImageOutcome::Failed:
            return "failed";
        case ImageOutcome::Aborted:
            return "aborted";
        case ImageOutcome::TooSmall:
            return "too-small";
        case ImageOutcome::UpToDate:
            return "up-to-date";
    }
    return "failed";
}

void RunConversion(const ConversionJob& job, ConversionObserver& observer, ConversionLog& log,
                   ConversionDisplay* display) {
    AddEngineSourceRows();
    if (!CheckRunFolders(job, observer)) return;
    BusyGuard busy(display);
    std::atomic<bool> ownAbort{false};
    std::atomic<bool>& abort = job.abort ? *job.abort : ownAbort;
    abort.store(false);
    ClearStatus(observer);
    if (job.sourceFolder.Empty()) {
        observer.ShowMessage("Image Path not Specified");
        return;
    }
    log.Clear();

    RunSetup run;
    SetUpRun(run, job, observer, abort);
    run.display = display;
    RemoveDeadPartialsOfRun(run.outputs);
    int processed = 0;
    std::vector<std::string> sourcePaths;
    for (const RunEntry& entry : run.entries) sourcePaths.push_back(entry.sourcePath);
    EntryRunner runner(job, run.context, display, std::move(sourcePaths), observer, log,
                       [&run](const ImageTask& task, ConversionObserver& imageObserver, ConversionLog& imageLog) {
                           return ProcessEntry(run, task, imageObserver, imageLog);
                       });
    for (size_t index = 0; index < run.entries.size(); ++index)
        if (!runner.Start(index, processed)) break;
    runner.Finish();
    EndRun(run.context, processed, runner.OpensLog(), observer, display, log);
}

}  // namespace tessary
