#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

  private:
    std::function<void(const std::string&)> say_;
};

class NameFile {
  public:
    // name.txt in this directory.
    NameFile(const std::string& directory, Messages& messages);
    // The file locate_name_file chose. When it is missing and its problem says
    // it cannot be created, the start reports that instead of creating it.
    NameFile(const NameFileLocation& location, Messages& messages);

    [[nodiscard]] const std::string& path() const { return path_; }

    // Creates the file when [地址码0] is missing, or completes it when the
    // file exists without it, then returns the caption for the main window.
    // A missing file that cannot be created is reported once, by
    // name_file_unwritable; this object then answers every read with the
    // defaults, without a message, and stores nothing (io_error).
    std::string load_title();

    // The 16 names of an address, "" for each one missing. A missing file is
    // reported once per channel, as 16 single reads would.
    std::array<std::string, channel_count> load_names(const std::string& address_text);

    std::string channel_name(const std::string& address_text, const std::string& channel_text);
    WriteError set_channel_name(const std::string& address_text, const std::string& channel_text,
                                const std::string& name);

  private:
    std::string create();
    std::string create_or_complete();
    // The defaults held in place of a file that could not be created, while
    // there is still no file.
    [[nodiscard]] const std::string* unsaved_defaults() const;
    // The text for the profile reader (after the run's UTF-8 check), or
    // nothing when the file cannot be read; a missing file is reported
    // `reports` times.
    std::optional<std::string> text_to_read(int reports);

    std::string path_;
    std::string problem_;
    std::optional<std::string> unsaved_defaults_;
    Messages& messages_;
    // A file saved as UTF-8 is made GBK on the first access of a run.
    Utf8Mend utf8_;
};

// The 16 names of an address (UTF-8) as the panel would show them, from the
// file at `location`, without creating it: while it is not there yet, from
// the copy a first start would take (its seed), else the defaults. `missing`
// tells whether the file is not there yet.
[[nodiscard]] std::array<std::string, channel_count> names_without_creating(
    const NameFileLocation& location, int address, Messages& messages, bool* missing = nullptr);

}  // namespace tarnwick::names
