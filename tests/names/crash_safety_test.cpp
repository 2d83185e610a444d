// A writer killed at random instants (SIGKILL, so nothing of its own runs)
// while it creates name.txt on a first start and then stores one name after
// another. After each kill the file must be absent (the kill came before the
// creation finished) or exactly one of the complete states the writer passes
// through, and a fresh start from it must behave as on any ordinary start.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "names/name_file.h"
#include "tests/names/names_support.h"

using namespace tarnwick::names;
using namespace tarnwick::names::test;

namespace {

using Clock = std::chrono::steady_clock;
using Log = std::vector<std::string>;
using Names = std::array<std::string, 16>;

constexpr int kills = 200;
constexpr int stores = 12;  // names the writer stores after creating the file

const std::string gbk_pump_station = "\xB1\xC3\xD5\xBE";  // 泵站

// The name stored in step k (0-based): 泵站1, 泵站2, ... into channels 1, 2, ...
// of address 1.
std::string stored_name(int k) {
    return "泵站" + std::to_string(k + 1);
}
std::string stored_name_gbk(int k) {
    return gbk_pump_station + std::to_string(k + 1);
}

// The file as a first start writes it, with channels 1..stored of address 1
// holding the names stored so far: the title section, then [地址码0] ..
// [地址码255], each with 第1路名称=第1路 .. 第16路名称=第16路, CR LF line ends.
std::string file_after(int stored) {
    std::string s = "[" + gbk_software + "]\r\n" + gbk_title_key + "=Tarnwick\r\n";
    for (int a = 0; a < 256; ++a) {
        s += "[" + gbk_address + std::to_string(a) + "]\r\n";
        for (int c = 1; c <= 16; ++c) {
            const std::string value = a == 1 && c <= stored ? stored_name_gbk(c - 1)
                                                            : gbk_di + std::to_string(c) + gbk_lu;
            s += gbk_di + std::to_string(c) + gbk_lu_key + "=" + value + "\r\n";
        }
    }
    return s;
}

Names names_after(int stored) {
    Names names;
    for (int c = 1; c <= 16; ++c)
        names[c - 1] = c <= stored ? stored_name(c - 1) : "第" + std::to_string(c) + "路";
    return names;
}

// Whether the stopped process holds the lock on name.txt: /proc/locks lists
// each flock with its owner's pid.
bool holds_lock(pid_t pid) {
    std::ifstream locks("/proc/locks");
    const std::string owner = " " + std::to_string(pid) + " ";
    for (std::string line; std::getline(locks, line);)
        if (line.find("FLOCK") != std::string::npos && line.find(owner) != std::string::npos)
            return true;
    return false;
}

// The writer: a first start in an empty directory, then the names one by one.
void write_names(const std::string& directory) {
    SilentMessages silent;
    NameFile names(directory, silent);
    (void)names.load_title();
    for (int k = 0; k < stores; ++k)
        (void)names.set_channel_name("1", std::to_string(k + 1), stored_name(k));
}

TEST(CrashSafety, AKilledWriterLeavesAFileAStartCanUse) {
    const std::vector<std::string> states = [] {
        std::vector<std::string> s;
        for (int stored = 0; stored <= stores; ++stored) s.push_back(file_after(stored));
        return s;
    }();
    // Kills spread over the whole run and a little past it.
    const auto span =
        std::chrono::duration_cast<std::chrono::microseconds>(time_in_child([] {
                                                                  TempDir scratch;
                                                                  write_names(scratch.path());
                                                              }) *
                                                              11 / 10);
    std::mt19937 random(20240607);
    std::uniform_int_distribution<long> delay(0, span.count());

    int absent = 0, created_only = 0, partway = 0, finished = 0, litter = 0, locked = 0;
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir dir;
        const std::string file = dir.file("name.txt");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            write_names(dir.path());
            for (;;) ::pause();  // waits to be killed
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(child, SIGSTOP);
        locked += holds_lock(child);
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        // Which whole state the file is in: -1 when there is none yet.
        int stored = -1;
        if (std::filesystem::exists(file)) {
            const std::string bytes = read_bytes(file);
            for (std::size_t s = 0; s < states.size() && stored < 0; ++s)
                if (bytes == states[s]) stored = static_cast<int>(s);
            ASSERT_GE(stored, 0) << "a torn file of " << bytes.size() << " bytes";
        }
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            litter +=
                entry.path().filename() != "name.txt" && entry.path().filename() != "name.txt.lock";
        (stored < 0 ? absent : stored == 0 ? created_only : stored < stores ? partway : finished)++;

        // A start from what was left.
        RecordingMessages messages;
        NameFile start(dir.path(), messages);
        EXPECT_EQ(start.load_title(), "Tarnwick");
        const Log first_start{"not found: " + file, "created"};
        EXPECT_EQ(messages.log, stored < 0 ? first_start : Log{});
        EXPECT_EQ(start.load_names("1"), names_after(stored < 0 ? 0 : stored));
        EXPECT_EQ(messages.log.size(), stored < 0 ? 2u : 0u) << "reading the names complained";
        EXPECT_EQ(read_bytes(file), states[stored < 0 ? 0 : stored])
            << "the start rewrote a complete file";
        // The lock died with the writer.
        EXPECT_EQ(start.set_channel_name("2", "1", "x"), WriteError::none);
    }
    std::printf(
        "%d kills: %d before the file existed, %d right after creation, %d partway "
        "through the names, %d after the last, %d holding the lock; %d temporary files "
        "left behind\n",
        kills, absent, created_only, partway, finished, locked, litter);
    // Kills must have landed in the creation pass and among the stores, or
    // the test proved little.
    EXPECT_GT(absent, 0);
    EXPECT_GT(partway, 0);
    EXPECT_GT(locked, 0);
}

// Writers in separate processes, each storing names in channels of its own,
// all at once: every name is there at the end. Without the lock two writers
// read the same file and the later replace drops the other's name.
TEST(CrashSafety, ParallelWritersLoseNoName) {
    constexpr int writers = 4;
    constexpr int renames = 200;
    TempDir dir;
    write_bytes(dir.file("name.txt"), file_after(0));
    const auto name = [](int w, int k) {
        return "w" + std::to_string(w) + "-" + std::to_string(k);
    };
    const auto start = Clock::now();
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            SilentMessages silent;
            NameFile names(dir.path(), silent);
            int failed = 0;
            for (int k = 0; k < renames; ++k)
                failed += names.set_channel_name(std::to_string(k), std::to_string(w + 1),
                                                 name(w, k)) != WriteError::none;
            ::_exit(failed > 0 ? 1 : 0);
        }
        children.push_back(child);
    }
    int failed_writers = 0;
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        failed_writers += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    const auto took = std::chrono::duration<double>(Clock::now() - start).count();
    SilentMessages silent;
    NameFile names(dir.path(), silent);
    int lost = 0;
    for (int k = 0; k < renames; ++k) {
        const auto stored = names.load_names(std::to_string(k));
        for (int w = 0; w < writers; ++w) lost += stored[w] != name(w, k);
    }
    std::printf("%d writers x %d renames in parallel: %d names lost, %.1f s\n", writers, renames,
                lost, took);
    EXPECT_EQ(failed_writers, 0);
    EXPECT_EQ(lost, 0);
}

}  // namespace
