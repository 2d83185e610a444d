#include "service/journal.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <QDateTime>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tarnwick::service {

namespace {

const char* level_text(Priority priority) {
    switch (priority) {
        case Priority::error:
            return "error";
        case Priority::warning:
            return "warning";
        case Priority::notice:
            return "notice";
        case Priority::info:
            return "info";
        case Priority::debug:
            return "debug";
    }
    return "";
}

// "line cabinet-3 board 7 relay 3: " before the message on a terminal.
std::string place_text(const LogFields& fields) {
    std::string text;
    if (!fields.line.empty()) text += "line " + fields.line + " ";
    if (fields.board) text += "board " + std::to_string(*fields.board) + " ";
    if (fields.relay) text += "relay " + std::to_string(*fields.relay) + " ";
    if (!fields.source.empty()) text += "(" + fields.source + ") ";
    if (!fields.schedule.empty()) text += "schedule " + fields.schedule + " ";
    if (!fields.scene.empty()) text += "scene " + fields.scene + " ";
    if (!text.empty()) text.back() = ':', text += ' ';
    return text;
}

void send_to_journal(Priority priority, const std::string& message, const LogFields& fields) {
    // The place in the text too: a plain journalctl shows no fields.
    std::vector<std::string> items{"MESSAGE=" + place_text(fields) + message,
                                   "PRIORITY=" + std::to_string(static_cast<int>(priority)),
                                   "SYSLOG_IDENTIFIER=tarnwickd"};
    if (!fields.line.empty()) items.push_back("TARNWICK_LINE=" + fields.line);
    if (fields.board) items.push_back("TARNWICK_BOARD=" + std::to_string(*fields.board));
    if (fields.relay) items.push_back("TARNWICK_RELAY=" + std::to_string(*fields.relay));
    if (!fields.source.empty()) items.push_back("TARNWICK_SOURCE=" + fields.source);
    if (!fields.schedule.empty()) items.push_back("TARNWICK_SCHEDULE=" + fields.schedule);
    if (!fields.scene.empty()) items.push_back("TARNWICK_SCENE=" + fields.scene);
    std::vector<iovec> vector;
    for (std::string& item : items) vector.push_back({item.data(), item.size()});
    sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

}  // namespace

bool stderr_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat info {};
    if (!stream || ::fstat(STDERR_FILENO, &info) != 0) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == info.st_dev && inode == info.st_ino;
}

void log(Priority priority, const std::string& message, const LogFields& fields) {
    static const bool journal_only = stderr_is_journal();
    send_to_journal(priority, message, fields);
    if (journal_only) return;
    const QByteArray time =
        QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz").toUtf8();
    std::fprintf(stderr, "%s %s: %s%s\n", time.constData(), level_text(priority),
                 place_text(fields).c_str(), message.c_str());
    std::fflush(stderr);
}

void notify_ready(const std::string& status) {
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void notify_status(const std::string& status) {
    sd_notify(0, ("STATUS=" + status).c_str());
}

void notify_watchdog() {
    sd_notify(0, "WATCHDOG=1");
}

void notify_stopping() {
    sd_notify(0, "STOPPING=1");
}

}  // namespace tarnwick::service
