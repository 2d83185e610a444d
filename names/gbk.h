#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::names {

// The name file is in code page 936 (GBK): one byte for ASCII, two bytes for
// everything else, a lead byte 0x81..0xFE followed by a trail byte 0x40..0xFE
// other than 0x7F. Trail bytes overlap ASCII, so '[' (0x5B), '\' (0x5C) and
// ']' (0x5D) can be the second half of a character (揮 is 93 5D); text must be
// walked character by character, never byte by byte.

[[nodiscard]] constexpr bool is_gbk_lead(unsigned char b) {
    return b >= 0x81 && b <= 0xFE;
}
[[nodiscard]] constexpr bool is_gbk_trail(unsigned char b) {
    return b >= 0x40 && b <= 0xFE && b != 0x7F;
}

// Length in bytes (1 or 2) of the character that starts at text[at]. A lead
// byte without a trail byte after it stands alone, as the Windows code page
// functions treat it.
[[nodiscard]] inline std::size_t gbk_char_length(std::string_view text, std::size_t at) {
    return at + 1 < text.size() && is_gbk_lead(static_cast<unsigned char>(text[at])) &&
                   is_gbk_trail(static_cast<unsigned char>(text[at + 1]))
               ? 2
               : 1;
}

// UTF-8 to GBK; nothing when the text is not valid UTF-8 or holds a character
// GBK has no code for.
[[nodiscard]] std::optional<std::string> utf8_to_gbk(std::string_view utf8);

// GBK to UTF-8. Bytes that are no GBK character (a hand-edited file saved in
// another encoding, say) become U+FFFD, one per character position.
[[nodiscard]] std::string gbk_to_utf8(std::string_view gbk);

// The longest prefix of at most max_bytes that ends on a character boundary.
[[nodiscard]] std::string_view gbk_prefix(std::string_view gbk, std::size_t max_bytes);

// Equality ignoring ASCII case, as the profile format matches section and key
// names. Only single-byte characters fold: a trail byte 0x41..0x5A is part of
// a Chinese character and must match exactly.
[[nodiscard]] bool gbk_equal_ignore_case(std::string_view a, std::string_view b);

// The text with ASCII letters folded to lower case, for use as a map key;
// two texts fold alike exactly when gbk_equal_ignore_case holds for them.
[[nodiscard]] std::string gbk_fold_case(std::string_view gbk);

}  // namespace tarnwick::names
