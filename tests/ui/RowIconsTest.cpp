// Row icons of the Settings lists: made off the main thread, from regular files only,
// and drawn anew when the file changes.
#include "TempDir.h"
#include "app/D.h"
#include "core/FileIO.h"
#include "core/Paths.h"
#include "icons/qt/IconPictures.h"
#include "settings/ListSection.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QThread>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace KestruneCore;
using Kestrune::D;
using Kestrune::ListSection;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

bool waitFor(const std::function<bool()>& done) {
    for (int waited = 0; !done(); waited += 5) {
        if (waited > 20000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    return true;
}

// Keeps asking the main thread to run a queued call. A call left unanswered for long
// (far beyond any redraw) counts as a stall; the FIFOs are then opened for writing so
// a reader blocked in open() is let go and the test fails instead of hanging.
class MainThreadWatchdog {
public:
    explicit MainThreadWatchdog(std::vector<std::string> fifos) : fifos_(std::move(fifos)) {
        thread_ = std::thread([this] { run(); });
    }
    ~MainThreadWatchdog() {
        state_->stop = true;
        thread_.join();
    }
    bool stalled() const { return state_->stalled; }

private:
    struct State {
        std::atomic<bool> stop{false}, stalled{false};
        std::atomic<int> answered{0};
    };
    void run() {
        for (int asked = 1; !state_->stop; ++asked) {
            QMetaObject::invokeMethod(
                qApp, [state = state_, asked] { state->answered = asked; }, Qt::QueuedConnection);
            auto since = std::chrono::steady_clock::now();
            while (state_->answered < asked && !state_->stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                if (std::chrono::steady_clock::now() - since > std::chrono::seconds(30)) {
                    state_->stalled = true;
                    for (const auto& fifo : fifos_)
                        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
                    since = std::chrono::steady_clock::now();
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::vector<std::string> fifos_;
    std::thread thread_;
};

// Whether the middle of the row's picture has that colour.
bool showsColour(const QLabel* icon, QColor colour) {
    QImage image = icon->pixmap().toImage();
    if (image.isNull())
        return false;
    QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
    return std::abs(centre.red() - colour.red()) < 4 &&
           std::abs(centre.green() - colour.green()) < 4 &&
           std::abs(centre.blue() - colour.blue()) < 4;
}

class RowIcons : public ::testing::Test {
protected:
    TempDir tmp;
    ScopedHome scopedHome{tmp.path()};
    std::unique_ptr<D> d;

    std::string project(const std::string& name) {
        std::string dir = tmp.mkdir("Projects/" + name);
        tmp.write("Projects/" + name + "/scripts/launch.sh", "#!/bin/sh\n", true);
        return dir;
    }

    void start(const std::string& watchList, std::vector<std::string> found) {
        makeFolders(dataFolder());
        writeFileAtomically(dataPath(), watchList);
        d = std::make_unique<D>();
        d->setNotificationBus(QDBusConnection("kestrune-test-no-bus"));
        d->lcRunner = [](const std::vector<std::string>&) { return 0; };
        d->isRunning = [](const std::string&) { return false; };
        d->arguments = {"kestrune"};
        d->found = std::move(found);
        d->applicationDidFinishLaunching();
    }

    void TearDown() override {
        QThreadPool::globalInstance()->waitForDone();
        d.reset();
    }

    // The service row of that folder, -1 when it is not listed.
    int rowOf(const std::string& dir) {
        const auto& rows = d->svcSec().rows;
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].path == dir)
                return int(i);
        return -1;
    }
};

} // namespace

TEST_F(RowIcons, FifosDevicesAndHugeFilesNeverHoldUpTheMainThread) {
    // What sits where an icon is looked for; each is planted in a watched folder and in
    // a folder only found on this computer.
    struct Case {
        const char* what;
        const char* file;
        std::function<void(const std::string& path)> plant;
    };
    std::vector<std::string> fifos;
    const std::vector<Case> cases = {
        {"FIFO", "icon.png",
         [&](const std::string& p) {
             ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
             fifos.push_back(p);
         }},
        {"link to a device", "icon.png",
         [](const std::string& p) { ASSERT_EQ(::symlink("/dev/zero", p.c_str()), 0); }},
        {"1 GB sparse file", "icon.png",
         [](const std::string& p) {
             ::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600));
             ASSERT_EQ(::truncate(p.c_str(), 1LL << 30), 0);
         }},
        // Icon folders are taken by name alone, so only the reader stands in the way.
        {"FIFO in an icon folder", "icons/app.icns",
         [&](const std::string& p) {
             ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
             fifos.push_back(p);
         }},
    };
    std::string watchList;
    std::vector<std::string> found, dirs;
    for (size_t i = 0; i < cases.size(); ++i)
        for (const char* kind : {"watched", "found"}) {
            std::string dir = project(std::string(kind) + std::to_string(i));
            makeFolders(dir + "/icons");
            cases[i].plant(dir + "/" + cases[i].file);
            dirs.push_back(dir);
            if (std::string(kind) == "watched")
                watchList += "1\tw" + std::to_string(i) + "\t" + dir + "\tservice\tlaunch.sh\n";
            else
                found.push_back(dir);
        }
    start(watchList, found);

    MainThreadWatchdog watchdog(fifos);
    d->openSettings();
    ASSERT_TRUE(waitFor([&] { return !d->svcSec().filePictures().busy(); }));
    d->reloadSections();
    ASSERT_TRUE(waitFor([&] { return !d->svcSec().filePictures().busy(); }));
    EXPECT_FALSE(watchdog.stalled());
    for (size_t i = 0; i < dirs.size(); ++i) {
        SCOPED_TRACE(dirs[i]);
        int row = rowOf(dirs[i]);
        ASSERT_GE(row, 0);
        // Passed over by the search: the generic glyph. Taken by name: no picture.
        const bool byName = std::string(cases[i / 2].file) != "icon.png";
        EXPECT_EQ(d->svcSec().rowIconView(row)->pixmap().isNull(), byName);
    }
}

TEST_F(RowIcons, PicturesArriveLaterAndFollowAnOverwrittenFile) {
    const std::string dir = project("shop");
    auto paint = [&](QColor colour) {
        QImage image(64, 64, QImage::Format_ARGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(QString::fromStdString(dir + "/icon.png"), "PNG"));
    };
    paint(Qt::red);
    start("1\tshop\t" + dir + "\tservice\tlaunch.sh\n", {});

    d->openSettings();
    // The generic glyph stands in until the picture is ready.
    EXPECT_EQ(d->svcSec().rowIconView(0)->accessibleName(), "Service");
    ASSERT_TRUE(waitFor([&] { return showsColour(d->svcSec().rowIconView(0), Qt::red); }));
    EXPECT_TRUE(d->svcSec().rowIconView(0)->accessibleName().isEmpty());

    paint(Qt::blue);
    // A modification time of its own, whatever the file system's clock resolution.
    struct timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/icon.png").c_str(), later, 0), 0);
    d->reloadSections();
    // The old picture stands in (no flash of the glyph) until the new one is ready.
    EXPECT_TRUE(showsColour(d->svcSec().rowIconView(0), Qt::red));
    ASSERT_TRUE(waitFor([&] { return showsColour(d->svcSec().rowIconView(0), Qt::blue); }));
}

TEST_F(RowIcons, AppPicturesAreDrawnOffTheMainThread) {
    // Apps whose icon is a FIFO or a 1 GB sparse file keep the glyph; a real icon shows.
    std::vector<std::string> fifos = {tmp.path() + "/fifo.png",
                                      tmp.path() + "/Fifo.app/Contents/Resources/icon.png"};
    makeFolders(tmp.path() + "/Fifo.app/Contents/Resources");
    for (const auto& fifo : fifos)
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    tmp.write("Fifo.app/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIconFile</key><string>icon.png</string></dict></plist>\n");
    const std::string huge = tmp.path() + "/huge.png";
    ::close(::open(huge.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_EQ(::truncate(huge.c_str(), 1LL << 30), 0);
    QImage green(64, 64, QImage::Format_ARGB32);
    green.fill(Qt::darkGreen);
    ASSERT_TRUE(green.save(QString::fromStdString(tmp.path() + "/good.png"), "PNG"));
    const auto entry = [&](const std::string& name, const std::string& icon) {
        return tmp.write(name + ".desktop", "[Desktop Entry]\nType=Application\nName=" + name +
                                                "\nExec=true\nIcon=" + icon + "\n");
    };
    const std::vector<std::string> held = {entry("Fifo", fifos[0]), entry("Huge", huge),
                                           tmp.path() + "/Fifo.app"};
    const std::string good = entry("Good", tmp.path() + "/good.png");
    std::string watchList;
    for (const auto& path : held)
        watchList += "1\tx\t" + path + "\tapp\n";
    start(watchList + "1\tGood\t" + good + "\tapp\n", {});

    MainThreadWatchdog watchdog(fifos);
    d->openSettings();
    const auto iconOf = [&](const std::string& path) -> QLabel* {
        const auto& rows = d->appsSec().rows;
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].path == path)
                return d->appsSec().rowIconView(int(i));
        return nullptr;
    };
    ASSERT_NE(iconOf(good), nullptr);
    ASSERT_TRUE(waitFor([&] { return showsColour(iconOf(good), Qt::darkGreen); }));
    d->reloadSections();
    ASSERT_TRUE(waitFor([&] { return !d->appsSec().filePictures().busy(); }));
    EXPECT_FALSE(watchdog.stalled());
    for (const auto& path : held) {
        SCOPED_TRACE(path);
        ASSERT_NE(iconOf(path), nullptr);
        EXPECT_FALSE(iconOf(path)->pixmap().isNull()); // the glyph stays
    }
}
