// Drives the real orvane-updater.exe from outside, as a user would: finds its windows by
// title (FindWindow), reads their texts (GetDlgItemTextA), presses its buttons (BM_CLICK) and
// watches the process end. Runs on a virtual display inside a network namespace of its own
// (run_on_display.sh); the end-to-end case runs in the namespace that run_e2e_win32.sh joins to
// the simulated receiver's.
//
// ORVANE_SCREENSHOT_DIR, when set, makes the Screenshots case save the main window and the
// about box as PNG files there.
#include <windows.h>

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

class Updater {
public:
    // Starts the program; extra environment entries ("NAME=value") are added to this one's.
    explicit Updater(const std::vector<std::string>& environment = {}) {
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
    }
    ~Updater() {
        if (!m_started) return;
        if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_pi.hProcess, 99);
            WaitForSingleObject(m_pi.hProcess, 5000);
        }
        CloseHandle(m_pi.hProcess);
        CloseHandle(m_pi.hThread);
    }
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    bool Started() const { return m_started; }
    DWORD Pid() const { return m_pi.dwProcessId; }

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

// Writes the README's screenshots; only when asked to.
TEST(UpdaterExeScreenshots, MainWindowAndAboutBox) {
    const char* folder = std::getenv("ORVANE_SCREENSHOT_DIR");
    if (folder == nullptr || *folder == '\0') GTEST_SKIP() << "ORVANE_SCREENSHOT_DIR is not set";
    std::string dir = folder;
    if (dir[0] == '/') dir = "Z:" + dir;  // wine's drive for the Unix root
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
    EXPECT_TRUE(w32test::SaveScreenArea(m, dir + "/win32-about.png"));
    Click(about, IDOK);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }, 5000));
    Sleep(1500);
    EXPECT_TRUE(w32test::SaveScreenArea(m, dir + "/win32-main.png"));
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
    const char* folder = std::getenv("ORVANE_SCREENSHOT_DIR");
    if (folder != nullptr && *folder != '\0') {
        std::string dir = folder;
        if (dir[0] == '/') dir = "Z:" + dir;
        Sleep(500);
        RECT m;
        GetWindowRect(main, &m);
        EXPECT_TRUE(w32test::SaveScreenArea(m, dir + "/win32-progress.png"));
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
