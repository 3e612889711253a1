// Whether a service is healthy: its declared address answers with an accepted HTTP
// status and its declared local ports accept connections. One check serves both the
// engine (which records the result and cause texts) and the program's own probe of
// services the engine does not watch (a yes/no answer).
#pragma once

#include "services/LocalHttp.h"
#include "services/ServiceConfig.h"

#include <chrono>
#include <optional>
#include <string>

namespace KestruneCore {

// Why a check failed; the engine tells "down" (unresolved, refused) from "unhealthy".
enum class HealthFailure { none, unresolved, refused, timeout, status, port, badAddress, noReply };

struct HealthCheck {
    bool ok = false;
    std::string result; // short verdict: "healthy (200)", "refused", "HTTP 503", ...
    std::string cause;  // why it failed, empty when ok
    HealthFailure failure = HealthFailure::none;

    bool operator==(const HealthCheck&) const = default;
};

// In order, the first failure ending it: the `url` (IPv4 only, redirects not followed,
// whole exchange limited to max(timeout, 1) seconds) judged against `expected` (none:
// 200–399; otherwise only the listed codes), then each port of `ports` in list order
// (a connection to 127.0.0.1 within 2 seconds). None when there is neither a url nor a
// port. Blocks for up to the limits above; safe to call from any thread.
std::optional<HealthCheck> checkHealth(const ServiceConfig& config);

// checkHealth as yes/no: none when there is nothing to check.
std::optional<bool> probeHealth(const ServiceConfig& config);

// Host (IPv6 addresses without brackets) and port (the scheme's default when none is
// written) of an address. With `guessScheme`, an address without a scheme is read as
// the transfer reads it ("localhost:3000" is http); without it, such text has no host.
// Empty host and port 0 when the text is not an address.
struct UrlParts {
    std::string host;
    long port = 0;
};
UrlParts urlParts(const std::string& url, bool guessScheme);

// What the check of a plain http:// address on this computer sends over a socket of
// our own; none for an address libcurl reads (https, other hosts, unusual forms).
struct LocalHttpTarget {
    std::string ip; // dotted quad
    int port = 0;
    std::string target, hostHeader;
};
std::optional<LocalHttpTarget> localHttpTarget(const std::string& url);

// How long the check of `config.url` may take, all of it.
std::chrono::seconds addressCheckLimit(const ServiceConfig& config);

// What checkHealth makes of `reply`, the answer to `config.url` asked as
// localHttpTarget says, for a config without ports: so that a caller waiting on many
// exchanges at once judges them as checkHealth would.
HealthCheck addressVerdict(const ServiceConfig& config, const LocalHttpReply& reply);

// Whether a TCP connection to 127.0.0.1 on `port` succeeds within `limit`. A port
// outside 1–65535 never does.
bool portAcceptsConnections(int port, std::chrono::milliseconds limit = std::chrono::seconds(2));

} // namespace KestruneCore
