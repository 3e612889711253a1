#include "feedback/UrlRequest.h"

#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace KestruneCore {

namespace {

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct EasyCleanup {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

} // namespace

std::string UrlRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (n == name)
            return v;
    return {};
}

TransportResult sendRequest(const UrlRequest& request) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    std::unique_ptr<CURL, EasyCleanup> curl(curl_easy_init());
    if (!curl)
        return TransportResult::failure("could not start the request");
    CURL* h = curl.get();

    std::unique_ptr<curl_slist, SlistFree> headers;
    auto add = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(headers.get(), line.c_str());
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
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    if (request.method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
    } else if (request.method != "GET" || !request.body.empty()) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (request.method == "POST" || !request.body.empty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
    }

    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK)
        return TransportResult::failure(errorText[0] ? errorText : curl_easy_strerror(rc));
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    return TransportResult::success(static_cast<int>(status));
}

} // namespace KestruneCore
