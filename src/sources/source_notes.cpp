#include "sources/source_notes.h"

#include <utility>

namespace tessary {

namespace {

thread_local SourceNotes* t_innermost = nullptr;

}  // namespace

void NoteForUser(std::string_view text) {
    if (t_innermost) t_innermost->notes_.emplace_back(text);
}

SourceNotes::SourceNotes() : outer_(t_innermost) { t_innermost = this; }

SourceNotes::~SourceNotes() { t_innermost = outer_; }

std::vector<std::string> SourceNotes::Take() { return std::exchange(notes_, {}); }

}  // namespace tessary
