// The about box and the main window's chrome: the system-menu item, the minimised painting,
// the drag icon, and the about box during a run.
#include "app/about_dlg.h"
#include "app/updater_dlg.h"
#include "app_fixture.h"

using namespace apptest;
using headless::Then;
using headless::ThenAdvance;
using headless::ThenPress;

namespace {

CDialog& Main() { return *headless::FindOpen(IDD_UPDATER); }
bool AboutOpen() { return headless::FindOpen(IDD_ABOUT) != nullptr; }

class ChromeTest : public AppTest {
protected:
    void RunMainWindow() {
        ThenPress(IDC_FINISH);
        CUpdaterDlg dlg;
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    }
};

TEST_F(ChromeTest, AboutItemIdsOpenTheBox) {
    headless::OnOpen(IDD_ABOUT, [](CDialog& about) { about.EndDialog(IDOK); });
    for (unsigned command : {16u, 17u, 31u, 0x10010u}) {
        Then([command] {
            EXPECT_TRUE(headless::SysCommand(command));
            EXPECT_FALSE(AboutOpen()) << "the box ended within the command";
        });
    }
    RunMainWindow();
    EXPECT_EQ(headless::OpenedTemplates(),
              (std::vector<unsigned>{IDD_UPDATER, IDD_ABOUT, IDD_ABOUT, IDD_ABOUT, IDD_ABOUT}));
}

TEST_F(ChromeTest, AboutBoxShowsVersionAndNoticeAndEndsEveryWay) {
    int shown = 0;
    headless::OnOpen(IDD_ABOUT, [&shown](CDialog& about) {
        ++shown;
        EXPECT_EQ(about.GetWindowText(), "Version Information");
        EXPECT_EQ(about.GetDlgItemText(IDC_VERSION_LABEL), "Updater Version ");
        EXPECT_EQ(about.GetDlgItemText(IDC_VERSION), "1.0.0.50208");
        EXPECT_EQ(about.GetDlgItemText(IDC_NOTICE), LEGAL_NOTICE);
        EXPECT_EQ(about.GetDlgItemText(IDC_OK), "OK");
    });
    // OK button, Esc, Enter (the default button), close box.
    const std::vector<std::function<void()>> enders = {
        [] { EXPECT_TRUE(headless::Press(IDC_OK)); },
        [] { EXPECT_TRUE(headless::PressKey(headless::Key::ESCAPE)); },
        [] { EXPECT_TRUE(headless::PressKey(headless::Key::ENTER)); },
        [] { EXPECT_TRUE(headless::CloseBox()); },
    };
    for (const auto& end : enders) {
        headless::ThenSysCommand(IDM_ABOUT);
        Then([] {
            ASSERT_TRUE(AboutOpen());
            EXPECT_EQ(headless::Topmost(), headless::FindOpen(IDD_ABOUT));
            EXPECT_FALSE(headless::PressIn(Main(), IDC_UPDATE));
        });
        Then(end);
        Then([] {
            EXPECT_FALSE(AboutOpen());
            // Nothing else changed: still the ready state, nothing torn down.
            EXPECT_EQ(Text(IDD_UPDATER, IDC_UPDATE), "Update");
            EXPECT_TRUE(Enabled(IDD_UPDATER, IDC_UPDATE));
            EXPECT_EQ(Rec().socket_stops, 0);
            EXPECT_EQ(Rec().close_firewall_calls, 0);
        });
    }
    RunMainWindow();
    EXPECT_EQ(shown, 4);
}

TEST_F(ChromeTest, BritishLabelHasNoTrailingBlank) {
    SetCatalogueLanguage(LANG_ID_ENGLISH_UK);
    headless::Then([] { EXPECT_FALSE(AboutOpen()); });
    headless::OnOpen(IDD_ABOUT, [](CDialog& about) {
        EXPECT_EQ(about.GetDlgItemText(IDC_VERSION_LABEL), "Updater Version");
        about.EndDialog(IDOK);
    });
    CAboutDlg about;
    EXPECT_EQ(about.DoModal(), IDOK);
}

TEST_F(ChromeTest, PlatformCommandsKeepTheirDefaultHandling) {
    Then([] {
        for (unsigned command : {0u, 15u, 32u, 0xF000u, 0xF010u, 0xF120u}) {
            EXPECT_TRUE(headless::SysCommand(command));
        }
        EXPECT_EQ(headless::DefaultSysCommands(Main()), 6);
        EXPECT_FALSE(AboutOpen());
    });
    RunMainWindow();
    EXPECT_EQ(headless::OpenedTemplates(), std::vector<unsigned>{IDD_UPDATER});
}

TEST_F(ChromeTest, MinimisedWindowPaintsItsIconCentred) {
    Then([] {
        CDialog& main = Main();
        // Not minimised: the platform paints.
        EXPECT_FALSE(headless::Paint(main));
        EXPECT_EQ(headless::DefaultPaints(main), 1);
        EXPECT_TRUE(headless::DrawnIcons(main).empty());

        headless::SetIconic(main, true);
        struct Case {
            int width, height, x, y;
        };
        // (client - icon + 1) / 2, truncated toward zero, also when the client is smaller.
        for (const Case c :
             {Case{36, 36, 2, 2}, Case{35, 37, 2, 3}, Case{100, 32, 34, 0}, Case{20, 0, -5, -15}}) {
            headless::SetClientSize(main, c.width, c.height);
            EXPECT_TRUE(headless::Paint(main));
            const auto drawn = headless::DrawnIcons(main);
            ASSERT_FALSE(drawn.empty());
            EXPECT_EQ(drawn.back().x, c.x) << c.width;
            EXPECT_EQ(drawn.back().y, c.y) << c.height;
            EXPECT_EQ(drawn.back().icon_id, IDI_UPDATER);
        }
        EXPECT_EQ(headless::ErasedIconBackgrounds(main), 4);
        EXPECT_EQ(headless::DefaultPaints(main), 1);
        EXPECT_EQ(headless::QueryDragIcon(main), IDI_UPDATER);
    });
    RunMainWindow();
}

TEST_F(ChromeTest, RunGoesOnBehindTheAboutBox) {
    ThenPress(IDC_UPDATE);
    headless::ThenSysCommand(IDM_ABOUT);
    // While the box is open: ticks count, and a manifest fetch opens the progress window
    // from inside the box's loop.
    ThenAdvance(10000);
    Then([] {
        EXPECT_TRUE(AboutOpen());
        EXPECT_EQ(g_idle_seconds, 10);
        g_device_report = REQ_LIST;
    });
    ThenAdvance(1000);
    Then([] {
        EXPECT_EQ(headless::Topmost(), headless::FindOpen(IDD_PROGRESS));
        EXPECT_EQ(headless::OpenCount(), 3);
        g_update_outcome = OUTCOME_COMPLETED;
    });
    ThenAdvance(4000);
    Then([] {
        // The outcome is shown in the main window behind the box.
        EXPECT_TRUE(AboutOpen());
        EXPECT_EQ(headless::FindOpen(IDD_PROGRESS), nullptr);
        EXPECT_EQ(Text(IDD_UPDATER, IDC_MESSAGE), S(IDS_COMPLETED));
    });
    ThenPress(IDC_OK);
    RunMainWindow();
}

}  // namespace
