#include <unistd.h>

#include <climits>

#include "platform/process_info.h"

std::size_t ReadExecutablePathText(char* out, std::size_t size) {
    if (out == nullptr || size == 0) return 0;
    out[0] = '\0';
    // readlink does not terminate and silently truncates: a result that fills the whole area
    // may be cut off, so it counts as not fitting.
    const ssize_t length = readlink("/proc/self/exe", out, size);
    if (length <= 0 || static_cast<std::size_t>(length) >= size) {
        out[0] = '\0';
        return 0;
    }
    out[length] = '\0';
    return static_cast<std::size_t>(length);
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
