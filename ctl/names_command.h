#pragma once

#include "ctl/command_line.h"
#include "ctl/report.h"
#include "names/profile_file.h"

namespace tarnwick::ctl {

// What the panel shows in message boxes about the name file, printed on
// stderr in the same words.
class StderrMessages : public names::Messages {
  public:
    void file_not_found(const std::string& path) override;
    void file_created() override;
    void name_file_unwritable(const std::string& path, const std::string& reason) override;
    void file_converted(const std::string& path, const std::string& backup) override;
    void file_not_converted(const std::string& path, std::size_t line,
                            const std::string& text) override;
};

// The 16 names of an address as the panel would show them, from the name file
// the panel uses (names/locations.h), without creating it: while it is not
// there yet, from the copy a first start would take, else the defaults.
// `missing` tells whether the file is not there yet.
[[nodiscard]] ChannelNames channel_names(int address, names::Messages& messages,
                                         bool* missing = nullptr);

// names [CH [NAME]]: prints the names, or stores one as the name dialog does.
int run_names(const Request& request);

}  // namespace tarnwick::ctl
