#include "feedback/Diagnostics.h"

#include "core/BuildInfo.h"
#include "core/FileIO.h"
#include "core/Graphemes.h"
#include "core/Paths.h"
#include "feedback/LogTail.h"
#include "health/Problems.h"

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>
#include <unicode/unistr.h>
#include <vector>

namespace KestruneCore {

namespace {

constexpr std::size_t logLineCount = 200;
constexpr auto crashReportAge = std::chrono::seconds(604'800);
constexpr std::size_t previewLimit = 60'000;
constexpr std::size_t previewKept = 59'950;

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Invalid byte sequences become U+FFFD, so a damaged log still yields its lines.
std::string validUtf8(const std::string& bytes) {
    if (isValidUtf8(bytes))
        return bytes;
    std::string out;
    icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())))
        .toUTF8String(out);
    return out;
}

bool continuesName(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c >= 0x80;
}

int previewRank(const std::string& name) {
    if (name == "versions.txt")
        return 0;
    if (name == "problems.tsv")
        return 1;
    if (name == "apps.tsv")
        return 2;
    if (name == "log-last-200.txt")
        return 3;
    return 99;
}

void addCrashReports(const std::string& folder, Clock::time_point now, DiagnosticsBundle& files) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("Kestrune", 0) == 0 && (endsWith(name, ".ips") || endsWith(name, ".crash")))
            names.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names) {
        std::string path = folder + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        auto modified = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (now - modified > crashReportAge)
            continue;
        files[name] = readUtf8File(path).value_or("");
    }
}

} // namespace

DiagnosticSources DiagnosticSources::live() {
    // Linux keeps no crash reports of its own for a user's program: none are added.
    return {KestruneCore::home("~"), logPath(), dataPath(), problemsPath(), {}};
}

std::string defaultFeedbackDir() {
    return feedbackFolder();
}

std::string appVersion() {
    std::string v = BuildInfo::version;
    return v.empty() ? "dev" : v;
}

std::string versionLine(const std::string& app, const OperatingSystemVersion& os) {
    return "Kestrune " + app + " \u00B7 " + systemVersionText(os);
}

DiagnosticsBundle gatherDiagnostics(const DiagnosticSources& sources, const std::string& versions,
                                    Clock::time_point now) {
    DiagnosticsBundle files;
    files["versions.txt"] = versions + "\n";

    std::string tail;
    for (const auto& line : lastNonEmptyLines(sources.log, logLineCount)) {
        if (!tail.empty())
            tail += '\n';
        tail += line;
    }
    files["log-last-200.txt"] = validUtf8(tail) + "\n";

    files["apps.tsv"] = readUtf8File(sources.apps).value_or("");
    files["problems.tsv"] = readUtf8File(sources.problems).value_or("");
    addCrashReports(sources.reports, now, files);

    for (auto& [name, text] : files)
        text = redact(text, sources.home);
    return files;
}

std::string redact(std::string_view text, std::string_view home) {
    while (home.size() > 1 && home.back() == '/')
        home.remove_suffix(1);
    // A home folder of "/" names nothing personal; replacing it would garble every path.
    if (home.empty() || home == "/")
        return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    std::size_t at = text.find(home);
    while (at != std::string_view::npos) {
        std::size_t end = at + home.size();
        bool startsName = at > 0 && (continuesName(static_cast<unsigned char>(text[at - 1])) ||
                                     text[at - 1] == '.');
        bool longerName =
            end < text.size() &&
            (continuesName(static_cast<unsigned char>(text[end])) ||
             (text[end] == '.' && end + 1 < text.size() &&
              (continuesName(static_cast<unsigned char>(text[end + 1])) || text[end + 1] == '.')));
        if (startsName || longerName) {
            at = text.find(home, at + 1);
            continue;
        }
        out.append(text.substr(copied, at - copied));
        out += '~';
        copied = end;
        at = text.find(home, end);
    }
    out.append(text.substr(copied));
    return out;
}

std::string feedbackPreview(const DiagnosticsBundle& files) {
    std::vector<const DiagnosticsBundle::value_type*> order;
    for (const auto& entry : files)
        order.push_back(&entry);
    std::stable_sort(order.begin(), order.end(), [](auto* a, auto* b) {
        int ra = previewRank(a->first), rb = previewRank(b->first);
        return ra != rb ? ra < rb : a->first < b->first;
    });
    std::string out;
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i > 0)
            out += '\n';
        out += "== " + order[i]->first + " ==\n" + order[i]->second;
    }
    return out;
}

std::string capLogs(std::string_view text) {
    // A character takes at least one byte.
    if (text.size() <= previewLimit)
        return std::string(text);
    // Count clusters in a growing prefix rather than converting a huge text whole.
    // Boundaries inside a prefix depend only on what precedes them, so every cluster
    // but the prefix's last is exact.
    std::size_t take = 4 * previewLimit;
    for (;;) {
        std::size_t cut = std::min(take, text.size());
        while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            ++cut;
        std::string_view prefix = text.substr(0, cut);
        std::size_t n = graphemeCount(prefix);
        if (cut == text.size()) {
            if (n <= previewLimit)
                return std::string(text);
            break;
        }
        if (n > previewLimit + 1)
            break;
        take *= 2;
    }
    std::size_t cut = std::min(take, text.size());
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        ++cut;
    return graphemePrefix(text.substr(0, cut), previewKept) + "\n\u2026 (truncated)";
}

} // namespace KestruneCore
