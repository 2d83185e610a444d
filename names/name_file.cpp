#include "names/name_file.h"

#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
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

std::string default_text() {
    return Profile(std::string_view()).edited(default_entries(), Profile::Existing::keep);
}

std::string user_name(uid_t uid) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return std::string(found->pw_name) + "（uid " + std::to_string(uid) + "）";
    return "uid " + std::to_string(uid);
}

std::string busy_text(const std::string& path, int error) {
    if (error == EWOULDBLOCK)
        return "名称文件 " + path + " 正由另一个程序写入，2 秒内没能锁定 " + path + lock_suffix +
               "。";
    return "无法锁定名称文件 " + path + "（" + path + lock_suffix + ": " + std::strerror(error) +
           "）。";
}

}  // namespace

std::string name_file_refusal(const std::string& path) {
    const std::string shown = "，窗口显示默认名称。";
    if (const auto owner = foreign_link_owner(path))
        return "名称文件 " + path + " 是用户 " + user_name(*owner) +
               " 的符号链接，而它所在的目录别的用户也能写入：为安全起见不跟随这个链接，"
               "既不读也不写它" +
               shown;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    if (S_ISREG(st.st_mode)) {
        if (static_cast<std::uintmax_t>(st.st_size) <= max_file_bytes) return {};
        return "名称文件 " + path + " 有 " + std::to_string(st.st_size / (1024 * 1024)) +
               " MiB，超过 16 MiB 的上限（完整的名称文件约 76 KB）：不读取它" + shown;
    }
    const char* kind = S_ISDIR(st.st_mode)    ? "一个目录"
                       : S_ISFIFO(st.st_mode) ? "一个 FIFO（命名管道）"
                       : S_ISSOCK(st.st_mode) ? "一个套接字"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "一个设备文件"
                                                                    : "一个特殊文件";
    return "名称文件 " + path + " 是" + kind + "，不是普通文件：既不读也不写它" + shown;
}

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
        case WriteError::refused: {
            const std::string why = name_file_refusal(path);
            return why.empty() ? "名称文件 " + path + " 不是可以写入的普通文件。" : why;
        }
        case WriteError::busy:
            return busy_text(path, EWOULDBLOCK);
        case WriteError::file_utf8:
            return "名称文件 " + path +
                   " 是 UTF-8 编码的，这次没能转换为 GBK（见先前的提示）；"
                   "向它保存 GBK 名称会让一个文件混用两种编码。";
    }
    return {};
}

NameFile::NameFile(const std::string& directory, Messages& messages)
    : path_(directory + "/" + name_file_name), messages_(messages) {}

NameFile::NameFile(const NameFileLocation& location, Messages& messages)
    : path_(location.path), problem_(location.problem), messages_(messages) {}

// A write right after one that waited in vain (a start, then its rename) tries
// once instead of making the operator wait twice.
std::chrono::milliseconds NameFile::lock_patience() const {
    using namespace std::chrono;
    return steady_clock::now() - lock_failed_ < seconds(1) ? milliseconds(0) : seconds(2);
}

bool NameFile::refused() {
    const std::string why = name_file_refusal(path_);
    if (why.empty()) return false;
    if (!refusal_reported_) messages_.name_file_notice(why);
    refusal_reported_ = true;
    return true;
}

std::string NameFile::load_title() {
    if (refused()) return application_title;
    const FileLock lock(path_, lock_patience());
    if (!lock.held() && !lock.directory_unwritable()) {
        lock_failed_ = std::chrono::steady_clock::now();
        // Nothing is written without the lock: the title as the file reads.
        messages_.name_file_notice(busy_text(path_, lock.error()));
        const auto text = text_to_read(1);
        return text ? profile_value(Profile(*text), title_section, title_key) : std::string();
    }
    if (!is_regular_file(path_)) return create();
    return start_existing();
}

// A first start. The file is written before its two messages, so that one
// that cannot be created is reported once, with the reason, and never
// announced as created.
std::string NameFile::create() {
    const std::string defaults = default_text();
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

// A UTF-8 file is made GBK, its bytes kept beside it; one that cannot be is
// left as it is. Then every default entry the file lacks is added, in file
// order, keeping every value already there, so a file that lost its
// [地址码0] header keeps the operator's names and title. Both go out in one
// write.
std::string NameFile::start_existing() {
    int error = 0;
    const std::optional<std::string> old = read_file(path_, &error);
    std::string text = old.value_or(std::string());
    std::string backup;
    if (old) {
        const auto gbk = gbk_for_writing(path_, *old, messages_, false, &backup);
        if (!gbk) {
            utf8_reported_ = not_converted_reported_ = true;
            // Nothing may be written: no completion, the title as well as it reads.
            return profile_value(Profile(gbk_for_reading(*old)), title_section, title_key);
        }
        text = *gbk;
    }
    const bool complete = has_line(text, gbk("[" + address_section("0") + "]"));
    const std::string completed =
        complete ? text : Profile(text).edited(default_entries(), Profile::Existing::keep);
    // A file we cannot read or may not change is left alone.
    const bool may_write = old ? is_writable_file(path_) : error == ENOENT;
    if (may_write && (!old || completed != *old)) {
        const bool written = replace_file(path_, completed);
        if (!backup.empty() && written) messages_.file_converted(path_, backup);
        if (!backup.empty() && !written) {
            utf8_reported_ = not_converted_reported_ = true;
            messages_.file_not_converted(path_, 0, {});
            return profile_value(Profile(gbk_for_reading(*old)), title_section, title_key);
        }
    }
    if (!complete) messages_.file_created();
    // The caption is the title the file now holds (or would, had the write
    // failed: the defaults are what the operator is told was created).
    return profile_value(Profile(completed), title_section, title_key);
}

std::optional<std::string> NameFile::text_to_read(int reports) {
    if (const std::string* defaults = unsaved_defaults()) return *defaults;
    if (refused()) return default_text();
    if (!is_regular_file(path_)) {
        for (int i = 0; i < reports; ++i) messages_.file_not_found(path_);
        return std::nullopt;
    }
    auto bytes = read_file(path_);
    if (!bytes || !is_utf8_file(*bytes)) return bytes;
    if (!utf8_reported_) messages_.name_file_notice(file_read_as_utf8_text(path_));
    utf8_reported_ = true;
    return utf8_file_to_gbk_lossy(*bytes);
}

std::vector<Names> NameFile::load_names(const std::vector<std::string>& address_texts) {
    std::vector<Names> all(address_texts.size());
    const auto text = text_to_read(channel_count);
    if (!text) return all;
    const Profile profile(*text);
    for (std::size_t i = 0; i < address_texts.size(); ++i) {
        const std::string section = address_section(address_texts[i]);
        for (int c = 1; c <= channel_count; ++c)
            all[i][c - 1] = profile_value(profile, section, channel_key(std::to_string(c)));
    }
    return all;
}

Names NameFile::load_names(const std::string& address_text) {
    return load_names(std::vector<std::string>{address_text}).front();
}

std::string NameFile::channel_name(const std::string& address_text,
                                   const std::string& channel_text) {
    // read_ini's lookup, on the text as a file kept in UTF-8 reads best.
    const auto text = text_to_read(1);
    return text ? profile_value(Profile(*text), address_section(address_text),
                                channel_key(channel_text))
                : std::string();
}

// write_ini's steps with the lock held, the file's encoding looked at in the
// bytes read for the edit: a file saved as UTF-8 since the start is made GBK
// as the start would, or refused.
WriteError NameFile::set_channel_name(const std::string& address_text,
                                      const std::string& channel_text, const std::string& name) {
    if (unsaved_defaults()) return WriteError::io_error;
    if (!name_file_refusal(path_).empty()) return WriteError::refused;
    const FileLock lock(path_, lock_patience());
    if (!lock.held() && !lock.directory_unwritable()) {
        lock_failed_ = std::chrono::steady_clock::now();
        return WriteError::busy;
    }
    if (!is_regular_file(path_)) {
        messages_.file_not_found(path_);
        return WriteError::file_missing;
    }
    ProfileEdit edit;
    if (const WriteError why =
            to_profile_edit(address_section(address_text), channel_key(channel_text), name, edit);
        why != WriteError::none)
        return why;
    const auto old = read_file(path_);
    if (!old) return WriteError::io_error;
    std::string backup;
    const auto text = gbk_for_writing(path_, *old, messages_, not_converted_reported_, &backup);
    if (!text) {
        utf8_reported_ = not_converted_reported_ = true;
        return WriteError::file_utf8;
    }
    if (!is_writable_file(path_)) return WriteError::read_only;
    const std::string edited = Profile(*text).edited({&edit, 1});
    if (edited != *old && !replace_file(path_, edited)) return WriteError::io_error;
    if (!backup.empty()) messages_.file_converted(path_, backup);
    return WriteError::none;
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

void TextMessages::name_file_notice(const std::string& text) {
    say_(text);
}

std::vector<Names> names_without_creating(const NameFileLocation& location,
                                          const std::vector<int>& addresses, Messages& messages,
                                          bool* missing) {
    NameFileLocation read_from = location;
    const bool there = is_regular_file(location.path) || !name_file_refusal(location.path).empty();
    if (missing) *missing = !there;
    if (!there && location.seed.empty()) {
        Names defaults;
        for (int c = 1; c <= channel_count; ++c) defaults[c - 1] = default_channel_name(c);
        return std::vector<Names>(addresses.size(), defaults);
    }
    if (!there) read_from.path = location.seed;
    std::vector<std::string> texts;
    for (const int address : addresses) texts.push_back(std::to_string(address));
    NameFile file(read_from, messages);
    return file.load_names(texts);
}

Names names_without_creating(const NameFileLocation& location, int address, Messages& messages,
                             bool* missing) {
    return names_without_creating(location, std::vector<int>{address}, messages, missing).front();
}

}  // namespace tarnwick::names
