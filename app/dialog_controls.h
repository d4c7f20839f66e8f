// Controls bound to members of a window, reached through the dialog base class by id.
#pragma once

#include <cstdint>

#include "platform/dialog.h"

class CButton {
public:
    void Attach(CDialog* dialog, unsigned control_id) {
        m_dialog = dialog;
        m_id = control_id;
    }
    void EnableWindow(bool enable) {
        if (m_dialog != nullptr) m_dialog->EnableDlgItem(m_id, enable);
    }

private:
    CDialog* m_dialog = nullptr;
    unsigned m_id = 0;
};

class CProgressCtrl {
public:
    void Attach(CDialog* dialog, unsigned control_id) {
        m_dialog = dialog;
        m_id = control_id;
    }
    void SetRange(uint16_t minimum, uint16_t maximum) {
        if (m_dialog != nullptr) m_dialog->SetProgressRange(m_id, minimum, maximum);
    }
    void SetPos(int position) {
        if (m_dialog != nullptr) m_dialog->SetProgressPos(m_id, position);
    }

private:
    CDialog* m_dialog = nullptr;
    unsigned m_id = 0;
};
