#include "images/append_text.h"

#include <cstring>

char* AppendText(char* destination, const char* source) {
    char* end = destination + std::strlen(destination);
    const size_t n = std::strlen(source);
    std::memcpy(end, source, n + 1);
    return end + n;
}
