// Timings of the name file: the first-start creation, loading the 16 names
// of an address, and storing one name. Prints figures; run from the build
// directory: bench/names_bench [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "names/name_file.h"

using namespace tarnwick::names;
using Clock = std::chrono::steady_clock;

namespace {

class SilentMessages : public Messages {
  public:
    void file_not_found(const std::string&) override {}
    void file_created() override {}
    void name_file_unwritable(const std::string&, const std::string&) override {}
    void file_converted(const std::string&, const std::string&) override {}
    void file_not_converted(const std::string&, std::size_t, const std::string&) override {}
    void name_file_notice(const std::string&) override {}
};

struct Figures {
    double median_ms, min_ms, max_ms;
};

// Runs prepare (untimed) and then step (timed) rounds times.
Figures measure(int rounds, const std::function<void()>& prepare,
                const std::function<void()>& step) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        prepare();
        const auto start = Clock::now();
        step();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front(), ms.back()};
}

void report(const char* what, const Figures& f, double goal_ms) {
    std::printf("%-40s median %7.3f ms  min %7.3f  max %7.3f  goal < %5.2f ms  %s\n", what,
                f.median_ms, f.min_ms, f.max_ms, goal_ms, f.median_ms < goal_ms ? "met" : "MISSED");
}

std::string make_temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "names-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    const std::string dir = make_temp_dir();
    SilentMessages silent;
    NameFile names(dir, silent);
    const std::string file = names.path();

    // One fsync of a file the size of name.txt: the floor of every write.
    const std::string block(76461, 'x');
    const std::string probe = dir + "/fsync.probe";
    const Figures fsync_figures = measure(
        rounds, [] {},
        [&] {
            const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, block.data(), block.size()) < 0 || ::fsync(fd) != 0)
                std::perror("fsync probe");
            ::close(fd);
        });
    std::filesystem::remove(probe);

    report("creation pass (load_title, no file)",
           measure(
               rounds, [&] { std::filesystem::remove(file); }, [&] { (void)names.load_title(); }),
           20.0);

    std::array<std::string, channel_count> loaded;
    report("load_names on a complete file",
           measure(
               rounds * 10, [] {}, [&] { loaded = names.load_names("128"); }),
           2.0);
    if (loaded[15] != "第16路") std::printf("unexpected name: %s\n", loaded[15].c_str());

    int flip = 0;
    const Figures set = measure(
        rounds, [] {},
        [&] { (void)names.set_channel_name("128", "7", ++flip % 2 ? "进水泵" : "第7路"); });
    report("set_channel_name on a complete file", set, 5.0 + fsync_figures.median_ms);
    std::printf("%-40s median %7.3f ms  (set_channel_name less one fsync: %.3f ms)\n",
                "one fsync of 76461 bytes", fsync_figures.median_ms,
                set.median_ms - fsync_figures.median_ms);

    std::filesystem::remove_all(dir);
    return 0;
}
