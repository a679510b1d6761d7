// Joins the numbered pieces lying in the folder that holds this tool's own
// folder, then waits for a key so that a double-clicked console stays open.

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <iostream>
#include <string>

#include "catalogue/catalogue.h"
#include "common/common.h"
#include "joiner/joiner.h"
#include "platform/platform.h"

namespace {

// The messages' GBK bytes, the same whatever the system's code page.
const char file_label[] = "\xCE\xC4\xBC\xFE\xA3\xBA";                    // 文件：
const char already_made[] = "\xD2\xD1\xBE\xAD\xC9\xFA\xB3\xC9\xA3\xA1";  // 已经生成！
const char making[] = "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xCE\xC4\xBC\xFE\xA3\xBA";  // 正在生成文件：
const char join_done[] =
    "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB3\xC9\xA3\xA1";  // 文件合并完成！
const char join_failed[] =
    "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCA\xA7\xB0\xDC\xA3\xA1";  // 文件合并失败！
const char too_few[] =
    "\xB7\xD6\xB6\xCE\xCE\xC4\xBC\xFE\xC9\xD9\xD3\xDA\xC1\xBD\xB8\xF6\xA3\xA1";  // 分段文件少于两个！
const char press_any_key[] =
    "\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBD\xE1\xCA\xF8...";  // 按任意键结束...

// Longer than any line the tool writes.
constexpr std::size_t console_buffer = 64 * 1024;

// The path up to its last separator; the whole path when it has none.
std::string parent_folder(std::string path) {
  const std::size_t cut = find_last_char(path, platform::separator);
  if (cut != std::string::npos) path.resize(cut);
  return path;
}

// Everything between finding the folders and the final prompt, under the
// folder's lock, so that runs in one folder take turns and the prompt of one
// never holds up the next. The exit status.
int join_in(const std::string& folder, const std::string& tool_folder) {
  const platform::folder_lock lock(folder);
  // A run that died may have left its unfinished output here.
  platform::remove_leftovers(tool_folder);

  NameList names = list_files(folder, tool_folder);
  std::sort(names.begin(), names.end(), segment_name_less);
  if (names.size() < 2) {
    std::cerr << too_few << line_end;
    return 1;
  }

  const std::string out_name = derive_output_name(names);
  const std::string out_path = platform::join_path(folder, out_name);
  join_result result = join_result::exists;
  if (!platform::path_exists(out_path)) {
    std::cout << making << out_name << line_end << line_end;
    result = join_files(folder, out_name, names, tool_folder);
  }
  // Also when something else took the name while this run joined.
  if (result == join_result::exists) {
    std::cerr << file_label << out_path << already_made << line_end;
    return 0;
  }
  if (result == join_result::failed) {
    std::cerr << join_failed << line_end;
    return 1;
  }
  // The prompt follows on the same line, in the same write.
  std::cout << join_done;
  return 0;
}

}  // namespace

int main() {
  // Names are read in the user's code page.
  std::setlocale(LC_ALL, "");
  // Fully buffered, std::cerr too, so that each line_end sends one whole line.
  std::setvbuf(stdout, nullptr, _IOFBF, console_buffer);
  std::setvbuf(stderr, nullptr, _IOFBF, console_buffer);
  std::cerr.unsetf(std::ios::unitbuf);
  platform::prepare_process();

  int status = 1;
  std::string exe;
  if (platform::executable_path(&exe)) {
    // The pieces lie two levels up, around the tool's own folder.
    const std::string tool_folder = parent_folder(exe);
    status = join_in(parent_folder(tool_folder), tool_folder);
  } else {
    std::cerr << "program path error!" << line_end;
  }
  std::cout << press_any_key << line_end;
  platform::wait_for_key();
  return status;
}
