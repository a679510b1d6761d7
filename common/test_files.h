// Temporary folders and whole-file reads and writes for the tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

// A fresh folder under the system's temporary folder, removed at the end of the test.
struct temp_folder {
  std::string path = (std::filesystem::temp_directory_path() / "joiner-test-XXXXXX").string();
  temp_folder() { EXPECT_TRUE(mkdtemp(&path[0])); }
  ~temp_folder() { std::filesystem::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
