#include "app/about_dlg.h"

#include "res/catalogue/catalogue.h"

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUT) {}

CAboutDlg::~CAboutDlg() = default;

bool CAboutDlg::OnInitDialog() {
    SetWindowText(LoadStringById(IDS_ABOUT_TITLE));
    SetDlgItemText(IDC_VERSION_LABEL, LoadStringById(IDS_VERSION_LABEL));
    SetDlgItemText(IDC_VERSION, ABOUT_VERSION);
    SetDlgItemText(IDC_NOTICE, LoadStringById(IDS_NOTICE));
    return true;
}
