// A fresh temporary folder for one test, removed with everything in it afterwards.
#pragma once

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

// Sets HOME to a folder for the life of the object and restores it afterwards.
class ScopedHome {
public:
    explicit ScopedHome(const std::string& home);
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

private:
    std::string old_;
    bool had_ = false;
};

// Reads a whole file ("" when missing).
std::string readAll(const std::string& path);

} // namespace KestruneTest
