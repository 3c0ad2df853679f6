#include "engine/output_names.h"

#include <filesystem>
#include <set>

#include "common/text.h"

namespace tessary {

namespace fs = std::filesystem;

namespace {

// Two spellings of one output compare equal: "./" and "a/../" steps are
// folded, and so is the case of ASCII letters, because a destination on a
// FAT or exFAT stick (common for map files) does not tell big.rpx2 from
// BIG.rpx2.
std::string NameKey(const std::string& path) {
    return UpperAscii(fs::path(path).lexically_normal().string());
}

bool SameExistingFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

std::vector<PlannedOutput> PlanOutputPaths(const std::vector<OutputRequest>& requests) {
    // The run's sources are never written over: converting an image of the
    // run must not destroy another image the run reads.
    std::set<std::string> sources;
    for (const OutputRequest& request : requests) sources.insert(NameKey(request.sourcePath));
    std::set<std::string> taken;  // outputs planned so far

    std::vector<PlannedOutput> plan;
    plan.reserve(requests.size());
    for (const OutputRequest& request : requests) {
        PlannedOutput planned;
        // Built in the destination folder, also when the output is found to
        // be the source under another path (a link in the destination to a
        // source elsewhere): the new file belongs beside the others.
        const std::string stem = request.destinationFolder.Join(RemoveExtension(FileNamePart(request.sourcePath)));
        const std::string plain = stem + ".rpx2";
        const bool ownSource = UpperAscii(request.sourcePath) == UpperAscii(plain) ||
                               NameKey(request.sourcePath) == NameKey(plain) ||
                               SameExistingFile(request.sourcePath, plain);
        const bool busy = taken.count(NameKey(plain)) || sources.count(NameKey(plain));
        if (!ownSource && !busy) {
            planned.path = plain;
        } else {
            for (int n = 1;; ++n) {
                const std::string suffix = "_" + std::to_string(n);
                const std::string candidate = stem + suffix + ".rpx2";
                const std::string key = NameKey(candidate);
                if (taken.count(key) || sources.count(key)) continue;
                if (ownSource) {
                    // The older rule for a source that is its own output:
                    // never replace any file, whoever wrote it.
                    std::error_code ec;
                    const bool exists = fs::exists(fs::path(candidate), ec);
                    if (ec) {
                        planned.error = ec;
                        break;
                    }
                    if (exists) continue;
                } else {
                    planned.numberSuffix = suffix;
                }
                planned.path = candidate;
                break;
            }
        }
        if (!planned.path.empty()) taken.insert(NameKey(planned.path));
        plan.push_back(std::move(planned));
    }
    return plan;
}

}  // namespace tessary
