#include "names/name_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "names/locations.h"
#include "tests/names/names_support.h"

using namespace tarnwick::names;
using namespace tarnwick::names::test;

namespace {

using Log = std::vector<std::string>;
using Names = std::array<std::string, 16>;

const std::string gbk_pump_station = "\xB1\xC3\xD5\xBE";        // 泵站
const std::string gbk_inlet_pump = "\xBD\xF8\xCB\xAE\xB1\xC3";  // 进水泵

std::string header(const std::string& address) {
    return "[" + gbk_address + address + "]\r\n";
}
std::string default_name(int c) {
    return gbk_di + std::to_string(c) + gbk_lu;
}
std::string key_line(int c, const std::string& value) {
    return gbk_di + std::to_string(c) + gbk_lu_key + "=" + value + "\r\n";
}
std::string default_section(int a) {
    std::string s = header(std::to_string(a));
    for (int c = 1; c <= 16; ++c) s += key_line(c, default_name(c));
    return s;
}
const std::string title_lines = "[" + gbk_software + "]\r\n" + gbk_title_key + "=Tarnwick\r\n";

// The file that writing the defaults one by one leaves behind, with some
// names (address, channel) -> GBK value changed in place.
std::string complete_file(const std::map<std::pair<int, int>, std::string>& names = {}) {
    std::string s = title_lines;
    for (int a = 0; a < 256; ++a) {
        s += header(std::to_string(a));
        for (int c = 1; c <= 16; ++c) {
            const auto changed = names.find({a, c});
            s += key_line(c, changed == names.end() ? default_name(c) : changed->second);
        }
    }
    return s;
}

Names default_names() {
    Names names;
    for (int c = 1; c <= 16; ++c) names[c - 1] = "第" + std::to_string(c) + "路";
    return names;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(NameFile, FirstStartCreatesTheDefaultFile) {
    TempDir dir;
    const mode_t old_umask = ::umask(022);
    RecordingMessages messages;
    NameFile names(dir.path(), messages);
    const std::string file = dir.path() + "/name.txt";
    EXPECT_EQ(names.path(), file);

    EXPECT_EQ(names.load_title(), "Tarnwick");
    EXPECT_EQ(messages.log, (Log{"not found: " + file, "created"}));
    ::umask(old_umask);

    const std::string bytes = read_bytes(file);
    // 27 bytes of title, 3218 of headers, 256 * 286 of names.
    EXPECT_EQ(bytes.size(), 76461u);
    EXPECT_EQ(bytes.substr(0, 27),
              "[\xC8\xED\xBC\xFE\xCA\xF4\xD0\xD4]\r\n\xC3\xFB\xB3\xC6=Tarnwick\r\n");
    EXPECT_EQ(bytes.substr(bytes.size() - 19),
              "\xB5\xDA"
              "16\xC2\xB7\xC3\xFB\xB3\xC6=\xB5\xDA"
              "16\xC2\xB7\r\n");
    EXPECT_EQ(bytes, complete_file());
    EXPECT_EQ(mode_of(file), 0644u);

    EXPECT_EQ(names.load_names("1"), default_names());
    EXPECT_EQ(names.channel_name("255", "16"), "第16路");
    EXPECT_EQ(messages.log.size(), 2u);

    RecordingMessages again;
    EXPECT_EQ(NameFile(dir.path(), again).load_title(), "Tarnwick");
    EXPECT_EQ(again.log, Log{});
}

TEST(NameFile, LaterStartsTakeTheTitleFromTheFile) {
    const std::string title_line = gbk_title_key + "=Tarnwick\r\n";
    struct {
        const char* what;
        std::string file;
        const char* caption;
    } cases[] = {
        {"defaults", complete_file(), "Tarnwick"},
        {"changed by hand",
         replaced(complete_file(), title_line, gbk_title_key + "=" + gbk_pump_station + "\r\n"),
         "泵站"},
        {"quoted, with blanks",
         replaced(complete_file(), title_line,
                  gbk_title_key + " = \"" + gbk_pump_station + " 1\" \r\n"),
         "泵站 1"},
        {"title key missing", replaced(complete_file(), title_line, ""), ""},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_bytes(dir.file("name.txt"), c.file);
        RecordingMessages messages;
        EXPECT_EQ(NameFile(dir.path(), messages).load_title(), c.caption) << c.what;
        EXPECT_EQ(messages.log, Log{}) << c.what;
        EXPECT_EQ(read_bytes(dir.file("name.txt")), c.file) << c.what;
    }
}

TEST(NameFile, LoadNamesUsesTheAddressTextAsItStands) {
    TempDir dir;
    write_bytes(dir.file("name.txt"), complete_file({{{7, 3}, gbk_inlet_pump}}));
    Names changed = default_names();
    changed[2] = "进水泵";
    struct {
        const char* address;
        Names expected;
    } cases[] = {
        {"1", default_names()}, {"255", default_names()},
        {"7", changed},         {"05", Names{}},  // [地址码05] is never written by the defaults
        {"256", Names{}},       {"", Names{}},
        {"abc", Names{}},
    };
    RecordingMessages messages;
    NameFile names(dir.path(), messages);
    for (const auto& c : cases) EXPECT_EQ(names.load_names(c.address), c.expected) << c.address;
    EXPECT_EQ(messages.log, Log{});
}

TEST(NameFile, MissingFileIsReportedOnEveryRead) {
    TempDir dir;
    RecordingMessages messages;
    NameFile names(dir.path(), messages);
    const std::string text = "not found: " + names.path();
    EXPECT_EQ(names.load_names("1"), Names{});
    EXPECT_EQ(messages.log, Log(16, text));
    EXPECT_EQ(names.channel_name("1", "1"), "");
    EXPECT_EQ(names.set_channel_name("1", "1", "x"), WriteError::file_missing);
    EXPECT_EQ(messages.log, Log(18, text));
    EXPECT_FALSE(std::filesystem::exists(names.path()));
}

TEST(NameFile, SetChannelNameChangesOneLine) {
    struct {
        const char* address;
        const char* channel;
        const char* name;
        std::string expected;
    } cases[] = {
        {"7", "3", "进水泵", complete_file({{{7, 3}, gbk_inlet_pump}})},
        {"255", "16", "泵站", complete_file({{{255, 16}, gbk_pump_station}})},
        {"0", "1", "", complete_file({{{0, 1}, ""}})},
        {"05", "1", "泵站", complete_file() + header("05") + key_line(1, gbk_pump_station)},
        {"1", "17", "x",
         replaced(
             complete_file(), key_line(16, default_name(16)) + header("2"),
             key_line(16, default_name(16)) + gbk_di + "17" + gbk_lu_key + "=x\r\n" + header("2"))},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_bytes(dir.file("name.txt"), complete_file());
        RecordingMessages messages;
        NameFile names(dir.path(), messages);
        EXPECT_EQ(names.set_channel_name(c.address, c.channel, c.name), WriteError::none);
        EXPECT_EQ(read_bytes(names.path()), c.expected) << c.address << "/" << c.channel;
        EXPECT_EQ(names.channel_name(c.address, c.channel), c.name);
        EXPECT_EQ(messages.log, Log{});
    }
}

TEST(NameFile, SetChannelNameRefusesAndLeavesTheFile) {
    struct {
        const char* name;
        bool read_only;
        WriteError why;
    } cases[] = {
        {"泵\n站", false, WriteError::line_break},
        {"\xF0\x9F\x92\xA7", false, WriteError::not_gbk},
        {"\xED\x95\x9C", false, WriteError::not_gbk},
        {"泵站", true, WriteError::read_only},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_bytes(dir.file("name.txt"), complete_file());
        if (c.read_only) ::chmod(dir.file("name.txt").c_str(), 0444);
        RecordingMessages messages;
        NameFile names(dir.path(), messages);
        EXPECT_EQ(names.set_channel_name("1", "1", c.name), c.why) << c.name;
        EXPECT_EQ(read_bytes(names.path()), complete_file()) << c.name;
        EXPECT_EQ(names.channel_name("1", "1"), "第1路");
        EXPECT_EQ(messages.log, Log{});
    }
}

// The defaults of the addresses from..255, skipping one.
std::string default_sections(int from, int skip = -1) {
    std::string s;
    for (int a = from; a < 256; ++a)
        if (a != skip) s += default_section(a);
    return s;
}

TEST(NameFile, IncompleteFileIsCompletedKeepingTheOperatorsValues) {
    const std::string operator_title = gbk_title_key + "=" + gbk_pump_station + "\r\n";
    std::string address1_rest;  // channel 1 and 3..16, added after channel 2
    for (int c = 1; c <= 16; ++c)
        if (c != 2) address1_rest += key_line(c, default_name(c));
    struct {
        const char* what;
        std::string before;
        std::string after;
        const char* caption;
    } cases[] = {
        {"operator's title and a name, [地址码0] lost",
         "[" + gbk_software + "]\r\n" + operator_title + "\r\n" + header("1") +
             key_line(2, gbk_inlet_pump) + "; note\r\n",
         "[" + gbk_software + "]\r\n" + operator_title + "\r\n" + header("1") +
             key_line(2, gbk_inlet_pump) + address1_rest + "; note\r\n" + default_section(0) +
             default_sections(2),
         "泵站"},
        {"title section without its key", "[" + gbk_software + "]\r\n; empty",
         "[" + gbk_software + "]\r\n" + gbk_title_key + "=Tarnwick\r\n; empty\r\n" +
             default_sections(0),
         "Tarnwick"},
        {"only a comment, no final line break", "; names", "; names\r\n" + complete_file(),
         "Tarnwick"},
        {"empty file", "", complete_file(), "Tarnwick"},
        // The check wants the exact line; the reader trims, so nothing is missing.
        {"blank inside the header",
         replaced(complete_file(), header("0"), "[" + gbk_address + "0 ]\r\n"),
         replaced(complete_file(), header("0"), "[" + gbk_address + "0 ]\r\n"), "Tarnwick"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_bytes(dir.file("name.txt"), c.before);
        RecordingMessages messages;
        NameFile names(dir.path(), messages);
        EXPECT_EQ(names.load_title(), c.caption) << c.what;
        EXPECT_EQ(messages.log, Log{"created"}) << c.what;
        EXPECT_EQ(read_bytes(names.path()), c.after) << c.what;
    }
}

TEST(NameFile, ReadOnlyIncompleteFileIsNotChanged) {
    TempDir dir;
    const std::string before =
        "[" + gbk_software + "]\r\n" + gbk_title_key + "=" + gbk_pump_station + "\r\n";
    write_bytes(dir.file("name.txt"), before);
    ::chmod(dir.file("name.txt").c_str(), 0444);
    RecordingMessages messages;
    NameFile names(dir.path(), messages);
    EXPECT_EQ(names.load_title(), "泵站");
    EXPECT_EQ(messages.log, Log{"created"});
    EXPECT_EQ(read_bytes(names.path()), before);
}

// A read-only home, a full disk: one message naming the file and the reason,
// never "created"; the panel then runs on the defaults and saves nothing.
TEST(NameFile, AFileThatCannotBeCreatedIsReportedOnceAndTheDefaultsShow) {
    TempDir dir;
    const auto at = [](std::string path, std::string problem) {
        NameFileLocation where;
        where.path = std::move(path);
        where.problem = std::move(problem);
        return where;
    };
    struct Row {
        const char* what;
        NameFileLocation where;
        std::string reason;
    } rows[] = {
        {"the location says why", at(dir.file("name.txt"), "/home/op: denied"), "/home/op: denied"},
        {"the write fails", at(dir.file("gone/name.txt"), ""),
         dir.file("gone/name.txt") + ": No such file or directory"},
    };
    for (const Row& row : rows) {
        RecordingMessages messages;
        NameFile names(row.where, messages);
        EXPECT_EQ(names.load_title(), "Tarnwick") << row.what;
        EXPECT_EQ(messages.log, Log{"unwritable: " + row.where.path + " (" + row.reason + ")"});
        EXPECT_EQ(names.load_names("1"), default_names()) << row.what;
        EXPECT_EQ(names.load_names("05"), Names{}) << row.what;
        EXPECT_EQ(names.channel_name("255", "16"), "第16路") << row.what;
        EXPECT_EQ(names.set_channel_name("1", "1", "泵站"), WriteError::io_error) << row.what;
        EXPECT_EQ(names.load_names("1")[0], "第1路") << row.what;
        EXPECT_EQ(messages.log.size(), 1u) << row.what;
        EXPECT_FALSE(std::filesystem::exists(row.where.path)) << row.what;
    }
}

// A file the Windows program made and a technician then edited, using each
// rule of the Windows profile functions once: a note after the header of
// address 1, channel 2 of address 2 commented out at the end of its section,
// vertical tabs around channel 1 of address 3, no line break after the last
// line. Sections 1, 2 and 3 and the last line are given.
std::string windows_file(const std::string& section1, const std::string& section2,
                         const std::string& section3, const std::string& last_line) {
    std::string s = title_lines + default_section(0) + section1 + section2 + section3;
    for (int a = 4; a < 256; ++a) s += default_section(a);
    return s.substr(0, s.size() - key_line(16, default_name(16)).size()) + last_line;
}

TEST(NameFile, AFileUsingEachWindowsRuleReadsAndEditsAsOnWindows) {
    std::string channels1;  // address 1 after its header
    std::string channels2;  // address 2 without channel 2
    for (int c = 1; c <= 16; ++c) {
        channels1 += key_line(c, default_name(c));
        if (c != 2) channels2 += key_line(c, default_name(c));
    }
    std::string channels3 = channels1.substr(key_line(1, default_name(1)).size());
    const std::string noted =
        "[" + gbk_address + "1] ;\xBE\xC9[\xB1\xB8\xD3\xC3]\r\n";                    // ;旧[备用]
    const std::string old_pump = ";" + gbk_di + "2" + gbk_lu_key + "=\xBE\xC9\r\n";  // =旧
    const std::string vt_pump =
        "\v" + gbk_di + "1" + gbk_lu_key + "\v=\v" + gbk_inlet_pump + "\v\r\n";
    const std::string last = gbk_di + "16" + gbk_lu_key + "=" + default_name(16);
    const std::string section1 = noted + channels1;
    const std::string section2 = header("2") + channels2 + old_pump;
    const std::string section3 = header("3") + vt_pump + channels3;
    const std::string before = windows_file(section1, section2, section3, last);
    struct {
        const char* address;
        const char* channel;
        std::string after;
    } renames[] = {
        // In place under the noted header; no second [地址码1] at the end.
        {"1", "3",
         windows_file(
             replaced(section1, key_line(3, default_name(3)), key_line(3, gbk_pump_station)),
             section2, section3, last)},
        // After the last real key, the comment after it.
        {"2", "2",
         windows_file(section1, header("2") + channels2 + key_line(2, gbk_pump_station) + old_pump,
                      section3, last)},
        {"3", "1",
         windows_file(section1, section2,
                      header("3") + "\v" + gbk_di + "1" + gbk_lu_key + "\v=" + gbk_pump_station +
                          "\r\n" + channels3,
                      last)},
        {"255", "16",
         windows_file(section1, section2, section3,
                      gbk_di + "16" + gbk_lu_key + "=" + gbk_pump_station + "\r\n")},
    };
    Names address2 = default_names();
    address2[1] = "";
    Names address3 = default_names();
    address3[0] = "进水泵";
    for (const auto& r : renames) {
        TempDir dir;
        write_bytes(dir.file("name.txt"), before);
        RecordingMessages messages;
        NameFile names(dir.path(), messages);
        EXPECT_EQ(names.load_title(), "Tarnwick");
        EXPECT_EQ(names.load_names("1"), default_names());
        EXPECT_EQ(names.load_names("2"), address2);
        EXPECT_EQ(names.load_names("3"), address3);
        EXPECT_EQ(names.channel_name("255", "16"), "第16路");
        EXPECT_EQ(read_bytes(names.path()), before) << "reading changed the file";
        EXPECT_EQ(names.set_channel_name(r.address, r.channel, "泵站"), WriteError::none);
        EXPECT_EQ(read_bytes(names.path()), r.after) << r.address << "/" << r.channel;
        EXPECT_EQ(names.channel_name(r.address, r.channel), "泵站");
        EXPECT_EQ(messages.log, Log{});
    }
}

// complete_file as a Linux editor saves it: the same lines in UTF-8, names
// given in UTF-8.
std::string complete_file_utf8(const std::map<std::pair<int, int>, std::string>& names = {}) {
    std::string s = "[软件属性]\r\n名称=Tarnwick\r\n";
    for (int a = 0; a < 256; ++a) {
        s += "[地址码" + std::to_string(a) + "]\r\n";
        for (int c = 1; c <= 16; ++c) {
            const auto changed = names.find({a, c});
            s += "第" + std::to_string(c) + "路名称=" +
                 (changed == names.end() ? "第" + std::to_string(c) + "路" : changed->second) +
                 "\r\n";
        }
    }
    return s;
}

// A name file saved as UTF-8 is converted to GBK on the first access of a
// run, its bytes kept beside it first; one it cannot convert is left alone.
TEST(NameFile, Utf8FileIsConvertedOnceOrLeftAlone) {
    const std::string title_utf8 = "名称=Tarnwick\r\n";
    const std::string pump_utf8 = complete_file_utf8({{{1, 2}, "进水泵"}});
    const std::string pump_gbk = complete_file({{{1, 2}, gbk_inlet_pump}});
    const std::string emoji_utf8 = complete_file_utf8({{{1, 2}, "泵\xF0\x9F\x92\xA7"}});
    const std::string bom = "\xEF\xBB\xBF";
    const std::string converted = "converted: name.txt -> name.txt.utf8";
    Names pump_names = default_names();
    pump_names[1] = "进水泵";
    Names emoji_names = default_names();
    emoji_names[1] = "泵?";
    // Paths in the reports are relative to the directory. A report of a
    // conversion names where the original bytes went; after a report that
    // the file was not converted, renames are refused.
    struct Case {
        const char* what;
        std::string before;
        std::string after;
        Log log;
        Names names;                    // of address 1
        std::string older_backup = {};  // name.txt.utf8 before the start, when not empty
        unsigned mode = 0644;
    } cases[] = {
        {"UTF-8, CR LF", pump_utf8, pump_gbk, {converted}, pump_names},
        {"byte-order mark", bom + pump_utf8, pump_gbk, {converted}, pump_names},
        {"lone LF kept",
         replaced(pump_utf8, "[软件属性]\r\n" + title_utf8, "[软件属性]\n" + title_utf8),
         replaced(pump_gbk, "[" + gbk_software + "]\r\n", "[" + gbk_software + "]\n"),
         {converted},
         pump_names},
        {"mark and ASCII only, then completed",
         bom + "; bench 3\r\n",
         "; bench 3\r\n" + complete_file(),
         {converted, "created"},
         default_names()},
        {"pure ASCII is GBK already",
         "; bench 3\r\n",
         "; bench 3\r\n" + complete_file(),
         {"created"},
         default_names()},
        {"an earlier backup stays", pump_utf8, pump_gbk, {converted + ".1"}, pump_names, "older"},
        {"a backup from a run stopped before converting",
         pump_utf8,
         pump_gbk,
         {converted},
         pump_names,
         pump_utf8},
        // Title 2 lines, address 0 17, so address 1 channel 2 is line 22.
        {"a character GBK lacks",
         emoji_utf8,
         emoji_utf8,
         {"not converted: name.txt line 22: 第2路名称=泵\xF0\x9F\x92\xA7"},
         emoji_names},
        {"read-only",
         pump_utf8,
         pump_utf8,
         {"not converted: name.txt line 0: "},
         pump_names,
         "",
         0444},
        // The backup is as private as the file was.
        {"owner only", pump_utf8, pump_gbk, {converted}, pump_names, "", 0600},
        // GBK behind a mark is no UTF-8: its lines read as the GBK they are.
        {"mark before GBK",
         bom + pump_gbk,
         bom + pump_gbk,
         {"not converted: name.txt line 1: [" + gbk_software + "]"},
         pump_names},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string file = dir.file("name.txt");
        write_bytes(file, c.before);
        if (!c.older_backup.empty()) write_bytes(file + ".utf8", c.older_backup);
        ::chmod(file.c_str(), c.mode);
        RecordingMessages messages;
        NameFile names(dir.path(), messages);
        const auto relative_log = [&] {
            Log log = messages.log;
            for (std::string& line : log)
                for (auto at = line.find(dir.path() + "/"); at != std::string::npos;
                     at = line.find(dir.path() + "/"))
                    line.erase(at, dir.path().size() + 1);
            return log;
        };
        EXPECT_EQ(names.load_title(), "Tarnwick") << c.what;
        EXPECT_EQ(relative_log(), c.log) << c.what;
        EXPECT_EQ(read_bytes(file), c.after) << c.what;

        // Nothing else beside it but the writers' lock: no temporary, no
        // backup where none was made.
        std::set<std::string> expected_files{"name.txt", "name.txt.lock"};
        const bool kept = c.log[0].starts_with("not converted");
        if (c.log[0].starts_with("converted")) {
            const std::string backup = c.log[0].substr(c.log[0].find(" -> ") + 4);
            EXPECT_EQ(read_bytes(dir.file(backup)), c.before) << c.what;
            EXPECT_EQ(mode_of(dir.file(backup)), c.mode) << c.what;
            expected_files.insert(backup);
        }
        if (!c.older_backup.empty()) {
            EXPECT_EQ(read_bytes(file + ".utf8"), c.older_backup) << c.what;
            expected_files.insert("name.txt.utf8");
        }
        std::set<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            files.insert(entry.path().filename().string());
        EXPECT_EQ(files, expected_files) << c.what;

        EXPECT_EQ(names.load_names("1"), c.names) << c.what;
        EXPECT_EQ(names.set_channel_name("1", "3", "主阀"),
                  kept ? WriteError::file_utf8 : WriteError::none)
            << c.what;
        if (kept) {
            EXPECT_EQ(read_bytes(file), c.after) << c.what;
        }
        EXPECT_EQ(relative_log(), c.log) << c.what << ": one report a run";
    }
}

// A file an editor saves as UTF-8 after the start: a read takes it as it is
// and changes nothing; the next rename acts as a start would, converting it
// (its bytes kept first) or refusing it, and never appends GBK to UTF-8.
TEST(NameFile, Utf8SavedWhileRunningIsConvertedOrRefusedByTheNextRename) {
    const std::string pump_utf8 = complete_file_utf8({{{1, 2}, "进水泵"}});
    const std::string emoji_utf8 = complete_file_utf8({{{1, 2}, "泵\xF0\x9F\x92\xA7"}});
    struct Row {
        const char* what;
        std::string saved;
        std::string read;  // channel 2 of address 1
        WriteError why;
        std::string after;
        std::string last_report;  // {} for the file's path
    } rows[] = {
        {"GBK can hold it", pump_utf8, "进水泵", WriteError::none,
         complete_file({{{1, 2}, gbk_inlet_pump}, {{1, 3}, gbk_pump_station}}),
         "converted: {} -> {}.utf8"},
        {"a character GBK lacks", emoji_utf8, "泵?", WriteError::file_utf8, emoji_utf8,
         "not converted: {} line 22: 第2路名称=泵\xF0\x9F\x92\xA7"},
    };
    for (const Row& r : rows) {
        TempDir dir;
        const std::string file = dir.file("name.txt");
        write_bytes(file, complete_file());
        RecordingMessages messages;
        NameFile names(dir.path(), messages);
        ASSERT_EQ(names.load_title(), "Tarnwick");
        write_bytes(file, r.saved);
        EXPECT_EQ(names.load_names("1")[1], r.read) << r.what;
        EXPECT_EQ(read_bytes(file), r.saved) << r.what << ": a read wrote";
        EXPECT_FALSE(std::filesystem::exists(file + ".utf8")) << r.what;
        EXPECT_EQ(names.set_channel_name("1", "3", "泵站"), r.why) << r.what;
        EXPECT_EQ(read_bytes(file), r.after) << r.what;
        EXPECT_EQ(std::filesystem::exists(file + ".utf8"), r.why == WriteError::none) << r.what;
        ASSERT_EQ(messages.log.size(), 2u) << r.what;
        EXPECT_EQ(messages.log[0], "notice: " + file_read_as_utf8_text(file)) << r.what;
        std::string report = r.last_report;
        for (auto at = report.find("{}"); at != std::string::npos; at = report.find("{}"))
            report.replace(at, 2, file);
        EXPECT_EQ(messages.log[1], report) << r.what;
    }
}

// A name file that is no ordinary file of ours, or too big to be one: one
// notice naming it, the defaults, nothing written or created, no hang.
TEST(NameFile, WhatIsNoNameFileIsNeitherReadNorWritten) {
    struct Row {
        const char* what;
        const char* says;  // a word of the notice
        bool needs_root = false;
        std::function<void(const TempDir&)> make;
    } rows[] = {
        {"a FIFO", "FIFO", false,
         [](const TempDir& d) { ::mkfifo(d.file("name.txt").c_str(), 0666); }},
        {"a directory", "目录", false,
         [](const TempDir& d) { std::filesystem::create_directory(d.file("name.txt")); }},
        {"a link to a device", "设备", false,
         [](const TempDir& d) {
             std::filesystem::create_symlink("/dev/zero", d.file("name.txt"));
         }},
        {"over 16 MiB", "16 MiB", false,
         [](const TempDir& d) {
             write_bytes(d.file("name.txt"), complete_file());
             std::filesystem::resize_file(d.file("name.txt"), 17u << 20);
         }},
        // Another user's link in a directory others may write: the operator's
        // own notes file (UTF-8, private) must neither be read nor rewritten.
        {"another user's link", "nobody", true,
         [](const TempDir& d) {
             ::chmod(d.path().c_str(), 0777);
             write_bytes(d.file("notes"), "笔记\n");
             ::chmod(d.file("notes").c_str(), 0600);
             std::filesystem::create_symlink("notes", d.file("name.txt"));
             (void)!::lchown(d.file("name.txt").c_str(), 65534, 65534);
         }},
    };
    for (const Row& r : rows) {
        if (r.needs_root && ::geteuid() != 0) continue;
        TempDir dir;
        r.make(dir);
        const auto listing = [&] {
            std::map<std::string, std::string> files;
            for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
                files[entry.path().filename().string()] =
                    entry.is_regular_file() && entry.file_size() < (1u << 20)
                        ? read_bytes(entry.path().string())
                        : "";
            return files;
        };
        const auto before = listing();
        RecordingMessages messages;
        NameFileLocation where;
        where.path = dir.file("name.txt");
        EXPECT_EQ(names_without_creating(where, 1, messages), default_names()) << r.what;
        NameFile names(dir.path(), messages);
        EXPECT_EQ(names.load_title(), "Tarnwick") << r.what;
        EXPECT_EQ(names.load_names("1"), default_names()) << r.what;
        EXPECT_EQ(names.set_channel_name("1", "1", "泵站"), WriteError::refused) << r.what;
        EXPECT_NE(refused_name_text(WriteError::refused, names.path(), "1", "1").find(r.says),
                  std::string::npos)
            << r.what;
        EXPECT_EQ(listing(), before) << r.what << ": something was written";
        ASSERT_EQ(messages.log.size(), 2u) << r.what << ": one notice per reader";
        EXPECT_TRUE(messages.log[1].starts_with("notice: 名称文件 " + names.path())) << r.what;
        EXPECT_NE(messages.log[1].find(r.says), std::string::npos) << messages.log[1];
    }
}

// The operator's own link is followed, also in a directory others may write;
// reading it converts nothing, a rename converts it.
TEST(NameFile, AnOperatorsOwnLinkIsFollowed) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 01777);
    const std::string target = dir.file("names.gbk");
    write_bytes(target, complete_file_utf8());
    std::filesystem::create_symlink("names.gbk", dir.file("name.txt"));
    RecordingMessages messages;
    NameFileLocation where;
    where.path = dir.file("name.txt");
    EXPECT_EQ(names_without_creating(where, 1, messages), default_names());
    EXPECT_EQ(read_bytes(target), complete_file_utf8()) << "a read converted the file";
    NameFile names(dir.path(), messages);
    EXPECT_EQ(names.set_channel_name("1", "3", "泵站"), WriteError::none);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("name.txt")));
    EXPECT_EQ(read_bytes(target), complete_file({{{1, 3}, gbk_pump_station}}));
}

TEST(NameFile, FileSitsBesideTheExecutableNotInTheWorkingDirectory) {
    TempDir dir;
    const auto old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const std::string exe_dir = executable_directory();
    std::filesystem::current_path(old_cwd);
    EXPECT_NE(exe_dir, dir.path());
    EXPECT_TRUE(std::filesystem::path(exe_dir).is_absolute());
    EXPECT_NE(exe_dir.back(), '/');
    EXPECT_TRUE(std::filesystem::is_regular_file(exe_dir + "/names_test")) << exe_dir;
}

// A writer killed at any instant leaves the old file or the new one, whole.
TEST(NameFile, KilledWriterLeavesAWholeFile) {
    TempDir dir;
    const std::string old_file = complete_file();
    const std::string new_file = complete_file({{{1, 1}, gbk_inlet_pump}});
    write_bytes(dir.file("name.txt"), old_file);

    // Kill within about three writes' time so some kills land mid-write.
    SilentMessages silent;
    const auto two_writes = time_in_child([&] {
        NameFile writer(dir.path(), silent);
        for (const char* name : {"进水泵", "第1路"}) (void)writer.set_channel_name("1", "1", name);
    });
    ASSERT_EQ(read_bytes(dir.file("name.txt")), old_file);
    const auto window = std::chrono::duration_cast<std::chrono::microseconds>(two_writes * 3 / 2);

    std::mt19937 random(12345);
    std::uniform_int_distribution<long> delay(0, window.count() + 100);
    int changes = 0;
    std::string last = old_file;
    for (int round = 0; round < 200; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            NameFile writer(dir.path(), silent);
            for (bool flip = writer.channel_name("1", "1") == "第1路";; flip = !flip)
                writer.set_channel_name("1", "1", flip ? "进水泵" : "第1路");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const std::string now = read_bytes(dir.file("name.txt"));
        ASSERT_TRUE(now == old_file || now == new_file)
            << "round " << round << ", " << now.size() << " bytes";
        if (now != last) ++changes;
        last = now;
    }
    EXPECT_GT(changes, 0) << "the writer never finished a write before being killed";
    RecordingMessages messages;
    EXPECT_EQ(NameFile(dir.path(), messages).load_names("1")[0],
              last == old_file ? "第1路" : "进水泵");
}

// The per-user directory follows the XDG base directory rules: a relative or
// empty XDG_CONFIG_HOME is ignored, and HOME stands in for it.
TEST(Locations, PerUserDirectoryFollowsTheXdgRules) {
    struct Row {
        const char* xdg_config_home;  // nullptr: unset
        const char* home;
        const char* directory;
    } rows[] = {
        {"/cfg", "/home/op", "/cfg/tarnwick"},
        {"/cfg/", "/home/op", "/cfg/tarnwick"},
        {nullptr, "/home/op", "/home/op/.config/tarnwick"},
        {"", "/home/op", "/home/op/.config/tarnwick"},
        {"cfg", "/home/op/", "/home/op/.config/tarnwick"},
        {"~/.config", "/home/op", "/home/op/.config/tarnwick"},
    };
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    for (const Row& row : rows) {
        xdg.set(row.xdg_config_home);
        home.set(row.home);
        EXPECT_EQ(user_config_directory(), row.directory)
            << (row.xdg_config_home ? row.xdg_config_home : "(unset)");
        EXPECT_EQ(settings_file_path(), std::string(row.directory) + "/tarnwick.conf");
    }
}

TEST(Locations, SeedsAreBesideTheProgramThenUnderEachConfigDirectory) {
    struct Row {
        const char* xdg_config_dirs;  // nullptr: unset
        std::vector<std::string> seeds;
    } rows[] = {
        {nullptr, {"/opt/t/name.txt", "/etc/xdg/tarnwick/name.txt"}},
        {"", {"/opt/t/name.txt", "/etc/xdg/tarnwick/name.txt"}},
        {"/site:/etc/xdg/",
         {"/opt/t/name.txt", "/site/tarnwick/name.txt", "/etc/xdg/tarnwick/name.txt"}},
        {"site::/cab", {"/opt/t/name.txt", "/cab/tarnwick/name.txt"}},
        {"site", {"/opt/t/name.txt", "/etc/xdg/tarnwick/name.txt"}},
    };
    ScopedEnv dirs("XDG_CONFIG_DIRS", nullptr);
    for (const Row& row : rows) {
        dirs.set(row.xdg_config_dirs);
        EXPECT_EQ(name_file_seeds("/opt/t"), row.seeds)
            << (row.xdg_config_dirs ? row.xdg_config_dirs : "(unset)");
    }
}

// Where name.txt goes for a program directory its user may or may not write,
// an installed copy, handed-out copies and a read-only home; then what
// putting the per-user file in place leaves.
TEST(Locations, NameFileIsBesideAWritableProgramElsePerUserSeededFromTheFirstCopy) {
    using Why = NameFileLocation::Why;
    enum Place { none = 0, bin = 1, user = 2, etc1 = 4, etc2 = 8 };
    struct Row {
        const char* what;
        bool bin_writable;
        bool installed;
        int name_files;  // Places holding a name.txt
        bool home_writable;
        Why why;
        Place path;
        Place seed;
        bool problem;
    } rows[] = {
        {"portable copy", true, false, none, true, Why::program_directory_writable, bin, none,
         false},
        {"portable copy, copies handed out", true, false, etc1, true,
         Why::program_directory_writable, bin, none, false},
        {"installed, directory writable (root)", true, true, none, true, Why::installed_copy, user,
         none, false},
        {"installed, a copy beside it", true, true, bin | etc2, true, Why::installed_copy, user,
         bin, false},
        {"read-only program directory", false, false, etc2, true, Why::program_directory_read_only,
         user, etc2, false},
        {"first config directory wins", false, false, etc1 | etc2, true,
         Why::program_directory_read_only, user, etc1, false},
        {"per-user file already there", false, false, user | bin | etc1, true,
         Why::program_directory_read_only, user, none, false},
        {"read-only home", false, false, etc1, false, Why::program_directory_read_only, user, etc1,
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir root;
        const std::map<Place, std::string> dirs = {{bin, root.file("bin")},
                                                   {user, root.file("home/.config/tarnwick")},
                                                   {etc1, root.file("etc1/tarnwick")},
                                                   {etc2, root.file("etc2/tarnwick")}};
        // Each copy its own bytes, lone LF, trailing blanks and all.
        const auto bytes_of = [](Place p) {
            return "; copy " + std::to_string(p) + " \n[" + gbk_address + "1]\r\n  " +
                   key_line(1, gbk_pump_station) + "\x1A";
        };
        for (const auto& [place, dir] : dirs) {
            std::filesystem::create_directories(dir);
            if (row.name_files & place) write_bytes(dir + "/name.txt", bytes_of(place));
        }
        if (!(row.name_files & user)) std::filesystem::remove_all(root.file("home/.config"));
        ::chmod(dirs.at(bin).c_str(), row.bin_writable ? 0755 : 0555);
        ::chmod(root.file("home").c_str(), row.home_writable ? 0755 : 0555);
        ScopedEnv home("HOME", root.file("home").c_str());
        ScopedEnv xdg_home("XDG_CONFIG_HOME", nullptr);
        ScopedEnv xdg_dirs("XDG_CONFIG_DIRS",
                           ("etc0:" + root.file("etc1") + ":" + root.file("etc2")).c_str());

        NameFileLocation where =
            locate_name_file(dirs.at(bin), row.installed ? dirs.at(bin) : root.file("usr/bin"));
        EXPECT_EQ(where.why, row.why);
        EXPECT_EQ(where.path, dirs.at(row.path) + "/name.txt");
        EXPECT_EQ(where.seed, row.seed == none ? "" : dirs.at(row.seed) + "/name.txt");
        EXPECT_EQ(where.problem, row.problem ? root.file("home") + ": Permission denied" : "");

        prepare_name_file(where);
        EXPECT_EQ(where.problem.empty(), !row.problem) << where.problem;
        const std::string user_file = dirs.at(user) + "/name.txt";
        if (row.name_files & user) {
            EXPECT_EQ(read_bytes(user_file), bytes_of(user));
        } else if (row.seed != none && !row.problem) {
            EXPECT_EQ(read_bytes(user_file), bytes_of(row.seed));
            EXPECT_EQ(mode_of(dirs.at(user)), 0700u);
        } else {
            EXPECT_FALSE(std::filesystem::exists(user_file));
        }
        EXPECT_EQ(std::filesystem::exists(root.file("home/.config")),
                  row.path == user && !row.problem);
        ::chmod(dirs.at(bin).c_str(), 0755);
        ::chmod(root.file("home").c_str(), 0755);
    }
}

}  // namespace
