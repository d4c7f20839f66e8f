// The application object and its windows on the Win32 back-end, inside this process, so that
// what another process cannot see under wine (the system menu) and what only this process
// knows (the teardown: images, sockets, firewall) can be checked. The lock, the firewall and
// the worker are recorders here (no network is touched); everything else is the product's.
//
// The checks run on the UI thread, inside the dialogs' modal loops, from a thread timer with
// a callback: the dialog manager dispatches it like any other message.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/dialog/dialog_win32.h"
//
#include "app/app_services.h"
#include "app/updater_app.h"
#include "images/image_store.h"
#include "platform/sockets.h"
#include "res/catalogue/catalogue.h"
#include "run/run_state.h"
#include "tests/win32/win32_test_util.h"

using w32test::TextOf;

namespace {

struct Record {
    bool lock_available = true;
    int lock_calls = 0;
    int activate_calls = 0;
    int open_firewall_calls = 0;
    int close_firewall_calls = 0;
    int worker_starts = 0;
    bool images_loaded_at_close = false;
};
Record g_rec;

bool ImagesLoaded() {
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i)
        if (g_image_data[i] != nullptr) return true;
    return false;
}

const AppServices kRecorders = {
    [](const char*) {
        ++g_rec.lock_calls;
        return g_rec.lock_available;
    },
    [](const char*) { ++g_rec.activate_calls; },
    [](CFirewallOpening*&) { ++g_rec.open_firewall_calls; },
    [](CFirewallOpening*&) {
        ++g_rec.close_firewall_calls;
        g_rec.images_loaded_at_close = ImagesLoaded();
    },
    [] { ++g_rec.worker_starts; },
    [] {},
    [](unsigned) { return true; },
};

std::string S(unsigned id) { return FindCatalogueTable(LANG_ID_ENGLISH_US)->texts[id - FIRST_STRING_ID]; }

// The steps of a scenario: each runs once per tick until it returns true, then the next.
struct Script {
    std::vector<std::function<bool()>> steps;
    size_t at = 0;
    int ticks = 0;
    bool done() const { return at >= steps.size(); }
};
Script* g_script = nullptr;

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    if (g_script == nullptr || g_script->done()) return;
    if (++g_script->ticks > 400) {  // 20 s
        ADD_FAILURE() << "scenario stuck at step " << g_script->at;
        g_script->at = g_script->steps.size();
        ExitProcess(3);
    }
    if (g_script->steps[g_script->at]()) ++g_script->at;
}

// Top-level windows of this thread with the given title.
HWND FindOwnWindow(const std::string& title) {
    struct Search {
        std::string title;
        HWND found;
    } search{title, nullptr};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND hwnd, LPARAM p) -> BOOL {
            Search* s = reinterpret_cast<Search*>(p);
            if (IsWindowVisible(hwnd) && TextOf(hwnd) == s->title) {
                s->found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

class AppWindow : public ::testing::Test {
protected:
    void SetUp() override {
        g_rec = Record();
        m_saved = SetAppServices(kRecorders);
    }
    void TearDown() override {
        SetAppServices(m_saved);
        g_script = nullptr;
    }
    // Runs the application object with the scenario ticking every 50 ms; InitInstance's result.
    bool Run(Script& script) {
        g_script = &script;
        const UINT_PTR timer = SetTimer(nullptr, 0, 50, &Tick);
        const bool result = theApp.InitInstance();
        KillTimer(nullptr, timer);
        g_script = nullptr;
        return result;
    }

    AppServices m_saved{};
};

TEST_F(AppWindow, ReadyStateThenTheSystemMenusAboutItemOpensTheAboutBoxAndFinishTearsDown) {
    HWND main = nullptr;
    HWND about = nullptr;
    Script script;
    script.steps = {
        [&] {
            main = FindOwnWindow(S(IDS_MAIN_TITLE));
            return main != nullptr;
        },
        [&] {
            // The Ready state.
            EXPECT_EQ(
                TextOf(GetDlgItem(main, IDC_MESSAGE)),
                "Start updating firmware of Orvane M1 to 1.0.28.\n\nPlease select [Update] button to start.");
            EXPECT_EQ(TextOf(GetDlgItem(main, IDC_UPDATE)), S(IDS_UPDATE));
            EXPECT_EQ(TextOf(GetDlgItem(main, IDC_FINISH)), S(IDS_FINISH));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_UPDATE)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_FINISH)));
            EXPECT_TRUE(ImagesLoaded());
            // The window chrome: both icons, the drag icon, the system menu's last two items.
            EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_BIG, 0), 0);
            EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_SMALL, 0), 0);
            EXPECT_EQ(SendMessageW(main, WM_QUERYDRAGICON, 0, 0),
                      SendMessageW(main, WM_GETICON, ICON_BIG, 0));
            HMENU menu = GetSystemMenu(main, FALSE);
            EXPECT_NE(menu, nullptr);
            const int count = GetMenuItemCount(menu);
            EXPECT_GE(count, 2);
            EXPECT_EQ(GetMenuItemID(menu, count - 1), IDM_ABOUT);
            wchar_t text[128] = {};
            GetMenuStringW(menu, count - 1, text, 128, MF_BYPOSITION);
            EXPECT_EQ(w32test::Narrow(text), S(IDS_ABOUT_MENU));
            MENUITEMINFOW info = {};
            info.cbSize = sizeof info;
            info.fMask = MIIM_FTYPE;
            GetMenuItemInfoW(menu, count - 2, TRUE, &info);
            EXPECT_NE(info.fType & MFT_SEPARATOR, 0u);
            // Choosing the item.
            PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
            return true;
        },
        [&] {
            about = FindOwnWindow(S(IDS_ABOUT_TITLE));
            return about != nullptr;
        },
        [&] {
            EXPECT_EQ(GetWindow(about, GW_OWNER), main);
            EXPECT_FALSE(IsWindowEnabled(main));  // the main window takes no input meanwhile
            EXPECT_EQ(TextOf(GetDlgItem(about, IDC_VERSION_LABEL)), "Updater Version ");
            EXPECT_EQ(TextOf(GetDlgItem(about, IDC_VERSION)), "1.0.0.50208");
            EXPECT_EQ(TextOf(GetDlgItem(about, IDC_NOTICE)), S(IDS_NOTICE));
            EXPECT_EQ(TextOf(GetDlgItem(about, IDOK)), "OK");
            PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
            return true;
        },
        [&] {
            if (IsWindow(about)) return false;
            EXPECT_TRUE(IsWindowEnabled(main));
            EXPECT_EQ(g_rec.close_firewall_calls, 0);  // the about box ended, nothing else
            // Commands 17 and 31 count as the item too.
            PostMessageW(main, WM_SYSCOMMAND, 31, 0);
            return true;
        },
        [&] {
            about = FindOwnWindow(S(IDS_ABOUT_TITLE));
            if (about == nullptr) return false;
            PostMessageW(about, WM_KEYDOWN, VK_ESCAPE, 1);
            return true;
        },
        [&] {
            if (IsWindow(about)) return false;
            PostMessageW(GetDlgItem(main, IDC_FINISH), BM_CLICK, 0, 0);
            return true;
        },
    };
    EXPECT_FALSE(Run(script));
    EXPECT_TRUE(script.done());
    EXPECT_EQ(g_rec.lock_calls, 1);
    EXPECT_EQ(g_rec.open_firewall_calls, 1);
    EXPECT_EQ(g_rec.close_firewall_calls, 1);
    EXPECT_FALSE(g_rec.images_loaded_at_close);  // the images go before the firewall closing
    EXPECT_FALSE(ImagesLoaded());
    EXPECT_EQ(g_rec.worker_starts, 0);
    // The socket library was stopped: a socket can no longer be made.
    const SocketHandle s = SockTcp();
    EXPECT_EQ(s, SOCKET_NONE);
    if (s != SOCKET_NONE) SockClose(s);
}

TEST_F(AppWindow, UpdateShowsProbingWithCancelAndCancelEndsTheRunAndTheProgram) {
    HWND main = nullptr;
    Script script;
    script.steps = {
        [&] {
            main = FindOwnWindow(S(IDS_MAIN_TITLE));
            if (main == nullptr) return false;
            PostMessageW(GetDlgItem(main, IDC_UPDATE), BM_CLICK, 0, 0);
            return true;
        },
        [&] {
            if (g_rec.worker_starts == 0) return false;
            EXPECT_EQ(TextOf(GetDlgItem(main, IDC_MESSAGE)), S(IDS_PROBING));
            EXPECT_EQ(TextOf(GetDlgItem(main, IDC_FINISH)), S(IDS_CANCEL));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_UPDATE)));
            EXPECT_EQ(g_update_running.load(), 1);
            return true;
        },
        [&] {
            // The watchdog ticks once a second.
            if (g_idle_seconds.load() < 1) return false;
            PostMessageW(GetDlgItem(main, IDC_FINISH), BM_CLICK, 0, 0);
            return true;
        },
    };
    EXPECT_FALSE(Run(script));
    EXPECT_TRUE(script.done());
    EXPECT_EQ(g_update_running.load(), 0);
    EXPECT_EQ(g_idle_seconds.load(), 0);
    EXPECT_EQ(g_rec.close_firewall_calls, 1);
    EXPECT_FALSE(ImagesLoaded());
}

TEST_F(AppWindow, EscTheCloseBoxAndAltF4EachEndTheProgramWithTheTeardownOnce) {
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        g_rec = Record();
        HWND main = nullptr;
        Script script;
        script.steps = {
            [&] {
                main = FindOwnWindow(S(IDS_MAIN_TITLE));
                if (main == nullptr) return false;
                if (way == 0) PostMessageW(GetDlgItem(main, IDC_UPDATE), WM_KEYDOWN, VK_ESCAPE, 1);
                if (way == 1) PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
                if (way == 2) PostMessageW(main, WM_SYSKEYDOWN, VK_F4, 1 | (1 << 29));
                return true;
            },
        };
        EXPECT_FALSE(Run(script));
        EXPECT_EQ(g_rec.open_firewall_calls, 1);
        EXPECT_EQ(g_rec.close_firewall_calls, 1);
        EXPECT_FALSE(ImagesLoaded());
    }
}

TEST_F(AppWindow, TheEndOfTheWindowsSessionTearsDownOnceBeforeItIsAnswered) {
    // Log-off while the progress window stands in front of the (disabled) main window: once
    // WM_ENDSESSION is answered Windows may end the process at any moment, so the teardown
    // must have run by then.
    HWND main = nullptr;
    HWND progress = nullptr;
    Script script;
    script.steps = {
        [&] {
            main = FindOwnWindow(S(IDS_MAIN_TITLE));
            if (main == nullptr) return false;
            // Asked first, the program lets the session end and does nothing yet; a session
            // end that another program cancelled changes nothing either.
            EXPECT_NE(SendMessageW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0);
            SendMessageW(main, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
            EXPECT_EQ(g_rec.close_firewall_calls, 0);
            EXPECT_TRUE(ImagesLoaded());
            PostMessageW(GetDlgItem(main, IDC_UPDATE), BM_CLICK, 0, 0);
            return true;
        },
        [&] {
            if (g_rec.worker_starts == 0) return false;
            g_device_report = REQ_LIST;  // the device fetched the manifest
            return true;
        },
        [&] {
            progress = FindOwnWindow(S(IDS_PROGRESS_TITLE));
            if (progress == nullptr) return false;
            EXPECT_FALSE(IsWindowEnabled(main));
            // Windows sends the message to every top-level window, the box in front included.
            SendMessageW(progress, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            EXPECT_EQ(g_rec.close_firewall_calls, 0) << "only the main window tears down";
            SendMessageW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            EXPECT_EQ(g_rec.close_firewall_calls, 1);
            EXPECT_FALSE(ImagesLoaded());
            EXPECT_EQ(g_update_running.load(), 0);
            // A second notice, and the close box, find nothing left to do.
            SendMessageW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            EXPECT_EQ(g_rec.close_firewall_calls, 1);
            // Windows would end the process now; here the box in front is closed and the
            // main window's loop, already ended, returns.
            PostMessageW(progress, WM_CLOSE, 0, 0);
            return true;
        },
    };
    EXPECT_FALSE(Run(script));
    EXPECT_TRUE(script.done());
    EXPECT_EQ(g_rec.open_firewall_calls, 1);
    EXPECT_EQ(g_rec.close_firewall_calls, 1);
    EXPECT_FALSE(g_rec.images_loaded_at_close);
    g_device_report = REQ_NONE;
    g_progress_shown = 0;
}

TEST_F(AppWindow, ASecondInstanceClosesAtOnceAndStartsNothing) {
    g_rec.lock_available = false;
    Script script;  // nothing to do: the window must end by itself
    const DWORD start = GetTickCount();
    EXPECT_FALSE(Run(script));
    EXPECT_LT(GetTickCount() - start, 3000u);
    EXPECT_EQ(g_rec.lock_calls, 1);
    EXPECT_EQ(g_rec.activate_calls, 1);
    EXPECT_EQ(g_rec.open_firewall_calls, 0);
    EXPECT_EQ(g_rec.close_firewall_calls, 0);
    EXPECT_FALSE(ImagesLoaded());
}

}  // namespace
