#include "joiner/joiner.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_files.h"

namespace {

struct console {
  std::string out, err;
};

console join(const temp_folder& dir, const NameList& names, bool expected_result) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(join_files(dir / "out", dir.path(), names), expected_result);
  console c;
  c.out = testing::internal::GetCapturedStdout();
  c.err = testing::internal::GetCapturedStderr();
  return c;
}

TEST(join_files, appends_every_byte_in_order_after_what_is_there) {
  temp_folder dir;
  write_file(dir / "a", std::string("\x01\x0D\x0A", 3));
  write_file(dir / "empty", "");
  write_file(dir / "b", std::string("\x1A\x00\x0A", 3));
  write_file(dir / "out", "old");
  const console c = join(dir, {"a", "empty", "b"}, true);
  EXPECT_EQ(read_file(dir / "out"), std::string("old\x01\x0D\x0A\x1A\x00\x0A", 9));
  EXPECT_EQ(c.out, dir / "a" + "\n" + dir / "empty" + "\n" + dir / "b" + "\n");
  EXPECT_EQ(c.err, "");
}

TEST(join_files, stops_at_a_segment_that_cannot_be_opened) {
  temp_folder dir;
  write_file(dir / "1", "one");
  write_file(dir / "3", "three");
  const console c = join(dir, {"1", "2", "3"}, false);
  EXPECT_EQ(read_file(dir / "out"), "one");
  EXPECT_EQ(c.out, dir / "1" + "\n" + dir / "2" + "\n");
  EXPECT_EQ(c.err, "open file " + dir / "2" + " error!\n");
}

TEST(join_files, refuses_segments_that_are_not_plain_files_or_are_the_output) {
  temp_folder dir;
  write_file(dir / "1", "one");
  mkfifo((dir / "fifo").c_str(), 0644);  // opening it for reading must not wait for a writer
  mkdir((dir / "folder").c_str(), 0755);
  ASSERT_EQ(symlink("out", (dir / "self").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir / "device").c_str()), 0);
  // Should the output ever be read back into itself, stop it early.
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  const struct rlimit limit = {1 << 20, saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);
  for (const char* bad : {"fifo", "folder", "self", "device"}) {
    unlink((dir / "out").c_str());
    const console c = join(dir, {"1", bad}, false);
    EXPECT_EQ(read_file(dir / "out"), "one") << bad;
    EXPECT_EQ(c.err, "open file " + dir / bad + " error!\n");
  }
  setrlimit(RLIMIT_FSIZE, &saved);
}

TEST(join_files, names_the_segment_whose_read_fails) {
  temp_folder dir;
  write_file(dir / "1", "one");
  // A plain file by its type whose first read fails.
  ASSERT_EQ(symlink("/proc/self/mem", (dir / "unreadable").c_str()), 0);
  const console c = join(dir, {"1", "unreadable"}, false);
  EXPECT_EQ(read_file(dir / "out"), "one");
  EXPECT_EQ(c.err, "read file " + dir / "unreadable" + " error!\n");
}

TEST(join_files, touches_nothing_when_it_cannot_start) {
  temp_folder dir;
  write_file(dir / "1", "one");
  console c = join(dir, {}, false);
  EXPECT_EQ(c.err, "parameter error!\n");
  EXPECT_NE(access((dir / "out").c_str(), F_OK), 0);

  ASSERT_EQ(symlink("1", (dir / "out").c_str()), 0);  // the output is never written through a link
  c = join(dir, {"1"}, false);
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "open file " + dir / "out" + " error!\n");
  EXPECT_EQ(read_file(dir / "1"), "one");
}

}  // namespace
