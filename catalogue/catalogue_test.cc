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

// The notices of a join whose pieces all held bytes.
series_notices notices_of(const NameList& names) {
  std::vector<joined_piece> pieces;
  for (const std::string& name : names) pieces.push_back({name, 1});
  return check_series(pieces);
}

TEST(check_series, names_the_missing_in_the_series_padding_from_one_or_zero) {
  const NameList padded = {"part.ts_001.seg", "part.ts_002.seg", "part.ts_004.seg"};
  EXPECT_EQ(notices_of(padded).missing.names, (NameList{"part.ts_003.seg"}));
  // Below the smallest down to 1, but no -1 below a series that starts at 0.
  EXPECT_EQ(notices_of({"a.b_3.c", "a.b_4.c"}).missing.names, (NameList{"a.b_1.c", "a.b_2.c"}));
  EXPECT_TRUE(notices_of({"a.b_0.c", "a.b_1.c"}).missing.names.empty());
}

// Three pieces are three pieces' work, whatever the gap; a count past any integer is still told.
TEST(check_series, lists_ten_of_a_gap_and_counts_the_rest_of_any_length) {
  const std::string huge = "123456789012345678901234567890";
  const series_notices n = notices_of({"v.f_1.x", "v.f_2.x", "v.f_" + huge + ".x"});
  ASSERT_EQ(n.missing.names.size(), 10u);
  EXPECT_EQ(n.missing.names.front(), "v.f_3.x");
  EXPECT_EQ(n.missing.names.back(), "v.f_12.x");
  EXPECT_EQ(n.missing.more, "123456789012345678901234567877");
}

TEST(check_series, names_what_is_extra_empty_or_doubled_in_join_order) {
  const series_notices n = check_series(
      {{"notes.txt", 5}, {"a.b_1.c", 0}, {"a.b_01.c", 7}, {"a.b_2.d", 0}, {"b.b_2.c", 0}});
  EXPECT_EQ(n.extra.names, (NameList{"notes.txt", "a.b_2.d", "b.b_2.c"}));
  EXPECT_EQ(n.empty.names, (NameList{"a.b_1.c"}));
  EXPECT_EQ(n.duplicate.names, (NameList{"a.b_01.c"}));
  EXPECT_TRUE(n.missing.names.empty());
}

// Without a counter in the second name there is no series to speak of, though
// the others would give one of each kind.
TEST(check_series, says_nothing_where_the_second_name_has_no_counter) {
  for (const char* second : {"x_y.mp4.001", "seg.part", "noext", "a_b.c"}) {
    const series_notices n = check_series({{"a.b_3.c", 0}, {second, 0}, {"a.b_03.c", 0}});
    EXPECT_TRUE(n.missing.names.empty()) << second;
    EXPECT_TRUE(n.extra.names.empty()) << second;
    EXPECT_TRUE(n.empty.names.empty()) << second;
    EXPECT_TRUE(n.duplicate.names.empty()) << second;
  }
}

// Ten of a kind are all named; the eleventh is where the count begins.
TEST(check_series, counts_from_the_eleventh_of_a_kind) {
  EXPECT_EQ(notices_of({"a.b_1.c", "a.b_12.c"}).missing.more, "");
  EXPECT_EQ(notices_of({"a.b_1.c", "a.b_13.c"}).missing.more, "1");
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
