#include "names/name_file.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "names/file_io.h"
#include "names/gbk.h"
#include "names/profile.h"

namespace tarnwick::names {

namespace {

std::string gbk(std::string_view utf8) {
    return utf8_to_gbk(utf8).value();
}  // fixed texts only

// The title and the 4096 default names in file order, as GBK.
std::vector<ProfileEdit> default_entries() {
    const std::string section_prefix = gbk("地址码");
    const std::string di = gbk("第");
    const std::string key_suffix = gbk("路名称");
    const std::string name_suffix = gbk("路");
    std::vector<ProfileEdit> entries;
    entries.reserve(1 + address_count * channel_count);
    entries.push_back({gbk(title_section), gbk(title_key), application_title});
    for (int a = 0; a < address_count; ++a) {
        const std::string section = section_prefix + std::to_string(a);
        for (int c = 1; c <= channel_count; ++c) {
            const std::string n = std::to_string(c);
            entries.push_back({section, di + n + key_suffix, di + n + name_suffix});
        }
    }
    return entries;
}

}  // namespace

std::string address_section(std::string_view address_text) {
    return "地址码" + std::string(address_text);
}

std::string channel_key(std::string_view channel_text) {
    return "第" + std::string(channel_text) + "路名称";
}

std::string default_channel_name(int channel) {
    return "第" + std::to_string(channel) + "路";
}

std::string name_file_unwritable_text(const std::string& path, const std::string& reason) {
    return "无法创建名称文件 " + path + "（" + reason +
           "）。\n通道名称无法保存，窗口显示默认名称。";
}

std::string refused_name_text(WriteError why, const std::string& path,
                              const std::string& address_text, const std::string& channel_text) {
    switch (why) {
        case WriteError::none:
        case WriteError::file_missing:
            break;
        case WriteError::read_only:
            return "名称文件 " + path + " 是只读的。";
        case WriteError::io_error:
            return "无法写入名称文件 " + path + "（磁盘已满或目录不可写？）。";
        case WriteError::line_break:
            return "名称不能包含换行符。";
        case WriteError::not_gbk:
            return "名称中有名称文件（GBK 编码）无法保存的字符。";
        case WriteError::bad_key:
            return "通道号“" + channel_text + "”无法用作名称文件的键。";
        case WriteError::bad_section:
            return "模块地址“" + address_text + "”无法用作名称文件的节名。";
        case WriteError::file_utf8:
            return "名称文件 " + path +
                   " 是 UTF-8 编码的，这次没能转换为 GBK（见启动时的提示）；"
                   "向它保存 GBK 名称会让一个文件混用两种编码。";
    }
    return {};
}

NameFile::NameFile(const std::string& directory, Messages& messages)
    : path_(directory + "/" + name_file_name), messages_(messages) {}

NameFile::NameFile(const NameFileLocation& location, Messages& messages)
    : path_(location.path), problem_(location.problem), messages_(messages) {}

std::string NameFile::load_title() {
    const std::string file = path();
    if (!is_regular_file(file)) return create();
    utf8_.check(file, messages_);
    if (utf8_.kept_utf8()) {
        // Nothing may be written: no completion, the title as well as it reads.
        const auto text = text_to_read(1);
        return text ? profile_value(Profile(*text), title_section, title_key) : std::string();
    }
    if (section_exists(file, address_section("0"), messages_))
        return read_ini(file, title_section, title_key, messages_);
    std::string caption = create_or_complete();
    messages_.file_created();
    return caption;
}

// A first start. The file is written before its two messages, so that one
// that cannot be created is reported once, with the reason, and never
// announced as created.
std::string NameFile::create() {
    const std::string defaults =
        Profile(std::string_view()).edited(default_entries(), Profile::Existing::keep);
    int error = 0;
    if (problem_.empty() && replace_file(path_, defaults, &error)) {
        messages_.file_not_found(path_);
        messages_.file_created();
    } else {
        messages_.name_file_unwritable(
            path_, problem_.empty() ? path_ + ": " + std::strerror(error) : problem_);
        unsaved_defaults_ = defaults;
    }
    return profile_value(Profile(defaults), title_section, title_key);
}

const std::string* NameFile::unsaved_defaults() const {
    return unsaved_defaults_ && !is_regular_file(path_) ? &*unsaved_defaults_ : nullptr;
}

// Adds every default entry the file lacks, in file order, and keeps every
// value already there, so a file that lost its [地址码0] header keeps the
// operator's names and title. On a missing file this gives exactly what the
// 4097 single writes of the defaults would, written once.
std::string NameFile::create_or_complete() {
    const std::string file = path();
    int error = 0;
    const std::optional<std::string> old = read_file(file, &error);
    // A file we cannot read or may not change is left alone.
    const bool may_write = old ? is_writable_file(file) : error == ENOENT;
    const std::string text = old.value_or(std::string());
    const std::vector<ProfileEdit> entries = default_entries();
    const std::string completed = Profile(text).edited(entries, Profile::Existing::keep);
    if (may_write && (!old || completed != *old)) (void)replace_file(file, completed);
    // The caption is the title the file now holds (or would, had the write
    // failed: the defaults are what the operator is told was created).
    return profile_value(Profile(completed), title_section, title_key);
}

std::optional<std::string> NameFile::text_to_read(int reports) {
    if (const std::string* defaults = unsaved_defaults()) return *defaults;
    const std::string file = path();
    utf8_.check(file, messages_);
    if (!is_regular_file(file)) {
        for (int i = 0; i < reports; ++i) messages_.file_not_found(file);
        return std::nullopt;
    }
    return utf8_.read(file);
}

std::array<std::string, channel_count> NameFile::load_names(const std::string& address_text) {
    std::array<std::string, channel_count> names;
    const auto text = text_to_read(channel_count);
    if (!text) return names;
    const Profile profile(*text);
    const std::string section = address_section(address_text);
    for (int c = 1; c <= channel_count; ++c)
        names[c - 1] = profile_value(profile, section, channel_key(std::to_string(c)));
    return names;
}

std::string NameFile::channel_name(const std::string& address_text,
                                   const std::string& channel_text) {
    // read_ini's lookup, on the text as a file kept in UTF-8 reads best.
    const auto text = text_to_read(1);
    return text ? profile_value(Profile(*text), address_section(address_text),
                                channel_key(channel_text))
                : std::string();
}

WriteError NameFile::set_channel_name(const std::string& address_text,
                                      const std::string& channel_text, const std::string& name) {
    if (unsaved_defaults()) return WriteError::io_error;
    utf8_.check(path(), messages_);
    if (utf8_.kept_utf8()) return WriteError::file_utf8;
    WriteError why = WriteError::none;
    write_ini(path(), address_section(address_text), channel_key(channel_text), name, messages_,
              &why);
    return why;
}

void TextMessages::file_not_found(const std::string& path) {
    say_(file_not_found_text(path));
}

void TextMessages::file_created() {
    say_(file_created_text);
}

void TextMessages::name_file_unwritable(const std::string& path, const std::string& reason) {
    say_(name_file_unwritable_text(path, reason));
}

void TextMessages::file_converted(const std::string& path, const std::string& backup) {
    say_(file_converted_text(path, backup));
}

void TextMessages::file_not_converted(const std::string& path, std::size_t line,
                                      const std::string& text) {
    say_(file_not_converted_text(path, line, text));
}

std::array<std::string, channel_count> names_without_creating(const NameFileLocation& location,
                                                              int address, Messages& messages,
                                                              bool* missing) {
    const bool there = is_regular_file(location.path);
    if (missing) *missing = !there;
    std::array<std::string, channel_count> names;
    if (!there && location.seed.empty()) {
        for (int c = 1; c <= channel_count; ++c) names[c - 1] = default_channel_name(c);
        return names;
    }
    NameFileLocation read_from = location;
    if (!there) read_from.path = location.seed;
    NameFile file(read_from, messages);
    return file.load_names(std::to_string(address));
}

}  // namespace tarnwick::names
