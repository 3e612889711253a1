// The status icon's menu (current problems, then the commands) and the application
// menu whose shortcuts work in every window of the program.
#pragma once

#include "health/Problems.h"

#include <QMenu>
#include <QObject>

#include <set>
#include <string>
#include <vector>

namespace Kestrune {

// A new menu: one disabled line per problem (its detail as tooltip), a separator when
// there were problems, "Send Feedback…", "Settings…" (Ctrl+,), a separator and
// "Quit kestrune completely" (Ctrl+Q). The commands call target's slots
// openFeedback(), openSettings() and quitAll(); with no target they do nothing.
QMenu* buildMenu(QObject* target, const std::vector<KestruneCore::Problem>& problems,
                 const std::set<std::string>& serviceNames = {});

// Brings the problem lines of a menu from buildMenu up to date in place. A tray host
// that draws the menu holds on to its entries: lines that stay are relabelled, only
// the difference is added or removed, and the commands are never touched, so the
// exported menu announces each change and the commands keep their ids.
void showProblems(QMenu* menu, const std::vector<KestruneCore::Problem>& problems,
                  const std::set<std::string>& serviceNames = {});

// The application menu: "Quit Kestrune Settings" (Ctrl+W closes the active window)
// and the Edit menu (undo, redo, cut, copy, paste, select all on the focused
// widget). Its shortcuts are application-wide; the menu itself is never shown.
QMenu* makeMainMenu();

} // namespace Kestrune
