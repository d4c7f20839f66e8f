// The system menu and the window icons of a dialog, for the back-ends whose toolkit has no
// system menu of the platform's kind (Qt, headless): the items a window appends and the icons
// it is given are kept here as data, and CDialog's system-menu calls work on them. Each
// back-end shows them in its own way (the Qt one as the window's context menu and icon).
#pragma once

#include <string>
#include <vector>

#include "platform/dialog.h"

struct DialogTemplate;

namespace dialogchrome {

struct MenuItem {
    bool separator;
    unsigned id;
    std::string text;
};

struct Chrome {
    bool has_system_menu = false;  // the template asks for one
    std::vector<MenuItem> menu;
    unsigned big_icon = 0;
    unsigned small_icon = 0;

    // A window made from this template: its system menu as the template sets it, no items
    // appended and no icon set yet.
    void Open(const DialogTemplate& t);
    void SetIcon(unsigned icon_resource_id, bool big);
};

// Defined by the back-end: the chrome of a dialog while it is open, else null (the headless
// back-end counts such a call as stray).
Chrome* OpenChrome(const CDialog& dialog);

// For tests: the items appended to an open dialog's system menu, and the icon resource set as
// its big or small window icon (0 for none); nothing for a closed dialog.
std::vector<MenuItem> SystemMenu(const CDialog& dialog);
unsigned WindowIcon(const CDialog& dialog, bool big);

}  // namespace dialogchrome
