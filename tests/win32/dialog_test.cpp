// The Win32 back-end of CDialog in a process of its own, on a real (virtual) display: dialogs
// made from the program's compiled templates, with a probe class that records what reaches
// each handler. Every dialog ends itself after 10 seconds at the latest, so that a routing
// fault fails the test instead of hanging it.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/win32/dialog/dialog_win32.h"
//
#include "platform/dialog.h"
#include "platform/instance_lock.h"
#include "res/catalogue/catalogue.h"
#include "tests/win32/win32_test_util.h"

namespace {

constexpr unsigned kGuardTimer = 99;
constexpr int kGuardEnded = -2;

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class ProbeDlg : public CDialog {
public:
    explicit ProbeDlg(unsigned template_id) : CDialog(template_id) {}

    std::function<bool(ProbeDlg&)> on_init;
    std::function<void(ProbeDlg&, unsigned)> on_timer;
    std::function<void(ProbeDlg&, unsigned)> on_command;  // unset: the base handling
    std::function<bool(ProbeDlg&, unsigned)> on_sys;
    std::function<bool(ProbeDlg&, int)> on_close;
    std::function<bool(ProbeDlg&)> on_paint;
    unsigned drag_icon = 0;

    std::vector<unsigned> commands;
    std::vector<unsigned> sys_commands;
    std::vector<int> close_requests;
    int paints = 0;

    HWND Hwnd() const { return Backend()->Window(); }
    HWND Item(unsigned id) const { return GetDlgItem(Hwnd(), static_cast<int>(id)); }

protected:
    bool OnInitDialog() override {
        SetTimer(kGuardTimer, 10000);
        return on_init ? on_init(*this) : true;
    }
    void OnTimer(unsigned timer_id) override {
        if (timer_id == kGuardTimer) {
            ADD_FAILURE() << "dialog " << TemplateId() << " did not end in time";
            EndDialog(kGuardEnded);
            return;
        }
        if (on_timer) on_timer(*this, timer_id);
    }
    void OnCommand(unsigned control_id) override {
        commands.push_back(control_id);
        if (on_command) {
            on_command(*this, control_id);
        } else {
            CDialog::OnCommand(control_id);
        }
    }
    bool OnSysCommand(unsigned command_id) override {
        sys_commands.push_back(command_id);
        return on_sys ? on_sys(*this, command_id) : false;
    }
    bool OnCloseRequest(int code) override {
        close_requests.push_back(code);
        return on_close ? on_close(*this, code) : true;
    }
    bool OnPaint() override {
        ++paints;
        return on_paint ? on_paint(*this) : false;
    }
    unsigned OnQueryDragIcon() override { return drag_icon; }
};

// --- Running and ending --------------------------------------------------------------------

TEST(Win32Dialog, ModalRunMakesTheTemplatesControlsAndReturnsTheEndCode) {
    ProbeDlg dlg(IDD_UPDATER);
    bool open_in_init = false;
    HWND controls[4] = {};
    dlg.on_init = [&](ProbeDlg& d) {
        open_in_init = d.IsOpen();
        const unsigned ids[] = {IDC_MESSAGE, IDC_UPDATE, IDC_SEPARATOR, IDC_FINISH};
        for (int i = 0; i < 4; ++i) controls[i] = d.Item(ids[i]);
        d.EndDialog(42);
        return true;
    };
    EXPECT_FALSE(dlg.IsOpen());
    EXPECT_EQ(dlg.DoModal(), 42);
    EXPECT_TRUE(open_in_init);
    for (HWND h : controls) EXPECT_NE(h, nullptr);
    EXPECT_FALSE(dlg.IsOpen());
    EXPECT_EQ(dlg.Backend()->Window(), nullptr);
}

TEST(Win32Dialog, AMissingTemplateGivesMinusOne) {
    ProbeDlg dlg(4242);
    EXPECT_EQ(dlg.DoModal(), -1);
}

TEST(Win32Dialog, LiveWindowsCarryTheTemplateStylesAndTheFocusStartsOnTheFirstTabStop) {
    ProbeDlg dlg(IDD_UPDATER);
    int focus_id = 0;
    int next_tab_id = 0;
    LONG style = 0;
    LONG ex_style = 0;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 50);
        return true;
    };
    dlg.on_timer = [&](ProbeDlg& d, unsigned) {
        focus_id = GetDlgCtrlID(GetFocus());
        next_tab_id = GetDlgCtrlID(GetNextDlgTabItem(d.Hwnd(), d.Item(IDC_UPDATE), FALSE));
        style = GetWindowLongW(d.Hwnd(), GWL_STYLE);
        ex_style = GetWindowLongW(d.Hwnd(), GWL_EXSTYLE);
        d.EndDialog(IDOK);
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    // The Update button, not the message area, gets the focus; Tab goes on to Cancel/Finish.
    EXPECT_EQ(focus_id, static_cast<int>(IDC_UPDATE));
    EXPECT_EQ(next_tab_id, static_cast<int>(IDC_FINISH));
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_POPUP), WS_CAPTION | WS_SYSMENU | WS_POPUP);
    EXPECT_EQ(style & WS_MINIMIZEBOX, 0);
    EXPECT_NE(ex_style & WS_EX_APPWINDOW, 0);
}

TEST(Win32Dialog, EndDialogDuringInitEndsBeforeTheLoopTakesInput) {
    ProbeDlg dlg(IDD_UPDATER);
    int ticks = 0;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 1);
        d.EndDialog(IDCANCEL);
        d.SetDlgItemText(IDC_MESSAGE, "still running");  // the handler goes on to its end
        return true;
    };
    dlg.on_timer = [&](ProbeDlg&, unsigned) { ++ticks; };
    const long long start = NowMs();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_LT(NowMs() - start, 2000);
    EXPECT_EQ(ticks, 0);
}

TEST(Win32Dialog, PostCloseEndsWithCancelOnceTheHandlerHasReturnedWithoutACloseRequest) {
    ProbeDlg dlg(IDD_PROGRESS);
    bool open_after_post = false;
    dlg.on_init = [&](ProbeDlg& d) {
        d.PostClose();
        open_after_post = d.IsOpen();
        return true;
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(open_after_post);
    EXPECT_TRUE(dlg.close_requests.empty());
}

TEST(Win32Dialog, EscAsksTheCloseRequestAndARefusalKeepsTheDialogOpen) {
    ProbeDlg dlg(IDD_UPDATER);
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 30);
        return true;
    };
    int presses = 0;
    dlg.on_timer = [&](ProbeDlg& d, unsigned) {
        if (presses < 2) PostMessageW(d.Item(IDC_UPDATE), WM_KEYDOWN, VK_ESCAPE, 1);
        ++presses;
    };
    dlg.on_close = [&](ProbeDlg& d, int) { return d.close_requests.size() == 2; };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(dlg.close_requests, (std::vector<int>{IDCANCEL, IDCANCEL}));
    EXPECT_TRUE(dlg.commands.empty());
}

TEST(Win32Dialog, TheCloseBoxAndAltF4GoThroughTheSystemCommandThenTheCloseRequest) {
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        ProbeDlg dlg(IDD_UPDATER);
        dlg.on_init = [&](ProbeDlg& d) {
            if (way == 0) PostMessageW(d.Hwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
            if (way == 1) PostMessageW(d.Hwnd(), WM_SYSKEYDOWN, VK_F4, 1 | (1 << 29));  // Alt held
            if (way == 2) PostMessageW(d.Hwnd(), WM_CLOSE, 0, 0);                       // from outside
            return true;
        };
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_EQ(dlg.close_requests, std::vector<int>{IDCANCEL});
        if (way < 2) {
            EXPECT_EQ(dlg.sys_commands, std::vector<unsigned>{SC_CLOSE});
        }
    }
}

TEST(Win32Dialog, EnterPressesTheFocusedPushButtonNotIdok) {
    ProbeDlg dlg(IDD_UPDATER);
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 30);
        return true;
    };
    dlg.on_timer = [&](ProbeDlg& d, unsigned) {
        d.KillTimer(1);
        PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
    };
    dlg.on_command = [&](ProbeDlg& d, unsigned) { d.EndDialog(7); };
    EXPECT_EQ(dlg.DoModal(), 7);
    EXPECT_EQ(dlg.commands, std::vector<unsigned>{IDC_UPDATE});
    EXPECT_TRUE(dlg.close_requests.empty());
}

TEST(Win32Dialog, DisablingTheFocusedButtonKeepsTheFocusOffTheNextButtonUntilTheUserMovesIt) {
    ProbeDlg dlg(IDD_UPDATER);
    HWND window = nullptr, finish = nullptr;
    HWND after_disable = nullptr, after_activation = nullptr, after_tab = nullptr;
    std::vector<unsigned> commands_after_enter;
    std::vector<int> requests_after_enter;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 60);
        return true;
    };
    int step = 0;
    dlg.on_timer = [&](ProbeDlg& d, unsigned) {
        switch (step++) {
            case 0:
                window = d.Hwnd();
                finish = d.Item(IDC_FINISH);
                SetFocus(d.Item(IDC_UPDATE));
                d.EnableDlgItem(IDC_UPDATE, false);
                after_disable = GetFocus();
                // The dialog activated again, as after switching to another program and back.
                SendMessageW(d.Hwnd(), WM_ACTIVATE, WA_ACTIVE, 0);
                SendMessageW(d.Hwnd(), WM_SETFOCUS, 0, 0);
                after_activation = GetFocus();
                PostMessageW(GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
                break;
            case 1:
                commands_after_enter = d.commands;
                requests_after_enter = d.close_requests;
                PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 1);
                break;
            case 2:
                after_tab = GetFocus();
                // Moved by the user: the dialog manager's own handling again.
                SendMessageW(d.Hwnd(), WM_ACTIVATE, WA_ACTIVE, 0);
                SetFocus(d.Hwnd());
                PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
                break;
            default: break;
        }
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    // On the dialog window itself, not on to the Cancel/Finish button.
    EXPECT_EQ(after_disable, window);
    EXPECT_EQ(after_activation, window);
    EXPECT_TRUE(commands_after_enter.empty()) << "Enter pressed a button";
    EXPECT_TRUE(requests_after_enter.empty()) << "Enter asked to close a dialog without an OK button";
    EXPECT_EQ(after_tab, finish);
    EXPECT_EQ(dlg.close_requests, std::vector<int>{IDCANCEL});
}

TEST(Win32Dialog, TheSessionsEndAsksTheMainWindowsCloseRequestOnceBeforeItIsAnswered) {
    ProbeDlg main(IDD_UPDATER);
    LRESULT query = 0;
    std::vector<int> requests_at_cancelled_end, requests_at_end, nested_requests;
    bool open_after_end = false;
    main.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 30);
        return true;
    };
    main.on_timer = [&](ProbeDlg& d, unsigned) {
        d.KillTimer(1);
        // Windows asks first; the dialog lets the session end and nothing happens yet.
        query = SendMessageW(d.Hwnd(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
        // Another program refused: the session goes on, and so does the window.
        SendMessageW(d.Hwnd(), WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);
        requests_at_cancelled_end = d.close_requests;
        // A box in front of the main window gets the message too, but does not ask.
        ProbeDlg about(IDD_ABOUT);
        about.on_init = [&](ProbeDlg& a) {
            SendMessageW(a.Hwnd(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            nested_requests = a.close_requests;
            a.EndDialog(IDOK);
            return true;
        };
        about.DoModal();
        // The session ends: the request has run by the time the message is answered.
        SendMessageW(d.Hwnd(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        requests_at_end = d.close_requests;
        open_after_end = d.IsOpen();
    };
    EXPECT_EQ(main.DoModal(), IDCANCEL);
    EXPECT_NE(query, 0);
    EXPECT_TRUE(requests_at_cancelled_end.empty());
    EXPECT_TRUE(nested_requests.empty());
    EXPECT_EQ(requests_at_end, std::vector<int>{IDCANCEL});
    EXPECT_TRUE(open_after_end) << "ends once the handler has returned, like every other ending";
    EXPECT_EQ(main.close_requests, std::vector<int>{IDCANCEL});
}

TEST(Win32Dialog, ButtonClicksRouteByIdAndTheAboutBoxOkEndsThroughTheBase) {
    ProbeDlg main(IDD_UPDATER);
    main.on_init = [&](ProbeDlg& d) {
        SendMessageW(d.Item(IDC_UPDATE), BM_CLICK, 0, 0);
        SendMessageW(d.Item(IDC_FINISH), BM_CLICK, 0, 0);
        d.EndDialog(IDOK);
        return true;
    };
    main.on_command = [](ProbeDlg&, unsigned) {};
    EXPECT_EQ(main.DoModal(), IDOK);
    EXPECT_EQ(main.commands, (std::vector<unsigned>{IDC_UPDATE, IDC_FINISH}));

    ProbeDlg about(IDD_ABOUT);
    about.on_init = [&](ProbeDlg& d) {
        PostMessageW(d.Item(IDC_OK), BM_CLICK, 0, 0);
        return true;
    };
    EXPECT_EQ(about.DoModal(), IDOK);
    EXPECT_EQ(about.commands, std::vector<unsigned>{IDC_OK});
    EXPECT_TRUE(about.close_requests.empty());
}

// --- Texts, enabling, progress bar ---------------------------------------------------------

TEST(Win32Dialog, TextsRoundTripInUtf8AndShowAsUtf16) {
    ProbeDlg dlg(IDD_UPDATER);
    const std::string japanese =
        "\xE3\x83\x95\xE3\x82\xA1\xE3\x83\xBC\xE3\x83\xA0 \xC3\xA4\xC3\xB6\xC3\x9F\nline";
    std::string title, message, wide_message, missing;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetWindowText("Firmware updater");
        d.SetDlgItemText(IDC_MESSAGE, japanese);
        title = d.GetWindowText();
        message = d.GetDlgItemText(IDC_MESSAGE);
        wide_message = w32test::TextOf(d.Item(IDC_MESSAGE));
        missing = d.GetDlgItemText(4711);
        d.EndDialog(IDOK);
        return true;
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(title, "Firmware updater");
    EXPECT_EQ(message, japanese);
    EXPECT_EQ(wide_message, japanese);
    EXPECT_EQ(missing, "");
    // A closed dialog has no texts and takes none.
    dlg.SetDlgItemText(IDC_MESSAGE, "x");
    EXPECT_EQ(dlg.GetDlgItemText(IDC_MESSAGE), "");
}

TEST(Win32Dialog, EnablingReachesTheControl) {
    ProbeDlg dlg(IDD_UPDATER);
    std::vector<bool> seen;
    dlg.on_init = [&](ProbeDlg& d) {
        seen.push_back(d.IsDlgItemEnabled(IDC_UPDATE));
        d.EnableDlgItem(IDC_UPDATE, false);
        seen.push_back(d.IsDlgItemEnabled(IDC_UPDATE));
        seen.push_back(IsWindowEnabled(d.Item(IDC_UPDATE)) != FALSE);
        d.EnableDlgItem(IDC_UPDATE, true);
        seen.push_back(d.IsDlgItemEnabled(IDC_UPDATE));
        seen.push_back(d.IsDlgItemEnabled(4711));
        d.EndDialog(IDOK);
        return true;
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(seen, (std::vector<bool>{true, false, false, true, false}));
}

TEST(Win32Dialog, ProgressBarTakesSixteenBitBoundsAndShowsFullAboveTheMaximum) {
    ProbeDlg dlg(IDD_PROGRESS);
    PBRANGE range = {};
    LRESULT at_ten = 0, above = 0;
    bool has_menu = true;
    dlg.on_init = [&](ProbeDlg& d) {
        has_menu = d.HasSystemMenu();
        d.SetProgressRange(IDC_PROGRESS, 0, 58);
        SendMessageW(d.Item(IDC_PROGRESS), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        d.SetProgressPos(IDC_PROGRESS, 10);
        at_ten = SendMessageW(d.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0);
        d.SetProgressPos(IDC_PROGRESS, 70);
        above = SendMessageW(d.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0);
        d.EndDialog(IDOK);
        return true;
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 58);
    EXPECT_EQ(at_ten, 10);
    EXPECT_EQ(above, 58);
    EXPECT_FALSE(has_menu);  // the progress box has no system menu, so no close box
}

// --- Timers and nesting --------------------------------------------------------------------

TEST(Win32Dialog, TimersTickByIdAndAKilledTimerTicksNoMore) {
    ProbeDlg dlg(IDD_UPDATER);
    int fast = 0;
    int after_kill = 0;
    bool killed = false;
    dlg.on_init = [&](ProbeDlg& d) {
        EXPECT_TRUE(d.SetTimer(1, 20));
        return true;
    };
    dlg.on_timer = [&](ProbeDlg& d, unsigned id) {
        if (id == 1) {
            if (killed) ++after_kill;
            if (++fast == 5) {
                d.KillTimer(1);
                killed = true;
                d.SetTimer(2, 300);
            }
        } else if (id == 2) {
            d.EndDialog(IDOK);
        }
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(fast, 5);
    EXPECT_EQ(after_kill, 0);
    EXPECT_FALSE(dlg.SetTimer(3, 10));  // no window, no timer
}

TEST(Win32Dialog, TicksThatFallDueDuringUiSleepArriveAsOne) {
    ProbeDlg dlg(IDD_UPDATER);
    int ticks = 0;
    int ticks_at_wake = 0;
    long long slept_ms = 0;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 10);
        return true;
    };
    dlg.on_timer = [&](ProbeDlg& d, unsigned id) {
        if (id == 1 && ++ticks == 1) {
            const long long start = NowMs();
            UiSleep(400);
            slept_ms = NowMs() - start;
            ticks_at_wake = ticks;
            d.SetTimer(2, 40);
        } else if (id == 2) {
            d.EndDialog(IDOK);
        }
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_GE(slept_ms, 390);
    EXPECT_EQ(ticks_at_wake, 1);
    // 40 falls due in the sleep; at most one of them, then one every 10 ms.
    EXPECT_LE(ticks - ticks_at_wake, 1 + 40 / 10 + 2);
}

TEST(Win32Dialog, AnOwnersTimerTicksNestedInsideAChildModalWhichDisablesTheOwner) {
    ProbeDlg main(IDD_UPDATER);
    int depth = 0;
    int nested_ticks = 0;
    int max_depth = 0;
    bool owner_disabled = false;
    HWND child_owner = nullptr;
    HWND main_hwnd = nullptr;
    main.on_init = [&](ProbeDlg& d) {
        main_hwnd = d.Hwnd();
        d.SetTimer(1, 25);
        return true;
    };
    main.on_timer = [&](ProbeDlg& d, unsigned) {
        ++depth;
        max_depth = std::max(max_depth, depth);
        if (depth > 1) ++nested_ticks;
        if (depth == 1 && nested_ticks == 0) {
            ProbeDlg child(IDD_PROGRESS);
            child.on_init = [&](ProbeDlg& c) {
                child_owner = GetWindow(c.Hwnd(), GW_OWNER);
                c.SetTimer(2, 400);
                return true;
            };
            child.on_timer = [&](ProbeDlg& c, unsigned) {
                owner_disabled = IsWindowEnabled(d.Hwnd()) == FALSE;
                c.PostClose();
            };
            EXPECT_EQ(child.DoModal(), IDCANCEL);
            EXPECT_TRUE(IsWindowEnabled(d.Hwnd()));
            d.EndDialog(IDOK);
        }
        --depth;
    };
    ASSERT_EQ(main.DoModal(), IDOK);
    EXPECT_EQ(child_owner, main_hwnd);
    EXPECT_GE(nested_ticks, 5);  // 400 ms of a 25 ms timer
    EXPECT_EQ(max_depth, 2);
    EXPECT_TRUE(owner_disabled);
}

TEST(Win32Dialog, ANestedModalIsOwnedByTheInnermostOpenDialogAndCentredOverIt) {
    ProbeDlg main(IDD_UPDATER);
    HWND main_hwnd = nullptr;
    HWND about_owner = nullptr;
    HWND progress_owner = nullptr;
    RECT main_rect = {}, about_rect = {};
    main.on_init = [&](ProbeDlg& d) {
        main_hwnd = d.Hwnd();
        d.SetTimer(1, 30);
        return true;
    };
    main.on_timer = [&](ProbeDlg& d, unsigned) {
        d.KillTimer(1);
        GetWindowRect(d.Hwnd(), &main_rect);
        ProbeDlg about(IDD_ABOUT);
        about.on_init = [&](ProbeDlg& a) {
            about_owner = GetWindow(a.Hwnd(), GW_OWNER);
            a.SetTimer(3, 30);
            return true;
        };
        about.on_timer = [&](ProbeDlg& a, unsigned) {
            a.KillTimer(3);
            GetWindowRect(a.Hwnd(), &about_rect);
            ProbeDlg progress(IDD_PROGRESS);
            progress.on_init = [&](ProbeDlg& p) {
                progress_owner = GetWindow(p.Hwnd(), GW_OWNER);
                p.PostClose();
                return true;
            };
            progress.DoModal();
            a.EndDialog(IDOK);
        };
        about.DoModal();
        d.EndDialog(IDOK);
    };
    ASSERT_EQ(main.DoModal(), IDOK);
    EXPECT_EQ(about_owner, main_hwnd);
    EXPECT_NE(progress_owner, nullptr);
    EXPECT_NE(progress_owner, main_hwnd);  // the about box stood in front
    // Centred over the main window, within a pixel of rounding.
    EXPECT_NEAR((about_rect.left + about_rect.right) / 2, (main_rect.left + main_rect.right) / 2, 1);
    EXPECT_NEAR((about_rect.top + about_rect.bottom) / 2, (main_rect.top + main_rect.bottom) / 2, 1);
}

// --- Window chrome -------------------------------------------------------------------------

TEST(Win32Dialog, SystemMenuItemsAreAppendedAndTheirCommandsReachTheHandler) {
    ProbeDlg dlg(IDD_UPDATER);
    int count_before = 0, count_after = 0;
    UINT last_id = 0;
    UINT separator_type = 0;
    wchar_t text[64] = {};
    dlg.on_init = [&](ProbeDlg& d) {
        EXPECT_TRUE(d.HasSystemMenu());
        HMENU menu = GetSystemMenu(d.Hwnd(), FALSE);
        count_before = GetMenuItemCount(menu);
        d.AppendSystemMenuSeparator();
        d.AppendSystemMenuItem(IDM_ABOUT, "Updater version information");
        count_after = GetMenuItemCount(menu);
        last_id = GetMenuItemID(menu, count_after - 1);
        GetMenuStringW(menu, count_after - 1, text, 64, MF_BYPOSITION);
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE;
        GetMenuItemInfoW(menu, count_after - 2, TRUE, &info);
        separator_type = info.fType;
        PostMessageW(d.Hwnd(), WM_SYSCOMMAND, IDM_ABOUT, 0);
        PostMessageW(d.Hwnd(), WM_SYSCOMMAND, 31, 0);
        d.SetTimer(1, 200);
        return true;
    };
    dlg.on_sys = [](ProbeDlg&, unsigned id) { return id < 0xF000; };
    dlg.on_timer = [](ProbeDlg& d, unsigned) { d.EndDialog(IDOK); };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(count_after, count_before + 2);
    EXPECT_EQ(last_id, IDM_ABOUT);
    EXPECT_STREQ(text, L"Updater version information");
    EXPECT_NE(separator_type & MFT_SEPARATOR, 0u);
    EXPECT_EQ(dlg.sys_commands, (std::vector<unsigned>{IDM_ABOUT, 31}));
    EXPECT_TRUE(dlg.close_requests.empty());
}

// The DPI this run's display is set to (run_on_display.sh, ORVANE_W32_DPI), 96 by default.
UINT DisplayDpi() {
    char value[16] = {};
    const DWORD n = GetEnvironmentVariableA("ORVANE_W32_DPI", value, sizeof value);
    return n > 0 && n < sizeof value ? static_cast<UINT>(std::atoi(value)) : 96u;
}

// An icon's width in pixels.
int IconWidth(HICON icon) {
    ICONINFO info;
    if (!GetIconInfo(icon, &info)) return -1;
    BITMAP bm = {};
    GetObjectW(info.hbmMask, sizeof bm, &bm);
    DeleteObject(info.hbmMask);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    return bm.bmWidth;
}

TEST(Win32Dialog, WindowsAreLaidOutAtTheDisplaysDpi) {
    ProbeDlg dlg(IDD_UPDATER);
    UINT dpi = 0;
    RECT rect = {};
    dlg.on_init = [&](ProbeDlg& d) {
        dpi = GetDpiForWindow(d.Hwnd());
        GetWindowRect(d.Hwnd(), &rect);
        d.EndDialog(IDOK);
        return true;
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    // Per-monitor aware, as the manifest asks (wine treats every program so): the system
    // scales nothing, the dialog manager lays the template out at the display's DPI.
    EXPECT_EQ(dpi, DisplayDpi());
    EXPECT_EQ(WindowDpi(nullptr), DisplayDpi()) << "without a window: the system's";
    // 279 dialog units of a 9-point font: at least 1.5 pixels per unit at 96 DPI.
    EXPECT_GT(rect.right - rect.left, MulDiv(279 * 3 / 2, static_cast<int>(dpi), 96));
}

TEST(Win32Dialog, ButtonsComeFromCommonControlsSix) {
    // With the manifest's dependency the dialog manager makes "Button" from the common
    // controls library, which draws the desktop's visual style; without it, from user32 in
    // the look of Windows 2000.
    ProbeDlg dlg(IDD_UPDATER);
    LRESULT answered = 0;
    SIZE ideal = {0, 0};
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetDlgItemText(IDC_UPDATE, "Update");
        // A message only the common controls' button knows; user32's answers 0.
        answered = SendMessageW(d.Item(IDC_UPDATE), BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
        d.EndDialog(IDOK);
        return true;
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_NE(answered, 0);
    EXPECT_GT(ideal.cx, 0);
}

TEST(Win32Dialog, IconsAreSetBigAndSmallAtTheWindowsDpiAndOfferedAsTheDragIcon) {
    ProbeDlg dlg(IDD_UPDATER);
    dlg.drag_icon = IDI_UPDATER;
    HICON big = nullptr, small_icon = nullptr, drag = nullptr;
    UINT dpi = 0;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetIcon(IDI_UPDATER, true);
        d.SetIcon(IDI_UPDATER, false);
        dpi = GetDpiForWindow(d.Hwnd());
        big = reinterpret_cast<HICON>(SendMessageW(d.Hwnd(), WM_GETICON, ICON_BIG, 0));
        small_icon = reinterpret_cast<HICON>(SendMessageW(d.Hwnd(), WM_GETICON, ICON_SMALL, 0));
        drag = reinterpret_cast<HICON>(SendMessageW(d.Hwnd(), WM_QUERYDRAGICON, 0, 0));
        d.EndDialog(IDOK);
        return true;
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    ASSERT_NE(big, nullptr);
    ASSERT_NE(small_icon, nullptr);
    EXPECT_EQ(drag, big);
    // 32 and 16 pixels at 96 DPI, scaled with the window's DPI: 48 and 24 at 150 %.
    EXPECT_EQ(IconWidth(big), MulDiv(32, static_cast<int>(dpi), 96));
    EXPECT_EQ(IconWidth(small_icon), MulDiv(16, static_cast<int>(dpi), 96));
    // Each size is its own icon, not the first one loaded.
    EXPECT_EQ(IconWidth(LoadProgramIconOfSize(IDI_UPDATER, 16)), 16);
    EXPECT_EQ(IconWidth(LoadProgramIconOfSize(IDI_UPDATER, 48)), 48);
    EXPECT_EQ(IconWidth(LoadProgramIconOfSize(IDI_UPDATER, 32)), 32);
}

// Records the messages a window procedure sees, ahead of the dialog's own.
WNDPROC g_previous_proc = nullptr;
std::vector<UINT>* g_seen = nullptr;
LRESULT CALLBACK Recorder(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (g_seen != nullptr) g_seen->push_back(message);
    return CallWindowProcW(g_previous_proc, hwnd, message, wparam, lparam);
}

TEST(Win32Dialog, PaintingBeginsAContextOnlyForAHandlerThatDraws) {
    ASSERT_NE(LoadProgramIconOfSize(IDI_UPDATER, 32), nullptr) << "the program has no icon " << IDI_UPDATER;
    ProbeDlg dlg(IDD_UPDATER);
    std::vector<UINT> seen;
    // The icon as the window shows it at (2, 2) and as drawn apart, sampled on a grid.
    std::vector<COLORREF> drawn, expected;
    int draw_calls = 0;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 100);
        return true;
    };
    int painted_icon_size = 0;
    dlg.on_paint = [&](ProbeDlg& d) {
        if (draw_calls++ == 0) return false;  // the first paint: default processing
        d.EraseIconBackground();
        int height = 0;
        CDialog::GetIconMetrics(&painted_icon_size, &height);
        d.DrawIcon(2, 2, IDI_UPDATER);
        return true;
    };
    int step = 0;
    dlg.on_timer = [&](ProbeDlg& d, unsigned) {
        if (step++ == 0) {
            g_seen = &seen;
            g_previous_proc = reinterpret_cast<WNDPROC>(
                SetWindowLongPtrW(d.Hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Recorder)));
            RedrawWindow(d.Hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE);
            return;
        }
        g_seen = nullptr;
        SetWindowLongPtrW(d.Hwnd(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_previous_proc));
        // What the window shows over the icon's whole area, against the icon of the window's
        // size drawn apart by the system.
        const int size = MulDiv(32, static_cast<int>(GetDpiForWindow(d.Hwnd())), 96);
        HDC window_dc = GetDC(d.Hwnd());
        for (int y = 1; y < size; y += 4)
            for (int x = 1; x < size; x += 4) drawn.push_back(GetPixel(window_dc, 2 + x, 2 + y));
        HDC mem = CreateCompatibleDC(window_dc);
        HBITMAP bitmap = CreateCompatibleBitmap(window_dc, size, size);
        HGDIOBJ old = SelectObject(mem, bitmap);
        RECT all = {0, 0, size, size};
        FillRect(mem, &all, GetSysColorBrush(COLOR_3DFACE));
        HICON reference = static_cast<HICON>(
            LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_UPDATER), IMAGE_ICON, size, size, 0));
        DrawIconEx(mem, 0, 0, reference, size, size, 0, nullptr, DI_NORMAL);
        DestroyIcon(reference);
        for (int y = 1; y < size; y += 4)
            for (int x = 1; x < size; x += 4) expected.push_back(GetPixel(mem, x, y));
        SelectObject(mem, old);
        DeleteObject(bitmap);
        DeleteDC(mem);
        ReleaseDC(d.Hwnd(), window_dc);
        d.EndDialog(IDOK);
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_GE(dlg.paints, 2);
    bool erase_sent = false;
    for (UINT m : seen) erase_sent = erase_sent || m == WM_ICONERASEBKGND;
    EXPECT_TRUE(erase_sent);
    EXPECT_EQ(painted_icon_size, MulDiv(32, static_cast<int>(DisplayDpi()), 96));
    EXPECT_EQ(drawn, expected);
    // Not a blank area on both sides: the icon shows.
    bool icon_pixels = false;
    for (COLORREF c : expected) icon_pixels = icon_pixels || c != GetSysColor(COLOR_3DFACE);
    EXPECT_TRUE(icon_pixels);
}

TEST(Win32Dialog, MinimisedWindowReportsIconicAndItsClientSize) {
    ProbeDlg dlg(IDD_UPDATER);
    bool iconic_before = true, iconic_after = false;
    int w = -1, h = -1, icon_w = 0, icon_h = 0;
    dlg.on_init = [&](ProbeDlg& d) {
        d.SetTimer(1, 50);
        return true;
    };
    dlg.on_timer = [&](ProbeDlg& d, unsigned) {
        iconic_before = d.IsIconic();
        ShowWindow(d.Hwnd(), SW_MINIMIZE);
        iconic_after = d.IsIconic();
        d.GetClientSize(&w, &h);
        CDialog::GetIconMetrics(&icon_w, &icon_h);
        d.EndDialog(IDOK);
    };
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_FALSE(iconic_before);
    EXPECT_TRUE(iconic_after);
    EXPECT_GE(w, 0);
    EXPECT_GE(h, 0);
    // The icon size of the window's DPI.
    EXPECT_EQ(icon_w, MulDiv(32, static_cast<int>(DisplayDpi()), 96));
    EXPECT_EQ(icon_h, icon_w);
}

// --- Strings and sleeping ------------------------------------------------------------------

TEST(Win32Dialog, StringsLoadWholeFromTheSelectedTableAndMissingOnesAreEmpty) {
    // The suite runs wine with the English (United States) interface language.
    const CatalogueTable* table = FindCatalogueTable(LANG_ID_ENGLISH_US);
    ASSERT_NE(table, nullptr);
    for (unsigned i = 0; i < STRING_COUNT; ++i)
        EXPECT_EQ(LoadStringById(FIRST_STRING_ID + i), table->texts[i]) << FIRST_STRING_ID + i;
    EXPECT_EQ(LoadStringById(IDS_VERSION_LABEL), "Updater Version ");
    EXPECT_EQ(LoadStringById(999), "");
    EXPECT_EQ(LoadStringById(100), "");
}

TEST(Win32Dialog, UiSleepBlocksForTheTime) {
    const long long start = NowMs();
    UiSleep(120);
    EXPECT_GE(NowMs() - start, 115);
}

// --- Single-instance lock ------------------------------------------------------------------

// Runs this test program again with one test and the lock name in the environment; its exit
// code, or -1.
struct Child {
    PROCESS_INFORMATION pi = {};
    bool started = false;
};

Child StartChild(const std::string& test, const std::string& lock_name) {
    Child child;
    SetEnvironmentVariableA("ORVANE_LOCK_NAME", lock_name.c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --gtest_filter=" + w32test::Widen(test);
    // The child's own test report would only clutter this one's.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = null_out;
    si.hStdError = null_out;
    child.started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                                   &child.pi) != FALSE;
    if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
    SetEnvironmentVariableA("ORVANE_LOCK_NAME", nullptr);
    return child;
}

int WaitChild(Child& child) {
    if (!child.started) return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(child.pi.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(child.pi.hProcess, &code);
    CloseHandle(child.pi.hProcess);
    CloseHandle(child.pi.hThread);
    return static_cast<int>(code);
}

// Child side: takes the lock, keeps it for a moment, and reports by exit code.
TEST(InstanceLockChild, TakeAndHold) {
    char name[128];
    if (GetEnvironmentVariableA("ORVANE_LOCK_NAME", name, sizeof name) == 0) GTEST_SKIP() << "child only";
    const bool got = AcquireSingleInstanceLock(name);
    Sleep(1500);
    std::fflush(stdout);
    ExitProcess(got ? 10 : 20);
}

std::string UniqueLockName(const char* what) {
    return std::string("Orvane_test_") + what + "_" + std::to_string(GetCurrentProcessId());
}

TEST(Win32InstanceLock, TheHolderKeepsItAndASecondTakerInTheSameSessionIsRefused) {
    const std::string name = UniqueLockName("hold");
    EXPECT_TRUE(AcquireSingleInstanceLock(name.c_str()));
    Child other = StartChild("InstanceLockChild.TakeAndHold", name);
    EXPECT_EQ(WaitChild(other), 20);
    // The holder itself asking again finds the mutex it holds.
    EXPECT_FALSE(AcquireSingleInstanceLock(name.c_str()));
}

TEST(Win32InstanceLock, TheLockGoesWithTheProcessThatHeldIt) {
    const std::string name = UniqueLockName("gone");
    Child first = StartChild("InstanceLockChild.TakeAndHold", name);
    EXPECT_EQ(WaitChild(first), 10);
    Child second = StartChild("InstanceLockChild.TakeAndHold", name);
    EXPECT_EQ(WaitChild(second), 10);
}

TEST(Win32InstanceLock, OfSeveralProcessesStartedTogetherExactlyOneGetsIt) {
    const std::string name = UniqueLockName("race");
    std::vector<Child> children;
    for (int i = 0; i < 6; ++i) children.push_back(StartChild("InstanceLockChild.TakeAndHold", name));
    int winners = 0, losers = 0;
    for (Child& c : children) {
        const int code = WaitChild(c);
        if (code == 10) ++winners;
        if (code == 20) ++losers;
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(losers, 5);
}

}  // namespace
