// `kestrunectl paths`: every folder and file the three programs use for this user.
#pragma once

#include "ctl/Context.h"

#include <string>
#include <vector>

namespace KestruneCtl {

struct PathRow {
    std::string role; // "watch list", "activity log", ...
    std::string path; // absolute

    bool operator==(const PathRow&) const = default;
};

// Folders first, each followed by its files; one "service log" for each watched service.
std::vector<PathRow> pathRows();

// One row a line, roles padded to one column; with `json` an array of {role, path}.
int showPaths(const Context& ctx, bool json);

} // namespace KestruneCtl
