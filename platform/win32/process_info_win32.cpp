#include <windows.h>

#include <vector>

#include "platform/process_info.h"

bool ReadExecutablePathText(std::u16string* out, std::size_t capacity) {
    out->clear();
    if (capacity == 0) return false;
    const DWORD size = capacity > 0x7FFFu ? 0x7FFFu : static_cast<DWORD>(capacity);
    std::vector<wchar_t> path(size);
    // A path that does not fit comes back cut off (and terminated on Windows 7 and later):
    // a result that fills the whole area counts as not read.
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
    if (length == 0 || length >= size) return false;
    out->assign(path.begin(), path.begin() + length);
    return true;
}

bool ReadComputerNameText(std::u16string* out) {
    out->clear();
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length) || length == 0) return false;
    for (DWORD i = 0; i < length; ++i) out->push_back(static_cast<char16_t>(name[i]));
    return true;
}
