// The few POSIX calls the command line makes, for Windows (MinGW-w64); names
// and behaviour follow POSIX so that the callers keep one code path. Only the
// shell-pattern matcher behind fnmatch is declared on every system.
#pragma once

#ifdef _WIN32

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdlib>
#include <ctime>

// Every descriptor the program opens is binary (no CR-LF translation) and
// not inherited by child processes: the callers ask for the latter with
// O_CLOEXEC and always mean the former.
#ifndef O_CLOEXEC
#define O_CLOEXEC (_O_NOINHERIT | _O_BINARY)
#endif
// Symbolic links are rare on Windows and opening one never blocks: these
// flags have nothing to do there.
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif

#define FNM_NOMATCH 1
#define FNM_PATHNAME 0x01
#define FNM_NOESCAPE 0x02
#define FNM_PERIOD 0x04
#define FNM_CASEFOLD 0x10

// fnmatch: 0 for a match, FNM_NOMATCH if not (tessary::platform::ShellPatternMatches).
int fnmatch(const char* pattern, const char* string, int flags);

inline std::tm* gmtime_r(const std::time_t* time, std::tm* out) { return gmtime_s(out, time) == 0 ? out : nullptr; }

// The computer's DNS host name (UTF-8).
int gethostname(char* name, std::size_t size);

// A new folder named after `pattern` with its trailing "XXXXXX" replaced,
// made for this user only; the name is written back. nullptr with errno set
// when no folder could be made.
char* mkdtemp(char* pattern);

// mkstemp comes with the MinGW-w64 runtime (<stdlib.h>).

#endif  // _WIN32

namespace tessary::platform {

// Shell patterns (*, ?, [...], backslash escapes) matched as POSIX fnmatch
// matches them, with its flag values (FNM_PATHNAME 0x01, FNM_NOESCAPE 0x02,
// FNM_PERIOD 0x04, FNM_CASEFOLD 0x10, which folds ASCII letters). Built on
// every system so that it can be checked against the C library's fnmatch.
bool ShellPatternMatches(const char* pattern, const char* string, int flags);

}  // namespace tessary::platform
