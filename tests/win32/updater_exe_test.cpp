// Drives the real orvane-updater.exe from outside, as a user would: finds its windows by
// title (FindWindow), reads their texts (GetDlgItemTextA), presses its buttons (BM_CLICK) and
// watches the process end. Runs on a virtual display inside a network namespace of its own
// (run_on_display.sh); the end-to-end case runs in the namespace that run_e2e_win32.sh joins to
// the simulated receiver's.
//
// ORVANE_SCREENSHOT_DIR, when set, makes the Screenshots case save the main window and the
// about box as PNG files there.
#include <windows.h>
// windows.h first: shellapi.h relies on its types.
#include <shellapi.h>
//
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "res/catalogue/catalogue.h"
#include "tests/win32/png_writer.h"
#include "tests/win32/win32_test_util.h"

using w32test::TextOf;
using w32test::WaitFor;

namespace {

std::string Text(unsigned language, unsigned id) {
    const CatalogueTable* table = FindCatalogueTable(language);
    return table == nullptr ? std::string() : table->texts[id - FIRST_STRING_ID];
}
std::string S(unsigned id) { return Text(LANG_ID_ENGLISH_US, id); }

// A control's text as the ANSI call gives it (the English texts are plain ASCII).
std::string AnsiText(HWND dialog, unsigned id) {
    char buffer[2048] = {};
    GetDlgItemTextA(dialog, static_cast<int>(id), buffer, sizeof buffer);
    return buffer;
}

// Not in the toolchain's headers.
constexpr DWORD kErrorElevationRequired = 740;

// How a test starts the program: as a program starts another (CreateProcess), or as Explorer
// does on a double click (ShellExecuteEx), which is the way Windows asks the user for
// administrator rights when a program's manifest requires them.
enum class StartWay { CREATE_PROCESS, SHELL_EXECUTE };

class Updater {
public:
    // Starts the program; extra environment entries ("NAME=value") are added to this one's.
    // Windows refuses CreateProcess for a program that requires administrator rights unless
    // the caller has them (ERROR_ELEVATION_REQUIRED); the program is then started the way
    // Explorer does.
    explicit Updater(const std::vector<std::string>& environment = {},
                     StartWay way = StartWay::CREATE_PROCESS) {
        if (way == StartWay::CREATE_PROCESS) {
            StartWithCreateProcess(environment);
            if (!m_started && m_create_error == kErrorElevationRequired) way = StartWay::SHELL_EXECUTE;
        }
        if (way == StartWay::SHELL_EXECUTE) StartWithShellExecute(environment);
    }
    ~Updater() {
        if (!m_started) return;
        if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_pi.hProcess, 99);
            WaitForSingleObject(m_pi.hProcess, 5000);
        }
        CloseHandle(m_pi.hProcess);
        if (m_pi.hThread != nullptr) CloseHandle(m_pi.hThread);
    }
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    bool Started() const { return m_started; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    HANDLE Process() const { return m_pi.hProcess; }
    // What CreateProcess answered (0: it started the program, or it was not tried).
    DWORD CreateProcessError() const { return m_create_error; }
    // How the program was started in the end.
    StartWay Way() const { return m_way; }

private:
    void StartWithShellExecute(const std::vector<std::string>& environment) {
        // The program inherits this process's environment.
        for (const std::string& e : environment) {
            const size_t eq = e.find('=');
            SetEnvironmentVariableA(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str());
        }
        const std::wstring path = w32test::UpdaterPath();
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.lpFile = path.c_str();
        info.nShow = SW_SHOWNORMAL;
        m_started = ShellExecuteExW(&info) != FALSE && info.hProcess != nullptr;
        if (m_started) {
            m_pi.hProcess = info.hProcess;
            m_pi.dwProcessId = GetProcessId(info.hProcess);
            m_way = StartWay::SHELL_EXECUTE;
        }
    }

    void StartWithCreateProcess(const std::vector<std::string>& environment) {
        std::vector<char> block;
        if (!environment.empty()) {
            char* current = GetEnvironmentStringsA();
            for (const char* p = current; *p != '\0'; p += std::strlen(p) + 1) {
                const std::string entry = p;
                const std::string name = entry.substr(0, entry.find('=') + 1);
                bool replaced = false;
                for (const std::string& e : environment)
                    replaced = replaced || e.compare(0, name.size(), name) == 0;
                if (replaced) continue;
                block.insert(block.end(), entry.begin(), entry.end());
                block.push_back('\0');
            }
            FreeEnvironmentStringsA(current);
            for (const std::string& e : environment) {
                block.insert(block.end(), e.begin(), e.end());
                block.push_back('\0');
            }
            block.push_back('\0');
        }
        std::wstring command = L"\"" + w32test::UpdaterPath() + L"\"";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        m_started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0,
                                   block.empty() ? nullptr : block.data(), nullptr, &si, &m_pi) != FALSE;
        m_create_error = m_started ? 0 : GetLastError();
    }

public:
    // A visible dialog window of this process with the title, or null.
    HWND Window(const std::string& title) const {
        struct Search {
            DWORD pid;
            std::string title;
            HWND found;
        } search{m_pi.dwProcessId, title, nullptr};
        EnumWindows(
            [](HWND hwnd, LPARAM p) -> BOOL {
                Search* s = reinterpret_cast<Search*>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(hwnd, &pid);
                if (pid != s->pid || !IsWindowVisible(hwnd)) return TRUE;
                if (TextOf(hwnd) != s->title) return TRUE;
                s->found = hwnd;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    HWND WaitWindow(const std::string& title, unsigned ms) const {
        HWND found = nullptr;
        WaitFor([&] { return (found = Window(title)) != nullptr; }, ms);
        return found;
    }
    // The exit code once the process has ended within ms, else -1.
    long WaitExit(unsigned ms) const {
        if (!m_started || WaitForSingleObject(m_pi.hProcess, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(m_pi.hProcess, &code);
        return static_cast<long>(code);
    }

private:
    PROCESS_INFORMATION m_pi = {};
    bool m_started = false;
    DWORD m_create_error = 0;
    StartWay m_way = StartWay::CREATE_PROCESS;
};

void Click(HWND dialog, unsigned id) {
    PostMessageW(GetDlgItem(dialog, static_cast<int>(id)), BM_CLICK, 0, 0);
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
    return info.hwndFocus;
}

// Checks the Ready state of a main window, the texts from the given language table.
void ExpectReady(HWND main, unsigned language) {
    std::string ready = Text(language, IDS_READY);
    ready.replace(ready.find("%s"), 2, FIRMWARE_VERSION);
    EXPECT_EQ(TextOf(main), Text(language, IDS_MAIN_TITLE));
    EXPECT_EQ(TextOf(GetDlgItem(main, IDC_MESSAGE)), ready);
    EXPECT_EQ(TextOf(GetDlgItem(main, IDC_UPDATE)), Text(language, IDS_UPDATE));
    EXPECT_EQ(TextOf(GetDlgItem(main, IDC_FINISH)), Text(language, IDS_FINISH));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_UPDATE)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_FINISH)));
}

TEST(UpdaterExe, ReadyThenUpdateShowsProbingWithCancelAndCancelEndsTheProcess) {
    Updater updater;
    ASSERT_TRUE(updater.Started());
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr) << "no main window";
    ExpectReady(main, LANG_ID_ENGLISH_US);
    EXPECT_EQ(AnsiText(main, IDC_MESSAGE).substr(0, 47), "Start updating firmware of Orvane M1 to 1.0.28.");
    EXPECT_EQ(FocusOf(main), GetDlgItem(main, IDC_UPDATE));
    // The window's own styles as the template gives them.
    EXPECT_EQ(GetWindowLongW(main, GWL_STYLE) & WS_MINIMIZEBOX, 0);
    EXPECT_NE(GetWindowLongW(main, GWL_STYLE) & WS_SYSMENU, 0);

    Click(main, IDC_UPDATE);
    ASSERT_TRUE(WaitFor([&] { return AnsiText(main, IDC_MESSAGE) == S(IDS_PROBING); }, 5000))
        << AnsiText(main, IDC_MESSAGE);
    EXPECT_EQ(AnsiText(main, IDC_FINISH), S(IDS_CANCEL));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_UPDATE)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_FINISH)));
    // A second press of the disabled button changes nothing.
    Click(main, IDC_UPDATE);
    Sleep(1500);
    EXPECT_EQ(AnsiText(main, IDC_MESSAGE), S(IDS_PROBING));
    EXPECT_EQ(AnsiText(main, IDC_FINISH), S(IDS_CANCEL));

    // Cancel: the teardown, then the process ends by itself.
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

TEST(UpdaterExe, TheAboutCommandOpensTheAboutBoxWithTheVersionTextsAndOkClosesIt) {
    Updater updater;
    ASSERT_TRUE(updater.Started());
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    // The system menu's item sends this command (the menu itself is checked in-process by
    // win32_app_test: under wine another process cannot read it).
    PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
    HWND about = updater.WaitWindow(S(IDS_ABOUT_TITLE), 5000);
    ASSERT_NE(about, nullptr) << "no about box";
    EXPECT_EQ(GetWindow(about, GW_OWNER), main);
    EXPECT_EQ(AnsiText(about, IDC_VERSION_LABEL), "Updater Version ");
    EXPECT_EQ(AnsiText(about, IDC_VERSION), ABOUT_VERSION);
    EXPECT_EQ(AnsiText(about, IDC_NOTICE), S(IDS_NOTICE));
    EXPECT_EQ(AnsiText(about, IDOK), "OK");
    EXPECT_FALSE(IsWindowEnabled(main));
    // Centred over the main window (the template puts it at 0, 0).
    RECT a, m;
    GetWindowRect(about, &a);
    GetWindowRect(main, &m);
    EXPECT_NEAR((a.left + a.right) / 2, (m.left + m.right) / 2, 1);
    Click(about, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }, 5000));
    EXPECT_TRUE(IsWindowEnabled(main));
    ExpectReady(main, LANG_ID_ENGLISH_US);  // nothing else changed
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

// A key as the user types it, through the system's input queue: the system delivers it to the
// window with the keyboard focus, or, when no control has it, to the active window as a
// system key.
void PressKey(HWND main, WORD key) {
    if (GetForegroundWindow() != main) SetForegroundWindow(main);
    INPUT input[2] = {};
    input[0].type = INPUT_KEYBOARD;
    input[0].ki.wVk = key;
    input[1] = input[0];
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
}

// The name of the window that has the keyboard focus in main's thread, for messages.
std::string FocusName(HWND main) {
    HWND focus = FocusOf(main);
    if (focus == nullptr) return "none";
    if (focus == main) return "the main window";
    return "control " + std::to_string(GetDlgCtrlID(focus));
}

// Activates a window of this process and then the updater's window again, as a user switching
// to another program and back does.
void SwitchAwayAndBack(HWND main) {
    HWND other = CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 600, 500,
                                 120, 80, nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    WaitFor([&] { return GetForegroundWindow() == other; }, 2000);
    SetForegroundWindow(main);
    WaitFor([&] { return GetForegroundWindow() == main; }, 2000);
    Sleep(300);
    DestroyWindow(other);
}

TEST(UpdaterExe, TheCloseBoxAndEscEndTheProgramAndEnterPressesTheFocusedUpdateButton) {
    for (const std::string way : {"close box", "Esc", "Enter"}) {
        SCOPED_TRACE(way);
        Updater updater;
        ASSERT_TRUE(updater.Started());
        HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
        ASSERT_NE(main, nullptr);
        ASSERT_EQ(FocusOf(main), GetDlgItem(main, IDC_UPDATE));
        if (way == "close box") PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
        if (way == "Esc") PressKey(main, VK_ESCAPE);
        if (way == "Enter") {
            // In the ready state Enter presses the focused Update button, as a click would: the
            // run starts and the program stays.
            PressKey(main, VK_RETURN);
            ASSERT_TRUE(WaitFor([&] { return AnsiText(main, IDC_MESSAGE) == S(IDS_PROBING); }, 5000))
                << AnsiText(main, IDC_MESSAGE);
            EXPECT_EQ(AnsiText(main, IDC_FINISH), S(IDS_CANCEL));
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_UPDATE)));
            // The focus left the disabled button for the window itself, not for Cancel, and
            // stays off Cancel when the user switches to another program and back.
            EXPECT_EQ(FocusOf(main), main) << FocusName(main);
            for (int round = 0; round < 2; ++round) {
                SCOPED_TRACE(round == 0 ? "right after the press" : "after switching away and back");
                if (round == 1) SwitchAwayAndBack(main);
                EXPECT_NE(FocusOf(main), GetDlgItem(main, IDC_FINISH)) << FocusName(main);
                // Stray keys during the run neither start nor end anything.
                PressKey(main, VK_SPACE);
                PressKey(main, VK_RETURN);
                Sleep(1200);
                EXPECT_EQ(updater.WaitExit(0), -1) << "a stray key ended the program during a run";
                EXPECT_EQ(AnsiText(main, IDC_MESSAGE), S(IDS_PROBING));
                EXPECT_EQ(AnsiText(main, IDC_FINISH), S(IDS_CANCEL));
            }
            // Esc still cancels: the run ends and so does the program, torn down.
            PressKey(main, VK_ESCAPE);
        }
        EXPECT_EQ(updater.WaitExit(15000), 0);
    }
}

// ---- Administrator rights ----

struct Elevation {
    bool read = false;
    bool elevated = false;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
};

Elevation ElevationOf(HANDLE process) {
    Elevation e;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return e;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    e.read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != FALSE &&
             GetTokenInformation(token, TokenElevationType, &e.type, sizeof e.type, &size) != FALSE;
    e.elevated = elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return e;
}

std::string Describe(const Elevation& e) {
    if (!e.read) return "unreadable";
    const char* type = e.type == TokenElevationTypeFull      ? "full"
                       : e.type == TokenElevationTypeLimited ? "limited"
                                                             : "default";
    return std::string(e.elevated ? "elevated" : "not elevated") + ", token type " + type;
}

TEST(UpdaterExeRights, TheProgramRunsWithAdministratorRights) {
    const Elevation self = ElevationOf(GetCurrentProcess());
    Updater updater;
    ASSERT_TRUE(updater.Started()) << "CreateProcess error " << updater.CreateProcessError();
    const Elevation program = ElevationOf(updater.Process());
    std::printf("[rights] this test (as invoked): %s\n", Describe(self).c_str());
    std::printf("[rights] CreateProcess of the program: %s\n",
                updater.CreateProcessError() == 0
                    ? "started it"
                    : ("error " + std::to_string(updater.CreateProcessError())).c_str());
    std::printf("[rights] started by %s; the program: %s\n",
                updater.Way() == StartWay::CREATE_PROCESS ? "CreateProcess" : "ShellExecuteEx",
                Describe(program).c_str());
    // requireAdministrator: the program never runs without the rights (Windows asks the user
    // or refuses to start it).
    EXPECT_TRUE(program.read);
    EXPECT_TRUE(program.elevated);
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

TEST(UpdaterExeRights, StartedTheWayExplorerDoesItRunsAndEnds) {
    Updater updater({}, StartWay::SHELL_EXECUTE);
    ASSERT_TRUE(updater.Started()) << "ShellExecuteEx error " << GetLastError();
    EXPECT_EQ(updater.Way(), StartWay::SHELL_EXECUTE);
    std::printf("[rights] started by ShellExecuteEx; the program: %s\n",
                Describe(ElevationOf(updater.Process())).c_str());
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    ExpectReady(main, LANG_ID_ENGLISH_US);
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

// ---- The end of the Windows session ----

TEST(UpdaterExe, TheEndOfTheWindowsSessionEndsTheProgramOnceItIsAnswered) {
    Updater updater;
    ASSERT_TRUE(updater.Started());
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    Click(main, IDC_UPDATE);
    ASSERT_TRUE(WaitFor([&] { return AnsiText(main, IDC_MESSAGE) == S(IDS_PROBING); }, 5000));
    // Windows asks every top-level window, then tells it; each is sent and answered in turn.
    DWORD_PTR answer = 0;
    ASSERT_NE(
        SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer),
        0);
    EXPECT_NE(answer, 0u) << "the program must let the session end";
    EXPECT_EQ(updater.WaitExit(500), -1) << "asked only: nothing ends yet";
    ASSERT_NE(
        SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 10000, &answer),
        0);
    // Torn down while answering; the program then ends by itself, as after Finish.
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

TEST(UpdaterExe, ASecondInstanceEndsAtOnceAndLeavesTheFirstAsItWas) {
    Updater first;
    ASSERT_TRUE(first.Started());
    HWND main = first.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    Click(main, IDC_UPDATE);
    ASSERT_TRUE(WaitFor([&] { return AnsiText(main, IDC_MESSAGE) == S(IDS_PROBING); }, 5000));

    Updater second;
    ASSERT_TRUE(second.Started());
    EXPECT_EQ(second.WaitExit(15000), 0);
    EXPECT_EQ(second.Window(S(IDS_MAIN_TITLE)), nullptr);
    // The running one goes on with its run, and was brought to the front.
    EXPECT_EQ(AnsiText(main, IDC_MESSAGE), S(IDS_PROBING));
    EXPECT_EQ(AnsiText(main, IDC_FINISH), S(IDS_CANCEL));
    EXPECT_EQ(GetForegroundWindow(), main);
    Click(main, IDC_FINISH);
    EXPECT_EQ(first.WaitExit(15000), 0);

    // Once the first has gone, a new start runs normally.
    Updater third;
    HWND again = third.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(again, nullptr);
    ExpectReady(again, LANG_ID_ENGLISH_US);
    Click(again, IDC_FINISH);
    EXPECT_EQ(third.WaitExit(15000), 0);
}

// ---- Layout at the display's scaling ----

// The DPI this run's display is set to (run_on_display.sh, ORVANE_W32_DPI), 96 by default.
int DisplayDpi() {
    const char* value = std::getenv("ORVANE_W32_DPI");
    return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : 96;
}

RECT ClientOnScreen(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&client), 2);
    return client;
}

bool Inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom && inner.right > inner.left && inner.bottom > inner.top;
}

std::string Text(const RECT& r) {
    return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ") - (" + std::to_string(r.right) +
           ", " + std::to_string(r.bottom) + ")";
}

// Every control of the template lies inside the window's client area, and the window lies
// wholly on the screen's work area.
void ExpectLaidOutInside(HWND window, const DialogTemplate& t) {
    const RECT client = ClientOnScreen(window);
    for (int i = 0; i < t.control_count; ++i) {
        const ControlTemplate& c = t.controls[i];
        SCOPED_TRACE("control " + std::to_string(c.id));
        HWND control = GetDlgItem(window, static_cast<int>(c.id));
        ASSERT_NE(control, nullptr);
        RECT r;
        GetWindowRect(control, &r);
        if (std::string(c.window_class) == "STATIC" && (c.style & SS_TYPEMASK) == SS_ETCHEDHORZ) {
            // The separator is a 1-unit line 278 units wide from the left edge of a window 279
            // units wide; the system draws it as a 2-pixel edge around its rectangle, which at
            // some font widths reaches a pixel past the window's edge, where it is clipped.
            // Its rectangle itself must lie inside.
            GetClientRect(control, &r);
            MapWindowPoints(control, nullptr, reinterpret_cast<POINT*>(&r), 2);
            r.bottom = r.top + 1;
        }
        EXPECT_TRUE(Inside(r, client)) << Text(r) << " is not inside the client area " << Text(client);
    }
    RECT frame;
    GetWindowRect(window, &frame);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor));
    EXPECT_TRUE(Inside(frame, monitor.rcWork))
        << Text(frame) << " is not on the screen " << Text(monitor.rcWork);
}

TEST(UpdaterExeLayout, EveryControlLiesInsideItsWindowAtTheDisplaysDpi) {
    const int dpi = DisplayDpi();
    std::printf("[layout] display at %d DPI\n", dpi);
    Updater updater;
    ASSERT_TRUE(updater.Started());
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    const DialogTemplate* t = FindDialogTemplate(IDD_UPDATER);
    ASSERT_NE(t, nullptr);
    {
        SCOPED_TRACE("main window");
        ExpectLaidOutInside(main, *t);
    }

    // The dialog units of the window's font at this DPI, from the client area the template
    // asks for, and every control where that font puts it: a window laid out for 96 DPI and
    // scaled, or a font that did not grow with the DPI, would not fit these.
    const RECT client = ClientOnScreen(main);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    const int base_x = (width * 4 + t->cx / 2) / t->cx;
    const int base_y = (height * 8 + t->cy / 2) / t->cy;
    std::printf("[layout] main window client %d x %d pixels: %d x %d pixels per 4 x 8 dialog units\n", width,
                height, base_x, base_y);
    EXPECT_NEAR(width, MulDiv(t->cx, base_x, 4), 1);
    EXPECT_NEAR(height, MulDiv(t->cy, base_y, 8), 1);
    // A 9-point font is 5 to 9 pixels per 4 units wide, and 12 to 18 high per 8, at 96 DPI.
    EXPECT_GE(base_x * 96, 5 * dpi);
    EXPECT_LE(base_x * 96, 9 * dpi);
    EXPECT_GE(base_y * 96, 12 * dpi);
    EXPECT_LE(base_y * 96, 18 * dpi);
    for (unsigned id : {IDC_MESSAGE, IDC_UPDATE, IDC_FINISH}) {
        SCOPED_TRACE("control " + std::to_string(id));
        const ControlTemplate* c = nullptr;
        for (int i = 0; i < t->control_count; ++i)
            if (t->controls[i].id == id) c = &t->controls[i];
        ASSERT_NE(c, nullptr);
        RECT r;
        GetWindowRect(GetDlgItem(main, static_cast<int>(id)), &r);
        EXPECT_NEAR(r.left - client.left, MulDiv(c->x, base_x, 4), 2);
        EXPECT_NEAR(r.top - client.top, MulDiv(c->y, base_y, 8), 2);
        EXPECT_NEAR(r.right - r.left, MulDiv(c->cx, base_x, 4), 2);
        EXPECT_NEAR(r.bottom - r.top, MulDiv(c->cy, base_y, 8), 2);
    }

    PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
    HWND about = updater.WaitWindow(S(IDS_ABOUT_TITLE), 5000);
    ASSERT_NE(about, nullptr);
    {
        SCOPED_TRACE("about box");
        ExpectLaidOutInside(about, *FindDialogTemplate(IDD_ABOUT));
    }
    Click(about, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }, 5000));
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

// The platform picks the table from the user's language; under wine that is the locale of the
// Unix environment that wine starts in, so CTest runs this case once per language with LC_ALL
// set and the table's id in ORVANE_W32_LANGUAGE.
TEST(UpdaterExeLanguage, TheTablesTextsShowInTheMainWindowAndTheAboutBox) {
    const char* id = std::getenv("ORVANE_W32_LANGUAGE");
    if (id == nullptr) GTEST_SKIP() << "ORVANE_W32_LANGUAGE is not set";
    const unsigned language = static_cast<unsigned>(std::atoi(id));
    ASSERT_NE(FindCatalogueTable(language), nullptr) << language;
    Updater updater;
    ASSERT_TRUE(updater.Started());
    HWND main = updater.WaitWindow(Text(language, IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr) << "no main window titled in language " << language;
    ExpectReady(main, language);
    PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
    HWND about = updater.WaitWindow(Text(language, IDS_ABOUT_TITLE), 5000);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(TextOf(GetDlgItem(about, IDC_VERSION_LABEL)), Text(language, IDS_VERSION_LABEL));
    EXPECT_EQ(TextOf(GetDlgItem(about, IDC_NOTICE)), Text(language, IDS_NOTICE));
    Click(about, IDOK);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }, 5000));
    Click(main, IDC_UPDATE);
    EXPECT_TRUE(
        WaitFor([&] { return TextOf(GetDlgItem(main, IDC_MESSAGE)) == Text(language, IDS_PROBING); }, 5000));
    EXPECT_EQ(TextOf(GetDlgItem(main, IDC_FINISH)), Text(language, IDS_CANCEL));
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

// Where a screenshot of the given window goes: ORVANE_SCREENSHOT_DIR/win32-<what>-<scaling>.png,
// the scaling in percent of the display's DPI; empty when no screenshots are asked for.
std::string ScreenshotPath(const std::string& what) {
    const char* folder = std::getenv("ORVANE_SCREENSHOT_DIR");
    if (folder == nullptr || *folder == '\0') return std::string();
    std::string dir = folder;
    if (dir[0] == '/') dir = "Z:" + dir;  // wine's drive for the Unix root
    return dir + "/win32-" + what + "-" + std::to_string(DisplayDpi() * 100 / 96) + ".png";
}

// Writes the README's screenshots; only when asked to.
TEST(UpdaterExeScreenshots, MainWindowAndAboutBox) {
    if (ScreenshotPath("main").empty()) GTEST_SKIP() << "ORVANE_SCREENSHOT_DIR is not set";
    Updater updater;
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    // Away from the virtual desktop's corner. The about box first: once it closes, its owner
    // is the active window, which a console program like this one cannot otherwise arrange.
    SetWindowPos(main, HWND_TOP, 40, 40, 0, 0, SWP_NOSIZE);
    RECT m;
    GetWindowRect(main, &m);
    PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
    HWND about = updater.WaitWindow(S(IDS_ABOUT_TITLE), 5000);
    ASSERT_NE(about, nullptr);
    Sleep(1500);
    EXPECT_TRUE(w32test::SaveScreenArea(m, ScreenshotPath("about")));
    Click(about, IDOK);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }, 5000));
    Sleep(1500);
    EXPECT_TRUE(w32test::SaveScreenArea(m, ScreenshotPath("main")));
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

// One whole run against the simulated receiver in the neighbouring namespace; only inside
// run_e2e_win32.sh, which sets ORVANE_W32_E2E.
TEST(UpdaterExeEndToEnd, OneCompletedRun) {
    if (std::getenv("ORVANE_W32_E2E") == nullptr) GTEST_SKIP() << "runs only inside run_e2e_win32.sh";
    Updater updater;
    ASSERT_TRUE(updater.Started());
    HWND main = updater.WaitWindow(S(IDS_MAIN_TITLE), 20000);
    ASSERT_NE(main, nullptr);
    ExpectReady(main, LANG_ID_ENGLISH_US);
    Click(main, IDC_UPDATE);
    ASSERT_TRUE(WaitFor([&] { return AnsiText(main, IDC_MESSAGE) == S(IDS_PROBING); }, 5000));
    // The device fetches the manifest: "Updating..." and the progress window.
    HWND progress = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (progress = updater.Window(S(IDS_PROGRESS_TITLE))) != nullptr; }, 60000))
        << "no progress window; message: " << AnsiText(main, IDC_MESSAGE);
    EXPECT_EQ(AnsiText(main, IDC_MESSAGE), S(IDS_UPDATING));
    EXPECT_FALSE(IsWindowEnabled(main));
    EXPECT_EQ(GetWindowLongW(progress, GWL_STYLE) & WS_SYSMENU, 0);
    if (!ScreenshotPath("progress").empty()) {
        // With a few steps of the bar showing (one every 2 seconds).
        HWND bar = GetDlgItem(progress, IDC_PROGRESS);
        WaitFor([&] { return SendMessageW(bar, PBM_GETPOS, 0, 0) >= 3 || !IsWindow(progress); }, 10000);
        RECT m;
        GetWindowRect(main, &m);
        EXPECT_TRUE(w32test::SaveScreenArea(m, ScreenshotPath("progress")));
    }
    // The outcome: the progress window closes, then the final texts.
    ASSERT_TRUE(WaitFor([&] { return AnsiText(main, IDC_MESSAGE) == S(IDS_COMPLETED); }, 90000))
        << AnsiText(main, IDC_MESSAGE);
    EXPECT_FALSE(IsWindow(progress));
    EXPECT_EQ(AnsiText(main, IDC_FINISH), S(IDS_FINISH));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDC_UPDATE)));
    EXPECT_TRUE(IsWindowEnabled(main));
    Click(main, IDC_FINISH);
    EXPECT_EQ(updater.WaitExit(15000), 0);
}

}  // namespace
