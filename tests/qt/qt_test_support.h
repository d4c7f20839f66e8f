// What the Qt tests share: one QApplication for the test program (offscreen platform, set by
// the test's environment), a dialog whose handlers a test supplies, and small helpers.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialog.h"
#include "platform/qt/qt_dialog.h"
#include "tests/qt/qt_driver.h"

namespace qttest {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "qt-test";
        static char* argv[] = {name, nullptr};
        m_app = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override {
        delete m_app;
        m_app = nullptr;
    }

private:
    QApplication* m_app = nullptr;
};

// A dialog of any template whose handlers the test fills in; what reaches it is recorded.
class TestDialog : public CDialog {
public:
    explicit TestDialog(unsigned template_id) : CDialog(template_id) {}

    std::function<void(TestDialog&)> init;
    std::function<void(TestDialog&, unsigned)> command;
    std::function<void(TestDialog&, unsigned)> timer;
    std::function<bool(TestDialog&, unsigned)> sys_command;
    std::function<bool(TestDialog&, int)> close_request;

    std::vector<unsigned> commands;
    std::vector<unsigned> sys_commands;
    std::vector<int> close_requests;

protected:
    bool OnInitDialog() override {
        if (init) init(*this);
        return true;
    }
    void OnCommand(unsigned id) override {
        commands.push_back(id);
        if (command)
            command(*this, id);
        else
            CDialog::OnCommand(id);
    }
    void OnTimer(unsigned id) override {
        if (timer) timer(*this, id);
    }
    bool OnSysCommand(unsigned id) override {
        sys_commands.push_back(id);
        // Unhandled by default, as the base class leaves the platform's commands alone.
        return sys_command ? sys_command(*this, id) : id < 0xF000;
    }
    bool OnCloseRequest(int code) override {
        close_requests.push_back(code);
        return close_request ? close_request(*this, code) : true;
    }
};

template <typename W>
W* Widget(const CDialog& d, unsigned id) {
    return qobject_cast<W*>(qtdialog::Control(d, id));
}

inline std::string LabelText(const CDialog& d, unsigned id) {
    QLabel* label = Widget<QLabel>(d, id);
    return label == nullptr ? std::string("<no label>") : label->text().toStdString();
}

inline std::string ButtonText(const CDialog& d, unsigned id) {
    QPushButton* button = Widget<QPushButton>(d, id);
    return button == nullptr ? std::string("<no button>") : button->text().toStdString();
}

// Runs the dialog modally with the driver's steps; fails the test when a step timed out.
inline int RunWith(CDialog& dialog, Driver& driver, int timeout_ms = 20000) {
    driver.Start(timeout_ms);
    const int result = dialog.DoModal();
    driver.Stop();
    EXPECT_EQ(driver.Failure(), "");
    EXPECT_TRUE(driver.Finished()) << "the dialog ended before the script did";
    return result;
}

// The focus widget of the application, for key presses as a user would make them.
inline QWidget* Focus(const CDialog& d) {
    QWidget* w = QApplication::focusWidget();
    return w != nullptr ? w : qtdialog::Window(d);
}

}  // namespace qttest
