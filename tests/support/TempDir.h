// A fresh temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace KestruneTest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(std::string_view relative) const;

    // Writes a file (creating its folders) and returns its full path.
    std::string write(std::string_view relative, std::string_view content,
                      bool executable = false) const;
    std::string mkdir(std::string_view relative) const;

private:
    std::string path_;
};

// Sets (or, given nullopt, removes) an environment variable for the life of the
// object and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Sets HOME to a folder for the life of the object. Every test executable starts
// with the XDG base folder variables removed, so HOME alone decides where files go.
class ScopedHome : public ScopedEnv {
public:
    explicit ScopedHome(const std::string& home) : ScopedEnv("HOME", home) {}
};

// Reads a whole file ("" when missing).
std::string readAll(const std::string& path);

} // namespace KestruneTest
