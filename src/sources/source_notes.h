// What a reader has to tell the person at the screen besides its result: a
// decoding library missing from the program's folder, a kind of file it does
// not take, a preview it had no memory for. A reader only notes the text;
// whoever asked for the source collects the notes made on its thread and
// shows them (the driver through its observer, a window or the command line
// for what they open themselves).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessary {

// Adds `text` to the innermost SourceNotes of the calling thread; with none
// alive the note is dropped.
void NoteForUser(std::string_view text);

// Collects the notes made on this thread while it lives. Collectors nest:
// a note goes to the innermost one only.
class SourceNotes {
public:
    SourceNotes();
    ~SourceNotes();
    SourceNotes(const SourceNotes&) = delete;
    SourceNotes& operator=(const SourceNotes&) = delete;

    // The notes so far, in the order they were made; the collector is empty
    // afterwards.
    std::vector<std::string> Take();

private:
    friend void NoteForUser(std::string_view text);
    std::vector<std::string> notes_;
    SourceNotes* outer_;
};

}  // namespace tessary
