#include "common/common.h"

#include <gtest/gtest.h>

#include <clocale>
#include <sstream>

#include "platform/platform.h"

namespace {

// Switches to a locale for one test and back to "C" after it.
struct scoped_locale {
  explicit scoped_locale(const char* name) : ok(std::setlocale(LC_ALL, name) != nullptr) {}
  ~scoped_locale() { std::setlocale(LC_ALL, "C"); }
  bool ok;
};

TEST(common, join_path_adds_one_separator_and_nothing_else) {
  EXPECT_EQ(join_path("dir", "a b"), std::string("dir") + platform::separator + "a b");
  EXPECT_EQ(join_path("", "x"), std::string(1, platform::separator) + "x");
}

TEST(common, line_end_is_a_flushed_newline) {
  std::stringstream s;
  s << "x" << line_end;
  EXPECT_EQ(s.str(), "x\n");
}

TEST(find_last_char, finds_the_last_single_byte_match) {
  EXPECT_EQ(find_last_char("a_b_c", '_'), 3u);
  EXPECT_EQ(find_last_char("abc", '_'), std::string::npos);
  EXPECT_EQ(find_last_char("", '.'), std::string::npos);
  EXPECT_EQ(find_last_char(std::string("a\0_", 3), '_'), 2u);
}

TEST(find_last_char, skips_second_bytes_of_gbk_characters) {
  scoped_locale gbk("zh_CN.GBK");
  ASSERT_TRUE(gbk.ok) << "generate the zh_CN.GBK locale (locale-gen)";
  // 0x81 0x5F and 0xD5 0x5C are single characters whose second byte is "_" or "\".
  EXPECT_EQ(find_last_char("a_\x81\x5F", '_'), 1u);
  EXPECT_EQ(find_last_char("d\\\xD5\x5C", '\\'), 1u);
  EXPECT_EQ(find_last_char("\xD5\x5C", '\\'), std::string::npos);
  // A lead byte takes the next byte, even in a pair this system does not
  // map (A1 5C lies in the user-defined area), but not past the end.
  EXPECT_EQ(find_last_char("\xA1\x5C", '\\'), std::string::npos);
  EXPECT_EQ(find_last_char("\x81\x7F_", '_'), 2u);
  EXPECT_EQ(find_last_char("a_\x81", '_'), 1u);
}

TEST(find_last_char, sees_every_byte_outside_a_two_byte_code_page) {
  scoped_locale c("C");
  EXPECT_EQ(find_last_char("a_\x81\x5F", '_'), 3u);
}

}  // namespace
