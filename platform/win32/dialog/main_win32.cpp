// The entry point of orvane-updater.exe: the application object runs the main window for the
// life of the process. The program reads no command line.
#include <windows.h>

#include "app/updater_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // InitInstance returns false once the main window has closed; the process then ends, and
    // any thread still running ends with it.
    (void)theApp.InitInstance();
    return 0;
}
