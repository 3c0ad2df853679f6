#include "cli/options.h"

#include <charconv>

namespace tessary::cli {

namespace {

const char* CommandName(Command command) {
    switch (command) {
        case Command::Convert:
            return "convert";
        case Command::List:
            return "list";
        case Command::Info:
            return "info";
        case Command::Extract:
            return "extract";
        case Command::Version:
            return "version";
        case Command::Compare:
            return "compare";
        case Command::None:
            break;
    }
    return "";
}

std::optional<long> ParseWhole(const std::string& text) {
    long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

// Walks the arguments of one command: options (with "--name value" or
// "--name=value") anywhere, "--" ending them, the rest positional.
class ArgumentWalker {
public:
    ArgumentWalker(const std::vector<std::string>& arguments, size_t start)
        : arguments_(arguments), index_(start) {}

    // False at the end. Sets either `option` (with its inline value, if any)
    // or `positional`.
    bool Next(std::string& option, std::optional<std::string>& inlineValue, std::string& positional) {
        option.clear();
        positional.clear();
        inlineValue.reset();
        if (index_ >= arguments_.size()) return false;
        const std::string& arg = arguments_[index_++];
        if (!optionsEnded_ && arg == "--") {
            optionsEnded_ = true;
            return Next(option, inlineValue, positional);
        }
        if (!optionsEnded_ && arg.size() > 1 && arg[0] == '-') {
            size_t eq = arg.find('=');
            if (eq != std::string::npos && arg.rfind("--", 0) == 0) {
                option = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            } else {
                option = arg;
            }
            return true;
        }
        positional = arg;
        return true;
    }

    // The value of an option: inline, or the next argument.
    std::optional<std::string> Value(std::optional<std::string>& inlineValue) {
        if (inlineValue) return inlineValue;
        if (index_ >= arguments_.size()) return std::nullopt;
        return arguments_[index_++];
    }

private:
    const std::vector<std::string>& arguments_;
    size_t index_;
    bool optionsEnded_ = false;
};

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    ParsedCommandLine parsed;
    if (arguments.empty()) {
        parsed.error = "no command given";
        return parsed;
    }
    const std::string& first = arguments[0];
    if (first == "--help" || first == "-h" || first == "help") {
        parsed.help = true;
        if (first == "help" && arguments.size() > 1) {
            ParsedCommandLine inner = ParseCommandLine({arguments[1], "--help"});
            if (inner.error.empty()) return inner;
        }
        return parsed;
    }
    if (first == "--version" || first == "version") {
        parsed.command = Command::Version;
        if (arguments.size() > 1) parsed.error = "version: too many arguments";
        return parsed;
    }
    if (first == "convert")
        parsed.command = Command::Convert;
    else if (first == "list")
        parsed.command = Command::List;
    else if (first == "info")
        parsed.command = Command::Info;
    else if (first == "extract")
        parsed.command = Command::Extract;
    else if (first == "compare")
        parsed.command = Command::Compare;
    else {
        parsed.error = "unknown command \"" + first + "\"";
        return parsed;
    }
    const std::string name = CommandName(parsed.command);
    auto fail = [&](const std::string& text) {
        parsed.error = name + ": " + text;
        return parsed;
    };

    std::vector<std::string> positionals;
    ArgumentWalker walker(arguments, 1);
    std::string option, positional;
    std::optional<std::string> inlineValue;
    while (walker.Next(option, inlineValue, positional)) {
        if (option.empty()) {
            positionals.push_back(positional);
            continue;
        }
        if (option == "--help" || option == "-h") {
            parsed.help = true;
            return parsed;
        }
        auto value = [&]() -> std::optional<std::string> { return walker.Value(inlineValue); };
        auto flagOnly = [&]() { return !inlineValue.has_value(); };
        auto needValue = [&](std::string& target) -> bool {
            auto v = value();
            if (!v) return false;
            target = *v;
            return true;
        };
        const Command cmd = parsed.command;
        if (option == "--filter" && (cmd == Command::Convert || cmd == Command::List)) {
            std::string& target = cmd == Command::Convert ? parsed.convert.filter : parsed.list.filter;
            if (!needValue(target) || target.empty())
                return fail("--filter needs an extension, a pattern or \"All Images\"");
        } else if (cmd == Command::Convert && option == "--exclude") {
            auto v = value();
            if (!v || v->empty()) return fail("--exclude needs a pattern");
            parsed.convert.excludes.push_back(*v);
        } else if (cmd == Command::List && (option == "--recursive" || option == "-r") && flagOnly()) {
            parsed.list.recursive = true;
        } else if (cmd == Command::Convert && option == "--dest") {
            if (!needValue(parsed.convert.destination) || parsed.convert.destination.empty())
                return fail("--dest needs a folder");
        } else if (cmd == Command::Convert && option == "--temp") {
            if (!needValue(parsed.convert.temp) || parsed.convert.temp.empty())
                return fail("--temp needs a folder");
        } else if (cmd == Command::Convert && option == "--map-folder") {
            if (!needValue(parsed.convert.mapFolder) || parsed.convert.mapFolder.empty())
                return fail("--map-folder needs a folder");
        } else if (cmd == Command::Convert && option == "--scales") {
            if (!needValue(parsed.convert.scaleFile) || parsed.convert.scaleFile.empty())
                return fail("--scales needs a file");
        } else if (cmd == Command::Convert && option == "--resize") {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < 10 || *n > 100)
                return fail("--resize needs a whole percentage from 10 to 100" +
                            (v ? ", not \"" + *v + "\"" : std::string()));
            parsed.convert.resize = int(*n);
        } else if (cmd == Command::Convert && option == "--colors") {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < 8 || *n > 256)
                return fail("--colors needs a whole number of colours from 8 to 256" +
                            (v ? ", not \"" + *v + "\"" : std::string()));
            parsed.convert.colours = int(*n);
        } else if (cmd == Command::Convert && option == "--threads") {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < 0 || *n > 1024) return fail("--threads needs a whole number from 0 to 1024");
            parsed.convert.threads = unsigned(*n);
        } else if (cmd == Command::Convert && (option == "--jobs" || option == "-j")) {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < 0 || *n > 1024) return fail("--jobs needs a whole number from 0 to 1024");
            parsed.convert.jobs = unsigned(*n);
        } else if (cmd == Command::Convert && option == "--memory") {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < 1 || *n > (long(1) << 30)) return fail("--memory needs a size in MB, at least 1");
            parsed.convert.memoryMb = uint64_t(*n);
        } else if (cmd == Command::Convert && option == "--shard") {
            auto v = value();
            const size_t slash = v ? v->find('/') : std::string::npos;
            auto k = slash != std::string::npos ? ParseWhole(v->substr(0, slash)) : std::nullopt;
            auto n = slash != std::string::npos ? ParseWhole(v->substr(slash + 1)) : std::nullopt;
            if (!k || !n || *n < 1 || *n > 1000000 || *k < 0 || *k >= *n)
                return fail("--shard needs K/N with N at least 1 and K from 0 to N - 1" +
                            (v ? std::string(", not \"") + *v + "\"" : std::string()));
            parsed.convert.shardIndex = int(*k);
            parsed.convert.shardCount = int(*n);
        } else if (cmd == Command::Convert && option == "--report") {
            if (!needValue(parsed.convert.report) || parsed.convert.report.empty())
                return fail("--report needs a file, or - for standard output");
        } else if (cmd == Command::Convert && (option == "--recursive" || option == "-r") && flagOnly()) {
            parsed.convert.recursive = true;
        } else if (cmd == Command::Convert && (option == "--update" || option == "-u") && flagOnly()) {
            parsed.convert.update = true;
        } else if (cmd == Command::Convert && (option == "--dry-run" || option == "-n") && flagOnly()) {
            parsed.convert.dryRun = true;
        } else if (cmd == Command::Convert && option == "--palette") {
            auto v = value();
            if (!v || (*v != "octree" && *v != "fine")) return fail("--palette needs \"octree\" or \"fine\"");
            parsed.convert.finePalette = *v == "fine";
        } else if (cmd == Command::Convert && option == "--dither" && flagOnly()) {
            parsed.convert.dither = true;
        } else if (cmd == Command::Compare && option == "--heatmap") {
            if (!needValue(parsed.compare.heatmap) || parsed.compare.heatmap.empty())
                return fail("--heatmap needs a file");
        } else if (cmd == Command::Convert && option == "--keep-damaged" && flagOnly()) {
            parsed.convert.keepDamaged = true;
        } else if (cmd == Command::Convert && option == "--no-map-copy" && flagOnly()) {
            parsed.convert.copyMapFile = false;
        } else if (cmd == Command::Convert && option == "--no-image-path" && flagOnly()) {
            parsed.convert.includeImagePath = false;
        } else if (cmd == Command::Convert && (option == "--verbose" || option == "-v") && flagOnly()) {
            parsed.convert.verbose = true;
        } else if ((cmd == Command::Convert || cmd == Command::List) && option == "--pdf-dpi") {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < 10 || *n > 2400)
                return fail("--pdf-dpi needs a whole number of dots per inch from 10 to 2400" +
                            (v ? ", not \"" + *v + "\"" : std::string()));
            parsed.pdfDpi = int(*n);
        } else if ((cmd == Command::Convert || cmd == Command::List) && option == "--gdal-ext") {
            auto v = value();
            const size_t equals = v ? v->find('=') : std::string::npos;
            if (equals == std::string::npos || equals == 0 || equals + 1 == v->size())
                return fail("--gdal-ext needs EXT=DRIVER (such as gpkg=GPKG)" +
                            (v ? ", not \"" + *v + "\"" : std::string()));
            parsed.gdalExtensions.emplace_back(v->substr(0, equals), v->substr(equals + 1));
        } else if (cmd == Command::Info && option == "--json" && flagOnly()) {
            parsed.info.json = true;
        } else if (cmd == Command::Extract && option == "--level") {
            auto v = value();
            auto n = v ? ParseWhole(*v) : std::nullopt;
            if (!n || *n < -1 || *n > 100)
                return fail("--level needs a level number from 0 to 100, or -1 for the last level");
            parsed.extract.level = int(*n);
        } else {
            return fail("unknown option \"" + option + "\"");
        }
    }

    switch (parsed.command) {
        case Command::Convert:
            if (positionals.empty()) return fail("missing PATH (an image file or a folder)");
            parsed.convert.paths = positionals;
            break;
        case Command::List:
            if (positionals.size() != 1)
                return fail(positionals.empty() ? "missing FOLDER" : "too many arguments");
            parsed.list.folder = positionals[0];
            break;
        case Command::Info:
            if (positionals.size() != 1)
                return fail(positionals.empty() ? "missing FILE" : "too many arguments");
            parsed.info.file = positionals[0];
            break;
        case Command::Extract:
            if (positionals.size() != 2)
                return fail(positionals.size() < 2 ? "needs FILE.rpx2 and OUT.png" : "too many arguments");
            parsed.extract.file = positionals[0];
            parsed.extract.output = positionals[1];
            break;
        case Command::Compare:
            if (positionals.size() != 2)
                return fail(positionals.size() < 2 ? "needs SOURCE and OUT.rpx2" : "too many arguments");
            parsed.compare.source = positionals[0];
            parsed.compare.output = positionals[1];
            break;
        case Command::Version:
        case Command::None:
            break;
    }
    return parsed;
}

std::string HelpText(Command command) {
    switch (command) {
        case Command::Convert:
            return R"(Usage: tessary-cli convert [options] PATH...
       tessary-cli convert [options] SOURCE_FOLDER FILE...

Converts images into RPX2 files. Each PATH is an image file (as a shell glob
gives them) or a folder, whose files the filter keeps are taken in name order.
The second form takes the FILEs by their bare names inside SOURCE_FOLDER.
Outputs go beside their sources unless --dest is given.

Options:
  --dest DIR        destination folder, created with its parents when missing
                    (default: beside each source)
  -r, --recursive   walk folders into their subfolders (not links to
                    folders); outputs keep the relative folders under --dest.
                    Hidden files and folders and the "._NAME" companions of
                    macOS copies are left out; a folder that cannot be read
                    is named on standard error and fails the run (exit 1)
  -u, --update      skip images whose output is up to date by its record
                    (same source, size and time, options, calibration file,
                    not damaged; its map copy there): resumes a run
  -n, --dry-run     touch nothing: print for every image the output it would
                    write, what the run would do (convert, up to date, too
                    small, refused) and why, and the calibration file it
                    would copy; then what the walk skipped. Only headers are
                    read; with --report the plan goes there as JSON Lines
  --report FILE     append to FILE (JSON Lines) a "run" line (start, command
                    line, version, host), one object per image and one with
                    the totals; "-" for standard output
  --keep-damaged    write the best-effort file of a damaged image; the image
                    still counts as failed
  --filter EXT      take only files with this extension from folders (default
                    "All Images": bmp, tif, jpg, jpeg, png, kap, gif, rpx, rpx2,
                    nos, ecw, sid, hdr, rml); "tiff" takes .tif and .tiff,
                    "jpeg" .jpg and .jpeg; a glob ('*.tif') is matched
                    against the file name, letter case ignored
  --exclude PATTERN leave out what PATTERN names (repeatable): without '/' a
                    file or folder name at any depth, with '/' a path
                    relative to the folder named (e.g. 'scans/old')
  --temp DIR        folder for scratch files; the run works in a private folder
                    inside it, removed at the end (default: the system's)
  --map-folder DIR  also search DIR and its subfolders for ".map" files
  --resize PCT      shrink every image to PCT percent first (10 to 100)
  --colors N        reduce every image to N colours (8 to 256; 256 means 254)
  --palette KIND    how each level's palette is chosen: "octree" (default,
                    the long-standing bytes) or "fine" (closer colours, all
                    256 entries in the zoom levels, rare colours kept; a
                    little slower)
  --dither          spread each pixel's colour error onto its neighbours
                    (off by default; flat map colours do not want it, and
                    the files grow)
  --no-map-copy     do not copy the ".map" calibration file
  --no-image-path   name only the RPX2 file, not its folder, in the ".map" copy
  --scales FILE     take the zoom scales from FILE instead of UseScales.dat
                    beside the program
  --threads N       worker threads inside each image (default 0: one per
                    core, shared out among the images of --jobs)
  -j, --jobs N      convert N images at once (default 1); 0 chooses for the
                    machine: one per core, within the memory budget. Files,
                    log, report and summary are those of a --jobs 1 run
  --memory MB       memory budget of --jobs: an image that would exceed it
                    waits until others finish (default a quarter of the
                    physical memory); one image always runs
  --shard K/N       convert only shard K of N (K from 0 to N - 1): the images
                    whose place in the run's sorted list leaves K when divided
                    by N. Output names are planned over the whole list, so N
                    shards write exactly the files of one whole run; fits
                    $SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT
  -v, --verbose     show the details of every image
  --help            show this text

A folder followed by bare file names reads as those files inside the
folder; when the names are also files in the current folder, the command
line is refused: say FOLDER/NAME for one reading, FOLDER ./NAME for the other.

Every failed image is named on standard error with its full path and its
reason. Ctrl-C (SIGINT), SIGTERM and SIGHUP abort the images at work (no
partial file stays) and end the run with its summary; folders the run made
in --dest and left empty are removed. The last line printed is the summary.
Exit status: 0 every image converted, up to date or too small (below 300
pixels); 1 an image failed or a folder could not be read; 2 the run could not
start (bad paths or folders, an ambiguous command line, nothing to convert);
130, 143, 129 the run was ended by SIGINT, SIGTERM, SIGHUP (128 + the signal).
With --dry-run: 0 the plan was printed, 1 an image would be refused or a
folder could not be read, 2 as above.
)";
        case Command::List:
            return R"(Usage: tessary-cli list FOLDER [--filter EXT] [-r]

Lists the images of FOLDER as the desktop window does: Name, Type, Disk Size,
Mem Size, Width and Height, in name order. An image whose header cannot be
read, or gives no size, shows "Error Opening Image".

Options:
  --filter EXT      list only files with this extension (default "All
                    Images"); "tiff", "jpeg" and globs as for convert
  -r, --recursive   list the subfolders too (not hidden ones, not links to
                    folders), names relative to FOLDER; exit 1 when one
                    cannot be read
  --pdf-dpi N       size PDF pages at N dots per inch (default 300)
  --gdal-ext EXT=DRIVER  also list files named .EXT, read through the GDAL
                    driver DRIVER only
  --help            show this text
)";
        case Command::Info:
            return R"(Usage: tessary-cli info FILE.rpx2 [--json]

Shows the header of an RPX2 file, its chart flag and, for every level, what
it is (full size, zoom level, thumbnail, overview), its size, scale in
percent, tiles, colours used and compressed bytes.

Options:
  --json   print the same as one JSON object
  --help   show this text
)";
        case Command::Extract:
            return R"(Usage: tessary-cli extract FILE.rpx2 [--level N] OUT.png

Decodes one level of an RPX2 file into an 8-bit palette PNG; OUT must end
in .png.

Options:
  --level N   the level to decode (default 0, the full image; -1 the last,
              the overview); "tessary-cli info" lists the levels
  --help      show this text
)";
        case Command::Compare:
            return R"(Usage: tessary-cli compare SOURCE OUT.rpx2 [--heatmap FILE.png]

Measures how far the colours of each level of OUT.rpx2 are from SOURCE, in
CIEDE2000 (about 1 is the smallest difference a person sees side by side;
2 to 3 is small, above 10 a different colour). For each level the source is
resampled to the level's size with the filter the zoom levels use; prints
the mean, 99th percentile and largest error and the colours the level uses.

Options:
  --heatmap FILE.png  write where level 0's error lies: dark blue none,
                      through green and yellow to red at 10 and white from
                      20 up, with the scale drawn along the bottom
  --help              show this text
)";
        case Command::Version:
        case Command::None:
            break;
    }
    return R"(Usage: tessary-cli COMMAND [options]

Converts raster map images into RPX2 files.

Commands:
  convert   convert images and folders of images into RPX2 files
  list      list the images of a folder with their sizes
  info      show the header and levels of an RPX2 file
  extract   decode one level of an RPX2 file into a PNG
  compare   measure the colour error of an RPX2 file against its source
  version   show the program's version (also --version)

"tessary-cli COMMAND --help" describes a command.
)";
}

}  // namespace tessary::cli
