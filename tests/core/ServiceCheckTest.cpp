// Check files as the engine writes them and the program reads them, and the key that
// names them.
#include "services/ServiceCheck.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::ScopedHome;
using KestruneTest::TempDir;

namespace {

Clock::time_point at(double seconds) {
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

std::optional<ServiceCheck> loadText(const TempDir& tmp, std::string_view content) {
    return ServiceCheck::load(tmp.write("x.check", content));
}

} // namespace

TEST(ServiceKey, EveryCharacterOutsideTheSafeSetBecomesOneUnderscore) {
    EXPECT_EQ(serviceKey("My Site"), "svc_My_Site_");
    EXPECT_EQ(serviceKey("web/app"), "svc_web_app_");
    EXPECT_EQ(serviceKey("a.b_c-D9"), "svc_a.b_c-D9_");
    EXPECT_EQ(serviceKey(""), "svc__");
    // One user-perceived character, however many code points it takes.
    EXPECT_EQ(serviceKey("caf\xC3\xA9"), "svc_caf__");                   // precomposed é
    EXPECT_EQ(serviceKey("cafe\xCC\x81"), "svc_caf__");                  // e + combining accent
    EXPECT_EQ(serviceKey("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"), "svc___"); // a flag
    EXPECT_EQ(serviceKey("a\r\nb"), "svc_a_b_");                         // CR LF is one character
}

TEST(ServiceCheck, PathsFollowHomeAndTheStateFolder) {
    TempDir tmp;
    ScopedHome h(tmp.path());
    EXPECT_EQ(serviceCheckPath("web/app"), stateFolder() + "/svc_web_app_.check");
    EXPECT_EQ(serviceCheckPath("x", "/s"), "/s/svc_x_.check");
    EXPECT_EQ(serviceLogPath("web/app"), logsFolder() + "/kestrune-web_app.log");
    EXPECT_EQ(serviceLogPath("My Site"), logsFolder() + "/kestrune-My Site.log");
}

TEST(ServiceCheck, ReadsTheFirstNonEmptyLineAndItsFields) {
    TempDir tmp;
    EXPECT_EQ(loadText(tmp, "\n1700000000.5\thttp://x/\tHTTP 503\tGot 503 from http://x/\n"
                            "1\ta\tb\tc\n"),
              (ServiceCheck{at(1700000000.5), "http://x/", "HTTP 503", "Got 503 from http://x/"}));
    EXPECT_EQ(loadText(tmp, "12\t\thealthy (ports)"),
              (ServiceCheck{at(12), "", "healthy (ports)", ""}));
    EXPECT_EQ(loadText(tmp, "12\tu\tr\t\n")->cause, "");
    EXPECT_EQ(loadText(tmp, "12\tu\tr\tc\tignored\n")->cause, "c");
    // Numbers in C notation, including a sign and an exponent.
    EXPECT_EQ(loadText(tmp, "+1.7e9\tu\tr")->time, at(1.7e9));
    EXPECT_EQ(loadText(tmp, "-1.25\tu\tr")->time, at(-1.25));
    EXPECT_EQ(loadText(tmp, "12.\tu\tr")->time, at(12));
}

TEST(ServiceCheck, BadFilesGiveNoCheck) {
    TempDir tmp;
    EXPECT_FALSE(ServiceCheck::load(tmp / "missing.check"));
    for (std::string_view content : {"",
                                     "\n\n",
                                     "12\tonly two",
                                     "garbage",
                                     " 12\tu\tr",
                                     "12 \tu\tr",
                                     "\t12\tu\tr",
                                     "Dec 7 2026\tu\tr",
                                     "1e400\tu\tr",
                                     "-1e400\tu\tr",
                                     "nan\tu\tr",
                                     "inf\tu\tr",
                                     "-inf\tu\tr",
                                     "infinity\tu\tr",
                                     "0x10\tu\tr",
                                     "+-1\tu\tr",
                                     "++1\tu\tr",
                                     "1,5\tu\tr",
                                     "1e300\tu\tr",
                                     "\xff\xfe\tu\tr",
                                     "12\tu\xC3\tr"}) {
        EXPECT_FALSE(loadText(tmp, content)) << content;
    }
    using namespace std::string_literals;
    EXPECT_FALSE(loadText(tmp, "12\0\tu\tr"s));
    EXPECT_FALSE(loadText(tmp, "12\tu\0rl\tr"s));
}

TEST(ServiceCheck, WrittenChecksReadBackAndStayOneRecord) {
    TempDir tmp;
    ServiceCheck check{at(1765142400.123456), "http://127.0.0.1:3000/", "HTTP 500",
                       "Got 500 from http://127.0.0.1:3000/"};
    EXPECT_EQ(check.line(), "1765142400.123456\thttp://127.0.0.1:3000/\tHTTP 500\tGot 500 from "
                            "http://127.0.0.1:3000/\n");
    ASSERT_TRUE(check.save(tmp / "a.check"));
    EXPECT_EQ(ServiceCheck::load(tmp / "a.check"), check);

    ServiceCheck early{at(-0.5), "", "r", ""};
    EXPECT_EQ(early.line(), "-0.500000\t\tr\t\n");
    ASSERT_TRUE(early.save(tmp / "b.check"));
    EXPECT_EQ(ServiceCheck::load(tmp / "b.check"), early);

    // Separators inside a field must not split or end the record.
    ServiceCheck messy{at(5), "u\tv", "line\nbreak", "cr\rhere"};
    ASSERT_TRUE(messy.save(tmp / "c.check"));
    EXPECT_EQ(ServiceCheck::load(tmp / "c.check"),
              (ServiceCheck{at(5), "u v", "line break", "cr here"}));
}
