#include "app/updater_dlg.h"

#include "app/about_dlg.h"
#include "app/app_services.h"
#include "app/progress_dlg.h"
#include "images/image_store.h"
#include "platform/sockets.h"
#include "res/catalogue/catalogue.h"
#include "run/run_state.h"

int StartWinsock() { return SockStartup() == 1 ? 1 : 0; }

int StopWinsock() { return SockCleanup() == 1 ? 1 : 0; }

std::string FormatReadyMessage(const std::string& message, const char* version) {
    std::string text = message;
    const std::string::size_type at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, version);
    return text;
}

CUpdaterDlg::CUpdaterDlg() : CDialog(IDD_UPDATER), m_hIcon(IDI_UPDATER) {}

CUpdaterDlg::~CUpdaterDlg() {
    // However the modal loop ended, what start-up opened is undone before the window object
    // goes: normally the Cancel/Finish press or a close request has done this already.
    Teardown();
}

bool CUpdaterDlg::OnInitDialog() {
    m_btnUpdate.Attach(this, IDC_UPDATE);
    m_btnFinish.Attach(this, IDC_FINISH);
    AddAboutMenuItem();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    // A second instance ends here, before it loads images, starts the sockets or opens the
    // firewall: it must leave nothing behind and disturb nothing of the running one.
    if (!CheckSingleInstance()) return true;
    m_started = true;
    LoadImages();
    (void)StartWinsock();
    OpenFirewall();
    SetInitialTexts();
    EnableButtons();
    return true;
}

void CUpdaterDlg::AddAboutMenuItem() {
    if (!HasSystemMenu()) return;
    const std::string text = LoadStringById(IDS_ABOUT_MENU);
    if (text.empty()) return;
    AppendSystemMenuSeparator();
    AppendSystemMenuItem(IDM_ABOUT, text);
}

bool CUpdaterDlg::CheckSingleInstance() {
    const AppServices& services = CurrentAppServices();
    if (services.acquire_instance_lock(INSTANCE_LOCK_NAME)) return true;
    services.activate_running_instance(INSTANCE_LOCK_NAME);
    EndDialog(IDCANCEL);
    return false;
}

void CUpdaterDlg::OpenFirewall() { CurrentAppServices().open_firewall(m_pFirewallOpening); }

void CUpdaterDlg::CloseFirewall() { CurrentAppServices().close_firewall(m_pFirewallOpening); }

void CUpdaterDlg::SetInitialTexts() {
    SetWindowText(LoadStringById(IDS_MAIN_TITLE));
    SetDlgItemText(IDC_UPDATE, LoadStringById(IDS_UPDATE));
    SetDlgItemText(IDC_FINISH, LoadStringById(IDS_FINISH));
    SetDlgItemText(IDC_MESSAGE, FormatReadyMessage(LoadStringById(IDS_READY), FIRMWARE_VERSION));
}

void CUpdaterDlg::EnableButtons() {
    m_btnUpdate.EnableWindow(true);
    m_btnFinish.EnableWindow(true);
}

void CUpdaterDlg::OnCommand(unsigned control_id) {
    if (control_id == IDC_UPDATE) {
        OnUpdatePressed();
    } else if (control_id == IDC_FINISH) {
        OnFinishPressed();
    } else {
        CDialog::OnCommand(control_id);
    }
}

void CUpdaterDlg::OnUpdatePressed() {
    // A result that the previous run's worker stored after that run had been stopped would
    // end this run on its first tick: the window-side values start every run at zero.
    g_update_outcome = OUTCOME_NONE;
    g_device_report = REQ_NONE;
    g_idle_seconds = 0;

    SetDlgItemText(IDC_MESSAGE, LoadStringById(IDS_PROBING));
    SetDlgItemText(IDC_FINISH, LoadStringById(IDS_CANCEL));
    g_update_running = 1;
    m_btnUpdate.EnableWindow(false);
    SetTimer(WATCHDOG_TIMER, WATCHDOG_PERIOD_MS);
    CurrentAppServices().start_worker();
}

void CUpdaterDlg::OnFinishPressed() {
    // The window goes first: ending the dialog hides it at once, while its modal loop ends
    // only once this handler has returned. The teardown, which may wait for a worker that is
    // slow to end, then runs behind it instead of in a frozen window.
    CDialog::OnCancel();
    Teardown();
}

bool CUpdaterDlg::OnCloseRequest(int code) {
    // Esc, the close box, Alt+F4 and Enter end the program as Finish does, teardown included,
    // so that no way out leaves the firewall open or the sockets and images behind; and, as
    // there, the window goes before the teardown.
    EndDialog(code);
    Teardown();
    return true;
}

void CUpdaterDlg::Teardown() {
    if (!m_started || m_torn_down) return;
    m_torn_down = true;
    const AppServices& services = CurrentAppServices();
    StopUpdateRun(static_cast<unsigned>(g_update_running.load()));
    // The worker reads the image slots; they are freed only once it has ended. If it does
    // not end within the bound, the images stay until the process ends.
    const bool worker_ended = services.wait_worker_end(WORKER_END_WAIT_MS);
    (void)StopWinsock();
    if (worker_ended) FreeImages();
    CloseFirewall();
}

void CUpdaterDlg::StopUpdateRun(unsigned timer_id) {
    g_device_report = REQ_NONE;
    if (timer_id != 0) {
        g_idle_seconds = 0;
        g_update_running = 0;
        if (IsOpen()) KillTimer(timer_id);
        g_update_outcome = OUTCOME_NONE;
    }
    if (g_worker_active > 0) CurrentAppServices().stop_network();
}

void CUpdaterDlg::OnTimer(unsigned timer_id) {
    // 1. One more second without a sign of life.
    ++g_idle_seconds;
    // 2. The time-out test runs on every tick and overwrites whatever outcome is stored.
    const int32_t timeout_ms = g_timeout_ms;
    if (g_idle_seconds > timeout_ms / 1000) {
        g_update_outcome = timeout_ms == TIMEOUT_BEFORE_MANIFEST_MS ? OUTCOME_NO_DEVICE : OUTCOME_FAILED;
    }
    // 3. The device's latest report. Clearing only the value that was read keeps a report
    // that the server stores in between for the next tick instead of losing it.
    int32_t report = g_device_report;
    switch (report) {
        case REQ_ERASE_START:
        case REQ_ERASE_FINISH:
        case REQ_WRITING:
        case REQ_WROTE:
            g_device_report.compare_exchange_strong(report, REQ_NONE);
            g_idle_seconds = 0;
            break;
        case REQ_LIST:
            g_device_report.compare_exchange_strong(report, REQ_NONE);
            g_timeout_ms = TIMEOUT_AFTER_MANIFEST_MS;
            g_idle_seconds = 0;
            if (g_progress_shown == 0) {
                SetDlgItemText(IDC_MESSAGE, LoadStringById(IDS_UPDATING));
                g_progress_shown = 1;
                // Further ticks run nested in here while the progress window is open.
                CProgressDlg progress;
                (void)progress.DoModal();
                g_progress_shown = 0;
            }
            break;
        default: break;
    }
    // 4. The outcome, once no progress window stands in front of it.
    const int32_t outcome = g_update_outcome;
    if (outcome != OUTCOME_NONE && g_progress_shown == 0) ShowOutcome(outcome, timer_id);
}

void CUpdaterDlg::ShowOutcome(int outcome, unsigned timer_id) {
    switch (outcome) {
        case OUTCOME_NO_DEVICE:
            SetDlgItemText(IDC_MESSAGE, LoadStringById(IDS_NO_DEVICE));
            m_btnUpdate.EnableWindow(true);
            break;
        case OUTCOME_FAILED:
            SetDlgItemText(IDC_MESSAGE, LoadStringById(IDS_FAILED));
            m_btnUpdate.EnableWindow(true);
            break;
        case OUTCOME_OLD_VERSION: SetDlgItemText(IDC_MESSAGE, LoadStringById(IDS_OLD_VERSION)); break;
        case OUTCOME_COMPLETED: SetDlgItemText(IDC_MESSAGE, LoadStringById(IDS_COMPLETED)); break;
        default: break;
    }
    SetDlgItemText(IDC_FINISH, LoadStringById(IDS_FINISH));
    g_timeout_ms = TIMEOUT_BEFORE_MANIFEST_MS;
    StopUpdateRun(timer_id);
}

bool CUpdaterDlg::OnSysCommand(unsigned command_id) {
    if ((command_id & ABOUT_COMMAND_MASK) != IDM_ABOUT) return false;
    CAboutDlg about;
    (void)about.DoModal();
    return true;
}

bool CUpdaterDlg::OnPaint() {
    if (!IsIconic()) return false;
    EraseIconBackground();
    int icon_width = 0;
    int icon_height = 0;
    GetIconMetrics(&icon_width, &icon_height);
    int client_width = 0;
    int client_height = 0;
    GetClientSize(&client_width, &client_height);
    const int x = (client_width - icon_width + 1) / 2;
    const int y = (client_height - icon_height + 1) / 2;
    DrawIcon(x, y, m_hIcon);
    return true;
}

unsigned CUpdaterDlg::OnQueryDragIcon() { return m_hIcon; }
