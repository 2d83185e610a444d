#include "names/encoding_mend.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "names/file_io.h"
#include "names/gbk.h"

namespace tarnwick::names {

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

std::string_view without_mark(std::string_view bytes) {
    if (bytes.starts_with(byte_order_mark)) bytes.remove_prefix(byte_order_mark.size());
    return bytes;
}

// Length of the UTF-8 character at text[at], or 0 when the bytes there are
// none: overlong forms, surrogates and code points above U+10FFFF included.
std::size_t utf8_char_length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    return length;
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t at = 0, n = 0; at < text.size(); at += n)
        if ((n = utf8_char_length(text, at)) == 0) return false;
    return true;
}

// Calls visit(line, line end) for each line; lines end at CR LF, a lone CR or
// a lone LF, as the profile reader has them.
template <class Visit>
void for_each_line(std::string_view text, Visit visit) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of("\r\n"), text.size());
        std::size_t next = end;
        if (next < text.size()) next += text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        visit(text.substr(0, end), text.substr(end, next - end));
        text.remove_prefix(next);
    }
}

// Keeps bytes beside file under the first backup name that is free or holds
// these very bytes already (an earlier run stopped before converting).
// Never overwrites an earlier backup. "" when none could be written.
// The backup is the original's to read: its owner and mode, never wider.
std::string keep_backup(const std::string& file, std::string_view bytes) {
    struct stat original;
    if (::stat(file.c_str(), &original) != 0) return {};
    for (int n = 0; n < 100; ++n) {
        std::string name = file + utf8_backup_suffix;
        if (n > 0) name += "." + std::to_string(n);
        int error = 0;
        if (create_file(name, bytes, &error, &original)) return name;
        if (error != EEXIST) return {};
        if (const auto old = read_file(name); old && *old == bytes) return name;
    }
    return {};
}

}  // namespace

bool is_utf8_file(std::string_view bytes) {
    if (bytes.starts_with(byte_order_mark)) return true;
    const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return !ascii && is_valid_utf8(bytes);
}

std::string file_converted_text(const std::string& path, const std::string& backup) {
    return "名称文件 " + path +
           " 是 UTF-8 编码的，而本面板和共用它的 Windows 程序都按 GBK 读写名称文件，"
           "照原样读会丢失所有通道名称。\n已把它转换为 GBK（各行内容和顺序不变），"
           "原来的文件保存为 " +
           backup + "。";
}

std::string file_not_converted_text(const std::string& path, std::size_t line,
                                    const std::string& text) {
    const std::string kept = "\n这次不会向它保存名称，名称尽量照原样显示。";
    if (line == 0)
        return "名称文件 " + path +
               " 是 UTF-8 编码的，需要转换为 GBK 才能和 Windows 程序共用，"
               "但无法写入它或它旁边的备份文件（只读或磁盘已满？）。" +
               kept;
    return "名称文件 " + path + " 是 UTF-8 编码的，但第 " + std::to_string(line) +
           " 行有 GBK 无法保存的字符：\n" + text +
           "\n本面板和共用它的 Windows 程序都按 GBK 读写名称文件，所以没有转换它。" + kept +
           "请换掉该行的这个字符，或把文件另存为 GBK 编码，然后重新启动。";
}

std::optional<std::string> utf8_file_to_gbk(std::string_view bytes, std::size_t* bad_line) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t number = 0;
    bool converted = true;
    for_each_line(without_mark(bytes), [&](std::string_view line, std::string_view end) {
        if (!converted) return;
        ++number;
        const auto gbk = utf8_to_gbk(line);
        if (!gbk) {
            converted = false;
            if (bad_line) *bad_line = number;
            return;
        }
        out += *gbk;
        out += end;
    });
    if (!converted) return std::nullopt;
    return out;
}

std::string utf8_file_to_gbk_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for_each_line(without_mark(bytes), [&](std::string_view line, std::string_view end) {
        if (const auto gbk = utf8_to_gbk(line)) {
            out += *gbk;
        } else if (!is_valid_utf8(line)) {
            out += line;
        } else {
            for (std::size_t at = 0, n = 0; at < line.size(); at += n) {
                n = utf8_char_length(line, at);
                const auto character = utf8_to_gbk(line.substr(at, n));
                out += character ? *character : "?";
            }
        }
        out += end;
    });
    return out;
}

std::string line_of(std::string_view bytes, std::size_t number) {
    std::string_view found;
    std::size_t at = 0;
    for_each_line(without_mark(bytes), [&](std::string_view line, std::string_view) {
        if (++at == number) found = line;
    });
    return std::string(found);
}

std::string file_read_as_utf8_text(const std::string& path) {
    return "名称文件 " + path +
           " 是 UTF-8 编码的。这次按 UTF-8 读取，没有改动它；"
           "面板启动或保存名称时会把它转换为 GBK。";
}

std::optional<std::string> gbk_for_writing(const std::string& file, const std::string& bytes,
                                           Messages& messages, bool quiet, std::string* backup) {
    if (!is_utf8_file(bytes)) return bytes;
    std::size_t bad_line = 0;
    auto gbk = utf8_file_to_gbk(bytes, &bad_line);
    if (!gbk) {
        if (!quiet) messages.file_not_converted(file, bad_line, line_of(bytes, bad_line));
        return std::nullopt;
    }
    // The backup first: a run stopped between the two finds it and goes on.
    std::string kept;
    if (!is_writable_file(file) || (kept = keep_backup(file, bytes)).empty()) {
        if (!quiet) messages.file_not_converted(file, 0, {});
        return std::nullopt;
    }
    *backup = kept;
    return gbk;
}

std::string gbk_for_reading(const std::string& bytes) {
    return is_utf8_file(bytes) ? utf8_file_to_gbk_lossy(bytes) : bytes;
}

}  // namespace tarnwick::names
