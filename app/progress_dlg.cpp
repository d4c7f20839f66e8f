#include "app/progress_dlg.h"

#include "res/catalogue/catalogue.h"
#include "run/run_state.h"

CProgressDlg::CProgressDlg() : CDialog(IDD_PROGRESS) {}

CProgressDlg::~CProgressDlg() = default;

bool CProgressDlg::OnInitDialog() {
    m_progress.Attach(this, IDC_PROGRESS);
    SetWindowText(LoadStringById(IDS_PROGRESS_TITLE));
    SetProgressRange();
    SetTimer(PROGRESS_TIMER, PROGRESS_PERIOD_MS);
    return true;
}

void CProgressDlg::SetProgressRange() {
    // Each slot's remainder is dropped before adding: the estimate counts whole steps.
    unsigned sum = 0;
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        if (g_image_data[i] != nullptr) sum += g_image_sizes[i] / BYTES_PER_PROGRESS_STEP;
    }
    g_progress_max = static_cast<int32_t>(sum);
    m_progress.SetRange(static_cast<uint16_t>(g_progress_min & 0xFFFF),
                        static_cast<uint16_t>(g_progress_max & 0xFFFF));
}

void CProgressDlg::OnTimer(unsigned timer_id) {
    ++g_progress_pos;
    if (g_update_outcome != OUTCOME_NONE) g_progress_pos = g_progress_max;
    m_progress.SetPos(g_progress_pos);
    if (g_progress_pos < g_progress_max) return;
    // Full bar but no outcome yet: the device writes for longer than the estimate; the bar
    // stays full and the position keeps growing past the maximum.
    if (g_update_outcome == OUTCOME_NONE) return;
    g_progress_pos = 0;
    UiSleep(PROGRESS_FULL_PAUSE_MS);
    KillTimer(timer_id);
    PostClose();
}
