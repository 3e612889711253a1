#include "services/HealthCheck.h"

#include "platform/CurlLibrary.h"
#include "services/LocalHttp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace KestruneCore {

namespace {

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

// How one GET of an address ended, whichever way it was made.
struct Transfer {
    enum class End { answered, unresolved, refused, timedOut, badAddress, failed };
    End end = End::failed;
    long status = 0;
    std::string error; // badAddress, failed: the transfer's own words
};

Transfer curlTransfer(const CurlLibrary& c, const std::string& url, long seconds) {
    std::unique_ptr<CURL, void (*)(CURL*)> curl(c.easyInit(), c.easyCleanup);
    if (!curl)
        return {Transfer::End::failed, 0, "out of memory"};
    CURL* h = curl.get();
    c.easySetopt(h, CURLOPT_URL, url.c_str());
    c.easySetopt(h, CURLOPT_IPRESOLVE, long(CURL_IPRESOLVE_V4));
    c.easySetopt(h, CURLOPT_TIMEOUT, seconds);
    c.easySetopt(h, CURLOPT_NOSIGNAL, 1L);
    c.easySetopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // Only web addresses: a declaration must not make the check read local files.
    c.easySetopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    c.easySetopt(h, CURLOPT_WRITEFUNCTION, discardBody);
    c.easySetopt(h, CURLOPT_USERAGENT, "Kestrune health check");

    CURLcode code = c.easyPerform(h);
    switch (code) {
    case CURLE_OK: {
        long status = 0;
        c.easyGetinfo(h, CURLINFO_RESPONSE_CODE, &status);
        return {Transfer::End::answered, status, {}};
    }
    case CURLE_COULDNT_RESOLVE_HOST:
        return {Transfer::End::unresolved, 0, {}};
    case CURLE_COULDNT_CONNECT:
        return {Transfer::End::refused, 0, {}};
    case CURLE_OPERATION_TIMEDOUT:
        return {Transfer::End::timedOut, 0, {}};
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return {Transfer::End::badAddress, 0, c.easyStrerror(code)};
    default:
        return {Transfer::End::failed, 0, c.easyStrerror(code)};
    }
}

std::optional<UrlParts> plainUrlParts(std::string_view url);

Transfer transferOf(const LocalHttpReply& reply) {
    switch (reply.end) {
    case LocalHttpReply::End::answered:
        return {Transfer::End::answered, reply.status, {}};
    case LocalHttpReply::End::refused:
        return {Transfer::End::refused, 0, {}};
    case LocalHttpReply::End::timedOut:
        return {Transfer::End::timedOut, 0, {}};
    case LocalHttpReply::End::failed:
        break;
    }
    return {Transfer::End::failed, 0, reply.error};
}

HealthCheck verdict(const std::string& url, long seconds,
                    const std::optional<std::vector<int>>& expected, const Transfer& transfer) {
    switch (transfer.end) {
    case Transfer::End::answered: {
        std::string text = std::to_string(transfer.status);
        if (!accepted(transfer.status, expected))
            return failed(HealthFailure::status, "HTTP " + text, "Got " + text + " from " + url);
        return {true, "healthy (" + text + ")", "", HealthFailure::none};
    }
    case Transfer::End::unresolved:
        return failed(HealthFailure::unresolved, "unresolved",
                      urlParts(url, true).host + " doesn't resolve");
    case Transfer::End::refused:
        return failed(HealthFailure::refused, "refused",
                      urlParts(url, true).port == 80 ? "Nothing answering on port 80 (local proxy)"
                                                     : "Nothing answering at " + url);
    case Transfer::End::timedOut:
        return failed(HealthFailure::timeout, "timeout",
                      "No reply within " + std::to_string(seconds) + "s");
    case Transfer::End::badAddress:
        return failed(HealthFailure::badAddress, "bad url",
                      "Can't check " + url + ": " + transfer.error);
    case Transfer::End::failed:
        break;
    }
    return failed(HealthFailure::noReply, "no reply",
                  "Got no usable reply from " + url + " (" + transfer.error + ")");
}

HealthCheck checkAddress(const std::string& url, int timeout,
                         const std::optional<std::vector<int>>& expected) {
    const long seconds = std::max(timeout, 1);
    std::optional<Transfer> transfer;
    if (auto local = localHttpTarget(url)) {
        transfer = transferOf(localHttpGet(local->ip, local->port, local->target, local->hostHeader,
                                           std::chrono::seconds(seconds)));
    } else {
        const CurlLibrary* c = curlLibrary();
        if (!c)
            return failed(HealthFailure::noReply, "error",
                          "Can't check " + url + ": " + curlLibraryError());
        transfer = curlTransfer(*c, url, seconds);
    }
    return verdict(url, seconds, expected, *transfer);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A decimal number of 1..maxDigits digits without a leading zero (but "0"), or -1.
long plainNumber(std::string_view text, std::size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || (text.size() > 1 && text[0] == '0'))
        return -1;
    long value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The parts of the plain addresses launch.json files hold ("http://127.0.0.1:3000/x",
// "https://app.localhost/"), read without loading libcurl; none for anything libcurl
// might read differently (another scheme, user info, IPv6, numbers that it rewrites
// as IPv4 addresses, capitals, unusual characters), which libcurl then reads.
std::optional<UrlParts> plainUrlParts(std::string_view url) {
    UrlParts parts;
    if (url.rfind("http://", 0) == 0) {
        url.remove_prefix(7);
        parts.port = 80;
    } else if (url.rfind("https://", 0) == 0) {
        url.remove_prefix(8);
        parts.port = 443;
    } else {
        return std::nullopt;
    }
    std::size_t end = url.find_first_of("/?#");
    std::string_view authority = url.substr(0, end);
    if (end != std::string_view::npos)
        for (char c : url.substr(end))
            if (c <= ' ' || c >= 0x7F || c == '\\')
                return std::nullopt;
    std::string_view host = authority;
    if (auto colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        parts.port = plainNumber(authority.substr(colon + 1), 5);
        if (parts.port < 1 || parts.port > 65535)
            return std::nullopt;
    }
    std::vector<std::string_view> labels;
    for (std::size_t at = 0; at <= host.size();) {
        std::size_t dot = std::min(host.find('.', at), host.size());
        labels.push_back(host.substr(at, dot - at));
        at = dot + 1;
    }
    bool onlyDigits = true;
    for (auto label : labels) {
        if (label.empty() || label.rfind("0x", 0) == 0)
            return std::nullopt;
        for (char c : label) {
            if (!isDigit(c) && !(c >= 'a' && c <= 'z') && c != '-')
                return std::nullopt;
            onlyDigits = onlyDigits && isDigit(c);
        }
    }
    // Digits alone are an IPv4 address, taken as it is only in its usual four parts.
    if (onlyDigits) {
        if (labels.size() != 4)
            return std::nullopt;
        for (auto label : labels)
            if (plainNumber(label, 3) < 0 || plainNumber(label, 3) > 255)
                return std::nullopt;
    }
    parts.host = std::string(host);
    return parts;
}

} // namespace

UrlParts urlParts(const std::string& url, bool guessScheme) {
    if (auto plain = plainUrlParts(url))
        return *plain;
    UrlParts parts;
    const CurlLibrary* c = curlLibrary();
    if (!c)
        return parts;
    std::unique_ptr<CURLU, void (*)(CURLU*)> handle(c->url(), c->urlCleanup);
    unsigned flags = CURLU_NON_SUPPORT_SCHEME | (guessScheme ? CURLU_GUESS_SCHEME : 0);
    if (!handle || c->urlSet(handle.get(), CURLUPART_URL, url.c_str(), flags) != CURLUE_OK)
        return parts;
    char* text = nullptr;
    if (c->urlGet(handle.get(), CURLUPART_HOST, &text, 0) == CURLUE_OK && text)
        parts.host = text;
    c->free(text);
    if (parts.host.size() >= 2 && parts.host.front() == '[' && parts.host.back() == ']')
        parts.host = parts.host.substr(1, parts.host.size() - 2);
    text = nullptr;
    if (c->urlGet(handle.get(), CURLUPART_PORT, &text, CURLU_DEFAULT_PORT) == CURLUE_OK && text)
        parts.port = std::strtol(text, nullptr, 10);
    c->free(text);
    return parts;
}

// A plain http:// address of this computer ("http://127.0.0.1:3000/health",
// "http://localhost:8080/") is asked over a socket of our own; anything else (https,
// other hosts, addresses only libcurl reads) by libcurl.
std::optional<LocalHttpTarget> localHttpTarget(const std::string& url) {
    if (url.rfind("http://", 0) != 0)
        return std::nullopt;
    auto parts = plainUrlParts(url);
    if (!parts)
        return std::nullopt;
    LocalHttpTarget local;
    local.ip = parts->host == "localhost" ? "127.0.0.1" : parts->host;
    if (local.ip.rfind("127.", 0) != 0)
        return std::nullopt;
    local.port = static_cast<int>(parts->port);
    std::string_view rest = std::string_view(url).substr(7);
    std::size_t pathAt = std::min(rest.find_first_of("/?#"), rest.size());
    local.hostHeader = std::string(rest.substr(0, pathAt));
    std::string_view target = rest.substr(pathAt);
    target = target.substr(0, target.find('#'));
    local.target =
        target.empty() || target.front() != '/' ? "/" + std::string(target) : std::string(target);
    return local;
}

std::chrono::seconds addressCheckLimit(const ServiceConfig& config) {
    return std::chrono::seconds(std::max(config.timeout, 1));
}

HealthCheck addressVerdict(const ServiceConfig& config, const LocalHttpReply& reply) {
    return verdict(config.url.value_or(""), addressCheckLimit(config).count(), config.expected,
                   transferOf(reply));
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
