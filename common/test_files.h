// Temporary folders and whole-file reads and writes for the tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A fresh folder under the system's temporary folder, removed at the end of the test.
class temp_folder {
 public:
  temp_folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "joiner-test-XXXXXX").string();
    path_ = mkdtemp(&pattern[0]) ? pattern : "";
    EXPECT_FALSE(path_.empty());
  }
  ~temp_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
