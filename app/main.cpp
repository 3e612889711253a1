// kestrune: the tray program. Moves files left under the former name, then, unless
// another kestrune of this session takes over, runs the controller in the event loop
// until the user quits.
#include "app/CommandLine.h"
#include "app/D.h"
#include "app/SingleInstance.h"
#include "core/BuildInfo.h"
#include "platform/Migration.h"

#include <QApplication>
#include <QThreadPool>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // Answered before Qt starts, so they work without a display.
    auto line = Kestrune::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (line.action) {
    case Kestrune::CommandLine::Action::help:
        std::fputs(Kestrune::commandLineHelp(), stdout);
        return 0;
    case Kestrune::CommandLine::Action::version:
        std::printf("kestrune %s\n", KestruneCore::BuildInfo::version);
        return 0;
    case Kestrune::CommandLine::Action::usageError:
        std::fprintf(stderr, "kestrune: %s\n", line.error.c_str());
        return 2;
    case Kestrune::CommandLine::Action::run:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Kestrune");
    // Ties the windows to kestrune.desktop, so desktops show its name and icon.
    QGuiApplication::setDesktopFileName("kestrune");
    // The program lives in the tray: closing a window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second start hands over what it was asked and leaves the tray to the first.
    Kestrune::SingleInstance instance;
    QStringList handed;
    if (line.openSettings)
        handed << "--open-settings";
    if (instance.claim(handed) == Kestrune::SingleInstance::Claim::handedOver)
        return 0;

    KestruneCore::migrateFromFormerName();
    KestruneCore::migrateFromEarlierLayout();

    Kestrune::D controller;
    instance.onArguments = [&controller](const QStringList& arguments) {
        if (arguments.contains("--open-settings"))
            QMetaObject::invokeMethod(&controller, &Kestrune::D::openSettings,
                                      Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(&controller, &Kestrune::D::applicationDidFinishLaunching,
                              Qt::QueuedConnection);
    int status = app.exec();
    QThreadPool::globalInstance()->waitForDone();
    return status;
}
