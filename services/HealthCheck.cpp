#include "services/HealthCheck.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace KestruneCore {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t discardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

bool accepted(long code, const std::optional<std::vector<int>>& expected) {
    if (!expected)
        return code >= 200 && code <= 399;
    return std::find(expected->begin(), expected->end(), code) != expected->end();
}

HealthCheck failed(HealthFailure failure, std::string result, std::string cause) {
    return {false, std::move(result), std::move(cause), failure};
}

HealthCheck checkAddress(const std::string& url, int timeout,
                         const std::optional<std::vector<int>>& expected) {
    initialiseCurlOnce();
    const long seconds = std::max(timeout, 1);
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        return failed(HealthFailure::noReply, "error", "Can't check " + url);
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_IPRESOLVE, CURL_IPRESOLVE_V4);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, seconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // Only web addresses: a declaration must not make the check read local files.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discardBody);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Kestrune health check");

    CURLcode code = curl_easy_perform(h);
    switch (code) {
    case CURLE_OK: {
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        std::string text = std::to_string(status);
        if (!accepted(status, expected))
            return failed(HealthFailure::status, "HTTP " + text, "Got " + text + " from " + url);
        return {true, "healthy (" + text + ")", "", HealthFailure::none};
    }
    case CURLE_COULDNT_RESOLVE_HOST:
        return failed(HealthFailure::unresolved, "unresolved",
                      urlParts(url, true).host + " doesn't resolve");
    case CURLE_COULDNT_CONNECT:
        return failed(HealthFailure::refused, "refused",
                      urlParts(url, true).port == 80 ? "Nothing answering on port 80 (local proxy)"
                                                     : "Nothing answering at " + url);
    case CURLE_OPERATION_TIMEDOUT:
        return failed(HealthFailure::timeout, "timeout",
                      "No reply within " + std::to_string(seconds) + "s");
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return failed(HealthFailure::badAddress, "bad url",
                      "Can't check " + url + ": " + curl_easy_strerror(code));
    default:
        return failed(HealthFailure::noReply, "no reply",
                      "Got no usable reply from " + url + " (" + curl_easy_strerror(code) + ")");
    }
}

} // namespace

UrlParts urlParts(const std::string& url, bool guessScheme) {
    UrlParts parts;
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), curl_url_cleanup);
    unsigned flags = CURLU_NON_SUPPORT_SCHEME | (guessScheme ? CURLU_GUESS_SCHEME : 0);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK)
        return parts;
    char* text = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &text, 0) == CURLUE_OK && text)
        parts.host = text;
    curl_free(text);
    if (parts.host.size() >= 2 && parts.host.front() == '[' && parts.host.back() == ']')
        parts.host = parts.host.substr(1, parts.host.size() - 2);
    text = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_PORT, &text, CURLU_DEFAULT_PORT) == CURLUE_OK && text)
        parts.port = std::strtol(text, nullptr, 10);
    curl_free(text);
    return parts;
}

bool portAcceptsConnections(int port, std::chrono::milliseconds limit) {
    if (port < 1 || port > 65535)
        return false;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    bool connected = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        connected = true;
    } else if (errno == EINPROGRESS) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLOUT, 0};
            int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                int error = 0;
                socklen_t len = sizeof error;
                connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
            }
            break;
        }
    }
    ::close(fd);
    return connected;
}

std::optional<HealthCheck> checkHealth(const ServiceConfig& config) {
    std::optional<HealthCheck> outcome;
    if (config.url) {
        outcome = checkAddress(*config.url, config.timeout, config.expected);
        if (!outcome->ok)
            return outcome;
    } else if (config.ports.empty()) {
        return std::nullopt;
    }
    for (int port : config.ports) {
        if (!portAcceptsConnections(port)) {
            std::string n = std::to_string(port);
            return failed(HealthFailure::port, "port " + n + " closed",
                          "Port " + n + " is not accepting connections");
        }
    }
    if (!outcome)
        outcome = HealthCheck{true, "healthy (ports)", "", HealthFailure::none};
    return outcome;
}

std::optional<bool> probeHealth(const ServiceConfig& config) {
    auto check = checkHealth(config);
    if (!check)
        return std::nullopt;
    return check->ok;
}

} // namespace KestruneCore
