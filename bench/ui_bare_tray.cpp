// The memory floor for the tray program: a bare QApplication with one tray icon and a
// menu, built like kestrune, idling in the event loop. Not a Google Benchmark: run
// bench/idle-memory to compare it with kestrune.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon icon;
    QPixmap picture(32, 30);
    picture.fill(Qt::gray);
    icon.setIcon(QIcon(picture));
    QMenu menu;
    menu.addAction("Quit", &app, &QApplication::quit);
    icon.setContextMenu(&menu);
    icon.setToolTip("bare");
    icon.show();
    return app.exec();
}
