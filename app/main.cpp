// kestrune: the tray program. Moves files left under the former name, then runs the
// controller in the event loop until the user quits.
#include "app/D.h"
#include "core/BuildInfo.h"
#include "platform/Migration.h"

#include <QApplication>
#include <QThreadPool>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* helpText =
    "Usage: kestrune [--open-settings]\n"
    "\n"
    "Shows the Kestrune tray icon, starts the keep-alive engine's user unit\n"
    "(kestrune-engine.service) and keeps running until \"Quit kestrune completely\".\n"
    "\n"
    "Options:\n"
    "  --open-settings   open the Settings window at start\n"
    "  --help            this text\n"
    "  --version         the version of kestrune\n";

} // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(helpText, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kestrune %s\n", KestruneCore::BuildInfo::version);
            return 0;
        }
    }

    KestruneCore::migrateFromFormerName();
    KestruneCore::migrateFromEarlierLayout();

    QApplication app(argc, argv);
    QApplication::setApplicationName("Kestrune");
    // Ties the windows to kestrune.desktop, so desktops show its name and icon.
    QGuiApplication::setDesktopFileName("kestrune");
    // The program lives in the tray: closing a window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    Kestrune::D controller;
    QMetaObject::invokeMethod(&controller, &Kestrune::D::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    int status = app.exec();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
