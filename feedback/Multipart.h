// The multipart/form-data request that carries a feedback message.
#pragma once

#include "feedback/UrlRequest.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace KestruneCore {

using FormField = std::pair<std::string, std::string>; // name, value

struct FilePart {
    std::string name;
    std::string filename;
    std::string type;
    std::string data; // bytes

    bool operator==(const FilePart&) const = default;
};

// "KestruneBoundary" + a fresh random UUID in upper case.
std::string newBoundary();

// The body for `boundary`: each field, then the file, then the closing line.
std::string multipartBody(const std::vector<FormField>& fields, const std::optional<FilePart>& file,
                          const std::string& boundary);

// A POST of the fields and the file to the feedback endpoint, 30-second timeout.
// The boundary never occurs inside a name, value or the file's bytes.
UrlRequest multipartRequest(const std::vector<FormField>& fields,
                            const std::optional<FilePart>& file = std::nullopt);

} // namespace KestruneCore
