// Shared pieces of the window tests: temporary folders, image files and a
// window whose dialogs are recorded instead of shown.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "engine/conversion_log.h"
#include "support/temp_folder.h"

// Readable test failures for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << "{" << texts.join(", ").toStdString() << "}";
}

namespace tessary::app::testing {

namespace fs = std::filesystem;

using TempFolder = tessary::test::TempFolder;

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A 24-bit PNG; `noise` makes it large on disk for its size.
inline void WritePng(const std::string& path, int width, int height, bool noise) {
    QImage image(width, height, QImage::Format_RGB888);
    std::mt19937 random(uint32_t(width * 131 + height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y,
                           noise ? qRgb(int(random() % 256), int(random() % 256), int(random() % 256))
                                 : qRgb(40, 90, 160));
    image.save(QString::fromStdString(path), "PNG");
}

// Dialogs and the help recorded instead of shown.
struct RecordedServices {
    QStringList messages;
    int logShown = 0;
    QString pickedFolder;
    QStringList pickerTitles;
    std::vector<QUrl> openedUrls;
    bool openUrlResult = true;
    QStringList viewedFiles;
    std::vector<QWidget*> viewerOwners;
    // Questions asked, and the answer every one gets.
    QStringList questions;
    bool answer = true;
    QStringList pickedRpx2;  // the files the RPX2 picker gives, in turn
    QStringList helpPages;   // pages shown in the program's own help window

    WindowServices Make() {
        WindowServices services;
        services.pickFolder = [this](QWidget*, const QString& title, const QString&) {
            pickerTitles << title;
            return pickedFolder;
        };
        services.message = [this](QWidget*, const QString& text) { messages << text; };
        services.ask = [this](QWidget*, const QString& text) {
            questions << text;
            return answer;
        };
        services.pickRpx2File = [this](QWidget*, const QString&) {
            return pickedRpx2.isEmpty() ? QString() : pickedRpx2.takeFirst();
        };
        services.help.showPage = [this](const QString& file) { helpPages << file; };
        services.showLogModal = [this](TfmLog&) { ++logShown; };
        services.help.start = [](const QString&, const QStringList&, const QString&) { return false; };
        services.help.openUrl = [this](const QUrl& url) {
            openedUrls.push_back(url);
            return openUrlResult;
        };
        services.openViewer = [this](const QString& path, QWidget* owner) {
            viewedFiles << path;
            viewerOwners.push_back(owner);
        };
        return services;
    }
};

// A window over a program folder of its own, as start-up creates it.
struct WindowUnderTest {
    explicit WindowUnderTest(const std::string& programFolder, QStringList arguments = {},
                             WindowOptions options = {}) {
        options.programFolder = programFolder;
        if (options.startFolder.empty()) options.startFolder = programFolder;
        options.settingsFile = (fs::path(programFolder) / "tessary.ini").string();
        options.arguments = arguments;
        window = std::make_unique<TfmTessary>(options, log, services.Make());
        window->CreateLogWindow();
    }
    ConversionLog log;
    RecordedServices services;
    std::unique_ptr<TfmTessary> window;
};

}  // namespace tessary::app::testing
