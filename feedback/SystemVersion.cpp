#include "feedback/SystemVersion.h"

#include "core/FileIO.h"

#include <cstdio>
#include <map>
#include <sys/utsname.h>
#ifdef __APPLE__
#include <sys/sysctl.h>
#endif

namespace KestruneCore {

namespace {

// Shell-style value of an os-release assignment: quotes removed, backslash escapes
// resolved.
std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        char q = v.front();
        v = v.substr(1, v.size() - 2);
        if (q == '\'')
            return std::string(v);
        std::string out;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size())
                ++i;
            out += v[i];
        }
        return out;
    }
    return std::string(v);
}

// The version line is split at " · " and shown on one line, so the description may
// hold neither a middle dot nor a control character.
std::string oneLine(std::string s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s.compare(i, 2, "\xC2\xB7") == 0) {
            out += '-';
            ++i;
        } else if (static_cast<unsigned char>(s[i]) < 0x20 || s[i] == 0x7F) {
            out += ' ';
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

std::string osReleaseName(const std::string& path) {
    auto text = readUtf8File(path, 1 << 20);
    if (!text)
        return {};
    std::map<std::string, std::string> values;
    for (const auto& line : splitLines(*text)) {
        auto eq = line.find('=');
        if (eq == std::string::npos || line[0] == '#')
            continue;
        values[line.substr(0, eq)] = unquote(std::string_view(line).substr(eq + 1));
    }
    if (!values["PRETTY_NAME"].empty())
        return values["PRETTY_NAME"];
    std::string name = values["NAME"];
    if (!name.empty() && !values["VERSION_ID"].empty())
        name += " " + values["VERSION_ID"];
    return name;
}

OperatingSystemVersion runningSystemVersion() {
    OperatingSystemVersion os;
#ifdef __APPLE__
    char buf[64] = {};
    std::size_t size = sizeof buf - 1;
    if (::sysctlbyname("kern.osproductversion", buf, &size, nullptr, 0) == 0)
        std::sscanf(buf, "%d.%d.%d", &os.major, &os.minor, &os.patch);
    os.isMacOS = true;
#else
    std::string distribution = osReleaseName("/etc/os-release");
    if (distribution.empty())
        distribution = osReleaseName("/usr/lib/os-release");
    std::string kernel;
    struct utsname u {};
    if (::uname(&u) == 0)
        kernel = std::string(u.sysname) + " " + u.release;
    if (distribution.empty())
        os.description = kernel.empty() ? "unknown system" : kernel;
    else
        os.description = kernel.empty() ? distribution : distribution + ", " + kernel;
#endif
    return os;
}

std::string systemVersionText(const OperatingSystemVersion& os) {
    if (os.isMacOS)
        return "macOS " + std::to_string(os.major) + "." + std::to_string(os.minor) + "." +
               std::to_string(os.patch);
    return oneLine(os.description);
}

} // namespace KestruneCore
