#include "statusitem/StatusMenu.h"

#include "health/StatusSummary.h"
#include "statusitem/HostMenuKeys.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QWidget>

namespace Kestrune {

namespace {

QAction* command(QMenu* menu, const QString& title, QObject* target, const char* slot,
                 const QKeySequence& shortcut = {}) {
    QAction* action = menu->addAction(title);
    action->setShortcut(shortcut);
    if (target)
        QObject::connect(action, SIGNAL(triggered()), target, slot);
    return action;
}

// Sends an editing command to the focused widget, as a text field's own menu would.
QAction* editCommand(QMenu* menu, const QString& title, const char* method,
                     const QKeySequence& shortcut) {
    QAction* action = menu->addAction(title);
    action->setShortcut(shortcut);
    action->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(action, &QAction::triggered, action, [method] {
        if (QWidget* w = QApplication::focusWidget())
            QMetaObject::invokeMethod(w, method);
    });
    return action;
}

// While a menu is open it holds the keyboard, and its commands' shortcuts do not
// reach the application's shortcut handling (a tray menu belongs to no window). The
// menu therefore answers them itself: it closes and runs the command.
class OwnShortcuts : public QObject {
public:
    explicit OwnShortcuts(QMenu* menu) : QObject(menu), menu_(menu) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != menu_ ||
            (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride))
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        QKeySequence pressed(key->keyCombination());
        for (QAction* action : menu_->actions()) {
            if (action->shortcut().isEmpty() || !action->isEnabled() ||
                action->shortcut().matches(pressed) != QKeySequence::ExactMatch)
                continue;
            event->accept();
            if (event->type() == QEvent::KeyPress) {
                menu_->hide();
                action->trigger();
            }
            return true;
        }
        return false;
    }

private:
    QMenu* menu_;
};

} // namespace

QMenu* buildMenu(QObject* target, const std::vector<KestruneCore::Problem>& problems,
                 const std::set<std::string>& serviceNames) {
    auto* menu = new QMenu;
    for (const auto& p : problems) {
        QAction* line = menu->addAction(
            QString::fromStdString(KestruneCore::menuLine(p, serviceNames.count(p.name) > 0)));
        line->setEnabled(false);
        line->setToolTip(QString::fromStdString(p.detail));
    }
    if (!problems.empty()) {
        menu->addSeparator();
        menu->setToolTipsVisible(true);
    }
    command(menu, QString::fromUtf8("Send Feedback\u2026"), target, SLOT(openFeedback()));
    command(menu, QString::fromUtf8("Settings\u2026"), target, SLOT(openSettings()),
            QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    command(menu, "Quit kestrune completely", target, SLOT(quitAll()),
            QKeySequence(Qt::CTRL | Qt::Key_Q));
    menu->installEventFilter(new OwnShortcuts(menu));
    new HostMenuKeys(menu);
    return menu;
}

QMenu* makeMainMenu() {
    auto* main = new QMenu;
    auto* app = main->addMenu(QString());
    QAction* close = app->addAction("Quit Kestrune Settings");
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    close->setShortcutContext(Qt::ApplicationShortcut);
    QObject::connect(close, &QAction::triggered, close, [] {
        // Closes the window in front; the program keeps running.
        if (QWidget* w = QApplication::activeWindow())
            w->close();
    });

    auto* edit = main->addMenu("Edit");
    editCommand(edit, "Undo", "undo", QKeySequence(Qt::CTRL | Qt::Key_Z));
    editCommand(edit, "Redo", "redo", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    edit->addSeparator();
    editCommand(edit, "Cut", "cut", QKeySequence(Qt::CTRL | Qt::Key_X));
    editCommand(edit, "Copy", "copy", QKeySequence(Qt::CTRL | Qt::Key_C));
    editCommand(edit, "Paste", "paste", QKeySequence(Qt::CTRL | Qt::Key_V));
    editCommand(edit, "Select All", "selectAll", QKeySequence(Qt::CTRL | Qt::Key_A));
    return main;
}

} // namespace Kestrune
