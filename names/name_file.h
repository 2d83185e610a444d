#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "names/encoding_mend.h"
#include "names/locations.h"
#include "names/profile_file.h"

namespace tarnwick::names {

// name.txt (locate_name_file says where) holds the window title and a name for each
// of the 16 channels of each board address 0..255:
//
//   [软件属性]          名称=Tarnwick
//   [地址码0] .. [地址码255]   第1路名称=第1路 .. 第16路名称=第16路
//
// The header line [地址码0] marks a complete file.

inline constexpr const char* name_file_name = "name.txt";
inline constexpr const char* title_section = "软件属性";
inline constexpr const char* title_key = "名称";
inline constexpr int channel_count = 16;
inline constexpr int address_count = 256;

// Section of an address: "地址码" + the address text as the operator typed it
// ("05" stays "05").
[[nodiscard]] std::string address_section(std::string_view address_text);
// Key of a channel: "第" + channel text + "路名称".
[[nodiscard]] std::string channel_key(std::string_view channel_text);
// A channel's name in a new file: "第" + channel + "路".
[[nodiscard]] std::string default_channel_name(int channel);

// The one message of a start whose name file cannot be created.
[[nodiscard]] std::string name_file_unwritable_text(const std::string& path,
                                                    const std::string& reason);

// Why the file at `path` is no name file we may read or write, in Chinese: a
// symbolic link foreign_link_owner refuses, no ordinary file (a directory, a
// FIFO, a socket, a device), or one over max_file_bytes. "" when it is an
// ordinary file, or nothing is there.
[[nodiscard]] std::string name_file_refusal(const std::string& path);

// Why a name was not stored, in Chinese, for a name file at `path`; "" for
// none (and for a missing file, which has been reported already).
[[nodiscard]] std::string refused_name_text(WriteError why, const std::string& path,
                                            const std::string& address_text,
                                            const std::string& channel_text);

// The messages of the name file as lines of text, in the words the panel's
// boxes use, for a program that prints or logs them.
class TextMessages : public Messages {
  public:
    explicit TextMessages(std::function<void(const std::string&)> say) : say_(std::move(say)) {}
    void file_not_found(const std::string& path) override;
    void file_created() override;
    void name_file_unwritable(const std::string& path, const std::string& reason) override;
    void file_converted(const std::string& path, const std::string& backup) override;
    void file_not_converted(const std::string& path, std::size_t line,
                            const std::string& text) override;
    void name_file_notice(const std::string& text) override;

  private:
    std::function<void(const std::string&)> say_;
};

// Every write of a NameFile (a first start's creation, a completion, a UTF-8
// file's conversion, a name) reads, edits and replaces the file while holding
// its FileLock, so writers in several programs never lose each other's
// changes; reads take no lock and see the old file or the new one, whole. A
// read never writes: a UTF-8 file is read as it is, and the operator told.
using Names = std::array<std::string, channel_count>;

class NameFile {
  public:
    // name.txt in this directory.
    NameFile(const std::string& directory, Messages& messages);
    // The file locate_name_file chose. When it is missing and its problem says
    // it cannot be created, the start reports that instead of creating it.
    NameFile(const NameFileLocation& location, Messages& messages);

    [[nodiscard]] const std::string& path() const { return path_; }

    // Creates the file when [地址码0] is missing, or completes it when the
    // file exists without it, a UTF-8 one made GBK first, then returns the
    // caption for the main window. A path name_file_refusal refuses is
    // reported once; this object then answers every read with the defaults
    // and stores nothing (refused).
    // A missing file that cannot be created is reported once, by
    // name_file_unwritable; this object then answers every read with the
    // defaults, without a message, and stores nothing (io_error).
    std::string load_title();

    // The 16 names of an address, "" for each one missing. A missing file is
    // reported once per channel, as 16 single reads would.
    Names load_names(const std::string& address_text);
    // The same for several addresses, from one reading of the file.
    std::vector<Names> load_names(const std::vector<std::string>& address_texts);

    std::string channel_name(const std::string& address_text, const std::string& channel_text);
    WriteError set_channel_name(const std::string& address_text, const std::string& channel_text,
                                const std::string& name);

  private:
    // The steps of load_title, with the lock held.
    std::string create();
    std::string start_existing();
    // The defaults held in place of a file that could not be created, while
    // there is still no file.
    [[nodiscard]] const std::string* unsaved_defaults() const;
    // The text for the profile reader, or nothing when the file cannot be
    // read; a missing file is reported `reports` times.
    std::optional<std::string> text_to_read(int reports);
    // Whether name_file_refusal refuses the path; reported once.
    bool refused();
    [[nodiscard]] std::chrono::milliseconds lock_patience() const;

    std::string path_;
    std::string problem_;
    std::optional<std::string> unsaved_defaults_;
    Messages& messages_;
    bool refusal_reported_ = false;
    // The file was found in UTF-8 and the operator told so: that it was read
    // so, or that it could not be converted (which also says why).
    bool utf8_reported_ = false;
    bool not_converted_reported_ = false;
    std::chrono::steady_clock::time_point lock_failed_;  // the last wait in vain
};

// The 16 names of an address (UTF-8) as the panel would show them, from the
// file at `location`, without creating it: while it is not there yet, from
// the copy a first start would take (its seed), else the defaults. `missing`
// tells whether the file is not there yet.
[[nodiscard]] Names names_without_creating(const NameFileLocation& location, int address,
                                           Messages& messages, bool* missing = nullptr);
// The same for several addresses, from one reading of the file.
[[nodiscard]] std::vector<Names> names_without_creating(const NameFileLocation& location,
                                                        const std::vector<int>& addresses,
                                                        Messages& messages,
                                                        bool* missing = nullptr);

}  // namespace tarnwick::names
