#include "ctl/LogCommand.h"

#include "core/ActivityLog.h"
#include "core/FileIO.h"

#include <algorithm>

namespace KestruneCtl {

std::vector<std::string> lastLogLines(const std::string& path, std::size_t count) {
    if (count == 0)
        return {};
    std::size_t chunk = 64 * 1024;
    for (;;) {
        auto text = KestruneCore::readFileTail(path, chunk);
        if (!text)
            return {};
        bool whole = text->size() < chunk;
        if (!whole) {
            // The first line of a tail may be cut; it counts only once more is read.
            auto lf = text->find('\n');
            text->erase(0, lf == std::string::npos ? text->size() : lf + 1);
        }
        auto lines = KestruneCore::splitLines(*text);
        if (whole || lines.size() >= count || chunk >= (std::size_t(1) << 40)) {
            if (lines.size() > count)
                lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
            return lines;
        }
        chunk *= 4;
    }
}

int showLog(const Context& ctx, long count) {
    for (const auto& line :
         lastLogLines(KestruneCore::logPath(), static_cast<std::size_t>(std::max(0L, count))))
        ctx.out << line << '\n';
    return exitOk;
}

} // namespace KestruneCtl
