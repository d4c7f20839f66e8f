// The Qt back-end of the dialog base class on Qt's offscreen platform: geometry from the
// templates, texts, enabling, ending, close requests from the keyboard and the close box,
// timers that keep ticking nested and collapse, the progress bar, modal ownership, the
// system-menu items and the icon.
#include <QFrame>
#include <QMenu>
#include <QProgressBar>
#include <QThread>
#include <cmath>
#include <cstdio>
#include <map>

#include "platform/dialog_chrome/dialog_chrome.h"
#include "platform/resources.h"
#include "res/catalogue/catalogue.h"
#include "tests/qt/qt_test_support.h"

using qttest::Driver;
using qttest::TestDialog;
using qttest::Widget;

namespace {

::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new qttest::QtEnvironment);

bool Visible(const CDialog& d) {
    QDialog* w = qtdialog::Window(d);
    return w != nullptr && w->isVisible();
}

// ---- Geometry --------------------------------------------------------------------------

TEST(QtGeometry, BaseUnitsComeFromTheDialogFontAndConvertRoundingToNearest) {
    const qtdialog::BaseUnits u = qtdialog::DialogBaseUnits();
    // The desktop's interface font at the usual sizes and resolutions.
    EXPECT_GE(u.x, 4);
    EXPECT_LE(u.x, 12);
    EXPECT_GE(u.y, 10);
    EXPECT_LE(u.y, 26);
    EXPECT_EQ(qtdialog::MapDialogRect(4, 8, 8, 16), QRect(u.x, u.y, 2 * u.x, 2 * u.y));
    // One dialog unit is a quarter (eighth) of a base unit, rounded to nearest.
    EXPECT_EQ(qtdialog::MapDialogRect(1, 1, 0, 0).topLeft(),
              QPoint(int(std::lround(u.x / 4.0 + 1e-9)), int(std::lround(u.y / 8.0 + 1e-9))));
}

class QtTemplateGeometry : public ::testing::TestWithParam<unsigned> {};

TEST_P(QtTemplateGeometry, WindowAndControlsComeOutInProportion) {
    const DialogTemplate* t = FindDialogTemplate(GetParam());
    ASSERT_NE(t, nullptr);
    TestDialog d(t->id);
    Driver driver;
    driver.When(
        "the window is shown", [&] { return Visible(d); },
        [&] {
            QDialog* w = qtdialog::Window(d);
            const QRect client = qtdialog::MapDialogRect(0, 0, t->cx, t->cy);
            EXPECT_EQ(w->size(), client.size());
            for (int i = 0; i < t->control_count; ++i) {
                const ControlTemplate& c = t->controls[i];
                QWidget* widget = qtdialog::Control(d, c.id);
                ASSERT_NE(widget, nullptr) << c.id;
                EXPECT_EQ(widget->objectName().toStdString(), "control_" + std::to_string(c.id));
                const QRect want = qtdialog::MapDialogRect(c.x, c.y, c.cx, c.cy);
                const QRect at(widget->mapTo(w, QPoint(0, 0)), widget->size());  // in the window
                if ((c.style & 0x1F) == 3) {
                    // An icon control takes the large icon's size at its place.
                    EXPECT_EQ(widget->geometry(), QRect(want.topLeft(), QSize(32, 32)));
                    continue;
                }
                EXPECT_EQ(at.topLeft(), want.topLeft()) << c.id;
                EXPECT_EQ(widget->width(), want.width()) << c.id;
                if ((c.style & 0x1F) == 0x10)
                    EXPECT_GE(widget->height(), 2) << "the etched line";
                else
                    EXPECT_EQ(widget->height(), want.height()) << c.id;
                // In proportion to the window: the same share of its width as in the template,
                // within the rounding of one pixel.
                EXPECT_NEAR(double(at.x()) / w->width(), double(c.x) / t->cx, 1.5 / w->width()) << c.id;
                EXPECT_NEAR(double(widget->width()) / w->width(), double(c.cx) / t->cx, 1.5 / w->width())
                    << c.id;
                EXPECT_NEAR(double(at.y()) / w->height(), double(c.y) / t->cy, 1.5 / w->height()) << c.id;
                EXPECT_TRUE(w->rect().contains(at.topLeft())) << c.id;
            }
            d.EndDialog(IDOK);
        });
    EXPECT_EQ(qttest::RunWith(d, driver), IDOK);
}

INSTANTIATE_TEST_SUITE_P(AllTemplates, QtTemplateGeometry,
                         ::testing::Values(IDD_UPDATER, IDD_ABOUT, IDD_PROGRESS));

TEST(QtGeometry, ControlKindsAndTabOrderFollowTheTemplate) {
    TestDialog main(IDD_UPDATER);
    Driver driver;
    driver.When(
        "the main window is shown", [&] { return Visible(main); },
        [&] {
            EXPECT_NE(Widget<QLabel>(main, IDC_MESSAGE), nullptr);
            EXPECT_NE(Widget<QPushButton>(main, IDC_UPDATE), nullptr);
            auto* line = Widget<QFrame>(main, IDC_SEPARATOR);
            ASSERT_NE(line, nullptr);
            EXPECT_EQ(line->frameShape(), QFrame::HLine);
            EXPECT_EQ(line->frameShadow(), QFrame::Sunken);
            // The first tab stop has the focus; the message area takes none.
            EXPECT_EQ(QApplication::focusWidget(), qtdialog::Control(main, IDC_UPDATE));
            EXPECT_EQ(qtdialog::Control(main, IDC_MESSAGE)->focusPolicy(), Qt::NoFocus);
            QWidget* next = qtdialog::Control(main, IDC_UPDATE)->nextInFocusChain();
            while (next != nullptr && !(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
            EXPECT_EQ(next, qtdialog::Control(main, IDC_FINISH));
            // No default push button in the main window: only the focused one takes Enter.
            EXPECT_FALSE(Widget<QPushButton>(main, IDC_FINISH)->isDefault());
            main.EndDialog(IDOK);
        });
    qttest::RunWith(main, driver);
}

// ---- Texts and enabling -----------------------------------------------------------------

TEST(QtTexts, TitleAndControlTextsShowAndReadBack) {
    TestDialog d(IDD_ABOUT);
    d.init = [](TestDialog& self) {
        self.SetWindowText("Version Information");
        self.SetDlgItemText(IDC_NOTICE, "A&&B &C");   // mnemonic markers processed
        self.SetDlgItemText(IDC_VERSION, "A&&B &C");  // no prefix processing
        self.SetDlgItemText(IDC_VERSION_LABEL, "Line one\nline two");
    };
    Driver driver;
    driver.When(
        "shown", [&] { return Visible(d); },
        [&] {
            EXPECT_EQ(qtdialog::Window(d)->windowTitle().toStdString(), "Version Information");
            EXPECT_EQ(d.GetWindowText(), "Version Information");
            EXPECT_EQ(qttest::LabelText(d, IDC_NOTICE), "A&B C");
            EXPECT_EQ(d.GetDlgItemText(IDC_NOTICE), "A&&B &C");
            EXPECT_EQ(qttest::LabelText(d, IDC_VERSION), "A&&B &C");
            EXPECT_EQ(qttest::LabelText(d, IDC_VERSION_LABEL), "Line one\nline two");
            // The template's own text of the OK button.
            EXPECT_EQ(qttest::ButtonText(d, IDC_OK), "OK");
            // Unknown controls are ignored and read back empty.
            d.SetDlgItemText(4242, "x");
            EXPECT_EQ(d.GetDlgItemText(4242), "");
            d.EndDialog(IDOK);
        });
    qttest::RunWith(d, driver);
}

TEST(QtButtons, ADisabledButtonGivesNoClickAndAnEnabledOneDoes) {
    TestDialog d(IDD_UPDATER);
    d.command = [](TestDialog&, unsigned) {};
    Driver driver;
    driver.When(
        "shown", [&] { return Visible(d); },
        [&] {
            d.EnableDlgItem(IDC_UPDATE, false);
            EXPECT_FALSE(d.IsDlgItemEnabled(IDC_UPDATE));
            EXPECT_FALSE(qtdialog::Control(d, IDC_UPDATE)->isEnabled());
            QTest::mouseClick(Widget<QPushButton>(d, IDC_UPDATE), Qt::LeftButton);
            EXPECT_TRUE(d.commands.empty());
            d.EnableDlgItem(IDC_UPDATE, true);
            EXPECT_TRUE(d.IsDlgItemEnabled(IDC_UPDATE));
            QTest::mouseClick(Widget<QPushButton>(d, IDC_UPDATE), Qt::LeftButton);
            QTest::mouseClick(Widget<QPushButton>(d, IDC_FINISH), Qt::LeftButton);
            EXPECT_EQ(d.commands, (std::vector<unsigned>{IDC_UPDATE, IDC_FINISH}));
            d.EndDialog(IDOK);
        });
    qttest::RunWith(d, driver);
}

// ---- Ending ------------------------------------------------------------------------------

TEST(QtEnding, EndDialogTakesEffectOnceTheHandlerHasReturned) {
    TestDialog d(IDD_UPDATER);
    bool open_after_end = false;
    d.command = [&](TestDialog& self, unsigned) {
        self.EndDialog(7);
        // Still open for the rest of this handler, which may go on setting texts.
        open_after_end = self.IsOpen();
        self.SetDlgItemText(IDC_MESSAGE, "after");
        self.EndDialog(8);  // a second end changes nothing
    };
    Driver driver;
    driver.When(
        "shown", [&] { return Visible(d); },
        [&] { QTest::mouseClick(Widget<QPushButton>(d, IDC_FINISH), Qt::LeftButton); });
    EXPECT_EQ(qttest::RunWith(d, driver), 7);
    EXPECT_TRUE(open_after_end);
    EXPECT_FALSE(d.IsOpen());
    EXPECT_EQ(qtdialog::OpenCount(), 0);
}

TEST(QtEnding, EndingDuringInitialisationNeverShowsTheWindow) {
    TestDialog d(IDD_UPDATER);
    bool hooked = false;
    qtdialog::SetOpenHook([&](CDialog&) { hooked = true; });
    d.init = [](TestDialog& self) { self.EndDialog(IDCANCEL); };
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(d.DoModal(), IDCANCEL);
    qtdialog::SetOpenHook(nullptr);
    EXPECT_FALSE(hooked) << "the window was shown";
    EXPECT_LT(clock.elapsed(), 2000);
}

TEST(QtEnding, PostCloseAsksTheCloseRequestAfterTheHandler) {
    TestDialog d(IDD_PROGRESS);
    bool open_after_post = false;
    d.timer = [&](TestDialog& self, unsigned id) {
        self.KillTimer(id);
        self.PostClose();
        open_after_post = self.IsOpen() && self.close_requests.empty();
    };
    d.init = [](TestDialog& self) { self.SetTimer(2, 20); };
    EXPECT_EQ(d.DoModal(), IDCANCEL);
    EXPECT_TRUE(open_after_post);
    EXPECT_EQ(d.close_requests, (std::vector<int>{IDCANCEL}));
}

TEST(QtEnding, UnknownTemplateOrSecondRunGivesMinusOne) {
    TestDialog bad(4711);
    EXPECT_EQ(bad.DoModal(), -1);
    TestDialog d(IDD_PROGRESS);
    int nested = 0;
    d.init = [&](TestDialog& self) {
        nested = self.DoModal();  // already open
        self.EndDialog(IDOK);
    };
    EXPECT_EQ(d.DoModal(), IDOK);
    EXPECT_EQ(nested, -1);
}

// ---- Keyboard and close box --------------------------------------------------------------

TEST(QtCloseRequests, EscCloseBoxAndAltF4AskTheDialogWhichMayRefuse) {
    TestDialog d(IDD_UPDATER);
    int refusals = 3;
    d.close_request = [&](TestDialog&, int) { return refusals-- <= 0; };
    Driver driver;
    driver.When(
        "shown", [&] { return Visible(d); },
        [&] {
            QTest::keyClick(qttest::Focus(d), Qt::Key_Escape);
            qtdialog::Window(d)->close();  // the close box
            QTest::keyClick(qttest::Focus(d), Qt::Key_F4, Qt::AltModifier);
            EXPECT_EQ(d.close_requests, (std::vector<int>{IDCANCEL, IDCANCEL, IDCANCEL}));
            EXPECT_TRUE(Visible(d)) << "a refused close request ended the window";
            QTest::keyClick(qttest::Focus(d), Qt::Key_Escape);
        });
    EXPECT_EQ(qttest::RunWith(d, driver), IDCANCEL);
    EXPECT_EQ(d.close_requests.size(), 4u);
    EXPECT_TRUE(d.commands.empty());
}

TEST(QtCloseRequests, EnterPressesTheFocusedButtonElseTheDefaultElseAsksIdok) {
    // Main window: the focused Update button takes Enter as its click.
    {
        TestDialog d(IDD_UPDATER);
        d.command = [](TestDialog& self, unsigned id) {
            if (id == IDC_UPDATE) self.EndDialog(5);
        };
        Driver driver;
        driver.When(
            "main shown with the focus on Update",
            [&] { return Visible(d) && QApplication::focusWidget() == qtdialog::Control(d, IDC_UPDATE); },
            [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); });
        EXPECT_EQ(qttest::RunWith(d, driver), 5);
        EXPECT_TRUE(d.close_requests.empty());
    }
    // About box: its default push button OK, through the base OnOK.
    {
        TestDialog d(IDD_ABOUT);
        Driver driver;
        driver.When(
            "about shown", [&] { return Visible(d); },
            [&] { QTest::keyClick(qtdialog::Window(d), Qt::Key_Return); });
        EXPECT_EQ(qttest::RunWith(d, driver), IDOK);
        EXPECT_EQ(d.commands, (std::vector<unsigned>{IDC_OK}));
    }
    // Progress window: no button at all, so Enter asks to end with IDOK; Esc with IDCANCEL.
    // It has no close box: neither closing it nor Alt+F4 asks anything.
    {
        TestDialog d(IDD_PROGRESS);
        d.close_request = [](TestDialog&, int code) { return code == IDOK; };
        Driver driver;
        driver.When(
            "progress shown", [&] { return Visible(d); },
            [&] {
                qtdialog::Window(d)->close();
                QTest::keyClick(qtdialog::Window(d), Qt::Key_F4, Qt::AltModifier);
                EXPECT_TRUE(d.close_requests.empty());
                QTest::keyClick(qtdialog::Window(d), Qt::Key_Escape);
                EXPECT_TRUE(Visible(d));
                QTest::keyClick(qtdialog::Window(d), Qt::Key_Enter, Qt::KeypadModifier);
            });
        EXPECT_EQ(qttest::RunWith(d, driver), IDOK);
        EXPECT_EQ(d.close_requests, (std::vector<int>{IDCANCEL, IDOK}));
    }
}

// ---- Timers -------------------------------------------------------------------------------

TEST(QtTimers, OwnersTimerKeepsTickingNestedWhileAModalDialogIsOpen) {
    TestDialog main(IDD_UPDATER);
    TestDialog inner(IDD_PROGRESS);
    int depth = 0, max_depth = 0, ticks_while_inner = 0, inner_result = 0;
    main.init = [](TestDialog& self) { self.SetTimer(1, 40); };
    // Should the owner's ticks stop while the inner dialog is open, this ends it, and the test
    // fails instead of hanging.
    inner.init = [](TestDialog& self) { self.SetTimer(9, 3000); };
    inner.timer = [](TestDialog& self, unsigned) { self.EndDialog(IDCANCEL); };
    main.timer = [&](TestDialog& self, unsigned) {
        ++depth;
        max_depth = std::max(max_depth, depth);
        if (inner.IsOpen()) {
            // A nested tick: it runs inside the inner dialog's loop.
            if (++ticks_while_inner == 4) inner.EndDialog(IDOK);
        } else if (ticks_while_inner == 0) {
            inner_result = inner.DoModal();
            self.KillTimer(1);
            self.EndDialog(IDOK);
        }
        --depth;
    };
    EXPECT_EQ(main.DoModal(), IDOK);
    EXPECT_EQ(inner_result, IDOK);
    EXPECT_EQ(ticks_while_inner, 4);
    EXPECT_EQ(max_depth, 2) << "the owner's ticks must run nested inside the waiting one";
}

TEST(QtTimers, TicksThatFallDueWhileBlockedArriveAsOne) {
    TestDialog d(IDD_PROGRESS);
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    qint64 unblocked_at = 0;
    d.init = [&](TestDialog& self) {
        clock.start();
        self.SetTimer(2, 20);
    };
    d.timer = [&](TestDialog& self, unsigned id) {
        ticks.push_back(clock.elapsed());
        if (ticks.size() == 1) {
            UiSleep(300);  // fifteen periods with the UI thread blocked
            unblocked_at = clock.elapsed();
        }
        if (clock.elapsed() > unblocked_at + 200 && unblocked_at > 0) {
            self.KillTimer(id);
            self.EndDialog(IDOK);
        }
    };
    EXPECT_EQ(d.DoModal(), IDOK);
    int burst = 0;
    for (qint64 t : ticks)
        if (t >= unblocked_at && t < unblocked_at + 12) ++burst;
    EXPECT_LE(burst, 1) << "the ticks missed during the block arrived one by one";
    // And the timer goes on at its period afterwards (about ten in 200 ms).
    EXPECT_GE(ticks.size(), 4u);
}

TEST(QtTimers, AKilledTimerDeliversNoMoreTicksAndSettingAgainRestarts) {
    TestDialog d(IDD_PROGRESS);
    int ticks = 0, other = 0;
    d.init = [](TestDialog& self) {
        self.SetTimer(2, 10);
        self.SetTimer(3, 150);
    };
    d.timer = [&](TestDialog& self, unsigned id) {
        if (id == 2 && ++ticks == 3) {
            // A shot may already be queued: it must not arrive either.
            UiSleep(30);
            self.KillTimer(2);
        }
        if (id == 3 && ++other == 2) self.EndDialog(IDOK);
    };
    EXPECT_EQ(d.DoModal(), IDOK);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(other, 2);
}

TEST(QtTimers, UiSleepBlocksTheUiThread) {
    TestDialog d(IDD_PROGRESS);
    int ticks_during_sleep = -1;
    int ticks = 0;
    d.init = [](TestDialog& self) { self.SetTimer(2, 10); };
    d.timer = [&](TestDialog& self, unsigned) {
        ++ticks;
        if (ticks == 1) {
            QElapsedTimer c;
            c.start();
            UiSleep(100);
            EXPECT_GE(c.elapsed(), 95);
            ticks_during_sleep = ticks - 1;
            self.EndDialog(IDOK);
        }
    };
    EXPECT_EQ(d.DoModal(), IDOK);
    EXPECT_EQ(ticks_during_sleep, 0);
}

// ---- Progress bar -------------------------------------------------------------------------

TEST(QtProgress, SixteenBitRangeAndAPositionAboveTheMaximumShowsFull) {
    TestDialog d(IDD_PROGRESS);
    Driver driver;
    driver.When(
        "shown", [&] { return Visible(d); },
        [&] {
            auto* bar = Widget<QProgressBar>(d, IDC_PROGRESS);
            ASSERT_NE(bar, nullptr);
            EXPECT_FALSE(bar->isTextVisible()) << "the template text is not shown";
            d.SetProgressRange(IDC_PROGRESS, 0, 58);
            d.SetProgressPos(IDC_PROGRESS, 29);
            EXPECT_EQ(qtdialog::Progress(d, IDC_PROGRESS).filled, 5000);
            EXPECT_EQ(bar->value(), 5000);
            d.SetProgressPos(IDC_PROGRESS, 59);
            EXPECT_EQ(bar->value(), bar->maximum()) << "above the maximum shows a full bar";
            EXPECT_EQ(qtdialog::Progress(d, IDC_PROGRESS).position, 59);
            d.SetProgressPos(IDC_PROGRESS, -3);
            EXPECT_EQ(bar->value(), 0);
            // No images at all: an empty range, and the first step shows a full bar.
            d.SetProgressRange(IDC_PROGRESS, 0, 0);
            d.SetProgressPos(IDC_PROGRESS, 1);
            EXPECT_EQ(bar->value(), bar->maximum());
            // The whole 16-bit range.
            d.SetProgressRange(IDC_PROGRESS, 0, 65535);
            d.SetProgressPos(IDC_PROGRESS, 32768);
            EXPECT_NEAR(bar->value(), 5000, 1);
            EXPECT_EQ(qtdialog::Progress(d, IDC_PROGRESS).maximum, 65535);
            d.SetProgressRange(IDC_PROGRESS, 100, 200);
            d.SetProgressPos(IDC_PROGRESS, 150);
            EXPECT_EQ(bar->value(), 5000) << "the minimum is honoured";
            d.EndDialog(IDOK);
        });
    qttest::RunWith(d, driver);
}

// ---- Modal ownership -----------------------------------------------------------------------

TEST(QtModal, TheOwnerOfANestedDialogTakesNoInputWhileItIsOpen) {
    TestDialog main(IDD_UPDATER);
    TestDialog about(IDD_ABOUT);
    main.command = [&](TestDialog& self, unsigned id) {
        if (id == IDC_UPDATE) {
            EXPECT_EQ(about.DoModal(), IDOK);
            self.EndDialog(IDOK);
        }
    };
    Driver driver;
    driver.When(
        "main shown", [&] { return Visible(main); },
        [&] { QTest::mouseClick(Widget<QPushButton>(main, IDC_UPDATE), Qt::LeftButton); });
    driver.When(
        "about shown", [&] { return Visible(about); },
        [&] {
            QDialog* owner = qtdialog::Window(main);
            QDialog* box = qtdialog::Window(about);
            EXPECT_EQ(box->parentWidget(), owner) << "the main window owns the box";
            EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
            EXPECT_EQ(QApplication::activeModalWidget(), box);
            EXPECT_EQ(qtdialog::Topmost(), &about);
            EXPECT_EQ(qtdialog::OpenCount(), 2);
            // Input as the window system delivers it: a click on the owner's button and Esc
            // to the owner do not get through.
            QPushButton* finish = Widget<QPushButton>(main, IDC_FINISH);
            QTest::mouseClick(owner->windowHandle(), Qt::LeftButton, {}, finish->geometry().center());
            QTest::keyClick(owner->windowHandle(), Qt::Key_Escape);
            EXPECT_EQ(main.commands, (std::vector<unsigned>{IDC_UPDATE}));
            EXPECT_TRUE(main.close_requests.empty());
            // The same click on the box's own button does.
            QPushButton* ok = Widget<QPushButton>(about, IDC_OK);
            QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {}, ok->geometry().center());
        });
    EXPECT_EQ(qttest::RunWith(main, driver), IDOK);
}

// ---- System-menu items and icon -------------------------------------------------------------

TEST(QtSystemMenu, ItemsGoIntoTheContextMenuAndF1) {
    TestDialog main(IDD_UPDATER);
    main.init = [](TestDialog& self) {
        ASSERT_TRUE(self.HasSystemMenu());
        self.AppendSystemMenuSeparator();
        self.AppendSystemMenuItem(16, "Updater version information");
    };
    Driver driver;
    driver.When(
        "main shown", [&] { return Visible(main); },
        [&] {
            ASSERT_EQ(dialogchrome::SystemMenu(main).size(), 2u);
            QTest::keyClick(qttest::Focus(main), Qt::Key_F1);
        });
    driver.When(
        "F1 gave the item's command", [&] { return main.sys_commands.size() == 1; },
        [&] {
            EXPECT_EQ(main.sys_commands[0], 16u);
            // A right click on the message area: the window's context menu with the item.
            QWidget* message = qtdialog::Control(main, IDC_MESSAGE);
            QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                    message->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(message, &event);
        });
    driver.When(
        "the context menu is up",
        [&] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; },
        [&] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            QAction* item = nullptr;
            for (QAction* a : menu->actions())
                if (!a->isSeparator()) item = a;
            ASSERT_NE(item, nullptr);
            EXPECT_EQ(item->text().toStdString(), "Updater version information");
            item->trigger();
            menu->close();
        });
    driver.When(
        "the menu gave the item's command", [&] { return main.sys_commands.size() == 2; },
        [&] {
            EXPECT_EQ(main.sys_commands[1], 16u);
            main.EndDialog(IDOK);
        });
    qttest::RunWith(main, driver);

    // The progress window has no system menu: nothing can be appended to it.
    TestDialog progress(IDD_PROGRESS);
    bool has_menu = true;
    progress.init = [&](TestDialog& self) {
        has_menu = self.HasSystemMenu();
        self.AppendSystemMenuItem(16, "x");
        EXPECT_TRUE(dialogchrome::SystemMenu(self).empty());
        self.EndDialog(IDOK);
    };
    progress.DoModal();
    EXPECT_FALSE(has_menu);
}

TEST(QtIcon, TheBuildsIconHasSixImagesThatAgreeAcrossDepths) {
    ResourceBlob blob{nullptr, 0};
    ASSERT_TRUE(FindResourceBlob("ICON", IDI_UPDATER, &blob));
    const std::vector<qtdialog::IconImage> images = qtdialog::DecodeIconFile(blob.data, blob.size);
    ASSERT_EQ(images.size(), 6u);
    const int sizes[] = {48, 32, 16, 48, 32, 16};
    const int bits[] = {8, 8, 8, 24, 24, 24};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(images[i].width, sizes[i]);
        EXPECT_EQ(images[i].height, sizes[i]);
        EXPECT_EQ(images[i].bits_per_pixel, bits[i]);
    }
    for (int i = 0; i < 3; ++i) {
        const QImage& low = images[i].image;
        const QImage& high = images[i + 3].image;
        long diff = 0, opaque = 0;
        for (int y = 0; y < low.height(); ++y) {
            for (int x = 0; x < low.width(); ++x) {
                const QRgb a = low.pixel(x, y), b = high.pixel(x, y);
                ASSERT_EQ(qAlpha(a), qAlpha(b)) << "the two depths share one mask";
                if (qAlpha(a) == 0) continue;
                ++opaque;
                diff += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                        std::abs(qBlue(a) - qBlue(b));
            }
        }
        // The palette image is the true-colour one with at most a small quantisation error.
        ASSERT_GT(opaque, low.width() * low.height() / 3);
        EXPECT_LT(double(diff) / opaque, 12.0) << sizes[i];
        // Transparent corners (the receiver's rounded box), opaque centre.
        EXPECT_EQ(qAlpha(high.pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(high.pixel(high.width() - 1, 0)), 0);
        EXPECT_EQ(qAlpha(high.pixel(high.width() / 2, high.height() / 2)), 255);
    }
    // Broken files decode to nothing rather than to garbage.
    EXPECT_TRUE(qtdialog::DecodeIconFile(blob.data, 40).empty());
    std::vector<unsigned char> bad(blob.data, blob.data + blob.size);
    bad[6 + 8] = 0xFF;  // first image's size beyond the file
    bad[6 + 9] = 0xFF;
    EXPECT_TRUE(qtdialog::DecodeIconFile(bad.data(), bad.size()).empty());
    EXPECT_TRUE(qtdialog::IconFromResource(4711).isNull());
}

// The theme's drawing of the icon at a size, as the build put it for the desktop.
QImage ThemeIcon(int size) {
    return QImage(QStringLiteral(ORVANE_ICON_THEME_DIR "/%1x%1/apps/" ORVANE_APP_ID ".png").arg(size));
}

// Two pictures pixel for pixel, as the screen gets them (premultiplied alpha).
bool SamePicture(const QImage& a, const QImage& b) {
    return a.size() == b.size() && a.convertToFormat(QImage::Format_ARGB32_Premultiplied) ==
                                       b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The desktop's theme icons: a PNG with an alpha channel at each size, each drawn at its own
// size. Drawn, a 256-pixel icon has edges one pixel wide; scaled up from the 48-pixel one,
// its edges would be blurred over several.
double SoftEdgeShare(const QImage& image) {
    long soft = 0, covered = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            if (alpha > 0) ++covered;
            if (alpha > 0 && alpha < 255) ++soft;
        }
    }
    return covered == 0 ? 1.0 : double(soft) / covered;
}

TEST(QtIcon, ThemeIconsAreDrawnAtEverySize) {
    std::map<int, QImage> images;
    for (int size : {16, 32, 48, 64, 128, 256}) {
        QImage image = ThemeIcon(size);
        ASSERT_FALSE(image.isNull()) << size << " does not decode";
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_TRUE(image.hasAlphaChannel()) << size;
        image = image.convertToFormat(QImage::Format_ARGB32);
        EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << size << ": the corners show the desktop";
        EXPECT_EQ(qAlpha(image.pixel(size - 1, 0)), 0) << size;
        EXPECT_EQ(qAlpha(image.pixel(size / 2, size * 3 / 4)), 255) << size << ": the receiver is opaque";
        EXPECT_GT(SoftEdgeShare(image), 0.0) << size << ": edges blend into the background";
        images[size] = image;
    }
    const double drawn = SoftEdgeShare(images[256]);
    const double scaled =
        SoftEdgeShare(images[48].scaled(256, 256, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    EXPECT_LT(drawn * 2, scaled) << "the 256-pixel icon looks scaled up";
    // The same picture at every size: the large one brought down to 48 pixels matches the
    // 48-pixel drawing.
    const QImage down = images[256].scaled(48, 48, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    long difference = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            difference += std::abs(qAlpha(down.pixel(x, y)) - qAlpha(images[48].pixel(x, y)));
    EXPECT_LT(double(difference) / (48 * 48), 16.0);
    std::printf("soft edges: drawn 256 px %.3f, 48 px scaled up %.3f; mean alpha difference at 48 px %.1f\n",
                drawn, scaled, double(difference) / (48 * 48));
}

TEST(QtIcon, WindowIconAndAboutBoxIcon) {
    TestDialog main(IDD_UPDATER);
    main.init = [](TestDialog& self) {
        self.SetIcon(IDI_UPDATER, true);
        self.SetIcon(IDI_UPDATER, false);
    };
    Driver driver;
    driver.When(
        "shown", [&] { return Visible(main); },
        [&] {
            EXPECT_EQ(dialogchrome::WindowIcon(main, true), IDI_UPDATER);
            EXPECT_EQ(dialogchrome::WindowIcon(main, false), IDI_UPDATER);
            // Every size the icon tool draws, each that drawing.
            const QIcon icon = qtdialog::Window(main)->windowIcon();
            for (int size : {16, 32, 48, 64, 128, 256})
                EXPECT_TRUE(SamePicture(icon.pixmap(QSize(size, size), 1.0).toImage(), ThemeIcon(size)))
                    << size;
            EXPECT_FALSE(main.IsIconic());
            int w = 0, h = 0;
            main.GetClientSize(&w, &h);
            EXPECT_EQ(QSize(w, h), qtdialog::Window(main)->size());
            main.EndDialog(IDOK);
        });
    qttest::RunWith(main, driver);

    // The about box's icon: 32 pixels of the layout, the drawing for the screen's scale (this
    // test runs at 100 % and, as qt_icons_200, at 200 %: 64 pixels, not 48 stretched).
    TestDialog about(IDD_ABOUT);
    about.init = [](TestDialog& self) {
        auto* icon = Widget<QLabel>(self, IDC_STATIC_NONE);
        ASSERT_NE(icon, nullptr);
        const QPixmap pixmap = icon->pixmap();
        const int scale = int(std::lround(qApp->devicePixelRatio()));
        EXPECT_EQ(pixmap.deviceIndependentSize().toSize(), QSize(32, 32));
        EXPECT_TRUE(SamePicture(pixmap.toImage(), ThemeIcon(32 * scale))) << "at " << scale * 100 << " %";
        self.EndDialog(IDOK);
    };
    about.DoModal();
}

// ---- Wayland (run there, with QtModal, by tests/package/run_wayland.sh) ----------------------

// A maximise that the compositor grants, as the title bar Qt draws offers it, leaves the window
// at its one size instead of ending the connection with a protocol error (weston checks).
TEST(QtWayland, AGrantedMaximiseIsUndone) {
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) GTEST_SKIP();
    TestDialog main(IDD_UPDATER);
    QSize size;
    Driver driver;
    driver.When(
        "main shown", [&] { return Visible(main); },
        [&] {
            size = qtdialog::Window(main)->size();
            qtdialog::Window(main)->windowHandle()->setWindowStates(Qt::WindowMaximized);
        });
    driver.When(
        "the window has its size again",
        [&] {
            QDialog* w = qtdialog::Window(main);
            return !w->isMaximized() && w->size() == size && w->maximumSize() == size;
        },
        [&] { main.EndDialog(IDOK); });
    EXPECT_EQ(qttest::RunWith(main, driver), IDOK);
}

}  // namespace
