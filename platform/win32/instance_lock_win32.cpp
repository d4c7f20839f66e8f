// The single-instance lock: a named mutex in the session's namespace of named objects, held
// until the process ends.
#include <windows.h>

#include <string>

#include "platform/instance_lock.h"
#include "res/catalogue/catalogue.h"

bool AcquireSingleInstanceLock(const char* name) {
    // Creating and testing in one call: of two processes that start at the same moment the
    // system lets exactly one create the mutex, and the other learns that it already existed.
    // An open-then-create sequence would let both find nothing and both go on.
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    // Held, never closed: the system drops it with the process. A creation that failed for
    // another reason (a same-named object this user may not open) counts as no other
    // instance, so that the program still starts.
    return true;
}

namespace {

struct Search {
    std::wstring title;
    DWORD own_process;
    HWND found;
};

BOOL CALLBACK FindOtherInstance(HWND hwnd, LPARAM lparam) {
    Search* search = reinterpret_cast<Search*>(lparam);
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process == search->own_process) return TRUE;
    wchar_t class_name[16];
    if (GetClassNameW(hwnd, class_name, 16) == 0 || lstrcmpW(class_name, L"#32770") != 0) return TRUE;
    const int length = GetWindowTextLengthW(hwnd);
    if (length != static_cast<int>(search->title.size())) return TRUE;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(hwnd, &text[0], length + 1);
    text.resize(static_cast<size_t>(length));
    if (text != search->title) return TRUE;
    search->found = hwnd;
    return FALSE;
}

}  // namespace

void ActivateRunningInstance(const char* name) {
    (void)name;  // the running instance is found by its main window, which bears the title
    // The title in the language table that this process (and so the running one) uses.
    const wchar_t* title = nullptr;
    const int length =
        LoadStringW(GetModuleHandleW(nullptr), IDS_MAIN_TITLE, reinterpret_cast<LPWSTR>(&title), 0);
    if (length <= 0 || title == nullptr) return;
    Search search;
    search.title.assign(title, static_cast<size_t>(length));
    search.own_process = GetCurrentProcessId();
    search.found = nullptr;
    // This process's own main window bears the same title already: only another process's
    // window counts.
    EnumWindows(&FindOtherInstance, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return;
    if (IsIconic(search.found)) ShowWindow(search.found, SW_RESTORE);
    // A modal box in front of the main window (about, progress) is what should come up.
    SetForegroundWindow(GetLastActivePopup(search.found));
}

// Windows brings the first instance forward from the second one (ActivateRunningInstance);
// nothing arrives at the first instance to handle.
void SetInstanceActivationHandler(void (*)()) {}
