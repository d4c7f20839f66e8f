// The dialog base class: what the updater's windows need from a window toolkit, and nothing
// of the toolkit itself. CUpdaterDlg, CProgressDlg and CAboutDlg derive from CDialog and
// override its handlers; a back-end (win32/dialog, qt, headless) supplies the window.
//
// Semantics every back-end keeps:
// - DoModal builds the window from the dialog template of the given id, calls OnInitDialog
//   once the controls exist, runs a modal loop and returns the end code. While a nested
//   dialog runs modally, its owner takes no input but its timers still tick, and their
//   handlers run nested inside the inner loop.
// - EndDialog ends the modal loop once the current handler has returned.
// - Esc, the close box (and Alt+F4, and Enter where the toolkit turns it into IDOK) ask
//   OnCloseRequest(IDCANCEL or IDOK) first; when it returns true the base OnOK/OnCancel
//   ends the dialog.
// - Keyboard focus: the first enabled tab stop takes it when OnInitDialog returns true, and
//   Space or Enter press the focused push button. A focused control that is disabled takes
//   the focus with it: no control has it then, and Space and Enter press nothing.
// - Timers: SetTimer(id, ms) ticks every ms on the UI thread through OnTimer(id); ticks that
//   fall due while the thread is busy arrive as one; a killed timer delivers no more ticks.
// - PostClose ends the dialog with IDCANCEL once the current handler has returned.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The same values as the platform's own (winuser.h defines them identically).
#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif

class DialogBackend;  // one per back-end, defined there

class CDialog {
public:
    explicit CDialog(unsigned template_id);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog modally; returns the end code (IDOK, IDCANCEL or EndDialog's value),
    // or -1 when the window could not be made.
    int DoModal();
    unsigned TemplateId() const { return m_template_id; }
    // True between the creation of the window and the end of its modal loop.
    bool IsOpen() const;

    // Ending.
    void EndDialog(int result);
    void OnOK() { EndDialog(IDOK); }
    void OnCancel() { EndDialog(IDCANCEL); }
    // Deferred close (the platform's WM_CLOSE): ends with IDCANCEL after the current handler.
    void PostClose();

    // Texts, by control id; the window's own title.
    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;
    void SetDlgItemText(unsigned control_id, const std::string& text);
    std::string GetDlgItemText(unsigned control_id) const;

    // Enabling.
    void EnableDlgItem(unsigned control_id, bool enable);
    bool IsDlgItemEnabled(unsigned control_id) const;

    // Timers on this window. SetTimer returns false when no timer could be made.
    bool SetTimer(unsigned timer_id, unsigned period_ms);
    void KillTimer(unsigned timer_id);

    // Progress bar control: 16-bit bounds; a position above the maximum shows a full bar.
    void SetProgressRange(unsigned control_id, uint16_t minimum, uint16_t maximum);
    void SetProgressPos(unsigned control_id, int position);

    // System menu. HasSystemMenu is false where the window has none (or the toolkit offers
    // none: the back-end then puts the items where its users look for them).
    bool HasSystemMenu() const;
    void AppendSystemMenuSeparator();
    void AppendSystemMenuItem(unsigned command_id, const std::string& text);

    // Icons and painting.
    void SetIcon(unsigned icon_resource_id, bool big);
    bool IsIconic() const;
    void GetClientSize(int* width, int* height) const;
    static void GetIconMetrics(int* width, int* height);
    // Only inside OnPaint: erase the minimised window's background and draw the icon.
    void EraseIconBackground();
    void DrawIcon(int x, int y, unsigned icon_resource_id);

    // The back-end's part of this window (tests of a back-end reach their own API through it).
    DialogBackend* Backend() const { return m_backend.get(); }

protected:
    // Handlers. Each returns after doing its work; none may block except through DoModal
    // of another dialog or UiSleep.
    virtual bool OnInitDialog() { return true; }
    // BN_CLICKED of a push button, by control id. IDOK and IDCANCEL buttons that the
    // derived class does not handle end the dialog (the base OnOK/OnCancel).
    virtual void OnCommand(unsigned control_id);
    virtual void OnTimer(unsigned timer_id) { (void)timer_id; }
    // A system-menu command; false leaves it to the platform's default processing.
    virtual bool OnSysCommand(unsigned command_id) {
        (void)command_id;
        return false;
    }
    // Painting; false leaves it to the platform's default processing.
    virtual bool OnPaint() { return false; }
    // The drag icon's resource id, 0 for the platform's default.
    virtual unsigned OnQueryDragIcon() { return 0; }
    // Esc, the close box, Alt+F4 or Enter asked to end the dialog with code (IDOK or
    // IDCANCEL); true lets the base OnOK/OnCancel end it.
    virtual bool OnCloseRequest(int code) {
        (void)code;
        return true;
    }

private:
    friend class DialogBackend;
    unsigned m_template_id;
    std::unique_ptr<DialogBackend> m_backend;
};

// Blocks the UI thread for ms milliseconds, handling nothing meanwhile (timer ticks that
// fall due are delivered late, as one). The headless back-end advances its virtual clock.
void UiSleep(unsigned ms);

// A catalogue text by id from the language table the platform chose; empty when missing.
std::string LoadStringById(unsigned id);
