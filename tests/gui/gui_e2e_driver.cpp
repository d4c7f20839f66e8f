// The updater's side of the end-to-end runs as a user meets it: the real windows on the Qt
// back-end with the real update worker, Update pressed on the real button, and the outcome
// read from what the message area shows. Made to be the updater command of
// tests/e2e/run_e2e.sh, which runs it inside the PC's namespace:
//
//   orvane-gui-e2e-driver --timeout SECONDS
//
// prints what the user saw on the way ("seen: ...") and then "outcome: NAME"; exits 0 once an
// outcome was shown and the texts and buttons were as the window states say, else 1.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/updater_app.h"
#include "app/updater_dlg.h"
#include "platform/catalogue/catalogue_strings.h"
#include "platform/qt/qt_dialog.h"
#include "res/catalogue/catalogue.h"
#include "run/run_state.h"
#include "tests/qt/qt_driver.h"

namespace {

std::string Text(const CDialog& d, unsigned id) {
    QWidget* w = qtdialog::Control(d, id);
    if (auto* label = qobject_cast<QLabel*>(w)) return label->text().toStdString();
    if (auto* button = qobject_cast<QPushButton*>(w)) return button->text().toStdString();
    return std::string();
}

bool Enabled(const CDialog& d, unsigned id) {
    QWidget* w = qtdialog::Control(d, id);
    return w != nullptr && w->isEnabled();
}

CDialog* OpenTop(unsigned template_id) {
    CDialog* top = qtdialog::Topmost();
    if (top == nullptr || top->TemplateId() != template_id) return nullptr;
    QDialog* w = qtdialog::Window(*top);
    return w != nullptr && w->isVisible() ? top : nullptr;
}

void Click(CDialog& d, unsigned id) {
    QWidget* b = qtdialog::Control(d, id);
    QTest::mouseClick(qtdialog::Window(d)->windowHandle(), Qt::LeftButton, {}, b->geometry().center());
}

std::string Flat(std::string s) {
    for (char& c : s)
        if (c == '\n') c = '|';
    return s;
}

int g_failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        ++g_failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    int timeout_s = 60;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--timeout") == 0) timeout_s = std::atoi(argv[i + 1]);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    static int qt_argc = 1;
    static char* qt_argv[] = {argv[0], nullptr};
    QApplication app(qt_argc, qt_argv);
    app.setQuitOnLastWindowClosed(false);

    const auto S = [](unsigned id) { return LoadStringById(id); };
    const std::pair<unsigned, const char*> outcomes[] = {{IDS_COMPLETED, "completed"},
                                                         {IDS_FAILED, "failed"},
                                                         {IDS_OLD_VERSION, "old version"},
                                                         {IDS_NO_DEVICE, "no device"}};
    std::string outcome = "none";
    bool saw_progress = false;
    CDialog* main_window = nullptr;

    qttest::Driver driver;
    driver.When(
        "the main window", [&] { return (main_window = OpenTop(IDD_UPDATER)) != nullptr; },
        [&] {
            std::printf("seen: title \"%s\"\n",
                        qtdialog::Window(*main_window)->windowTitle().toUtf8().data());
            std::printf("seen: message \"%s\"\n", Flat(Text(*main_window, IDC_MESSAGE)).c_str());
            Check(Text(*main_window, IDC_MESSAGE) == FormatReadyMessage(S(IDS_READY), FIRMWARE_VERSION),
                  "the ready message");
            Check(Enabled(*main_window, IDC_UPDATE) && Text(*main_window, IDC_FINISH) == S(IDS_FINISH),
                  "Update enabled, Finish");
            Click(*main_window, IDC_UPDATE);
            Check(Text(*main_window, IDC_MESSAGE) == S(IDS_PROBING), "the probing message after Update");
            Check(!Enabled(*main_window, IDC_UPDATE) && Text(*main_window, IDC_FINISH) == S(IDS_CANCEL),
                  "Update disabled, Cancel");
            std::printf("seen: pressed Update, message \"%s\"\n",
                        Flat(Text(*main_window, IDC_MESSAGE)).c_str());
        });
    driver.When(
        "an outcome in the message area",
        [&] {
            if (CDialog* progress = OpenTop(IDD_PROGRESS); progress != nullptr && !saw_progress) {
                saw_progress = true;
                std::printf("seen: progress window \"%s\", main message \"%s\"\n",
                            qtdialog::Window(*progress)->windowTitle().toUtf8().data(),
                            Text(*main_window, IDC_MESSAGE).c_str());
                Check(Text(*main_window, IDC_MESSAGE) == S(IDS_UPDATING), "the updating message");
                Check(qtdialog::Window(*progress)->windowTitle().toStdString() == S(IDS_PROGRESS_TITLE),
                      "the progress title");
            }
            if (OpenTop(IDD_UPDATER) == nullptr) return false;
            const std::string message = Text(*main_window, IDC_MESSAGE);
            for (const auto& [id, name] : outcomes) {
                if (message == S(id)) {
                    outcome = name;
                    return true;
                }
            }
            return false;
        },
        [&] {
            std::printf("seen: message \"%s\", Update %s, second button \"%s\"\n",
                        Flat(Text(*main_window, IDC_MESSAGE)).c_str(),
                        Enabled(*main_window, IDC_UPDATE) ? "enabled" : "disabled",
                        Text(*main_window, IDC_FINISH).c_str());
            const bool retry = outcome == "failed" || outcome == "no device";
            Check(Enabled(*main_window, IDC_UPDATE) == retry,
                  "Update enabled only after a retryable outcome");
            Check(Text(*main_window, IDC_FINISH) == S(IDS_FINISH), "the second button reads Finish again");
            Check(g_update_running == 0, "the run was stopped");
            if (outcome == "completed") Check(saw_progress, "the progress window was shown");
            std::printf("outcome: %s\n", outcome.c_str());
            Click(*main_window, IDC_FINISH);
        });
    driver.Start(timeout_s * 1000);
    (void)theApp.InitInstance();
    driver.Stop();
    if (!driver.Failure().empty())
        std::printf("FAIL: %s\noutcome: %s\n", driver.Failure().c_str(), outcome.c_str());
    const bool ok = g_failures == 0 && driver.Failure().empty() && outcome != "none";
    std::fflush(stdout);
    // A worker still inside the network code ends with the process, as in the program.
    if (g_worker_active > 0) std::_Exit(ok ? 0 : 1);
    return ok ? 0 : 1;
}
