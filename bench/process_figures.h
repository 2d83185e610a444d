#pragma once
// What the benchmarks that run the panel report about their own process, how
// they summarise their timings, and the setup they share before the
// QApplication exists.
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::bench {

// The application name makes window titles what the panel shows; the panel
// runs offscreen unless the caller asked for a platform.
inline void prepare_panel_process() {
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
}

// User and system CPU time of the whole process so far.
inline double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline double rss_mb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// The p-th percentile (0..100) of the values, the nearest one by rank.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

inline double peak_rss_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// User plus system clock ticks another process has used (sysconf(_SC_CLK_TCK)
// a second).
inline long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
}

// A field of another process's /proc/<pid>/status in MB ("VmRSS", "VmHWM").
inline double status_mb(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string name;
    while (in >> name) {
        if (name == field + ":") {
            long kb = 0;
            in >> kb;
            return static_cast<double>(kb) / 1024.0;
        }
        in.ignore(1 << 20, '\n');
    }
    return 0;
}

// Whether another process has a library mapped whose path contains `part`.
inline bool maps_library(pid_t pid, const std::string& part) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(in, line))
        if (line.find(part) != std::string::npos) return true;
    return false;
}

}  // namespace tarnwick::bench
