// serve's copy of its state files against other processes' writes (made here with
// the plain file functions, as the tray program, kestrunectl and runners make them).
#include "engine/StateCache.h"
#include "TempDir.h"
#include "core/FileIO.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using KestruneEngine::StateCache;
using KestruneTest::TempDir;

TEST(StateCache, ReadsWhatOtherWritersLeaveOnceTakenIn) {
    TempDir tmp;
    std::string folder = tmp.mkdir("state");
    StateCache cache(folder);
    std::string file = folder + "/svc_web.exit";

    EXPECT_EQ(cache.read(file), std::nullopt);
    KestruneCore::writeFileAtomically(file, "0\t1.000\n"); // a runner's record
    cache.refresh();
    EXPECT_EQ(cache.read(file), "0\t1.000\n");

    // Its own write, then another's before the events are taken in: the later one wins,
    // in either order.
    cache.write(file, "ours\n");
    KestruneCore::writeFileAtomically(file, "theirs\n");
    cache.refresh();
    EXPECT_EQ(cache.read(file), "theirs\n");
    KestruneCore::writeFileAtomically(file, "theirs again\n");
    cache.write(file, "ours again\n", true);
    cache.refresh();
    EXPECT_EQ(cache.read(file), "ours again\n");
    EXPECT_EQ(KestruneCore::readFile(file), "ours again\n");

    // Removed by a back-off reset; rewritten in place by a writer that truncates.
    ::unlink(file.c_str());
    cache.refresh();
    EXPECT_EQ(cache.read(file), std::nullopt);
    cache.remove(file); // known to be missing: nothing happens
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(fd, "1\n", 2), 2);
    ::close(fd);
    cache.refresh();
    EXPECT_EQ(cache.read(file), "1\n");
    auto inode = cache.inode(file);
    cache.write(file, "2\n");
    EXPECT_NE(cache.inode(file), inode); // a new file, as a new start writes stem.pid
    cache.remove(file);
    cache.refresh();
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(cache.inode(file), 0u);

    // The folder made anew: what was known of the old one goes.
    cache.write(file, "old\n");
    std::filesystem::remove_all(folder);
    std::filesystem::create_directory(folder);
    KestruneCore::writeFileAtomically(file, "new\n");
    cache.refresh();
    cache.refresh();
    EXPECT_EQ(cache.read(file), "new\n");
    KestruneCore::writeFileAtomically(file, "newer\n");
    cache.refresh();
    EXPECT_EQ(cache.read(file), "newer\n");
}
