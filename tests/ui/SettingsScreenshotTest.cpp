// Pictures of the Settings window for people to look at, in a light and a dark
// palette: written only when KESTRUNE_SCREENSHOT_DIR names a folder (scripts/screenshot
// sets it); otherwise skipped.
#include "TempDir.h"
#include "app/D.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "icons/qt/IconPictures.h"
#include "services/ServiceCheck.h"
#include "settings/AppPicker.h"
#include "settings/ListSection.h"
#include "settings/RowTable.h"

#include <QApplication>
#include <QIcon>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleFactory>

#include <gtest/gtest.h>

using namespace KestruneCore;
using Kestrune::D;

namespace {

QPalette darkPalette() {
    QPalette p;
    const QColor window(40, 40, 42), base(30, 30, 32), text(232, 232, 234);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(58, 58, 60));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Highlight, QColor(10, 132, 255));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Mid, QColor(90, 90, 94));
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(130, 130, 134));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(130, 130, 134));
    return p;
}

void writeIcon(const std::string& path, QColor colour) {
    QImage image(128, 128, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(colour);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(8, 8, 112, 112), 26, 26);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(40, 40, 48, 48));
    p.end();
    makeFolders(parentFolder(path));
    image.save(QString::fromStdString(path));
}

} // namespace

TEST(SettingsScreenshot, WindowAndDetailsSheet) {
    const char* out = std::getenv("KESTRUNE_SCREENSHOT_DIR");
    if (!out || !*out)
        GTEST_SKIP() << "set KESTRUNE_SCREENSHOT_DIR to write the pictures";
    const std::string dir = out;
    KestruneTest::TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    makeFolders(logsFolder());
    makeFolders(stateFolder());
    auto rel = [&](const std::string& path) { return path.substr(tmp.path().size() + 1); };

    // Apps: one with a picture, one with a name too long for the row, one switched off.
    std::string mapsIcon = tmp.path() + "/icons/maps.png";
    writeIcon(mapsIcon, QColor(52, 168, 83));
    std::string maps = tmp.write(
        "apps/maps.desktop",
        "[Desktop Entry]\nType=Application\nName=Maps\nExec=maps\nIcon=" + mapsIcon + "\n");
    std::string notes = tmp.mkdir("Applications/Notes.app");
    std::string svc = tmp.path() + "/Projects/";
    auto project = [&](const std::string& name, const std::string& json) {
        tmp.write("Projects/" + name + "/scripts/launch.sh", "#!/bin/sh\n", true);
        if (!json.empty())
            tmp.write("Projects/" + name + "/scripts/launch.json", json);
        return svc + name;
    };
    std::string health = R"({"healthcheck": {"url": "http://127.0.0.1:4999/health"}})";
    std::string shop = project("shop", health);
    std::string blog = project("blog", health);
    std::string web = project("web-dashboard-with-a-rather-long-folder-name", health);
    std::string api = project("api", health);
    writeIcon(shop + "/public/favicon.png", QColor(230, 120, 40));
    tmp.write(rel(dataPath()),
              "1\tMaps\t" + maps + "\tapp\n" +
                  "1\tA text editor whose name is far longer than the row has room for\t" + notes +
                  "\tapp\n" + "0\tNotes\t" + notes + "x\tapp\n" + "1\tshop\t" + shop +
                  "\tservice\tlaunch.sh\n" + "0\tblog\t" + blog + "\tservice\tnpm run dev\n" +
                  "1\tweb-dashboard-with-a-rather-long-folder-name\t" + web +
                  "\tservice\tlaunch.sh\n");
    tmp.write(rel(problemsPath()), "shop\tretrying\tstuck\t0\tNo reply within 5s\n");
    tmp.write(rel(stateFolder() + "/startup-times.tsv"),
              "shop\t2026-12-07 09:00:00\t2026-12-07 09:00:06\t6\tuser\thealthy\n"
              "shop\t2026-12-07 11:30:00\t2026-12-07 11:30:09\t9\tkeep-alive\thealthy\n");

    QApplication::setStyle(QStyleFactory::create("Fusion"));
    const QPalette light = QApplication::style()->standardPalette();
    D d;
    d.setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
    d.lcRunner = [](const std::vector<std::string>&) { return 0; };
    d.isRunning = [&](const std::string& p) { return p == maps; };
    d.arguments = {"kestrune"};
    d.found = {api};
    d.applicationDidFinishLaunching();
    d.openSettings();
    d.startingSince[web] = Clock::now();
    d.reloadSections();

    // Rows with icon files show the generic glyph until their pictures are made.
    auto settle = [&] {
        d.reloadSections();
        QApplication::processEvents();
        d.appsSec().filePictures().waitForDone();
        d.svcSec().filePictures().waitForDone();
        QApplication::processEvents();
    };
    auto photograph = [&](const QPalette& palette, const std::string& name) {
        QApplication::setPalette(palette);
        settle();
        EXPECT_TRUE(d.win->grab().save(QString::fromStdString(dir + "/" + name + ".png")));
        // The details sheet of the service that is down.
        d.svcSec().setClickedRow(0);
        d.svcSec().detailsClicked();
        auto boxes = d.win->findChildren<QMessageBox*>();
        ASSERT_FALSE(boxes.isEmpty());
        boxes.last()->adjustSize();
        QApplication::processEvents();
        EXPECT_TRUE(
            boxes.last()->grab().save(QString::fromStdString(dir + "/" + name + "-details.png")));
        boxes.last()->reject();
        QApplication::processEvents();
    };
    photograph(light, "settings-light");
    photograph(darkPalette(), "settings-dark");

    // Six services, more than the list shows at once, so it scrolls.
    std::string docs = project("docs", health), queue = project("queue", "");
    writeIcon(docs + "/icon.png", QColor(30, 120, 220));
    writeIcon(queue + "/static/favicon.png", QColor(120, 80, 200));
    tmp.write(rel(dataPath()), KestruneTest::readAll(dataPath()) + "1\tdocs\t" + docs +
                                   "\tservice\tlaunch.sh\n1\tqueue\t" + queue +
                                   "\tservice\tlaunch.sh\n");
    d.openSettings();
    for (const auto& [palette, name] :
         {std::pair{light, "settings-six-light"}, std::pair{darkPalette(), "settings-six-dark"}}) {
        QApplication::setPalette(palette);
        settle();
        EXPECT_TRUE(d.win->grab().save(QString::fromStdString(dir + "/" + name + ".png")));
        // Scrolled to its end, while the overlay scroller shows.
        QScrollBar* bar = d.svcSec().table->verticalScrollBar();
        bar->setValue(bar->maximum());
        QApplication::processEvents();
        EXPECT_TRUE(d.win->grab().save(QString::fromStdString(dir + "/" + name + "-scrolled.png")));
        bar->setValue(0);
    }

    // Both lists empty.
    save({}, dataPath());
    d.found.clear();
    d.openSettings();
    for (const auto& [palette, name] : {std::pair{light, "settings-empty-light"},
                                        std::pair{darkPalette(), "settings-empty-dark"}}) {
        QApplication::setPalette(palette);
        d.reloadSections();
        QApplication::processEvents();
        EXPECT_TRUE(d.win->grab().save(QString::fromStdString(dir + "/" + name + ".png")));
    }
    QApplication::setPalette(light);
}

TEST(SettingsScreenshot, AppPicker) {
    const char* out = std::getenv("KESTRUNE_SCREENSHOT_DIR");
    if (!out || !*out)
        GTEST_SKIP() << "set KESTRUNE_SCREENSHOT_DIR to write the pictures";
    const std::string dir = out;
    KestruneTest::TempDir tmp;
    // Entries with pictures of their own, one from the icon theme and one whose theme
    // icon is missing (the generic program picture), beside a hidden one.
    const std::vector<std::pair<std::string, QColor>> named = {
        {"Calendar", QColor(220, 60, 60)},      {"Maps", QColor(52, 168, 83)},
        {"Notes", QColor(240, 190, 40)},        {"Photo Editor", QColor(120, 80, 200)},
        {"Music Player", QColor(230, 120, 40)}, {"Terminal", QColor(60, 60, 60)},
        {"Web Browser", QColor(30, 120, 220)}};
    for (const auto& [name, colour] : named) {
        std::string icon = tmp.path() + "/art/" + name + ".png";
        writeIcon(icon, colour);
        tmp.write("share/applications/" + name + ".desktop",
                  "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=x\nIcon=" + icon +
                      "\n");
    }
    tmp.write("share/applications/vim.desktop",
              "[Desktop Entry]\nType=Application\nName=Vim\nExec=vim\nIcon=gvim\n");
    tmp.write("share/applications/tool.desktop",
              "[Desktop Entry]\nType=Application\nName=Build Tool\nExec=tool\nIcon=no-such\n");
    tmp.write("share/applications/helper.desktop",
              "[Desktop Entry]\nType=Application\nName=Helper\nExec=h\nNoDisplay=true\n");
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor")
        QIcon::setThemeName("Adwaita");

    QApplication::setStyle(QStyleFactory::create("Fusion"));
    const QPalette light = QApplication::style()->standardPalette();
    for (const auto& [palette, name, query] : {std::tuple{light, "app-picker-light", ""},
                                               std::tuple{darkPalette(), "app-picker-dark", "o"}}) {
        QApplication::setPalette(palette);
        Kestrune::AppPicker picker(installedApps({tmp.path() + "/share/applications"}));
        picker.show();
        picker.waitForPictures();
        picker.search->setText(query);
        if (!*query)
            picker.list->setCurrentRow(3);
        QApplication::processEvents();
        EXPECT_TRUE(picker.grab().save(QString::fromStdString(dir + "/" + name + ".png")));
    }
    QApplication::setPalette(light);
}
