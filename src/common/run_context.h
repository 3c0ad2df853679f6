// What the passes of one run share: the temporary folder, the colour count,
// the abort flag and the progress reporting. Passed explicitly instead of
// living in module state.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "common/folder_path.h"

namespace tessary {

// The part of the window that long loops report to. The conversion
// observer of the engine extends it.
class ProgressObserver {
public:
    virtual ~ProgressObserver() = default;
    // Slot 0 names the file at work, slot 1 the stage, slot 2 progress inside
    // a stage; an empty text clears the slot.
    virtual void SetStatus(int slot, std::string_view text) = 0;
    // Processes pending window events (Abort, Esc, repaints).
    virtual void PumpEvents() = 0;
};

// The progress text of a loop: `label` (which ends in its separator, as in
// "Pass 1 : "), the count, " of " and the total.
inline std::string ProgressText(std::string_view label, long long count, long long total) {
    std::string text(label);
    text += std::to_string(count);
    text += " of ";
    text += std::to_string(total);
    return text;
}

// Whether a checkpoint processes the window's events after showing its text
// or before. Each loop keeps the order its window has always seen: the
// event handlers that run inside the pump may read the status bar.
enum class PumpOrder { kAfterText, kBeforeText };

// How a level's palette is built: the octree quantizer (the default, whose
// bytes are fixed) or the fine builder (histogram, median cut, k-means).
enum class PaletteMethod { kOctree, kFine };

struct RunContext {
    FolderPath tempFolder;
    int colourCount = 254;              // N
    std::atomic<bool>* abort = nullptr;  // set by Abort / Esc / Ctrl-C
    ProgressObserver* observer = nullptr;
    unsigned threads = 0;               // worker threads for speed-ups; 0 = as many as cores
    PaletteMethod palette = PaletteMethod::kOctree;
    bool dither = false;                // error diffusion when mapping rows to a palette

    bool Aborted() const { return abort && abort->load(std::memory_order_relaxed); }
    void SetStatus(int slot, std::string_view text) const {
        if (observer) observer->SetStatus(slot, text);
    }
    void Pump() const {
        if (observer) observer->PumpEvents();
    }

    // Shows `text` in the progress slot (slot 2) and processes pending
    // window events, in the given order.
    void ShowProgress(std::string_view text, PumpOrder order = PumpOrder::kAfterText) const {
        if (order == PumpOrder::kBeforeText) Pump();
        SetStatus(2, text);
        if (order == PumpOrder::kAfterText) Pump();
    }

    // The checkpoint of a long loop: shows the progress, lets the window
    // process its events (where Abort and Esc are seen) and answers whether
    // the loop is to stop.
    [[nodiscard]] bool Checkpoint(std::string_view text, PumpOrder order = PumpOrder::kAfterText) const {
        ShowProgress(text, order);
        return Aborted();
    }
    // A checkpoint with no text to show.
    [[nodiscard]] bool Checkpoint() const {
        Pump();
        return Aborted();
    }

    std::string TempPath(std::string_view name) const { return tempFolder.Join(name); }
};

}  // namespace tessary
