#include "catalogue/catalogue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/test_files.h"

namespace {

NameList sorted(NameList names) {
  std::sort(names.begin(), names.end(), segment_name_less);
  return names;
}

TEST(segment_name_less, orders_by_length_then_unsigned_bytes) {
  EXPECT_EQ(sorted({"a_10.ts", "a_9.ts", "a_1.ts", "b_1.ts"}),
            (NameList{"a_1.ts", "a_9.ts", "b_1.ts", "a_10.ts"}));
  // No case folding, and bytes above 0x7F sort after ASCII.
  EXPECT_EQ(sorted({"a", "B", "\xB0", "ab"}), (NameList{"B", "a", "\xB0", "ab"}));
  EXPECT_FALSE(segment_name_less("same", "same"));
}

TEST(derive_output_name, takes_title_and_kind_from_the_second_name) {
  const struct {
    const char* second;
    const char* expected;
  } cases[] = {
      {"movie.flv_2.tmp", "movie.flv"}, {"a.b.c_1.d", "a.b.c"}, {"x_y.mp4.001", "x_y.mp4"},
      {"clip_3.ts", ".clip"},           {"seg.part", "."},      {"noext", "."},
      {"t.k_1.x_y.z", "t.k_1.x"},       {".a_1", "."},          {"_.x", "."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(derive_output_name({"first.ignored_1.x", c.second}), c.expected) << c.second;
}

TEST(list_files, drops_dots_and_plain_directories_only) {
  temp_folder dir;
  for (const char* name : {"b_1.ts", "a_2.ts", ".dotfile", "noext", "x.mp4"})
    write_file(dir / name, "");
  mkdir((dir / "tool").c_str(), 0755);
  mkdir((dir / ".hidden").c_str(), 0755);
  mkdir((dir / "locked").c_str(), 0555);
  ASSERT_EQ(symlink("tool", (dir / "to_tool").c_str()), 0);
  ASSERT_EQ(symlink("gone", (dir / "dangling").c_str()), 0);

  EXPECT_EQ(sorted(list_files(dir.path(), "*")),
            (NameList{"noext", "x.mp4", "a_2.ts", "b_1.ts", "locked", ".hidden", ".dotfile",
                      "dangling"}));
  EXPECT_EQ(sorted(list_files(dir.path(), "ts")), (NameList{"a_2.ts", "b_1.ts"}));
}

TEST(list_files, says_when_the_folder_cannot_be_searched) {
  temp_folder dir;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(list_files(dir / "missing", "*").empty());
  EXPECT_TRUE(list_files(dir.path(), "*").empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "find no file!\n");
}

}  // namespace
