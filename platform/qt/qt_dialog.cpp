// The Qt back-end of CDialog; see qt_dialog.h for how the dialog manager's rules map onto Qt.
#include "platform/qt/qt_dialog.h"

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <thread>

#include "platform/dialog_chrome/dialog_chrome.h"
#include "res/catalogue/catalogue.h"

namespace {

constexpr uint32_t WS_SYSMENU_STYLE = 0x00080000u;
constexpr uint32_t WS_TABSTOP_STYLE = 0x00010000u;
constexpr uint32_t WS_EX_APPWINDOW_STYLE = 0x00040000u;
constexpr uint32_t BUTTON_TYPE_MASK = 0x0000000Fu;
constexpr uint32_t BS_DEFPUSHBUTTON_STYLE = 0x00000001u;
constexpr uint32_t STATIC_TYPE_MASK = 0x0000001Fu;
constexpr uint32_t SS_ICON_STYLE = 0x00000003u;
constexpr uint32_t SS_ETCHEDHORZ_STYLE = 0x00000010u;
constexpr uint32_t SS_NOPREFIX_STYLE = 0x00000080u;
constexpr unsigned SC_CLOSE_COMMAND = 0xF060;
// The platform raises shorter timer periods to this.
constexpr unsigned MINIMUM_TIMER_PERIOD_MS = 10;
// How long a request to maximise may go unanswered before it counts as refused.
constexpr int MAXIMISE_REFUSED_MS = 1000;
// The progress bar's own scale: the share filled, in ten-thousandths.
constexpr int BAR_SCALE = 10000;

// Round-to-nearest a * b / c, as the platform's MulDiv.
int MulDiv(int a, int b, int c) {
    const long long p = static_cast<long long>(a) * b;
    return static_cast<int>(p >= 0 ? (p + c / 2) / c : -((-p + c / 2) / c));
}

// A static control without SS_NOPREFIX treats '&' as the mnemonic marker: the marker is
// not shown, and "&&" shows one ampersand.
QString StaticText(const std::string& text, uint32_t style) {
    const QString raw = QString::fromUtf8(text.c_str());
    if (style & SS_NOPREFIX_STYLE) return raw;
    QString shown;
    for (int i = 0; i < raw.size(); ++i) {
        if (raw[i] == QLatin1Char('&') && i + 1 < raw.size()) ++i;
        shown += raw[i];
    }
    return shown;
}

QFont TemplateFont(const DialogTemplate& t) {
    // The face and size stored in the templates stand for the platform's dialog font: here
    // the desktop's interface font as the user set it, face and size, and the windows grow
    // with it, since the templates are in dialog units. A size forced on it would ignore a
    // user who needs larger text.
    QFont font = QApplication::font();
    if (t.italic) font.setItalic(true);
    if (t.font_weight >= 600) font.setBold(true);
    return font;
}

qtdialog::BaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The height as text is laid out, rounded up: a control one base unit tall then holds a
    // whole line, descenders included (QFontMetrics::height rounds to nearest).
    return {(width / 26 + 1) / 2, int(std::ceil(QFontMetricsF(font).height() - 1e-6))};
}

QRect MapRect(const qtdialog::BaseUnits& u, int x, int y, int cx, int cy) {
    return QRect(MulDiv(x, u.x, 4), MulDiv(y, u.y, 8), MulDiv(cx, u.x, 4), MulDiv(cy, u.y, 8));
}

class QtDialogWindow;

}  // namespace

class DialogBackend {
public:
    explicit DialogBackend(CDialog* dialog) : m_dialog(dialog) {}

    struct Control {
        const ControlTemplate* tmpl;
        QWidget* widget;
        std::string text;  // as set, before any mnemonic processing
        qtdialog::ProgressState progress{0, 100, 0, 0};
    };
    struct TimerSlot {
        QTimer* timer = nullptr;
        bool queued = false;         // a tick waits on the event loop
        unsigned long long run = 0;  // which SetTimer this slot belongs to
    };

    CDialog* m_dialog;
    const DialogTemplate* m_template = nullptr;
    QtDialogWindow* m_window = nullptr;
    bool m_open = false;
    bool m_ended = false;
    int m_result = 0;
    std::map<unsigned, Control> m_controls;
    std::map<unsigned, TimerSlot> m_timers;
    dialogchrome::Chrome m_chrome;
    QPainter* m_painter = nullptr;  // only while OnPaint runs
    unsigned long long m_timer_runs = 0;
    // The focused control was disabled: no control has the focus now, as on the platform,
    // where keys then reach no button until the user gives one the focus again.
    bool m_focus_parked = false;
    // Another program destroyed the window (X11): it can only be closed now.
    bool m_window_gone = false;

    bool Live() const { return m_open && !m_ended; }
    bool HasSystemMenu() const { return m_chrome.has_system_menu; }
    Control* Find(unsigned id) {
        auto it = m_controls.find(id);
        return it == m_controls.end() ? nullptr : &it->second;
    }

    // The dialog's handlers; only the back-end calls them.
    bool CallInit() { return m_dialog->OnInitDialog(); }
    void CallCommand(unsigned id) { m_dialog->OnCommand(id); }
    void CallTimer(unsigned id) { m_dialog->OnTimer(id); }
    bool CallSysCommand(unsigned id) { return m_dialog->OnSysCommand(id); }
    bool CallPaint() { return m_dialog->OnPaint(); }

    // Esc, the close box, Alt+F4, Enter, a posted close: the dialog may refuse.
    void CloseRequest(int code) {
        if (!Live()) return;
        if (m_dialog->OnCloseRequest(code)) m_dialog->EndDialog(code);
    }

    void SysCommand(unsigned id) {
        if (!Live()) return;
        if (CallSysCommand(id)) return;
        // Default processing: of the platform's commands only closing means anything here.
        if (id == SC_CLOSE_COMMAND) CloseRequest(IDCANCEL);
    }

    // The timer's shot: queue one tick unless one already waits.
    void TimerShot(unsigned id);
    void DeliverTick(unsigned id, unsigned long long run) {
        auto it = m_timers.find(id);
        if (!Live() || it == m_timers.end() || it->second.run != run) return;
        // Cleared before the handler runs, so that ticks can queue while it waits in a
        // nested dialog.
        it->second.queued = false;
        CallTimer(id);
    }

    void Press(unsigned id) {
        if (Live()) CallCommand(id);
    }

    void UpdateBar(Control& c) {
        qtdialog::ProgressState& p = c.progress;
        const int span = int(p.maximum) - int(p.minimum);
        if (span <= 0) {
            p.filled = p.position >= int(p.maximum) ? BAR_SCALE : 0;
        } else {
            const int at = std::clamp(p.position, int(p.minimum), int(p.maximum)) - int(p.minimum);
            p.filled = MulDiv(at, BAR_SCALE, span);
        }
        static_cast<QProgressBar*>(c.widget)->setValue(p.filled);
    }
};

namespace {

struct World {
    std::vector<CDialog*> stack;  // open dialogs, innermost last
    std::function<void(CDialog&)> open_hook;
};

World& W() {
    static World world;
    return world;
}

class QtDialogWindow final : public QDialog {
public:
    QtDialogWindow(DialogBackend* backend, QWidget* owner, Qt::WindowFlags flags)
        : QDialog(owner, flags), m_backend(backend) {}

    void Detach() { m_backend = nullptr; }

    // The window's one size, from its template.
    void FixSize(const QSize& size) {
        m_size = size;
        setFixedSize(size);
    }

    void reject() override {
        if (m_backend != nullptr) m_backend->CloseRequest(IDCANCEL);
    }
    void accept() override {
        if (m_backend != nullptr) m_backend->CloseRequest(IDOK);
    }

protected:
    // On Wayland, Qt 6.4's own title bar offers to maximise even a window of fixed size, and a
    // compositor that grants it (weston) ends the program's connection unless the window takes
    // the size it is given. The window then goes along for a moment, asks at once to be
    // restored, and takes its own size again; a compositor that refuses (most do, for a window
    // of fixed size) sends nothing, and the window keeps its size.
    void showEvent(QShowEvent* e) override {
        if (!m_watching_states && windowHandle() != nullptr &&
            QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
            m_watching_states = true;
            connect(windowHandle(), &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
                if (state != Qt::WindowMaximized || m_unfixed) return;
                m_unfixed = true;
                setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
                QTimer::singleShot(MAXIMISE_REFUSED_MS, this, [this] {
                    if (m_unfixed && size() == m_size) Refix();
                });
            });
        }
        QDialog::showEvent(e);
    }

    void resizeEvent(QResizeEvent* e) override {
        if (m_unfixed) {
            if (size() != m_size) {
                QTimer::singleShot(0, this, [this] { showNormal(); });
            } else {
                Refix();
            }
        }
        QDialog::resizeEvent(e);
    }

    void keyPressEvent(QKeyEvent* e) override {
        DialogBackend* b = m_backend;
        if (b == nullptr) return QDialog::keyPressEvent(e);
        const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
        if (e->key() == Qt::Key_Escape && mods == Qt::NoModifier) {
            b->CloseRequest(IDCANCEL);
        } else if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && mods == Qt::NoModifier) {
            // A focused push button has taken Enter as its click already; this is the
            // dialog's own Enter: the default push button, else IDOK; nothing at all when the
            // focus was taken away from a disabled control (a run's Update button) and no
            // control has it now.
            for (auto& [id, c] : b->m_controls) {
                if (std::string(c.tmpl->window_class) == "BUTTON" &&
                    (c.tmpl->style & BUTTON_TYPE_MASK) == BS_DEFPUSHBUTTON_STYLE) {
                    if (c.widget->isEnabled()) static_cast<QPushButton*>(c.widget)->click();
                    return;
                }
            }
            if (b->m_focus_parked && (focusWidget() == nullptr || focusWidget() == this)) return;
            b->CloseRequest(IDOK);
        } else if (e->key() == Qt::Key_F4 && mods == Qt::AltModifier) {
            // Where no window manager takes Alt+F4 for itself, the window does, as the
            // platform's default window procedure would.
            if (b->HasSystemMenu()) b->SysCommand(SC_CLOSE_COMMAND);
        } else if (e->key() == Qt::Key_F1 && mods == Qt::NoModifier) {
            for (const dialogchrome::MenuItem& item : b->m_chrome.menu) {
                if (!item.separator) {
                    QueueSysCommand(item.id);
                    break;
                }
            }
        } else {
            QDialog::keyPressEvent(e);
        }
    }

    void closeEvent(QCloseEvent* e) override {
        DialogBackend* b = m_backend;
        if (b == nullptr || b->m_ended) {
            e->accept();
            return;
        }
        // The close box: only a window with a system menu has one.
        e->ignore();
        if (b->HasSystemMenu()) b->SysCommand(SC_CLOSE_COMMAND);
    }

    void contextMenuEvent(QContextMenuEvent* e) override {
        DialogBackend* b = m_backend;
        if (b == nullptr || b->m_chrome.menu.empty()) return QDialog::contextMenuEvent(e);
        auto* menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->setSeparatorsCollapsible(true);
        for (const dialogchrome::MenuItem& item : b->m_chrome.menu) {
            if (item.separator) {
                menu->addSeparator();
            } else {
                const unsigned id = item.id;
                QAction* action = menu->addAction(QString::fromUtf8(item.text.c_str()));
                connect(action, &QAction::triggered, this, [this, id] { QueueSysCommand(id); });
            }
        }
        menu->popup(e->globalPos());
        e->accept();
    }

    void paintEvent(QPaintEvent* e) override {
        DialogBackend* b = m_backend;
        if (b != nullptr && b->Live()) {
            QPainter painter(this);
            b->m_painter = &painter;
            const bool painted = b->CallPaint();
            b->m_painter = nullptr;
            if (painted) return;
        }
        QDialog::paintEvent(e);
    }

private:
    // The command runs from the event loop once the menu or key handling has finished, as
    // the platform posts WM_SYSCOMMAND.
    void QueueSysCommand(unsigned id) {
        QMetaObject::invokeMethod(
            this,
            [this, id] {
                if (m_backend != nullptr) m_backend->SysCommand(id);
            },
            Qt::QueuedConnection);
    }

    void Refix() {
        m_unfixed = false;
        if (isMaximized()) showNormal();
        setFixedSize(m_size);
    }

    DialogBackend* m_backend;
    QSize m_size;
    bool m_watching_states = false;
    bool m_unfixed = false;  // a maximised state is being undone
};

DialogBackend& B(const CDialog& d) { return *d.Backend(); }

DialogBackend* OpenBackend(const CDialog& d) {
    DialogBackend& b = B(d);
    return b.m_open ? &b : nullptr;
}

DialogBackend::Control* OpenControl(const CDialog& d, unsigned id) {
    DialogBackend* b = OpenBackend(d);
    return b == nullptr ? nullptr : b->Find(id);
}

// A window that another program destroyed counts as closed by the user: the dialogs from the
// innermost down to that one each get a close request, one after the other as each modal loop
// ends, so that the main window's teardown runs and the program ends instead of waiting on
// with no window and the single-instance lock held.
void CloseDownToGoneWindow() {
    const std::vector<CDialog*>& stack = W().stack;
    const bool any_gone =
        std::any_of(stack.begin(), stack.end(), [](CDialog* d) { return B(*d).m_window_gone; });
    if (!any_gone) return;
    DialogBackend* top = &B(*stack.back());
    QMetaObject::invokeMethod(
        top->m_window, [top] { top->CloseRequest(IDCANCEL); }, Qt::QueuedConnection);
}

// Another X client (xdotool windowclose, a window manager gone wrong) can destroy a window of
// ours, and Qt does not notice: the destruction is seen here. The event goes on to Qt.
class GoneWindowFilter final : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override {
        (void)result;
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY) return false;
        const uint32_t window = reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window;
        for (CDialog* open : W().stack) {
            DialogBackend& b = B(*open);
            if (b.m_window != nullptr && b.m_window->internalWinId() == window && !b.m_window_gone) {
                b.m_window_gone = true;
                CloseDownToGoneWindow();
            }
        }
        return false;
    }
};

void WatchForGoneWindows() {
    static GoneWindowFilter* filter = nullptr;
    if (filter != nullptr) return;
    filter = new GoneWindowFilter;
    qApp->installNativeEventFilter(filter);
}

// The main window's message area shows what a run is doing and how it ended. A screen reader
// speaks a label's new text only while the label has the focus, which a message area never
// has; what it does speak unasked is a notification that comes into view. So the message
// label sits in a notification area of its own size, shown afresh whenever the label's text
// changes (AT-SPI: object:state-changed:showing from an object of role notification). A
// screen reader reading the whole window still finds the label inside it.
class NotificationArea final : public QWidget {
public:
    explicit NotificationArea(QWidget* window) : QWidget(window) { window->installEventFilter(this); }

    // Tells a screen reader that the text inside is new, when the user can see it.
    void Announce() {
        if (!isVisible()) return;
        // Hidden and shown again before anything is painted: nothing flickers.
        hide();
        show();
        // A window that is not active now is about to be (an outcome comes as the progress
        // window closes): when the window manager activates it, the screen reader reads
        // the window's title and cuts this announcement short, so it is told once more then.
        m_retell_until = window()->isActiveWindow() ? Clock::time_point() : Clock::now() + RETELL_WITHIN;
    }

    static QAccessibleInterface* Accessible(const QString&, QObject* object) {
        auto* area = dynamic_cast<NotificationArea*>(object);
        return area == nullptr ? nullptr : new QAccessibleWidget(area, QAccessible::Notification);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override {
        if (e->type() == QEvent::WindowActivate && watched == window() && Clock::now() < m_retell_until) {
            m_retell_until = Clock::time_point();
            // After the window's own activation and focus events, which the screen reader
            // speaks first.
            QMetaObject::invokeMethod(
                this, [this] { Announce(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    using Clock = std::chrono::steady_clock;
    // Activation later than this is the user coming back to the window, which the screen
    // reader presents by itself.
    static constexpr std::chrono::seconds RETELL_WITHIN{2};
    Clock::time_point m_retell_until;
};

bool IsNotificationArea(const DialogTemplate& t, const ControlTemplate& c) {
    return t.id == IDD_UPDATER && c.id == IDC_MESSAGE;
}

QWidget* MakeControl(const ControlTemplate& c, QWidget* parent, const qtdialog::BaseUnits& units,
                     bool notification_area) {
    const std::string cls = c.window_class;
    QRect rect = MapRect(units, c.x, c.y, c.cx, c.cy);
    QWidget* widget = nullptr;
    if (notification_area) {
        static const bool installed = (QAccessible::installFactory(NotificationArea::Accessible), true);
        (void)installed;
        auto* area = new NotificationArea(parent);
        area->setGeometry(rect);
        parent = area;
        rect.moveTopLeft(QPoint(0, 0));
    }
    if (cls == "BUTTON") {
        auto* button = new QPushButton(QString::fromUtf8(c.text), parent);
        button->setAutoDefault(true);
        button->setDefault((c.style & BUTTON_TYPE_MASK) == BS_DEFPUSHBUTTON_STYLE);
        widget = button;
    } else if (cls == "msctls_progress32") {
        // The template text ("Progress1") is not shown by a bar.
        auto* bar = new QProgressBar(parent);
        bar->setRange(0, BAR_SCALE);
        bar->setValue(0);
        bar->setTextVisible(false);
        widget = bar;
    } else if ((c.style & STATIC_TYPE_MASK) == SS_ETCHEDHORZ_STYLE) {
        auto* line = new QFrame(parent);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        rect.setHeight(std::max(rect.height(), 2));
        widget = line;
    } else if ((c.style & STATIC_TYPE_MASK) == SS_ICON_STYLE) {
        // An icon control takes the size of the platform's large icon.
        auto* label = new QLabel(parent);
        int w = 32, h = 32;
        CDialog::GetIconMetrics(&w, &h);
        rect.setSize(QSize(w, h));
        label->setPixmap(qtdialog::IconFromResource(c.icon_id).pixmap(w, h));
        widget = label;
    } else {
        auto* label = new QLabel(StaticText(c.text, c.style), parent);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget = label;
    }
    widget->setObjectName(QStringLiteral("control_%1").arg(c.id));
    widget->setGeometry(rect);
    widget->setFocusPolicy((c.style & WS_TABSTOP_STYLE) ? Qt::StrongFocus : Qt::NoFocus);
    return widget;
}

}  // namespace

void DialogBackend::TimerShot(unsigned id) {
    auto it = m_timers.find(id);
    if (!Live() || it == m_timers.end() || it->second.queued) return;
    it->second.queued = true;
    const unsigned long long run = it->second.run;
    QMetaObject::invokeMethod(
        m_window, [this, id, run] { DeliverTick(id, run); }, Qt::QueuedConnection);
}

// ---- CDialog --------------------------------------------------------------------------

CDialog::CDialog(unsigned template_id)
    : m_template_id(template_id), m_backend(std::make_unique<DialogBackend>(this)) {}

CDialog::~CDialog() = default;

int CDialog::DoModal() {
    DialogBackend& b = *m_backend;
    const DialogTemplate* t = FindDialogTemplate(m_template_id);
    if (t == nullptr || b.m_open || qApp == nullptr) return -1;
    World& w = W();
    WatchForGoneWindows();
    QWidget* owner = w.stack.empty() ? nullptr : B(*w.stack.back()).m_window;

    Qt::WindowFlags flags =
        (t->ex_style & WS_EX_APPWINDOW_STYLE) && owner == nullptr ? Qt::Window : Qt::Dialog;
    // Caption and modal frame; no minimise or maximise box in any template; a close box
    // only with a system menu.
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (t->style & WS_SYSMENU_STYLE) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    auto* window = new QtDialogWindow(&b, owner, flags);
    window->setWindowModality(Qt::ApplicationModal);
    window->setFont(TemplateFont(*t));
    const qtdialog::BaseUnits units = BaseUnitsOf(window->font());
    window->FixSize(MapRect(units, 0, 0, t->cx, t->cy).size());

    b.m_template = t;
    b.m_window = window;
    b.m_open = true;
    b.m_ended = false;
    b.m_result = 0;
    b.m_controls.clear();
    b.m_timers.clear();
    b.m_chrome.Open(*t);
    b.m_focus_parked = false;
    b.m_window_gone = false;
    // Template order is creation order, which is Qt's tab order.
    for (int i = 0; i < t->control_count; ++i) {
        const ControlTemplate& c = t->controls[i];
        QWidget* widget = MakeControl(c, window, units, IsNotificationArea(*t, c));
        b.m_controls[c.id] = DialogBackend::Control{&c, widget, c.text, {0, 100, 0, 0}};
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            const unsigned id = c.id;
            // A disabled button gives no click: Qt emits nothing for it.
            QObject::connect(button, &QPushButton::clicked, window, [&b, id] { b.Press(id); });
        }
    }
    w.stack.push_back(this);

    (void)b.CallInit();
    if (!b.m_ended && w.open_hook) w.open_hook(*this);
    if (!b.m_ended) (void)window->exec();

    for (auto& [id, slot] : b.m_timers) slot.timer->stop();
    b.m_timers.clear();
    w.stack.erase(std::find(w.stack.begin(), w.stack.end(), this));
    // An owner whose window is gone closes next.
    if (!w.stack.empty()) CloseDownToGoneWindow();
    b.m_open = false;
    b.m_controls.clear();
    b.m_window = nullptr;
    window->Detach();
    // Deleting the window also drops the ticks and closes it still had queued.
    delete window;
    return b.m_result;
}

bool CDialog::IsOpen() const { return m_backend->m_open; }

void CDialog::EndDialog(int result) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr || b->m_ended) return;
    b->m_ended = true;
    b->m_result = result;
    // Hides the window at once; its modal loop ends when the current handler returns.
    b->m_window->done(result);
}

void CDialog::PostClose() {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    QMetaObject::invokeMethod(
        b->m_window, [b] { b->CloseRequest(IDCANCEL); }, Qt::QueuedConnection);
}

void CDialog::OnCommand(unsigned control_id) {
    if (control_id == IDOK) OnOK();
    if (control_id == IDCANCEL) OnCancel();
}

void CDialog::SetWindowText(const std::string& text) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    const QString title = QString::fromUtf8(text.c_str());
    b->m_window->setWindowTitle(title);
    // A progress bar has no label of its own: the title of its window says what progresses,
    // and a screen reader names the bar with it.
    for (auto& [id, c] : b->m_controls) {
        if (auto* bar = qobject_cast<QProgressBar*>(c.widget)) bar->setAccessibleName(title);
    }
}

std::string CDialog::GetWindowText() const {
    DialogBackend* b = OpenBackend(*this);
    return b == nullptr ? std::string() : b->m_window->windowTitle().toStdString();
}

void CDialog::SetDlgItemText(unsigned control_id, const std::string& text) {
    DialogBackend::Control* c = OpenControl(*this, control_id);
    if (c == nullptr) return;
    c->text = text;
    if (auto* button = qobject_cast<QPushButton*>(c->widget)) {
        button->setText(QString::fromUtf8(text.c_str()));
    } else if (auto* label = qobject_cast<QLabel*>(c->widget)) {
        const QString shown = StaticText(text, c->tmpl->style);
        if (label->pixmap().isNull() && label->text() != shown) {
            label->setText(shown);
            if (auto* area = dynamic_cast<NotificationArea*>(label->parentWidget())) area->Announce();
        }
    }
    // Shown at once, as the platform repaints a control when its text changes.
    c->widget->repaint();
}

std::string CDialog::GetDlgItemText(unsigned control_id) const {
    DialogBackend::Control* c = OpenControl(*this, control_id);
    return c == nullptr ? std::string() : c->text;
}

void CDialog::EnableDlgItem(unsigned control_id, bool enable) {
    DialogBackend::Control* c = OpenControl(*this, control_id);
    if (c == nullptr) return;
    if (!enable && B(*this).m_window->focusWidget() == c->widget) {
        // Qt would pass the focus on to the next control, and a stray Space or Enter would
        // then press it: the Update button disabled for a run would hand its Space to
        // Cancel and end the program mid-update. As on the platform, no control keeps the
        // focus; the window itself holds it, also when it is activated again later.
        DialogBackend& b = B(*this);
        b.m_focus_parked = true;
        b.m_window->setFocus(Qt::OtherFocusReason);
    }
    c->widget->setEnabled(enable);
}

bool CDialog::IsDlgItemEnabled(unsigned control_id) const {
    DialogBackend::Control* c = OpenControl(*this, control_id);
    return c != nullptr && c->widget->isEnabled();
}

bool CDialog::SetTimer(unsigned timer_id, unsigned period_ms) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return false;
    DialogBackend::TimerSlot& slot = b->m_timers[timer_id];
    if (slot.timer == nullptr) {
        slot.timer = new QTimer(b->m_window);
        slot.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(slot.timer, &QTimer::timeout, b->m_window,
                         [b, timer_id] { b->TimerShot(timer_id); });
    }
    // Setting an existing timer again starts its period afresh; a tick it had queued is
    // dropped.
    slot.run = ++b->m_timer_runs;
    slot.queued = false;
    slot.timer->start(static_cast<int>(std::max(period_ms, MINIMUM_TIMER_PERIOD_MS)));
    return true;
}

void CDialog::KillTimer(unsigned timer_id) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    auto it = b->m_timers.find(timer_id);
    if (it == b->m_timers.end()) return;
    it->second.timer->stop();
    it->second.timer->deleteLater();
    b->m_timers.erase(it);
}

void CDialog::SetProgressRange(unsigned control_id, uint16_t minimum, uint16_t maximum) {
    DialogBackend::Control* c = OpenControl(*this, control_id);
    if (c == nullptr || qobject_cast<QProgressBar*>(c->widget) == nullptr) return;
    c->progress.minimum = minimum;
    c->progress.maximum = maximum;
    B(*this).UpdateBar(*c);
}

void CDialog::SetProgressPos(unsigned control_id, int position) {
    DialogBackend::Control* c = OpenControl(*this, control_id);
    if (c == nullptr || qobject_cast<QProgressBar*>(c->widget) == nullptr) return;
    c->progress.position = position;
    B(*this).UpdateBar(*c);
}

void CDialog::SetIcon(unsigned icon_resource_id, bool big) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    b->m_chrome.SetIcon(icon_resource_id, big);
    // Qt has one window icon holding every size: the window manager picks the big one for
    // the task switcher and the small one for the title bar from it.
    const QIcon icon = qtdialog::IconFromResource(icon_resource_id);
    if (!icon.isNull()) b->m_window->setWindowIcon(icon);
}

bool CDialog::IsIconic() const {
    DialogBackend* b = OpenBackend(*this);
    return b != nullptr && b->m_window->isMinimized();
}

void CDialog::GetClientSize(int* width, int* height) const {
    DialogBackend* b = OpenBackend(*this);
    *width = b == nullptr ? 0 : b->m_window->width();
    *height = b == nullptr ? 0 : b->m_window->height();
}

void CDialog::GetIconMetrics(int* width, int* height) {
    const int size = qApp != nullptr ? QApplication::style()->pixelMetric(QStyle::PM_LargeIconSize) : 32;
    *width = size;
    *height = size;
}

void CDialog::EraseIconBackground() {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr || b->m_painter == nullptr) return;
    b->m_painter->fillRect(b->m_window->rect(), b->m_window->palette().window());
}

void CDialog::DrawIcon(int x, int y, unsigned icon_resource_id) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr || b->m_painter == nullptr) return;
    int w = 32, h = 32;
    GetIconMetrics(&w, &h);
    b->m_painter->drawPixmap(x, y, qtdialog::IconFromResource(icon_resource_id).pixmap(w, h));
}

void UiSleep(unsigned ms) {
    // Blocks the UI thread: nothing is handled meanwhile, and timers that fall due arrive
    // late, as one.
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- The system menu and icons kept as data (platform/dialog_chrome) -------------------
// The items go into the window's context menu and F1; the window has them wherever its
// template asks for a system menu.

dialogchrome::Chrome* dialogchrome::OpenChrome(const CDialog& dialog) {
    DialogBackend* b = OpenBackend(dialog);
    return b == nullptr ? nullptr : &b->m_chrome;
}

// ---- The back-end's own API -----------------------------------------------------------

namespace qtdialog {

BaseUnits DialogBaseUnits() {
    const DialogTemplate* t = FindDialogTemplate(IDD_UPDATER);
    return BaseUnitsOf(TemplateFont(*t));
}

QRect MapDialogRect(int x, int y, int cx, int cy) { return MapRect(DialogBaseUnits(), x, y, cx, cy); }

QDialog* Window(const CDialog& dialog) {
    DialogBackend* b = OpenBackend(dialog);
    return b == nullptr ? nullptr : b->m_window;
}

QWidget* Control(const CDialog& dialog, unsigned control_id) {
    DialogBackend::Control* c = OpenControl(dialog, control_id);
    return c == nullptr ? nullptr : c->widget;
}

CDialog* Topmost() { return W().stack.empty() ? nullptr : W().stack.back(); }

int OpenCount() { return static_cast<int>(W().stack.size()); }

ProgressState Progress(const CDialog& dialog, unsigned control_id) {
    DialogBackend::Control* c = OpenControl(dialog, control_id);
    return c == nullptr ? ProgressState{0, 0, 0, 0} : c->progress;
}

void SetOpenHook(std::function<void(CDialog&)> hook) { W().open_hook = std::move(hook); }

void ActivateTopmost() {
    CDialog* top = Topmost();
    if (top == nullptr) return;
    QDialog* window = B(*top).m_window;
    if (window == nullptr || !window->isVisible()) return;
    if (window->isMinimized()) window->showNormal();
    window->raise();
    window->activateWindow();
}

}  // namespace qtdialog
