#include "names/file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <thread>

namespace tarnwick::names {

namespace {

// Closes the descriptor on every way out.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now, reporting the error close() can give (deferred write errors).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string random_suffix() {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 engine{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string suffix(6, ' ');
    for (char& c : suffix) c = alphabet[pick(engine)];
    return suffix;
}

// The file a path names once symbolic links are followed; the path itself
// when it is no link or the link dangles.
std::string resolve_link(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

bool is_regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_writable_file(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool is_writable_directory(const std::string& path, int* error) {
    struct stat st;
    int why = 0;
    if (::stat(path.c_str(), &st) != 0)
        why = errno;
    else if (!S_ISDIR(st.st_mode))
        why = ENOTDIR;
    else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        why = EACCES;
    else if (::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        why = errno;
    if (error) *error = why;
    return why == 0;
}

bool make_directories(const std::string& path, mode_t mode, int* error) {
    // Each prefix ending before a '/', then the whole path.
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
            if (error) *error = errno;
            return false;
        }
        if (end == std::string::npos) break;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    if (error) *error = ENOTDIR;
    return false;
}

std::optional<std::string> read_file(const std::string& path, int* error) {
    const auto failed = [error](int why) {
        if (error) *error = why;
        return std::nullopt;
    };
    // Without O_NONBLOCK a FIFO would hold the open until a writer comes.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return failed(errno);
    if (!S_ISREG(st.st_mode)) return failed(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::uintmax_t>(st.st_size) > max_file_bytes) return failed(EFBIG);
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {  // the file may grow, but not past the limit
            if (have > max_file_bytes) return failed(EFBIG);
            bytes.resize(bytes.size() + 4096);
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + have, bytes.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    bytes.resize(have);
    return bytes;
}

namespace {

constexpr std::chrono::milliseconds lock_poll{2};
// When this program last released a FileLock (only the thread writing the
// name file takes one).
thread_local std::chrono::steady_clock::time_point last_release;

}  // namespace

std::optional<uid_t> foreign_link_owner(const std::string& path) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return std::nullopt;
    if (link.st_uid == ::geteuid() || link.st_uid == 0) return std::nullopt;
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat dir;
    if (::stat(directory.c_str(), &dir) != 0) return link.st_uid;  // unknown: not followed
    // A group-writable directory lets the group's other members plant links.
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) == 0) return std::nullopt;
    return link.st_uid;
}

FileLock::FileLock(const std::string& file, std::chrono::milliseconds patience) {
    const std::string name = file + lock_suffix;
    // Read-only is enough for flock; O_NOFOLLOW so a planted link is never
    // created through.
    Fd fd(::open(name.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        error_ = errno;
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = EINVAL;
        return;
    }
    // flock keeps no queue: a writer that asks again right after its own
    // write would win every time against others that wait by polling, so it
    // first leaves them a turn.
    std::this_thread::sleep_until(last_release + lock_poll * 2);
    // flock has no timeout: try again every few milliseconds until it is due.
    const auto due = std::chrono::steady_clock::now() + patience;
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        error_ = errno;
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= due)
            return;
        std::this_thread::sleep_for(lock_poll);
    }
    error_ = 0;
    fd_ = fd.release();
}

FileLock::~FileLock() {
    if (fd_ < 0) return;
    ::close(fd_);  // releases the lock
    last_release = std::chrono::steady_clock::now();
}

namespace {

// Writes bytes to a new temporary "<target>.XXXXXX" beside target, with the
// owner and mode of *like when given, and flushes it to disk. Returns its
// path, or "" with nothing left behind and errno in *error when any step fails.
std::string write_temporary(const std::string& target, std::string_view bytes,
                            const struct stat* like, int* error) {
    std::string temp;
    int raw = -1;
    for (int attempt = 0; attempt < 100 && raw < 0; ++attempt) {
        temp = target + "." + random_suffix();
        raw = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (raw < 0 && errno != EEXIST) return *error = errno, std::string();
    }
    if (raw < 0) return *error = EEXIST, std::string();
    Fd fd(raw);

    bool ok = write_all(fd.get(), bytes);
    if (ok && like) {
        // Only root may give a file away; anyone else's copy stays theirs.
        // Owner before mode: a change of owner clears the set-id bits.
        if (like->st_uid != ::geteuid() || like->st_gid != ::getegid())
            (void)!::fchown(fd.get(), like->st_uid, like->st_gid);
        ok = ::fchmod(fd.get(), like->st_mode & 07777) == 0;
    }
    // The data must be on disk before a rename makes it the file, or a
    // power cut could leave a renamed but empty file. The directory is not
    // synced: after a power cut the name then holds the old file or the new
    // one, each whole, which is all we promise.
    ok = ok && ::fsync(fd.get()) == 0;
    int why = ok ? 0 : errno;
    if (!fd.close() && ok) ok = false, why = errno;
    if (!ok) {
        ::unlink(temp.c_str());
        *error = why;
        return {};
    }
    return temp;
}

}  // namespace

bool replace_file(const std::string& path, std::string_view bytes, int* error) {
    int why = 0;
    if (foreign_link_owner(path)) {
        if (error) *error = EPERM;
        return false;
    }
    const std::string target = resolve_link(path);
    struct stat old;
    const bool existed = ::stat(target.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) {
        why = S_ISDIR(old.st_mode) ? EISDIR : EINVAL;
    } else if (const std::string temp =
                   write_temporary(target, bytes, existed ? &old : nullptr, &why);
               !temp.empty()) {
        if (::rename(temp.c_str(), target.c_str()) == 0) return true;
        why = errno;
        ::unlink(temp.c_str());
    }
    if (error) *error = why;
    return false;
}

bool create_file(const std::string& path, std::string_view bytes, int* error,
                 const struct stat* like) {
    int why = 0;
    const std::string temp = write_temporary(path, bytes, like, &why);
    if (temp.empty()) {
        if (error) *error = why;
        return false;
    }
    // Renamed into place only while nothing has the name. A file system
    // without that kind of rename still makes hard links, which never replace.
    int rc = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) rc = ::link(temp.c_str(), path.c_str());
    const int failure = rc == 0 ? 0 : errno;
    ::unlink(temp.c_str());  // after a link, the temporary's name only
    if (error) *error = failure;
    return rc == 0;
}

}  // namespace tarnwick::names
