// The about box: the updater's version and the legal notice.
#pragma once

#include "platform/dialog.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg();
    ~CAboutDlg() override;

protected:
    bool OnInitDialog() override;
};
