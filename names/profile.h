#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::names {

// Reading and editing the text of a profile file, GBK bytes in and out, the
// way the Windows profile functions treat it:
//
// - A line ends at CR LF, a lone CR or a lone LF. Blanks are space, tab and
//   vertical tab.
// - A line whose first non-blank character is '[' heads a section; the name
//   is what stands between that '[' and the first ']' character after it (the
//   rest of the line when there is none), blanks trimmed. What follows the
//   ']' is ignored, so a note may stand there.
// - A line whose first non-blank character is ';' is a comment, even when it
//   holds '='.
// - Any other line holding '=' is a key line: the key is the text before the
//   first '=', the value the text after it, both with blanks trimmed; a value
//   wrapped in a matching pair of '"' or '\'' loses them.
// - Lines before the first header belong to no section; other lines (blank,
//   comments) are kept and otherwise ignored.
// - Section and key names match ignoring ASCII case; the first matching
//   section and, within it, the first matching key win.
//
// Edits change only the bytes they must, so comments, blank lines, spacing,
// line ends and unknown sections stay as they were:
// - a changed key keeps everything up to its '=' and gets the new value, and
//   CR LF when it was the last line and had no line break;
// - a new key becomes the line "key=value" CR LF after the last key line of
//   its section (after the header when it has none), before any trailing
//   blank or comment lines;
// - a new section "[name]" CR LF with its keys goes at the end of the text,
//   after a CR LF only when the text does not already end in a line break.

// One edit: GBK section, key and value. Names are compared trimmed.
struct ProfileEdit {
    std::string section;
    std::string key;
    std::string value;
};

class Profile {
  public:
    // Parses the text, which must outlive the Profile.
    explicit Profile(std::string_view gbk_text);

    // The value of key in section, trimmed and unquoted, or nothing when the
    // section or key is absent.
    [[nodiscard]] std::optional<std::string_view> value(std::string_view section,
                                                        std::string_view key) const;

    // How edits treat a key that is already present.
    enum class Existing { replace, keep };

    // The text after applying the edits in order, as the same number of
    // single writes would leave it, built in one pass.
    [[nodiscard]] std::string edited(std::span<const ProfileEdit> edits,
                                     Existing existing = Existing::replace) const;

  private:
    enum class Kind : unsigned char { other, header, key };
    struct Line {
        std::size_t begin = 0;  // text of the line
        std::size_t end = 0;    // its line break starts here
        std::size_t next = 0;   // the next line starts here
        Kind kind = Kind::other;
        std::size_t name_begin = 0, name_end = 0;  // section or key name, trimmed
        std::size_t equals = 0;                    // key line: offset of its '='
    };
    struct Section {
        std::size_t header = 0;    // line index of the header
        std::size_t last_key = 0;  // its last key line, else its header: a new key goes after it
    };

    std::string_view name_of(const Line& line) const {
        return text_.substr(line.name_begin, line.name_end - line.name_begin);
    }
    std::optional<std::size_t> find_section(std::string_view name) const;
    std::optional<std::size_t> find_key(const Section& section, std::string_view key) const;
    // edited() in two steps: what the edits do, then the text they leave.
    struct Plan;
    Plan planned(std::span<const ProfileEdit> edits, Existing existing) const;
    std::string written(const Plan& plan, std::size_t edit_count) const;

    std::string_view text_;
    std::vector<Line> lines_;
    std::vector<Section> sections_;
};

// Blanks (space, tab, vertical tab) trimmed from both ends; the result lies
// within text.
[[nodiscard]] std::string_view trim_blanks(std::string_view text);

// Whether some line of the text is exactly line, lines ending at CR LF or a lone
// CR (a lone LF stays inside the line). No trimming, case counts.
[[nodiscard]] bool has_line(std::string_view gbk_text, std::string_view line);

}  // namespace tarnwick::names
