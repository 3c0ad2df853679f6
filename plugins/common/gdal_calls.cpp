#include "gdal_calls.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace tessary::gdalplug {

#define TESSARY_GDAL_DEFINE(type, name, params) type(*name) params = nullptr;
TESSARY_GDAL_CALLS(TESSARY_GDAL_DEFINE)
#undef TESSARY_GDAL_DEFINE

namespace {

constexpr const char* kLibraryVariable = "TESSARY_GDAL_LIBRARY";

// GDAL 3's library names, newest first: the sonames of GDAL 3.4 onwards
// (libgdal.so.30 ...) and the development link; on Windows the plain name
// the conda and vcpkg builds use and the versioned names (gdal309.dll) of
// OSGeo4W and GDAL's own CMake builds.
#if defined(_WIN32)
constexpr int kNewestMinor = 30, kOldestMinor = 0;
std::string VersionedName(int minor) {
    return "gdal3" + std::string(minor < 10 ? "0" : "") + std::to_string(minor) + ".dll";
}
constexpr const char* kPlainName = "gdal.dll";
const char* const kLookedFor = "gdal330.dll ... gdal300.dll, gdal.dll";
#else
constexpr int kNewestMinor = 60, kOldestMinor = 30;
std::string VersionedName(int soname) {
    return "libgdal.so." + std::to_string(soname);
}
constexpr const char* kPlainName = "libgdal.so";
const char* const kLookedFor = "libgdal.so.60 ... libgdal.so.30, libgdal.so";
#endif

#if defined(_WIN32)
std::wstring Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    out.resize(std::wcslen(out.c_str()));
    return out;
}
std::string Utf8(const wchar_t* wide) {
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}
// The setting as UTF-8; empty when unset.
std::string Setting() {
    const wchar_t* value = _wgetenv(L"TESSARY_GDAL_LIBRARY");
    return value ? Utf8(value) : std::string();
}
// A bare name is looked for where Windows looks for DLLs (the program's
// folder, the system folders, the current folder, PATH); a path is loaded
// with the libraries it needs looked for in its own folder first.
void* Open(const std::string& name, std::string& why) {
    const std::wstring wide = Wide(name);
    const bool isPath = wide.find_first_of(L"\\/:") != std::wstring::npos;
    HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, isPath ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    if (!module) why = "system error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}
void* Find(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
#else
std::string Setting() {
    const char* value = std::getenv(kLibraryVariable);
    return value ? std::string(value) : std::string();
}
void* Open(const std::string& name, std::string& why) {
    void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = dlerror();
        why = error ? error : "cannot be loaded";
    }
    return library;
}
void* Find(void* library, const char* name) {
    return dlsym(library, name);
}
#endif

void Unbind() {
#define TESSARY_GDAL_RESET(type, name, params) name = nullptr;
    TESSARY_GDAL_CALLS(TESSARY_GDAL_RESET)
#undef TESSARY_GDAL_RESET
}

// Binds every call from `library` (loaded as `name`); empty on success,
// otherwise why not. The library stays loaded either way: GDAL is not made
// to unload.
std::string Bind(void* library, const std::string& name) {
    const char* missing = nullptr;
#define TESSARY_GDAL_BIND(type, call, params)                          \
    if (!missing) {                                                    \
        call = reinterpret_cast<type(*) params>(Find(library, #call)); \
        if (!call) missing = #call;                                    \
    }
    TESSARY_GDAL_CALLS(TESSARY_GDAL_BIND)
#undef TESSARY_GDAL_BIND
    if (missing) {
        Unbind();
        return name + " lacks GDAL's call " + missing;
    }
    const char* version = GDALVersionInfo("VERSION_NUM");
    const long number = version ? std::strtol(version, nullptr, 10) : 0;
    if (number < 3000000 || number >= 4000000) {
        std::string release = GDALVersionInfo("RELEASE_NAME") ? GDALVersionInfo("RELEASE_NAME") : "?";
        Unbind();
        return name + " is GDAL " + release + ": GDAL 3 is needed";
    }
    return {};
}

std::string FindGdal() {
    const std::string setting = Setting();
    if (!setting.empty()) {
        std::string why;
        void* library = Open(setting, why);
        if (!library)
            return std::string(kLibraryVariable) + " names " + setting + ", which cannot be loaded: " + why;
        return Bind(library, setting);
    }
    std::string why;
    for (int n = kNewestMinor; n >= kOldestMinor; --n) {
        const std::string name = VersionedName(n);
        if (void* library = Open(name, why)) return Bind(library, name);
    }
    if (void* library = Open(kPlainName, why)) return Bind(library, kPlainName);
    return std::string("no GDAL library found (looked for ") + kLookedFor + "; " + kLibraryVariable +
           " may name one)";
}

}  // namespace

const char* GdalUnavailable() {
    static std::once_flag once;
    static std::string why;
    std::call_once(once, [] { why = FindGdal(); });
    return why.empty() ? nullptr : why.c_str();
}

}  // namespace tessary::gdalplug
