#include "engine/conversion.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
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

// What an image has open and written; released on every way out.
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
    bool renamed = false;
    int levelsWritten = 0;
    SourceDamage damage;  // the source's, kept when the source is closed early

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

// Steps from the level-0 raster to the written file. Returns early when the
// abort flag is found set; the caller's image end then releases everything.
void ConvertImage(const RunContext& context, const ImagePlan& plan, ImageWork& work,
                  DominantColorTable& dominant, ConversionObserver& observer) {
    // Level 0.
    Timagerecord4& source = *work.source;
    if (plan.resize != 100) {
        observer.SetStatus(1, "Initial Resize to " + std::to_string(plan.resize) + "%");
        BuildZoomLevel(context, 0, source, context.colourCount, double(plan.resize), dominant);
        work.CloseSource();
        if (context.Aborted()) return;
        work.level0 = OpenScratch(context, 0);
    } else if (source.BytesPerPixel == 3 || context.colourCount < 254) {
        ReduceColorsPass(context, source);
        if (context.Aborted()) return;  // the source stays open until the image end
        work.CloseSource();
        work.level0 = OpenScratch(context, 0);
    } else if (plan.preprocess) {
        observer.SetStatus(1, "Preprocessing Image");
        CopyIndexedPass(context, source);
        work.CloseSource();
        if (context.Aborted()) return;
        work.level0 = OpenScratch(context, 0);
    }
    if (context.Aborted()) return;
    Timagerecord4& level0 = work.Level0();

    const ScaleList scales =
        BuildScaleList(level0.Width, level0.Height, plan.w130, plan.w300, plan.scaleFile);
    dominant = SampleDominantColors(level0);

    // Zoom levels: the small ones come from level 1 rather than level 0.
    observer.SetStatus(1, ZoomText("Creating", scales[1]));
    BuildZoomLevel(context, 1, level0, kZoomLevelColorLimit, ZoomLevelPercentage(scales, 1), dominant);
    if (context.Aborted()) return;
    work.level1 = OpenScratch(context, 1);
    for (int t = 2; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        observer.SetStatus(1, ZoomText("Creating", scales[size_t(t)]));
        Timagerecord4& from = double(scales[size_t(t)]) < 19.9 ? *work.level1 : level0;
        BuildZoomLevel(context, t, from, kZoomLevelColorLimit, ZoomLevelPercentage(scales, t), dominant);
        if (context.Aborted()) return;
    }
    CloseSourceImage(work.level1);

    // Writing, under the partial name.
    work.partial = PartialFile::Create(work.partialFolder);
    work.partialPath = work.partial.Path();
    Rpx2Writer writer(CheckedFile(work.partialPath, CheckedFile::Mode::Create), context);
    WriteRpx2Header(writer, level0.Width, level0.Height, plan.chartSource, scales);
    observer.SetStatus(1, "Writing 100% Zoom");
    WriteRpx2Level(writer, level0);
    ++work.levelsWritten;
    if (context.Aborted()) return;
    for (int t = 1; t < kScaleSlots; ++t) {
        if (!IsUsedScaleSlot(scales[size_t(t)])) continue;
        observer.SetStatus(1, ZoomText("Writing", scales[size_t(t)]));
        SourceHandle level = OpenScratch(context, t);
        WriteRpx2Level(writer, *level);
        ++work.levelsWritten;
        CloseSourceImage(level);
        if (context.Aborted()) return;
    }
    WriteRpx2Trailer(writer);
    writer.Close();

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

// Any other error ends the image with the fixed line, and the error's own
// text under it when it has one; whatever the image wrote is removed.
void FailUnknown(ImageWork& work, const std::string& outputPath, ConversionLog& log, std::string_view what,
                 ImageResult& result) {
    work.CloseAll();
    RemoveFile(work.renamed ? outputPath : work.partialPath);
    result.outputPath.clear();
    result.outputBytes = 0;
    result.levels = 0;
    log.Add("x\tAn unknown Error occurred - Failed to create the Rpx2 file");
    AddDetailLine(log, what);
    const std::string detail = OneLine(what);
    result.reason = detail.empty() ? std::string("An unknown Error occurred") : detail;
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
    return PlanOutputPaths(requests);
}

// The map copy goes beside the RPX2 file it names; the calibration search
// of an entry with its own source path starts in the image's own folder.
MapFileSettings EntryMapSettings(const MapFileSettings& run, const RunEntry& entry) {
    MapFileSettings settings = run;
    if (!entry.entry->destinationFolder.empty()) settings.destinationFolder = entry.destinationFolder;
    if (!entry.entry->sourcePath.empty())
        settings.sourceFolder = WithTrailingSeparator(FolderPart(entry.sourcePath));
    return settings;
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
    // Run start: the folders.
    const std::string destinationCheck = FolderForCheck(job.destinationFolder);
    if (!DirectoryExists(destinationCheck)) {
        observer.ShowMessage("Destination Folder is not valid");
        return;
    }
    const std::string tempCheck = FolderForCheck(job.tempFolder);
    if (!DirectoryExists(tempCheck)) {
        observer.ShowMessage("Temp File Folder is not valid");
        return;
    }
    if (platform::IsCdRomDrive(destinationCheck)) {
        observer.ShowMessage("The Destination Folder is on a CDROM");
        return;
    }
    if (platform::IsCdRomDrive(tempCheck)) {
        observer.ShowMessage("The Temp File Folder is on a CDROM");
        return;
    }

    BusyGuard busy(observer);
    std::atomic<bool> ownAbort{false};
    std::atomic<bool>& abort = job.abort ? *job.abort : ownAbort;
    abort.store(false);
    for (int slot = 0; slot < 3; ++slot) observer.SetStatus(slot, "");

    if (TrimLeadingSpaces(job.sourceFolder).empty()) {
        observer.ShowMessage("Image Path not Specified");
        return;
    }
    std::string sourceFolder = job.sourceFolder;
    if (!IsPathSeparator(sourceFolder.back())) sourceFolder += '/';

    log.Clear();

    int resize = 100;
    if (job.resizeEnabled) resize = int(RoundHalfEven(job.resizeValue));
    if (resize > 100) resize = 100;
    int colours = 256;
    if (job.coloursEnabled) colours = int(RoundHalfEven(job.coloursValue));
    if (colours > 255) colours = 254;

    RunContext context;
    context.tempFolder = WithTrailingSeparator(TrimSpaces(job.tempFolder));
    context.colourCount = colours;
    context.abort = &abort;
    context.observer = &observer;
    context.threads = job.threads;

    MapFileSettings mapSettings;
    mapSettings.sourceFolder = WithTrailingSeparator(TrimSpaces(job.sourceFolder));
    mapSettings.mapFolder = job.mapFolder;
    mapSettings.destinationFolder = job.destinationFolder;
    mapSettings.copyMapFile = job.copyMapFile;
    mapSettings.includeImagePath = job.includeImagePath;

    const std::string destinationFolder = WithTrailingSeparator(TrimSpaces(job.destinationFolder));
    const std::string thousands = LocaleThousandsSeparator();
    const std::string scaleFile = job.scaleFile.empty() ? ScaleFilePath(job.programFolder) : job.scaleFile;
    DominantColorTable dominant;  // kept from one image's sampling until the next
    UpdateCheck updateCheck;
    int processed = 0;
    bool errorFlag = false;

    const std::vector<RunEntry> entries = TickedEntries(job, sourceFolder, destinationFolder);
    const std::vector<PlannedOutput> outputs = PlanRunOutputs(entries);
    // What killed runs left in this run's destination folders goes first;
    // partial files of runs still at work stay (engine/leftovers.h).
    std::set<std::string> destinations;
    for (const PlannedOutput& planned : outputs)
        if (!planned.path.empty()) destinations.insert(FolderPart(planned.path));
    for (const std::string& folder : destinations) RemoveDeadPartialFiles(folder);
    std::function<SourceOpenResult(const std::string&)> openSource = job.openSource;
    if (!openSource) openSource = OpenSourceImage;

    for (size_t index = 0; index < entries.size(); ++index) {
        const RunEntry& entry = entries[index];
        ++processed;
        for (int slot = 0; slot < 3; ++slot) observer.SetStatus(slot, "");
        observer.ResetPreview();
        observer.WaitPumping(200);
        observer.ClearDetails();
        observer.PumpEvents();

        const std::string& sourcePath = entry.sourcePath;
        const std::string sourceName = FileNamePart(sourcePath);
        const PlannedOutput& planned = outputs[index];
        const std::string& outputPath = planned.path;
        const std::string outputName = FileNamePart(outputPath);
        if (SkipWhenUpToDate(job, updateCheck, sourcePath, outputPath, EntryMapSettings(mapSettings, entry),
                             processed > 1, log, observer))
            continue;

        if (processed > 1) log.Add("");
        log.Add("i\tProcessing - " + sourceName);

        bool chartSource = false;
        const std::string upperSource = UpperAscii(sourcePath);
        for (const char* marker : {".KAP", ".NOS", ".HDR", ".RML"})
            if (Contains(upperSource, marker)) chartSource = true;

        observer.SetStatus(0, "Loading Image - " + sourceName);
        observer.PumpEvents();

        ImageWork work;
        ImageOutcome outcome = ImageOutcome::Converted;
        ImageResult result;
        result.sourcePath = sourcePath;
        const auto imageStart = std::chrono::steady_clock::now();
        auto finish = [&](ImageOutcome how) {
            result.outcome = how;
            result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - imageStart).count();
            observer.ImageFinished(result);
        };
        try {
            // No free name could be found for the output (a name too long, a
            // folder that cannot be searched): this image fails, the run goes on.
            if (planned.error) ThrowIoError(planned.error.value());
            // An RPX source that cannot be read fails this image only: a
            // missing one is reported by the open below, a short or
            // unreadable one as an input/output error. Neither ends the run.
            std::error_code existsError;
            if (Contains(upperSource, ".RPX") && fs::exists(fs::path(sourcePath), existsError))
                chartSource = RpxChartFlag(sourcePath);
            SourceOpenResult opened = openSource(sourcePath);
            if (auto* failure = std::get_if<SourceFailure>(&opened)) {
                result.reason = LogOpenFailure(log, *failure);
                errorFlag = true;
                finish(ImageOutcome::Failed);
                continue;
            }
            work.source = std::move(std::get<SourceHandle>(opened));
            Timagerecord4& source = *work.source;
            result.width = source.Width;
            result.height = source.Height;
            source.Damage.keepGoing = job.keepDamaged;
            // A whole image loaded only in part (its data ends early, a block
            // is corrupt) is not the picture: it fails unless the user asked
            // for what could be decoded.
            if (source.Damage.rows > 0 && !job.keepDamaged) {
                result.damagedRows = source.Damage.rows;
                result.reason = DamageReason(source.Damage);
                work.CloseAll();
                errorFlag = true;
                log.Add(FailedLine(result.reason));
                finish(ImageOutcome::Failed);
                continue;
            }
            if (source.Width < 300 && source.Height < 300) {
                work.CloseAll();
                errorFlag = true;
                log.Add("e\tImage is too small must be 300 pixels or greater in width or height");
                result.reason = "Image is too small must be 300 pixels or greater in width or height";
                finish(ImageOutcome::TooSmall);
                continue;
            }

            const bool whole = source.HeldWhole();
            observer.AddDetail(sourceName);
            observer.AddDetail("Width = " + std::to_string(source.Width));
            observer.AddDetail("Height = " + std::to_string(source.Height));
            observer.AddDetail(whole ? "Fully loaded" : "Paged");
            observer.AddDetail("Mem Used = ");
            const int64_t memory = int64_t(source.Width) * (whole ? int64_t(source.Height) : int64_t(6)) *
                                   int64_t(source.BytesPerPixel);
            observer.AddDetail(FormatThousands(memory, thousands) + " Bytes");

            const double aspect = double(source.Width) / double(source.Height);
            int w300, h300, w130, h130;
            if (aspect > 1) {
                w300 = 300;
                h300 = int(RoundHalfEven(300 / aspect));
                w130 = 130;
                h130 = int(RoundHalfEven(130 / aspect));
            } else {
                h300 = 300;
                w300 = int(RoundHalfEven(300 * aspect));
                h130 = 130;
                w130 = int(RoundHalfEven(130 * aspect));
            }
            (void)h300;
            observer.ShowSourcePreview(source, w130, h130);
            observer.SetStatus(0, "Creating RPX2 File : " + outputName);

            ImagePlan plan;
            plan.scaleFile = scaleFile;
            plan.chartSource = chartSource;
            plan.resize = resize;
            plan.w130 = w130;
            plan.w300 = w300;
            const std::string upperExtension = UpperAscii(ExtensionOf(sourcePath));
            plan.preprocess = Contains(upperExtension, ".SID") || Contains(upperExtension, ".ECW");
            work.partialFolder = FolderPart(outputPath);
            if (!abort.load()) ConvertImage(context, plan, work, dominant, observer);

            // Image end.
            work.CloseAll();
            if (abort.load()) {
                RemoveFile(work.partialPath);
                log.Add("o\t   Aborted by user");
                result.reason = "Aborted by user";
                outcome = ImageOutcome::Aborted;
            } else {
                // The new file takes its name only now that it is complete,
                // so an earlier file of that name survives every failure; its
                // data reach the disk before the rename and the new name
                // after it, so that a power cut cannot leave the name with
                // the data lost.
                CommitFile(work.partialPath, outputPath);
                work.renamed = true;
                work.partial.Release();
                observer.SetStatus(0, "Rpx2 image created : " + outputName);
                observer.SetStatus(1, "");
                observer.SetStatus(2, "");
                log.Add("o\t   Rpx2 image created : " + outputName);
                log.Add("o\t   In path : " + FolderPart(outputPath));
                result.outputPath = outputPath;
                result.levels = work.levelsWritten;
                result.outputBytes = uint64_t(FileSizeOf(outputPath));
                log.Add("o\t   File Size : " + FormatThousands(int64_t(result.outputBytes), thousands));
                // Written best-effort (keepDamaged): the file is there, but
                // the image is not what its source holds.
                if (work.damage.rows > 0) {
                    log.Add(DamageWarning(work.damage, thousands));
                    result.damagedRows = work.damage.rows;
                    result.reason = DamageReason(work.damage);
                    errorFlag = true;
                    outcome = ImageOutcome::Failed;
                }
                log.Add(ProcessMapFile(EntryMapSettings(mapSettings, entry), sourcePath, outputPath, resize,
                                       planned.numberSuffix));
            }
        } catch (const IoError& e) {
            work.CloseAll();
            if (!work.renamed) RemoveFile(work.partialPath);
            result.reason = e.what();
            log.Add(FailedLine(e.what()));
            outcome = ImageOutcome::Failed;
        } catch (const SourceError& e) {
            // A row of the source could not be decoded: the image is not
            // written, an earlier file of its name stays, and the log opens.
            work.CloseAll();
            if (!work.renamed) RemoveFile(work.partialPath);
            result.reason = OneLine(e.what());
            if (result.reason.empty()) result.reason = "damaged image data";
            result.damagedRows = std::max<int64_t>(work.damage.rows, 1);
            log.Add(FailedLine(result.reason));
            errorFlag = true;
            outcome = ImageOutcome::Failed;
        } catch (const std::bad_alloc&) {
            work.CloseAll();
            if (!work.renamed) RemoveFile(work.partialPath);
            result.reason = "Out of memory";
            log.Add("x\tError : Out of memory - Failed to create the Rpx2 file");
            outcome = ImageOutcome::Failed;
        } catch (const std::exception& e) {
            FailUnknown(work, outputPath, log, e.what(), result);
            errorFlag = true;
            outcome = ImageOutcome::Failed;
        } catch (...) {
            FailUnknown(work, outputPath, log, "", result);
            errorFlag = true;
            outcome = ImageOutcome::Failed;
        }
        finish(outcome);
        if (outcome == ImageOutcome::Aborted) break;
    }

    observer.SetStatus(0, "Completed");
    observer.SetStatus(1, "");
    observer.SetStatus(2, "");
    for (const platform::FolderEntry& file : platform::ListFolder(context.tempFolder)) {
        if (file.isDirectory || UpperAscii(ExtensionOf(file.name)) != ".RPX0") continue;
        std::error_code ec;
        if (!fs::remove(context.tempFolder + file.name, ec) || ec) break;
    }
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

}  // namespace tessary
