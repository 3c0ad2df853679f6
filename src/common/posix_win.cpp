#include "common/posix_win.h"

#include <cstring>

namespace tessary::platform {

namespace {

// fnmatch's flag values.
constexpr int kPathName = 0x01;
constexpr int kNoEscape = 0x02;
constexpr int kPeriod = 0x04;
constexpr int kCaseFold = 0x10;

char FoldCase(char c, bool fold) { return fold && c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Matches the bracket expression at `p` (just after '['); advances `p` past
// it. -1 when the expression is not closed (then '[' is an ordinary letter).
int MatchBracket(const char*& p, char c, int flags) {
    const bool fold = (flags & kCaseFold) != 0;
    const char* q = p;
    bool negate = false;
    if (*q == '!' || *q == '^') {
        negate = true;
        ++q;
    }
    bool matched = false;
    bool first = true;
    c = FoldCase(c, fold);
    while (*q && (first || *q != ']')) {
        first = false;
        char low = *q;
        if (low == '\\' && !(flags & kNoEscape) && q[1]) low = *++q;
        ++q;
        char high = low;
        if (*q == '-' && q[1] && q[1] != ']') {
            high = q[1];
            q += 2;
            if (high == '\\' && !(flags & kNoEscape) && *q) high = *q++;
        }
        low = FoldCase(low, fold);
        high = FoldCase(high, fold);
        if ((unsigned char)low <= (unsigned char)c && (unsigned char)c <= (unsigned char)high) matched = true;
    }
    if (*q != ']') return -1;
    p = q + 1;
    return matched != negate ? 1 : 0;
}

bool Match(const char* p, const char* s, int flags, const char* start) {
    const bool fold = (flags & kCaseFold) != 0;
    const bool pathname = (flags & kPathName) != 0;
    for (;;) {
        const char pc = *p;
        if (pc == '\0') return *s == '\0';
        if (pc == '*') {
            while (*p == '*') ++p;
            if ((flags & kPeriod) && *s == '.' && (s == start || (pathname && s[-1] == '/'))) return false;
            if (*p == '\0') return !pathname || std::strchr(s, '/') == nullptr;
            for (const char* t = s;; ++t) {
                if (Match(p, t, flags, start)) return true;
                if (*t == '\0' || (pathname && *t == '/')) return false;
            }
        }
        if (*s == '\0') return false;
        if (pc == '?') {
            if (pathname && *s == '/') return false;
            ++p;
            ++s;
            continue;
        }
        if (pc == '[') {
            if (pathname && *s == '/') return false;
            const char* q = p + 1;
            const int bracket = MatchBracket(q, *s, flags);
            if (bracket == 0) return false;
            if (bracket == 1) {
                p = q;
                ++s;
                continue;
            }
            // An unclosed '[' is an ordinary letter.
        }
        char literal = pc;
        if (pc == '\\' && !(flags & kNoEscape) && p[1]) literal = *++p;
        if (FoldCase(literal, fold) != FoldCase(*s, fold)) return false;
        ++p;
        ++s;
    }
}

}  // namespace

bool ShellPatternMatches(const char* pattern, const char* string, int flags) {
    return Match(pattern, string, flags, string);
}

}  // namespace tessary::platform

#ifdef _WIN32

#include <windows.h>

#include <cerrno>
#include <direct.h>
#include <random>
#include <string>

namespace {

// Replaces the trailing "XXXXXX" of `pattern` with random letters; false
// (errno EINVAL) when the pattern has none.
bool Randomise(char* pattern) {
    static thread_local std::mt19937 random{std::random_device{}()};
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    const size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return false;
    }
    for (size_t i = length - 6; i < length; ++i) pattern[i] = kLetters[random() % (sizeof kLetters - 1)];
    return true;
}

}  // namespace

int fnmatch(const char* pattern, const char* string, int flags) {
    return tessary::platform::ShellPatternMatches(pattern, string, flags) ? 0 : FNM_NOMATCH;
}

int gethostname(char* name, std::size_t size) {
    DWORD length = DWORD(size);
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &length)) {
        errno = EINVAL;
        return -1;
    }
    return 0;
}

char* mkdtemp(char* pattern) {
    const std::string original(pattern);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::strcpy(pattern, original.c_str());
        if (!Randomise(pattern)) return nullptr;
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    errno = EEXIST;
    return nullptr;
}

#endif  // _WIN32
