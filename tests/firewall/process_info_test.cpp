// The executable's path and the computer name from the real platform. On Windows also from a
// copy of this program in a folder whose name lies outside the ANSI code page (a Polish
// letter and a Japanese folder), under a computer name of that kind: both must reach the
// firewall services exactly as they are.
#include <gtest/gtest.h>

#include <string>

#include "firewall/firewall_exception.h"
#include "firewall/firewall_opening.h"
#include "firewall/port_mapping.h"
#include "platform/process_info.h"
#include "run/run_state.h"
#include "tests/firewall/fake_firewall.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

extern char** environ;
#endif

namespace {

#ifdef _WIN32
const std::u16string kProgram = u"firewall_process_info_test.exe";
#else
const std::u16string kProgram = u"firewall_process_info_test";
#endif

bool EndsWith(const std::u16string& text, const std::u16string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ProcessInfoTest, ExecutablePathNamesThisProgram) {
    std::u16string path;
    ASSERT_TRUE(ReadExecutablePathText(&path, 260));
    EXPECT_TRUE(EndsWith(path, kProgram)) << Narrow(path);
    // A full path, not a bare name.
    EXPECT_GT(path.size(), kProgram.size());
    EXPECT_EQ(path.find(u'\0'), std::u16string::npos);
}

TEST(ProcessInfoTest, APathThatDoesNotFitIsNotHandedOutCutOff) {
    std::u16string full;
    ASSERT_TRUE(ReadExecutablePathText(&full, 4096));
    ASSERT_GT(full.size(), 4u);
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{4}, full.size(), full.size() + 1}) {
        SCOPED_TRACE(capacity);
        std::u16string got = u"left over";
        const bool read = ReadExecutablePathText(&got, capacity);
        if (capacity > full.size()) {
            EXPECT_TRUE(read);
            EXPECT_EQ(got, full);
        } else {
            EXPECT_FALSE(read);
            EXPECT_TRUE(got.empty());
        }
    }
    std::u16string none = u"left over";
    EXPECT_FALSE(ReadExecutablePathText(&none, 0));
    EXPECT_TRUE(none.empty());
}

TEST(ProcessInfoTest, ComputerNameIsReadable) {
    std::u16string name;
    ASSERT_TRUE(ReadComputerNameText(&name));
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find(u'\0'), std::u16string::npos);
#ifdef _WIN32
    EXPECT_LE(name.size(), 15u);
#endif
}

#ifdef _WIN32

std::wstring EnvW(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD n = GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

std::u16string U16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// Runs in the copy that the next case starts: the real path and computer name, through a fake
// firewall that takes them from the system, in both opening methods.
TEST(ProcessInfoChild, PathAndComputerNameReachTheServicesUnchanged) {
    const std::wstring expected_path = EnvW(L"ORVANE_EXPECTED_PATH");
    if (expected_path.empty()) GTEST_SKIP() << "runs only in the copy that the parent case starts";
    const std::u16string expected_computer = U16(EnvW(L"ORVANE_EXPECTED_COMPUTER"));

    std::u16string path;
    ASSERT_TRUE(ReadExecutablePathText(&path, 260));
    EXPECT_EQ(path, U16(expected_path));
    std::u16string computer;
    ASSERT_TRUE(ReadComputerNameText(&computer));
    EXPECT_EQ(computer, expected_computer);

    for (const bool manager : {true, false}) {
        SCOPED_TRACE(manager ? "application method" : "port-mapping method");
        FakeFirewallPlatform fake;
        ScopedFirewallPlatform use(fake);
        fake.system_process_info = true;
        fake.manager_present = manager;
        fake.connections.emplace_back();
        CPortMapping* port_mapping = nullptr;
        CFirewallException* firewall_exception = nullptr;
        OpenFirewallFor(port_mapping, firewall_exception);
        if (manager) {
            ASSERT_EQ(fake.entries.size(), 1u);
            EXPECT_EQ(fake.entries[0].path, U16(expected_path));
        } else {
            ASSERT_EQ(fake.connections[0].mappings.size(), 1u);
            EXPECT_EQ(fake.connections[0].mappings[0].target, expected_computer);
        }
        CloseFirewallFor(port_mapping, firewall_exception);
        EXPECT_TRUE(fake.entries.empty());
        EXPECT_EQ(fake.removed_paths,
                  manager ? std::vector<FwText>{U16(expected_path)} : std::vector<FwText>{});
        EXPECT_TRUE(fake.errors.empty()) << fake.ErrorText();
    }
}

// The computer name as the system keeps it, set for one child process and put back after.
class ComputerNameOverride {
public:
    explicit ComputerNameOverride(const std::wstring& name) {
        for (const wchar_t* key : kKeys) {
            wchar_t old[64] = {};
            DWORD size = sizeof old;
            const bool had = RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ComputerName", RRF_RT_REG_SZ, nullptr,
                                          old, &size) == ERROR_SUCCESS;
            m_saved.push_back({key, had ? std::wstring(old) : std::wstring(), had});
            m_ok =
                RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"ComputerName", REG_SZ, name.c_str(),
                                static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
                m_ok;
        }
    }
    ~ComputerNameOverride() {
        for (const Saved& s : m_saved) {
            if (s.had) {
                RegSetKeyValueW(HKEY_LOCAL_MACHINE, s.key, L"ComputerName", REG_SZ, s.value.c_str(),
                                static_cast<DWORD>((s.value.size() + 1) * sizeof(wchar_t)));
            } else {
                RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, s.key, L"ComputerName");
            }
        }
    }
    ComputerNameOverride(const ComputerNameOverride&) = delete;
    ComputerNameOverride& operator=(const ComputerNameOverride&) = delete;
    bool Ok() const { return m_ok; }

private:
    static constexpr const wchar_t* kKeys[] = {
        L"System\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
        L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
    };
    struct Saved {
        const wchar_t* key;
        std::wstring value;
        bool had;
    };
    std::vector<Saved> m_saved;
    bool m_ok = true;
};

TEST(ProcessInfoTest, APathAndComputerNameOutsideTheAnsiCodePageAreReadAsTheyAre) {
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring user = std::wstring(temp) + L"\u0141ukasz-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = user + L"\\\u65E5\u672C\u8A9E";
    const std::wstring copy = folder + L"\\firewall_process_info_test.exe";
    const std::wstring computer = L"\u0141UKASZ-\u30D1\u30BD\u30B3\u30F3";

    // What the ANSI calls would have made of them here.
    BOOL lossy_path = FALSE;
    BOOL lossy_name = FALSE;
    char narrow[MAX_PATH * 4];
    WideCharToMultiByte(CP_ACP, 0, copy.c_str(), -1, narrow, sizeof narrow, nullptr, &lossy_path);
    WideCharToMultiByte(CP_ACP, 0, computer.c_str(), -1, narrow, sizeof narrow, nullptr, &lossy_name);
    std::printf("[path] ANSI code page %u: the path %s, the computer name %s\n", GetACP(),
                lossy_path ? "would lose characters" : "would survive",
                lossy_name ? "would lose characters" : "would survive");

    ASSERT_TRUE(CreateDirectoryW(user.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE)) << GetLastError();

    DWORD exit_code = 99;
    {
        ComputerNameOverride name(computer);
        ASSERT_TRUE(name.Ok()) << "cannot set the computer name for the child";
        SetEnvironmentVariableW(L"ORVANE_EXPECTED_PATH", copy.c_str());
        SetEnvironmentVariableW(L"ORVANE_EXPECTED_COMPUTER", computer.c_str());
        std::wstring command = L"\"" + copy + L"\" --gtest_filter=ProcessInfoChild.*";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        const BOOL started =
            CreateProcessW(copy.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
        SetEnvironmentVariableW(L"ORVANE_EXPECTED_PATH", nullptr);
        SetEnvironmentVariableW(L"ORVANE_EXPECTED_COMPUTER", nullptr);
        ASSERT_TRUE(started) << GetLastError();
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
        GetExitCodeProcess(pi.hProcess, &exit_code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW(user.c_str());
    EXPECT_EQ(exit_code, 0u) << "the copy's checks failed (its output is above)";
}

#else  // !_WIN32

// Runs in the copies that the next case starts.
TEST(ProcessInfoChild, PathDecodedFromUtf8OrRefused) {
    const char* expect = std::getenv("ORVANE_EXPECT");
    if (expect == nullptr) GTEST_SKIP() << "runs only in the copies that the parent case starts";
    std::u16string path = u"left over";
    const bool read = ReadExecutablePathText(&path, 4096);
    if (std::string(expect) == "utf8") {
        ASSERT_TRUE(read);
        EXPECT_TRUE(EndsWith(path, u"/\u0141ukasz/\U0001F4E6\u65E5\u672C\u8A9E/firewall_process_info_test"))
            << Narrow(path);
    } else {
        // Not UTF-8: no guessed name, which would be another file's.
        EXPECT_FALSE(read);
        EXPECT_TRUE(path.empty());
    }
}

int RunCopy(const std::filesystem::path& program, const char* expect) {
    const std::string setting = std::string("ORVANE_EXPECT=") + expect;
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(const_cast<char*>(setting.c_str()));
    env.push_back(nullptr);
    const std::string filter = "--gtest_filter=ProcessInfoChild.*";
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, env.data()) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ProcessInfoTest, APathInUtf8IsDecodedAndOneThatIsNotIsRefused) {
    namespace fs = std::filesystem;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    char base_template[] = "/tmp/orvane-path-XXXXXX";
    ASSERT_NE(mkdtemp(base_template), nullptr);
    const fs::path base = base_template;
    // A Polish letter, a character beyond 16 bits, Japanese; and a byte that is no UTF-8.
    const fs::path utf8 = base / "\xC5\x81ukasz" / "\xF0\x9F\x93\xA6\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
    const fs::path invalid = base / "latin1-\xFF";
    for (const fs::path& folder : {utf8, invalid}) {
        fs::create_directories(folder);
        fs::copy_file(self, folder / "firewall_process_info_test");
    }
    EXPECT_EQ(RunCopy(utf8 / "firewall_process_info_test", "utf8"), 0);
    EXPECT_EQ(RunCopy(invalid / "firewall_process_info_test", "invalid"), 0);
    fs::remove_all(base);
}

#endif  // _WIN32

}  // namespace
