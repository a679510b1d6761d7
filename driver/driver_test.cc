// Runs the built tool as its users do: copied into a folder of its own inside
// the folder of pieces, with a key press waiting on standard input. The same
// table runs against the native program and, under Wine, the Windows one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <vector>

#include "common/test_files.h"

namespace {

namespace fs = std::filesystem;

const std::string label = "\xCE\xC4\xBC\xFE\xA3\xBA";
const std::string exists = "\xD2\xD1\xBE\xAD\xC9\xFA\xB3\xC9\xA3\xA1\n";
const std::string making = "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xCE\xC4\xBC\xFE\xA3\xBA";
const std::string done = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB3\xC9\xA3\xA1";
const std::string failed = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCA\xA7\xB0\xDC\xA3\xA1\n";
const std::string too_few =
    "\xB7\xD6\xB6\xCE\xCE\xC4\xBC\xFE\xC9\xD9\xD3\xDA\xC1\xBD\xB8\xF6\xA3\xA1\n";
const std::string prompt = "\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBD\xE1\xCA\xF8...\n";

// The program, and the Wine loader that runs it when it is the Windows one.
const std::string exe = getenv("JOINER_EXE") ? getenv("JOINER_EXE") : "";
const std::string wine = getenv("JOINER_WINE") ? getenv("JOINER_WINE") : "";

enum : unsigned {
  posix_only = 1,  // Wine lists no dangling link; Windows names hold no newline or odd byte
  gbk = 2,         // GBK names, a tool folder named 誠 (D5 5C), a Chinese locale
  second_run = 4,  // the expectations are a second run's in the same folder
  small_disk = 8,  // writes stop after 5096 bytes
};

struct scenario {
  const char* title;
  // "name" a file, "name/" a folder, "name|" a FIFO, "name>target" a link.
  std::vector<std::string> entries;
  std::string out, err;  // {W} is the working folder, {S} the separator
  std::string output;    // the file that the run adds, if any, and the files it joins
  std::vector<std::string> joined;
  int status;
  unsigned flags = 0;
};
void PrintTo(const scenario& s, std::ostream* os) { *os << s.title; }

// 4 KiB per piece, with bytes that a text mode would change.
std::string bytes_of(const std::string& name) {
  std::string s = std::string("\r\n\x1A\0", 4) + name;
  s.resize(4096, name.back());
  return s;
}

// Windows sees Wine's UTF-8 file names in its code page, GBK here.
std::string on_disk(const std::string& name, unsigned flags) {
  if (wine.empty() || !(flags & gbk)) return name;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  std::string out(name.size() * 2, '\0');
  char *in = const_cast<char*>(name.data()), *o = &out[0];
  size_t in_left = name.size(), out_left = out.size();
  iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  return out.substr(0, out.size() - out_left);
}

std::string expand(const std::string& text, const std::string& folder) {
  std::string w = folder, out;
  if (!wine.empty()) {
    w = "Z:" + folder;
    std::replace(w.begin(), w.end(), '/', '\\');
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "{W}") == 0 || text.compare(i, 3, "{S}") == 0) {
      out += text[i + 1] == 'W' ? w : wine.empty() ? "/" : "\\";
      i += 2;
    } else {
      out += text[i] == '\n' && !wine.empty() ? "\r\n" : std::string(1, text[i]);
    }
  }
  return out;
}

struct run_result {
  std::string out, err;
  int status;
};

// Starts the tool with its console in files under console/.
pid_t start(const std::string& tool, const std::string& console, unsigned flags) {
  write_file(console + "in", "k");
  pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(open((console + "in").c_str(), O_RDONLY), 0);
  dup2(open((console + "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open((console + "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  // A tool gone wrong (reading its own output, say) stops before it fills the disk.
  const rlim_t size = flags & small_disk ? 5096 : 64 << 20;
  const struct rlimit limit = {size, size};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);
  alarm(60);
  if (flags & gbk)
    setenv(wine.empty() ? "LC_ALL" : "LANG", wine.empty() ? "zh_CN.GBK" : "zh_CN.UTF-8", 1);
  if (wine.empty()) execl(tool.c_str(), tool.c_str(), nullptr);
  execl(wine.c_str(), wine.c_str(), tool.c_str(), nullptr);
  _exit(127);
}

run_result finish(pid_t pid, const std::string& console) {
  int status = 0;
  waitpid(pid, &status, 0);
  return {read_file(console + "out"), read_file(console + "err"),
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// Lays out the pieces and the tool's folder; returns the tool's path.
std::string stage(const std::string& pieces, const scenario& s) {
  const std::string tool = pieces + "/" + on_disk(s.flags & gbk ? "\xD5\x5C" : "tool", s.flags);
  fs::create_directories(tool);
  fs::copy_file(exe, tool + (wine.empty() ? "/joiner" : "/joiner.exe"));
  for (const std::string& e : s.entries) {
    const std::size_t arrow = e.find('>');
    const std::string path = pieces + "/" + on_disk(e.substr(0, arrow), s.flags);
    if (arrow != std::string::npos)
      fs::create_symlink(e.substr(arrow + 1), path);
    else if (e.back() == '/')
      fs::create_directory(path);
    else if (e.back() == '|')
      mkfifo(path.substr(0, path.size() - 1).c_str(), 0644);
    else
      write_file(path, bytes_of(e));
  }
  return tool + (wine.empty() ? "/joiner" : "/joiner.exe");
}

// The plain files of a folder with their bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink())
      files[e.path().filename().string()] = read_file(e.path().string());
  return files;
}

std::string listing(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += "{W}{S}" + n + "\n";
  return s;
}
std::string joins(const std::string& output, const std::vector<std::string>& names, bool whole) {
  return making + output + "\n\n" + listing(names) + (whole ? done : "") + prompt;
}

const std::string odd = "a b\n\xFF.k\x81";               // not UTF-8, and a newline
const std::string longest(249, 'L');                     // with ".k_1.s", 255 bytes
const std::string chinese = "\xCA\xD3\xC6\xB5\x81\x5F";  // 视频 and a character ending in "_"
const std::string open_2 = "open file {W}{S}p.x_2.s error!\n" + failed;

// clang-format off
const std::vector<scenario> scenarios = {
  {"joins in counter order", {"m.flv_10.tmp", "m.flv_2.tmp", "m.flv_1.tmp"},
   joins("m.flv", {"m.flv_1.tmp", "m.flv_2.tmp", "m.flv_10.tmp"}, true), "",
   "m.flv", {"m.flv_1.tmp", "m.flv_2.tmp", "m.flv_10.tmp"}, 0},
  {"a second run leaves the output alone", {"m.flv_1.tmp", "m.flv_2.tmp"},
   prompt, label + "{W}{S}m.flv" + exists, "", {}, 0, second_run},
  {"an output named . is the folder itself", {"x_1", "y_2"},
   prompt, label + "{W}{S}." + exists, "", {}, 0},
  {"too few names", {"only_1.ts"}, prompt, too_few, "", {}, 1},
  {"a hidden folder is listed like a file", {".h/", "v.ts_1.x", "v.ts_2.x"},
   joins("v.ts", {".h"}, false), "open file {W}{S}.h error!\n" + failed, "v.ts", {}, 1},
  {"GBK names in a tool folder whose name ends in a backslash byte",
   {chinese + ".flv_1.tmp", chinese + ".flv_2.tmp"},
   joins(chinese + ".flv", {chinese + ".flv_1.tmp", chinese + ".flv_2.tmp"}, true), "",
   chinese + ".flv", {chinese + ".flv_1.tmp", chinese + ".flv_2.tmp"}, 0, gbk},
  {"a FIFO among the pieces", {"p.x_1.s", "p.x_2.s|", "p.x_3.s"},
   joins("p.x", {"p.x_1.s", "p.x_2.s"}, false), open_2, "p.x", {"p.x_1.s"}, 1},
  {"a dangling link at the output name", {"p.x_1.s", "p.x_2.s", "p.x>nowhere"},
   prompt, label + "{W}{S}p.x" + exists, "", {}, 0},
  {"a piece whose read fails", {"p.x_1.s", "p.x_2.s>/proc/self/mem"},
   joins("p.x", {"p.x_1.s", "p.x_2.s"}, false), "read file {W}{S}p.x_2.s error!\n" + failed,
   "p.x", {"p.x_1.s"}, 1},
  {"a full disk", {"p.x_1.s", "p.x_2.s", "p.x_3.s"},
   joins("p.x", {"p.x_1.s", "p.x_2.s"}, false), "write file {W}{S}p.x error!\n" + failed,
   "p.x", {"p.x_1.s", "p.x_2.s"}, 1, small_disk},
  {"a dangling link among the pieces", {"p.x_1.s", "p.x_2.s>nowhere", "p.x_3.s"},
   joins("p.x", {"p.x_1.s", "p.x_2.s"}, false), open_2, "p.x", {"p.x_1.s"}, 1, posix_only},
  {"a piece that leads to the output", {"p.x_1.s", "p.x_2.s>p.x"},
   joins("p.x", {"p.x_1.s", "p.x_2.s"}, false), open_2, "p.x", {"p.x_1.s"}, 1, posix_only},
  {"names with blanks, newlines and bytes that are not UTF-8", {odd + "_1.s", odd + "_2.s"},
   joins(odd, {odd + "_1.s", odd + "_2.s"}, true), "", odd, {odd + "_1.s", odd + "_2.s"}, 0,
   posix_only},
  {"the longest names", {longest + ".k_1.s", longest + ".k_2.s"},
   joins(longest + ".k", {longest + ".k_1.s", longest + ".k_2.s"}, true), "",
   longest + ".k", {longest + ".k_1.s", longest + ".k_2.s"}, 0, posix_only},
};
// clang-format on

class end_to_end : public testing::TestWithParam<scenario> {};

TEST_P(end_to_end, shows_the_dialogue_and_changes_nothing_but_the_output) {
  const scenario& s = GetParam();
  if (!wine.empty() && (s.flags & posix_only)) GTEST_SKIP();
  ASSERT_FALSE(exe.empty()) << "set JOINER_EXE to the tool under test";
  temp_folder root;
  const std::string pieces = root / "pieces", console = root / "";
  const std::string tool = stage(pieces, s);
  std::map<std::string, std::string> before;
  run_result r;
  for (int run = 0; run < (s.flags & second_run ? 2 : 1); ++run) {
    before = snapshot(pieces);
    r = finish(start(tool, console, s.flags), console);
  }
  EXPECT_EQ(r.out, expand(s.out, pieces));
  EXPECT_EQ(r.err, expand(s.err, pieces));
  EXPECT_EQ(r.status, s.status);
  if (!s.output.empty()) {
    std::string expected;
    for (const auto& name : s.joined) expected += bytes_of(name);
    if (s.flags & small_disk) expected.resize(5096);
    before[on_disk(s.output, s.flags)] = expected;
  }
  EXPECT_EQ(snapshot(pieces), before);
}

INSTANTIATE_TEST_SUITE_P(table, end_to_end, testing::ValuesIn(scenarios),
                         [](const testing::TestParamInfo<scenario>& info) {
                           std::string name = info.param.title;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// Runs started together: exactly one joins, the others find its output.
TEST(end_to_end_race, one_of_several_runs_joins) {
  const scenario s = {"race", {"r.x_1.s", "r.x_2.s", "r.x_3.s"}, "", "", "", {}, 0};
  for (int n : {2, 4}) {
    temp_folder root;
    const std::string pieces = root / "pieces", tool = stage(pieces, s);
    std::vector<pid_t> runs;
    for (int i = 0; i < n; ++i) {
      fs::create_directory(root / std::to_string(i));
      runs.push_back(start(tool, root / std::to_string(i) + "/", 0));
    }
    int joined = 0;
    for (int i = 0; i < n; ++i) {
      const run_result r = finish(runs[i], root / std::to_string(i) + "/");
      EXPECT_EQ(r.status, 0);
      if (r.err.empty())
        ++joined;
      else
        EXPECT_EQ(r.err, expand(label + "{W}{S}r.x" + exists, pieces));
    }
    EXPECT_EQ(joined, 1);
    EXPECT_EQ(read_file(pieces + "/r.x"),
              bytes_of("r.x_1.s") + bytes_of("r.x_2.s") + bytes_of("r.x_3.s"));
  }
}

// On a terminal one key, without Enter, ends the wait; it is not echoed and
// the terminal's modes come back.
TEST(end_to_end_terminal, one_key_ends_the_wait_and_the_terminal_is_restored) {
  if (!wine.empty()) GTEST_SKIP();
  temp_folder root;
  const std::string tool = stage(root / "pieces", {"too few", {"t.x_1.s"}, "", "", "", {}, 1});
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);  // keeps its modes readable
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    for (int fd : {0, 1, 2}) dup2(terminal, fd);
    alarm(20);
    execl(tool.c_str(), tool.c_str(), nullptr);
    _exit(127);
  }
  struct termios modes;
  for (int tries = 0; tries < 2000 && tcgetattr(terminal, &modes) == 0 && (modes.c_lflag & ECHO);
       ++tries)
    usleep(5000);
  EXPECT_FALSE(modes.c_lflag & (ECHO | ICANON)) << "the tool never waited for a key";
  ASSERT_EQ(write(master, "k", 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  char shown[4096];
  const ssize_t n = read(master, shown, sizeof shown);
  EXPECT_EQ(std::string(shown, n > 0 ? n : 0).find('k'), std::string::npos);
  ASSERT_EQ(tcgetattr(terminal, &modes), 0);
  EXPECT_EQ(modes.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
  close(terminal);
  close(master);
}

}  // namespace
