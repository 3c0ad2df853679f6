// Commands whose engine parts (the conversion driver) are not part of this
// build yet. They refuse clearly instead of pretending.
#include <cstdio>

#include "cli/commands.h"

namespace tessary::cli {

static int NotAvailable(const char* command) {
    std::fprintf(stderr, "tessary-cli %s: not available in this build yet\n", command);
    return 2;
}

int RunConvertCommand(const ConvertOptions&, std::atomic<bool>&) { return NotAvailable("convert"); }

}  // namespace tessary::cli
