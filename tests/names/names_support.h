#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "names/profile_file.h"

namespace tarnwick::names::test {

// GBK bytes of the name file's fixed texts.
inline const std::string gbk_software = "\xC8\xED\xBC\xFE\xCA\xF4\xD0\xD4";  // 软件属性
inline const std::string gbk_title_key = "\xC3\xFB\xB3\xC6";                 // 名称
inline const std::string gbk_address = "\xB5\xD8\xD6\xB7\xC2\xEB";           // 地址码
inline const std::string gbk_di = "\xB5\xDA";                                // 第
inline const std::string gbk_lu_key = "\xC2\xB7\xC3\xFB\xB3\xC6";            // 路名称
inline const std::string gbk_lu = "\xC2\xB7";                                // 路

// A fresh directory, removed with everything in it afterwards.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "names-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline unsigned mode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Sets (or, given nullptr, unsets) an environment variable for its lifetime.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        set(value);
    }
    ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    void set(const char* value) {
        if (value)
            ::setenv(name_.c_str(), value, 1);
        else
            ::unsetenv(name_.c_str());
    }

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Every report, in order: "not found: <path>", "created",
// "unwritable: <path> (<reason>)", "converted: <path> -> <backup>" or
// "not converted: <path> line <n>: <text>" or "notice: <text>".
class RecordingMessages : public Messages {
  public:
    void file_not_found(const std::string& path) override { log.push_back("not found: " + path); }
    void file_created() override { log.push_back("created"); }
    void name_file_unwritable(const std::string& path, const std::string& reason) override {
        log.push_back("unwritable: " + path + " (" + reason + ")");
    }
    void file_converted(const std::string& path, const std::string& backup) override {
        log.push_back("converted: " + path + " -> " + backup);
    }
    void file_not_converted(const std::string& path, std::size_t line,
                            const std::string& text) override {
        log.push_back("not converted: " + path + " line " + std::to_string(line) + ": " + text);
    }
    void name_file_notice(const std::string& text) override { log.push_back("notice: " + text); }
    std::vector<std::string> log;
};

class SilentMessages : public Messages {
  public:
    void file_not_found(const std::string&) override {}
    void file_created() override {}
    void name_file_unwritable(const std::string&, const std::string&) override {}
    void file_converted(const std::string&, const std::string&) override {}
    void file_not_converted(const std::string&, std::size_t, const std::string&) override {}
    void name_file_notice(const std::string&) override {}
};

// How long `work` takes in a forked child, fork included. A writer that is
// to be killed partway starts cold in its own process; timed here, warm, its
// work looks too short for kills in that window ever to let it finish.
template <class Work>
std::chrono::steady_clock::duration time_in_child(Work work) {
    int done[2];
    if (::pipe(done) != 0) return std::chrono::milliseconds(100);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        work();
        const char byte = 1;
        (void)!::write(done[1], &byte, 1);
        ::_exit(0);
    }
    char byte = 0;
    (void)!::read(done[0], &byte, 1);
    const auto took = std::chrono::steady_clock::now() - start;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(done[0]);
    ::close(done[1]);
    return took;
}

}  // namespace tarnwick::names::test
