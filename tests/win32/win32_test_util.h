// Small helpers shared by the Win32 tests: text conversion, the program's path, waiting.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace w32test {

inline std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

inline std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// The folder of the running test program, with a trailing backslash: every program of the
// build lands in the same bin/ folder.
inline std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, n);
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

inline std::wstring UpdaterPath() { return ProgramFolder() + L"orvane-updater.exe"; }

// Polls cond every 20 ms until it holds or ms have passed; the last result.
inline bool WaitFor(const std::function<bool()>& cond, unsigned ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// A window's or a control's text in UTF-8. WM_GETTEXT is marshalled across processes, which
// GetWindowText does not do for another program's controls.
inline std::string TextOf(HWND hwnd) {
    if (hwnd == nullptr) return std::string();
    wchar_t buffer[4096];
    const int n = static_cast<int>(SendMessageW(hwnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer)));
    return Narrow(std::wstring(buffer, n > 0 ? static_cast<size_t>(n) : 0));
}

}  // namespace w32test
