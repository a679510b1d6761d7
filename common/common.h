// Types and helpers shared by the catalogue, the joiner and the driver.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Bare file names (no folder part), as the platform holds them: the folder's
// own bytes on POSIX, UTF-8 on Windows.
using NameList = std::vector<std::string>;

// A piece as the join took it: its name, which refers to the list joined and
// lives no longer than it, and the bytes the join moved from it (a file in
// /proc says 0 at its open, yet gives bytes).
struct joined_piece {
  std::string_view name;
  std::uint64_t bytes;
};

// A fixed text of the dialogue in both encodings a console may need: UTF-8,
// and the GBK bytes that have always been written where UTF-8 is not the
// locale's (on Windows: wherever the console is a file or a pipe).
struct message {
  constexpr message(const char* utf8_text, const char* gbk_text) : utf8(utf8_text), gbk(gbk_text) {}
  // English texts are ASCII, the same in both.
  constexpr explicit message(const char* ascii) : utf8(ascii), gbk(ascii) {}
  const char* utf8;
  const char* gbk;
};

// Every text the tool writes, kept once.
namespace messages {
inline constexpr message making{u8"正在生成文件：",
                                "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xCE\xC4\xBC\xFE\xA3\xBA"};
inline constexpr message file_label{u8"文件：", "\xCE\xC4\xBC\xFE\xA3\xBA"};
inline constexpr message already_made{u8"已经生成！", "\xD2\xD1\xBE\xAD\xC9\xFA\xB3\xC9\xA3\xA1"};
inline constexpr message join_done{u8"文件合并完成！",
                                   "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB3\xC9\xA3\xA1"};
inline constexpr message join_failed{u8"文件合并失败！",
                                     "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCA\xA7\xB0\xDC\xA3\xA1"};
inline constexpr message too_few{
    u8"分段文件少于两个！",
    "\xB7\xD6\xB6\xCE\xCE\xC4\xBC\xFE\xC9\xD9\xD3\xDA\xC1\xBD\xB8\xF6\xA3\xA1"};
inline constexpr message press_any_key{u8"按任意键结束...",
                                       "\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBD\xE1\xCA\xF8..."};
inline constexpr message missing_piece{u8"缺少分段：", "\xC8\xB1\xC9\xD9\xB7\xD6\xB6\xCE\xA3\xBA"};
inline constexpr message extra_file{u8"多余文件：", "\xB6\xE0\xD3\xE0\xCE\xC4\xBC\xFE\xA3\xBA"};
inline constexpr message empty_piece{u8"空分段：", "\xBF\xD5\xB7\xD6\xB6\xCE\xA3\xBA"};
inline constexpr message duplicate_piece{u8"重复分段：",
                                         "\xD6\xD8\xB8\xB4\xB7\xD6\xB6\xCE\xA3\xBA"};
// "another N not listed", after one of the four above.
inline constexpr message another{u8"另有", "\xC1\xED\xD3\xD0"};
inline constexpr message not_listed{u8"个未列出", "\xB8\xF6\xCE\xB4\xC1\xD0\xB3\xF6"};
inline constexpr message find_no_file{"find no file!"};
inline constexpr message program_path_error{"program path error!"};
inline constexpr message open_file{"open file "};
inline constexpr message read_file{"read file "};
inline constexpr message write_file{"write file "};
inline constexpr message error_end{" error!"};
inline constexpr message output_name_error{"output name error!"};
inline constexpr message the_name{"the name \""};
inline constexpr message names_no_file{
    "\" names no file: the folder holds names that are not pieces (title.kind_N.suffix)"};
inline constexpr message folder_searched{"folder searched: "};
inline constexpr message unreadable_entry{"entry whose kind could not be told: "};
}  // namespace messages

// Why something failed where the system gave no error of its own.
namespace reasons {
inline constexpr char not_regular[] = "not a regular file (a folder, a pipe or a device)";
inline constexpr char the_output[] = "it leads to the output being joined";
inline constexpr char other_drive[] = "the tool's folder is on another drive than the pieces";
inline constexpr char removed[] = "another run removed the temporary file";
inline constexpr char too_long[] = "the path is longer than Windows allows";
}  // namespace reasons

// A piece of one console line: a message, which the console gets in its own
// encoding, or a name or path, which is shown as the program holds it. It
// refers to its text, so it lives only as long as the call it is made for.
struct line_part {
  line_part(const message& m) : fixed(&m) {}
  line_part(const std::string& name) : text(&name) {}
  const message* fixed = nullptr;
  const std::string* text = nullptr;
};
using console_line = std::initializer_list<line_part>;

// The offset of the last c in s that stands as a character of its own, or
// npos. A byte that is the second half of a two-byte character in the
// current locale (GBK's second bytes include "\" and "_") is not a match:
// under a double-byte code page, a lead byte and the byte after it are one.
// In UTF-8 no byte of a longer character is ASCII, so every match is exact.
std::size_t find_last_char(std::string_view s, char c);

// text as a terminal or console may be shown it: each control character
// (0x01-0x1F, 0x7F and, in UTF-8, U+0080-U+009F) a "?", so that a name never
// moves the cursor, retitles the window or answers into the input. utf8: the
// text is UTF-8; elsewhere 0x80-0x9F are lead bytes of a double-byte code page.
std::string without_controls(const std::string& text, bool utf8);
