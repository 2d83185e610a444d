#pragma once

#include <QJsonObject>

#include "ctl/command_line.h"
#include "ctl/report.h"
#include "names/name_file.h"

namespace tarnwick::ctl {

// What the panel shows in message boxes about the name file, printed on
// stderr in the same words.
class StderrMessages : public names::TextMessages {
  public:
    StderrMessages()
        : TextMessages([](const std::string& text) { print_error(QString::fromStdString(text)); }) {
    }
};

// The 16 names of an address as the panel would show them, from the name file
// the panel uses (names/locations.h), without creating it: while it is not
// there yet, from the copy a first start would take, else the defaults.
// `missing` tells whether the file is not there yet.
[[nodiscard]] ChannelNames channel_names(int address, names::Messages& messages,
                                         bool* missing = nullptr);

// Prints one channel's name (names CH) or all 16, as text or, with --json,
// in `json` (which says where they come from), and returns exit_done.
int report_names(const Request& request, const ChannelNames& names, QJsonObject json);

// names [CH [NAME]]: prints the names, or stores one as the name dialog does.
int run_names(const Request& request);

}  // namespace tarnwick::ctl
