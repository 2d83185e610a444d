#include "names/gbk.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace tarnwick::names {

namespace {

// glibc's CP936 table is the Windows one (0x80 is the euro sign, A1A4 is
// U+00B7), which is what the other program's files hold.
constexpr const char* gbk_charset = "CP936";
constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// One conversion descriptor per direction and thread: opening one costs far
// more than converting a name.
class Converter {
  public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("iconv cannot convert ") + from + " to " + to);
    }
    ~Converter() { iconv_close(cd_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much of in as it can and appends it to out. Returns the
    // number of bytes of in consumed; less than in.size() means in holds an
    // invalid or unconvertible sequence at that offset.
    std::size_t convert(std::string_view in, std::string& out) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* in_ptr = const_cast<char*>(in.data());  // iconv does not write through it
        std::size_t in_left = in.size();
        while (in_left > 0) {
            const std::size_t old_size = out.size();
            const std::size_t room = in_left * 2 + 8;
            out.resize(old_size + room);
            char* out_ptr = out.data() + old_size;
            std::size_t out_left = room;
            const std::size_t rc = iconv(cd_, &in_ptr, &in_left, &out_ptr, &out_left);
            out.resize(old_size + (room - out_left));
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) break;
        }
        return in.size() - in_left;
    }

  private:
    iconv_t cd_;
};

Converter& to_gbk() {
    thread_local Converter converter(gbk_charset, "UTF-8");
    return converter;
}

Converter& from_gbk() {
    thread_local Converter converter("UTF-8", gbk_charset);
    return converter;
}

constexpr char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::optional<std::string> utf8_to_gbk(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    if (to_gbk().convert(utf8, out) != utf8.size()) return std::nullopt;
    return out;
}

std::string gbk_to_utf8(std::string_view gbk) {
    std::string out;
    out.reserve(gbk.size() * 3 / 2);
    std::size_t at = 0;
    while (at < gbk.size()) {
        at += from_gbk().convert(gbk.substr(at), out);
        if (at < gbk.size()) {
            out += replacement_character;
            at += gbk_char_length(gbk, at);
        }
    }
    return out;
}

std::string_view gbk_prefix(std::string_view gbk, std::size_t max_bytes) {
    if (gbk.size() <= max_bytes) return gbk;
    std::size_t end = 0;
    while (end < gbk.size()) {
        const std::size_t next = end + gbk_char_length(gbk, end);
        if (next > max_bytes) break;
        end = next;
    }
    return gbk.substr(0, end);
}

bool gbk_equal_ignore_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size();) {
        if (gbk_char_length(a, i) == 2) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
            i += 2;
        } else {
            if (fold(a[i]) != fold(b[i])) return false;
            ++i;
        }
    }
    return true;
}

std::string gbk_fold_case(std::string_view gbk) {
    std::string out(gbk);
    for (std::size_t i = 0; i < out.size();) {
        const std::size_t n = gbk_char_length(out, i);
        if (n == 1) out[i] = fold(out[i]);
        i += n;
    }
    return out;
}

}  // namespace tarnwick::names
