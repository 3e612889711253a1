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

// Marks the problem lines and their separator, the part of the menu that changes.
constexpr const char* problemPart = "kestrune-problem-part";

bool isProblemPart(const QAction* action) {
    return action->property(problemPart).toBool();
}

} // namespace

void showProblems(QMenu* menu, const std::vector<KestruneCore::Problem>& problems,
                  const std::set<std::string>& serviceNames) {
    QList<QAction*> lines;
    QAction* separator = nullptr;
    QAction* firstCommand = nullptr;
    for (QAction* a : menu->actions()) {
        if (!isProblemPart(a))
            firstCommand = firstCommand ? firstCommand : a;
        else if (a->isSeparator())
            separator = a;
        else
            lines << a;
    }
    for (std::size_t i = 0; i < problems.size(); ++i) {
        const auto& p = problems[i];
        QAction* line = i < std::size_t(lines.size()) ? lines[qsizetype(i)] : nullptr;
        if (!line) {
            line = new QAction(menu);
            line->setProperty(problemPart, true);
            line->setEnabled(false);
            menu->insertAction(separator ? separator : firstCommand, line);
        }
        line->setText(
            QString::fromStdString(KestruneCore::menuLine(p, serviceNames.count(p.name) > 0)));
        line->setToolTip(QString::fromStdString(p.detail));
    }
    for (qsizetype i = qsizetype(problems.size()); i < lines.size(); ++i)
        delete lines[i];
    if (problems.empty()) {
        delete separator;
    } else if (!separator) {
        separator = new QAction(menu);
        separator->setSeparator(true);
        separator->setProperty(problemPart, true);
        menu->insertAction(firstCommand, separator);
    }
    menu->setToolTipsVisible(!problems.empty());
}

QMenu* buildMenu(QObject* target, const std::vector<KestruneCore::Problem>& problems,
                 const std::set<std::string>& serviceNames) {
    auto* menu = new QMenu;
    command(menu, QString::fromUtf8("Send Feedback\u2026"), target, SLOT(openFeedback()));
    command(menu, QString::fromUtf8("Settings\u2026"), target, SLOT(openSettings()),
            QKeySequence(Qt::CTRL | Qt::Key_Comma));
    menu->addSeparator();
    command(menu, "Quit kestrune completely", target, SLOT(quitAll()),
            QKeySequence(Qt::CTRL | Qt::Key_Q));
    showProblems(menu, problems, serviceNames);
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
