#include "services/ServiceCheck.h"

#include "core/FileIO.h"
#include "core/SanitizedKey.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace KestruneCore {

namespace {

// Seconds since 1970 as written in C notation (digits, optional sign, fraction and
// exponent) covering the whole field. from_chars never looks at the user's locale and
// takes no leading blanks; it does accept "inf" and "nan", which are no times.
std::optional<Clock::time_point> parseEpoch(std::string_view field) {
    std::string_view digits = field;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
            return std::nullopt;
    }
    double seconds = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
    if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(seconds))
        return std::nullopt;
    // The clock counts nanoseconds in 64 bits (about ±292 years around 1970); a time it
    // cannot hold is no time of a check.
    constexpr double limit = 9.0e9;
    if (std::fabs(seconds) > limit)
        return std::nullopt;
    auto micros = std::chrono::microseconds(std::llround(seconds * 1e6));
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(micros));
}

// Seconds with exactly six decimals, built from integers so no locale can change it.
std::string epochText(Clock::time_point t) {
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
    bool negative = micros < 0;
    std::uint64_t magnitude =
        negative ? std::uint64_t(0) - std::uint64_t(micros) : std::uint64_t(micros);
    std::string fraction = std::to_string(magnitude % 1000000);
    fraction.insert(0, 6 - fraction.size(), '0');
    return (negative ? "-" : "") + std::to_string(magnitude / 1000000) + "." + fraction;
}

} // namespace

std::optional<ServiceCheck> ServiceCheck::load(const std::string& from) {
    auto text = readUtf8File(from, 1024 * 1024);
    if (!text)
        return std::nullopt;
    return parse(*text);
}

std::optional<ServiceCheck> ServiceCheck::parse(std::string_view text) {
    // A NUL byte means the file is not the engine's text.
    if (text.find('\0') != std::string_view::npos)
        return std::nullopt;
    auto lines = splitLines(text);
    if (lines.empty())
        return std::nullopt;
    auto fields = splitFields(lines.front());
    if (fields.size() < 3)
        return std::nullopt;
    auto time = parseEpoch(fields[0]);
    if (!time)
        return std::nullopt;
    return ServiceCheck{*time, fields[1], fields[2], fields.size() > 3 ? fields[3] : ""};
}

std::string ServiceCheck::line() const {
    return epochText(time) + "\t" + singleLineField(url) + "\t" + singleLineField(result) + "\t" +
           singleLineField(cause) + "\n";
}

bool ServiceCheck::save(const std::string& to) const {
    return rewriteFileAtomically(to, line());
}

std::string serviceKey(const std::string& name) {
    return "svc_" + sanitizedKey(name);
}

std::string serviceCheckPath(const std::string& name, const std::string& stateDir) {
    return stateDir + "/" + serviceKey(name) + ".check";
}

} // namespace KestruneCore
