#include "feedback/Diagnostics.h"
#include "TempDir.h"
#include "feedback/DiagnosticsZip.h"
#include "feedback/LogTail.h"
#include "feedback/SystemVersion.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <utime.h>
#include <zip.h>

using namespace KestruneCore;
using KestruneTest::TempDir;
using namespace std::chrono_literals;

namespace {

void setModified(const std::string& path, Clock::time_point when) {
    struct utimbuf times {};
    times.actime = times.modtime = Clock::to_time_t(when);
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

DiagnosticSources sourcesIn(const TempDir& tmp) {
    return {tmp.path(), tmp / "kestrune.log", tmp / "apps.tsv", tmp / "state/problems.tsv",
            tmp / "DiagnosticReports"};
}

// Every entry of a zip, name → bytes, read back with libzip.
std::map<std::string, std::string> readZip(const std::string& path) {
    std::map<std::string, std::string> out;
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (!archive)
        return out;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t st;
        zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st);
        std::string data(st.size, '\0');
        zip_file_t* f = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        zip_fread(f, data.data(), st.size);
        zip_fclose(f);
        out[st.name] = data;
    }
    zip_close(archive);
    return out;
}

} // namespace

TEST(Diagnostics, GathersLogTailTablesAndRecentOwnCrashReports) {
    TempDir tmp;
    auto now = Clock::now();
    std::string log;
    for (int i = 1; i <= 250; ++i)
        log += (i % 10 == 0 ? std::string() : "line " + std::to_string(i)) + "\n";
    log += "\n\n";
    tmp.write("kestrune.log", log);
    tmp.write("apps.tsv", "Mail\t" + tmp.path() + "/Apps/Mail.app\ttrue\tapp\n");
    tmp.write("state/problems.tsv", "web\trestarting\n");
    auto recent = tmp.write("DiagnosticReports/Kestrune-2026-12-06.ips", "at " + tmp.path() + "/x");
    setModified(recent, now - 24h);
    setModified(tmp.write("DiagnosticReports/Kestrune-old.crash", "old"), now - 8 * 24h);
    setModified(tmp.write("DiagnosticReports/Kestrune-future.crash", "future"), now + 24h);
    setModified(tmp.write("DiagnosticReports/Other-1.ips", "other"), now);
    setModified(tmp.write("DiagnosticReports/Kestrune-notes.txt", "notes"), now);
    setModified(tmp.write("DiagnosticReports/Kestrune-bin.ips", std::string("\xff\xfe\0\x01", 4)),
                now);

    auto files = gatherDiagnostics(sourcesIn(tmp), "Kestrune 1.4 \u00B7 macOS 14.5.0", now);

    EXPECT_EQ(files["versions.txt"], "Kestrune 1.4 \u00B7 macOS 14.5.0\n");
    // 225 non-empty lines; dropping the oldest 25 leaves lines 28 to 250.
    std::string expected;
    for (int i = 28; i <= 250; ++i)
        if (i % 10 != 0)
            expected += "line " + std::to_string(i) + "\n";
    EXPECT_EQ(files["log-last-200.txt"], expected);
    EXPECT_EQ(files["apps.tsv"], "Mail\t~/Apps/Mail.app\ttrue\tapp\n");
    EXPECT_EQ(files["problems.tsv"], "web\trestarting\n");
    EXPECT_EQ(files["Kestrune-2026-12-06.ips"], "at ~/x");
    EXPECT_EQ(files["Kestrune-future.crash"], "future");
    EXPECT_EQ(files["Kestrune-bin.ips"], ""); // not text
    EXPECT_EQ(files.count("Kestrune-old.crash"), 0u);
    EXPECT_EQ(files.count("Other-1.ips"), 0u);
    EXPECT_EQ(files.count("Kestrune-notes.txt"), 0u);
    EXPECT_EQ(files.size(), 7u);
}

TEST(Diagnostics, MissingAndUnreadableSourcesGiveEmptyTexts) {
    TempDir tmp;
    auto files = gatherDiagnostics(sourcesIn(tmp), "v", Clock::now());
    EXPECT_EQ(files, (DiagnosticsBundle{{"versions.txt", "v\n"},
                                        {"log-last-200.txt", "\n"},
                                        {"apps.tsv", ""},
                                        {"problems.tsv", ""}}));

    // A folder where the log should be, an unreadable watch list, a locked report folder.
    tmp.mkdir("kestrune.log");
    ::chmod(tmp.write("apps.tsv", "secret").c_str(), 0);
    tmp.write("DiagnosticReports/Kestrune-a.ips", "x");
    ::chmod((tmp / "DiagnosticReports").c_str(), 0);
    files = gatherDiagnostics(sourcesIn(tmp), "v", Clock::now());
    EXPECT_EQ(files["log-last-200.txt"], "\n");
    if (::geteuid() != 0) {
        EXPECT_EQ(files["apps.tsv"], "");
        EXPECT_EQ(files.size(), 4u);
    }
}

TEST(Diagnostics, LogTailReadsBackwardsAcrossChunksAndStaysBounded) {
    TempDir tmp;
    // Long lines so that 200 of them span several read windows, CR LF ends kept as text.
    std::string log;
    for (int i = 0; i < 400; ++i)
        log += std::to_string(i) + std::string(700, 'x') + "\r\n\n";
    tmp.write("big.log", log);
    auto lines = lastNonEmptyLines(tmp / "big.log", 200);
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(lines.front(), "200" + std::string(700, 'x') + "\r");
    EXPECT_EQ(lines.back(), "399" + std::string(700, 'x') + "\r");

    // One line longer than the window: its end is kept rather than nothing.
    tmp.write("one.log", std::string(100000, 'a') + "\nlast\n");
    lines = lastNonEmptyLines(tmp / "one.log", 200, 4096);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(4096 - 6, 'a'));
    EXPECT_EQ(lines[1], "last");

    // Damaged bytes do not throw the lines away.
    tmp.write("bad.log", "ok\nbro\xffken\n");
    auto files = gatherDiagnostics({"", tmp / "bad.log", "", "", ""}, "v", Clock::now());
    EXPECT_EQ(files["log-last-200.txt"], "ok\nbro\uFFFDken\n");
}

TEST(Diagnostics, RedactsTheHomeFolderOnlyWhereItIsAPath) {
    const std::string home = "/home/al";
    EXPECT_EQ(redact("/home/al/x and /home/al, '/home/al' file:///home/al/y /home/al", home),
              "~/x and ~, '~' file://~/y ~");
    // Another user's folder or a longer path that contains the home path is left alone.
    EXPECT_EQ(redact("/home/alice/x /home/al-old /mnt/home/al/x /home/al.bak /home/al.", home),
              "/home/alice/x /home/al-old /mnt/home/al/x /home/al.bak ~.");
    EXPECT_EQ(redact("/home/al/x", "/home/al/"), "~/x");
    EXPECT_EQ(redact("/home/al/x", ""), "/home/al/x");
    EXPECT_EQ(redact("/a/b", "/"), "/a/b");
    EXPECT_EQ(redact("", home), "");
}

TEST(Diagnostics, PreviewOrderAndCap) {
    DiagnosticsBundle files = {{"Kestrune-b.ips", "B"}, {"log-last-200.txt", "L\n"},
                               {"apps.tsv", "A\n"},     {"versions.txt", "V\n"},
                               {"problems.tsv", ""},    {"Kestrune-a.crash", "C"}};
    EXPECT_EQ(feedbackPreview(files), "== versions.txt ==\nV\n\n== problems.tsv ==\n\n"
                                      "== apps.tsv ==\nA\n\n== log-last-200.txt ==\nL\n\n"
                                      "== Kestrune-a.crash ==\nC\n== Kestrune-b.ips ==\nB");
    EXPECT_EQ(feedbackPreview({}), "");

    // Characters are user-perceived: "e" + combining acute is one character, 3 bytes.
    const std::string e = "e\u0301";
    std::string exact;
    for (int i = 0; i < 60000; ++i)
        exact += e;
    EXPECT_EQ(capLogs(exact), exact);
    std::string over = exact + "z";
    std::string expected;
    for (int i = 0; i < 59950; ++i)
        expected += e;
    EXPECT_EQ(capLogs(over), expected + "\n\u2026 (truncated)");
    // Far longer texts are cut the same way.
    std::string huge(5'000'000, 'q');
    EXPECT_EQ(capLogs(huge), std::string(59950, 'q') + "\n\u2026 (truncated)");
}

TEST(Diagnostics, VersionLine) {
    OperatingSystemVersion mac{true, 14, 5, 0, {}};
    EXPECT_EQ(versionLine("1.4", mac), "Kestrune 1.4 \u00B7 macOS 14.5.0");
    OperatingSystemVersion linux{false, 0, 0, 0, "Debian GNU/Linux 12 \u00B7 x\n"};
    EXPECT_EQ(versionLine("1.4", linux), "Kestrune 1.4 \u00B7 Debian GNU/Linux 12 - x ");
    auto running = versionLine();
    EXPECT_EQ(running.rfind("Kestrune " + appVersion() + " \u00B7 ", 0), 0u);

    TempDir tmp;
    tmp.write("a", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n"
                   "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
    tmp.write("b", "# comment\nNAME='Arch \\Linux'\nVERSION_ID=rolling\n");
    EXPECT_EQ(osReleaseName(tmp / "a"), "Debian GNU/Linux 12 (bookworm)");
    EXPECT_EQ(osReleaseName(tmp / "b"), "Arch \\Linux rolling");
    EXPECT_EQ(osReleaseName(tmp / "missing"), "");
}

TEST(DiagnosticsZip, HoldsTheBundleAtTopLevelAndCleansUp) {
    TempDir tmp;
    auto staging = tmp.mkdir("tmp");
    ::setenv("TMPDIR", staging.c_str(), 1);
    DiagnosticsBundle files = {{"versions.txt", "Kestrune 1 \u00B7 x\n"},
                               {"apps.tsv", ""},
                               {"Kestrune-x.ips", std::string(300000, 'z')},
                               {"../escape", "no"},
                               {"a/b", "no"}};
    auto now = Clock::now();
    auto zip = writeZip(files, tmp / "out/feedback", now);
    ASSERT_TRUE(zip);
    EXPECT_EQ(*zip, tmp / ("out/feedback/" + diagnosticsBaseName(now) + ".zip"));
    auto content = readZip(*zip);
    EXPECT_EQ(content,
              (std::map<std::string, std::string>{{"versions.txt", "Kestrune 1 \u00B7 x\n"},
                                                  {"apps.tsv", ""},
                                                  {"Kestrune-x.ips", std::string(300000, 'z')}}));
    EXPECT_TRUE(std::filesystem::is_empty(staging));
    EXPECT_FALSE(std::filesystem::exists(tmp / "escape"));

    // The same second gives the same name: the second zip replaces the first.
    auto again = writeZip({{"versions.txt", "2"}}, tmp / "out/feedback", now);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *zip);
    EXPECT_EQ(readZip(*again), (std::map<std::string, std::string>{{"versions.txt", "2"}}));

    // No place to write the zip, or nothing to put in it: no zip.
    tmp.write("file", "");
    EXPECT_FALSE(writeZip(files, tmp / "file/sub", now));
    EXPECT_FALSE(writeZip({}, tmp / "out", now));
    EXPECT_TRUE(std::filesystem::is_empty(staging));
    ::unsetenv("TMPDIR");

    EXPECT_EQ(diagnosticsBaseName(now).size(), std::string("kestrune-diagnostics-").size() + 17);
}

TEST(Diagnostics, LiveSourcesAndFolderFollowHome) {
    TempDir tmp;
    KestruneTest::ScopedHome home(tmp.path());
    auto live = DiagnosticSources::live();
    const std::string state = tmp.path() + "/.local/state/kestrune";
    // No crash reports folder on Linux.
    EXPECT_EQ(live, (DiagnosticSources{tmp.path(), state + "/kestrune.log",
                                       tmp.path() + "/.config/kestrune/apps.tsv",
                                       state + "/problems.tsv", ""}));
    EXPECT_EQ(defaultFeedbackDir(), tmp.path() + "/.cache/kestrune/feedback");
}
