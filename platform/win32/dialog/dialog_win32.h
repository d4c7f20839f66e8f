// The Win32 part of a CDialog: its window and the state of its message routing. Reached by the
// back-end's own tests through CDialog::Backend(); nothing outside platform/ needs it.
#pragma once

#include <windows.h>

// windows.h maps these names to their ANSI or wide calls; here they are the members of CDialog.
// Code that includes this header calls the system's by their A or W names.
#undef SetWindowText
#undef GetWindowText
#undef SetDlgItemText
#undef GetDlgItemText

class CDialog;

class DialogBackend {
public:
    explicit DialogBackend(CDialog* dialog);
    DialogBackend(const DialogBackend&) = delete;
    DialogBackend& operator=(const DialogBackend&) = delete;

    // The dialog's window while it is open, else null.
    HWND Window() const { return m_hwnd; }
    // The back-end of the dialog that owns hwnd, or null.
    static DialogBackend* FromWindow(HWND hwnd);

private:
    friend class CDialog;

    int Run();
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    INT_PTR Handle(UINT message, WPARAM wparam, LPARAM lparam);
    // Esc, the close box, Alt+F4, Enter: the dialog's say first, then the base ending.
    void RequestClose(int code);
    // The enabled push button of this dialog that has the focus, or null.
    HWND FocusedPushButton() const;
    // Centres a dialog that its template leaves hidden, as the dialog framework does.
    void CenterIfHidden(const RECT& before);
    // The paint context of the WM_PAINT being handled, begun on first use; null outside.
    HDC PaintDC();
    // The window icons again at the window's DPI (after WM_DPICHANGED).
    void RefreshIcons();

    CDialog* m_dialog;
    HWND m_hwnd = nullptr;
    bool m_open = false;
    DialogBackend* m_outer = nullptr;  // the dialog that was innermost before this one
    int m_pending_closes = 0;          // WM_CLOSE messages posted by PostClose, not yet handled
    bool m_in_paint = false;
    HDC m_paint_dc = nullptr;
    PAINTSTRUCT m_paint = {};
    // The icons set with SetIcon, by resource id (0: none), to be set again at a new DPI.
    unsigned m_big_icon = 0;
    unsigned m_small_icon = 0;
    // The keyboard focus was on a control that got disabled, and is kept on the dialog window
    // itself until the user moves it to a control (Tab, a click).
    bool m_focus_parked = false;
};

// The DPI a window is laid out at: its monitor's for a per-monitor aware program on Windows 10
// 1607 and later, else the system's (also without a window).
UINT WindowDpi(HWND hwnd);
// The size of the big (SM_CXICON) or small (SM_CXSMICON) icon at a window's DPI.
int IconSizeFor(HWND hwnd, bool big);
// The program's icon of the given resource id at the given size in pixels, drawn from the
// image of the icon group that suits that size best; kept for the life of the process (the
// window icons and the painting need it that long). Null when there is no such icon.
HICON LoadProgramIconOfSize(unsigned icon_resource_id, int size);
// The same at the big or small icon size for the window's DPI.
HICON LoadProgramIcon(unsigned icon_resource_id, bool big, HWND hwnd);
