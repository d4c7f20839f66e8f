// The progress window on its own: the estimate from the image sizes, the bar over time,
// the finish once an outcome exists.
#include "app/progress_dlg.h"
#include "app_fixture.h"

using namespace apptest;
using headless::Then;
using headless::ThenAdvance;

namespace {

class ProgressTest : public AppTest {
protected:
    void SetSlots(std::vector<uint32_t> sizes) {
        for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
            m_data[i].assign(sizes[i] == 0 ? 1 : sizes[i], 0);
            g_image_sizes[i] = sizes[i];
            g_image_data[i] = sizes[i] == 0 ? nullptr : m_data[i].data();
        }
    }
    void TearDown() override {
        for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
            g_image_data[i] = nullptr;
            g_image_sizes[i] = 0;
        }
        AppTest::TearDown();
    }
    static CDialog& Bar() { return *headless::FindOpen(IDD_PROGRESS); }

private:
    std::vector<unsigned char> m_data[IMAGE_SLOT_COUNT];
};

TEST_F(ProgressTest, RangeCountsWholeStepsOfFilledSlots) {
    struct Case {
        std::vector<uint32_t> sizes;
        int maximum;
    };
    const Case cases[] = {
        {{0, 484, 1929216, 749568}, 58},    // the shipped images
        {{44999, 0, 0, 0}, 0},              // less than a step adds nothing
        {{45000, 0, 0, 0}, 1},              // exactly one step
        {{44999, 44999, 44999, 44999}, 0},  // remainders are dropped per slot
        {{90001, 45000, 0, 135000}, 6},
    };
    for (const Case& c : cases) {
        SetSlots(c.sizes);
        CProgressDlg progress;
        headless::Then([&progress, &c] {
            const auto bar = headless::Progress(progress, IDC_PROGRESS);
            EXPECT_EQ(bar.minimum, 0);
            EXPECT_EQ(bar.maximum, c.maximum);
            EXPECT_EQ(g_progress_max, c.maximum);
            EXPECT_EQ(progress.GetWindowText(), S(IDS_PROGRESS_TITLE));
            progress.EndDialog(IDCANCEL);
        });
        progress.DoModal();
    }
    // A slot whose size is set but that holds no data counts for nothing.
    SetSlots({0, 0, 0, 0});
    g_image_sizes[2] = 900000;
    CProgressDlg progress;
    Then([&progress] {
        EXPECT_EQ(headless::Progress(progress, IDC_PROGRESS).maximum, 0);
        progress.EndDialog(IDCANCEL);
    });
    progress.DoModal();
}

TEST_F(ProgressTest, BarAdvancesEveryTwoSecondsAndStaysFull) {
    SetSlots({0, 0, 135000, 0});  // three steps
    Then([] { EXPECT_EQ(headless::Progress(Bar(), IDC_PROGRESS).position_sets, 0); });
    ThenAdvance(1999);
    Then([] { EXPECT_EQ(g_progress_pos, 0); });
    ThenAdvance(1);
    Then([] { EXPECT_EQ(headless::Progress(Bar(), IDC_PROGRESS).position, 1); });
    ThenAdvance(4000);
    Then([] { EXPECT_EQ(headless::Progress(Bar(), IDC_PROGRESS).shown, 3); });
    // Longer than the estimate: full, no wrap, still open, position past the maximum.
    ThenAdvance(20000);
    Then([] {
        const auto bar = headless::Progress(Bar(), IDC_PROGRESS);
        EXPECT_EQ(bar.position, 13);
        EXPECT_EQ(bar.shown, 3);
        EXPECT_TRUE(headless::HasTimer(Bar(), PROGRESS_TIMER));
        g_update_outcome = OUTCOME_FAILED;
    });
    ThenAdvance(2000);  // the finishing tick at 28 s: full bar, 1 s pause, closed
    Then([] { ADD_FAILURE() << "the window should have closed"; });
    CProgressDlg progress;
    EXPECT_EQ(progress.DoModal(), IDCANCEL);
    EXPECT_EQ(headless::NowMs(), 29000);
    EXPECT_EQ(g_progress_pos, 0);
    EXPECT_EQ(headless::PendingActions(), 1u);
    headless::Reset();
}

TEST_F(ProgressTest, FinishingTickShowsTheFullBarThenCloses) {
    SetSlots({0, 0, 45000 * 40, 0});
    ThenAdvance(4000);
    Then([] {
        EXPECT_EQ(g_progress_pos, 2);
        g_update_outcome = OUTCOME_COMPLETED;
    });
    ThenAdvance(2000);
    CProgressDlg progress;
    EXPECT_EQ(progress.DoModal(), IDCANCEL);
    // The bar's last position was the full one, and it closed after the pause.
    EXPECT_EQ(headless::NowMs(), 7000);
    EXPECT_EQ(g_progress_pos, 0);
    EXPECT_EQ(g_progress_max, 40);
}

TEST_F(ProgressTest, NoImagesGiveAFullBarAtTheFirstTick) {
    SetSlots({0, 0, 0, 0});
    ThenAdvance(2000);
    Then([] {
        const auto bar = headless::Progress(Bar(), IDC_PROGRESS);
        EXPECT_EQ(bar.maximum, 0);
        EXPECT_EQ(bar.shown, 0);
        EXPECT_EQ(bar.position, 1);
        EXPECT_TRUE(headless::FindOpen(IDD_PROGRESS) != nullptr);
    });
    headless::ThenKey(headless::Key::ESCAPE);
    CProgressDlg progress;
    EXPECT_EQ(progress.DoModal(), IDCANCEL);
    EXPECT_EQ(g_progress_pos, 1);  // dismissed, not finished: the position is kept
}

}  // namespace
