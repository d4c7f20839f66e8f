#include "platform/dialog_chrome/dialog_chrome.h"

#include "res/catalogue/catalogue.h"

namespace dialogchrome {

namespace {
constexpr uint32_t WS_SYSMENU_STYLE = 0x00080000u;
}  // namespace

void Chrome::Open(const DialogTemplate& t) {
    has_system_menu = (t.style & WS_SYSMENU_STYLE) != 0;
    menu.clear();
    big_icon = 0;
    small_icon = 0;
}

void Chrome::SetIcon(unsigned icon_resource_id, bool big) {
    (big ? big_icon : small_icon) = icon_resource_id;
}

std::vector<MenuItem> SystemMenu(const CDialog& dialog) {
    const Chrome* c = OpenChrome(dialog);
    return c == nullptr ? std::vector<MenuItem>() : c->menu;
}

unsigned WindowIcon(const CDialog& dialog, bool big) {
    const Chrome* c = OpenChrome(dialog);
    return c == nullptr ? 0 : (big ? c->big_icon : c->small_icon);
}

}  // namespace dialogchrome

// A window without a system menu takes no items: there is nowhere to show them.
bool CDialog::HasSystemMenu() const {
    const dialogchrome::Chrome* c = dialogchrome::OpenChrome(*this);
    return c != nullptr && c->has_system_menu;
}

void CDialog::AppendSystemMenuSeparator() {
    dialogchrome::Chrome* c = dialogchrome::OpenChrome(*this);
    if (c != nullptr && c->has_system_menu) c->menu.push_back({true, 0, std::string()});
}

void CDialog::AppendSystemMenuItem(unsigned command_id, const std::string& text) {
    dialogchrome::Chrome* c = dialogchrome::OpenChrome(*this);
    if (c != nullptr && c->has_system_menu) c->menu.push_back({false, command_id, text});
}
