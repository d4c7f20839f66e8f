// The headless dialog back-end: CDialog over plain data, a virtual clock and the scripted
// event loop described in headless.h.
#include <algorithm>
#include <deque>
#include <map>
#include <utility>

#include "platform/dialog.h"
#include "platform/dialog_chrome/dialog_chrome.h"
#include "platform/headless/headless.h"
#include "res/catalogue/catalogue.h"

namespace {

constexpr uint32_t WS_TABSTOP_STYLE = 0x00010000u;
constexpr uint32_t BUTTON_TYPE_MASK = 0x0000000Fu;
constexpr uint32_t BS_DEFPUSHBUTTON_STYLE = 0x00000001u;
// The platform raises shorter timer periods to this.
constexpr unsigned MINIMUM_TIMER_PERIOD_MS = 10;
// Dialog units to pixels with the dialog font's average character cell.
constexpr int BASE_UNIT_X = 6;
constexpr int BASE_UNIT_Y = 12;

struct Control {
    std::string window_class;
    uint32_t style = 0;
    std::string text;
    bool enabled = true;
    uint16_t minimum = 0;
    uint16_t maximum = 100;
    int position = 0;
    int range_sets = 0;
    int position_sets = 0;
};

struct Timer {
    unsigned id;
    unsigned period_ms;
    long long due_ms;
    long long ticks;
    unsigned long long order;
};

}  // namespace

class DialogBackend {
public:
    explicit DialogBackend(CDialog* dialog) : m_dialog(dialog) {}

    CDialog* m_dialog;
    const DialogTemplate* m_template = nullptr;
    bool m_open = false;
    bool m_ended = false;
    int m_result = 0;
    std::string m_title;
    std::map<unsigned, Control> m_controls;
    std::vector<Timer> m_timers;
    dialogchrome::Chrome m_chrome;
    bool m_iconic = false;
    int m_client_width = 0;
    int m_client_height = 0;
    bool m_painting = false;
    std::vector<headless::DrawnIcon> m_drawn;
    int m_erased = 0;
    int m_default_sys_commands = 0;
    int m_default_paints = 0;
    unsigned m_focus = 0;         // the focused control, 0 for none
    bool m_focus_parked = false;  // taken from a control as it was disabled

    // The handlers are the dialog's own; only the back-end calls them.
    static bool CallInit(CDialog& d) { return d.OnInitDialog(); }
    static void CallCommand(CDialog& d, unsigned id) { d.OnCommand(id); }
    static void CallTimer(CDialog& d, unsigned id) { d.OnTimer(id); }
    static bool CallSysCommand(CDialog& d, unsigned id) { return d.OnSysCommand(id); }
    static bool CallPaint(CDialog& d) { return d.OnPaint(); }
    static unsigned CallQueryDragIcon(CDialog& d) { return d.OnQueryDragIcon(); }
    static bool CallCloseRequest(CDialog& d, int code) { return d.OnCloseRequest(code); }

    Control* Find(unsigned id) {
        auto it = m_controls.find(id);
        return it == m_controls.end() ? nullptr : &it->second;
    }
    bool HasSystemMenu() const { return m_chrome.has_system_menu; }
};

namespace {

struct World {
    long long now = 0;
    long long target = 0;
    std::vector<CDialog*> stack;  // open dialogs, innermost last
    std::deque<std::function<void()>> script;
    std::deque<CDialog*> posted_closes;
    std::map<unsigned, std::vector<std::function<void(CDialog&)>>> hooks;
    std::vector<unsigned> opened;
    bool ran_dry = false;
    int stray_calls = 0;
    int icon_width = 32;
    int icon_height = 32;
    unsigned long long timer_order = 0;
};

World& W() {
    static World world;
    return world;
}

DialogBackend& B(const CDialog& d) { return *d.Backend(); }

bool Live(const CDialog& d) { return B(d).m_open && !B(d).m_ended; }

// The backend of a dialog that must be open for the call to mean anything.
DialogBackend* OpenBackend(const CDialog& d) {
    DialogBackend& b = B(d);
    if (!b.m_open) {
        ++W().stray_calls;
        return nullptr;
    }
    return &b;
}

Control* OpenControl(const CDialog& d, unsigned id) {
    DialogBackend* b = OpenBackend(d);
    if (b == nullptr) return nullptr;
    Control* c = b->Find(id);
    if (c == nullptr) ++W().stray_calls;
    return c;
}

// Asks the dialog whether it may end with code, and ends it if so.
void CloseRequest(CDialog& d, int code) {
    if (DialogBackend::CallCloseRequest(d, code)) d.EndDialog(code);
}

bool DispatchPostedClose() {
    World& w = W();
    while (!w.posted_closes.empty()) {
        CDialog* d = w.posted_closes.front();
        w.posted_closes.pop_front();
        if (std::find(w.stack.begin(), w.stack.end(), d) == w.stack.end() || !Live(*d)) continue;
        CloseRequest(*d, IDCANCEL);
        return true;
    }
    return false;
}

// The earliest due timer of any open dialog, or null.
std::pair<CDialog*, Timer*> EarliestTimer() {
    std::pair<CDialog*, Timer*> best{nullptr, nullptr};
    for (CDialog* d : W().stack) {
        if (!Live(*d)) continue;
        for (Timer& t : B(*d).m_timers) {
            if (best.second == nullptr || t.due_ms < best.second->due_ms ||
                (t.due_ms == best.second->due_ms && t.order < best.second->order)) {
                best = {d, &t};
            }
        }
    }
    return best;
}

bool FireDueTimer() {
    World& w = W();
    auto [d, t] = EarliestTimer();
    if (t == nullptr || t->due_ms > w.now) return false;
    // Rescheduled before the handler runs, so that ticks nested in it see the next due time;
    // every due time that has passed collapses into this one tick.
    while (t->due_ms <= w.now) t->due_ms += t->period_ms;
    ++t->ticks;
    const unsigned id = t->id;
    DialogBackend::CallTimer(*d, id);
    return true;
}

int RunModalLoop(CDialog& d) {
    World& w = W();
    DialogBackend& b = B(d);
    while (!b.m_ended) {
        if (DispatchPostedClose()) continue;
        if (FireDueTimer()) continue;
        if (w.now < w.target) {
            auto next = EarliestTimer();
            long long step = w.target;
            if (next.second != nullptr && next.second->due_ms < step) step = next.second->due_ms;
            w.now = std::max(w.now, step);
            continue;
        }
        if (!w.script.empty()) {
            std::function<void()> action = std::move(w.script.front());
            w.script.pop_front();
            action();
            continue;
        }
        w.ran_dry = true;
        b.m_ended = true;
        b.m_result = headless::HEADLESS_RAN_DRY;
    }
    return b.m_result;
}

CDialog* TopmostLive() {
    CDialog* top = W().stack.empty() ? nullptr : W().stack.back();
    return top != nullptr && Live(*top) ? top : nullptr;
}

}  // namespace

// ---- CDialog --------------------------------------------------------------------------

CDialog::CDialog(unsigned template_id)
    : m_template_id(template_id), m_backend(std::make_unique<DialogBackend>(this)) {}

CDialog::~CDialog() = default;

int CDialog::DoModal() {
    World& w = W();
    DialogBackend& b = *m_backend;
    const DialogTemplate* t = FindDialogTemplate(m_template_id);
    if (t == nullptr || b.m_open) return -1;
    b.m_template = t;
    b.m_open = true;
    b.m_ended = false;
    b.m_result = 0;
    b.m_title.clear();
    b.m_controls.clear();
    b.m_timers.clear();
    b.m_chrome.Open(*t);
    b.m_drawn.clear();
    b.m_iconic = false;
    b.m_client_width = t->cx * BASE_UNIT_X / 4;
    b.m_client_height = t->cy * BASE_UNIT_Y / 8;
    for (int i = 0; i < t->control_count; ++i) {
        const ControlTemplate& c = t->controls[i];
        Control control;
        control.window_class = c.window_class;
        control.style = c.style;
        control.text = c.text;
        b.m_controls[c.id] = control;
    }
    w.stack.push_back(this);
    w.opened.push_back(m_template_id);

    b.m_focus = 0;
    b.m_focus_parked = false;
    if (DialogBackend::CallInit(*this)) {
        // The dialog manager's choice: the first enabled tab stop in template order.
        for (int i = 0; i < t->control_count; ++i) {
            const Control& c = b.m_controls[t->controls[i].id];
            if ((c.style & WS_TABSTOP_STYLE) && c.enabled) {
                b.m_focus = t->controls[i].id;
                break;
            }
        }
    }
    auto hooks = w.hooks.find(m_template_id);
    if (hooks != w.hooks.end()) {
        const std::vector<std::function<void(CDialog&)>> fns = hooks->second;
        for (const auto& fn : fns) fn(*this);
    }
    const int result = RunModalLoop(*this);

    w.stack.erase(std::find(w.stack.begin(), w.stack.end(), this));
    w.posted_closes.erase(std::remove(w.posted_closes.begin(), w.posted_closes.end(), this),
                          w.posted_closes.end());
    b.m_timers.clear();
    b.m_open = false;
    return result;
}

bool CDialog::IsOpen() const { return m_backend->m_open; }

void CDialog::EndDialog(int result) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr || b->m_ended) return;
    b->m_ended = true;
    b->m_result = result;
}

void CDialog::PostClose() {
    if (OpenBackend(*this) == nullptr) return;
    W().posted_closes.push_back(this);
}

void CDialog::OnCommand(unsigned control_id) {
    if (control_id == IDOK) OnOK();
    if (control_id == IDCANCEL) OnCancel();
}

void CDialog::SetWindowText(const std::string& text) {
    if (DialogBackend* b = OpenBackend(*this)) b->m_title = text;
}

std::string CDialog::GetWindowText() const {
    DialogBackend* b = OpenBackend(*this);
    return b == nullptr ? std::string() : b->m_title;
}

void CDialog::SetDlgItemText(unsigned control_id, const std::string& text) {
    if (Control* c = OpenControl(*this, control_id)) c->text = text;
}

std::string CDialog::GetDlgItemText(unsigned control_id) const {
    Control* c = OpenControl(*this, control_id);
    return c == nullptr ? std::string() : c->text;
}

void CDialog::EnableDlgItem(unsigned control_id, bool enable) {
    Control* c = OpenControl(*this, control_id);
    if (c == nullptr) return;
    c->enabled = enable;
    DialogBackend& b = B(*this);
    if (!enable && b.m_focus == control_id) {
        b.m_focus = 0;
        b.m_focus_parked = true;
    }
}

bool CDialog::IsDlgItemEnabled(unsigned control_id) const {
    Control* c = OpenControl(*this, control_id);
    return c != nullptr && c->enabled;
}

bool CDialog::SetTimer(unsigned timer_id, unsigned period_ms) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return false;
    const unsigned period = std::max(period_ms, MINIMUM_TIMER_PERIOD_MS);
    const long long due = W().now + period;
    for (Timer& t : b->m_timers) {
        if (t.id == timer_id) {
            t.period_ms = period;
            t.due_ms = due;
            return true;
        }
    }
    b->m_timers.push_back({timer_id, period, due, 0, W().timer_order++});
    return true;
}

void CDialog::KillTimer(unsigned timer_id) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    b->m_timers.erase(std::remove_if(b->m_timers.begin(), b->m_timers.end(),
                                     [timer_id](const Timer& t) { return t.id == timer_id; }),
                      b->m_timers.end());
}

void CDialog::SetProgressRange(unsigned control_id, uint16_t minimum, uint16_t maximum) {
    if (Control* c = OpenControl(*this, control_id)) {
        c->minimum = minimum;
        c->maximum = maximum;
        ++c->range_sets;
    }
}

void CDialog::SetProgressPos(unsigned control_id, int position) {
    if (Control* c = OpenControl(*this, control_id)) {
        c->position = position;
        ++c->position_sets;
    }
}

void CDialog::SetIcon(unsigned icon_resource_id, bool big) {
    if (DialogBackend* b = OpenBackend(*this)) b->m_chrome.SetIcon(icon_resource_id, big);
}

bool CDialog::IsIconic() const {
    DialogBackend* b = OpenBackend(*this);
    return b != nullptr && b->m_iconic;
}

void CDialog::GetClientSize(int* width, int* height) const {
    DialogBackend* b = OpenBackend(*this);
    *width = b == nullptr ? 0 : b->m_client_width;
    *height = b == nullptr ? 0 : b->m_client_height;
}

void CDialog::GetIconMetrics(int* width, int* height) {
    *width = W().icon_width;
    *height = W().icon_height;
}

void CDialog::EraseIconBackground() {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    if (!b->m_painting) ++W().stray_calls;
    ++b->m_erased;
}

void CDialog::DrawIcon(int x, int y, unsigned icon_resource_id) {
    DialogBackend* b = OpenBackend(*this);
    if (b == nullptr) return;
    if (!b->m_painting) ++W().stray_calls;
    b->m_drawn.push_back({x, y, icon_resource_id});
}

void UiSleep(unsigned ms) { W().now += ms; }

// ---- The system menu and icons kept as data (platform/dialog_chrome) -------------------

dialogchrome::Chrome* dialogchrome::OpenChrome(const CDialog& dialog) {
    DialogBackend* b = OpenBackend(dialog);
    return b == nullptr ? nullptr : &b->m_chrome;
}

// ---- The test API ---------------------------------------------------------------------

namespace headless {

void Reset() {
    World& w = W();
    w.now = 0;
    w.target = 0;
    w.stack.clear();
    w.script.clear();
    w.posted_closes.clear();
    w.hooks.clear();
    w.opened.clear();
    w.ran_dry = false;
    w.stray_calls = 0;
    w.icon_width = 32;
    w.icon_height = 32;
}

long long NowMs() { return W().now; }

void Then(std::function<void()> action) { W().script.push_back(std::move(action)); }

void AdvanceBy(long long ms) { W().target = std::max(W().target, W().now) + ms; }

void ThenAdvance(long long ms) {
    Then([ms] { AdvanceBy(ms); });
}

void ThenPress(unsigned control_id) {
    Then([control_id] { (void)Press(control_id); });
}

void ThenKey(Key key) {
    Then([key] { (void)PressKey(key); });
}

void ThenCloseBox() {
    Then([] { (void)CloseBox(); });
}

void ThenSysCommand(unsigned command_id) {
    Then([command_id] { (void)SysCommand(command_id); });
}

size_t PendingActions() { return W().script.size(); }

void OnOpen(unsigned template_id, std::function<void(CDialog&)> fn) {
    W().hooks[template_id].push_back(std::move(fn));
}

bool PressIn(CDialog& dialog, unsigned control_id) {
    if (TopmostLive() != &dialog) return false;
    Control* c = B(dialog).Find(control_id);
    if (c == nullptr || c->window_class != "BUTTON" || !c->enabled) return false;
    DialogBackend::CallCommand(dialog, control_id);
    return true;
}

bool Press(unsigned control_id) {
    CDialog* top = TopmostLive();
    return top != nullptr && PressIn(*top, control_id);
}

bool PressKey(Key key) {
    CDialog* top = TopmostLive();
    if (top == nullptr) return false;
    switch (key) {
        case Key::ESCAPE: CloseRequest(*top, IDCANCEL); return true;
        case Key::ENTER: {
            DialogBackend& b = B(*top);
            const Control* focused = b.Find(b.m_focus);
            if (focused != nullptr && focused->window_class == "BUTTON") return PressIn(*top, b.m_focus);
            for (auto& [id, c] : b.m_controls) {
                if (c.window_class == "BUTTON" && (c.style & BUTTON_TYPE_MASK) == BS_DEFPUSHBUTTON_STYLE) {
                    return PressIn(*top, id);
                }
            }
            if (b.m_focus == 0 && b.m_focus_parked) return false;
            CloseRequest(*top, IDOK);
            return true;
        }
        case Key::SPACE: {
            DialogBackend& b = B(*top);
            const Control* focused = b.Find(b.m_focus);
            return focused != nullptr && focused->window_class == "BUTTON" && PressIn(*top, b.m_focus);
        }
        case Key::ALT_F4: return CloseBox();
    }
    return false;
}

bool CloseBox() {
    CDialog* top = TopmostLive();
    if (top == nullptr || !B(*top).HasSystemMenu()) return false;
    return SysCommand(SC_CLOSE_COMMAND);
}

bool SetFocus(unsigned control_id) {
    CDialog* top = TopmostLive();
    if (top == nullptr) return false;
    DialogBackend& b = B(*top);
    const Control* c = b.Find(control_id);
    if (c == nullptr || !(c->style & WS_TABSTOP_STYLE) || !c->enabled) return false;
    b.m_focus = control_id;
    return true;
}

unsigned FocusedControl(const CDialog& dialog) { return B(dialog).m_focus; }

bool SysCommand(unsigned command_id) {
    CDialog* top = TopmostLive();
    if (top == nullptr || !B(*top).HasSystemMenu()) return false;
    if (DialogBackend::CallSysCommand(*top, command_id)) return true;
    ++B(*top).m_default_sys_commands;
    if (command_id == SC_CLOSE_COMMAND) CloseRequest(*top, IDCANCEL);
    return true;
}

bool Paint(CDialog& dialog) {
    DialogBackend& b = B(dialog);
    if (!b.m_open) return false;
    b.m_painting = true;
    const bool painted = DialogBackend::CallPaint(dialog);
    b.m_painting = false;
    if (!painted) ++b.m_default_paints;
    return painted;
}

unsigned QueryDragIcon(CDialog& dialog) { return DialogBackend::CallQueryDragIcon(dialog); }

CDialog* Topmost() { return W().stack.empty() ? nullptr : W().stack.back(); }

CDialog* FindOpen(unsigned template_id) {
    for (CDialog* d : W().stack)
        if (d->TemplateId() == template_id) return d;
    return nullptr;
}

int OpenCount() { return static_cast<int>(W().stack.size()); }

std::vector<unsigned> OpenedTemplates() { return W().opened; }

bool RanDry() { return W().ran_dry; }

bool Ended(const CDialog& dialog) { return B(dialog).m_open && B(dialog).m_ended; }

int StrayCalls() { return W().stray_calls; }

std::vector<TimerInfo> Timers(const CDialog& dialog) {
    std::vector<TimerInfo> out;
    for (const Timer& t : B(dialog).m_timers) out.push_back({t.id, t.period_ms, t.due_ms, t.ticks});
    return out;
}

bool HasTimer(const CDialog& dialog, unsigned timer_id) {
    for (const Timer& t : B(dialog).m_timers)
        if (t.id == timer_id) return true;
    return false;
}

ProgressInfo Progress(const CDialog& dialog, unsigned control_id) {
    ProgressInfo info{0, 0, 0, 0, 0, 0};
    Control* c = B(dialog).Find(control_id);
    if (c == nullptr) return info;
    info.minimum = c->minimum;
    info.maximum = c->maximum;
    info.position = c->position;
    info.shown = std::min<int>(std::max<int>(c->position, c->minimum), c->maximum);
    info.range_sets = c->range_sets;
    info.position_sets = c->position_sets;
    return info;
}

std::vector<DrawnIcon> DrawnIcons(const CDialog& dialog) { return B(dialog).m_drawn; }

int ErasedIconBackgrounds(const CDialog& dialog) { return B(dialog).m_erased; }

int DefaultSysCommands(const CDialog& dialog) { return B(dialog).m_default_sys_commands; }

int DefaultPaints(const CDialog& dialog) { return B(dialog).m_default_paints; }

void SetIconic(CDialog& dialog, bool iconic) { B(dialog).m_iconic = iconic; }

void SetClientSize(CDialog& dialog, int width, int height) {
    B(dialog).m_client_width = width;
    B(dialog).m_client_height = height;
}

void SetIconMetrics(int width, int height) {
    W().icon_width = width;
    W().icon_height = height;
}

}  // namespace headless
