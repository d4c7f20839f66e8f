// The main window through an update run, grouped by the state the window is in: probing,
// writing with the progress window open, the outcomes, and the retry after them. The worker
// is a recorder; the test stores what a worker and a device would store in the run state.
#include "app/progress_dlg.h"
#include "app/updater_dlg.h"
#include "app_fixture.h"

using namespace apptest;
using headless::Then;
using headless::ThenAdvance;
using headless::ThenPress;

namespace {

constexpr long long SECOND = 1000;

CDialog& Main() { return *headless::FindOpen(IDD_UPDATER); }
bool ProgressOpen() { return headless::FindOpen(IDD_PROGRESS) != nullptr; }
int ProgressOpenings() {
    int n = 0;
    for (unsigned id : headless::OpenedTemplates()) n += id == IDD_PROGRESS ? 1 : 0;
    return n;
}

class RunTest : public AppTest {
protected:
    // Runs the queued script in a main window, then leaves through Finish.
    void RunMainWindow() {
        ThenPress(IDC_FINISH);
        CUpdaterDlg dlg;
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    }
    // Press Update at a whole second so that ticks fall on whole seconds after it.
    static void PressUpdate() { ThenPress(IDC_UPDATE); }
    static void Report(int32_t kind) {
        Then([kind] { g_device_report = kind; });
    }
    static void Outcome(int32_t outcome) {
        Then([outcome] { g_update_outcome = outcome; });
    }
    static void ExpectMessage(unsigned id) {
        Then([id] {
            EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(id)) << "at " << headless::NowMs() << " ms";
        });
    }
    static void ExpectFinishedRetry(unsigned message) {
        Then([message] {
            EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(message));
            EXPECT_TRUE(Enabled(IDD_UPDATER, IDC_UPDATE));
            EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Finish");
            EXPECT_FALSE(headless::HasTimer(Main(), WATCHDOG_TIMER));
            EXPECT_EQ(g_update_running, 0);
            EXPECT_EQ(g_update_outcome, 0);
            EXPECT_EQ(g_idle_seconds, 0);
            EXPECT_EQ(g_timeout_ms, TIMEOUT_BEFORE_MANIFEST_MS);
        });
    }
};

// ---- Probing ----------------------------------------------------------------------------

class ProbingTest : public RunTest {};

TEST_F(ProbingTest, UpdatePressStartsOneRun) {
    PressUpdate();
    Then([] {
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_PROBING));
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Cancel");
        EXPECT_FALSE(Enabled(IDD_UPDATER, IDC_UPDATE));
        EXPECT_TRUE(Enabled(IDD_UPDATER, IDC_FINISH));
        EXPECT_EQ(g_update_running, 1);
        const auto timers = headless::Timers(Main());
        ASSERT_EQ(timers.size(), 1u);
        EXPECT_EQ(timers[0].id, WATCHDOG_TIMER);
        EXPECT_EQ(timers[0].period_ms, 1000u);
        EXPECT_EQ(Rec().worker_starts, 1);
        // The disabled button gives no second run.
        EXPECT_FALSE(headless::Press(IDC_UPDATE));
        EXPECT_EQ(Rec().worker_starts, 1);
    });
    ThenAdvance(999);
    Then([] { EXPECT_EQ(g_idle_seconds, 0); });
    ThenAdvance(1);
    Then([] { EXPECT_EQ(g_idle_seconds, 1); });  // first tick one second after the press
    RunMainWindow();
}

TEST_F(ProbingTest, NoDeviceOnThe421stTick) {
    PressUpdate();
    ThenAdvance(420 * SECOND);
    Then([] {
        EXPECT_EQ(g_idle_seconds, 420);
        EXPECT_EQ(g_update_outcome, 0);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_PROBING));
        EXPECT_FALSE(Enabled(IDD_UPDATER, IDC_UPDATE));
    });
    ThenAdvance(SECOND);
    ExpectFinishedRetry(IDS_NO_DEVICE);
    RunMainWindow();
}

TEST_F(ProbingTest, ProgressReportsKeepTheRunAlive) {
    PressUpdate();
    // A report every 400 seconds, of each kind 4 to 7, for far longer than the time-out.
    for (int32_t kind : {REQ_ERASE_START, REQ_ERASE_FINISH, REQ_WRITING, REQ_WROTE, REQ_ERASE_START}) {
        ThenAdvance(400 * SECOND);
        Report(kind);
    }
    ThenAdvance(SECOND);
    Then([] {
        EXPECT_EQ(g_device_report, 0);
        EXPECT_EQ(g_idle_seconds, 0);
        EXPECT_EQ(g_update_running, 1);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_PROBING));
    });
    // Then silence: the limit is still 420.
    ThenAdvance(420 * SECOND);
    ExpectMessage(IDS_PROBING);
    ThenAdvance(SECOND);
    ExpectFinishedRetry(IDS_NO_DEVICE);
    RunMainWindow();
}

TEST_F(ProbingTest, AReportOnTheTickThatExceedsTheLimitDoesNotUndoIt) {
    PressUpdate();
    ThenAdvance(420 * SECOND + 500);
    Report(REQ_WRITING);
    ThenAdvance(500);  // the 421st tick: time-out first, then the report is consumed
    ExpectFinishedRetry(IDS_NO_DEVICE);
    RunMainWindow();
}

TEST_F(ProbingTest, UnknownReportsAreLeftAlone) {
    PressUpdate();
    Report(REQ_IMAGE_MTD4);
    ThenAdvance(3 * SECOND);
    Then([] {
        EXPECT_EQ(g_device_report, REQ_IMAGE_MTD4);
        EXPECT_EQ(g_idle_seconds, 3);
    });
    RunMainWindow();
}

TEST_F(ProbingTest, WorkerOutcomesWithoutAManifest) {
    struct Case {
        int32_t outcome;
        unsigned message;
        bool update_enabled;
    };
    for (const Case c :
         {Case{OUTCOME_NO_DEVICE, IDS_NO_DEVICE, true}, Case{OUTCOME_FAILED, IDS_FAILED, true},
          Case{OUTCOME_OLD_VERSION, IDS_OLD_VERSION, false}, Case{OUTCOME_COMPLETED, IDS_COMPLETED, false}}) {
        SCOPED_TRACE(c.outcome);
        TearDown();
        SetUp();
        PressUpdate();
        ThenAdvance(10 * SECOND + 300);
        Outcome(c.outcome);
        ExpectMessage(IDS_PROBING);  // nothing before the next tick
        ThenAdvance(700);
        Then([c] {
            EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(c.message));
            EXPECT_EQ(Enabled(IDD_UPDATER, IDC_UPDATE), c.update_enabled);
            EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Finish");
            EXPECT_EQ(g_update_outcome, 0);
            EXPECT_FALSE(headless::HasTimer(Main(), WATCHDOG_TIMER));
            // After a final outcome only Finish is left.
            EXPECT_EQ(headless::Press(IDC_UPDATE), c.update_enabled);
            if (c.update_enabled) headless::Press(IDC_FINISH);
        });
        if (!c.update_enabled) ThenPress(IDC_FINISH);
        CUpdaterDlg dlg;
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_EQ(Rec().worker_starts, c.update_enabled ? 2 : 1);
    }
}

TEST_F(ProbingTest, AnOutcomeLeftOverFromAnEarlierRunDoesNotEndTheNextOne) {
    // A result stored after the last run had been stopped, and a stale report.
    Then([] {
        g_update_outcome = OUTCOME_FAILED;
        g_device_report = REQ_WROTE;
        g_idle_seconds = 77;
    });
    PressUpdate();
    ThenAdvance(5 * SECOND);
    Then([] {
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_PROBING));
        EXPECT_EQ(g_idle_seconds, 5);
        EXPECT_EQ(g_update_running, 1);
    });
    RunMainWindow();
}

// ---- Writing: the progress window is open ------------------------------------------------

class WritingTest : public RunTest {};

TEST_F(WritingTest, ManifestFetchOpensTheProgressWindow) {
    headless::OnOpen(IDD_PROGRESS, [](CDialog& progress) {
        // The main window already says so when the progress window opens.
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_UPDATING));
        EXPECT_EQ(g_progress_shown, 1);
        EXPECT_EQ(g_timeout_ms, TIMEOUT_AFTER_MANIFEST_MS);
        EXPECT_EQ(g_idle_seconds, 0);
        EXPECT_EQ(progress.GetWindowText(), S(IDS_PROGRESS_TITLE));
        const auto bar = headless::Progress(progress, IDC_PROGRESS);
        EXPECT_EQ(bar.minimum, 0);
        EXPECT_EQ(bar.maximum, 58);
        EXPECT_TRUE(headless::HasTimer(progress, PROGRESS_TIMER));
    });
    PressUpdate();
    ThenAdvance(30 * SECOND);
    Report(REQ_LIST);
    ThenAdvance(SECOND);
    Then([] {
        ASSERT_TRUE(ProgressOpen());
        EXPECT_EQ(headless::Topmost(), headless::FindOpen(IDD_PROGRESS));
        // The main window takes no input under the progress window.
        EXPECT_FALSE(headless::PressIn(Main(), IDC_FINISH));
        EXPECT_FALSE(headless::CloseBox());  // the progress window has none
    });
    // Ticks keep coming, nested, against the limit 300.
    ThenAdvance(100 * SECOND);
    Then([] {
        EXPECT_EQ(g_idle_seconds, 100);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Cancel");
        EXPECT_FALSE(Enabled(IDD_UPDATER, IDC_UPDATE));
    });
    Outcome(OUTCOME_COMPLETED);
    ThenAdvance(4 * SECOND);
    RunMainWindow();
    EXPECT_EQ(ProgressOpenings(), 1);
}

TEST_F(WritingTest, CompletionIsShownInTheTickThatClosesTheProgressWindow) {
    PressUpdate();
    ThenAdvance(5 * SECOND);
    Report(REQ_LIST);
    ThenAdvance(20 * SECOND + 500);
    Outcome(OUTCOME_COMPLETED);
    // Poll every 100 ms: while the progress window is open nothing changes in the main
    // window; there is no moment at which it is closed and the outcome not yet shown.
    for (int i = 0; i < 50; ++i) {
        ThenAdvance(100);
        Then([] {
            if (ProgressOpen()) {
                EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_UPDATING));
                EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Cancel");
            } else {
                EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_COMPLETED));
                EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Finish");
                EXPECT_FALSE(Enabled(IDD_UPDATER, IDC_UPDATE));
                EXPECT_EQ(g_progress_shown, 0);
            }
        });
    }
    Then([] {
        EXPECT_FALSE(ProgressOpen());
        // Opened at 6 s, ticks at 8, 10, ... 26: the tick at 26 s sees the outcome, pauses a
        // second; the window was gone before 27.5 s.
        EXPECT_EQ(g_progress_pos, 0);
    });
    RunMainWindow();
}

TEST_F(WritingTest, SilenceAfterTheManifestFailsOnThe301stTick) {
    PressUpdate();
    ThenAdvance(2 * SECOND);
    Report(REQ_LIST);
    ThenAdvance(SECOND);  // consumed at 3 s
    // Progress ticks fall on odd seconds (opened at 3 s); the report is consumed at 105 s so
    // that the 301st tick after it, at 406 s, does not share its second with one of them.
    ThenAdvance(101 * SECOND);
    Report(REQ_ERASE_START);
    ThenAdvance(SECOND);  // consumed: counter back to 0
    ThenAdvance(300 * SECOND);
    Then([] {
        EXPECT_EQ(g_idle_seconds, 300);
        EXPECT_EQ(g_update_outcome, 0);
        EXPECT_TRUE(ProgressOpen());
    });
    ThenAdvance(SECOND);
    Then([] {
        // The nested tick stored the failure but shows nothing while the window is open.
        EXPECT_EQ(g_update_outcome, OUTCOME_FAILED);
        EXPECT_TRUE(ProgressOpen());
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_UPDATING));
    });
    ThenAdvance(4 * SECOND);
    Then([] { EXPECT_FALSE(ProgressOpen()); });
    ExpectFinishedRetry(IDS_FAILED);
    RunMainWindow();
}

TEST_F(WritingTest, RepeatedManifestFetchResetsButOpensNoSecondWindow) {
    PressUpdate();
    ThenAdvance(SECOND);
    Report(REQ_LIST);
    for (int i = 0; i < 4; ++i) {
        ThenAdvance(250 * SECOND);
        Report(REQ_LIST);
    }
    ThenAdvance(SECOND);
    Then([] {
        EXPECT_EQ(g_device_report, 0);
        EXPECT_EQ(g_idle_seconds, 0);
        EXPECT_EQ(g_timeout_ms, TIMEOUT_AFTER_MANIFEST_MS);
        EXPECT_EQ(ProgressOpenings(), 1);
        EXPECT_TRUE(ProgressOpen());
        EXPECT_EQ(headless::OpenCount(), 2);
    });
    Outcome(OUTCOME_OLD_VERSION);
    ThenAdvance(4 * SECOND);
    Then([] {
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_OLD_VERSION));
        EXPECT_FALSE(Enabled(IDD_UPDATER, IDC_UPDATE));
    });
    RunMainWindow();
}

TEST_F(WritingTest, EscapeInTheProgressWindowLeavesTheRunGoing) {
    PressUpdate();
    ThenAdvance(SECOND);
    Report(REQ_LIST);
    ThenAdvance(9 * SECOND);  // opened at 2 s; bar at 4 by 10 s
    Then([] { EXPECT_EQ(g_progress_pos, 4); });
    headless::ThenKey(headless::Key::ESCAPE);
    Then([] {
        EXPECT_FALSE(ProgressOpen());
        EXPECT_EQ(g_progress_shown, 0);
        EXPECT_EQ(g_progress_pos, 4);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_UPDATING));
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Cancel");
        EXPECT_TRUE(headless::HasTimer(Main(), WATCHDOG_TIMER));
        EXPECT_EQ(g_update_running, 1);
    });
    ThenAdvance(10 * SECOND);
    Then([] { EXPECT_EQ(g_idle_seconds, 18); });  // still counting, limit 300
    // A later manifest fetch opens it again, with the bar where it was left.
    Then([] { headless::OnOpen(IDD_PROGRESS, [](CDialog&) { EXPECT_EQ(g_progress_pos, 4); }); });
    Report(REQ_LIST);
    ThenAdvance(SECOND);
    Then([] { EXPECT_TRUE(ProgressOpen()); });
    // Enter ends it the same way.
    headless::ThenKey(headless::Key::ENTER);
    Then([] { EXPECT_FALSE(ProgressOpen()); });
    Outcome(OUTCOME_COMPLETED);
    ThenAdvance(SECOND);
    ExpectMessage(IDS_COMPLETED);
    RunMainWindow();
    EXPECT_EQ(ProgressOpenings(), 2);
}

TEST_F(WritingTest, OutcomeAlreadyStoredWhenTheWindowOpens) {
    PressUpdate();
    ThenAdvance(SECOND + 500);
    Then([] {
        g_device_report = REQ_LIST;
        g_update_outcome = OUTCOME_COMPLETED;
    });
    ThenAdvance(500);  // consumed at 2 s: the window opens although the run is over
    Then([] { EXPECT_TRUE(ProgressOpen()); });
    ThenAdvance(1999);
    Then([] {
        EXPECT_TRUE(ProgressOpen());
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_UPDATING));
    });
    ThenAdvance(1);  // first progress tick at 4 s: full bar, one second, closed at 5 s
    Then([] {
        EXPECT_FALSE(ProgressOpen());
        EXPECT_EQ(headless::NowMs(), 5000);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_COMPLETED));
    });
    RunMainWindow();
}

// ---- Retry --------------------------------------------------------------------------------

class RetryTest : public RunTest {};

TEST_F(RetryTest, AfterNoDeviceANewRunStartsWithTheFullLimit) {
    PressUpdate();
    ThenAdvance(421 * SECOND);
    ExpectFinishedRetry(IDS_NO_DEVICE);
    PressUpdate();
    Then([] {
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_PROBING));
        EXPECT_EQ(Text(IDD_UPDATER, IDC_FINISH), "Cancel");
        EXPECT_FALSE(Enabled(IDD_UPDATER, IDC_UPDATE));
        EXPECT_TRUE(headless::HasTimer(Main(), WATCHDOG_TIMER));
        EXPECT_EQ(Rec().worker_starts, 2);
    });
    ThenAdvance(420 * SECOND);
    ExpectMessage(IDS_PROBING);
    ThenAdvance(SECOND);
    ExpectFinishedRetry(IDS_NO_DEVICE);
    RunMainWindow();
}

TEST_F(RetryTest, AfterAFailureTheSecondProgressWindowStartsAfresh) {
    int openings = 0;
    headless::OnOpen(IDD_PROGRESS, [&openings](CDialog& progress) {
        ++openings;
        EXPECT_EQ(headless::Progress(progress, IDC_PROGRESS).maximum, 58);
        EXPECT_EQ(g_progress_pos, 0);
    });
    PressUpdate();
    ThenAdvance(SECOND);
    Report(REQ_LIST);
    ThenAdvance(SECOND);
    ThenAdvance(305 * SECOND);  // silent: fails, window closes
    ExpectFinishedRetry(IDS_FAILED);
    PressUpdate();
    Then([] { EXPECT_EQ(g_timeout_ms, TIMEOUT_BEFORE_MANIFEST_MS); });
    ThenAdvance(SECOND);
    Report(REQ_LIST);
    ThenAdvance(SECOND);
    Then([] { EXPECT_TRUE(ProgressOpen()); });
    Outcome(OUTCOME_COMPLETED);
    ThenAdvance(4 * SECOND);
    ExpectMessage(IDS_COMPLETED);
    RunMainWindow();
    EXPECT_EQ(openings, 2);
}

TEST_F(RetryTest, AnOutcomeOverwrittenByTheTimeOutWhileTheWindowIsOpen) {
    // The counter is already past the limit when the worker's result comes in; the next
    // nested tick's time-out test overwrites it before the progress window closes.
    PressUpdate();
    ThenAdvance(SECOND);
    Report(REQ_LIST);
    ThenAdvance(SECOND);        // consumed at 2 s; progress ticks on even seconds
    ThenAdvance(301 * SECOND);  // 303 s: the 301st silent tick
    Then([] {
        EXPECT_TRUE(ProgressOpen());
        EXPECT_EQ(g_update_outcome, OUTCOME_FAILED);
        g_update_outcome = OUTCOME_COMPLETED;
    });
    ThenAdvance(4 * SECOND);
    ExpectFinishedRetry(IDS_FAILED);
    RunMainWindow();
}

}  // namespace
