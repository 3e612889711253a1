#include "statusitem/StatusMenu.h"
#include "statusitem/MenuExporter.h"
#include "statusitem/Notifier.h"

#include <QAction>
#include <QCoreApplication>

#include <gtest/gtest.h>

using namespace Kestrune;
using KestruneCore::Problem;
using KestruneCore::Severity;

namespace {

Problem problem(const std::string& name, Severity s, const std::string& kind = "retrying",
                const std::string& detail = {}) {
    return Problem{name, kind, s, "0", detail};
}

} // namespace

TEST(StatusMenu, CommandsFollowTheProblems) {
    std::unique_ptr<QMenu> empty(buildMenu(nullptr, {}));
    auto actions = empty->actions();
    ASSERT_EQ(actions.size(), 4);
    EXPECT_EQ(actions[0]->text(), QString::fromUtf8("Send Feedback\u2026"));
    EXPECT_EQ(actions[1]->text(), QString::fromUtf8("Settings\u2026"));
    EXPECT_EQ(actions[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_TRUE(actions[2]->isSeparator());
    EXPECT_EQ(actions[3]->text(), "Quit kestrune completely");
    EXPECT_EQ(actions[3]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    actions[0]->trigger(); // no target: nothing happens

    std::unique_ptr<QMenu> menu(buildMenu(
        nullptr,
        {problem("web", Severity::stuck), problem("Mail", Severity::stuck, "retry-limit", "gone")},
        {"web"}));
    actions = menu->actions();
    ASSERT_EQ(actions.size(), 7);
    EXPECT_EQ(actions[0]->text(), QString::fromUtf8("web is down \u2013 needs you"));
    EXPECT_EQ(actions[1]->text(),
              QString::fromUtf8("Mail couldn't be relaunched \u2013 needs you"));
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_EQ(actions[1]->toolTip(), "gone");
    EXPECT_TRUE(actions[2]->isSeparator());
    EXPECT_EQ(actions[3]->text(), QString::fromUtf8("Send Feedback\u2026"));
}

// The one menu follows the problems in place: lines that stay keep their action,
// the commands are never replaced, and the separator comes and goes with the lines.
TEST(StatusMenu, ProblemsChangeInPlace) {
    std::unique_ptr<QMenu> menu(buildMenu(nullptr, {problem("a", Severity::stuck)}));
    QAction* line = menu->actions()[0];
    QList<QAction*> commands = menu->actions().mid(2);
    auto texts = [&] {
        QStringList out;
        for (QAction* a : menu->actions())
            out << (a->isSeparator() ? "-" : a->text());
        return out;
    };
    struct Step {
        std::vector<Problem> problems;
        QStringList lines;
    };
    const Step steps[] = {
        {{problem("b", Severity::stuck), problem("c", Severity::stuck)},
         {"b is down \u2013 needs you", "c is down \u2013 needs you", "-"}},
        {{problem("c", Severity::stuck)}, {"c is down \u2013 needs you", "-"}},
        {{}, {}},
        {{problem("d", Severity::stuck)}, {"d is down \u2013 needs you", "-"}},
    };
    bool first = true;
    for (const auto& step : steps) {
        showProblems(menu.get(), step.problems, {"a", "b", "c", "d"});
        QStringList want = step.lines;
        for (QAction* c : commands)
            want << (c->isSeparator() ? "-" : c->text());
        EXPECT_EQ(texts(), want);
        EXPECT_EQ(menu->actions().mid(menu->actions().size() - commands.size()), commands);
        if (first) {
            EXPECT_EQ(menu->actions()[0], line);
            first = false;
        }
    }
}

// The menu as a host reads it: labels and shortcuts in the host's forms, every change
// announced, commands keeping their ids across changes, and the host's click and
// opening reaching the menu.
TEST(StatusMenu, ExportedMenuFollowsChangesInPlace) {
    std::unique_ptr<QMenu> menu(buildMenu(nullptr, {problem("my_db", Severity::stuck)}, {"my_db"}));
    MenuExporter exporter(menu.get());
    int layouts = 0, relabels = 0, opened = 0, settings = 0;
    QObject::connect(&exporter, &MenuExporter::LayoutUpdated, [&] { ++layouts; });
    QObject::connect(&exporter, &MenuExporter::ItemsPropertiesUpdated, [&] { ++relabels; });
    QObject::connect(menu.get(), &QMenu::aboutToShow, [&] { ++opened; });
    QObject::connect(menu->actions()[3], &QAction::triggered, [&] { ++settings; });
    auto entries = [&] {
        MenuLayout root;
        exporter.GetLayout(0, -1, {}, root);
        std::map<QString, MenuLayout> byLabel;
        for (const auto& child : root.children)
            byLabel[child.properties.value("label").toString()] = child;
        return std::pair{root.children.size(), byLabel};
    };
    auto [count, before] = entries();
    ASSERT_EQ(count, 6);
    QString line =
        QString::fromUtf8("my__db is down \u2013 needs you"); // "_" is the host's mnemonic
    ASSERT_TRUE(before.count(line));
    MenuLayout settingsEntry = before[QString::fromUtf8("Settings\u2026")];
    EXPECT_EQ(settingsEntry.properties.value("shortcut").value<QList<QStringList>>(),
              (QList<QStringList>{{"Control", "comma"}}));

    struct Step {
        std::vector<Problem> problems;
        int layouts, relabels;
        std::size_t entries;
    };
    for (const Step& step :
         {Step{{problem("a", Severity::stuck), problem("b", Severity::stuck)}, 1, 1, 7},
          Step{{}, 2, 1, 4}}) {
        showProblems(menu.get(), step.problems);
        QCoreApplication::processEvents();
        EXPECT_EQ(layouts, step.layouts);
        EXPECT_EQ(relabels, step.relabels);
        auto [n, now] = entries();
        EXPECT_EQ(n, step.entries);
        EXPECT_EQ(now[QString::fromUtf8("Settings\u2026")].id, settingsEntry.id);
    }
    EXPECT_EQ(exporter.revision(), 3u);

    exporter.Event(0, "opened", QDBusVariant(QString()), 0);
    exporter.Event(settingsEntry.id, "clicked", QDBusVariant(QString()), 0);
    EXPECT_EQ(opened, 1);
    QCoreApplication::processEvents(); // the command runs after the host's call returns
    EXPECT_EQ(settings, 1);
}

TEST(StatusMenu, MainMenuShortcuts) {
    std::unique_ptr<QMenu> main(makeMainMenu());
    auto top = main->actions();
    ASSERT_EQ(top.size(), 2);
    auto app = top[0]->menu()->actions();
    ASSERT_EQ(app.size(), 1);
    EXPECT_EQ(app[0]->text(), "Quit Kestrune Settings");
    EXPECT_EQ(app[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_W));
    EXPECT_EQ(top[1]->menu()->title(), "Edit");
    QStringList seen;
    for (QAction* a : top[1]->menu()->actions())
        seen << (a->isSeparator() ? "-" : a->text() + " " + a->shortcut().toString());
    EXPECT_EQ(seen, (QStringList{"Undo Ctrl+Z", "Redo Ctrl+Shift+Z", "-", "Cut Ctrl+X",
                                 "Copy Ctrl+C", "Paste Ctrl+V", "Select All Ctrl+A"}));
}

TEST(Notifier, NewAndEscalatedProblemsOnly) {
    std::vector<std::pair<std::string, std::string>> posted;
    Notifier n([&](const std::string& t, const std::string& b) { posted.emplace_back(t, b); });

    n.update({problem("A", Severity::restarting, "hung-restarting", "slow"),
              problem("B", Severity::stuck)});
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0], (std::pair<std::string, std::string>{
                             "A isn't responding \u2013 restarting\u2026", "slow"}));
    // The service flag is always off here.
    EXPECT_EQ(posted[1].first, "B couldn't be relaunched \u2013 needs you");
    n.update({problem("A", Severity::restarting), problem("B", Severity::stuck)});
    EXPECT_EQ(posted.size(), 2u);

    n.update({problem("A", Severity::stuck), problem("B", Severity::stuck)}); // escalation
    EXPECT_EQ(posted.size(), 3u);
    n.update({problem("A", Severity::restarting)}); // B forgotten, A calmer
    n.update({problem("A", Severity::stuck), problem("B", Severity::restarting)});
    ASSERT_EQ(posted.size(), 5u);
    n.update({});
    n.update({problem("A", Severity::restarting)});
    EXPECT_EQ(posted.size(), 6u);
}

TEST(Notifier, WorstSeverityPerNameDecides) {
    std::vector<std::string> titles;
    Notifier n([&](const std::string& t, const std::string&) { titles.push_back(t); });
    n.update({problem("A", Severity::restarting, "not-running-relaunching"),
              problem("A", Severity::stuck, "unknown-start")});
    EXPECT_EQ(titles,
              (std::vector<std::string>{"A is down \u2013 Kestrune doesn't know how to start it"}));

    // Posting that goes nowhere still moves the memory on.
    Notifier silent(nullptr);
    silent.update({problem("A", Severity::stuck)});
}
