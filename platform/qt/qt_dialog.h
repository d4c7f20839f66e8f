// The Qt 6 Widgets back-end of the dialog base class (platform/dialog.h): one QDialog per
// template, the controls placed from res/catalogue/catalogue.h in dialog units converted
// with the dialog font's metrics.
//
// How the platform's dialog manager is mapped onto Qt:
// - DoModal builds the window as a child of the topmost open dialog (its owner) and runs
//   it application-modal with QDialog::exec(): the owner takes no input meanwhile.
// - Timers are QTimers whose timeout only queues the tick as a call on the event loop. Qt
//   does not fire a timer again while the handler of its previous shot is still running,
//   so a tick handler that opens a nested dialog would silence its own timer; queued ticks
//   keep coming, nested inside the inner loop, once a second. One tick at most is queued
//   per timer: ticks that fall due while the UI thread is blocked arrive as one.
// - Esc, the close box, Alt+F4 (with a system menu) and Enter without a default button ask
//   OnCloseRequest; a focused push button takes Enter (and Space) as its click, as on
//   Windows. A focused control that is disabled leaves the focus with the window itself, not
//   with the next control; Enter then asks nothing.
// - The window's font is the desktop's, face and size; dialog units follow it.
// - A window that another X client destroys counts as closed by the user: the dialogs from
//   the innermost down to it get a close request, so the main window's teardown still runs.
// - Every window has one size, its template's. On Wayland, where placement is the
//   compositor's, a nested dialog names its owner as its parent, and a maximise that the
//   compositor grants is undone at once.
// - Qt has no system menu to extend: the items a window appends go into its context menu
//   (right click anywhere on the window), and F1 opens the first of them.
#pragma once

#include <QIcon>
#include <QImage>
#include <QRect>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialog.h"

class QDialog;
class QWidget;

namespace qtdialog {

// The dialog font's base units in pixels: the average width of the 52 letters of the
// alphabet and the font's height, as the platform measures a dialog font.
struct BaseUnits {
    int x;
    int y;
};
BaseUnits DialogBaseUnits();
// A rectangle in dialog units to pixels with those base units (x by x/4, y by y/8,
// rounded to nearest).
QRect MapDialogRect(int x, int y, int cx, int cy);

// The window of an open dialog, or null.
QDialog* Window(const CDialog& dialog);
// The widget of a control of an open dialog, or null. Every control's widget is also named
// "control_<id>" for QObject::findChild.
QWidget* Control(const CDialog& dialog, unsigned control_id);
// The innermost open dialog, or null; how many are open.
CDialog* Topmost();
int OpenCount();

// A progress bar as last set: its 16-bit range, the position as given, and the share of
// the bar shown filled, 0 to 10000.
struct ProgressState {
    uint16_t minimum;
    uint16_t maximum;
    int position;
    int filled;
};
ProgressState Progress(const CDialog& dialog, unsigned control_id);

// The items appended to a window's system menu, which this back-end shows as the window's
// context menu, and the window icons: dialogchrome::SystemMenu and WindowIcon.

// Called with each dialog once its OnInitDialog has run and before its modal loop starts
// (not for a dialog that ended during its initialisation). Null removes the hook.
void SetOpenHook(std::function<void(CDialog&)> hook);

// Brings the innermost open dialog to the front (the running instance, asked by a second
// start). Call on the UI thread.
void ActivateTopmost();

// Icons from the icon resources linked into the program (type "ICON", by id), decoded from
// the Windows icon format: every image, with its AND mask as transparency.
struct IconImage {
    int width;
    int height;
    int bits_per_pixel;
    QImage image;  // ARGB32
};
std::vector<IconImage> DecodeIconFile(const unsigned char* data, size_t size);
// The resource's images as one QIcon, the deepest image of each size, together with the
// theme's PNG drawings of that icon where the program carries them (resources "PNG<size>"
// of the same id, one for each size the icon tool draws), which take the place of an image
// of the same size; a null icon when the icon resource is missing or unreadable.
QIcon IconFromResource(unsigned icon_id);

}  // namespace qtdialog
