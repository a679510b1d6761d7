#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <clocale>

#include "platform/platform.h"

namespace {

TEST(segment_name_less, orders_by_length_then_unsigned_bytes) {
  // No case folding, and bytes above 0x7F sort after ASCII (the table's rows count to 20).
  NameList names = {"a", "B", "\xB0", "ab"};
  sort_names(&names);
  EXPECT_EQ(names, (NameList{"B", "a", "\xB0", "ab"}));
}

TEST(derive_output_name, takes_title_and_kind_from_the_second_name) {
  const char* cases[][2] = {
      {"movie.flv_2.tmp", "movie.flv"}, {"a.b.c_1.d", "a.b.c"}, {"x_y.mp4.001", "x_y.mp4"},
      {"clip_3.ts", ".clip"},           {"seg.part", "."},      {"noext", "."},
      {"a.b_c.d.z", "a.b_c.d"},         {".a_1", "."},          {"_.x", "."},
  };
  for (const auto& c : cases) EXPECT_EQ(derive_output_name({"first_1.x", c[0]}), c[1]) << c[0];
}

// Each test sets the locale it needs; "C" comes back however it ends.
class in_locale : public testing::Test {
  void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

TEST_F(in_locale, derive_output_name_never_cuts_a_two_byte_character) {
  ASSERT_TRUE(std::setlocale(LC_ALL, "zh_CN.GBK"));
  // 0x81 0x5F is one character, not an underscore's second half.
  EXPECT_EQ(derive_output_name({"", "\xCA\xD3.\x81\x5F.x"}), "\xCA\xD3.");
}

TEST_F(in_locale, find_last_char_pairs_bytes_only_under_a_double_byte_code_page) {
  ASSERT_TRUE(std::setlocale(LC_ALL, "zh_CN.GBK"));
  // A lead byte takes the next one from 0x40 up, mapped (D5 5C) or not (A1 5C,
  // user-defined; 81 7F), and never a lower one.
  EXPECT_EQ(find_last_char("d\\\xD5\x5C", '\\'), 1u);
  EXPECT_EQ(find_last_char("\xA1\x5C", '\\'), std::string::npos);
  EXPECT_EQ(find_last_char("_\x81\x7F.", '.'), 3u);
  EXPECT_EQ(find_last_char("\x81/", '/'), 1u);
  // In UTF-8 an odd byte stands alone.
  ASSERT_TRUE(std::setlocale(LC_ALL, "C.UTF-8"));
  EXPECT_EQ(find_last_char("\xE4_", '_'), 1u);
}

// Every path that reaches a Windows file function, the rename's target too.
TEST(long_path_form, takes_drive_and_share_paths_past_max_path) {
  EXPECT_EQ(platform::long_path_form("C:\\a\\odot."), "\\\\?\\C:\\a\\odot.");
  EXPECT_EQ(platform::long_path_form("D:\\"), "\\\\?\\D:\\");
  EXPECT_EQ(platform::long_path_form("\\\\srv\\share\\p"), "\\\\?\\UNC\\srv\\share\\p");
  EXPECT_EQ(platform::long_path_form("\\\\?\\C:\\a"), "\\\\?\\C:\\a");
}

// The program's path as the user knows it; other long forms stay whole, or they would be relative.
TEST(short_path_form, strips_only_drive_and_share_prefixes) {
  EXPECT_EQ(platform::short_path_form("\\\\?\\C:\\t\\j.exe"), "C:\\t\\j.exe");
  EXPECT_EQ(platform::short_path_form("\\\\?\\unc\\srv\\s\\j.exe"), "\\\\srv\\s\\j.exe");
  const std::string shadow = "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1\\t\\j.exe";
  EXPECT_EQ(platform::short_path_form(shadow), shadow);
}

TEST(without_controls, shows_each_control_character_as_a_question_mark) {
  EXPECT_EQ(without_controls("a\x1B]2;t\x07\x7F\xC2\x9B.", true), "a?]2;t???.");
  // In GBK C2 9B is one character, not U+009B.
  EXPECT_EQ(without_controls("\xC2\x9B", false), "\xC2\x9B");
}

}  // namespace
