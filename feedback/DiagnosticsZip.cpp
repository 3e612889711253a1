#include "feedback/DiagnosticsZip.h"

#include "core/FileIO.h"
#include "platform/ZipLibrary.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace KestruneCore {

namespace {

// A temporary folder only this user can enter: a fixed name in a shared temporary
// folder could be taken over by someone else first.
std::optional<std::string> makePrivateFolder(const std::string& base) {
    const char* tmp = std::getenv("TMPDIR");
    std::string parent = tmp && *tmp ? tmp : "/tmp";
    while (parent.size() > 1 && parent.back() == '/')
        parent.pop_back();
    std::string tmpl = parent + "/" + base + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        return std::nullopt;
    return std::string(buf.data());
}

bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

class StagingFolder {
public:
    explicit StagingFolder(std::string path) : path_(std::move(path)) {}
    ~StagingFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace

std::string diagnosticsBaseName(Clock::time_point now) {
    std::time_t t = Clock::to_time_t(now);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d-%H%M%S", &tm);
    return "kestrune-diagnostics-" + std::string(buf, n);
}

std::optional<std::string> writeZip(const DiagnosticsBundle& files, const std::string& dir,
                                    Clock::time_point now) {
    std::string base = diagnosticsBaseName(now);
    auto folder = makePrivateFolder(base);
    if (!folder)
        return std::nullopt;
    StagingFolder staging(*folder);
    makeFolders(dir);

    std::vector<std::string> staged;
    for (const auto& [name, text] : files) {
        if (isPlainFileName(name) && writeFileAtomically(staging.path() + "/" + name, text))
            staged.push_back(name);
    }

    const ZipLibrary* zip = zipLibrary();
    if (!zip)
        return std::nullopt;
    std::string zipPath = dir + "/" + base + ".zip";
    ::unlink(zipPath.c_str());
    int error = 0;
    zip_t* archive = zip->open(zipPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!archive)
        return std::nullopt;
    for (const auto& name : staged) {
        zip_source_t* source =
            zip->sourceFile(archive, (staging.path() + "/" + name).c_str(), 0, -1);
        if (!source || zip->fileAdd(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            if (source)
                zip->sourceFree(source);
            zip->discard(archive);
            return std::nullopt;
        }
    }
    if (zip->close(archive) != 0) {
        zip->discard(archive);
        return std::nullopt;
    }
    // An archive without entries is not written at all.
    if (!fileExists(zipPath))
        return std::nullopt;
    return zipPath;
}

} // namespace KestruneCore
