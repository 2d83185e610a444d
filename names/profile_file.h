#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "names/profile.h"

namespace tarnwick::names {

// Operator-facing reports. The window shows them as modal message boxes;
// tests count them.
class Messages {
  public:
    virtual ~Messages() = default;
    // Box titled file_not_found_title, text file_not_found_text(path),
    // critical icon, one OK button.
    virtual void file_not_found(const std::string& path) = 0;
    // Box titled application_title, text file_created_text, OK only, no icon.
    virtual void file_created() = 0;
    // The name file is missing and cannot be created: box titled
    // application_title, text name_file_unwritable_text(path, reason), warning
    // icon, OK only.
    virtual void name_file_unwritable(const std::string& path, const std::string& reason) = 0;
    // The file was UTF-8 and now holds the same lines in GBK; its old bytes
    // are kept in backup. Text: file_converted_text.
    virtual void file_converted(const std::string& path, const std::string& backup) = 0;
    // The file is UTF-8 and stays so this run: nothing is written to it.
    // line > 0: that line (from 1), whose text is given, holds a character
    // GBK has no code for; line 0: the file or its backup could not be
    // written. Text: file_not_converted_text.
    virtual void file_not_converted(const std::string& path, std::size_t line,
                                    const std::string& text) = 0;
    // Anything else about the name file, in a whole text: it is no file we
    // may read (name_file_refusal) or lock, or it was read as UTF-8. Box
    // titled application_title, warning icon, OK only.
    virtual void name_file_notice(const std::string& text) = 0;
};

inline constexpr const char* file_not_found_title = "File Not Found";
[[nodiscard]] inline std::string file_not_found_text(const std::string& path) {
    return path + " not found.";
}
inline constexpr const char* application_title = "Tarnwick";
inline constexpr const char* file_created_text = "名称文件被创建。";

// Why write_ini stored nothing.
enum class WriteError {
    none,          // stored
    file_missing,  // no ordinary file at the path; the operator has been told
    read_only,     // the file may not be changed
    io_error,      // reading the file or replacing it failed
    line_break,    // the section, key or value holds CR, LF or NUL and would split its line
    not_gbk,       // ... holds a character GBK cannot encode (it would be stored as '?')
    bad_key,       // the key holds '=' or starts with '[' or ';' and would not read back
    bad_section,   // the section holds ']', which would end its name early
    file_utf8,     // the file is UTF-8 and could not be made GBK this run
    refused,       // the path is no file we may write (see name_file_refusal)
    busy,          // another writer kept the file's lock too long
};

// The other program reads values into a 255-byte buffer: at most 254 bytes of
// GBK text come back. We cut between characters, never through one.
inline constexpr std::size_t max_value_bytes = 254;

// Each call first checks that an ordinary file is at the path; when none is,
// it reports file_not_found and reads or writes nothing.

// The value of key in section; "" when the file, the section or the key is
// absent.
[[nodiscard]] std::string read_ini(const std::string& file, const std::string& section,
                                   const std::string& key, Messages& messages);

// Stores value under key in section of an existing file; returns 1, or 0 when
// nothing was written, with the reason in *why. Never creates the file.
int write_ini(const std::string& file, const std::string& section, const std::string& key,
              const std::string& value, Messages& messages, WriteError* why = nullptr);

// Whether a line of the file is exactly "[" + section + "]": no trimming, case
// counts, lines end at CR LF or a lone CR.
[[nodiscard]] bool section_exists(const std::string& file, const std::string& section,
                                  Messages& messages);

// The UTF-8 texts of one write as GBK, or the reason they cannot be stored.
[[nodiscard]] WriteError to_profile_edit(std::string_view section, std::string_view key,
                                         std::string_view value, ProfileEdit& edit);

// read_ini's lookup on parsed text: UTF-8 names in, UTF-8 value out, the
// value cut to max_value_bytes.
[[nodiscard]] std::string profile_value(const Profile& profile, std::string_view section,
                                        std::string_view key);

}  // namespace tarnwick::names
