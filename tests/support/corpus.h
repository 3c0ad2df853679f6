// The shared image corpus (folders png/, gif/, jpeg/, tiff/, bad/, ...): the
// folder named by TESSARY_IMAGE_CORPUS, else shared/testdata beside the
// project. Tests that use it skip its files when it is absent.
#pragma once

#include <filesystem>
#include <string>

namespace tessary::test {

// The corpus folder, or empty when it does not exist.
std::string CorpusFolder();

// A folder or file below the corpus (`relative` such as "bad/tiff"), or an
// empty path when there is no corpus.
std::filesystem::path CorpusPath(const std::string& relative);

}  // namespace tessary::test
