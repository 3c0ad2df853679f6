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
                return fail("--filter needs an extension or \"All Images\"");
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
        } else if (cmd == Command::Convert && option == "--keep-damaged" && flagOnly()) {
            parsed.convert.keepDamaged = true;
        } else if (cmd == Command::Convert && option == "--no-map-copy" && flagOnly()) {
            parsed.convert.copyMapFile = false;
        } else if (cmd == Command::Convert && option == "--no-image-path" && flagOnly()) {
            parsed.convert.includeImagePath = false;
        } else if (cmd == Command::Convert && (option == "--verbose" || option == "-v") && flagOnly()) {
            parsed.convert.verbose = true;
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
  -r, --recursive   walk folders into their subfolders (not hidden ones, not
                    links to folders); outputs keep the relative folders
                    under --dest
  -u, --update      skip images whose output is up to date by its record
                    (same source, size and time, options, calibration file,
                    not damaged; its map copy there): resumes a run
  --report FILE     write one JSON object per image and one with the totals
                    (JSON Lines) to FILE; "-" for standard output
  --keep-damaged    write the best-effort file of a damaged image; the image
                    still counts as failed
  --filter EXT      take only files with this extension from folders (default
                    "All Images": bmp, tif, jpg, jpeg, png, kap, gif, rpx, rpx2,
                    nos, ecw, sid, hdr, rml)
  --temp DIR        folder for scratch files; the run works in a private folder
                    inside it, removed at the end (default: the system's)
  --map-folder DIR  also search DIR and its subfolders for ".map" files
  --resize PCT      shrink every image to PCT percent first (10 to 100)
  --colors N        reduce every image to N colours (8 to 256; 256 means 254)
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

Ctrl-C aborts the images at work (no partial file stays) and ends the run.
The last line printed is the summary. Exit status: 0 every image converted,
up to date or too small (below 300 pixels); 1 an image failed or the run was
aborted; 2 the run could not start (bad paths or folders, nothing to convert).
)";
        case Command::List:
            return R"(Usage: tessary-cli list FOLDER [--filter EXT]

Lists the images of FOLDER as the desktop window does: Name, Type, Disk Size,
Mem Size, Width and Height, in name order.

Options:
  --filter EXT   list only files with this extension (default "All Images")
  --help         show this text
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
  version   show the program's version (also --version)

"tessary-cli COMMAND --help" describes a command.
)";
}

}  // namespace tessary::cli
