// The real windows (CUpdaterDlg, CProgressDlg, CAboutDlg) on the Qt back-end, offscreen:
// the widgets carry the catalogue texts, the buttons enable and disable as the window
// states say, the main window keeps ticking while the progress window is open, and the ways
// out tear down once. The services table stands in for the lock, the firewall and the
// worker; the test plays the worker by storing reports and outcomes in the run state.
#include <QMenu>
#include <QProgressBar>

#include "app/app_services.h"
#include "app/updater_dlg.h"
#include "images/image_store.h"
#include "platform/catalogue/catalogue_strings.h"
#include "platform/dialog_chrome/dialog_chrome.h"
#include "res/catalogue/catalogue.h"
#include "run/run_state.h"
#include "tests/qt/qt_test_support.h"

using qttest::ButtonText;
using qttest::Driver;
using qttest::LabelText;
using qttest::Widget;

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new qttest::QtEnvironment);

struct Calls {
    bool lock_free = true;
    int lock = 0, activate = 0, open_firewall = 0, close_firewall = 0, worker_starts = 0, stop_network = 0,
        waits = 0;
    // Whether the main window was still on the screen while the teardown waited.
    bool visible_at_wait = false;
};
Calls g_calls;

const AppServices kFakes = {
    [](const char*) {
        ++g_calls.lock;
        return g_calls.lock_free;
    },
    [](const char*) { ++g_calls.activate; },
    [](CFirewallOpening*&) { ++g_calls.open_firewall; },
    [](CFirewallOpening*&) { ++g_calls.close_firewall; },
    [] { ++g_calls.worker_starts; },
    [] { ++g_calls.stop_network; },
    [](unsigned) {
        ++g_calls.waits;
        CDialog* top = qtdialog::Topmost();
        g_calls.visible_at_wait =
            top != nullptr && qtdialog::Window(*top) != nullptr && qtdialog::Window(*top)->isVisible();
        return true;
    },
};

class QtWindows : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls = Calls();
        m_saved = SetAppServices(kFakes);
        SetCatalogueLanguage(LANG_ID_ENGLISH_US);
        g_update_running = 0;
        g_update_outcome = OUTCOME_NONE;
        g_device_report = REQ_NONE;
        g_idle_seconds = 0;
        g_timeout_ms = TIMEOUT_BEFORE_MANIFEST_MS;
        g_progress_shown = 0;
        g_progress_pos = 0;
    }
    void TearDown() override {
        SetAppServices(m_saved);
        SetCatalogueLanguage(0);
        FreeImages();
    }

    static std::string S(unsigned id) { return CatalogueText(LANG_ID_ENGLISH_US, id); }
    static std::string Ready() { return FormatReadyMessage(S(IDS_READY), FIRMWARE_VERSION); }
    static CDialog* Open(unsigned template_id) {
        CDialog* top = qtdialog::Topmost();
        return top != nullptr && top->TemplateId() == template_id && qtdialog::Window(*top) != nullptr &&
                       qtdialog::Window(*top)->isVisible()
                   ? top
                   : nullptr;
    }
    static void Click(CDialog& d, unsigned id) {
        QPushButton* b = Widget<QPushButton>(d, id);
        ASSERT_NE(b, nullptr);
        // As the window system delivers it, so that a blocked window would not get it.
        QTest::mouseClick(qtdialog::Window(d)->windowHandle(), Qt::LeftButton, {}, b->geometry().center());
    }

    AppServices m_saved{};
};

TEST_F(QtWindows, ReadyStateShowsTheCatalogueTextsAndBothButtonsEnabled) {
    CUpdaterDlg main;
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; },
        [&] {
            QDialog* w = qtdialog::Window(main);
            EXPECT_EQ(w->windowTitle().toStdString(), "Firmware updater for Orvane M1");
            EXPECT_EQ(
                LabelText(main, IDC_MESSAGE),
                "Start updating firmware of Orvane M1 to 1.0.28.\n\nPlease select [Update] button to start.");
            EXPECT_EQ(ButtonText(main, IDC_UPDATE), "Update");
            EXPECT_EQ(ButtonText(main, IDC_FINISH), "Finish");
            EXPECT_TRUE(qtdialog::Control(main, IDC_UPDATE)->isEnabled());
            EXPECT_TRUE(qtdialog::Control(main, IDC_FINISH)->isEnabled());
            EXPECT_EQ(QApplication::focusWidget(), qtdialog::Control(main, IDC_UPDATE));
            EXPECT_FALSE(w->windowIcon().isNull());
            EXPECT_EQ(dialogchrome::WindowIcon(main, true), IDI_UPDATER);
            EXPECT_EQ(dialogchrome::WindowIcon(main, false), IDI_UPDATER);
            // The about item, where this back-end puts system-menu items.
            const auto menu = dialogchrome::SystemMenu(main);
            ASSERT_EQ(menu.size(), 2u);
            EXPECT_TRUE(menu[0].separator);
            EXPECT_EQ(menu[1].id, IDM_ABOUT);
            EXPECT_EQ(menu[1].text, "Updater version information");
            EXPECT_EQ(g_calls.open_firewall, 1);
            Click(main, IDC_FINISH);
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
    EXPECT_EQ(g_calls.close_firewall, 1);
    EXPECT_EQ(g_calls.worker_starts, 0);
    EXPECT_FALSE(g_calls.visible_at_wait) << "the window stayed up during the teardown";
}

TEST_F(QtWindows, AWholeRunKeepsTickingThroughTheProgressWindowAndShowsTheOutcomeAsItCloses) {
    CUpdaterDlg main;
    CDialog* progress = nullptr;
    int idle_peak_while_open = 0;
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; }, [&] { Click(main, IDC_UPDATE); });
    driver.When(
        "probing", [] { return g_update_running == 1; },
        [&] {
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), S(IDS_PROBING));
            EXPECT_EQ(ButtonText(main, IDC_FINISH), "Cancel");
            EXPECT_FALSE(qtdialog::Control(main, IDC_UPDATE)->isEnabled());
            EXPECT_TRUE(qtdialog::Control(main, IDC_FINISH)->isEnabled());
            EXPECT_EQ(g_calls.worker_starts, 1);
            // A second press of the disabled button does nothing.
            Click(main, IDC_UPDATE);
            EXPECT_EQ(g_calls.worker_starts, 1);
            g_device_report = REQ_LIST;  // the device has fetched the manifest
        });
    driver.When(
        "the progress window", [] { return Open(IDD_PROGRESS) != nullptr; },
        [&] {
            progress = Open(IDD_PROGRESS);
            EXPECT_EQ(qtdialog::Window(*progress)->windowTitle().toStdString(), "Updating...");
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), "Updating...");
            EXPECT_EQ(qtdialog::Progress(*progress, IDC_PROGRESS).maximum, 58);
            EXPECT_EQ(qtdialog::Window(*progress)->parentWidget(), qtdialog::Window(main));
            EXPECT_EQ(g_timeout_ms, TIMEOUT_AFTER_MANIFEST_MS);
        });
    // The main window's watchdog counts on, nested in the progress window's loop...
    driver.When(
        "two silent seconds counted while the progress window is open",
        [&] {
            idle_peak_while_open = std::max(idle_peak_while_open, int(g_idle_seconds));
            return g_idle_seconds >= 2 && Open(IDD_PROGRESS) != nullptr;
        },
        [] { g_device_report = REQ_WRITING; });
    // ...and consumes the device's reports there.
    driver.When(
        "the report consumed by a nested tick", [] { return g_device_report == REQ_NONE; },
        [&] {
            EXPECT_LE(g_idle_seconds, 1);
            EXPECT_NE(Open(IDD_PROGRESS), nullptr);
            // Nothing of the outcome shows while the progress window is open.
            EXPECT_EQ(ButtonText(main, IDC_FINISH), "Cancel");
            g_update_outcome = OUTCOME_COMPLETED;
        });
    driver.When(
        "the progress window closed", [] { return qtdialog::OpenCount() == 1; },
        [&] {
            // The outcome came in the same tick that the progress window closed in.
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), "Update completed.");
            EXPECT_EQ(ButtonText(main, IDC_FINISH), "Finish");
            EXPECT_FALSE(qtdialog::Control(main, IDC_UPDATE)->isEnabled());
            EXPECT_EQ(g_update_running, 0);
            EXPECT_EQ(g_progress_pos, 0);
            Click(main, IDC_FINISH);
        });
    EXPECT_EQ(qttest::RunWith(main, driver, 30000), IDCANCEL);
    EXPECT_GE(idle_peak_while_open, 2);
    EXPECT_EQ(g_calls.close_firewall, 1);
    EXPECT_EQ(g_calls.waits, 1);
}

TEST_F(QtWindows, AFailedRunEnablesUpdateAgainAndANewRunStartsFresh) {
    CUpdaterDlg main;
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; }, [&] { Click(main, IDC_UPDATE); });
    driver.When(
        "probing", [] { return g_update_running == 1; }, [] { g_update_outcome = OUTCOME_FAILED; });
    driver.When(
        "the outcome shown", [] { return g_update_running == 0; },
        [&] {
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), S(IDS_FAILED));
            EXPECT_TRUE(qtdialog::Control(main, IDC_UPDATE)->isEnabled());
            EXPECT_EQ(ButtonText(main, IDC_FINISH), "Finish");
            Click(main, IDC_UPDATE);
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), S(IDS_PROBING));
            EXPECT_EQ(g_calls.worker_starts, 2);
            g_update_outcome = OUTCOME_OLD_VERSION;
        });
    driver.When(
        "the second outcome", [] { return g_update_running == 0; },
        [&] {
            EXPECT_EQ(LabelText(main, IDC_MESSAGE),
                      "You're trying to backdate to an old version.\nFirmware update is cancelled.");
            EXPECT_FALSE(qtdialog::Control(main, IDC_UPDATE)->isEnabled())
                << "old version: only Finish remains";
            Click(main, IDC_FINISH);
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
}

TEST_F(QtWindows, TheAboutBoxOpensFromF1AndTheContextMenuWithItsTextsAndIcon) {
    CUpdaterDlg main;
    int openings = 0;
    auto check_about = [&] {
        CDialog* about = Open(IDD_ABOUT);
        ++openings;
        QDialog* w = qtdialog::Window(*about);
        EXPECT_EQ(w->windowTitle().toStdString(), "Version Information");
        EXPECT_EQ(LabelText(*about, IDC_VERSION_LABEL), "Updater Version ");
        EXPECT_EQ(LabelText(*about, IDC_VERSION), "1.0.0.50208");
        EXPECT_EQ(LabelText(*about, IDC_NOTICE), LEGAL_NOTICE);
        EXPECT_EQ(ButtonText(*about, IDC_OK), "OK");
        EXPECT_EQ(Widget<QLabel>(*about, IDC_STATIC_NONE)->pixmap().size(), QSize(32, 32));
        EXPECT_EQ(w->parentWidget(), qtdialog::Window(main));
        // The main window behind it takes no input.
        Click(main, IDC_UPDATE);
        EXPECT_EQ(g_calls.worker_starts, 0);
    };
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; },
        [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1); });
    driver.When(
        "the about box from F1", [] { return Open(IDD_ABOUT) != nullptr; },
        [&] {
            check_about();
            QTest::keyClick(qtdialog::Window(*Open(IDD_ABOUT)), Qt::Key_Return);  // OK is the default
        });
    driver.When(
        "back at the main window", [] { return Open(IDD_UPDATER) != nullptr; },
        [&] {
            QWidget* w = qtdialog::Window(main);
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), w->mapToGlobal(QPoint(10, 10)));
            QApplication::sendEvent(w, &event);
        });
    driver.When(
        "the context menu", [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; },
        [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            for (QAction* a : menu->actions())
                if (!a->isSeparator() && a->text() == "Updater version information") a->trigger();
            menu->close();
        });
    driver.When(
        "the about box from the menu", [] { return Open(IDD_ABOUT) != nullptr; },
        [&] {
            check_about();
            QTest::keyClick(qtdialog::Window(*Open(IDD_ABOUT)), Qt::Key_Escape);
        });
    driver.When(
        "back again", [] { return Open(IDD_UPDATER) != nullptr; },
        [&] {
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), Ready()) << "the about box changes nothing";
            Click(main, IDC_FINISH);
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
    EXPECT_EQ(openings, 2);
}

// Keys as the user types them: to whatever has the keyboard focus, else to the window.
void Type(CDialog& d, Qt::Key key) { QTest::keyClick(qttest::Focus(d), key); }

TEST_F(QtWindows, SpaceAndEnterDuringARunLeaveItGoingAndCancelStillWorks) {
    CUpdaterDlg main;
    Driver driver;
    auto still_running = [&](const char* after) {
        EXPECT_EQ(g_update_running, 1) << after;
        EXPECT_EQ(g_calls.close_firewall, 0) << after << ": the teardown ran";
        EXPECT_EQ(ButtonText(main, IDC_FINISH), "Cancel") << after;
        EXPECT_NE(QApplication::focusWidget(), qtdialog::Control(main, IDC_FINISH)) << after;
    };
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; },
        [&] {
            // Update has the focus; Space presses it, as a user starts a run from the keyboard.
            ASSERT_EQ(QApplication::focusWidget(), qtdialog::Control(main, IDC_UPDATE));
            Type(main, Qt::Key_Space);
        });
    driver.When(
        "probing", [] { return g_update_running == 1; },
        [&] {
            // The disabled Update button gave the focus away, but not to Cancel.
            still_running("Update pressed");
            for (Qt::Key key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) Type(main, key);
            still_running("Space and Enter");
            QTest::keyClick(qttest::Focus(main), Qt::Key_F1);  // the about box, over the run
        });
    driver.When(
        "the about box", [] { return Open(IDD_ABOUT) != nullptr; },
        [&] { QTest::keyClick(qttest::Focus(*Open(IDD_ABOUT)), Qt::Key_Escape); });
    driver.When(
        "back at the main window", [&] { return Open(IDD_UPDATER) != nullptr; },
        [&] { qtdialog::Window(main)->activateWindow(); });
    driver.When(
        "the main window active again", [&] { return qtdialog::Window(main)->isActiveWindow(); },
        [&] {
            // Coming back to the window must not hand the focus to the next button either.
            still_running("the about box closed");
            Type(main, Qt::Key_Space);
            Type(main, Qt::Key_Return);
            still_running("Space and Enter after the about box");
            EXPECT_EQ(g_calls.worker_starts, 1);
            Click(main, IDC_FINISH);  // Cancel with the mouse
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
    EXPECT_EQ(g_calls.close_firewall, 1);
    EXPECT_EQ(g_update_running, 0);
}

TEST_F(QtWindows, EscCancelsARunStartedFromTheKeyboard) {
    CUpdaterDlg main;
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; }, [&] { Type(main, Qt::Key_Return); });
    driver.When(
        "probing", [] { return g_update_running == 1; }, [&] { Type(main, Qt::Key_Escape); });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
    EXPECT_EQ(g_calls.worker_starts, 1);
    EXPECT_EQ(g_calls.close_firewall, 1);
}

TEST_F(QtWindows, AfterAnOutcomeTheKeyboardReachesTheButtonsAgainByTab) {
    CUpdaterDlg main;
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; }, [&] { Click(main, IDC_UPDATE); });
    driver.When(
        "probing", [] { return g_update_running == 1; }, [] { g_update_outcome = OUTCOME_NO_DEVICE; });
    driver.When(
        "the outcome", [] { return g_update_running == 0; },
        [&] {
            EXPECT_TRUE(qtdialog::Control(main, IDC_UPDATE)->isEnabled());
            // Nothing focused takes Enter; Tab brings the focus back to a button.
            Type(main, Qt::Key_Return);
            EXPECT_EQ(g_calls.worker_starts, 1);
            EXPECT_EQ(g_calls.close_firewall, 0);
            Type(main, Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            ASSERT_TRUE(focus == qtdialog::Control(main, IDC_UPDATE) ||
                        focus == qtdialog::Control(main, IDC_FINISH));
            if (focus == qtdialog::Control(main, IDC_FINISH)) Type(main, Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), qtdialog::Control(main, IDC_UPDATE));
            Type(main, Qt::Key_Space);
            EXPECT_EQ(g_calls.worker_starts, 2) << "Space on the focused Update starts a new run";
            Click(main, IDC_FINISH);
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
}

TEST_F(QtWindows, EscTheCloseBoxAndAltF4TearDownOnceLikeFinish) {
    const std::vector<std::function<void(CUpdaterDlg&)>> ways = {
        [](CUpdaterDlg&) { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape); },
        [](CUpdaterDlg& d) { qtdialog::Window(d)->close(); },
        [](CUpdaterDlg&) { QTest::keyClick(QApplication::focusWidget(), Qt::Key_F4, Qt::AltModifier); },
    };
    for (size_t i = 0; i < ways.size(); ++i) {
        g_calls = Calls();
        CUpdaterDlg main;
        Driver driver;
        driver.When(
            "the main window", [] { return Open(IDD_UPDATER) != nullptr; }, [&] { Click(main, IDC_UPDATE); });
        driver.When(
            "probing", [] { return g_update_running == 1; }, [&] { ways[i](main); });
        EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL) << i;
        EXPECT_EQ(g_calls.close_firewall, 1) << i;
        EXPECT_EQ(g_calls.waits, 1) << i;
        EXPECT_FALSE(g_calls.visible_at_wait) << i << ": the window stayed up during the teardown";
        EXPECT_EQ(g_update_running, 0) << i << ": the run was stopped";
    }
}

TEST_F(QtWindows, ASecondInstanceShowsNoWindowAndTouchesNothing) {
    g_calls.lock_free = false;
    bool shown = false;
    qtdialog::SetOpenHook([&](CDialog&) { shown = true; });
    CUpdaterDlg main;
    EXPECT_EQ(main.DoModal(), IDCANCEL);
    qtdialog::SetOpenHook(nullptr);
    EXPECT_FALSE(shown);
    EXPECT_EQ(g_calls.activate, 1);
    EXPECT_EQ(g_calls.open_firewall, 0);
    EXPECT_EQ(g_calls.close_firewall, 0);
}

TEST_F(QtWindows, GermanTextsComeFromTheGermanTable) {
    SetCatalogueLanguage(LANG_ID_GERMAN);
    auto de = [](unsigned id) { return CatalogueText(LANG_ID_GERMAN, id); };
    CUpdaterDlg main;
    Driver driver;
    driver.When(
        "the main window", [] { return Open(IDD_UPDATER) != nullptr; },
        [&] {
            EXPECT_EQ(qtdialog::Window(main)->windowTitle().toStdString(), de(IDS_MAIN_TITLE));
            EXPECT_EQ(LabelText(main, IDC_MESSAGE), FormatReadyMessage(de(IDS_READY), FIRMWARE_VERSION));
            EXPECT_EQ(ButtonText(main, IDC_UPDATE), de(IDS_UPDATE));
            EXPECT_NE(de(IDS_UPDATE), S(IDS_UPDATE));
            EXPECT_EQ(dialogchrome::SystemMenu(main)[1].text, de(IDS_ABOUT_MENU));
            Click(main, IDC_FINISH);
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDCANCEL);
}

}  // namespace
