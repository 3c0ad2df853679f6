// A decoding library that is not linked but loaded from the program's folder
// on first use, so that the program runs (and reads every other format)
// where the library is missing. The ECW and MrSID readers load theirs this
// way.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/platform.h"

namespace tessary {

// A loaded module, freed when its owner goes.
class LibraryModule {
public:
    LibraryModule() = default;
    LibraryModule(const LibraryModule&) = delete;
    LibraryModule& operator=(const LibraryModule&) = delete;
    ~LibraryModule() { platform::FreeLibraryFile(module_); }

    bool Load(const std::string& path) {
        module_ = platform::LoadLibraryFile(path);
        return module_ != nullptr;
    }
    // Why the library cannot work here, in its own words through its call
    // `unavailableCall` (giving its reason as text, "" when none); empty
    // when it has no such call or gives no reason.
    std::string UnavailableReason(const char* unavailableCall) const {
        const char* (*unavailable)() = nullptr;
        if (!Find(unavailable, unavailableCall)) return {};
        const char* why = unavailable();
        return why ? why : "";
    }
    // False when the library gives such a reason: a library that cannot
    // work here is as good as missing.
    bool Usable(const char* unavailableCall) const { return UnavailableReason(unavailableCall).empty(); }
    // Looks `name` up into `slot`; false when the library lacks it.
    template <typename Function>
    bool Find(Function& slot, const char* name) const {
        slot = reinterpret_cast<Function>(platform::FindSymbol(module_, name));
        return slot != nullptr;
    }

private:
    void* module_ = nullptr;
};

// Why a decoding library cannot be used, for the user: "<what> <file> is
// missing from the program's folder or incomplete", or, when the file is
// there and says through `unavailableCall` why it cannot work here (the
// GDAL-backed ones when no GDAL is found), "<what> <file> cannot be used:"
// and its reason.
inline std::string UnusableLibraryDetail(const std::string& what, std::string_view fileName,
                                         const char* unavailableCall) {
    const std::string named = what + " " + std::string(fileName);
    LibraryModule module;
    if (module.Load(platform::ProgramFolder() + "/" + std::string(fileName)))
        if (std::string why = module.UnavailableReason(unavailableCall); !why.empty())
            return named + " cannot be used: " + why;
    return named + " is missing from the program's folder or incomplete";
}

// The library of type `Calls` (a LibraryModule `module` and the calls
// looked up in it by `bool Bind()`, which is false when a required call is
// missing). Loaded once, on the first Get(); loaded again only when the
// program's folder has changed since. Safe to call from any thread; readers
// hold the library alive through the pointer while they are open.
template <typename Calls>
class LazyLibrary {
public:
    explicit LazyLibrary(std::string_view fileName) : fileName_(fileName) {}

    // The library, or null when the program's folder lacks it or it lacks a
    // required call.
    std::shared_ptr<Calls> Get() {
        std::lock_guard lock(mutex_);
        const std::string folder = platform::ProgramFolder();
        if (!tried_ || folder != loadedFrom_) {
            tried_ = true;
            loadedFrom_ = folder;
            library_ = Load(folder + "/" + fileName_);
        }
        return library_;
    }

private:
    static std::shared_ptr<Calls> Load(const std::string& path) {
        auto library = std::make_shared<Calls>();
        if (!library->module.Load(path) || !library->Bind()) return nullptr;
        return library;
    }

    const std::string fileName_;
    std::mutex mutex_;
    bool tried_ = false;
    std::string loadedFrom_;
    std::shared_ptr<Calls> library_;
};

}  // namespace tessary
