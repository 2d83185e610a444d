#include "names/profile_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "tests/names/names_support.h"

using namespace tarnwick::names;
using namespace tarnwick::names::test;
using namespace std::string_literals;

namespace {

using Log = std::vector<std::string>;

// [地址码1] and 第2路名称=进水泵, each with CR LF.
const std::string address1 = "[" + gbk_address + "1]\r\n";
const std::string pump_line = gbk_di + "2" + gbk_lu_key + "=" + "\xBD\xF8\xCB\xAE\xB1\xC3" + "\r\n";
// [地址码1] ;旧[备用]: a technician's note after the header.
const std::string address1_noted = "[" + gbk_address + "1] ;\xBE\xC9[\xB1\xB8\xD3\xC3]\r\n";
// ;第2路名称=旧: a name commented out.
const std::string old_pump_comment = ";" + gbk_di + "2" + gbk_lu_key + "=\xBE\xC9\r\n";

struct ReadCase {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::string expected;
};

// Each case's file, then its key read back; no read may complain.
void expect_reads(std::span<const ReadCase> cases) {
    TempDir dir;
    const std::string file = dir.file("p.ini");
    RecordingMessages messages;
    for (const auto& c : cases) {
        write_bytes(file, c.file);
        EXPECT_EQ(read_ini(file, c.section, c.key, messages), c.expected) << c.what;
    }
    EXPECT_EQ(messages.log, Log{});
}

TEST(ReadIni, ReadsWhatTheWindowsProfileFunctionsRead) {
    const ReadCase cases[] = {
        {"CR LF", "[s]\r\nk=v\r\n", "s", "k", "v"},
        {"lone CR", "[s]\rk=v\rj=w", "s", "j", "w"},
        {"lone LF", "[s]\nk=v\n", "s", "k", "v"},
        {"blanks trimmed", " \t[ s ]\t\r\n  k \t=  v w \t\r\n", "s", "k", "v w"},
        {"vertical tab is a blank", "\v[\vs\v]\r\n\vk\v=\v\"v\"\v\r\n", "s", "k", "v"},
        {"names ignore ASCII case", "[SeC]\r\nKeY=v\r\n", "sEc", "kEy", "v"},
        {"double quotes", "[s]\r\nk= \" v \" \r\n", "s", "k", " v "},
        {"single quotes", "[s]\r\nk='v'\r\n", "s", "k", "v"},
        {"unmatched quotes stay", "[s]\r\nk=\"v'\r\n", "s", "k", "\"v'"},
        {"a lone quote stays", "[s]\r\nk=\"\r\n", "s", "k", "\""},
        {"'=' inside the value", "[s]\r\nk=a=b\r\n", "s", "k", "a=b"},
        {"empty value", "[s]\r\nk=\r\n", "s", "k", ""},
        {"first key wins", "[s]\r\nk=1\r\nK=2\r\n", "s", "k", "1"},
        {"first section wins", "[s]\r\nk=1\r\n[S]\r\nk=2\r\nj=3\r\n", "s", "k", "1"},
        {"later duplicate section not searched", "[s]\r\nk=1\r\n[s]\r\nj=3\r\n", "s", "j", ""},
        {"keys before any section belong to none", "k=0\r\n[s]\r\nj=1\r\n", "s", "k", ""},
        {"a line without '=' is no key", "[s]\r\nk\r\nk v\r\n", "s", "k", ""},
        {"name ends at the first ']'", "[a]b] x\r\nk=v\r\n", "a", "k", "v"},
        {"nothing after the first ']' is the name", "[a]b] x\r\nk=v\r\n", "a]b", "k", ""},
        {"a note after the header", address1_noted + pump_line, "地址码1", "第2路名称", "进水泵"},
        {"a comment is no key", "[s]\r\n;k=v\r\n", "s", ";k", ""},
        {"a comment after blanks is no key", "[s]\r\n \t\v;k=v\r\n", "s", ";k", ""},
        {"next section ends the search", "[s]\r\n[t]\r\nk=v\r\n", "s", "k", ""},
        {"absent section", "[s]\r\nk=v\r\n", "t", "k", ""},
        {"empty file", "", "s", "k", ""},
        {"Chinese names", address1 + pump_line, "地址码1", "第2路名称", "进水泵"},
        // A byte-wise parser takes 0x5D in 揮 for the closing bracket.
        {"trail byte ']' after the header", "[a] ; \x93\x5D\r\nk=v\r\n", "a", "k", "v"},
        {"trail byte ']' closes nothing", "[\x93\x5D\r\nk=v\r\n", "揮", "k", "v"},
        {"first ']' after a trail byte ']'", "[a\x93\x5D]b]\r\nk=v\r\n", "a揮", "k", "v"},
        {"section named 揮", "[\x93\x5D]\r\nk=v\r\n", "揮", "k", "v"},
        // 癆 is B0 41, 癮 B0 61: folding bytes would make them one name.
        {"trail byte 'A' is no letter", "[s]\r\n\xB0\x41=v\r\n", "s", "癮", ""},
        {"trail byte 'A' exact", "[s]\r\n\xB0\x41=v\r\n", "s", "癆", "v"},
        {"undecodable bytes", "[s]\r\nk=a\xFF\r\n", "s", "k", "a\xEF\xBF\xBD"},
        {"unencodable query", "[s]\r\nk=v\r\n", "s", "\xF0\x9F\x98\x80", ""},
    };
    expect_reads(cases);
}

TEST(ReadIni, LongValuesComeBackCutTo254BytesBetweenCharacters) {
    const std::string di = gbk_di;  // two bytes
    struct {
        const char* what;
        std::string stored;
        std::string expected;  // UTF-8
    } cases[] = {
        {"300 ASCII bytes", std::string(300, 'x'), std::string(254, 'x')},
        {"254 bytes fit", std::string(254, 'y'), std::string(254, 'y')},
        {"255 bytes", std::string(255, 'z'), std::string(254, 'z')},
        // 150 double-byte characters: 127 fill 254 bytes exactly.
        {"300 GBK bytes",
         [&] {
             std::string s;
             for (int i = 0; i < 150; ++i) s += di;
             return s;
         }(),
         [] {
             std::string s;
             for (int i = 0; i < 127; ++i) s += "第";
             return s;
         }()},
        // One byte ahead: character 127 would end at byte 255, so it is left out.
        {"301 GBK bytes",
         [&] {
             std::string s = "a";
             for (int i = 0; i < 150; ++i) s += di;
             return s;
         }(),
         [] {
             std::string s = "a";
             for (int i = 0; i < 126; ++i) s += "第";
             return s;
         }()},
    };
    TempDir dir;
    const std::string file = dir.file("p.ini");
    RecordingMessages messages;
    for (const auto& c : cases) {
        write_bytes(file, "[s]\r\nk=" + c.stored + "\r\n");
        EXPECT_EQ(read_ini(file, "s", "k", messages), c.expected) << c.what;
    }
}

struct WriteCase {
    const char* what;
    std::string before;
    const char* section;
    const char* key;
    const char* value;
    std::string after;
};

// "[]" heads a section whose name is empty. Found by fuzz/profile_fuzz: the
// empty name's position was lost and every read of such a file threw.
TEST(ReadIni, EmptySectionNameInTheFile) {
    const ReadCase cases[] = {
        {"[]", "[]\r\nk=v\r\n", "", "k", "v"},
        {"blanks only", "[ \t]\r\nk=v\r\n", " ", "k", "v"},
        {"without ']'", "[  \r\nk=v\r\n", "", "k", "v"},
        {"before the wanted section", "[]\r\nk=1\r\n[s]\r\nk=2\r\n", "s", "k", "2"},
        {"after the wanted section", "[s]\r\nk=1\r\n[]\r\nk=2\r\n", "s", "k", "1"},
    };
    expect_reads(cases);
    TempDir dir;
    const std::string file = dir.file("p.ini");
    RecordingMessages messages;
    write_bytes(file, "[s]\r\nk=1\r\n[]\r\n=2\r\n");
    EXPECT_EQ(write_ini(file, "", "j", "3", messages), 1);
    EXPECT_EQ(write_ini(file, "s", "k", "4", messages), 1);
    EXPECT_EQ(read_bytes(file), "[s]\r\nk=4\r\n[]\r\n=2\r\nj=3\r\n");
    EXPECT_EQ(read_ini(file, "", "", messages), "2");
    EXPECT_EQ(messages.log, Log{});
}

TEST(WriteIni, WritesWhatTheWindowsProfileFunctionsWrite) {
    const WriteCase cases[] = {
        {"changed key keeps its spelling and spacing up to '='",
         "; top\r\n[s]\r\n  Key \t= old  \r\n\r\n[t]\r\nkey=1\r\n", "S", "kEY", "new",
         "; top\r\n[s]\r\n  Key \t=new\r\n\r\n[t]\r\nkey=1\r\n"},
        {"quoted value replaced", "[s]\r\nk=\"old\"\r\n", "s", "k", "new", "[s]\r\nk=new\r\n"},
        {"new key after the last key, before comments and blank lines",
         "[s]\r\na=1\r\n; note\r\n\r\n[t]\r\n", "s", "b", "2",
         "[s]\r\na=1\r\nb=2\r\n; note\r\n\r\n[t]\r\n"},
        {"new key in a section without keys", "[s]\r\n; c\r\n", "s", "b", "2",
         "[s]\r\nb=2\r\n; c\r\n"},
        {"new section at the end", "[s]\r\na=1\r\n", "t", "b", "2", "[s]\r\na=1\r\n[t]\r\nb=2\r\n"},
        {"new section after a file without a final line break", "[s]\r\na=1", "t", "b", "2",
         "[s]\r\na=1\r\n[t]\r\nb=2\r\n"},
        {"new key after a last line without line break", "[s]\r\na=1", "s", "b", "2",
         "[s]\r\na=1\r\nb=2\r\n"},
        {"new key after a header at the very end", "[s]", "s", "b", "2", "[s]\r\nb=2\r\n"},
        {"changed key on a last line without line break", "[s]\r\na=1", "s", "a", "9",
         "[s]\r\na=9\r\n"},
        {"changed key after blanks, last line without line break", "[s]\r\n\va\v=1\v", "s", "a",
         "9", "[s]\r\n\va\v=9\r\n"},
        {"new key after a comment holding '='", "[s]\r\na=1\r\n;b=old\r\n[t]\r\n", "s", "b", "2",
         "[s]\r\na=1\r\nb=2\r\n;b=old\r\n[t]\r\n"},
        {"new key in a section holding only a comment", "[s]\r\n ;b=old", "s", "b", "2",
         "[s]\r\nb=2\r\n ;b=old"},
        {"header with a note", "[s] ; [old]\r\na=1\r\n", "s", "a", "2", "[s] ; [old]\r\na=2\r\n"},
        {"Chinese header with a note, commented name",
         address1_noted + pump_line + old_pump_comment, "地址码1", "第3路名称", "泵",
         address1_noted + pump_line + gbk_di + "3" + gbk_lu_key + "=\xB1\xC3\r\n" +
             old_pump_comment},
        {"CR-only file, new key", "[s]\ra=1\r[t]\r", "s", "b", "2", "[s]\ra=1\rb=2\r\n[t]\r"},
        {"CR-only file, changed key", "[s]\ra=1\r", "s", "a", "9", "[s]\ra=9\r"},
        {"CR-only file, changed last key without line break", "[s]\ra=1", "s", "a", "9",
         "[s]\ra=9\r\n"},
        {"CR-only file, new section", "[s]\ra=1\r", "t", "b", "2", "[s]\ra=1\r[t]\r\nb=2\r\n"},
        {"LF-only file, new key", "[s]\na=1\n[t]\n", "s", "b", "2", "[s]\na=1\nb=2\r\n[t]\n"},
        {"first of duplicate sections", "[s]\r\na=1\r\n[S]\r\nb=1\r\n", "s", "b", "2",
         "[s]\r\na=1\r\nb=2\r\n[S]\r\nb=1\r\n"},
        {"first of duplicate keys", "[s]\r\nk=1\r\nk=2\r\n", "s", "k", "3",
         "[s]\r\nk=3\r\nk=2\r\n"},
        {"keys before any section are left alone", "k=0\r\n", "s", "k", "1",
         "k=0\r\n[s]\r\nk=1\r\n"},
        {"empty file", "", "s", "k", "v", "[s]\r\nk=v\r\n"},
        {"unknown sections and odd lines untouched",
         "junk\r\n[x]\r\n = \r\n[s]\r\nk=1\r\n[y]\r\nz\r\n", "s", "k", "2",
         "junk\r\n[x]\r\n = \r\n[s]\r\nk=2\r\n[y]\r\nz\r\n"},
        {"value written as given", "[s]\r\n", "s", "k", " a = \"b\" ", "[s]\r\nk= a = \"b\" \r\n"},
        {"same value: the line is still rewritten after its '='", "[s]\r\nk = v\r\n", "s", "k", "v",
         "[s]\r\nk =v\r\n"},
        {"header with 揮 in a trailing comment", "[a] ; \x93\x5D\r\nk=1\r\n", "a", "k", "2",
         "[a] ; \x93\x5D\r\nk=2\r\n"},
        {"GBK name", address1, "地址码1", "第2路名称", "进水泵", address1 + pump_line},
        {"GBK section appended", "[s]\r\n", "揮", "k", "€", "[s]\r\n[\x93\x5D]\r\nk=\x80\r\n"},
    };
    TempDir dir;
    const std::string file = dir.file("p.ini");
    RecordingMessages messages;
    for (const auto& c : cases) {
        write_bytes(file, c.before);
        WriteError why = WriteError::io_error;
        EXPECT_EQ(write_ini(file, c.section, c.key, c.value, messages, &why), 1) << c.what;
        EXPECT_EQ(why, WriteError::none) << c.what;
        EXPECT_EQ(read_bytes(file), c.after) << c.what;
    }
    EXPECT_EQ(messages.log, Log{});
}

TEST(WriteIni, ValuesReadBackAsWritten) {
    const std::string values[] = {"第1路",
                                  "泵 A",
                                  "a=b",
                                  "[x]",
                                  "揮",
                                  "€·—",
                                  "; like a comment",
                                  "'",
                                  "\"",
                                  "",
                                  std::string(254, 'n')};
    TempDir dir;
    const std::string file = dir.file("p.ini");
    write_bytes(file, "; hand-made\r\n[地址码1]\r\n");
    RecordingMessages messages;
    for (const char* section : {"地址码1", "地址码2"}) {
        for (const std::string& value : values) {
            ASSERT_EQ(write_ini(file, section, "第3路名称", value, messages), 1) << value;
            EXPECT_EQ(read_ini(file, section, "第3路名称", messages), value) << value;
        }
    }
    EXPECT_EQ(messages.log, Log{});
}

TEST(WriteIni, RefusesValuesThatCannotBeStoredSoundly) {
    struct {
        std::string section, key, value;
        WriteError why;
    } cases[] = {
        {"s", "k", "a\r\n[t]", WriteError::line_break},
        {"s", "k", "a\nb", WriteError::line_break},
        {"s", "k", "a\rb", WriteError::line_break},
        {"s", "k", "a\0b"s, WriteError::line_break},
        {"s\n", "k", "v", WriteError::line_break},
        {"s", "k\r", "v", WriteError::line_break},
        {"s", "k", "泵\xF0\x9F\x98\x80", WriteError::not_gbk},
        {"s", "k", "\xED\x95\x9C", WriteError::not_gbk},
        {"s", "k", "bad\xC3", WriteError::not_gbk},
        {"s\xE3\x83\xBB", "k", "v", WriteError::not_gbk},
        {"s", "k=j", "v", WriteError::bad_key},
        {"s", " [k", "v", WriteError::bad_key},
        {"s", ";k", "v", WriteError::bad_key},
        {"s", "\v;k", "v", WriteError::bad_key},
        {"s]x", "k", "v", WriteError::bad_section},
        {"s]", "k", "v", WriteError::bad_section},
    };
    TempDir dir;
    const std::string file = dir.file("p.ini");
    const std::string before = "[s]\r\nk=old\r\n";
    write_bytes(file, before);
    RecordingMessages messages;
    for (const auto& c : cases) {
        WriteError why = WriteError::none;
        EXPECT_EQ(write_ini(file, c.section, c.key, c.value, messages, &why), 0) << c.value;
        EXPECT_EQ(why, c.why) << c.value;
        EXPECT_EQ(read_bytes(file), before) << c.value;
    }
    EXPECT_EQ(messages.log, Log{});
}

TEST(SectionExists, MatchesTheWholeLineExactly) {
    const std::string address0 = "[" + gbk_address + "0]";
    struct {
        std::string file;
        const char* section;
        bool expected;
    } cases[] = {
        {address0 + "\r\n", "地址码0", true},
        {"x\r\n" + address0, "地址码0", true},
        {" " + address0 + "\r\n", "地址码0", false},
        {address0 + " \r\n", "地址码0", false},
        {"[" + gbk_address + "00]\r\n", "地址码0", false},
        {"[ABC]\r\n", "abc", false},
        {"[ABC]\r\n", "ABC", true},
        {"x\r[s]\ry", "s", true},   // lone CR ends a line
        {"x\n[s]\ny", "s", false},  // a lone LF does not
        {"[s]\n", "s", false},
        {"", "s", false},
        {"[s]\r\n", "\xF0\x9F\x98\x80", false},
    };
    TempDir dir;
    const std::string file = dir.file("p.ini");
    RecordingMessages messages;
    for (const auto& c : cases) {
        write_bytes(file, c.file);
        EXPECT_EQ(section_exists(file, c.section, messages), c.expected) << c.file;
    }
    EXPECT_EQ(messages.log, Log{});
}

TEST(ProfileFile, NoOrdinaryFileIsReportedOnEveryCall) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("a directory"));
    std::filesystem::create_symlink(dir.file("nowhere"), dir.file("dangling"));
    for (const char* name : {"missing", "a directory", "dangling"}) {
        const std::string file = dir.file(name);
        RecordingMessages messages;
        WriteError why = WriteError::none;
        EXPECT_EQ(read_ini(file, "s", "k", messages), "");
        EXPECT_FALSE(section_exists(file, "s", messages));
        EXPECT_EQ(write_ini(file, "s", "k", "v", messages, &why), 0);
        EXPECT_EQ(why, WriteError::file_missing);
        // A refused value is still reported as the missing file first.
        EXPECT_EQ(write_ini(file, "s", "k", "a\nb", messages), 0);
        const std::string text = "not found: " + file;
        EXPECT_EQ(messages.log, (Log{text, text, text, text})) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("nowhere")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a directory")));
}

TEST(WriteIni, ReadOnlyFileIsLeftUntouched) {
    TempDir dir;
    const std::string file = dir.file("p.ini");
    write_bytes(file, "[s]\r\nk=old\r\n");
    ::chmod(file.c_str(), 0444);
    RecordingMessages messages;
    WriteError why = WriteError::none;
    EXPECT_EQ(write_ini(file, "s", "k", "new", messages, &why), 0);
    EXPECT_EQ(why, WriteError::read_only);
    EXPECT_EQ(read_bytes(file), "[s]\r\nk=old\r\n");
    EXPECT_EQ(mode_of(file), 0444u);
    EXPECT_EQ(messages.log, Log{});
}

TEST(WriteIni, UnwritableDirectoryLeavesTheFileUntouched) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into any directory";
    TempDir dir;
    const std::string file = dir.file("p.ini");
    write_bytes(file, "[s]\r\nk=old\r\n");
    ::chmod(dir.path().c_str(), 0555);
    RecordingMessages messages;
    WriteError why = WriteError::none;
    EXPECT_EQ(write_ini(file, "s", "k", "new", messages, &why), 0);
    EXPECT_EQ(why, WriteError::io_error);
    EXPECT_EQ(read_bytes(file), "[s]\r\nk=old\r\n");
}

TEST(WriteIni, KeepsPermissionsAndSymbolicLinks) {
    TempDir dir;
    const std::string target = dir.file("real.ini");
    const std::string link = dir.file("p.ini");
    write_bytes(target, "[s]\r\nk=old\r\n");
    ::chmod(target.c_str(), 0640);
    std::filesystem::create_symlink("real.ini", link);
    RecordingMessages messages;
    ASSERT_EQ(write_ini(link, "s", "k", "new", messages), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(read_bytes(target), "[s]\r\nk=new\r\n");
    EXPECT_EQ(mode_of(target), 0640u);
    // Only the two files: no temporary left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2);
}

}  // namespace
