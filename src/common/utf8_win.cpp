// UTF-8 as the C runtime's multibyte encoding on Windows.
//
// The programs declare UTF-8 as their active code page (the application
// manifest), so that arguments, the ANSI file calls and fopen take UTF-8.
// The old C runtime the compiler links cannot be switched to a UTF-8 locale,
// and the standard library converts std::string paths to wide ones (and
// back) with mbrtowc, wcrtomb and MB_CUR_MAX of the "C" locale, which maps
// bytes one to one. These definitions take the place of the runtime's, so
// that every conversion is UTF-8 <-> UTF-16 as the rest of the program
// expects. Characters outside the Basic Multilingual Plane cannot pass one
// wchar_t at a time: they are an encoding error (a clear failure).
#ifdef _WIN32

#include <cerrno>
#include <cstddef>
#include <cwchar>

extern "C" {

namespace {
int Utf8MbCurMax() { return 3; }
}  // namespace

// MB_CUR_MAX reads the runtime's value through this import pointer.
int (*__imp____mb_cur_max_func)(void) = &Utf8MbCurMax;

size_t mbrtowc(wchar_t* out, const char* in, size_t n, mbstate_t*) {
    if (!in) return 0;
    if (n == 0) return size_t(-2);
    const unsigned char lead = static_cast<unsigned char>(in[0]);
    unsigned code;
    size_t length;
    if (lead < 0x80) {
        code = lead;
        length = 1;
    } else if (lead >= 0xC2 && lead < 0xE0) {
        code = lead & 0x1Fu;
        length = 2;
    } else if (lead >= 0xE0 && lead < 0xF0) {
        code = lead & 0x0Fu;
        length = 3;
    } else {
        errno = EILSEQ;
        return size_t(-1);
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= n) return size_t(-2);
        const unsigned char next = static_cast<unsigned char>(in[i]);
        if ((next & 0xC0u) != 0x80u) {
            errno = EILSEQ;
            return size_t(-1);
        }
        code = (code << 6) | (next & 0x3Fu);
    }
    if (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) {
        errno = EILSEQ;
        return size_t(-1);
    }
    if (out) *out = static_cast<wchar_t>(code);
    return code == 0 ? 0 : length;
}

size_t mbrlen(const char* in, size_t n, mbstate_t* state) { return mbrtowc(nullptr, in, n, state); }

size_t wcrtomb(char* out, wchar_t wide, mbstate_t*) {
    const unsigned code = static_cast<unsigned short>(wide);
    if (!out) return 1;
    if (code >= 0xD800 && code <= 0xDFFF) {
        errno = EILSEQ;
        return size_t(-1);
    }
    if (code < 0x80) {
        out[0] = char(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = char(0xC0 | (code >> 6));
        out[1] = char(0x80 | (code & 0x3F));
        return 2;
    }
    out[0] = char(0xE0 | (code >> 12));
    out[1] = char(0x80 | ((code >> 6) & 0x3F));
    out[2] = char(0x80 | (code & 0x3F));
    return 3;
}

}  // extern "C"

#endif  // _WIN32
