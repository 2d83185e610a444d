#include "names/profile_file.h"

#include "names/file_io.h"
#include "names/gbk.h"

namespace tarnwick::names {

WriteError to_profile_edit(std::string_view section, std::string_view key, std::string_view value,
                           ProfileEdit& edit) {
    for (std::string_view text : {section, key, value})
        if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            return WriteError::line_break;
    // A key line starting with '[' would be a header, one starting with ';' a
    // comment.
    const std::string_view trimmed_key = trim_blanks(key);
    if (trimmed_key.find('=') != std::string_view::npos ||
        (!trimmed_key.empty() && (trimmed_key.front() == '[' || trimmed_key.front() == ';')))
        return WriteError::bad_key;
    // ']' is ASCII in UTF-8 too: no other character holds its byte there.
    if (section.find(']') != std::string_view::npos) return WriteError::bad_section;
    auto gbk_section = utf8_to_gbk(section);
    auto gbk_key = utf8_to_gbk(key);
    auto gbk_value = utf8_to_gbk(value);
    if (!gbk_section || !gbk_key || !gbk_value) return WriteError::not_gbk;
    edit = {std::move(*gbk_section), std::move(*gbk_key), std::move(*gbk_value)};
    return WriteError::none;
}

std::string profile_value(const Profile& profile, std::string_view section, std::string_view key) {
    const auto gbk_section = utf8_to_gbk(section);
    const auto gbk_key = utf8_to_gbk(key);
    if (!gbk_section || !gbk_key) return {};  // no such name can be in the file
    const auto value = profile.value(*gbk_section, *gbk_key);
    return value ? gbk_to_utf8(gbk_prefix(*value, max_value_bytes)) : std::string();
}

std::string read_ini(const std::string& file, const std::string& section, const std::string& key,
                     Messages& messages) {
    if (!is_regular_file(file)) {
        messages.file_not_found(file);
        return {};
    }
    const auto text = read_file(file);
    if (!text) return {};
    return profile_value(Profile(*text), section, key);
}

int write_ini(const std::string& file, const std::string& section, const std::string& key,
              const std::string& value, Messages& messages, WriteError* why) {
    const auto result = [why](WriteError error) {
        if (why) *why = error;
        return error == WriteError::none ? 1 : 0;
    };
    if (!is_regular_file(file)) {
        messages.file_not_found(file);
        return result(WriteError::file_missing);
    }
    ProfileEdit edit;
    if (const WriteError refused = to_profile_edit(section, key, value, edit);
        refused != WriteError::none)
        return result(refused);
    if (!is_writable_file(file)) return result(WriteError::read_only);
    const auto text = read_file(file);
    if (!text) return result(WriteError::io_error);
    const std::string edited = Profile(*text).edited({&edit, 1});
    if (edited != *text && !replace_file(file, edited)) return result(WriteError::io_error);
    return result(WriteError::none);
}

bool section_exists(const std::string& file, const std::string& section, Messages& messages) {
    if (!is_regular_file(file)) {
        messages.file_not_found(file);
        return false;
    }
    const auto text = read_file(file);
    const auto header = utf8_to_gbk("[" + section + "]");
    return text && header && has_line(*text, *header);
}

}  // namespace tarnwick::names
