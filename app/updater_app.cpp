#include "app/updater_app.h"

#include "app/updater_dlg.h"

CUpdaterApp theApp;

CUpdaterApp::CUpdaterApp() = default;

CUpdaterApp::~CUpdaterApp() = default;

bool CUpdaterApp::InitInstance() {
    CUpdaterDlg dialog;
    (void)dialog.DoModal();
    return false;
}
