#include "platform/platform.h"

#include <gtest/gtest.h>

#include "common/test_files.h"

namespace {

// Both copy paths, with sizes around the fallback buffer, into one output that
// appears only when published.
TEST(append_file, copies_exactly_through_the_kernel_and_the_buffer) {
  const std::size_t b = platform::copy_buffer_size;
  for (bool kernel : {true, false}) {
    temp_folder dir;
    platform::copy_buffer buffer;
    buffer.kernel_copy = kernel;
    platform::file out, in;
    ASSERT_TRUE(platform::create_output(dir.path, dir.path, &out));
    std::string expected;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, b - 1, b, b + 1, 3 * b + 7}) {
      std::string bytes(size, '\0');
      for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 12));
      write_file(dir / "in", bytes);
      ASSERT_TRUE(platform::open_for_reading(dir / "in", &in));
      EXPECT_EQ(platform::append_file(in, out, &buffer), platform::copy_result::done);
      platform::close_file(&in);
      expected += bytes;
    }
    EXPECT_FALSE(platform::path_exists(dir / "out"));
    EXPECT_EQ(platform::publish_output(&out, dir.path, dir / "out"),
              platform::publish_result::published);
    EXPECT_EQ(read_file(dir / "out"), expected) << (kernel ? "kernel" : "buffer");
  }
}

}  // namespace
