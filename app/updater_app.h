// The application object. A back-end's entry point (main, WinMain) sets up its toolkit and
// then calls theApp.InitInstance(), which runs the main window for the life of the process.
#pragma once

class CUpdaterApp {
public:
    CUpdaterApp();
    virtual ~CUpdaterApp();
    // Runs the main window modally; returns false, after which the entry point ends the
    // process.
    virtual bool InitInstance();
};

extern CUpdaterApp theApp;
