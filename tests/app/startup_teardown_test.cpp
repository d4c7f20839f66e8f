// Start-up and shut-down of the main window: the order of the start-up, the second instance
// that starts nothing, and the one teardown on every way out.
#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "app_fixture.h"
#include "platform/dialog_chrome/dialog_chrome.h"
#include "platform/threads.h"

using namespace apptest;
using headless::Key;
using headless::Then;
using headless::ThenAdvance;
using headless::ThenPress;

namespace {

class StartUpTest : public AppTest {};

CDialog& Main() { return *headless::FindOpen(IDD_UPDATER); }

TEST_F(StartUpTest, StartsInOrderAndShowsTheReadyState) {
    Then([] {
        // Lock before anything else; images, sockets, firewall in that order.
        const std::vector<std::string> expected = {"lock", "load images", "start sockets", "open firewall"};
        EXPECT_EQ(Rec().events, expected);
        EXPECT_TRUE(ImagesLoaded());
        EXPECT_EQ(Text(IDD_UPDATER, 0), "Firmware updater for Orvane M1");
        EXPECT_EQ(Text(IDD_UPDATER, IDC_UPDATE), "Update");
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Finish");
        EXPECT_EQ(
            Text(IDD_UPDATER, IDC_MESSAGE),
            "Start updating firmware of Orvane M1 to 1.0.28.\n\nPlease select [Update] button to start.");
        EXPECT_TRUE(Enabled(IDD_UPDATER, IDC_UPDATE));
        EXPECT_TRUE(Enabled(IDD_UPDATER, IDC_FINISH));
        CDialog& main = *headless::FindOpen(IDD_UPDATER);
        EXPECT_FALSE(headless::HasTimer(main, WATCHDOG_TIMER));
        EXPECT_EQ(dialogchrome::WindowIcon(main, true), IDI_UPDATER);
        EXPECT_EQ(dialogchrome::WindowIcon(main, false), IDI_UPDATER);
        const auto menu = dialogchrome::SystemMenu(main);
        ASSERT_EQ(menu.size(), 2u);
        EXPECT_TRUE(menu[0].separator);
        EXPECT_FALSE(menu[1].separator);
        EXPECT_EQ(menu[1].id, IDM_ABOUT);
        EXPECT_EQ(menu[1].text, "Updater version information");
        EXPECT_EQ(Rec().worker_starts, 0);
    });
    ThenPress(IDC_FINISH);
    // The application object runs the main window and then gives false.
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(Rec().socket_starts, 1);
    EXPECT_EQ(headless::OpenedTemplates(), std::vector<unsigned>{IDD_UPDATER});
}

TEST_F(StartUpTest, TextsFollowTheInterfaceLanguage) {
    SetCatalogueLanguage(LANG_ID_GERMAN);
    Then([] {
        EXPECT_EQ(Text(IDD_UPDATER, IDC_UPDATE), "Aktualisieren");
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Beenden");
        EXPECT_NE(Text(IDD_UPDATER, IDC_MESSAGE).find("1.0.28"), std::string::npos);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE).find("%s"), std::string::npos);
    });
    ThenPress(IDC_UPDATE);
    Then([] { EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Abbrechen"); });
    ThenPress(IDC_FINISH);
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

TEST_F(StartUpTest, SecondInstanceTouchesNothingAndEndsAtOnce) {
    Rec().lock_available = false;
    // Input the second instance must never take.
    ThenPress(IDC_UPDATE);
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(Rec().events, (std::vector<std::string>{"lock", "activate"}));
    EXPECT_EQ(Rec().image_lookups, 0);
    EXPECT_FALSE(ImagesLoaded());
    EXPECT_EQ(Rec().socket_starts, 0);
    EXPECT_EQ(Rec().socket_stops, 0);
    EXPECT_EQ(Rec().open_firewall_calls, 0);
    EXPECT_EQ(Rec().close_firewall_calls, 0);
    EXPECT_EQ(Rec().worker_starts, 0);
    EXPECT_EQ(headless::PendingActions(), 1u);
    headless::Reset();  // drop the unused press
}

TEST_F(StartUpTest, SecondInstanceDialogEndsWithCancel) {
    Rec().lock_available = false;
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_FALSE(dlg.IsStarted());
}

// ---- Teardown on every way out -----------------------------------------------------------

struct ExitPath {
    const char* name;
    void (*queue)();
    int result;
};

void CheckTornDownOnce() {
    const Record& r = Rec();
    EXPECT_EQ(r.socket_stops, 1);
    EXPECT_EQ(r.close_firewall_calls, 1);
    EXPECT_EQ(r.wait_calls, 1);
    EXPECT_FALSE(ImagesLoaded());
    EXPECT_TRUE(r.images_loaded_at_wait) << "images freed before the worker had ended";
    EXPECT_TRUE(r.window_ended_at_wait) << "the window stayed up, frozen, while the teardown waited";
    EXPECT_FALSE(r.images_loaded_at_firewall_close);
    // Worker wait, socket stop, firewall close: in that order, after the whole start-up.
    EXPECT_LT(EventIndex("open firewall"), EventIndex("wait worker"));
    EXPECT_LT(EventIndex("wait worker"), EventIndex("stop sockets"));
    EXPECT_LT(EventIndex("stop sockets"), EventIndex("close firewall"));
    EXPECT_EQ(g_update_running, 0);
    EXPECT_EQ(g_device_report, 0);
}

class ExitPathTest : public AppTest, public ::testing::WithParamInterface<ExitPath> {};

TEST_P(ExitPathTest, BeforeAnyRunTearsDownOnce) {
    GetParam().queue();
    {
        CUpdaterDlg dlg;
        EXPECT_EQ(dlg.DoModal(), GetParam().result);
        CheckTornDownOnce();
        EXPECT_EQ(Rec().stop_network_calls, 0);  // no worker was ever active
    }
    // Destroying the window object does not tear down a second time.
    CheckTornDownOnce();
}

TEST_P(ExitPathTest, DuringProbingStopsTheRunFirst) {
    Rec().worker_active_on_start = 1;
    ThenPress(IDC_UPDATE);
    ThenAdvance(5500);
    Then([] { EXPECT_EQ(g_idle_seconds, 5); });
    GetParam().queue();
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), GetParam().result);
    CheckTornDownOnce();
    // The run is stopped (network half included) before the worker wait.
    EXPECT_EQ(Rec().stop_network_calls, 1);
    EXPECT_LT(EventIndex("stop network"), EventIndex("wait worker"));
    EXPECT_EQ(g_idle_seconds, 0);
    EXPECT_EQ(g_update_outcome, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryWayOut, ExitPathTest,
    ::testing::Values(ExitPath{"Finish", [] { ThenPress(IDC_FINISH); }, IDCANCEL},
                      ExitPath{"Escape", [] { headless::ThenKey(Key::ESCAPE); }, IDCANCEL},
                      ExitPath{"CloseBox", [] { headless::ThenCloseBox(); }, IDCANCEL},
                      ExitPath{"AltF4", [] { headless::ThenKey(Key::ALT_F4); }, IDCANCEL},
                      ExitPath{"SystemMenuClose",
                               [] { headless::ThenSysCommand(headless::SC_CLOSE_COMMAND); }, IDCANCEL}),
    [](const ::testing::TestParamInfo<ExitPath>& param_info) { return std::string(param_info.param.name); });

// ---- The keyboard -------------------------------------------------------------------------

// Update has the focus in the ready state, so Enter and Space press it, as on both real
// platforms: they start a run rather than end the program. During the run no control has
// the focus, and neither key does anything; Esc still ends the program with the teardown.
TEST_F(StartUpTest, EnterStartsARunAndNeitherEnterNorSpaceEndsIt) {
    Rec().worker_active_on_start = 1;
    Then([] { EXPECT_EQ(headless::FocusedControl(Main()), IDC_UPDATE); });
    headless::ThenKey(Key::ENTER);
    Then([] {
        EXPECT_EQ(Rec().worker_starts, 1);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_PROBING));
        EXPECT_EQ(headless::FocusedControl(Main()), 0u) << "the focus went on to Cancel";
        EXPECT_FALSE(headless::PressKey(Key::ENTER));
        EXPECT_FALSE(headless::PressKey(Key::SPACE));
    });
    ThenAdvance(5000);
    headless::ThenKey(Key::SPACE);
    headless::ThenKey(Key::ENTER);
    Then([] {
        EXPECT_EQ(g_update_running, 1);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Cancel");
        EXPECT_EQ(Rec().worker_starts, 1);
        EXPECT_EQ(Rec().wait_calls, 0) << "the teardown ran";
    });
    headless::ThenKey(Key::ESCAPE);
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    CheckTornDownOnce();
    EXPECT_EQ(Rec().stop_network_calls, 1);
}

TEST_F(StartUpTest, AfterAnOutcomeTheKeysActOnlyOnAButtonGivenTheFocus) {
    ThenPress(IDC_UPDATE);
    ThenAdvance(421000);  // no device
    Then([] {
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_NO_DEVICE));
        EXPECT_FALSE(headless::PressKey(Key::ENTER));
        EXPECT_EQ(Rec().worker_starts, 1);
        ASSERT_TRUE(headless::SetFocus(IDC_UPDATE));
        EXPECT_TRUE(headless::PressKey(Key::SPACE));
        EXPECT_EQ(Rec().worker_starts, 2);
        EXPECT_FALSE(headless::SetFocus(IDC_UPDATE)) << "disabled again by the new run";
        ASSERT_TRUE(headless::SetFocus(IDC_FINISH));
    });
    headless::ThenKey(Key::ENTER);  // Cancel, now focused
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    CheckTornDownOnce();
}

TEST_F(StartUpTest, WorkerThatDoesNotEndKeepsTheImages) {
    Rec().worker_active_on_start = 1;
    Rec().worker_ends = false;
    ThenPress(IDC_UPDATE);
    ThenAdvance(2000);
    ThenPress(IDC_FINISH);
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    // Freeing them under a running worker would pull its data away; the process ends soon.
    EXPECT_TRUE(ImagesLoaded());
    EXPECT_EQ(Rec().socket_stops, 1);
    EXPECT_EQ(Rec().close_firewall_calls, 1);
    g_worker_active = 0;
}

TEST_F(StartUpTest, AnOrdinaryRestartAfterTheFirstHasEnded) {
    ThenPress(IDC_FINISH);
    EXPECT_FALSE(theApp.InitInstance());
    ThenPress(IDC_FINISH);
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(Rec().socket_starts, 2);
    EXPECT_EQ(Rec().socket_stops, 2);
    EXPECT_EQ(Rec().open_firewall_calls, 2);
    EXPECT_EQ(Rec().close_firewall_calls, 2);
}

TEST(ReadyMessage, OnlyTheOneVersionIsFilledIn) {
    EXPECT_EQ(FormatReadyMessage("to %s.", "1.0.28"), "to 1.0.28.");
    // Nothing else in a catalogue text is a format: no conversion is ever read or written.
    EXPECT_EQ(FormatReadyMessage("%d %n 100% to %s, %s", "1.0.28"), "%d %n 100% to 1.0.28, %s");
    EXPECT_EQ(FormatReadyMessage("no argument", "1.0.28"), "no argument");
    EXPECT_EQ(FormatReadyMessage("", "1.0.28"), "");
}

}  // namespace

// ---- With the real update worker ----------------------------------------------------------

namespace {

int LoopbackOnly(NetInterface* out, int capacity) {
    if (capacity < 1) return 0;
    // The announcer sees one broadcast-capable network: loopback's, nothing real.
    out[0] = {MakeIPv4(127, 0, 0, 1), MakeIPv4(255, 0, 0, 0), IFACE_UP | IFACE_BROADCAST, {}};
    return 1;
}

class RealWorkerTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        AppServices services = CurrentAppServices();
        const AppServices& system = SystemAppServices();
        services.start_worker = system.start_worker;
        services.stop_network = system.stop_network;
        services.wait_worker_end = system.wait_worker_end;
        SetAppServices(services);
        SocketOps ops = CurrentSocketOps();
        ops.list_interfaces = LoopbackOnly;
        SetSocketOps(ops);
    }
};

TEST_F(RealWorkerTest, TeardownStopsAWaitingWorkerBeforeTheImagesGo) {
    ThenPress(IDC_UPDATE);
    Then([] {
        // The worker runs in real time: wait until it serves and waits for a device.
        const long long deadline = MonotonicMs() + 5000;
        while (g_worker_active == 0 && MonotonicMs() < deadline) SleepMs(5);
        ASSERT_GT(g_worker_active, 0);
        EXPECT_EQ(g_update_outcome, 0);
    });
    ThenAdvance(3000);
    Then([] { EXPECT_GT(g_worker_active, 0) << "the server waits for a device that never comes"; });
    ThenPress(IDC_FINISH);
    const long long start = MonotonicMs();
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    // The stop ended the server loop, and the worker was gone before the images were freed.
    EXPECT_EQ(g_worker_active, 0);
    EXPECT_FALSE(ImagesLoaded());
    EXPECT_LT(MonotonicMs() - start, 10000);
    EXPECT_EQ(Rec().socket_stops, 1);
    EXPECT_EQ(Rec().close_firewall_calls, 1);
}

}  // namespace
