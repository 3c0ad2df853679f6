// An observer of a conversion run (or of one pass: it is a ProgressObserver
// too) that records every call, and can raise the abort flag or run a hook
// at a chosen moment; and the folders of a test run.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/conversion.h"
#include "support/temp_folder.h"

namespace tessary::test {

struct ObserverEvent {
    int slot;
    std::string text;
};

// Records both what every front end learns and what a window shows; a run
// given it as its display too stands for the desktop program's, a run given
// none for the command line's.
class RecordingObserver : public ConversionObserver, public ConversionDisplay {
public:
    void SetStatus(int slot, std::string_view text) override;
    void PumpEvents() override {
        Check();
        ++pumps;
    }
    void AddDetail(std::string_view text) override {
        Check();
        details.emplace_back(text);
    }
    void ShowMessage(std::string_view text) override { messages.emplace_back(text); }
    void Notice(std::string_view text) override {
        Check();
        notices.emplace_back(text);
        if (onNotice) onNotice(notices.back());
    }
    void ImageFinished(const ImageResult& result) override;

    void ClearDetails() override {
        Check();
        details.clear();
    }
    void ResetPreview() override { Check(); }
    // Records the size asked for; draws the preview too when drawPreviews
    // is set, as the desktop program does (a reader read to its end for the
    // preview must then start again for the conversion).
    void ShowSourcePreview(Timagerecord4& source, int width, int height) override;
    void ShowPicture(const Picture& picture) override;
    void WaitPumping(int) override { Check(); }
    void SetBusy(bool on) override {
        Check();
        busy.push_back(on);
    }
    void ShowLogModal() override {
        Check();
        ++logModal;
    }
    void MarkLogButton() override {
        Check();
        ++logMarked;
    }

    // The texts shown in one slot, in order.
    std::vector<std::string> Texts(int slot) const;
    // Whether "<slot>:<text>" was shown.
    bool HasStatus(const std::string& status) const;
    // The result of the last image of that file name (name and extension);
    // a test failure, and an empty result, when the run did not finish it.
    ImageResult ResultFor(const std::string& fileName) const;

    // What to do on the way: `abort` is raised when a status text equals
    // `abortOn` or `abortWhen` answers yes; the hooks run on a status, on a
    // shown picture (the written file is complete, not yet renamed), on an
    // image's end (with its file name) and on a reader's note.
    std::atomic<bool>* abort = nullptr;
    std::string abortOn;
    std::function<bool(int, const std::string&)> abortWhen;
    std::function<void(int, const std::string&)> onStatus;
    std::function<void()> onPicture;
    std::function<void(const std::string&)> onFinished;
    std::function<void(const std::string&)> onNotice;
    bool drawPreviews = false;

    std::vector<ObserverEvent> events;  // every status, in order
    std::vector<std::string> statuses;  // the same as "<slot>:<text>"
    std::string file;                   // the last file named in slot 0
    std::vector<std::string> details, previews, pictures, messages, notices;
    std::vector<std::string> outcomes;  // "<file name>:<outcome>"
    std::vector<ImageResult> results;
    std::vector<bool> busy;
    int64_t pumps = 0;
    int logModal = 0, logMarked = 0;
    // Whether a call other than ShowMessage came from a thread other than
    // the one that made the observer.
    bool foreignThread = false;

private:
    void Check() { foreignThread = foreignThread || std::this_thread::get_id() != owner_; }
    std::thread::id owner_ = std::this_thread::get_id();
};

// Points the job at src/, out/ and tmp/ below `temp` and at program/ as the
// program's folder, creating them.
void SetRunFolders(ConversionJob& job, const TempFolder& temp);

}  // namespace tessary::test
