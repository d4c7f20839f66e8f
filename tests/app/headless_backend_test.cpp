// The headless back-end's own rules, on which every window test relies: timers in nested
// loops, ticks that collapse while the thread is blocked, deferred ends, input only to the
// topmost window, and a script that runs dry ending instead of hanging.
#include <gtest/gtest.h>

#include <vector>

#include "platform/dialog.h"
#include "platform/headless/headless.h"
#include "res/catalogue/catalogue.h"

namespace {

using headless::Then;
using headless::ThenAdvance;

// A dialog that records its ticks and can open a nested one on a tick.
class Probe : public CDialog {
public:
    explicit Probe(unsigned template_id) : CDialog(template_id) {}
    std::vector<std::pair<long long, unsigned>> ticks;
    int depth = 0;
    int max_depth = 0;
    std::function<void(unsigned)> on_tick;
    std::vector<unsigned> commands;
    std::vector<int> close_requests;

protected:
    bool OnInitDialog() override {
        SetTimer(7, 1000);
        return true;
    }
    void OnTimer(unsigned id) override {
        ++depth;
        max_depth = std::max(max_depth, depth);
        ticks.emplace_back(headless::NowMs(), id);
        if (on_tick) on_tick(id);
        --depth;
    }
    void OnCommand(unsigned id) override {
        commands.push_back(id);
        CDialog::OnCommand(id);
    }
    bool OnCloseRequest(int code) override {
        close_requests.push_back(code);
        return true;
    }
};

class HeadlessTest : public ::testing::Test {
protected:
    void SetUp() override { headless::Reset(); }
    void TearDown() override {
        EXPECT_EQ(headless::OpenCount(), 0);
        headless::Reset();
    }
};

TEST_F(HeadlessTest, TicksAreDeliveredNestedInsideAnInnerModalLoop) {
    Probe outer(IDD_UPDATER);
    Probe inner(IDD_PROGRESS);
    outer.on_tick = [&](unsigned) {
        if (outer.ticks.size() == 2) inner.DoModal();  // blocks this tick
    };
    ThenAdvance(2000);  // second tick opens the inner window
    ThenAdvance(3000);
    Then([&] {
        EXPECT_EQ(headless::Topmost(), &inner);
        // The outer timer kept ticking, nested in its own blocked handler.
        EXPECT_EQ(outer.ticks.size(), 5u);
        EXPECT_EQ(outer.max_depth, 2);
        EXPECT_EQ(inner.ticks.size(), 3u);
        inner.PostClose();
        EXPECT_TRUE(inner.IsOpen());  // only once this action has returned
    });
    Then([&] {
        EXPECT_FALSE(inner.IsOpen());
        outer.EndDialog(IDOK);
    });
    EXPECT_EQ(outer.DoModal(), IDOK);
    EXPECT_FALSE(headless::RanDry());
}

TEST_F(HeadlessTest, TicksDueWhileBlockedArriveAsOne) {
    Probe dlg(IDD_UPDATER);
    dlg.on_tick = [&](unsigned) {
        if (dlg.ticks.size() == 1) UiSleep(3500);  // blocks from 1 s to 4.5 s
    };
    ThenAdvance(6000);
    Then([&] { dlg.EndDialog(IDCANCEL); });
    dlg.DoModal();
    std::vector<long long> times;
    for (auto& t : dlg.ticks) times.push_back(t.first);
    // Due at 2, 3 and 4 s while blocked: one late tick at 4.5 s, then on the old beat.
    EXPECT_EQ(times, (std::vector<long long>{1000, 4500, 5000, 6000}));
}

TEST_F(HeadlessTest, KilledTimerDeliversNoMoreTicks) {
    Probe dlg(IDD_UPDATER);
    ThenAdvance(2500);
    Then([&] {
        dlg.KillTimer(7);
        EXPECT_TRUE(headless::Timers(dlg).empty());
    });
    ThenAdvance(5000);
    Then([&] { dlg.EndDialog(IDCANCEL); });
    dlg.DoModal();
    EXPECT_EQ(dlg.ticks.size(), 2u);
}

TEST_F(HeadlessTest, InputReachesOnlyTheTopmostEnabledButton) {
    Probe outer(IDD_UPDATER);
    Probe inner(IDD_ABOUT);
    Then([&] {
        EXPECT_TRUE(headless::Press(IDC_UPDATE));
        outer.EnableDlgItem(IDC_UPDATE, false);
        EXPECT_FALSE(headless::Press(IDC_UPDATE));
        EXPECT_FALSE(headless::Press(IDC_MESSAGE));  // not a button
        EXPECT_FALSE(headless::Press(4242));         // no such control
        outer.EnableDlgItem(IDC_UPDATE, true);
        headless::Then([&] {
            EXPECT_FALSE(headless::PressIn(outer, IDC_UPDATE));  // owner is disabled
            EXPECT_TRUE(headless::Press(IDC_OK));                // ends the about box
        });
        inner.DoModal();
        outer.EndDialog(IDCANCEL);
    });
    outer.DoModal();
    EXPECT_EQ(outer.commands, std::vector<unsigned>{IDC_UPDATE});
    EXPECT_EQ(inner.commands, std::vector<unsigned>{IDC_OK});
}

TEST_F(HeadlessTest, EndDialogTakesEffectAfterTheHandler) {
    Probe dlg(IDD_PROGRESS);
    bool after = false;
    Then([&] {
        dlg.EndDialog(5);
        EXPECT_TRUE(dlg.IsOpen());
        dlg.SetWindowText("still here");
        EXPECT_EQ(dlg.GetWindowText(), "still here");
        after = true;
    });
    EXPECT_EQ(dlg.DoModal(), 5);
    EXPECT_TRUE(after);
    EXPECT_FALSE(dlg.IsOpen());
    // A closed window takes no calls; the back-end counts them.
    const int before = headless::StrayCalls();
    dlg.SetDlgItemText(IDC_PROGRESS, "x");
    EXPECT_FALSE(dlg.SetTimer(1, 1000));
    EXPECT_EQ(headless::StrayCalls(), before + 2);
}

TEST_F(HeadlessTest, ScriptRunningDryEndsTheWindow) {
    Probe dlg(IDD_UPDATER);
    ThenAdvance(3000);
    EXPECT_EQ(dlg.DoModal(), headless::HEADLESS_RAN_DRY);
    EXPECT_TRUE(headless::RanDry());
    EXPECT_EQ(dlg.ticks.size(), 3u);
}

TEST_F(HeadlessTest, UnknownTemplateCannotBeMade) {
    Probe dlg(4711);
    EXPECT_EQ(dlg.DoModal(), -1);
    EXPECT_FALSE(headless::RanDry());
}

TEST_F(HeadlessTest, FocusStartsOnTheFirstTabStopAndIsLostWithItsControl) {
    Probe main(IDD_UPDATER);
    Probe about(IDD_ABOUT);
    Then([&] {
        EXPECT_EQ(headless::FocusedControl(main), IDC_UPDATE);  // the message area takes none
        EXPECT_TRUE(headless::PressKey(headless::Key::SPACE));
        EXPECT_TRUE(headless::PressKey(headless::Key::ENTER));
        EXPECT_EQ(main.commands, (std::vector<unsigned>{IDC_UPDATE, IDC_UPDATE}));
        // Disabling another control leaves the focus where it is.
        main.EnableDlgItem(IDC_FINISH, false);
        EXPECT_EQ(headless::FocusedControl(main), IDC_UPDATE);
        main.EnableDlgItem(IDC_FINISH, true);
        main.EnableDlgItem(IDC_UPDATE, false);
        EXPECT_EQ(headless::FocusedControl(main), 0u);
        EXPECT_FALSE(headless::PressKey(headless::Key::SPACE));
        EXPECT_FALSE(headless::PressKey(headless::Key::ENTER));
        main.EnableDlgItem(IDC_UPDATE, true);
        EXPECT_EQ(headless::FocusedControl(main), 0u) << "enabling gives no focus back";
        EXPECT_FALSE(headless::SetFocus(IDC_MESSAGE));
        EXPECT_FALSE(headless::SetFocus(4711));
        EXPECT_TRUE(headless::SetFocus(IDC_FINISH));
        EXPECT_TRUE(headless::PressKey(headless::Key::SPACE));
        EXPECT_EQ(main.commands.back(), IDC_FINISH);
        EXPECT_TRUE(main.close_requests.empty());
        // The about box: its one tab stop, the default OK button.
        about.DoModal();
    });
    headless::OnOpen(IDD_ABOUT, [&](CDialog& d) {
        EXPECT_EQ(headless::FocusedControl(d), IDC_OK);
        Then([] { EXPECT_TRUE(headless::PressKey(headless::Key::ENTER)); });
    });
    Then([&] { main.EndDialog(IDOK); });
    EXPECT_EQ(main.DoModal(), IDOK);
    EXPECT_EQ(about.commands, (std::vector<unsigned>{IDC_OK}));
}

TEST_F(HeadlessTest, CloseBoxOnlyWhereThereIsASystemMenu) {
    Probe progress(IDD_PROGRESS);
    Then([&] {
        EXPECT_FALSE(progress.HasSystemMenu());
        EXPECT_FALSE(headless::CloseBox());
        EXPECT_FALSE(headless::PressKey(headless::Key::ALT_F4));
        EXPECT_TRUE(headless::PressKey(headless::Key::ENTER));  // no default button: IDOK
    });
    EXPECT_EQ(progress.DoModal(), IDOK);
}

}  // namespace
