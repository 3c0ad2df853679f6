// The command line of tessary-cli: commands, their options and help texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessary::cli {

enum class Command { None, Convert, List, Info, Extract, Version, Compare };

struct ConvertOptions {
    // Image files and folders, as typed; see ResolveConvertInputs for the
    // older "SOURCE_FOLDER FILE..." form.
    std::vector<std::string> paths;
    std::string filter = "All Images";  // for the files of folders; named files are always taken
    std::vector<std::string> excludes;  // --exclude patterns for the walk of folders
    bool recursive = false;             // folders: their subfolders too
    bool update = false;                // skip images whose output is up to date
    bool keepDamaged = false;           // write the best-effort file of a damaged image
    bool dryRun = false;                // print the plan, touch nothing
    std::string report;                 // JSON Lines file; "-" standard output; empty none
    std::string destination;            // empty: beside each source
    std::string temp;                   // empty: the system's temporary folder
    std::string mapFolder;              // empty: no search beyond the source folder
    std::optional<int> resize;          // 10 to 100
    std::optional<int> colours;         // 8 to 256
    bool copyMapFile = true;
    bool includeImagePath = true;
    std::string scaleFile;  // empty: UseScales.dat beside the program
    unsigned threads = 0;
    bool verbose = false;
    unsigned jobs = 1;      // images at once; 0 = as many as the machine takes
    uint64_t memoryMb = 0;  // memory budget of --jobs; 0 = a quarter of physical memory
    // --shard K/N: this run converts the images whose index in the whole
    // run's list leaves K when divided by N.
    int shardIndex = 0;
    int shardCount = 1;
    // The whole command line, program name first, for the report's "run"
    // line; set by the program, not parsed.
    std::vector<std::string> commandLine;
    bool finePalette = false;  // --palette fine (default octree)
    bool dither = false;       // --dither
};

struct ListOptions {
    std::string folder;
    std::string filter = "All Images";
    bool recursive = false;  // subfolders too (not hidden ones, not links to folders)
};

struct InfoOptions {
    std::string file;
    bool json = false;
};

struct ExtractOptions {
    std::string file;
    int level = 0;  // -1: the last level
    std::string output;
};

struct CompareOptions {
    std::string source;
    std::string output;   // the RPX2 file
    std::string heatmap;  // empty: none
};

struct ParsedCommandLine {
    Command command = Command::None;
    bool help = false;  // --help given (for the command, or overall)
    std::string error;  // not empty: the arguments are wrong
    ConvertOptions convert;
    ListOptions list;
    InfoOptions info;
    ExtractOptions extract;
    // Sources of the GDAL route (convert, list): the PDF resolution (0: the
    // default) and the extensions added with their drivers (EXT=DRIVER).
    int pdfDpi = 0;
    std::vector<std::pair<std::string, std::string>> gdalExtensions;
    CompareOptions compare;
};

// `arguments` excludes the program name.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The help text of a command (Command::None: the overview).
std::string HelpText(Command command);

}  // namespace tessary::cli
