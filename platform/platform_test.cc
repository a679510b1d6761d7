#include "platform/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// The plain loop, which the kernel's copy leaves to files on another
// filesystem, across the edges of its buffer.
TEST(append_file, copies_exactly_through_the_buffer) {
  const std::string dir = std::filesystem::temp_directory_path().string();
  const std::string in_path = dir + "/joiner-test-in." + std::to_string(getpid());
  const std::string out_path = dir + "/joiner-test-out." + std::to_string(getpid());
  const std::size_t b = platform::copy_buffer_size;
  platform::copy_buffer buffer;
  buffer.kernel_copy = false;
  platform::file out, in;
  ASSERT_TRUE(platform::create_output(dir, dir, &out));
  std::string expected;
  for (std::size_t size : {std::size_t{1}, b - 1, b, b + 1, 3 * b + 7}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 131 + (i >> 12));
    std::ofstream(in_path, std::ios::binary) << bytes;
    ASSERT_TRUE(platform::open_for_reading(in_path, &in));
    EXPECT_EQ(platform::append_file(in, out, &buffer), platform::copy_result::done);
    platform::close_file(&in);
    expected += bytes;
  }
  ASSERT_EQ(platform::publish_output(&out, dir, out_path), platform::publish_result::published);
  std::ifstream joined(out_path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(joined), {}), expected);
  std::filesystem::remove(in_path);
  std::filesystem::remove(out_path);
}

}  // namespace
