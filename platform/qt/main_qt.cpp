// The entry point of the Linux program: the Qt application, then the application object,
// which runs the main window for the life of the process. The program reads no command
// line: Qt is given the program's name only (its platform can still be chosen the Qt way,
// through QT_QPA_PLATFORM).
#include <QAccessibleObject>
#include <QApplication>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>

#include "app/updater_app.h"
#include "platform/instance_lock.h"
#include "platform/qt/qt_dialog.h"
#include "platform/qt/qt_signals.h"
#include "res/catalogue/catalogue.h"
#include "run/run_state.h"

namespace {

// Called on the lock's own thread when a second start asks this instance to come to the
// front: the window is raised on the UI thread.
void OnActivationRequest() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app, [] { qtdialog::ActivateTopmost(); }, Qt::QueuedConnection);
    }
}

// The name a screen reader gives the program: the product's name, as the desktop entry's
// Name shows it in the menu, instead of the executable's. Qt names the application after
// QCoreApplication::applicationName, which also makes the class of the windows' WM_CLASS
// that the desktop entry's StartupWMClass matches; so only the accessible name changes.
class ProductAccessible final : public QAccessibleApplication {
public:
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name ? QStringLiteral("Orvane M1 Firmware Updater")
                                      : QAccessibleApplication::text(t);
    }
};

QAccessibleInterface* ApplicationAccessible(const QString&, QObject* object) {
    return object != nullptr && object == QCoreApplication::instance() ? new ProductAccessible : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    static char* qt_argv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    static int qt_argc = 1;
    QAccessible::installFactory(ApplicationAccessible);
    QApplication app(qt_argc, qt_argv);
    // The dialogs run their own modal loops; no window's closing ends the program by itself.
    app.setQuitOnLastWindowClosed(false);
    app.setWindowIcon(qtdialog::IconFromResource(IDI_UPDATER));
    // The desktop entry the package installs: the desktop then shows the window under the
    // entry's name and theme icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(ORVANE_APP_ID));
    SetInstanceActivationHandler(OnActivationRequest);
    qtdialog::CloseWindowsOnTerminationSignals();

    (void)theApp.InitInstance();

    SetInstanceActivationHandler(nullptr);
    // A worker that did not end within the teardown's bound is still inside the network
    // code: end the process at once, taking it along, rather than destroy the state it uses.
    if (g_worker_active > 0) {
        std::fflush(nullptr);
        std::_Exit(0);
    }
    return 0;
}
