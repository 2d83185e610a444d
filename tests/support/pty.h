#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tarnwick::test {

// A pseudo-terminal with nothing behind it, whose slave side can be opened as
// a serial port: a character device for as long as this object lives.
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            path_ = ::ptsname(master_);
    }
    ~Pty() {
        if (master_ >= 0) ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    [[nodiscard]] const std::string& path() const { return path_; }
    // What a board on the other end sends.
    bool send(const void* bytes, std::size_t size) const {
        return master_ >= 0 && ::write(master_, bytes, size) == static_cast<ssize_t>(size);
    }

  private:
    int master_ = -1;
    std::string path_;
};

}  // namespace tarnwick::test
