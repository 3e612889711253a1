// A file descriptor with one owner, closed when the owner goes: locks held as long as
// their descriptor is open, and the write end of a pipe whose closing tells a waiting
// child to go on.
#pragma once

#include <utility>

namespace KestruneCore {

class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes what it held and holds `fd` instead.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

} // namespace KestruneCore
