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

    CDialog* m_dialog;
    HWND m_hwnd = nullptr;
    bool m_open = false;
    DialogBackend* m_outer = nullptr;  // the dialog that was innermost before this one
    int m_pending_closes = 0;          // WM_CLOSE messages posted by PostClose, not yet handled
    bool m_in_paint = false;
    HDC m_paint_dc = nullptr;
    PAINTSTRUCT m_paint = {};
};

// The program's icon of the given resource id at the system's big or small icon size; a
// shared handle that is never destroyed. Null when there is no such icon.
HICON LoadProgramIcon(unsigned icon_resource_id, bool big);
