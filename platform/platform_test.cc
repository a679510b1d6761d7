#include "platform/platform.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_files.h"

namespace {

std::string pattern(std::size_t size, char salt) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 131 + salt + (i >> 12));
  return s;
}

// Both copy paths, with sizes around the fallback buffer, each appended after
// what the output already holds.
TEST(append_file, copies_exactly_through_the_kernel_and_the_buffer) {
  const std::size_t b = platform::copy_buffer_size;
  for (bool kernel : {true, false}) {
    temp_folder dir;
    platform::copy_buffer buffer;
    buffer.kernel_copy = kernel;
    std::string expected = "head";
    write_file(dir / "out", expected);
    platform::file out;
    ASSERT_TRUE(platform::open_for_appending(dir / "out", &out));
    char salt = 0;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, b - 1, b, b + 1, 3 * b + 7}) {
      const std::string bytes = pattern(size, ++salt);
      write_file(dir / "in", bytes);
      platform::file in;
      ASSERT_TRUE(platform::open_for_reading(dir / "in", &in));
      EXPECT_EQ(platform::append_file(in, out, &buffer), platform::copy_result::done);
      EXPECT_TRUE(platform::close_file(&in));
      expected += bytes;
    }
    EXPECT_TRUE(platform::close_file(&out));
    EXPECT_EQ(read_file(dir / "out"), expected) << (kernel ? "kernel" : "buffer");
  }
}

}  // namespace
