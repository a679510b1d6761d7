// Runs the built tool as its users do: copied into a folder of its own inside
// the folder of pieces, with a key press waiting. The same table runs against
// the native program and, under Wine, the Windows one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string making = "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xCE\xC4\xBC\xFE\xA3\xBA";
const std::string failed = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCA\xA7\xB0\xDC\xA3\xA1\n";
const std::string prompt = "\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBD\xE1\xCA\xF8...\n";
std::string exists(const std::string& name) {
  return "\xCE\xC4\xBC\xFE\xA3\xBA{W}/" + name + "\xD2\xD1\xBE\xAD\xC9\xFA\xB3\xC9\xA3\xA1\n";
}
const std::string done = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB3\xC9\xA3\xA1";

// The program, and the Wine loader that runs it when it is the Windows one.
const std::string exe = getenv("JOINER_EXE") ? getenv("JOINER_EXE") : "";
const std::string wine = getenv("JOINER_WINE") ? getenv("JOINER_WINE") : "";
// NTFS takes UTF-8 names only; elsewhere the tool's folder is 誠, whose second byte is "\".
const bool utf8_only = getenv("JOINER_UTF8_NAMES");
const std::string tool_folder = utf8_only ? "tool" : "\xD5\x5C";

enum : unsigned {
  gbk_names = 1,
  small_disk = 2,  // room for 8 KiB of output: a file-size limit, or under Wine a full tmpfs
  traced = 4,      // the system calls show the output durable before "complete"
  race = 8,        // three more runs start with it; one of the four joins
};

struct scenario {
  const char* title;
  std::vector<std::string> entries;  // "name", "folder/", "fifo|" or "link>target"
  std::string output;                // what the run is expected to call the output
  std::vector<std::string> named;    // the pieces it names
  std::string err;                   // "" when they are joined
  int status;
  unsigned flags = 0;
};

// 4 KiB per piece, with bytes that a text mode would change; 8 MiB for pieces
// named r…, so that runs started together are all joining when one publishes.
std::string bytes_of(const std::string& name) {
  std::string s = std::string("\r\n\x1A\0", 4) + name;
  s.resize(name[0] == 'r' ? 8 << 20 : 4096, name.back());
  return s;
}

// The console as the platform shows it; {W} is the working folder.
std::string expand(std::string text, const std::string& folder) {
  for (std::size_t at; (at = text.find("{W}")) != std::string::npos;)
    text.replace(at, 3, (wine.empty() ? "" : "Z:") + folder);
  if (wine.empty()) return text;
  std::string shown;
  for (char c : text)
    shown += c == '/' ? std::string("\\") : c == '\n' ? "\r\n" : std::string(1, c);
  return shown;
}

struct run_result {
  std::string out, err;
  int status;
};

// Runs the tool with its console in the files console + "out" and "err", and
// no key but the end of input.
run_result run(const std::string& tool, const std::string& console, unsigned flags) {
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open((console + "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((console + "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    const rlim_t size = flags & small_disk && wine.empty() ? 9192 : RLIM_INFINITY;
    const struct rlimit limit = {size, size};
    setrlimit(RLIMIT_FSIZE, &limit);
    alarm(60);
    setenv("LC_ALL", "zh_CN.GBK", 1);
    if (flags & traced) setenv("ASAN_OPTIONS", "detect_leaks=0", 1);  // no leak check under ptrace
    if (flags & traced && wine.empty())
      execlp("strace", "strace", "-f", "-qq", "-o", (console + "trace").c_str(), "-e",
             "trace=fdatasync,fsync,linkat,renameat2,link,write", tool.c_str(), nullptr);
    const std::string& program = wine.empty() ? tool : wine;
    execl(program.c_str(), program.c_str(), tool.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {read_file(console + "out"), read_file(console + "err"),
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// Lays out the pieces and the tool's folder; returns the tool's path.
std::string stage(const std::string& pieces, const scenario& s) {
  fs::create_directories(pieces);
  const bool tmpfs = !wine.empty() && s.flags & small_disk;
  if (tmpfs && mount("tmpfs", pieces.c_str(), "tmpfs", 0, nullptr) != 0)
    ADD_FAILURE() << "needs root";
  const std::string tool = pieces + "/" + tool_folder + (wine.empty() ? "/joiner" : "/joiner.exe");
  fs::create_directories(fs::path(tool).parent_path());
  fs::copy_file(exe, tool);
  for (const std::string& e : s.entries) {
    const std::string path = pieces + "/" + e.substr(0, e.find('>'));
    if (e.find('>') != std::string::npos)
      fs::create_symlink(e.substr(e.find('>') + 1), path);
    else if (e.back() == '/')
      fs::create_directory(path);
    else if (e.back() == '|')
      mkfifo(path.substr(0, path.size() - 1).c_str(), 0644);
    else
      std::ofstream(path, std::ios::binary) << bytes_of(e);
  }
  struct statvfs fs;
  if (tmpfs && statvfs(pieces.c_str(), &fs) == 0) {  // room for two pieces
    const std::string size =
        "size=" + std::to_string((fs.f_blocks - fs.f_bfree) * fs.f_frsize + 8192);
    EXPECT_EQ(mount("", pieces.c_str(), "tmpfs", MS_REMOUNT, size.c_str()), 0);
  }
  return tool;
}

// Large files by their size and hash, so that a failure stays readable.
std::string shown(const std::string& bytes) {
  if (bytes.size() <= 16384) return bytes;
  return std::to_string(bytes.size()) + " bytes #" +
         std::to_string(std::hash<std::string>()(bytes));
}

// Every entry under dir, the tool's folder included, with the bytes of the files.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    files[e.path().string()] =
        e.is_regular_file() && !e.is_symlink() ? shown(read_file(e.path())) : "";
  return files;
}

const std::string gbk = "\xCA\xD3\xC6\xB5\x81\x5F";  // 视频 and a character ending in "_"
const std::vector<std::string> p123 = {"p.x_1.s", "p.x_2.s", "p.x_3.s"};
const std::vector<std::string> p12 = {"p.x_1.s", "p.x_2.s"},
                               r123 = {"r.x_1.s", "r.x_2.s", "r.x_3.s"};

// clang-format off
const scenario scenarios[] = {
  {"joins in counter order", {"m.flv_10.tmp", "m.flv_2.tmp", "m.flv_1.tmp"},
   "m.flv", {"m.flv_1.tmp", "m.flv_2.tmp", "m.flv_10.tmp"}, "", 0, traced},
  {"GBK names", {gbk + ".flv_1.tmp", gbk + ".flv_2.tmp"},
   gbk + ".flv", {gbk + ".flv_1.tmp", gbk + ".flv_2.tmp"}, "", 0, gbk_names},
  {"an output named . is the folder itself", {"x_1", "y_2"}, ".", {}, "exists", 0},
  {"too few names", {"only_1.ts"}, "", {},
   "\xB7\xD6\xB6\xCE\xCE\xC4\xBC\xFE\xC9\xD9\xD3\xDA\xC1\xBD\xB8\xF6\xA3\xA1\n", 1},
  {"a hidden folder is listed", {".h/", "v.ts_1.x", "v.ts_2.x"}, "v.ts", {".h"},
   "open file {W}/.h error!\n" + failed, 1},
  {"a FIFO", {"p.x_1.s", "p.x_2.s|", "p.x_3.s"}, "p.x", p12, "open file {W}/p.x_2.s error!\n" + failed, 1},
  {"a piece whose read fails", {"p.x_1.s", "p.x_2.s>/proc/self/mem"}, "p.x", p12,
   "read file {W}/p.x_2.s error!\n" + failed, 1},
  {"a full disk", p123, "p.x", p123, "write file {W}/p.x error!\n" + failed, 1, small_disk},
  {"a piece that tells its size only when read", {"p.x_1.s", "p.x_2.s>/proc/version"}, "p.x",
   p12, "", 0},
  {"runs started together", r123, "r.x", r123, "", 0, race},
};
// clang-format on

TEST(end_to_end, shows_the_dialogue_and_changes_nothing_but_the_output) {
  ASSERT_FALSE(exe.empty()) << "set JOINER_EXE to the tool under test";
  for (const scenario& s : scenarios) {
    if (utf8_only && s.flags & gbk_names) continue;
    SCOPED_TRACE(s.title);
    std::string root = (fs::temp_directory_path() / "joiner-test-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(&root[0]));
    const std::string pieces = root + "/pieces", console = root + "/", tool = stage(pieces, s);
    // What the console shows, and what the folder holds afterwards.
    std::string out = s.named.empty() ? prompt : making + s.output + "\n\n", err = s.err;
    if (err == "exists") err = exists(s.output);
    std::map<std::string, std::string> files = snapshot(pieces);
    std::string joined;
    for (const auto& name : s.named) {
      out += "{W}/" + name + "\n";
      if (err.empty()) joined += read_file(pieces + "/" + name);
    }
    if (err.empty() && !s.named.empty()) files[pieces + "/" + s.output] = shown(joined);
    if (!s.named.empty()) out += (err.empty() ? done : "") + prompt;

    std::vector<std::future<run_result>> others;
    for (int i = 0; i < (s.flags & race ? 3 : 0); ++i)
      others.push_back(std::async(std::launch::async, run, tool, console + char('0' + i), 0));

    run_result r = run(tool, console, s.flags);
    for (auto& other : others) {
      run_result loser = other.get();
      if (loser.err.empty()) std::swap(loser, r);
      EXPECT_EQ(loser.err, expand(exists(s.output), pieces));
    }
    EXPECT_EQ(r.out, expand(out, pieces));
    EXPECT_EQ(r.err, expand(err, pieces));
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(snapshot(pieces), files);
    if (s.flags & traced && wine.empty()) {
      const std::string t = read_file(console + "trace");
      const std::size_t flush = t.find("fdatasync(");
      const std::size_t link = std::min(t.find("link", flush), t.find("rename", flush));
      const std::size_t sync = t.find("fsync(", link), complete = t.rfind("write(1,");
      EXPECT_TRUE(flush < link && link < sync && sync < complete && complete != t.npos) << t;
    }
    umount2(pieces.c_str(), MNT_DETACH);
    fs::remove_all(root);
  }
}

}  // namespace
