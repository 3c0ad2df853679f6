#include "engine/conversion.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

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
#include "engine/scale_list.h"
#include "engine/update_check.h"
#include "raster/colour_reduction.h"
#include "raster/zoom_level.h"
#include "rpx/rpx2_writer.h"
#include "rpx/rpx_reader.h"

namespace tessary {

namespace fs = std::filesystem;

namespace {

// A folder value as the run checks it: trimmed, and without its trailing
// separator unless it is a single character.
std::string FolderForCheck(const std::string& folder) {
    std::string text = TrimSpaces(folder);
    if (text.size() > 1 && IsPathSeparator(text.back())) text.pop_back();
    return text;
}

// Ends the busy state on every way out of the run.
class BusyGuard {
public:
    explicit BusyGuard(ConversionObserver& observer) : observer_(observer) { observer_.SetBusy(true); }
    ~BusyGuard() { observer_.SetBusy(false); }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;

private:
    ConversionObserver& observer_;
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
    std::string partialFolder;
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

// The level-0 raster: the source shrunk, quantised or copied into
// "rpx_0.rpx0", or the source itself. False when the abort flag stopped it.
bool PrepareLevel0(const RunContext& context, const ImagePlan& plan, ImageWork& work,
                   ConversionObserver& observer) {
    Timagerecord4& source = *work.source;
    if (plan.resize != 100) {
        observer.SetStatus(1, "Initial Resize to " + std::to_string(plan.resize) + "%");
        // Level 0 takes no dominant colours; only the zoom levels do.
        BuildZoomLevel(context, 0, source, context.colourCount, double(plan.resize), DominantColourTable{});
        work.CloseSource();
        if (context.Aborted()) return false;
        work.level0 = OpenScratch(context, 0);
    } else if (source.BytesPerPixel == 3 || context.colourCount < 254) {
        ReduceColorsPass(context, source);
        if (context.Aborted()) return false;  // the source stays open until the image end
        work.CloseSource();
        work.level0 = OpenScratch(context, 0);
    } else if (plan.preprocess) {
        observer.SetStatus(1, "Preprocessing Image");
        CopyIndexedPass(context, source);
        work.CloseSource();
        if (context.Aborted()) return false;
        work.level0 = OpenScratch(context, 0);
    }
    return !context.Aborted();
}

// The zoom levels "rpx_<t>.rpx0": the small ones come from level 1 rather
// than level 0. False when the abort flag stopped it.
bool BuildZoomLevels(const RunContext& context, const ScaleList& scales, ImageWork& work,
                     ConversionObserver& observer) {
    Timagerecord4& level0 = work.Level0();
    // Sampled from this image alone, so that no image's levels depend on
    // which image came before it (or ran beside it).
    const DominantColourTable dominant = SampleDominantColors(level0);
    observer.SetStatus(1, ZoomText("Creating", scales[1]));
    BuildZoomLevel(context, 1, level0, kZoomLevelColourLimit, ZoomLevelPercentage(scales, 1), dominant);
    if (context.Aborted()) return false;
    work.level1 = OpenScratch(context, 1);
    for (int t = 2; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        observer.SetStatus(1, ZoomText("Creating", scales[size_t(t)]));
        Timagerecord4& from = double(scales[size_t(t)]) < 19.9 ? *work.level1 : level0;
        BuildZoomLevel(context, t, from, kZoomLevelColourLimit, ZoomLevelPercentage(scales, t), dominant);
        if (context.Aborted()) return false;
    }
    CloseSourceImage(work.level1);
    return true;
}

// Writes level 0 and every zoom level under the partial name. False when
// the abort flag stopped it.
bool WritePartialFile(const RunContext& context, const ImagePlan& plan, const ScaleList& scales,
                      ImageWork& work, ConversionObserver& observer) {
    Timagerecord4& level0 = work.Level0();
    work.partial = PartialFile::Create(work.partialFolder);
    work.partialPath = work.partial.Path();
    Rpx2Writer writer(work.partial.OpenForWriting(), context);
    WriteRpx2Header(writer, level0.Width, level0.Height, plan.chartSource, scales);
    observer.SetStatus(1, "Writing 100% Zoom");
    WriteRpx2Level(writer, level0);
    ++work.levelsWritten;
    if (context.Aborted()) return false;
    for (int t = 1; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        observer.SetStatus(1, ZoomText("Writing", scales[size_t(t)]));
        SourceHandle level = OpenScratch(context, t);
        WriteRpx2Level(writer, *level);
        ++work.levelsWritten;
        CloseSourceImage(level);
        if (context.Aborted()) return false;
    }
    WriteRpx2Trailer(writer);
    writer.Close();
    return true;
}

// Steps from the level-0 raster to the written file. Returns early when the
// abort flag is found set; the caller's image end then releases everything.
void ConvertImage(const RunContext& context, const ImagePlan& plan, ImageWork& work,
                  ConversionObserver& observer) {
    if (!PrepareLevel0(context, plan, work, observer)) return;
    Timagerecord4& level0 = work.Level0();
    const ScaleList scales =
        BuildScaleList(level0.Width, level0.Height, plan.w130, plan.w300, plan.scaleFile);
    if (!BuildZoomLevels(context, scales, work, observer)) return;
    if (!WritePartialFile(context, plan, scales, work, observer)) return;
    if (std::optional<Picture> overview = RpxToPicture(work.partialPath, 1, -1))
        observer.ShowPicture(*overview);
    observer.PumpEvents();
}

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

// Logs why the source could not be opened: the fixed line of its kind, then
// the reader's reason. Gives the reason for the image's result.
std::string LogOpenFailure(ConversionLog& log, const SourceFailure& failure) {
    const char* text = "Image could not be used";
    switch (failure.kind) {
        case SourceOpenError::SourceFileNotFound:
            text = "Image file not found";
            break;
        case SourceOpenError::SourceNotLoadable:
            text = "Image file could not be fully loaded in memory";
            break;
        case SourceOpenError::SourceUnusable:
        case SourceOpenError::SourceDamaged:  // refused at open: nothing of it can be used
            text = "Image could not be used";
            break;
    }
    log.Add(std::string("e\t") + text);
    AddDetailLine(log, failure.detail);
    const std::string detail = OneLine(failure.detail);
    return detail.empty() ? std::string(text) : detail;
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

// How an image's failures are logged. An input/output error or memory
// exhaustion is the machine's (a full disk, a file another program locks,
// too large an image for this machine): the user fixes it and reruns, so
// the line says what happened and the error flag stays as it was, leaving
// the log window closed unless something else failed. An error of any other
// kind means the image or this program is at fault and nobody can tell how
// far the file is right: the flag is set so the log opens by itself, and
// whatever the image wrote is removed; even a file that already took its
// final name, because an error after the rename (in the map step) leaves no
// guarantee that the pair of files belongs together.

ImageOutcome FailIo(const IoError& error, ConversionLog& log, ImageResult& result) {
    result.reason = error.what();
    log.Add(FailedLine(error.what()));
    return ImageOutcome::Failed;
}

// A row of the source could not be decoded: the image is not written, an
// earlier file of its name stays, and the log opens.
ImageOutcome FailDamaged(ImageWork& work, const SourceError& error, ConversionLog& log, ImageResult& result,
                         bool& errorFlag) {
    work.CloseAll();  // keeps the source's damage count
    result.reason = OneLine(error.what());
    if (result.reason.empty()) result.reason = "damaged image data";
    result.damagedRows = std::max<int64_t>(work.damage.rows, 1);
    log.Add(FailedLine(result.reason));
    errorFlag = true;
    return ImageOutcome::Failed;
}

ImageOutcome FailOutOfMemory(ConversionLog& log, ImageResult& result) {
    result.reason = "Out of memory";
    log.Add("x\tError : Out of memory - Failed to create the Rpx2 file");
    return ImageOutcome::Failed;
}

// Any other error ends the image with the fixed line, and the error's own
// text under it when it has one; whatever the image wrote is removed.
ImageOutcome FailUnknown(ImageWork& work, const std::string& outputPath, ConversionLog& log,
                         std::string_view what, ImageResult& result, bool& errorFlag) {
    work.CloseAll();
    if (work.committed) RemoveFile(outputPath);  // the partial file goes with `work`
    result.outputPath.clear();
    result.outputBytes = 0;
    result.levels = 0;
    log.Add("x\tAn unknown Error occurred - Failed to create the Rpx2 file");
    AddDetailLine(log, what);
    const std::string detail = OneLine(what);
    result.reason = detail.empty() ? std::string("An unknown Error occurred") : detail;
    errorFlag = true;
    return ImageOutcome::Failed;
}

// A ticked entry with its source and destination resolved.
struct RunEntry {
    const ConversionEntry* entry = nullptr;
    std::string sourcePath;
    std::string destinationFolder;  // ending in a separator
};

std::vector<RunEntry> TickedEntries(const ConversionJob& job, const std::string& sourceFolder,
                                    const std::string& destinationFolder) {
    std::vector<RunEntry> entries;
    for (const ConversionEntry& entry : job.entries) {
        if (!entry.ticked) continue;
        RunEntry resolved;
        resolved.entry = &entry;
        resolved.sourcePath =
            entry.sourcePath.empty() ? TrimSpaces(sourceFolder + entry.fileName) : entry.sourcePath;
        resolved.destinationFolder = entry.destinationFolder.empty()
                                         ? destinationFolder
                                         : WithTrailingSeparator(entry.destinationFolder);
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
    if (!entry.entry->destinationFolder.empty()) settings.destinationFolder = entry.destinationFolder;
    if (!entry.entry->sourcePath.empty())
        settings.sourceFolder = WithTrailingSeparator(FolderPart(entry.sourcePath));
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
    const std::string destinationCheck = FolderForCheck(job.destinationFolder);
    if (!DirectoryExists(destinationCheck)) {
        observer.ShowMessage("Destination Folder is not valid");
        return false;
    }
    const std::string tempCheck = FolderForCheck(job.tempFolder);
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
                                           const std::string& sourceFolder) {
    for (const RunEntry& entry : run.entries)
        if (!entry.entry->wholeRunIndex || *entry.entry->wholeRunIndex >= job.wholeRun.size())
            return PlanMapCopies(run.mapSettings, run.entries, run.outputs);
    ConversionJob whole;
    whole.entries = job.wholeRun;
    const std::vector<RunEntry> wholeEntries =
        TickedEntries(whole, sourceFolder, WithTrailingSeparator(TrimSpaces(job.destinationFolder)));
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
    std::string sourceFolder = job.sourceFolder;
    if (!IsPathSeparator(sourceFolder.back())) sourceFolder += '/';
    run.job = &job;
    run.resize = ResizePercentage(job);
    run.context.tempFolder = WithTrailingSeparator(TrimSpaces(job.tempFolder));
    run.context.colourCount = ColourCount(job);
    run.context.abort = &abort;
    run.context.observer = &observer;
    run.context.threads = job.threads;
    run.context.palette = job.palette;
    run.context.dither = job.dither;
    run.mapSettings.sourceFolder = WithTrailingSeparator(TrimSpaces(job.sourceFolder));
    run.mapSettings.mapFolder = job.mapFolder;
    run.mapSettings.destinationFolder = job.destinationFolder;
    run.mapSettings.copyMapFile = job.copyMapFile;
    run.mapSettings.includeImagePath = job.includeImagePath;
    run.thousands = LocaleThousandsSeparator();
    run.scaleFile = job.scaleFile.empty() ? ScaleFilePath(job.programFolder) : job.scaleFile;
    run.openSource = job.openSource ? job.openSource : OpenSourceImage;
    run.entries = TickedEntries(job, sourceFolder, WithTrailingSeparator(TrimSpaces(job.destinationFolder)));
    run.outputs = PlanRunOutputs(run.entries);
    run.mapCopies = job.wholeRun.empty() ? PlanMapCopies(run.mapSettings, run.entries, run.outputs)
                                         : ShareMapCopies(run, job, sourceFolder);
    run.recordOptions = RecordOptions(run, job);
}

// What killed runs left in this run's destination folders goes first;
// partial files of runs still at work stay (engine/leftovers.h).
void RemoveDeadPartialsOfRun(const std::vector<PlannedOutput>& outputs) {
    std::set<std::string> destinations;
    for (const PlannedOutput& planned : outputs)
        if (!planned.path.empty()) destinations.insert(FolderPart(planned.path));
    for (const std::string& folder : destinations) RemoveDeadPartialFiles(folder);
}

// One ticked entry as the image at work: its index in the run's entries and
// its number J (1 for the first).
struct ImageTask {
    size_t index = 0;
    int number = 0;
    // The image's own run context: the run's, or for an image converted
    // beside others, its own scratch folder, observer and share of threads.
    RunContext context;
    const RunEntry& Entry(const RunSetup& run) const { return run.entries[index]; }
    const PlannedOutput& Planned(const RunSetup& run) const { return run.outputs[index]; }
};

// The window's panels, preview and details emptied for the next image.
void StartImageDisplay(ConversionObserver& observer) {
    ClearStatus(observer);
    observer.ResetPreview();
    observer.WaitPumping(200);
    observer.ClearDetails();
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

// An open source that cannot be converted: loaded only in part (and no
// best-effort file asked for), or below the 300-pixel minimum. Logs why and
// gives the outcome; nothing when the source is fine.
std::optional<ImageOutcome> RefuseSource(const ConversionJob& job, ImageWork& work, ConversionLog& log,
                                         ImageResult& result, bool& errorFlag) {
    Timagerecord4& source = *work.source;
    // A whole image loaded only in part (its data ends early, a block is
    // corrupt) is not the picture: it fails unless the user asked for what
    // could be decoded.
    if (source.Damage.rows > 0 && !job.keepDamaged) {
        result.damagedRows = source.Damage.rows;
        result.reason = DamageReason(source.Damage);
        work.CloseAll();
        errorFlag = true;
        log.Add(FailedLine(result.reason));
        return ImageOutcome::Failed;
    }
    if (source.Width < 300 && source.Height < 300) {
        // The size is taken before the source is closed.
        result.reason = std::to_string(source.Width) + " x " + std::to_string(source.Height) +
                        ": below 300 pixels in width and in height";
        work.CloseAll();
        errorFlag = true;
        log.Add("e\tImage is too small must be 300 pixels or greater in width or height");
        return ImageOutcome::TooSmall;
    }
    return std::nullopt;
}

// The image end of a finished image: the calibration copy is written under
// its partial name, the new file and its copy take their names together, the
// result lines and the map line go to the log.
ImageOutcome CommitImage(const RunSetup& run, const ImageTask& task, ImageWork& work,
                         ConversionObserver& observer, ConversionLog& log, ImageResult& result,
                         bool& errorFlag) {
    const PlannedOutput& planned = task.Planned(run);
    const std::string& outputPath = planned.path;
    const std::string outputName = FileNamePart(outputPath);
    const MapFileSettings settings = EntryMapSettings(run.mapSettings, task.Entry(run));
    {
        // Another run writing the same output or copy commits its pair
        // before or after this one, never between its renames. The lock is
        // taken before the copy's partial file is written; the RPX2 file's
        // partial file has a name no other run uses, so that waiting for the
        // lock while it is written would only hold two conversions back.
        std::vector<std::string> names{outputPath};
        if (settings.copyMapFile && !run.mapCopies[task.index].copyPath.empty())
            names.push_back(run.mapCopies[task.index].copyPath);
        work.nameLocks = NameLocks(FolderPart(outputPath), names);
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
                log.Add("x\t(.map) file found but could not be copied");
                result.reason = OneLine(e.what());
                log.Add(FailedLine(result.reason));
                return ImageOutcome::Failed;
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
        CommitFiles(FolderPart(outputPath), moves, &recordFile);
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
    observer.SetStatus(0, "Rpx2 image created : " + outputName);
    observer.SetStatus(1, "");
    observer.SetStatus(2, "");
    log.Add("o\t   Rpx2 image created : " + outputName);
    log.Add("o\t   In path : " + FolderPart(outputPath));
    result.outputPath = outputPath;
    result.levels = work.levelsWritten;
    result.outputBytes = uint64_t(FileSizeOf(outputPath));
    log.Add("o\t   File Size : " + FormatThousands(int64_t(result.outputBytes), run.thousands));
    ImageOutcome outcome = ImageOutcome::Converted;
    // Written best-effort (keepDamaged): the file is there, but the image is
    // not what its source holds.
    if (work.damage.rows > 0) {
        log.Add(DamageWarning(work.damage, run.thousands));
        result.damagedRows = work.damage.rows;
        result.reason = DamageReason(work.damage);
        errorFlag = true;
        outcome = ImageOutcome::Failed;
    }
    log.Add(mapLine);
    // Several calibration files named the image: which one was used.
    if (!mapWarning.empty()) log.Add(mapWarning);
    return outcome;
}

// From opening the source to the image end. Errors go to the caller.
ImageOutcome ConvertSource(const RunSetup& run, const ImageTask& task, ImageWork& work,
                           ConversionObserver& observer, ConversionLog& log, ImageResult& result,
                           bool& errorFlag) {
    const std::string& sourcePath = result.sourcePath;
    const PlannedOutput& planned = task.Planned(run);
    // No free name could be found for the output (a name too long, a folder
    // that cannot be searched): this image fails, the run goes on.
    if (planned.error) ThrowIoError(planned.error.value());
    const std::string upperSource = UpperAscii(sourcePath);
    ImagePlan plan;
    plan.chartSource = ChartSourceByName(upperSource);
    // An RPX source that cannot be read fails this image only: a missing one
    // is reported by the open below, a short or unreadable one as an
    // input/output error. Neither ends the run.
    std::error_code existsError;
    if (Contains(upperSource, ".RPX") && fs::exists(fs::path(sourcePath), existsError))
        plan.chartSource = RpxChartFlag(sourcePath);
    StatForRecord(sourcePath, work.sourceSize, work.sourceTimeNs);
    SourceOpenResult opened = run.openSource(sourcePath);
    if (auto* failure = std::get_if<SourceFailure>(&opened)) {
        result.reason = LogOpenFailure(log, *failure);
        errorFlag = true;
        return ImageOutcome::Failed;
    }
    work.source = std::move(std::get<SourceHandle>(opened));
    Timagerecord4& source = *work.source;
    result.width = source.Width;
    result.height = source.Height;
    source.Damage.keepGoing = run.job->keepDamaged;
    if (std::optional<ImageOutcome> refused = RefuseSource(*run.job, work, log, result, errorFlag))
        return *refused;

    ReportSourceDetails(observer, source, FileNamePart(sourcePath), run.thousands);
    const PreviewSizes preview = PreviewSizesFor(source.Width, source.Height);
    observer.ShowSourcePreview(source, preview.w130, preview.h130);
    observer.SetStatus(0, "Creating RPX2 File : " + FileNamePart(planned.path));

    plan.scaleFile = run.scaleFile;
    plan.resize = run.resize;
    plan.w130 = preview.w130;
    plan.w300 = preview.w300;
    const std::string upperExtension = UpperAscii(ExtensionOf(sourcePath));
    plan.preprocess = Contains(upperExtension, ".SID") || Contains(upperExtension, ".ECW");
    work.partialFolder = FolderPart(planned.path);
    if (!task.context.Aborted()) ConvertImage(task.context, plan, work, observer);

    // Image end.
    work.CloseAll();
    if (task.context.Aborted()) {
        log.Add("o\t   Aborted by user");
        result.reason = "Aborted by user";
        return ImageOutcome::Aborted;  // the partial file goes with `work`
    }
    return CommitImage(run, task, work, observer, log, result, errorFlag);
}

// The error handling of one image: every failure becomes its log lines and
// the image's outcome; `work` releases what the image had open and wrote.
ImageOutcome ConvertSourceOrFail(const RunSetup& run, const ImageTask& task, ConversionObserver& observer,
                                 ConversionLog& log, ImageResult& result, bool& errorFlag) {
    ImageWork work;
    try {
        return ConvertSource(run, task, work, observer, log, result, errorFlag);
    } catch (const IoError& e) {
        return FailIo(e, log, result);
    } catch (const SourceError& e) {
        return FailDamaged(work, e, log, result, errorFlag);
    } catch (const std::bad_alloc&) {
        return FailOutOfMemory(log, result);
    } catch (const std::exception& e) {
        return FailUnknown(work, task.Planned(run).path, log, e.what(), result, errorFlag);
    } catch (...) {
        return FailUnknown(work, task.Planned(run).path, log, "", result, errorFlag);
    }
}

// One ticked entry, from emptying the window's panels to ImageFinished.
// Gives the image's outcome; sets `errorFlag` for the failures that open the
// log window.
ImageOutcome ProcessEntry(RunSetup& run, const ImageTask& task, ConversionObserver& observer,
                          ConversionLog& log, bool& errorFlag) {
    StartImageDisplay(observer);
    const RunEntry& entry = task.Entry(run);
    const std::string& sourcePath = entry.sourcePath;
    OutputRecord now;
    std::string againReason;
    {
        std::lock_guard lock(run.updateMutex);
        if (run.job->update) now = RecordNow(run, task.index);
        if (SkipWhenUpToDate(*run.job, run.updateCheck, sourcePath, task.Planned(run).path,
                             EntryMapSettings(run.mapSettings, entry), task.number > 1, log, observer,
                             ProcessingName(*entry.entry, sourcePath), run.job->update ? &now : nullptr,
                             &againReason))
            return ImageOutcome::UpToDate;
    }

    if (task.number > 1) log.Add("");
    log.Add("i\tProcessing - " + ProcessingName(*entry.entry, sourcePath));
    // --update found the earlier output out of date: why it is made again.
    if (!againReason.empty()) log.Add("i\t   Converting again : " + againReason);
    observer.SetStatus(0, "Loading Image - " + FileNamePart(sourcePath));
    observer.PumpEvents();

    ImageResult result;
    result.sourcePath = sourcePath;
    result.updateReason = againReason;
    const auto imageStart = std::chrono::steady_clock::now();
    result.outcome = ConvertSourceOrFail(run, task, observer, log, result, errorFlag);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - imageStart).count();
    observer.ImageFinished(result);
    return result.outcome;
}

// The scratch rasters (".rpx0") of a folder, stopping at the first that
// cannot be deleted; nothing else in the folder is the run's to remove.
void RemoveScratchFiles(const std::string& folder) {
    for (const platform::FolderEntry& file : platform::ListFolder(folder)) {
        if (file.isDirectory || UpperAscii(ExtensionOf(file.name)) != ".RPX0") continue;
        std::error_code ec;
        if (!fs::remove(folder + file.name, ec) || ec) break;
    }
}

// Runs the ticked entries in run order, `jobs` at a time. With one job each
// image runs on the calling thread with the front end's observer and the
// run's log: the desktop program's run, unchanged. With more, each image is
// a unit of work on a thread of its own, with its own RunContext (a scratch
// subfolder per slot, so the scratch names stay those of one image; its
// share of the cores) and a RecordingImageObserver; this thread replays the
// records in run order, so that the log and ImageFinished come as from one
// job, and shows the status of the oldest image at work.
class EntryRunner {
public:
    EntryRunner(RunSetup& run, ConversionObserver& observer, ConversionLog& log)
        : run_(run),
          observer_(observer),
          log_(log),
          jobs_(ResolveJobCount(run.job->jobs, run.entries.size())) {
        if (jobs_ > 1) {
            budget_ = run.job->memoryBudget ? run.job->memoryBudget : DefaultMemoryBudget();
            threadsPerImage_ = ThreadsPerImage(run.job->threads, jobs_);
            router_.emplace();
            for (unsigned slot = jobs_; slot > 0; --slot) freeSlots_.push_back(slot);
        }
    }
    EntryRunner(const EntryRunner&) = delete;
    EntryRunner& operator=(const EntryRunner&) = delete;
    // Only on an error of the run itself: the images at work stop at their
    // next test of the abort flag.
    ~EntryRunner() {
        if (!pending_.empty() && run_.context.abort) run_.context.abort->store(true);
        for (auto& image : pending_)
            if (image->thread.joinable()) image->thread.join();
    }

    // Starts the entry `index` as image number `processed` + 1 (with one
    // job: converts it); false when the run starts no further image.
    bool Start(size_t index, int& processed) {
        if (stop_) return false;
        if (jobs_ == 1) {
            const ImageTask task{index, ++processed, run_.context};
            if (ProcessEntry(run_, task, observer_, log_, errorFlag_) == ImageOutcome::Aborted) stop_ = true;
            return !stop_;
        }
        const uint64_t memory = EstimateImageMemory(run_.entries[index].sourcePath);
        WaitForRoom(memory);
        if (stop_ || run_.context.Aborted()) return false;
        Launch(ImageTask{index, ++processed, run_.context}, memory);
        return true;
    }

    // Waits for every image at work and reports the images not reported yet.
    void Finish() {
        if (jobs_ == 1) return;
        WaitUntil([&] { return running_ == 0; });
        ReportFinished();
        observer_.ShowImagesAtWork({});
        RemoveSlotFolders();
        if (failure_) std::rethrow_exception(failure_);
    }

    bool ErrorFlag() const { return errorFlag_; }

private:
    struct Running {
        ImageTask task;
        unsigned slot = 0;
        uint64_t memory = 0;
        RecordingImageObserver observer;
        bool errorFlag = false;
        ImageOutcome outcome = ImageOutcome::Failed;
        std::exception_ptr failure;
        bool done = false;  // guarded by mutex_
        std::thread thread;
    };

    std::string SlotFolder(unsigned slot) const {
        return run_.context.tempFolder + "job" + std::to_string(slot) + "/";
    }

    void Launch(ImageTask task, uint64_t memory) {
        auto image = std::make_unique<Running>();
        {
            std::lock_guard lock(mutex_);
            image->slot = freeSlots_.back();
            freeSlots_.pop_back();
            ++running_;
            inUse_ += memory;
        }
        const std::string folder = SlotFolder(image->slot);
        std::error_code ec;
        fs::create_directories(folder, ec);
        task.context.tempFolder = folder;
        task.context.observer = &image->observer;
        task.context.threads = threadsPerImage_;
        image->task = std::move(task);
        image->memory = memory;
        Running* raw = image.get();
        pending_.push_back(std::move(image));
        raw->thread = std::thread([this, raw] { Work(*raw); });
    }

    void Work(Running& image) {
        WorkerNoticeRouter::BindThread(&image.observer);
        try {
            image.outcome =
                ProcessEntry(run_, image.task, image.observer, image.observer.log, image.errorFlag);
        } catch (...) {
            image.failure = std::current_exception();
        }
        WorkerNoticeRouter::BindThread(nullptr);
        std::lock_guard lock(mutex_);
        image.done = true;
        --running_;
        inUse_ -= image.memory;
        freeSlots_.push_back(image.slot);
        wake_.notify_all();
    }

    void WaitForRoom(uint64_t memory) {
        WaitUntil([&] {
            return stop_ || run_.context.Aborted() ||
                   (running_ < jobs_ && FitsMemoryBudget(inUse_, running_, memory, budget_));
        });
    }

    // Waits (holding mutex_ only to test `ready`), reporting finished images
    // and showing progress meanwhile.
    template <typename Ready>
    void WaitUntil(Ready ready) {
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (ready()) break;
                wake_.wait_for(lock, std::chrono::milliseconds(100));
                if (ready()) break;
            }
            ReportFinished();
            ShowProgress();
        }
        ReportFinished();
    }

    // Replays the finished images at the front of the run order.
    void ReportFinished() {
        for (;;) {
            std::unique_ptr<Running> image;
            {
                std::lock_guard lock(mutex_);
                if (pending_.empty() || !pending_.front()->done) return;
                image = std::move(pending_.front());
                pending_.pop_front();
            }
            image->thread.join();
            if (image->failure) {
                // An error of the run itself: as in a one-job run it ends
                // the run, once the images at work are done.
                if (!failure_) failure_ = image->failure;
                stop_ = true;
                continue;
            }
            if (failure_) continue;
            image->observer.Replay(observer_, log_);
            errorFlag_ = errorFlag_ || image->errorFlag;
            if (image->outcome == ImageOutcome::Aborted) stop_ = true;
        }
    }

    // The status panels show the oldest image at work; a front end that
    // can show every image at work gets them all.
    void ShowProgress() {
        std::array<std::string, 3> status;
        std::vector<std::array<std::string, 3>> atWork;
        {
            std::lock_guard lock(mutex_);
            for (const auto& image : pending_)
                if (!image->done) atWork.push_back(image->observer.Status());
        }
        if (!atWork.empty()) status = atWork.front();
        observer_.ShowImagesAtWork(atWork);
        for (int slot = 0; slot < 3; ++slot) {
            if (status[size_t(slot)] == shown_[size_t(slot)]) continue;
            shown_[size_t(slot)] = status[size_t(slot)];
            observer_.SetStatus(slot, shown_[size_t(slot)]);
        }
        observer_.PumpEvents();
    }

    // The slots' scratch folders, with their scratch files only: anything
    // else in them is not this run's to remove.
    void RemoveSlotFolders() const {
        for (unsigned slot = 1; slot <= jobs_; ++slot) {
            const std::string folder = SlotFolder(slot);
            RemoveScratchFiles(folder);
            std::error_code ec;
            fs::remove(folder, ec);
        }
    }

    RunSetup& run_;
    ConversionObserver& observer_;
    ConversionLog& log_;
    const unsigned jobs_;
    uint64_t budget_ = 0;
    unsigned threadsPerImage_ = 0;
    bool stop_ = false;
    bool errorFlag_ = false;
    std::exception_ptr failure_;
    std::array<std::string, 3> shown_;
    std::optional<WorkerNoticeRouter> router_;      // readers' notices of the workers to their images
    std::deque<std::unique_ptr<Running>> pending_;  // started, not yet reported, in run order
    std::mutex mutex_;
    std::condition_variable wake_;
    unsigned running_ = 0;  // guarded by mutex_, as are the two below
    uint64_t inUse_ = 0;
    std::vector<unsigned> freeSlots_;
};

// Run end: the status, the scratch files (stopping at the first that cannot
// be deleted), and the summary line, or the message that nothing was ticked.
void EndRun(const RunContext& context, int processed, bool errorFlag, ConversionObserver& observer,
            ConversionLog& log) {
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
    if (errorFlag)
        observer.ShowLogModal();
    else
        observer.MarkLogButton();
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

void RunConversion(const ConversionJob& job, ConversionObserver& observer, ConversionLog& log) {
    if (!CheckRunFolders(job, observer)) return;
    BusyGuard busy(observer);
    std::atomic<bool> ownAbort{false};
    std::atomic<bool>& abort = job.abort ? *job.abort : ownAbort;
    abort.store(false);
    ClearStatus(observer);
    if (TrimLeadingSpaces(job.sourceFolder).empty()) {
        observer.ShowMessage("Image Path not Specified");
        return;
    }
    log.Clear();

    RunSetup run;
    SetUpRun(run, job, observer, abort);
    RemoveDeadPartialsOfRun(run.outputs);
    int processed = 0;
    EntryRunner runner(run, observer, log);
    for (size_t index = 0; index < run.entries.size(); ++index)
        if (!runner.Start(index, processed)) break;
    runner.Finish();
    EndRun(run.context, processed, runner.ErrorFlag(), observer, log);
}

}  // namespace tessary
