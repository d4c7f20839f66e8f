#include <unistd.h>

#include <climits>

#include "platform/process_info.h"

namespace {

// UTF-8 to UTF-16; false on anything that is not well-formed UTF-8 (a file name here is
// bytes, and a guessed conversion would name another file).
bool Utf8ToUtf16(const char* text, std::size_t length, std::u16string* out) {
    std::size_t i = 0;
    while (i < length) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned extra = 0;
        char32_t code = 0;
        if (c < 0x80) {
            code = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07u;
        } else {
            return false;
        }
        for (unsigned k = 1; k <= extra; ++k) {
            if (i + k >= length) return false;
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(code));
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace

bool ReadExecutablePathText(std::u16string* out, std::size_t capacity) {
    out->clear();
    if (capacity == 0) return false;
    char path[PATH_MAX + 1];
    // readlink does not terminate and silently truncates: a result that fills the whole area
    // may be cut off, so it counts as not read.
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return false;
    if (!Utf8ToUtf16(path, static_cast<std::size_t>(length), out) || out->size() >= capacity) {
        out->clear();
        return false;
    }
    return true;
}

bool ReadComputerNameText(std::u16string* out) {
    out->clear();
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        out->push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    }
    return true;
}
