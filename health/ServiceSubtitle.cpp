#include "health/ServiceSubtitle.h"

#include "services/HealthCheck.h"

#include <map>
#include <memory>
#include <unicode/calendar.h>
#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace KestruneCore {

namespace {

// Building a pattern generator loads locale data and costs far more than a lookup, and
// a list refresh asks for the same locale many times; generators are not shared
// between threads.
icu::DateTimePatternGenerator* patternGenerator(const icu::Locale& locale) {
    thread_local std::map<std::string, std::unique_ptr<icu::DateTimePatternGenerator>> cache;
    auto& slot = cache[locale.getName()];
    if (!slot) {
        UErrorCode status = U_ZERO_ERROR;
        slot.reset(icu::DateTimePatternGenerator::createInstance(locale, status));
        if (U_FAILURE(status))
            slot.reset();
    }
    return slot.get();
}

std::string format(UDate date, const char* skeleton, const icu::Locale& locale,
                   const icu::Calendar& calendar) {
    auto* generator = patternGenerator(locale);
    if (!generator)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString pattern = generator->getBestPattern(skeleton, status);
    if (U_FAILURE(status))
        return {};
    icu::SimpleDateFormat formatter(pattern, locale, status);
    if (U_FAILURE(status))
        return {};
    formatter.setCalendar(calendar);
    icu::UnicodeString text;
    formatter.format(date, text);
    text.findAndReplace(icu::UnicodeString(char16_t(0x202F)), icu::UnicodeString(u' '));
    text.findAndReplace(icu::UnicodeString(char16_t(0x00A0)), icu::UnicodeString(u' '));
    std::string out;
    text.toUTF8String(out);
    return out;
}

UDate udate(Clock::time_point t) {
    return static_cast<UDate>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

struct Day {
    int32_t era, year, month, day;
    bool operator==(const Day&) const = default;
};

Day dayOf(icu::Calendar& calendar) {
    UErrorCode status = U_ZERO_ERROR;
    Day d{calendar.get(UCAL_ERA, status), calendar.get(UCAL_YEAR, status),
          calendar.get(UCAL_MONTH, status), calendar.get(UCAL_DATE, status)};
    return d;
}

std::optional<std::string> hostOf(const std::optional<ServiceConfig>& config) {
    if (!config || !config->url)
        return std::nullopt;
    std::string host = urlParts(*config->url, false).host;
    if (host.empty())
        return std::nullopt;
    return host;
}

std::string joinedPorts(const std::vector<int>& ports) {
    std::string out;
    for (std::size_t i = 0; i < ports.size(); ++i)
        out += (i ? ", " : "") + std::to_string(ports[i]);
    return out;
}

bool startsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

std::string sincePhrase(Clock::time_point date, Clock::time_point now, const std::string& timeZone,
                        const std::string& locale) {
    icu::Locale loc = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
    icu::TimeZone* zone =
        timeZone.empty() ? icu::TimeZone::createDefault()
                         : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(zone, loc, status));
    if (U_FAILURE(status) || !calendar)
        return {};

    calendar->setTime(udate(date), status);
    Day dateDay = dayOf(*calendar);
    bool onTheHour = calendar->get(UCAL_MINUTE, status) == 0;
    std::string clock = format(udate(date), onTheHour ? "j" : "jmm", loc, *calendar);

    calendar->setTime(udate(now), status);
    if (dayOf(*calendar) == dateDay)
        return clock;
    calendar->add(UCAL_DATE, -1, status);
    if (dayOf(*calendar) == dateDay)
        return "yesterday " + clock;
    bool withinSixDays = now - date < std::chrono::seconds(518400);
    return format(udate(date), withinSixDays ? "EEE" : "dMMM", loc, *calendar) + " " + clock;
}

std::string unwatchedSubtitle(const AppEntry& entry, const std::optional<ServiceConfig>& config,
                              std::optional<bool> observed) {
    std::string method =
        entry.method.empty() || entry.method == "unknown" ? "" : " · " + entry.method;
    std::string off = entry.enabled ? "" : " · Off";
    if (!observed) {
        if (!entry.enabled)
            return "Off";
        if (config && (config->url || !config->ports.empty()))
            return "Checking…";
        return "Health unknown";
    }
    if (!*observed)
        return "Down – not answering" + off;
    if (auto host = hostOf(config))
        return "Healthy · " + *host + method + off;
    if (config && !config->ports.empty())
        return "Healthy · port " + joinedPorts(config->ports) + method + off;
    return "Running" + method + off;
}

std::string serviceSubtitle(const AppEntry& entry, const std::optional<ServiceConfig>& config,
                            const std::vector<Problem>& problems, bool masterOn,
                            std::optional<Clock::time_point> trying, Clock::time_point now,
                            std::optional<TypicalStartup> startup, std::optional<bool> observed) {
    if (!entry.enabled || !masterOn)
        return unwatchedSubtitle(entry, config, observed);

    std::string method = entry.method.empty() ? "" : " · " + entry.method;
    std::string usually = startup ? " usually takes " + approx(startup->median) : "";
    std::string usualStart = startup ? " · usually starts in " + approx(startup->median) : "";
    std::string since = trying ? " – trying since " + sincePhrase(*trying, now) : "";

    std::vector<const Problem*> own;
    for (const auto& p : problems)
        if (p.name == entry.name)
            own.push_back(&p);

    for (const auto* p : own)
        if (p->kind == "unknown-start")
            return "Down – Kestrune doesn't know how to start it";
    for (const auto* p : own) {
        if (p->severity != Severity::stuck)
            continue;
        if (p->kind == "watch-only-down" || since.empty())
            return "Down – " + (p->detail.empty() ? std::string("needs you") : p->detail);
        return (p->detail.empty() ? std::string("Down") : p->detail) + since;
    }
    if (entry.method == "unknown")
        return "Don't know how to start this";
    if (!own.empty()) {
        bool starting = false;
        for (const auto* p : own)
            starting = starting || startsWith(p->detail, "starting");
        if (trying && !starting)
            return "Trying since " + sincePhrase(*trying, now) + method;
        return "Starting…" + usually + method;
    }
    if (!config)
        return "Running, health unknown" + method;
    if (auto host = hostOf(config))
        return "Healthy · " + *host + method + usualStart;
    if (!config->url && config->ports.empty())
        return "Running, health unknown" + method;
    return "Healthy · port " + joinedPorts(config->ports) + method + usualStart;
}

} // namespace KestruneCore
