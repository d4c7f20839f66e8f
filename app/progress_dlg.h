// The progress window: one bar that advances every two seconds towards an estimate made
// from the image sizes, and that closes itself, after a second of full bar, once the run
// has an outcome.
#pragma once

#include "app/dialog_controls.h"
#include "platform/dialog.h"

constexpr unsigned PROGRESS_TIMER = 2;
constexpr unsigned PROGRESS_PERIOD_MS = 2000;
constexpr unsigned BYTES_PER_PROGRESS_STEP = 45000;
// How long the full bar stays on screen before the window closes.
constexpr unsigned PROGRESS_FULL_PAUSE_MS = 1000;

class CProgressDlg : public CDialog {
public:
    CProgressDlg();
    ~CProgressDlg() override;

    // Sets g_progress_max from the filled image slots and sends the range to the bar.
    void SetProgressRange();

protected:
    bool OnInitDialog() override;
    void OnTimer(unsigned timer_id) override;

private:
    CProgressCtrl m_progress;
};
