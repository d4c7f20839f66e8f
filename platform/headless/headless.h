// The headless back-end of the dialog base class: no window at all, a virtual clock and a
// scripted event loop. A test queues actions (press a button, let time pass, call back),
// then runs a dialog modally; each modal loop, nested ones included, dispatches what is due
// and, when nothing is, runs the next queued action. So a script reads as what a user does
// over time, and whatever window is on top when an action comes due receives it.
//
// Rules of the loop, the same as the platform's dialog manager keeps:
// - Every open dialog's timers tick, also those of owners under a nested modal dialog, and
//   their handlers run nested inside the inner loop.
// - A timer that fell due several times while the thread was blocked (UiSleep) ticks once.
// - User input (buttons, keys, close box, system menu) reaches only the topmost dialog; an
//   owner under a modal dialog is disabled. A disabled button gives no click.
// - Keyboard focus: when OnInitDialog returns true, the first enabled tab-stop control of the
//   template takes it. A focused control that is disabled loses it, and then no control has
//   the focus: Space and Enter reach no button until the test gives one the focus again.
// - EndDialog and PostClose take effect once the current handler has returned.
// - When the script has run out while a dialog is still open, the loop ends that dialog
//   with HEADLESS_RAN_DRY and RanDry() becomes true: a test script that forgot a step
//   ends instead of hanging.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialog.h"

namespace headless {

constexpr int HEADLESS_RAN_DRY = -2;
// The platform's close command in the system menu.
constexpr unsigned SC_CLOSE_COMMAND = 0xF060;

// Forgets every queued action, hook, record and timer and sets the clock to 0. No dialog
// may be open.
void Reset();

// The virtual clock, in milliseconds since Reset.
long long NowMs();

// ---- The script ---------------------------------------------------------------------
// Queues an action; it runs when the innermost modal loop has nothing due.
void Then(std::function<void()> action);
// Lets ms of virtual time pass (timers tick on the way) before the next action runs.
void ThenAdvance(long long ms);
// Input to whatever dialog is topmost when the action runs.
void ThenPress(unsigned control_id);
enum class Key { ESCAPE, ENTER, SPACE, ALT_F4 };
void ThenKey(Key key);
void ThenCloseBox();
void ThenSysCommand(unsigned command_id);
// Actions not yet run.
size_t PendingActions();
// Inside an action: lets ms more pass before the next action runs.
void AdvanceBy(long long ms);

// Calls fn each time a dialog of this template has finished OnInitDialog, before its modal
// loop starts.
void OnOpen(unsigned template_id, std::function<void(CDialog&)> fn);

// ---- Input, at once (from inside an action or hook) ----------------------------------
// Each returns true when the input reached a handler of the topmost dialog.
bool Press(unsigned control_id);
// Presses a button of a given dialog: false unless that dialog is the topmost one, the
// control is a button and it is enabled.
bool PressIn(CDialog& dialog, unsigned control_id);
// Esc asks the close request IDCANCEL. Enter presses the focused push button, else the
// template's default push button; where there is neither, it asks the close request IDOK,
// unless the focus was taken from a disabled control (then Enter does nothing). Space presses
// the focused push button, else nothing. Alt+F4 acts as the close box.
bool PressKey(Key key);
// The close box: only on a dialog with a system menu; asks the close request IDCANCEL.
bool CloseBox();
// Gives a control of the topmost dialog the keyboard focus, as Tab or a click would: false
// unless it is an enabled tab-stop control.
bool SetFocus(unsigned control_id);
// The control of the dialog that has the keyboard focus, 0 for none.
unsigned FocusedControl(const CDialog& dialog);
// A system-menu command: the dialog's handler, else the default processing (the close
// command closes, the others are only counted).
bool SysCommand(unsigned command_id);
// Paints the dialog: true when its handler painted, false when the default processing did.
bool Paint(CDialog& dialog);
unsigned QueryDragIcon(CDialog& dialog);

// ---- What the dialogs show -----------------------------------------------------------
CDialog* Topmost();
CDialog* FindOpen(unsigned template_id);
int OpenCount();
// Template ids of every DoModal since Reset, in order.
std::vector<unsigned> OpenedTemplates();
bool RanDry();
// True once EndDialog has taken the dialog out of the user's hands (a real window is hidden
// then), although its modal loop runs until the current handler has returned.
bool Ended(const CDialog& dialog);
// Calls a dialog made while it was not open, or with a control id its template lacks:
// a real window would fail them silently; tests expect none.
int StrayCalls();

struct TimerInfo {
    unsigned id;
    unsigned period_ms;
    long long next_due_ms;
    long long ticks;  // delivered so far
};
std::vector<TimerInfo> Timers(const CDialog& dialog);
bool HasTimer(const CDialog& dialog, unsigned timer_id);

struct ProgressInfo {
    uint16_t minimum;
    uint16_t maximum;
    int position;  // as last set
    int shown;     // the position the bar shows: clamped to the range
    int range_sets;
    int position_sets;
};
ProgressInfo Progress(const CDialog& dialog, unsigned control_id);

// The system menu's items and the window icons: dialogchrome::SystemMenu and WindowIcon.
struct DrawnIcon {
    int x;
    int y;
    unsigned icon_id;
};
std::vector<DrawnIcon> DrawnIcons(const CDialog& dialog);
int ErasedIconBackgrounds(const CDialog& dialog);
int DefaultSysCommands(const CDialog& dialog);
int DefaultPaints(const CDialog& dialog);

// Window state a test sets.
void SetIconic(CDialog& dialog, bool iconic);
void SetClientSize(CDialog& dialog, int width, int height);
// The platform's icon size (32 by 32 unless set).
void SetIconMetrics(int width, int height);

}  // namespace headless
