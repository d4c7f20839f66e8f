// The Win32 back-end of the dialog base class: real modal dialogs from the templates compiled
// into the program (DialogBoxParamW), one dialog procedure that routes the window messages to
// the handlers of CDialog.
//
// Texts cross this layer as UTF-8, the encoding of the catalogue, and are handed to the
// system as UTF-16. The ANSI calls would pass them through the system's ANSI code page, which
// turns the Japanese table into question marks on a western system and the accented letters
// into garbage on a Japanese one; the wide calls show every table as written.
//
// The nesting that the watchdog relies on comes from the system's modal loop: while a nested
// dialog runs, the dialog manager keeps dispatching every message of the thread, so the
// owner's WM_TIMER reaches its handler inside the inner loop.
#include <windows.h>

#include <commctrl.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

// First, so that the system's text macros are gone before CDialog's members are named.
#include "platform/win32/dialog/dialog_win32.h"

#include "platform/dialog.h"

namespace {

// The innermost open dialog of this thread: a new modal dialog is owned by it, as the
// framework makes the main window (or whatever modal box stands in front of it) the owner of a
// dialog that names no parent.
thread_local DialogBackend* t_innermost = nullptr;
// The dialog whose WM_PAINT is being handled on this thread, if any.
thread_local DialogBackend* t_painting = nullptr;

// The per-monitor DPI calls of Windows 10 1607 and later, looked up at run time: the program
// also runs on Windows 7 and 8, where they do not exist and the system's DPI applies.
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
template <class Fn>
Fn User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
                             : nullptr;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string Narrow(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], n, nullptr, nullptr);
    return out;
}

std::string WindowTextOf(HWND hwnd) {
    if (hwnd == nullptr) return std::string();
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0) return std::string();
    std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
    const int got = GetWindowTextW(hwnd, &buffer[0], length + 1);
    return Narrow(buffer.data(), got);
}

HINSTANCE ProgramModule() { return GetModuleHandleW(nullptr); }

void InitCommonControlsOnce() {
    static const bool done = [] {
        INITCOMMONCONTROLSEX icc;
        icc.dwSize = sizeof icc;
        icc.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
        return InitCommonControlsEx(&icc) != FALSE;
    }();
    (void)done;
}

// The window style that the compiled template gives a dialog (0 when it cannot be read).
DWORD TemplateStyle(unsigned template_id) {
    HRSRC found = FindResourceW(ProgramModule(), MAKEINTRESOURCEW(template_id), MAKEINTRESOURCEW(5));
    if (found == nullptr || SizeofResource(ProgramModule(), found) < 16) return 0;
    const unsigned char* bytes =
        static_cast<const unsigned char*>(LockResource(LoadResource(ProgramModule(), found)));
    if (bytes == nullptr) return 0;
    WORD version = 0, signature = 0;
    std::memcpy(&version, bytes, 2);
    std::memcpy(&signature, bytes + 2, 2);
    DWORD style = 0;
    // The extended form starts with version 1 and 0xFFFF; its style follows the help id and
    // the extended style.
    std::memcpy(&style, bytes + (version == 1 && signature == 0xFFFF ? 12 : 0), 4);
    return style;
}

}  // namespace

UINT WindowDpi(HWND hwnd) {
    static const GetDpiForWindowFn for_window = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (hwnd != nullptr && for_window != nullptr) {
        const UINT dpi = for_window(hwnd);
        if (dpi != 0) return dpi;
    }
    HDC screen = GetDC(hwnd);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen != nullptr) ReleaseDC(hwnd, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96u;
}

int IconSizeFor(HWND hwnd, bool big) {
    static const GetSystemMetricsForDpiFn for_dpi =
        User32Function<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
    const int index = big ? SM_CXICON : SM_CXSMICON;
    // GetSystemMetrics answers for the system's DPI, which on a second monitor with another
    // scaling is not the window's.
    if (hwnd != nullptr && for_dpi != nullptr) return for_dpi(index, WindowDpi(hwnd));
    return GetSystemMetrics(index);
}

HICON LoadProgramIconOfSize(unsigned icon_resource_id, int size) {
    // Not LR_SHARED, which Windows advises against for any size but the system's: the sizes
    // here follow each window's DPI. Each size is loaded once and kept.
    static std::mutex lock;
    static std::map<std::pair<unsigned, int>, HICON> loaded;
    std::lock_guard<std::mutex> hold(lock);
    const auto key = std::make_pair(icon_resource_id, size);
    const auto found = loaded.find(key);
    if (found != loaded.end()) return found->second;
    HICON icon = static_cast<HICON>(
        LoadImageW(ProgramModule(), MAKEINTRESOURCEW(icon_resource_id), IMAGE_ICON, size, size, 0));
    if (icon != nullptr) loaded.emplace(key, icon);
    return icon;
}

HICON LoadProgramIcon(unsigned icon_resource_id, bool big, HWND hwnd) {
    return LoadProgramIconOfSize(icon_resource_id, IconSizeFor(hwnd, big));
}

DialogBackend::DialogBackend(CDialog* dialog) : m_dialog(dialog) {}

DialogBackend* DialogBackend::FromWindow(HWND hwnd) {
    return hwnd == nullptr ? nullptr : reinterpret_cast<DialogBackend*>(GetWindowLongPtrW(hwnd, DWLP_USER));
}

int DialogBackend::Run() {
    InitCommonControlsOnce();
    HWND owner = t_innermost != nullptr ? t_innermost->m_hwnd : nullptr;
    m_pending_closes = 0;
    const INT_PTR result = DialogBoxParamW(ProgramModule(), MAKEINTRESOURCEW(m_dialog->TemplateId()), owner,
                                           &DialogBackend::Proc, reinterpret_cast<LPARAM>(this));
    m_hwnd = nullptr;
    m_open = false;
    return static_cast<int>(result);
}

INT_PTR CALLBACK DialogBackend::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    DialogBackend* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<DialogBackend*>(lparam);
        SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        self->m_hwnd = hwnd;
        self->m_open = true;
        self->m_outer = t_innermost;
        t_innermost = self;
    } else {
        self = FromWindow(hwnd);
    }
    // Messages before WM_INITDIALOG (WM_SETFONT and the like) belong to the dialog manager.
    if (self == nullptr) return FALSE;
    return self->Handle(message, wparam, lparam);
}

void DialogBackend::RequestClose(int code) {
    if (m_dialog->OnCloseRequest(code)) {
        if (code == IDOK) {
            m_dialog->OnOK();
        } else {
            m_dialog->OnCancel();
        }
    }
}

void DialogBackend::CenterIfHidden(const RECT& before) {
    // The dialog framework centres a modal box that its template leaves hidden (the about and
    // progress boxes) over its owner, unless the initialisation has shown or moved it; the
    // main window, visible in its template, stays where the template puts it.
    if ((TemplateStyle(m_dialog->TemplateId()) & WS_VISIBLE) != 0) return;
    if ((GetWindowLongW(m_hwnd, GWL_STYLE) & WS_VISIBLE) != 0) return;
    RECT rect;
    GetWindowRect(m_hwnd, &rect);
    if (rect.left != before.left || rect.top != before.top) return;
    RECT work;
    MONITORINFO monitor;
    monitor.cbSize = sizeof monitor;
    if (GetMonitorInfoW(MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        work = monitor.rcWork;
    } else {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    }
    RECT around = work;
    HWND owner = GetWindow(m_hwnd, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner) && !::IsIconic(owner)) GetWindowRect(owner, &around);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    int x = (around.left + around.right - width) / 2;
    int y = (around.top + around.bottom - height) / 2;
    if (x + width > work.right) x = work.right - width;
    if (y + height > work.bottom) y = work.bottom - height;
    if (x < work.left) x = work.left;
    if (y < work.top) y = work.top;
    SetWindowPos(m_hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND DialogBackend::FocusedPushButton() const {
    HWND focus = GetFocus();
    if (focus == nullptr || GetParent(focus) != m_hwnd || !IsWindowEnabled(focus)) return nullptr;
    wchar_t class_name[16];
    if (GetClassNameW(focus, class_name, 16) == 0 || lstrcmpiW(class_name, L"Button") != 0) return nullptr;
    const LONG type = GetWindowLongW(focus, GWL_STYLE) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON ? focus : nullptr;
}

HDC DialogBackend::PaintDC() {
    if (!m_in_paint) return nullptr;
    if (m_paint_dc == nullptr) m_paint_dc = BeginPaint(m_hwnd, &m_paint);
    return m_paint_dc;
}

void DialogBackend::RefreshIcons() {
    if (m_big_icon != 0)
        SendMessageW(m_hwnd, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(LoadProgramIcon(m_big_icon, true, m_hwnd)));
    if (m_small_icon != 0)
        SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(LoadProgramIcon(m_small_icon, false, m_hwnd)));
}

INT_PTR DialogBackend::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            RECT before;
            GetWindowRect(m_hwnd, &before);
            // TRUE: the dialog manager gives the focus to the first tab-stop control.
            const bool focus = m_dialog->OnInitDialog();
            if (m_hwnd != nullptr) CenterIfHidden(before);
            return focus ? TRUE : FALSE;
        }

        case WM_COMMAND: {
            const unsigned id = LOWORD(wparam);
            const unsigned code = HIWORD(wparam);
            if (lparam == 0) {
                // Not from a control: the dialog manager's Esc (IDCANCEL) or Enter (IDOK), or a
                // menu or accelerator command. Enter on a focused push button presses that
                // button, as Windows does; wine's dialog manager reports it as IDOK instead,
                // which would end the main window where the user meant Update.
                if (id == IDOK) {
                    HWND pressed = FocusedPushButton();
                    if (pressed != nullptr) {
                        m_dialog->OnCommand(static_cast<unsigned>(GetDlgCtrlID(pressed)));
                        return TRUE;
                    }
                    // Enter with no button in focus, in a dialog that has no OK button (the
                    // main window during a run): there is nothing to press, and ending the
                    // program in the middle of an update is not what the key means.
                    if (GetDlgItem(m_hwnd, IDOK) == nullptr) return TRUE;
                }
                if (id == IDOK || id == IDCANCEL) RequestClose(static_cast<int>(id));
                return TRUE;
            }
            if (code == BN_CLICKED) m_dialog->OnCommand(id);
            return TRUE;
        }

        case WM_CLOSE:
            // A close that this program posted (PostClose) ends the dialog as asked; any other,
            // the close box, Alt+F4 or a WM_CLOSE from outside, is the user's request.
            if (m_pending_closes > 0) {
                --m_pending_closes;
                ::EndDialog(m_hwnd, IDCANCEL);
            } else {
                RequestClose(IDCANCEL);
            }
            return TRUE;

        case WM_TIMER: m_dialog->OnTimer(static_cast<unsigned>(wparam)); return TRUE;

        // The keyboard focus while a run has disabled the button that had it. Windows takes the
        // focus from a control it disables; whenever the dialog is activated again, or gets the
        // focus itself, the dialog manager hands it to the first enabled tab stop, which during
        // a run is Cancel: a stray Space or Enter after switching back to the window would
        // cancel the update. So the focus is parked on the dialog window itself, where Esc
        // still asks to close and Enter and Space press nothing, until the user moves it.
        case WM_SETFOCUS:
            if (!m_focus_parked) return FALSE;
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
            return TRUE;

        case WM_KILLFOCUS: {
            HWND next = reinterpret_cast<HWND>(wparam);
            if (next != nullptr && IsChild(m_hwnd, next)) m_focus_parked = false;
            return FALSE;
        }

        case WM_ACTIVATE:
            if (!m_focus_parked || LOWORD(wparam) == WA_INACTIVE) return FALSE;
            SetFocus(m_hwnd);
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
            return TRUE;

        case WM_ENDSESSION:
            // The Windows session ends (log-off, shut-down, restart). Once this message has
            // been answered Windows may end the process at any moment, so what Finish undoes
            // (the firewall opening above all) is undone now, through the same close request as
            // the close box. Only the outermost dialog, the main window, asks; the boxes in
            // front of it go with the process. WM_QUERYENDSESSION keeps its default answer:
            // the session may end.
            if (wparam != FALSE && m_outer == nullptr) RequestClose(IDCANCEL);
            SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
            return TRUE;

        case WM_DPICHANGED:
            // Moved to a monitor with another scaling: the dialog manager lays the dialog out
            // again (per-monitor awareness, version 2); the icons are picked again for it.
            RefreshIcons();
            return FALSE;

        case WM_SYSCOMMAND:
            if (m_dialog->OnSysCommand(static_cast<unsigned>(wparam))) {
                SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, 0);
                return TRUE;
            }
            // The system's own commands (move, close, ...): the default processing, which
            // turns the close box into WM_CLOSE above.
            return FALSE;

        case WM_PAINT: {
            // The paint context is begun only when the handler draws, so that a handler that
            // leaves the message to the default processing gets the system's own painting.
            m_in_paint = true;
            m_paint_dc = nullptr;
            DialogBackend* const outer_paint = t_painting;
            t_painting = this;
            const bool handled = m_dialog->OnPaint();
            t_painting = outer_paint;
            m_in_paint = false;
            if (handled && m_paint_dc == nullptr) PaintDC();
            if (m_paint_dc != nullptr) {
                EndPaint(m_hwnd, &m_paint);
                m_paint_dc = nullptr;
                return TRUE;
            }
            return FALSE;
        }

        case WM_QUERYDRAGICON: {
            const unsigned id = m_dialog->OnQueryDragIcon();
            if (id == 0) return FALSE;
            // One of the messages whose result is the dialog procedure's own return value.
            return reinterpret_cast<INT_PTR>(LoadProgramIcon(id, true, m_hwnd));
        }

        case WM_NCDESTROY:
            if (t_innermost == this) t_innermost = m_outer;
            m_outer = nullptr;
            SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
            return FALSE;

        default: return FALSE;
    }
}

// The base class, on top of the back-end.

CDialog::CDialog(unsigned template_id)
    : m_template_id(template_id), m_backend(std::make_unique<DialogBackend>(this)) {}

CDialog::~CDialog() = default;

int CDialog::DoModal() { return m_backend->Run(); }

bool CDialog::IsOpen() const { return m_backend->m_open; }

void CDialog::EndDialog(int result) {
    if (m_backend->m_hwnd != nullptr) ::EndDialog(m_backend->m_hwnd, result);
}

void CDialog::PostClose() {
    if (m_backend->m_hwnd == nullptr) return;
    if (PostMessageW(m_backend->m_hwnd, WM_CLOSE, 0, 0)) ++m_backend->m_pending_closes;
}

void CDialog::OnCommand(unsigned control_id) {
    if (control_id == IDOK) {
        OnOK();
    } else if (control_id == IDCANCEL) {
        OnCancel();
    }
}

void CDialog::SetWindowText(const std::string& text) {
    if (m_backend->m_hwnd != nullptr) SetWindowTextW(m_backend->m_hwnd, Widen(text).c_str());
}

std::string CDialog::GetWindowText() const { return WindowTextOf(m_backend->m_hwnd); }

void CDialog::SetDlgItemText(unsigned control_id, const std::string& text) {
    if (m_backend->m_hwnd != nullptr)
        SetDlgItemTextW(m_backend->m_hwnd, static_cast<int>(control_id), Widen(text).c_str());
}

std::string CDialog::GetDlgItemText(unsigned control_id) const {
    if (m_backend->m_hwnd == nullptr) return std::string();
    return WindowTextOf(GetDlgItem(m_backend->m_hwnd, static_cast<int>(control_id)));
}

void CDialog::EnableDlgItem(unsigned control_id, bool enable) {
    HWND hwnd = m_backend->m_hwnd;
    if (hwnd == nullptr) return;
    HWND item = GetDlgItem(hwnd, static_cast<int>(control_id));
    if (item == nullptr) return;
    HWND focus = GetFocus();
    const bool had_focus = !enable && focus != nullptr && (focus == item || IsChild(item, focus));
    EnableWindow(item, enable ? TRUE : FALSE);
    if (had_focus) {
        // Not on to the next control (Cancel): see WM_SETFOCUS.
        m_backend->m_focus_parked = true;
        SetFocus(hwnd);
    }
}

bool CDialog::IsDlgItemEnabled(unsigned control_id) const {
    if (m_backend->m_hwnd == nullptr) return false;
    HWND item = GetDlgItem(m_backend->m_hwnd, static_cast<int>(control_id));
    return item != nullptr && IsWindowEnabled(item) != FALSE;
}

bool CDialog::SetTimer(unsigned timer_id, unsigned period_ms) {
    if (m_backend->m_hwnd == nullptr) return false;
    return ::SetTimer(m_backend->m_hwnd, timer_id, period_ms, nullptr) != 0;
}

void CDialog::KillTimer(unsigned timer_id) {
    if (m_backend->m_hwnd != nullptr) ::KillTimer(m_backend->m_hwnd, timer_id);
}

void CDialog::SetProgressRange(unsigned control_id, uint16_t minimum, uint16_t maximum) {
    if (m_backend->m_hwnd != nullptr)
        SendDlgItemMessageW(m_backend->m_hwnd, static_cast<int>(control_id), PBM_SETRANGE, 0,
                            MAKELPARAM(minimum, maximum));
}

void CDialog::SetProgressPos(unsigned control_id, int position) {
    if (m_backend->m_hwnd != nullptr)
        SendDlgItemMessageW(m_backend->m_hwnd, static_cast<int>(control_id), PBM_SETPOS,
                            static_cast<WPARAM>(position), 0);
}

bool CDialog::HasSystemMenu() const {
    return m_backend->m_hwnd != nullptr && GetSystemMenu(m_backend->m_hwnd, FALSE) != nullptr;
}

void CDialog::AppendSystemMenuSeparator() {
    if (m_backend->m_hwnd == nullptr) return;
    HMENU menu = GetSystemMenu(m_backend->m_hwnd, FALSE);
    if (menu != nullptr) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
}

void CDialog::AppendSystemMenuItem(unsigned command_id, const std::string& text) {
    if (m_backend->m_hwnd == nullptr) return;
    HMENU menu = GetSystemMenu(m_backend->m_hwnd, FALSE);
    if (menu != nullptr) AppendMenuW(menu, MF_STRING, command_id, Widen(text).c_str());
}

void CDialog::SetIcon(unsigned icon_resource_id, bool big) {
    if (m_backend->m_hwnd == nullptr) return;
    (big ? m_backend->m_big_icon : m_backend->m_small_icon) = icon_resource_id;
    HICON icon = LoadProgramIcon(icon_resource_id, big, m_backend->m_hwnd);
    SendMessageW(m_backend->m_hwnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

bool CDialog::IsIconic() const {
    return m_backend->m_hwnd != nullptr && ::IsIconic(m_backend->m_hwnd) != FALSE;
}

void CDialog::GetClientSize(int* width, int* height) const {
    RECT rect = {0, 0, 0, 0};
    if (m_backend->m_hwnd != nullptr) GetClientRect(m_backend->m_hwnd, &rect);
    *width = rect.right - rect.left;
    *height = rect.bottom - rect.top;
}

void CDialog::GetIconMetrics(int* width, int* height) {
    // For the window being painted (or else the innermost dialog): its DPI decides.
    const DialogBackend* window = t_painting != nullptr ? t_painting : t_innermost;
    *width = *height = IconSizeFor(window != nullptr ? window->Window() : nullptr, true);
}

void CDialog::EraseIconBackground() {
    HDC dc = m_backend->PaintDC();
    if (dc != nullptr) SendMessageW(m_backend->m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
}

void CDialog::DrawIcon(int x, int y, unsigned icon_resource_id) {
    HDC dc = m_backend->PaintDC();
    // At the window's own icon size: DrawIcon would draw at the system's.
    const int size = IconSizeFor(m_backend->m_hwnd, true);
    HICON icon = LoadProgramIconOfSize(icon_resource_id, size);
    if (dc != nullptr && icon != nullptr) DrawIconEx(dc, x, y, icon, size, size, 0, nullptr, DI_NORMAL);
}

void UiSleep(unsigned ms) { Sleep(ms); }

std::string LoadStringById(unsigned id) {
    // With a zero buffer size LoadStringW hands back a pointer into the string table itself
    // and the text's length, so a text of any length comes back whole.
    const wchar_t* text = nullptr;
    const int length = LoadStringW(ProgramModule(), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || text == nullptr) return std::string();
    return Narrow(text, length);
}
