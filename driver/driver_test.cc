// Runs the built tool as its users do: copied into a folder of its own inside
// the folder of pieces, with a key press waiting. The same table runs against
// the native program and, under Wine, the Windows one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <regex>

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string making = "\xD5\xFD\xD4\xDA\xC9\xFA\xB3\xC9\xCE\xC4\xBC\xFE\xA3\xBA";
const std::string failed = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCA\xA7\xB0\xDC\xA3\xA1\n";
const std::string prompt = "\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBD\xE1\xCA\xF8...\n";
const std::string done = "\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB3\xC9\xA3\xA1";
std::string exists(const std::string& name) {
  return "\xCE\xC4\xBC\xFE\xA3\xBA{W}/" + name + "\xD2\xD1\xBE\xAD\xC9\xFA\xB3\xC9\xA3\xA1\n";
}

// The program, and the Wine loader that runs it when it is the Windows one.
const std::string exe = getenv("JOINER_EXE") ? getenv("JOINER_EXE") : "";
const std::string wine = getenv("JOINER_WINE") ? getenv("JOINER_WINE") : "";
// FUSE drives take UTF-8 names only, elsewhere the tool's folder is 誠, whose
// second byte is "\"; nor do they all keep links, FIFOs or folder modes.
const bool fuse = getenv("JOINER_FUSE");
const std::string tool_folder = fuse ? "tool" : "\xD5\x5C";
// A dead run's unfinished output, which every run that finds its folder removes.
const std::string leftover = "joiner-99999999.part";

enum : unsigned {
  small_disk = 2,    // room for 8 KiB of output: a file-size limit, which qemu makes a kill
  traced = 4,        // the output durable before "complete"; one write per line
  race = 8,          // three more runs start with it; one of the four joins
  interrupt = 16,    // SIGINT at the flush: held until the output's name is durable
  cut_short = 4096,  // an ignored hang-up, then SIGINT, mid-join: nothing is left
  taken = 32,        // the output's name taken by something else just as it is published
  linked = 64,       // the tool's folder a link to one elsewhere, the tool in it another
  long_path = 256,   // past Windows' MAX_PATH (there only): better no folder than a wrong one
  terminal = 512,    // a pseudo-terminal is the console, and an arrow key the key
  special = 1024,    // links, FIFOs or folder modes
  native = small_disk | interrupt | cut_short | taken | linked,
};

struct scenario {
  const char* title;
  std::vector<std::string> entries;  // "name", "dir/", "read-only dir^", "fifo|", "link>target"
  std::string output;                // what the run is expected to call the output
  std::vector<std::string> named;    // the pieces it names
  std::string err;                   // "" when they are joined
  int status;
  unsigned flags = 0;
};

// 4 KiB, with bytes that a text mode would change; 8 MiB for r…, so that racing runs overlap.
std::string bytes_of(const std::string& name) {
  std::string s = std::string("\r\n\x1A\0", 4) + name;
  return s.append((name[0] == 'r' ? 8 << 20 : 4096) - s.size(), name.back());
}

// The console as the platform shows it; {W} is the working folder.
std::string expand(std::string text, const std::string& folder) {
  text = std::regex_replace(text, std::regex("\\{W\\}"), (wine.empty() ? "" : "Z:") + folder);
  if (wine.empty()) return text;
  return std::regex_replace(std::regex_replace(text, std::regex("/"), "\\"), std::regex("\n"),
                            "\r\n");
}

// What the screen shows, without Wine's cursor and title sequences.
std::string screen_text(const std::string& raw) {
  static const std::regex controls("\x1B(\\[[0-?]*[ -/]*[@-~]|\\][^\x07]*\x07)|\r");
  return std::regex_replace(raw, controls, "");
}

struct run_result {
  std::string out, err, trace;
  int status = 0;
  bool key_taken = true;  // on a terminal: nothing of the key left, the modes back
};

// Presses an arrow key (its bytes a moment apart) once the tool waits for it, and collects the
// screen until the tool has gone. False when the key left bytes behind or modes changed.
bool drive_terminal(int master, int slave, pid_t pid, int* status, std::string* screen) {
  termios now;
  for (int n = 0, pressed = 0; n >= 0 || waitpid(pid, status, WNOHANG) != pid;) {
    pollfd p = {master, POLLIN, 0};
    char buf[4096];
    n = poll(&p, 1, 100) > 0 ? static_cast<int>(read(master, buf, sizeof buf)) : -1;
    if (n > 0) screen->append(buf, static_cast<std::size_t>(n));
    // Sent before the wait turns echo off, the key would be echoed.
    if (!pressed && screen->find(prompt.substr(0, 12)) != std::string::npos &&
        tcgetattr(slave, &now) == 0 && !(now.c_lflag & ICANON))
      pressed = write(master, "\x1B", 1) + usleep(30000) + write(master, "[A", 2) == 3;
  }
  tcgetattr(slave, &now);
  const bool modes_back = (now.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG);
  now.c_lflag &= ~ICANON;  // a canonical terminal counts whole lines only
  int left = -1;
  tcsetattr(slave, TCSANOW, &now), ioctl(slave, FIONREAD, &left);
  close(slave), close(master);
  return left == 0 && modes_back;
}

// Runs the tool with its console in the files console + "out" and "err", and
// no key but the end of input; or with a terminal for its console.
run_result run(const std::string& tool, const std::string& console, unsigned flags) {
  int master = -1, slave = -1;
  winsize wide = {24, 500, 0, 0};  // lines stay whole on the screen
  if (flags & terminal) openpty(&master, &slave, nullptr, nullptr, &wide);
  const std::string trace = console + "trace";
  const pid_t pid = fork();
  if (pid == 0) {
    if (flags & terminal) setsid(), ioctl(slave, TIOCSCTTY, 0), close(master);
    const std::string names[] = {"/dev/null", console + "out", console + "err"};
    for (int fd = 0; fd < 3; ++fd) {  // each on its own descriptor: none left open for the tool
      const int from =
          slave >= 0 ? slave : open(names[fd].c_str(), fd ? O_WRONLY | O_CREAT | O_TRUNC : 0, 0644);
      dup2(from, fd);
      if (fd == 2 || slave < 0) close(from);
    }
    const rlim_t size = flags & small_disk ? 8192 + 16 : RLIM_INFINITY;
    const rlimit file_size = {size, size}, files = {16, 16};  // fewer than a row's pieces
    if (wine.empty()) setrlimit(RLIMIT_FSIZE, &file_size), setrlimit(RLIMIT_NOFILE, &files);
    alarm(60);
    setenv("LC_ALL", "zh_CN.GBK", 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);           // no leak check under ptrace
    if (flags & traced) setenv("WINEDEBUG", "+relay", 1);  // the prefix names the calls
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) signal(sig, SIG_DFL);  // as from a shell
    if (flags & cut_short) signal(SIGHUP, SIG_IGN);                           // as under nohup
    const char* calls = "trace=fdatasync,fsync,linkat,renameat2,link,rename,write,copy_file_range";
    std::vector<const char*> argv = {"strace", "-f",          "-qq", "-s4096",
                                     "-o",     trace.c_str(), "-e",  calls};
    if (flags & interrupt) argv.insert(argv.end(), {"-e", "inject=fdatasync:signal=INT"});
    if (flags & cut_short)
      argv.insert(argv.end(), {"-e", "inject=write:signal=HUP:when=3", "-e",
                               "inject=copy_file_range:signal=INT:when=2"});
    if (flags & taken) argv.insert(argv.end(), {"-e", "inject=linkat,renameat2:error=EEXIST"});
    argv.insert(argv.end(), {tool.c_str(), nullptr});
    if (flags & (traced | interrupt | cut_short | taken) && wine.empty())
      execvp("strace", const_cast<char**>(argv.data()));
    const std::string& program = wine.empty() ? tool : wine;
    execl(program.c_str(), program.c_str(), tool.c_str(), nullptr);
    _exit(127);
  }
  run_result r;
  if (flags & terminal) {
    r.key_taken = drive_terminal(master, slave, pid, &r.status, &r.out);
  } else {
    waitpid(pid, &r.status, 0);
    r.out = read_file(console + "out");
    r.err = read_file(console + "err");
  }
  // Wine's trace shares the error stream, each line led by a thread's number.
  r.trace = wine.empty() ? read_file(trace) : r.err;
  if (!wine.empty()) r.err = std::regex_replace(r.err, std::regex("[0-9a-f]{4}:[^\n]*\n"), "");
  r.status = WIFEXITED(r.status) ? WEXITSTATUS(r.status) : 128 + WTERMSIG(r.status);
  return r;
}

// Lays out the pieces and the tool's folder under root; returns the tool's path.
std::string stage(const std::string& root, const std::string& pieces, const scenario& s) {
  fs::create_directories(pieces);
  const std::string tool = pieces + "/" + tool_folder + (wine.empty() ? "/joiner" : "/joiner.exe");
  const std::string real_exe = s.flags & linked ? root + "/real/bin/joiner" : tool;
  if (s.flags & linked) {  // with decoys beside the links' targets
    fs::create_directories(root + "/real/bin"),
        fs::create_directories(root + "/real/" + tool_folder);
    for (const char* name : {"/real/backup_1.tar", "/real/backup_2.tar"})
      std::ofstream(root + name) << name;
    fs::create_directory_symlink(root + "/real/" + tool_folder, pieces + "/" + tool_folder);
  }
  fs::create_directories(fs::path(tool).parent_path());
  fs::copy_file(exe, real_exe);
  if (real_exe != tool) fs::create_symlink(real_exe, tool);
  std::ofstream(fs::path(tool).parent_path() / leftover) << "dead";
  for (const std::string& e : s.entries) {
    const std::string path = pieces + "/" + e.substr(0, e.find_first_of(">/^|"));
    if (e.find('>') != std::string::npos)
      fs::create_symlink(e.substr(e.find('>') + 1), path);
    else if (e.back() == '/' || e.back() == '^')
      mkdir(path.c_str(), e.back() == '/' ? 0755 : 0555);
    else if (e.back() == '|')
      mkfifo(path.c_str(), 0644);
    else
      std::ofstream(path, std::ios::binary) << bytes_of(e);
  }
  // Started as "tool/../tool/joiner": ".." is taken by name, not through the link.
  return s.flags & linked ? pieces + "/" + tool_folder + "/../" + tool_folder + "/joiner" : tool;
}

// Large files by their size and hash, so that a failure stays readable.
std::string shown(const std::string& b) {
  return b.size() <= 64
             ? b
             : std::to_string(b.size()) + " #" + std::to_string(std::hash<std::string>()(b));
}

// Every entry under root but the console files, with the bytes of the files.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.path().filename().string().rfind("console", 0) != 0)
      files[e.path().string()] =
          e.is_regular_file() && !e.is_symlink() ? shown(read_file(e.path())) : "";
  return files;
}

std::vector<std::string> numbered(const std::string& stem, int count, std::string tail = ".s") {
  std::vector<std::string> names(count);
  for (int i = 0; i < count; ++i) names[i] = stem + std::to_string(i + 1) + tail;
  return names;
}

const std::vector<std::string> m20 = numbered("m.flv_", 20, ".tmp"), p12 = numbered("p.x_", 2),
                               p123 = numbered("p.x_", 3), r123 = numbered("r.x_", 3);

// clang-format off
const scenario scenarios[] = {
  {"joins in counter order", m20, "m.flv", m20, "", 0, traced},
  {"too few names", {"only_1.ts"}, "", {}, "\xB7\xD6\xB6\xCE\xCE\xC4\xBC\xFE\xC9\xD9\xD3\xDA\xC1\xBD\xB8\xF6\xA3\xA1\n", 1},
  // Listed, r first and .h second, which names the output ".", the folder itself.
  {"hidden and read-only folders are listed", {".h/", "r^", "v.ts_1.x"}, ".", {}, "exists", 0, special},
  {"a FIFO", {"p.x_1.s", "p.x_2.s|", "p.x_3.s"}, "p.x", p12, "open file {W}/p.x_2.s error!\n" + failed, 1, special},
  {"a piece whose read fails", {"p.x_1.s", "p.x_2.s>/proc/self/mem"}, "p.x", p12, "read file {W}/p.x_2.s error!\n" + failed, 1, special | traced},
  {"a full disk, met in the plain copy loop (size 0 until read)", {"p.x_1.s", "p.x_2.s", "p.x_3.s>/proc/version"}, "p.x", p123, "write file {W}/p.x error!\n" + failed, 1, small_disk | special},
  {"runs started together", r123, "r.x", r123, "", 0, race},
  {"an interruption waits for the name to be durable", p12, "p.x", p12, "", 130, interrupt},
  {"an interruption mid-join leaves nothing", p12, "p.x", p12, "", 130, cut_short},
  {"a name taken while joining", p12, "p.x", p12, "exists", 0, taken},
  {"a linked tool folder and tool", p12, "p.x", p12, "", 0, linked | special},
  {"a path past MAX_PATH", p12, "", {}, "program path error!\n", 1, long_path},
  {"a terminal and an arrow key", p12, "p.x", p12, "", 0, terminal},
};
// clang-format on

class table : public testing::TestWithParam<scenario> {};

TEST_P(table, shows_the_dialogue_and_changes_nothing_but_the_output) {
  const scenario& s = GetParam();
  if (s.flags & (wine.empty() ? long_path : native) || (fuse && s.flags & special))
    GTEST_SKIP() << "not on this platform";
  std::string root = (fs::temp_directory_path() / "joiner-test-XXXXXX").string();
  ASSERT_TRUE(mkdtemp(&root[0]));
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) { fs::remove_all(root); });
  const std::string pieces =
      root + (s.flags & long_path ? "/" + std::string(250, 'l') : "") + "/pieces";
  const std::string console = root + "/console", tool = stage(root, pieces, s);

  std::string out = s.named.empty() ? prompt : making + s.output + "\n\n", err = s.err;
  std::map<std::string, std::string> files = snapshot(root);
  if (!(s.flags & long_path)) files.erase(pieces + "/" + tool_folder + "/" + leftover);
  files.erase(root + "/real/" + tool_folder + "/" + leftover);
  if (err == "exists") err = exists(s.output);
  std::string joined;
  for (const auto& name : s.named) {
    out += "{W}/" + name + "\n";
    if (err.empty()) joined += read_file(pieces + "/" + name);
  }
  if (err.empty() && !(s.flags & cut_short)) files[pieces + "/" + s.output] = shown(joined);
  if (!s.named.empty() && s.status < 128) out += (err.empty() ? done : "") + prompt;

  std::vector<std::future<run_result>> others;
  for (int i = 0; i < (s.flags & race ? 3 : 0); ++i)
    others.push_back(std::async(std::launch::async, run, tool, console + char('0' + i), 0));
  run_result r = run(tool, console, s.flags);
  for (auto& other : others) {
    run_result loser = other.get();
    if (loser.err.empty()) std::swap(loser, r);
    // Runs take turns: a later one finds the output made and copies nothing.
    EXPECT_EQ(loser.out + loser.err, expand(prompt + exists(s.output), pieces));
  }
  // On a terminal, Wine draws the screen with sequences of its own.
  const auto seen = [&](const std::string& o) { return s.flags & terminal ? screen_text(o) : o; };
  EXPECT_EQ(seen(r.out), seen(expand(out, pieces)));
  EXPECT_EQ(r.err, expand(err, pieces));
  EXPECT_EQ(r.status, s.status);
  EXPECT_TRUE(r.key_taken) << "the key left bytes behind, or the terminal's modes changed";
  EXPECT_EQ(snapshot(root), files);
  const std::string& t = r.trace;
  // The window's title: how far the join has got, then the old one (empty) back.
  const std::regex titles("\x1B\\]0;0% p\\.x\x07[^]*\x1B\\]0;\x07(?![^]*\x1B\\])");
  EXPECT_EQ(std::regex_search(r.out, titles), s.flags & terminal && !wine.empty()) << r.out;
  if (s.flags & traced && wine.empty()) {
    // Flushed, named, the name synced, and only then "complete".
    const std::regex order("fdatasync\\([^]*(link|rename)[^]*\\bfsync\\([^]*write\\(1, [^\n]*\n$");
    EXPECT_EQ(std::regex_search(t, order), err.empty()) << t;
    // One write a line on either stream; the completion message goes with the prompt.
    const std::regex write("write\\([12], ");
    EXPECT_EQ(std::distance(std::sregex_iterator(t.begin(), t.end(), write), {}),
              std::count(out.begin(), out.end(), '\n') + std::count(err.begin(), err.end(), '\n'))
        << t;
  } else if (s.flags & traced && err.empty()) {
    // The tool's own calls (its code lies at 0x400000): marked to go on close,
    // flushed, unmarked, moved without replacing.
    static const std::regex call("Call KERNEL32\\.(\\w+)\\([^\n]*?(\\w+)\\) ret=00[45]");
    std::string seen;
    for (std::sregex_iterator i(t.begin(), t.end(), call), end; i != end; ++i)
      seen += (*i)[1].str() + ((*i)[1] == "MoveFileExA" ? (*i)[2].str() : "") + " ";
    EXPECT_EQ(seen,
              "SetFileInformationByHandle FlushFileBuffers SetFileInformationByHandle "
              "MoveFileExA00000008 ");
  }
  EXPECT_TRUE(!(s.flags & interrupt) || t.find("fsync(") < t.find("killed by SIGINT")) << t;
}

std::string row_name(const testing::TestParamInfo<scenario>& row) {
  std::string name = row.param.title;
  for (char& c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(rows, table, testing::ValuesIn(scenarios), row_name);

}  // namespace
