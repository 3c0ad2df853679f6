#include "support/recording_observer.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/text.h"
#include "engine/conversion_log.h"

namespace tessary::test {

void RecordingObserver::SetStatus(int slot, std::string_view text) {
    Check();
    const std::string shown(text);
    if (slot == 0 && !shown.empty()) file = shown;
    events.push_back({slot, shown});
    statuses.push_back(std::to_string(slot) + ":" + shown);
    if (abort && ((!abortOn.empty() && shown == abortOn) || (abortWhen && abortWhen(slot, shown))))
        abort->store(true);
    if (onStatus) onStatus(slot, shown);
}

void RecordingObserver::ShowSourcePreview(Timagerecord4& source, int width, int height) {
    Check();
    if (drawPreviews) {
        Picture preview;
        DrawSourcePreview(preview, source, width, height);
    }
    previews.push_back(std::to_string(width) + "x" + std::to_string(height));
}

void RecordingObserver::ShowPicture(const Picture& picture) {
    Check();
    pictures.push_back(std::to_string(picture.Width()) + "x" + std::to_string(picture.Height()));
    if (onPicture) onPicture();
}

void RecordingObserver::ImageFinished(const ImageResult& result) {
    Check();
    const std::string name = FileNamePart(result.sourcePath);
    outcomes.push_back(name + ":" + OutcomeName(result.outcome));
    results.push_back(result);
    if (onFinished) onFinished(name);
}

std::vector<std::string> RecordingObserver::Texts(int slot) const {
    std::vector<std::string> out;
    for (const auto& e : events)
        if (e.slot == slot) out.push_back(e.text);
    return out;
}

bool RecordingObserver::HasStatus(const std::string& status) const {
    return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

ImageResult RecordingObserver::ResultFor(const std::string& fileName) const {
    for (auto it = results.rbegin(); it != results.rend(); ++it)
        if (FileNamePart(it->sourcePath) == fileName) return *it;
    ADD_FAILURE() << "the run gave no result for " << fileName;
    return ImageResult{};
}

void SetRunFolders(ConversionJob& job, const TempFolder& temp) {
    job.sourceFolder = FolderPath(temp.Subfolder("src"));
    job.destinationFolder = FolderPath(temp.Subfolder("out"));
    job.tempFolder = FolderPath(temp.Subfolder("tmp"));
    job.programFolder = temp.Subfolder("program");
    job.programFolder.pop_back();  // the program's folder is named without the separator
}

}  // namespace tessary::test
