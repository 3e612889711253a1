#include "services/ServiceConfig.h"
#include "TempDir.h"
#include "core/StartMethod.h"
#include "services/ServiceFolder.h"

#include <fstream>
#include <gtest/gtest.h>

using namespace KestruneCore;
using KestruneTest::TempDir;
using Kind = ServiceConfig::Load::Kind;

namespace {

ServiceConfig::Load parsed(const std::string& json) {
    return ServiceConfig::parse(json);
}

} // namespace

TEST(ServiceConfig, DefaultsAndMissingOrUnparsableFiles) {
    ServiceConfig d;
    EXPECT_FALSE(d.url || d.expected || d.interval || d.icon);
    EXPECT_EQ(d.timeout, 5);
    EXPECT_EQ(d.retries, 2);
    EXPECT_EQ(d.grace, 120);
    EXPECT_TRUE(d.ports.empty());
    EXPECT_EQ(d.restart, RestartPolicy::never);

    TempDir tmp;
    EXPECT_EQ(ServiceConfig::load(tmp.path()).kind, Kind::missing);
    tmp.mkdir("dirjson/scripts/launch.json");
    EXPECT_EQ(ServiceConfig::load(tmp / "dirjson").kind, Kind::missing);
    tmp.write("empty/scripts/launch.json", "");
    EXPECT_EQ(ServiceConfig::load(tmp / "empty").kind, Kind::malformed);
    tmp.write("bin/scripts/launch.json", std::string("\x00\x01\xff{", 4));
    EXPECT_EQ(ServiceConfig::load(tmp / "bin").kind, Kind::malformed);
    for (auto top : {"[]", "null", "3", "\"x\"", "{} {}"})
        EXPECT_EQ(parsed(top).kind, Kind::malformed) << top;
    EXPECT_EQ(parsed("{}"), ServiceConfig::Load::ok(ServiceConfig{}));
}

TEST(ServiceConfig, OversizedFilesAreRefusedAndEditsAreSeenDespiteTheCache) {
    TempDir tmp;
    // Valid JSON padded past the limit: refused unread, with the cause.
    tmp.write("big/scripts/launch.json", "{\"healthcheck\":{\"url\":\"http://a/\"}}" +
                                             std::string(ServiceConfig::maxBytes, ' '));
    auto big = ServiceConfig::load(tmp / "big");
    EXPECT_EQ(big.kind, Kind::malformed);
    EXPECT_EQ(big.cause, "scripts/launch.json is larger than 1 MiB");

    // Read twice unchanged, then replaced (same size, new inode) and then edited in
    // place (new size): each version is read as it is.
    tmp.write("p/scripts/launch.json", R"({"healthcheck":{"url":"http://a/"}})");
    EXPECT_EQ(ServiceConfig::load(tmp / "p").config.url, "http://a/");
    EXPECT_EQ(ServiceConfig::load(tmp / "p").config.url, "http://a/");
    tmp.write("p/scripts/launch.json", R"({"healthcheck":{"url":"http://b/"}})");
    EXPECT_EQ(ServiceConfig::load(tmp / "p").config.url, "http://b/");
    std::ofstream(tmp / "p/scripts/launch.json", std::ios::trunc)
        << R"({"healthcheck":{"url":"http://cc/"}})";
    EXPECT_EQ(ServiceConfig::load(tmp / "p").config.url, "http://cc/");
}

TEST(ServiceConfig, ReadsEveryKeyFromItsPlace) {
    TempDir tmp;
    tmp.write("p/scripts/launch.json", R"({
        "healthcheck": {"url": "http://127.0.0.1:3000/health", "expected_status": [200, 204],
                        "interval_seconds": 10, "timeout_seconds": 2.9, "retries": -1.7,
                        "start_grace_seconds": 90, "unknown": {"nested": true}},
        "start_grace_seconds": 30, "ports": [3000, true, 5432.8], "restart": "on-failure",
        "icon": "public/logo.png", "other": null})");
    auto load = ServiceConfig::load(tmp / "p");
    ASSERT_EQ(load.kind, Kind::ok);
    const auto& c = load.config;
    EXPECT_EQ(c.url, "http://127.0.0.1:3000/health");
    EXPECT_EQ(c.expected, (std::vector<int>{200, 204}));
    EXPECT_EQ(c.interval, 10);
    EXPECT_EQ(c.timeout, 2);  // truncated toward zero
    EXPECT_EQ(c.retries, -1); // toward zero, not down
    EXPECT_EQ(c.grace, 30);   // top level wins
    EXPECT_EQ(c.ports, (std::vector<int>{3000, 1, 5432}));
    EXPECT_EQ(c.restart, RestartPolicy::onFailure);
    EXPECT_EQ(c.icon, "public/logo.png");

    EXPECT_EQ(parsed(R"({"healthcheck": {"start_grace_seconds": 90}})").config.grace, 90);
    EXPECT_EQ(parsed(R"({"healthcheck": {"expected_status": 204}})").config.expected,
              std::vector<int>{204});
    auto empty = parsed(R"({"healthcheck": {"expected_status": []}, "ports": []})");
    ASSERT_TRUE(empty.isOk());
    EXPECT_EQ(empty.config.expected, std::vector<int>{});
    EXPECT_EQ(parsed(R"({"restart": "never"})").config.restart, RestartPolicy::never);
}

TEST(ServiceConfig, AnyKeyOfTheWrongKindMakesTheWholeFileMalformed) {
    const char* bad[] = {
        R"({"healthcheck": []})",
        R"({"healthcheck": null})",
        R"({"healthcheck": {"url": 5}})",
        R"({"healthcheck": {"url": null}})",
        R"({"healthcheck": {"timeout_seconds": "3"}})",
        R"({"healthcheck": {"retries": true}})",
        R"({"healthcheck": {"interval_seconds": null}})",
        R"({"healthcheck": {"expected_status": true}})",
        R"({"healthcheck": {"expected_status": [200, "204"]}})",
        R"({"healthcheck": {"expected_status": [null]}})",
        R"({"healthcheck": {"timeout_seconds": 1e300}})",
        R"({"healthcheck": {"retries": 99999999999}})",
        R"({"start_grace_seconds": false})",
        R"({"start_grace_seconds": null, "healthcheck": {"start_grace_seconds": 5}})",
        R"({"ports": 3000})",
        R"({"ports": [3000, [1]]})",
        R"({"restart": "always"})",
        R"({"restart": "On-Failure"})",
        R"({"restart": 1})",
        R"({"icon": ["a"]})",
    };
    for (const char* json : bad)
        EXPECT_EQ(parsed(json).kind, Kind::malformed) << json;
}

TEST(StartMethod, LabelsReadBackTolerantly) {
    EXPECT_EQ(StartMethod("launch.sh"), StartMethod::launchSh());
    EXPECT_EQ(StartMethod("pnpm dev"), StartMethod::script("pnpm", "dev"));
    EXPECT_EQ(StartMethod("npm  dev "), StartMethod::script("npm", "dev"));
    EXPECT_EQ(StartMethod("deno dev"), StartMethod::unknown());
    EXPECT_EQ(StartMethod("npm run dev"), StartMethod::unknown());
    EXPECT_EQ(StartMethod("npm"), StartMethod::unknown());
    EXPECT_EQ(StartMethod("npm\tdev"), StartMethod::unknown());
    EXPECT_EQ(StartMethod(""), StartMethod::unknown());
    EXPECT_EQ(StartMethod::script("yarn", "start").label(), "yarn start");
    EXPECT_EQ(StartMethod::launchSh().label(), "launch.sh");
    EXPECT_EQ(StartMethod::unknown().label(), "unknown");
    EXPECT_EQ(StartMethod(StartMethod::script("bun", "dev").label()).runner, "bun");
}

TEST(StartMethod, DetectionOrder) {
    TempDir tmp;
    // An executable launch.sh beats package.json; without the execute bit it does not count.
    tmp.write("both/scripts/launch.sh", "#!/bin/sh\n", true);
    tmp.write("both/package.json", R"({"scripts": {"dev": "vite"}})");
    EXPECT_EQ(detectStartMethod(tmp / "both"), StartMethod::launchSh());
    tmp.write("noexec/scripts/launch.sh", "#!/bin/sh\n", false);
    tmp.write("noexec/package.json", R"({"scripts": {"start": "node ."}})");
    EXPECT_EQ(detectStartMethod(tmp / "noexec"), StartMethod::script("npm", "start"));
    tmp.mkdir("dirsh/scripts/launch.sh");
    EXPECT_EQ(detectStartMethod(tmp / "dirsh"), StartMethod::unknown());

    tmp.write("dev/package.json", R"({"scripts": {"start": "a", "dev": "b"}})");
    tmp.write("dev/pnpm-lock.yaml", "");
    tmp.write("dev/yarn.lock", "");
    EXPECT_EQ(detectStartMethod(tmp / "dev"), StartMethod::script("yarn", "dev"));
    tmp.write("bun/package.json", R"({"scripts": {"dev": "b"}})");
    tmp.write("bun/bun.lockb", "");
    EXPECT_EQ(detectStartMethod(tmp / "bun"), StartMethod::script("bun", "dev"));

    tmp.write("nonstring/package.json", R"({"scripts": {"dev": 1, "start": "s"}})");
    EXPECT_EQ(detectStartMethod(tmp / "nonstring"), StartMethod::script("npm", "start"));
    for (auto json : {R"({"scripts": {"build": "x"}})", R"({"scripts": ["dev"]})", "[]", "{",
                      R"({"name": "x"})"}) {
        tmp.write("bad/package.json", json);
        EXPECT_EQ(detectStartMethod(tmp / "bad"), StartMethod::unknown()) << json;
    }
    EXPECT_EQ(detectStartMethod(tmp / "missing"), StartMethod::unknown());
}

TEST(ServiceFolder, NameFromReadmeHeadingOrFolder) {
    TempDir tmp;
    tmp.write("a/README.md", "Intro\r\n\r\n#  \tShop Front \t\r\n# Later\n");
    EXPECT_EQ(serviceName(tmp / "a"), "Shop Front");
    tmp.write("b/README.md", "#   \n# Later heading\n");
    EXPECT_EQ(serviceName(tmp / "b"), "b");
    tmp.write("c/README.md", "#NoSpace\n## Sub\n");
    EXPECT_EQ(serviceName(tmp / "c"), "c");
    tmp.write("d/README.md", "# Caf\xe9\n");
    EXPECT_EQ(serviceName(tmp / "d"), "d");
    EXPECT_EQ(serviceName(tmp / "e/"), "e");
}

TEST(ServiceFolder, AddingServicesAndTheUnknownMethodTexts) {
    TempDir tmp;
    tmp.write("shop/scripts/launch.sh", "#!/bin/sh\n", true);
    tmp.write("shop/README.md", "# Shop\n");
    WatchList list{{"Mail", "/A/Mail.app", true, EntryType::app, ""}};
    auto added = addingService(tmp / "shop", list);
    ASSERT_TRUE(added);
    ASSERT_EQ(added->size(), 2u);
    EXPECT_EQ(added->back(),
              (AppEntry{"Shop", tmp / "shop", true, EntryType::service, "launch.sh"}));
    EXPECT_EQ(*addingService(tmp / "shop", *added), *added);
    EXPECT_EQ(addingService(tmp / "shop/", *added)->size(), 3u); // no normalisation
    EXPECT_EQ(addingService("/A/Mail.app", list), list);         // path taken by an app
    EXPECT_EQ(addingService(tmp / "plain", {})->back().method, "unknown");
    EXPECT_EQ(addingService(tmp / "line\nbreak", list), list);

    auto [message, info] = unknownMethodSheet("plain");
    EXPECT_EQ(message, "plain was added");
    EXPECT_EQ(info, "Kestrune doesn't know how to start this folder, so it will only report "
                    "when it's down. Adding an executable scripts/launch.sh fixes that.");
}
