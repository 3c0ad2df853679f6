// The record of how an output was made: its source (path, size, time to the
// nanosecond), the options and program version that shape its bytes, the
// calibration file copied beside it and whether its picture was damaged. It
// lives beside the output as a hidden file ".tessary-<hash of the output's
// name>.record" (of fixed length, so that any output name the file system
// takes has a record too; the record names its output) and is
// committed together with the output (and its calibration copy) in one
// CommitFiles step, as its closing file (the commit's note, which the file
// starts with), so that a kill never leaves an output without its record
// or a record without its output. Each output has its own small file, written
// by rename: shards of one run writing a shared destination over NFS need no
// lock for it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessary {

struct OutputRecord {
    std::string outputName;  // the output's file name
    std::string sourcePath;
    uint64_t sourceSize = 0;
    int64_t sourceTimeNs = 0;
    std::string options;  // the options that shape the output's bytes, as one text
    std::string version;  // of the program that wrote the output
    std::string calibrationPath;  // empty when no calibration file was copied
    uint64_t calibrationSize = 0;
    int64_t calibrationTimeNs = 0;
    bool damaged = false;  // written best-effort from a damaged source
    uint64_t outputSize = 0;
};

// The program version written into records.
const char* RecordedProgramVersion();

// The record's path for an output, beside it.
std::string RecordPathFor(const std::string& outputPath);
// True for the names of record files.
bool IsRecordFileName(const std::string& name);

// A file's size and modification time (nanoseconds); false when it cannot
// be asked about.
bool StatForRecord(const std::string& path, uint64_t& size, int64_t& timeNs);

std::string RecordText(const OutputRecord& record);
// Nothing for a text that is not a whole record of this format.
std::optional<OutputRecord> ParseRecord(const std::string& text);
// Reads the record of an output: nothing when there is none, it cannot be
// read (read as a regular file only, never through a link) or it names
// another output.
std::optional<OutputRecord> ReadRecordOf(const std::string& outputPath);

// Why an output with record `made` must be made again for the source as it
// is now (`now`): "made from another source", "source changed", "options
// changed", "calibration changed", "damaged before", or "output changed"
// when the output no longer has the size recorded or its header and level
// table cannot be read. Empty when it can stand.
std::string OutOfDateReason(const OutputRecord& made, const OutputRecord& now, const std::string& outputPath);

}  // namespace tessary
