#include <windows.h>

#include "platform/process_info.h"

std::size_t ReadExecutablePathText(char* out, std::size_t size) {
    if (out == nullptr || size == 0) return 0;
    out[0] = '\0';
    const DWORD capacity = size > 0xFFFFu ? 0xFFFFu : static_cast<DWORD>(size);
    // A path that does not fit comes back cut off:
    // a result that fills the whole area counts as not read.
    const DWORD length = GetModuleFileNameA(nullptr, out, capacity);
    if (length == 0 || length >= capacity) {
        out[0] = '\0';
        return 0;
    }
    out[length] = '\0';
    return length;
}

bool ReadComputerNameText(std::u16string* out) {
    out->clear();
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length) || length == 0) return false;
    for (DWORD i = 0; i < length; ++i) out->push_back(static_cast<char16_t>(name[i]));
    return true;
}
