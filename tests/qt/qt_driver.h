// Drives modal Qt dialogs from inside their own event loops, as a user would: a script of
// steps, each waiting for a condition and then acting. A poll timer checks the current step
// every few milliseconds; the action itself is queued on the event loop, so that an action
// that opens a nested modal dialog (a press that opens the about box) does not block the
// poll timer, which then goes on polling from inside the nested loop.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/qt/qt_dialog.h"

namespace qttest {

class Driver {
public:
    // Adds a step: once ready() holds, act() runs (queued on the event loop).
    void When(std::string what, std::function<bool()> ready, std::function<void()> act) {
        m_steps.push_back({std::move(what), std::move(ready), std::move(act)});
    }
    void Then(std::string what, std::function<void()> act) {
        When(
            std::move(what), [] { return true; }, std::move(act));
    }

    // Starts polling. When a step is not ready within timeout_ms of the start, the driver
    // records which one and ends every open dialog, so that the test fails instead of
    // hanging.
    void Start(int timeout_ms) {
        m_timeout_ms = timeout_ms;
        m_clock.start();
        m_timer = std::make_unique<QTimer>();
        m_timer->setInterval(5);
        QObject::connect(m_timer.get(), &QTimer::timeout, [this] { Poll(); });
        m_timer->start();
    }
    void Stop() {
        if (m_timer) m_timer->stop();
    }

    bool Finished() const { return m_steps.empty() && !m_busy; }
    const std::string& Failure() const { return m_failure; }
    long long ElapsedMs() const { return m_clock.elapsed(); }

    // Ends every open dialog, innermost first.
    static void EndAll() {
        while (CDialog* top = qtdialog::Topmost()) {
            if (!top->IsOpen()) break;
            top->EndDialog(IDCANCEL);
            // The inner dialog's loop ends first; the outer ones follow as control returns.
            if (qtdialog::Topmost() == top) break;
        }
    }

private:
    struct Step {
        std::string what;
        std::function<bool()> ready;
        std::function<void()> act;
    };

    void Poll() {
        if (!m_failure.empty()) {
            EndAll();
            return;
        }
        if (m_busy || m_steps.empty()) return;
        if (m_steps.front().ready()) {
            std::function<void()> act = std::move(m_steps.front().act);
            m_steps.pop_front();
            m_busy = true;
            QMetaObject::invokeMethod(
                qApp,
                [this, act] {
                    // Cleared first: the action may open a nested dialog and only return
                    // when it closes, and the steps meanwhile must go on.
                    m_busy = false;
                    act();
                },
                Qt::QueuedConnection);
        } else if (m_clock.elapsed() > m_timeout_ms) {
            m_failure = "timed out waiting for: " + m_steps.front().what;
            EndAll();
        }
    }

    std::deque<Step> m_steps;
    std::unique_ptr<QTimer> m_timer;
    QElapsedTimer m_clock;
    int m_timeout_ms = 0;
    bool m_busy = false;
    std::string m_failure;
};

}  // namespace qttest
