#include "joiner/joiner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/test_files.h"

namespace {

std::string join(const temp_folder& dir, const NameList& names, bool expected) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(join_files(dir / "out", dir.path(), names), expected);
  const std::string out = testing::internal::GetCapturedStdout();
  return out + "|" + testing::internal::GetCapturedStderr();
}

TEST(join_files, opens_nothing_without_names_or_through_a_link) {
  temp_folder dir;
  write_file(dir / "a", "a");
  EXPECT_EQ(join(dir, {}, false), "|parameter error!\n");
  EXPECT_NE(access((dir / "out").c_str(), F_OK), 0);
  ASSERT_EQ(symlink("a", (dir / "out").c_str()), 0);
  EXPECT_EQ(join(dir, {"a"}, false), "|open file " + dir / "out" + " error!\n");
  EXPECT_EQ(read_file(dir / "a"), "a");
}

}  // namespace
