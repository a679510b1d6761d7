// Runs the built tool as its users do: copied into a folder of its own inside
// the folder of pieces, with a key press waiting on its standard input. The
// same table runs against the native program and, under Wine, the Windows one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "common/test_files.h"

namespace {

namespace fs = std::filesystem;

const std::string file_label = "\xCE\xC4\xBC\xFE\xA3\xBA";
const std::string already_made = "\xD2\xD1\xBE\xAD\xC9\xFA\xB3\xC9\xA3\xA1";
const std::string making = "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xCE\xC4\xBC\xFE\xA3\xBA";
const std::string join_done = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB3\xC9\xA3\xA1";
const std::string join_failed = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCA\xA7\xB0\xDC\xA3\xA1\n";
const std::string too_few =
    "\xB7\xD6\xB6\xCE\xCE\xC4\xBC\xFE\xC9\xD9\xD3\xDA\xC1\xBD\xB8\xF6\xA3\xA1\n";
const std::string prompt = "\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBD\xE1\xCA\xF8...\n";
const std::string tool_gbk = "\xD5\x5C";  // 誠: its second byte is a backslash

// Which program runs, and how it writes paths and line ends.
struct target {
  std::string exe = getenv("JOINER_EXE") ? getenv("JOINER_EXE") : "";
  std::string wine = getenv("JOINER_WINE") ? getenv("JOINER_WINE") : "";  // the loader, if any
  bool windows() const { return !wine.empty(); }
  std::string tool_file() const { return windows() ? "joiner.exe" : "joiner"; }
  // A folder as the program names it.
  std::string folder(const std::string& path) const {
    if (!windows()) return path;
    std::string s = "Z:" + path;
    for (char& c : s)
      if (c == '/') c = '\\';
    return s;
  }
};

std::string gbk_to_utf8(const std::string& s) {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  std::string out(s.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(s.data());
  char* o = &out[0];
  size_t in_left = s.size(), out_left = out.size();
  iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

struct entry {
  enum { file, folder, fifo, link } kind;
  std::string name, data;  // the bytes of a file, the target of a link
};
entry file(const std::string& name, const std::string& data) { return {entry::file, name, data}; }
entry folder(const std::string& name) { return {entry::folder, name, ""}; }
entry fifo(const std::string& name) { return {entry::fifo, name, ""}; }
entry link(const std::string& name, const std::string& to) { return {entry::link, name, to}; }

struct scenario {
  const char* title;
  std::vector<entry> entries;
  // Expected console text: {W} stands for the working folder, {S} for the
  // separator, and each "\n" for the platform's line end.
  std::string out, err;
  std::string output;  // the name of the file the run adds, if any
  std::string output_bytes;
  int status;
  unsigned flags = 0;
};

enum : unsigned {
  posix_only = 1,  // needs what Wine's view of a Linux folder cannot show
  gbk = 2,         // GBK names, a tool folder named 誠, and a Chinese locale
  second_run = 4,  // the expectations are for a second run in the same folder
  small_disk = 8,  // writes stop after 5096 bytes
};

void PrintTo(const scenario& s, std::ostream* os) { *os << s.title; }

struct run_result {
  std::string out, err;
  int status = -1;
};

// Starts the tool; its console goes to files under console_dir.
pid_t start(const target& t, const std::string& tool_path, const std::string& console_dir,
            const scenario& s) {
  const std::string in = console_dir + "/in", out = console_dir + "/out",
                    err = console_dir + "/err";
  write_file(in, "k");
  pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(open(in.c_str(), O_RDONLY), 0);
  dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
  dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
  // A tool gone wrong (reading its own output, say) is stopped before it
  // fills the disk or hangs the suite.
  const rlim_t size = s.flags & small_disk ? 4096 + 1000 : 64 << 20;
  const struct rlimit limit = {size, size};
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, SIG_IGN);
  alarm(60);
  // Wine takes code page 936 from a Chinese UTF-8 locale.
  if ((s.flags & gbk) && t.windows()) setenv("LANG", "zh_CN.UTF-8", 1);
  if ((s.flags & gbk) && !t.windows()) setenv("LC_ALL", "zh_CN.GBK", 1);
  if (t.windows())
    execlp(t.wine.c_str(), t.wine.c_str(), tool_path.c_str(), nullptr);
  else
    execl(tool_path.c_str(), tool_path.c_str(), nullptr);
  _exit(127);
}

run_result finish(pid_t pid, const std::string& console_dir) {
  int status = 0;
  waitpid(pid, &status, 0);
  run_result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(console_dir + "/out");
  r.err = read_file(console_dir + "/err");
  return r;
}

// The plain files of a folder with their bytes, links and folders left out.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && !e.is_symlink())
      files[e.path().filename().string()] = read_file(e.path().string());
  return files;
}

// A folder of pieces with the tool inside, and a place for the console.
struct stage {
  temp_folder root;
  std::string pieces = root / "pieces";
  std::string tool_path;
  std::vector<std::string> consoles;

  stage(const target& t, const scenario& s, int instances) {
    auto disk = [&](const std::string& name) {
      return t.windows() && (s.flags & gbk) ? gbk_to_utf8(name) : name;
    };
    const std::string tool = s.flags & gbk ? tool_gbk : "tool";
    fs::create_directories(pieces + "/" + disk(tool));
    tool_path = pieces + "/" + disk(tool) + "/" + t.tool_file();
    fs::copy_file(t.exe, tool_path);
    for (int i = 0; i < instances; ++i) {
      consoles.push_back(root / ("console" + std::to_string(i)));
      fs::create_directories(consoles.back());
    }
    for (const entry& e : s.entries) {
      const std::string path = pieces + "/" + disk(e.name);
      if (e.kind == entry::file) write_file(path, e.data);
      if (e.kind == entry::folder) fs::create_directory(path);
      if (e.kind == entry::fifo) mkfifo(path.c_str(), 0644);
      if (e.kind == entry::link) fs::create_symlink(e.data, path);
    }
  }
};

std::string expand(std::string text, const target& t, const std::string& working) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "{W}") == 0) {
      out += t.folder(working);
      i += 2;
    } else if (text.compare(i, 3, "{S}") == 0) {
      out += t.windows() ? "\\" : "/";
      i += 2;
    } else if (text[i] == '\n' && t.windows()) {
      out += "\r\n";
    } else {
      out += text[i];
    }
  }
  return out;
}

// The segments a, b, c of each join, 4 KiB each, with bytes that a text mode would change.
std::string piece(char c) {
  std::string s(4096, c);
  s[0] = '\r', s[1] = '\n', s[2] = '\x1A', s[3] = '\0';
  return s;
}
const std::string a = piece('a'), b = piece('b'), c = piece('c');

std::string listing(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += "{W}{S}" + n + "\n";
  return s;
}

std::string joined(const std::string& name, const std::vector<std::string>& names) {
  return making + name + "\n\n" + listing(names) + join_done + prompt;
}

const std::string long_title(249, 'L');     // with ".k_1.s", the longest name a folder allows
const std::string odd = "a b\n\xFF.k\x81";  // a blank, a newline, bytes that are not UTF-8
const std::string gbk_title = "\xCA\xD3\xC6\xB5\x81\x5F";  // 视频 and a character ending in "_"

// clang-format off
const std::vector<scenario> scenarios = {
    {"joins in counter order",
     {file("m.flv_10.tmp", c), file("m.flv_2.tmp", b), file("m.flv_1.tmp", a)},
     joined("m.flv", {"m.flv_1.tmp", "m.flv_2.tmp", "m.flv_10.tmp"}), "", "m.flv", a + b + c, 0},
    {"a second run leaves the output alone",
     {file("m.flv_1.tmp", a), file("m.flv_2.tmp", b)},
     prompt, file_label + "{W}{S}m.flv" + already_made + "\n", "", "", 0, second_run},
    {"an output named \".\" is the folder itself",
     {file("x_1", a), file("y_2", b)},
     prompt, file_label + "{W}{S}." + already_made + "\n", "", "", 0},
    {"too few names", {file("only_1.ts", a)}, prompt, too_few, "", "", 1},
    {"a hidden folder is listed like a file",
     {folder(".h"), file("v.ts_1.x", a), file("v.ts_2.x", b)},
     making + "v.ts\n\n{W}{S}.h\n" + prompt, "open file {W}{S}.h error!\n" + join_failed, "v.ts", "", 1},
    {"GBK names, and a tool folder whose name ends in a backslash byte",
     {file(gbk_title + ".flv_1.tmp", a), file(gbk_title + ".flv_2.tmp", b)},
     joined(gbk_title + ".flv", {gbk_title + ".flv_1.tmp", gbk_title + ".flv_2.tmp"}), "",
     gbk_title + ".flv", a + b, 0, gbk},
    {"a FIFO among the segments",
     {file("p.x_1.s", a), fifo("p.x_2.s"), file("p.x_3.s", c)},
     making + "p.x\n\n" + listing({"p.x_1.s", "p.x_2.s"}) + prompt,
     "open file {W}{S}p.x_2.s error!\n" + join_failed, "p.x", a, 1},
    {"a dangling link at the output name",
     {file("p.x_1.s", a), file("p.x_2.s", b), link("p.x", "nowhere")},
     prompt, file_label + "{W}{S}p.x" + already_made + "\n", "", "", 0},
    {"a segment whose read fails",
     {file("p.x_1.s", a), link("p.x_2.s", "/proc/self/mem")},
     making + "p.x\n\n" + listing({"p.x_1.s", "p.x_2.s"}) + prompt,
     "read file {W}{S}p.x_2.s error!\n" + join_failed, "p.x", a, 1},
    {"a full disk",
     {file("p.x_1.s", a), file("p.x_2.s", b), file("p.x_3.s", c)},
     making + "p.x\n\n" + listing({"p.x_1.s", "p.x_2.s"}) + prompt,
     "write file {W}{S}p.x error!\n" + join_failed, "p.x", a + b.substr(0, 1000), 1, small_disk},
    // Wine does not list dangling links, and Windows names hold no newline,
    // no byte outside the code page and no path over 260 bytes.
    {"a dangling link among the segments",
     {file("p.x_1.s", a), link("p.x_2.s", "nowhere"), file("p.x_3.s", c)},
     making + "p.x\n\n" + listing({"p.x_1.s", "p.x_2.s"}) + prompt,
     "open file {W}{S}p.x_2.s error!\n" + join_failed, "p.x", a, 1, posix_only},
    {"a segment that leads to the output",
     {file("p.x_1.s", a), link("p.x_2.s", "p.x")},
     making + "p.x\n\n" + listing({"p.x_1.s", "p.x_2.s"}) + prompt,
     "open file {W}{S}p.x_2.s error!\n" + join_failed, "p.x", a, 1, posix_only},
    {"names with blanks, newlines and bytes that are not UTF-8",
     {file(odd + "_1.s", a), file(odd + "_2.s", b)},
     joined(odd, {odd + "_1.s", odd + "_2.s"}), "", odd, a + b, 0, posix_only},
    {"the longest names",
     {file(long_title + ".k_1.s", a), file(long_title + ".k_2.s", b)},
     joined(long_title + ".k", {long_title + ".k_1.s", long_title + ".k_2.s"}), "",
     long_title + ".k", a + b, 0, posix_only},
};
// clang-format on

class end_to_end : public testing::TestWithParam<scenario> {};

TEST_P(end_to_end, console_output_and_segments_are_as_expected) {
  const target t;
  const scenario& s = GetParam();
  if (t.windows() && (s.flags & posix_only)) GTEST_SKIP() << "needs POSIX file types or limits";
  ASSERT_FALSE(t.exe.empty()) << "set JOINER_EXE to the tool under test";
  stage st(t, s, 1);
  run_result r;
  std::map<std::string, std::string> before;
  for (int run = 0; run < (s.flags & second_run ? 2 : 1); ++run) {
    before = snapshot(st.pieces);
    r = finish(start(t, st.tool_path, st.consoles[0], s), st.consoles[0]);
  }
  EXPECT_EQ(r.out, expand(s.out, t, st.pieces));
  EXPECT_EQ(r.err, expand(s.err, t, st.pieces));
  EXPECT_EQ(r.status, s.status);
  // The segments are untouched, and the only change is the output.
  std::map<std::string, std::string> after = snapshot(st.pieces);
  if (!s.output.empty()) {
    const std::string output = t.windows() && (s.flags & gbk) ? gbk_to_utf8(s.output) : s.output;
    EXPECT_EQ(after[output], s.output_bytes);
    after.erase(output);
  }
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(table, end_to_end, testing::ValuesIn(scenarios),
                         [](const testing::TestParamInfo<scenario>& info) {
                           std::string name;
                           for (const char* p = info.param.title; *p; ++p)
                             name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

// Runs started together: exactly one joins, the others find its output.
TEST(end_to_end_race, one_of_several_runs_joins) {
  const target t;

  const std::string big(1 << 20, 'z');
  const scenario s = {
      "race", {file("r.x_1.s", big), file("r.x_2.s", a), file("r.x_3.s", big)}, "", "", "", "", 0};
  for (int n : {2, 4}) {
    stage st(t, s, n);
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) pids.push_back(start(t, st.tool_path, st.consoles[i], s));
    int joins = 0;
    for (int i = 0; i < n; ++i) {
      const run_result r = finish(pids[i], st.consoles[i]);
      EXPECT_EQ(r.status, 0);
      if (r.err.empty()) {
        ++joins;
      } else {
        EXPECT_EQ(r.err, expand(file_label + "{W}{S}r.x" + already_made + "\n", t, st.pieces));
      }
    }
    EXPECT_EQ(joins, 1);
    EXPECT_EQ(read_file(st.pieces + "/r.x"), big + a + big);
  }
}

}  // namespace
