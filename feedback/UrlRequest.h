// A request to send over HTTP, as a plain value: what the feedback form builds and
// what the transport sends.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace KestruneCore {

struct UrlRequest {
    std::string url;
    std::string method = "GET";
    std::vector<std::pair<std::string, std::string>> headers; // in sending order
    std::string body;                                         // bytes
    std::chrono::milliseconds timeout{60'000};

    // The first header of that name (exact case), or "".
    std::string header(const std::string& name) const;

    bool operator==(const UrlRequest&) const = default;
};

// How sending a request ended: an HTTP status (0 when the answer was not HTTP), or
// a description of the failure.
struct TransportResult {
    bool succeeded = false;
    int status = 0;
    std::string error;

    static TransportResult success(int status) { return {true, status, {}}; }
    static TransportResult failure(std::string error) { return {false, 0, std::move(error)}; }
    bool operator==(const TransportResult&) const = default;
};

// Sends the request with libcurl on the calling thread and waits for the answer
// (redirects followed, the response body ignored). Only http and https are used.
TransportResult sendRequest(const UrlRequest& request);

} // namespace KestruneCore
