#include "core/StartMethod.h"

#include "core/FileIO.h"

#include <nlohmann/json.hpp>
#include <vector>

namespace KestruneCore {

namespace {

bool isRunner(const std::string& word) {
    return word == "npm" || word == "yarn" || word == "pnpm" || word == "bun";
}

} // namespace

StartMethod::StartMethod(const std::string& label) {
    if (label == "launch.sh") {
        kind = Kind::launchSh;
        return;
    }
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= label.size()) {
        auto space = label.find(' ', start);
        auto end = space == std::string::npos ? label.size() : space;
        if (end > start)
            words.push_back(label.substr(start, end - start));
        if (space == std::string::npos)
            break;
        start = space + 1;
    }
    if (words.size() == 2 && isRunner(words[0])) {
        kind = Kind::script;
        runner = words[0];
        scriptName = words[1];
    }
}

StartMethod StartMethod::script(std::string runner, std::string scriptName) {
    StartMethod m;
    m.kind = Kind::script;
    m.runner = std::move(runner);
    m.scriptName = std::move(scriptName);
    return m;
}

StartMethod StartMethod::launchSh() {
    StartMethod m;
    m.kind = Kind::launchSh;
    return m;
}

StartMethod StartMethod::unknown() {
    return StartMethod();
}

std::string StartMethod::label() const {
    switch (kind) {
    case Kind::script:
        return runner + " " + scriptName;
    case Kind::launchSh:
        return "launch.sh";
    case Kind::unknown:
        break;
    }
    return "unknown";
}

StartMethod detectStartMethod(const std::string& dir) {
    if (isExecutableFile(dir + "/scripts/launch.sh"))
        return StartMethod::launchSh();
    auto text = readFile(dir + "/package.json");
    if (!text)
        return StartMethod::unknown();
    auto json = nlohmann::json::parse(*text, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return StartMethod::unknown();
    auto scripts = json.find("scripts");
    if (scripts == json.end() || !scripts->is_object())
        return StartMethod::unknown();
    auto isStringMember = [&](const char* key) {
        auto it = scripts->find(key);
        return it != scripts->end() && it->is_string();
    };
    std::string name;
    if (isStringMember("dev"))
        name = "dev";
    else if (isStringMember("start"))
        name = "start";
    else
        return StartMethod::unknown();
    std::string runner = "npm";
    if (fileExists(dir + "/yarn.lock"))
        runner = "yarn";
    else if (fileExists(dir + "/pnpm-lock.yaml"))
        runner = "pnpm";
    else if (fileExists(dir + "/bun.lockb"))
        runner = "bun";
    return StartMethod::script(runner, name);
}

} // namespace KestruneCore
