#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "names/profile_file.h"

namespace tarnwick::names {

// A name file that a Linux editor saved as UTF-8. Read as GBK it loses every
// Chinese section name, and the completion pass would then append a second
// full set of defaults, so it is converted back to GBK once per run.
//
// GBK text holding the file's section names is never valid UTF-8 (地址码 is
// B5 D8 ..., and B5 cannot start a UTF-8 character), so a file is taken for
// UTF-8 when it is valid UTF-8 holding a byte above 0x7F, or when it starts
// with the UTF-8 byte-order mark. Pure ASCII is GBK already.
[[nodiscard]] bool is_utf8_file(std::string_view bytes);

// The file's lines in GBK, in the same order, each line end as it was; the
// byte-order mark is dropped. Nothing when a line holds a character GBK has
// no code for, or bytes that are no UTF-8; *bad_line then holds the number
// (from 1) of the first such line.
[[nodiscard]] std::optional<std::string> utf8_file_to_gbk(std::string_view bytes,
                                                          std::size_t* bad_line = nullptr);

// The same, as well as it can be done: a character GBK has no code for
// becomes '?', and a line that is no UTF-8 keeps its bytes (the other program
// may have written it in GBK).
[[nodiscard]] std::string utf8_file_to_gbk_lossy(std::string_view bytes);

// Line number (from 1) of the file, as UTF-8 for a message, line end left out.
[[nodiscard]] std::string line_of(std::string_view bytes, std::size_t number);

// Where a converted file's original bytes go: file + ".utf8", or when that
// name holds other bytes already, file + ".utf8.1", ".utf8.2", ... up to 99.
inline constexpr const char* utf8_backup_suffix = ".utf8";

// Texts of the two reports (Messages::file_converted, file_not_converted).
[[nodiscard]] std::string file_converted_text(const std::string& path, const std::string& backup);
[[nodiscard]] std::string file_not_converted_text(const std::string& path, std::size_t line,
                                                  const std::string& text);

// Text of the notice that a reader took a UTF-8 file as it is.
[[nodiscard]] std::string file_read_as_utf8_text(const std::string& path);

// What a writer of the name file does with the bytes it has just read (under
// the file's lock): GBK bytes stay as they are. A UTF-8 file is kept beside
// itself (utf8_backup_suffix, with the file's owner and mode), *backup says
// where, and its GBK conversion is returned; the caller writes it and tells
// the operator (file_converted). When it cannot be converted, or the file or
// its backup cannot be written, nothing is returned: the file must stay as it
// is, and the operator is told why (file_not_converted) unless `quiet`.
[[nodiscard]] std::optional<std::string> gbk_for_writing(const std::string& file,
                                                         const std::string& bytes,
                                                         Messages& messages, bool quiet,
                                                         std::string* backup);

// The bytes as GBK text for the profile reader: as they are, or a UTF-8
// file's converted as well as it can be (utf8_file_to_gbk_lossy).
[[nodiscard]] std::string gbk_for_reading(const std::string& bytes);

}  // namespace tarnwick::names
