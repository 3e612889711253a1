#include "feedback/UrlRequest.h"

#include "platform/CurlLibrary.h"

#include <memory>

namespace KestruneCore {

namespace {

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

} // namespace

std::string UrlRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (n == name)
            return v;
    return {};
}

TransportResult sendRequest(const UrlRequest& request) {
    const CurlLibrary* c = curlLibrary();
    if (!c)
        return TransportResult::failure(curlLibraryError());

    std::unique_ptr<CURL, void (*)(CURL*)> curl(c->easyInit(), c->easyCleanup);
    if (!curl)
        return TransportResult::failure("could not start the request");
    CURL* h = curl.get();

    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, c->slistFreeAll);
    auto add = [&](const std::string& line) {
        curl_slist* next = c->slistAppend(headers.get(), line.c_str());
        if (next) {
            headers.release();
            headers.reset(next);
        }
    };
    for (const auto& [name, value] : request.headers)
        add(name + ": " + value);
    // Without this curl waits for a "100 Continue" that many servers never send.
    add("Expect:");

    char errorText[CURL_ERROR_SIZE] = {};
    c->easySetopt(h, CURLOPT_URL, request.url.c_str());
    c->easySetopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    c->easySetopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    c->easySetopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    c->easySetopt(h, CURLOPT_MAXREDIRS, 16L);
    c->easySetopt(h, CURLOPT_NOSIGNAL, 1L);
    c->easySetopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    c->easySetopt(h, CURLOPT_HTTPHEADER, headers.get());
    c->easySetopt(h, CURLOPT_WRITEFUNCTION, discard);
    c->easySetopt(h, CURLOPT_ERRORBUFFER, errorText);
    if (request.method == "POST") {
        c->easySetopt(h, CURLOPT_POST, 1L);
    } else if (request.method != "GET" || !request.body.empty()) {
        c->easySetopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (request.method == "POST" || !request.body.empty()) {
        c->easySetopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        c->easySetopt(h, CURLOPT_POSTFIELDS, request.body.data());
    }

    CURLcode rc = c->easyPerform(h);
    if (rc != CURLE_OK)
        return TransportResult::failure(errorText[0] ? errorText : c->easyStrerror(rc));
    long status = 0;
    c->easyGetinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return TransportResult::success(static_cast<int>(status));
}

} // namespace KestruneCore
