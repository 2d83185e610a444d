#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "service/journal.h"

// What a line keeps across restarts (pulse deadlines, the relays last
// confirmed), in a small file of its own under the state directory:
//   [board-7]
//   relays=5
//   pulse-deadline.3=1765262049000
// Read once, at most names::max_file_bytes, never a FIFO or a device, never
// through a link someone else planted; written whole (a temporary renamed
// over it), with no lock file: the service is its only writer. Nothing here
// waits: a write that fails is said once per cause and done again by
// save() later, a file that cannot be understood is set aside and replaced.
namespace tarnwick::service {

class StateFile {
  public:
    using Report = std::function<void(Priority, const std::string&)>;
    StateFile(std::string path, Report report);

    // The values the file holds now; a file not there is empty.
    void load();
    [[nodiscard]] std::optional<std::int64_t> value(const std::string& section,
                                                    const std::string& key) const;
    void set(const std::string& section, const std::string& key, std::int64_t value);
    void remove(const std::string& section, const std::string& key);

    // Writes what changed since the last write that worked. False when it
    // failed (said, unless it failed the same way the last time): call again.
    bool save();
    [[nodiscard]] bool unsaved() const { return text() != saved_ || last_error_ != 0; }

    // The text of a state file, and back; nothing when it is not one.
    [[nodiscard]] std::string text() const;
    using Values = std::map<std::string, std::map<std::string, std::int64_t>>;
    [[nodiscard]] static std::optional<Values> parse(const std::string& text, int* bad_line);

  private:
    void set_aside(const std::string& why);

    std::string path_;
    Report report_;
    Values values_;
    std::string saved_;   // the text on disk, as far as we know
    int last_error_ = 0;  // of the last failed write, said once
};

}  // namespace tarnwick::service
