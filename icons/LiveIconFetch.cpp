#include "icons/LiveIconFetch.h"

#include "core/FileIO.h"
#include "icons/IconLink.h"
#include "icons/ImageSupport.h"
#include "platform/CurlLibrary.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace KestruneCore {

namespace {

struct Body {
    std::string bytes;
    bool overflowed = false;
};

size_t collect(char* data, size_t size, size_t count, void* userdata) {
    auto* body = static_cast<Body*>(userdata);
    const size_t n = size * count;
    if (body->bytes.size() + n > maxLiveIconBytes) {
        body->bytes.append(data, maxLiveIconBytes - body->bytes.size());
        body->overflowed = true;
        return 0; // ends the transfer
    }
    body->bytes.append(data, n);
    return n;
}

struct Answer {
    Body body;
    long status = 0;
    bool complete = false; // the whole body arrived
};

// One GET on the calling thread; none when nothing usable came back at all. A page
// longer than the limit is read up to it (its head is what matters); an icon that
// announces a larger size is refused before its body is read.
enum class Kind { page, icon };
std::optional<Answer> get(const std::string& url, Kind kind) {
    const CurlLibrary* c = curlLibrary();
    if (!c)
        return std::nullopt;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(c->easyInit(), c->easyCleanup);
    if (!curl)
        return std::nullopt;
    Answer answer;
    CURL* h = curl.get();
    c->easySetopt(h, CURLOPT_URL, url.c_str());
    c->easySetopt(h, CURLOPT_TIMEOUT_MS, 3000L);
    c->easySetopt(h, CURLOPT_NOSIGNAL, 1L);
    c->easySetopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    c->easySetopt(h, CURLOPT_MAXREDIRS, 3L);
    c->easySetopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    c->easySetopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    if (kind == Kind::icon)
        c->easySetopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxLiveIconBytes));
    c->easySetopt(h, CURLOPT_WRITEFUNCTION, collect);
    c->easySetopt(h, CURLOPT_WRITEDATA, &answer.body);
    c->easySetopt(h, CURLOPT_USERAGENT, "Kestrune icon fetch");
    const CURLcode code = c->easyPerform(h);
    c->easyGetinfo(h, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.complete = code == CURLE_OK;
    if (!answer.complete && !answer.body.overflowed)
        return std::nullopt;
    return answer;
}

// UTF-8 with every invalid sequence replaced by U+FFFD, so the page reads as text.
std::string repairedUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes))
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t len = 1;
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0xC2 && c <= 0xDF)
            len = 2;
        else if (c >= 0xE0 && c <= 0xEF)
            len = 3;
        else if (c >= 0xF0 && c <= 0xF4)
            len = 4;
        if (c < 0x80 || (len > 1 && i + len <= bytes.size() && isValidUtf8(bytes.substr(i, len)))) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

void fetch(const std::string& pageURL, const std::string& destination) {
    auto page = get(pageURL, Kind::page);
    if (!page)
        return;
    const std::string html = repairedUtf8(page->body.bytes);
    auto iconURL = iconLink(html, pageURL);
    if (!iconURL)
        iconURL = resolvedUrl(pageURL, "/favicon.ico");
    if (!iconURL)
        return;
    auto icon = get(*iconURL, Kind::icon);
    if (!icon || !icon->complete || icon->status != 200)
        return;
    if (!imageSupport().bytesLoad(icon->body.bytes))
        return;
    makeFolders(parentFolder(destination));
    writeFileAtomically(destination, icon->body.bytes);
}

// Fetches in flight. Never destroyed, so a fetch still running at exit finds it intact.
struct InFlight {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};

InFlight& inFlight() {
    static auto* state = new InFlight;
    return *state;
}

bool parses(const std::string& url) {
    const CurlLibrary* c = curlLibrary();
    if (!c)
        return false;
    std::unique_ptr<CURLU, void (*)(CURLU*)> handle(c->url(), c->urlCleanup);
    return handle && c->urlSet(handle.get(), CURLUPART_URL, url.c_str(),
                               CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

} // namespace

void fetchLiveIcon(const std::string& pageURL, const std::string& destination) {
    static std::set<std::string> liveFetching; // only grows: one attempt per run
    if (!parses(pageURL))
        return;
    if (!liveFetching.insert(destination).second)
        return;
    auto& state = inFlight();
    {
        std::lock_guard lock(state.mutex);
        ++state.running;
    }
    std::thread([pageURL, destination, &state] {
        fetch(pageURL, destination);
        std::lock_guard lock(state.mutex);
        --state.running;
        state.ended.notify_all();
    }).detach();
}

void waitForLiveIconFetches() {
    auto& state = inFlight();
    std::unique_lock lock(state.mutex);
    state.ended.wait(lock, [&] { return state.running == 0; });
}

} // namespace KestruneCore
