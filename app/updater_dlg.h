// The main window: the message area, the Update button and the Cancel/Finish button, the
// one-second watchdog that carries a run from the Update press to its outcome, the
// start-up of the program and its teardown.
#pragma once

#include <string>

#include "app/dialog_controls.h"
#include "platform/dialog.h"

class CFirewallOpening;

constexpr unsigned WATCHDOG_TIMER = 1;
constexpr unsigned WATCHDOG_PERIOD_MS = 1000;
// How long the teardown waits for the update worker to end before it goes on.
constexpr unsigned WORKER_END_WAIT_MS = 3000;
// The system-menu item of the about box; commands 16 to 31 all count as this item.
constexpr unsigned ABOUT_COMMAND_MASK = 0xFFF0;

class CUpdaterDlg : public CDialog {
public:
    CUpdaterDlg();
    ~CUpdaterDlg() override;

    // Ends the current run on the window's side: clears the report mailbox and, for a non-zero
    // timer id, the watchdog counter, the running flag and the outcome, and kills that timer;
    // while a worker is active, stops the network side of the run as well.
    void StopUpdateRun(unsigned timer_id);

    // True once this window has run its start-up (it is the only instance) and has not yet
    // been torn down.
    bool IsStarted() const { return m_started && !m_torn_down; }

protected:
    bool OnInitDialog() override;
    void OnCommand(unsigned control_id) override;
    void OnTimer(unsigned timer_id) override;
    bool OnSysCommand(unsigned command_id) override;
    bool OnPaint() override;
    unsigned OnQueryDragIcon() override;
    bool OnCloseRequest(int code) override;

private:
    void AddAboutMenuItem();
    bool CheckSingleInstance();
    void OpenFirewall();
    void CloseFirewall();
    void SetInitialTexts();
    void EnableButtons();
    void OnUpdatePressed();
    void OnFinishPressed();
    void ShowOutcome(int outcome, unsigned timer_id);
    void Teardown();

    // The platform's firewall opening, from OpenFirewall to CloseFirewall.
    CFirewallOpening* m_pFirewallOpening = nullptr;
    CButton m_btnUpdate;
    CButton m_btnFinish;
    unsigned m_hIcon;
    bool m_started = false;
    bool m_torn_down = false;
};

// The socket library's start and stop: 1 on success, else 0.
int StartWinsock();
int StopWinsock();

// Message 105 with its one "%s" replaced by the version. The catalogue text is never used
// as a printf format: any other '%' in it is shown as it stands.
std::string FormatReadyMessage(const std::string& message, const char* version);
