#include "support/corpus.h"

#include <cstdlib>

namespace tessary::test {

std::string CorpusFolder() {
    const char* env = std::getenv("TESSARY_IMAGE_CORPUS");
    std::string folder = env && *env ? env : TESSARY_CORPUS_DIR;
    std::error_code ec;
    return std::filesystem::is_directory(folder, ec) ? folder : std::string();
}

std::filesystem::path CorpusPath(const std::string& relative) {
    const std::string folder = CorpusFolder();
    return folder.empty() ? std::filesystem::path() : std::filesystem::path(folder) / relative;
}

}  // namespace tessary::test
