// kestrune: the tray program. Moves files left under the former name, then runs the
// controller in the event loop until the user quits.
#include "app/D.h"
#include "platform/Migration.h"

#include <QApplication>
#include <QThreadPool>

int main(int argc, char** argv) {
    KestruneCore::migrateFromFormerName();

    QApplication app(argc, argv);
    QApplication::setApplicationName("Kestrune");
    // The program lives in the tray: closing a window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    Kestrune::D controller;
    QMetaObject::invokeMethod(&controller, &Kestrune::D::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    int status = app.exec();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
