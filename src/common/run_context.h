// What the passes of one run share: the temporary folder, the colour count,
// the abort flag and the progress reporting. Passed explicitly instead of
// living in module state.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

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

struct RunContext {
    std::string tempFolder;             // ends in a path separator
    int colourCount = 254;              // N
    std::atomic<bool>* abort = nullptr;  // set by Abort / Esc / Ctrl-C
    ProgressObserver* observer = nullptr;
    unsigned threads = 0;               // worker threads for speed-ups; 0 = as many as cores

    bool Aborted() const { return abort && abort->load(std::memory_order_relaxed); }
    void SetStatus(int slot, std::string_view text) const {
        if (observer) observer->SetStatus(slot, text);
    }
    void Pump() const {
        if (observer) observer->PumpEvents();
    }
    std::string TempPath(std::string_view name) const { return tempFolder + std::string(name); }
};

}  // namespace tessary
