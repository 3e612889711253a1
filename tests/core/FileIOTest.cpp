#include "core/FileIO.h"
#include "TempDir.h"
#include "core/Graphemes.h"
#include "core/LogCap.h"

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace KestruneCore;
using KestruneTest::readAll;
using KestruneTest::TempDir;

TEST(FileIO, AtomicWriteNeverShowsAMixAndLeavesNoTemporaryFiles) {
    TempDir tmp;
    const std::string a(200000, 'a');
    const std::string b(300000, 'b');
    // The ordinary write, and the swap used for files rewritten every few seconds
    // (which also makes a file that is not there yet).
    using Write = bool (*)(const std::string&, std::string_view);
    for (Write write :
         {Write([](const std::string&f, std::string_view c) { return writeFileAtomically(f, c); }),
          Write(rewriteFileAtomically)}) {
        std::string file = tmp / "apps.tsv";
        ::unlink(file.c_str());
        ASSERT_TRUE(write(file, a));

        std::atomic<bool> stop{false};
        std::atomic<int> torn{0};
        std::thread reader([&] {
            while (!stop) {
                auto text = readFile(file);
                if (!text || (*text != a && *text != b))
                    ++torn;
            }
        });
        for (int i = 0; i < 200; ++i)
            ASSERT_TRUE(write(file, i % 2 ? a : b));
        stop = true;
        reader.join();
        EXPECT_EQ(torn.load(), 0);
        EXPECT_EQ(readFile(file), a);

        // Nothing left over but, for the swap, the spare it refills next time.
        int entries = 0;
        DIR* d = ::opendir(tmp.path().c_str());
        while (auto* e = ::readdir(d))
            entries += std::string(e->d_name) != "." && std::string(e->d_name) != ".." &&
                       std::string(e->d_name) != ".apps.tsv.spare";
        ::closedir(d);
        EXPECT_EQ(entries, 1);
    }

    EXPECT_FALSE(writeFileAtomically(tmp / "no/such/folder/file", "x"));
    // Why it failed, for the error line: the folder is missing; the target is a folder.
    int error = 0;
    EXPECT_FALSE(writeFileAtomically(tmp / "no/such/folder/file", "x", error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_FALSE(writeFileAtomically(tmp.mkdir("taken"), "x", error));
    EXPECT_EQ(error, EISDIR);
    EXPECT_TRUE(writeFileAtomically(tmp / "fine", "x", error));
    EXPECT_EQ(error, 0);
}

TEST(FileIO, RewritesReuseTheSpareOnlyWhenNobodyHoldsIt) {
    TempDir tmp;
    std::string file = tmp / "svc_a_.check";
    auto inode = [&] {
        struct stat st {};
        ::stat(file.c_str(), &st);
        return st.st_ino;
    };
    ASSERT_TRUE(rewriteFileAtomically(file, "first\n"));
    ASSERT_TRUE(rewriteFileAtomically(file, "second, longer\n"));
    auto first = inode();
    ASSERT_TRUE(rewriteFileAtomically(file, "third\n"));
    auto second = inode();
    ASSERT_TRUE(rewriteFileAtomically(file, "4th\n"));
    // Two files take turns: no new one per write, and each holds exactly what was written.
    EXPECT_EQ(inode(), first);
    EXPECT_NE(second, first);
    EXPECT_EQ(readFile(file), "4th\n");

    // A reader that opened the file before later writes still reads what it opened.
    int held = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    for (auto text : {"5th\n", "6th\n", "7th\n"})
        ASSERT_TRUE(rewriteFileAtomically(file, text));
    char buf[16] = {};
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(::pread(held, buf, sizeof buf, 0))),
              "4th\n");
    ::close(held);
    EXPECT_EQ(readFile(file), "7th\n");
}

TEST(FileIO, ReadsRefuseWhatIsNotASmallRegularFile) {
    TempDir tmp;
    EXPECT_FALSE(readFile(tmp / "missing"));
    EXPECT_FALSE(readFile(tmp.mkdir("dir")));
    EXPECT_FALSE(readFile(tmp.write("big", std::string(100, 'x')), 99));
    EXPECT_EQ(readFile(tmp.write("ok", std::string(100, 'x')), 100)->size(), 100u);
    EXPECT_FALSE(readUtf8File(tmp.write("bad", "\xff\xfe")));
    EXPECT_EQ(*readFileTail(tmp.write("t", "0123456789"), 4), "6789");
    EXPECT_EQ(*readFileTail(tmp / "t", 40), "0123456789");
}

TEST(FileIO, Utf8ValidationRejectsOverlongsSurrogatesAndTruncation) {
    EXPECT_TRUE(isValidUtf8("plain \xc2\xb7 \xe2\x80\xa6 \xf0\x9f\x90\x95"));
    EXPECT_FALSE(isValidUtf8("\xc0\xaf"));         // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xe2\x80"));         // cut short
    EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80")); // past U+10FFFF
}

TEST(FileIO, LinesFieldsAndPathPieces) {
    EXPECT_EQ(splitLines("a\r\n\r\nb\n\nc\rd"), (std::vector<std::string>{"a", "b", "c\rd"}));
    EXPECT_EQ(splitLines("x\r\r\n"), (std::vector<std::string>{"x\r"}));
    EXPECT_EQ(splitFields("a\t\tb\t"), (std::vector<std::string>{"a", "", "b", ""}));
    EXPECT_EQ(parentFolder("/a/b/c.tsv"), "/a/b");
    EXPECT_EQ(parentFolder("/top"), "/");
    EXPECT_EQ(lastPathComponent("/Applications/Mail.app/"), "Mail.app");
}

TEST(Graphemes, CombiningSequencesCountAsOneCharacter) {
    // "e" + combining acute, a flag (two regional indicators), plain ASCII.
    std::string text = "e\xcc\x81\xf0\x9f\x87\xa9\xf0\x9f\x87\xaa"
                       "ab";
    EXPECT_EQ(graphemeCount(text), 4u);
    EXPECT_EQ(graphemePrefix(text, 1), "e\xcc\x81");
    EXPECT_EQ(graphemeSuffix(text, 2), "ab");
    EXPECT_EQ(graphemePrefix(text, 10), text);
    EXPECT_EQ(graphemeClusters("").size(), 0u);
    // Bytes that are not UTF-8 each become a replacement character.
    EXPECT_EQ(graphemeClusters("a\xff\xc3"),
              (std::vector<std::string>{"a", "\xEF\xBF\xBD", "\xEF\xBF\xBD"}));
}

TEST(Graphemes, PrintableAsciiAnswersAsTheFullRulesDo) {
    // A precomposed "é" beside the text is a cluster of its own and sends the call
    // through the full rules, so both ways are compared on the same text.
    const std::string accent = "\xc3\xa9";
    std::string everyPrintable;
    for (char c = 0x20; c < 0x7F; ++c)
        everyPrintable += c;
    for (const std::string& text :
         std::vector<std::string>{"", " ", "x", "web-api_2 (staging)", "\"'\\`~", everyPrintable,
                                  "a\tb", "\r\n", "a\x7f", "\x1b[2J", "x\r\r\n\n\r", "web\n"}) {
        SCOPED_TRACE(text);
        auto clusters = graphemeClusters(text + accent);
        ASSERT_FALSE(clusters.empty());
        clusters.pop_back();
        EXPECT_EQ(graphemeClusters(text), clusters);
        EXPECT_EQ(graphemeCount(text), graphemeCount(text + accent) - 1);
        for (std::size_t n = 0; n <= clusters.size(); ++n) {
            EXPECT_EQ(graphemePrefix(text, n), graphemePrefix(text + accent, n));
            EXPECT_EQ(graphemeSuffix(text, n), graphemeSuffix(accent + text, n));
        }
    }
}

TEST(LogCap, RotatesToOneFileAndKeepsAppendingWritersInside) {
    TempDir tmp;
    std::string log = tmp / "service.log";
    constexpr std::size_t cap = 64 * 1024;
    EXPECT_FALSE(capLogFile(log, cap)); // no log yet
    tmp.write("service.log", std::string(cap - 1, 'a'));
    EXPECT_FALSE(capLogFile(log, cap));
    EXPECT_FALSE(fileExists(log + ".1"));

    // A running command holds the log open with O_APPEND while it is capped twice; the
    // second time the log is mostly a sparse run of NULs, far larger than the cap.
    int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "bb\n", 3), 3);
    EXPECT_TRUE(capLogFile(log, cap));
    EXPECT_EQ(readAll(log + ".1"), std::string(cap - 3, 'a') + "bb\n");
    ASSERT_EQ(::write(fd, "cc\n", 3), 3);
    EXPECT_EQ(readAll(log), "cc\n");

    ASSERT_EQ(::ftruncate(fd, 1L << 30), 0);
    ASSERT_EQ(::write(fd, "dd\n", 3), 3);
    EXPECT_TRUE(capLogFile(log, cap));
    auto kept = readAll(log + ".1");
    EXPECT_EQ(kept.size(), cap);
    EXPECT_TRUE(kept.ends_with(std::string(10, '\0') + "dd\n"));
    ASSERT_EQ(::write(fd, "ee\n", 3), 3);
    EXPECT_EQ(readAll(log), "ee\n");
    ::close(fd);
}
