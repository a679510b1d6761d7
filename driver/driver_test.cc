// Runs the built tool as its users do: copied into a folder of its own inside
// the folder of pieces, with a key press waiting. The same table runs against
// the native program and, under Wine, the Windows one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <thread>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

std::string from_env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// The program; the Wine loader that runs it when it is the Windows one; a Windows program
// that holds a file open; a small filesystem for a full disk under Wine. FUSE drives keep no
// links, FIFOs or folder modes.
const std::string exe = from_env("JOINER_EXE");
const std::string wine = from_env("JOINER_WINE");
const std::string holder = from_env("JOINER_HOLDER");
const std::string small_disk = from_env("JOINER_SMALL_DISK");
const bool fuse = !from_env("JOINER_FUSE").empty();

const std::string making = "正在生成文件：";
const std::string done = "文件合并完成！";
const std::string failed = "文件合并失败！\n";
const std::string prompt = "按任意键结束...\n";

std::string made_already(const std::string& name) { return "文件：{W}/" + name + "已经生成！\n"; }
std::string error_line(const std::string& what, const std::string& name) {
  return what + " {W}/" + name + " error!\n";
}

// What a run must show and leave. {W} is the folder of pieces.
struct expectation {
  std::string output;              // the name announced, "" for none
  std::vector<std::string> named;  // the pieces named, as the console shows them
  std::string err;                 // the whole error stream
  int status;
  bool joined;  // the output is at its name, whole
  bool prompt;  // the run reaches its prompt
};

expectation joins(const std::string& name, const std::vector<std::string>& named) {
  return {name, named, "", 0, true, true};
}
expectation fails(const std::string& name, const std::vector<std::string>& named,
                  const std::string& error) {
  return {name, named, error + failed, 1, false, true};
}
expectation stops_with(const std::string& error) { return {"", {}, error, 1, false, true}; }

// How a row runs; each option is a field of the row, never implied by its names.
enum option : unsigned {
  natively_only = 1 << 0,
  wine_only = 1 << 1,
  unix_entries = 1 << 2,  // links, FIFOs, folder modes or GBK names, which FUSE drives lack
  traced = 1 << 3,        // the calls that publish the output, in order
  full_disk = 1 << 4,     // room for 4 KiB of output: the second piece's copy is cut short
  terminal = 1 << 5,      // a pseudo-terminal is the console, an arrow key the key
  sigterm_at_prompt = 1 << 6,
  chinese_utf8 = 1 << 7,  // LC_ALL=zh_CN.UTF-8 (Wine's code page 936), not zh_CN.GBK
  western_utf8 = 1 << 8,  // LC_ALL=C.UTF-8 (Wine's code page 1252)
  linked_tool = 1 << 9,   // the tool's folder a link to one elsewhere, the tool in it another
  read_only_tool_folder = 1 << 10,
  long_path = 1 << 11,             // past Windows' MAX_PATH
  caller_blocks_sigint = 1 << 12,  // with one pending as the tool starts
  piece_held_open = 1 << 13,       // the second, by another Windows program
};

// What the run meets while it stands at its first line, the folder's lock held.
enum class meanwhile { nothing, name_taken, second_run, reader_gone, piece_made_output };

struct row {
  const char* title;
  std::vector<std::string> entries;  // in join order: "name", "dir/", "read-only dir^",
                                     // "fifo|", "link>target"
  expectation expect;
  unsigned options = 0;
  std::vector<std::string> inject = {};  // strace fault injections, natively
  meanwhile at_first_line = meanwhile::nothing;
  std::string output_file = "";  // where the output lands, when not as announced
};

void PrintTo(const row& r, std::ostream* os) { *os << r.title; }

std::vector<std::string> numbered(const std::string& stem, int count) {
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) names.push_back(stem + std::to_string(i) + ".tmp");
  return names;
}

const std::vector<std::string> m20 = numbered("m.flv_", 20);
const std::vector<std::string> p2 = numbered("p.x_", 2);
const std::vector<std::string> p3 = numbered("p.x_", 3);
const std::vector<std::string> fifo = {"p.x_1.tmp", "p.x_2.tmp|", "p.x_3.tmp"};
const std::vector<std::string> unreadable = {"p.x_1.tmp", "p.x_2.tmp>/proc/self/mem"};
// Listed while dangling, then made a link to the output.
const std::vector<std::string> to_output = {"p.x_1.tmp", "p.x_2.tmp>/nowhere"};
const std::vector<std::string> emoji = numbered("🎉新年.flv_", 3);
const std::vector<std::string> emoji_in_936 = numbered("??新年.flv_", 3);
const std::vector<std::string> hangul = numbered("드라마.flv_", 2);

// clang-format off
const row rows[] = {
  {"joins in counter order", m20, joins("m.flv", m20), traced},
  {"too few names", {"only_1.ts"}, stops_with("分段文件少于两个！\n")},
  // r first, .h second, which names the output ".", the folder itself: both are listed.
  {"hidden and read-only folders are listed", {".h/", "r^", "v.ts_1.x"},
   {"", {}, made_already("."), 0, false, true}, unix_entries},
  {"a read-only tool folder", p2, joins("p.x", p2), unix_entries | read_only_tool_folder},
  // Shorter first in code page 936 (the ANSI functions' order), longer in UTF-8.
  {"names in the code page's order", {"视.k_1.s", "abc.k_2.s"},
   joins("abc.k", {"视.k_1.s", "abc.k_2.s"}), unix_entries},
  // Wine refuses a FIFO itself.
  {"a FIFO", fifo, fails("p.x", p2, error_line("open file", "p.x_2.tmp")),
   natively_only | unix_entries},
  {"a piece whose read fails", unreadable, fails("p.x", p2, error_line("read file", "p.x_2.tmp")),
   unix_entries | traced},
  // The second tells no size until read, so it goes through the plain copy loop.
  {"a full disk", {"p.x_1.tmp", "p.x_2.tmp>/proc/self/status"},
   fails("p.x", p2, error_line("write file", "p.x")), unix_entries | full_disk},
  {"a full disk met in the kernel's copy", p2, fails("p.x", p2, error_line("write file", "p.x")),
   natively_only | full_disk},
  {"a piece that is the output itself", to_output,
   fails("p.x", p2, error_line("open file", "p.x_2.tmp")), natively_only | unix_entries, {},
   meanwhile::piece_made_output},
  {"a flush that fails", p2, fails("p.x", p2, error_line("write file", "p.x")), natively_only,
   {"fdatasync:error=EIO"}},
  {"a folder sync that fails", p2, fails("p.x", p2, error_line("write file", "p.x")),
   natively_only, {"fsync:error=EIO"}},
  // The second waits, then finds the output made and copies nothing.
  {"runs started together take turns", p3, joins("p.x", p3), 0, {}, meanwhile::second_run},
  {"a name taken while joining", p2, {"p.x", p2, made_already("p.x"), 0, false, true}, 0, {},
   meanwhile::name_taken},
  {"a piece another program holds open", p2, joins("p.x", p2), wine_only | piece_held_open},
  // SIGINT at the flush waits until the output's name is durable.
  {"an interruption while publishing", p2, {"p.x", p2, "", 130, true, false}, natively_only,
   {"fdatasync:signal=INT"}},
  {"a SIGINT the caller blocks", p3, joins("p.x", p3), natively_only | caller_blocks_sigint},
  // Nothing is left, not even a temporary file in the tool's folder.
  {"a console reader gone mid-join", p2, {"p.x", {}, "", 141, false, false}, natively_only, {},
   meanwhile::reader_gone},
  {"a linked tool folder and tool", p2, joins("p.x", p2),
   natively_only | unix_entries | linked_tool},
  // Redirected under code page 1252: the messages are still GBK.
  {"a path past MAX_PATH", p2, stops_with("program path error!\n"),
   wine_only | long_path | western_utf8},
  {"a GBK terminal and an arrow key", p2, joins("p.x", p2), terminal},
  {"SIGTERM at the prompt", p2, {"p.x", p2, "", 143, true, true},
   natively_only | terminal | sigterm_at_prompt},
  // A UTF-8 terminal (Wine's code page 1252) shows the Chinese messages; names with characters
  // that the code page lacks, and UTF-8 bytes that GBK takes for lead bytes, join.
  {"a Hangul title on a UTF-8 terminal", hangul, joins("드라마.flv", hangul), terminal | western_utf8},
  {"an emoji title", emoji, joins("??新年.flv", emoji_in_936), wine_only | chinese_utf8, {},
   meanwhile::nothing, "🎉新年.flv"},
};
// clang-format on

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Why a row cannot run here; "" when it can.
std::string reason_to_skip(const row& r) {
  if (r.options & natively_only && !wine.empty()) return "natively only";
  if (r.options & wine_only && wine.empty()) return "under Wine only";
  if (fuse && r.options & unix_entries) return "needs what FUSE drives lack";
  if (r.options & piece_held_open && holder.empty()) return "needs JOINER_HOLDER";
  if (r.options & full_disk && !wine.empty() && small_disk.empty())
    return "needs JOINER_SMALL_DISK";
  const bool strace = wine.empty() && (r.options & traced || !r.inject.empty());
  if (strace && access("/usr/bin/strace", X_OK) != 0) return "needs strace";
  return "";
}

std::string locale_of(const row& r) {
  if (r.options & chinese_utf8) return "zh_CN.UTF-8";
  return r.options & western_utf8 ? "C.UTF-8" : "zh_CN.GBK";
}

// The tool's folder is 誠, whose second byte in GBK is "\"; FUSE drives take UTF-8 only.
std::string tool_folder(const row& r) {
  if (fuse) return "tool";
  return r.options & (chinese_utf8 | western_utf8) ? "誠" : "\xD5\x5C";
}

std::string to_gbk(std::string utf8) {
  const iconv_t converter = iconv_open("GBK", "UTF-8");
  std::string gbk(utf8.size(), '\0');
  char* in = &utf8[0];
  char* out = &gbk[0];
  std::size_t in_left = utf8.size();
  std::size_t out_left = gbk.size();
  if (iconv(converter, &in, &in_left, &out, &out_left) == std::size_t(-1))
    ADD_FAILURE() << "no GBK for " << utf8;
  iconv_close(converter);
  gbk.resize(gbk.size() - out_left);
  return gbk;
}

// The console as the platform shows it. Messages are UTF-8 where the locale's encoding is, on
// Linux and on a Wine terminal, and GBK elsewhere.
std::string as_shown(const row& r, std::string text, const std::string& folder) {
  const bool utf8 = r.options & (chinese_utf8 | western_utf8);
  if (!utf8 || !(wine.empty() || r.options & terminal)) text = to_gbk(text);
  text = std::regex_replace(text, std::regex("\\{W\\}"), (wine.empty() ? "" : "Z:") + folder);
  if (wine.empty()) return text;
  text = std::regex_replace(text, std::regex("/"), "\\");
  return std::regex_replace(text, std::regex("\n"), "\r\n");
}

std::string expected_out(const expectation& e) {
  std::string out;
  if (!e.output.empty()) out += making + e.output + "\n\n";
  for (const std::string& name : e.named) out += "{W}/" + name + "\n";
  // The completion message goes out with the prompt, in one write.
  if (e.joined && e.prompt) out += done;
  if (e.prompt) out += prompt;
  return out;
}

// What a terminal's screen shows, without the cursor and title sequences.
std::string screen_text(const std::string& raw) {
  static const std::regex controls("\x1B(\\[[0-?]*[ -/]*[@-~]|\\][^\x07]*\x07)|\r");
  return std::regex_replace(raw, controls, "");
}

struct run_result {
  std::string out, err, trace;
  int status = -1;
  bool terminal_as_found = true;  // nothing of the key left unread, the modes back
};

// Everything the run needs, made before it starts: the child only execs.
std::vector<std::string> command_for(const row& r, const std::string& tool,
                                     const std::string& trace) {
  std::vector<std::string> argv = {"env", "LC_ALL=" + locale_of(r), "TERM=xterm",
                                   "ASAN_OPTIONS=detect_leaks=0"};  // no leak check under ptrace
  if (!wine.empty()) {
    // Wine's relay channel alone: the calls that the traced rows read.
    if (r.options & traced) argv.push_back("WINEDEBUG=-all,+relay");
    argv.push_back(wine);
    // Another Windows program holds the second piece open while the tool runs.
    const fs::path pieces = fs::path(tool).parent_path().parent_path();
    if (r.options & piece_held_open) argv.insert(argv.end(), {holder, pieces / r.entries[1]});
    argv.push_back(tool);
    return argv;
  }
  // Fewer descriptors than a row has pieces; a full disk is a file-size limit.
  argv.insert(argv.end(), {"prlimit", "--nofile=16"});
  if (r.options & full_disk) argv.push_back("--fsize=4096");
  argv.push_back("--");
  // SIGINT is blocked from the start; the shell leaves one pending for the tool.
  if (r.options & caller_blocks_sigint)
    argv.insert(argv.end(), {"sh", "-c", "kill -INT $$ && exec \"$@\"", "sh"});
  if (r.options & traced || !r.inject.empty()) {
    const char* calls = "trace=fdatasync,fsync,linkat,renameat2,link,rename,write,copy_file_range";
    argv.insert(argv.end(), {"strace", "-f", "-qq", "-s4096", "-o", trace, "-e", calls});
    for (const std::string& fault : r.inject) argv.insert(argv.end(), {"-e", "inject=" + fault});
  }
  argv.push_back(tool);
  return argv;
}

// Starts argv with its standard streams on in, out and err, or on the terminal tty as its
// controlling one. Signals as a shell leaves them: at their defaults, none blocked (but
// SIGINT where the row's caller blocks it).
pid_t start(std::vector<std::string> argv, const row& r, int in, int out, int err,
            const char* tty = nullptr) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (tty) posix_spawn_file_actions_addopen(&actions, 0, tty, O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&actions, tty ? 0 : in, 0);
  posix_spawn_file_actions_adddup2(&actions, tty ? 0 : out, 1);
  posix_spawn_file_actions_adddup2(&actions, tty ? 0 : err, 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t blocked;
  sigemptyset(&blocked);
  if (r.options & caller_blocks_sigint) sigaddset(&blocked, SIGINT);
  sigset_t defaults;
  sigfillset(&defaults);
  posix_spawnattr_setsigmask(&attributes, &blocked);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  const int session = tty ? POSIX_SPAWN_SETSID : 0;
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | session);
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  EXPECT_EQ(error, 0) << args[0] << ": " << strerror(error);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// The exit status as a shell gives it; a run still going after a minute is killed.
// Kills a run still going a minute after started, so that no fault hangs the table.
bool overdue(pid_t pid, clock_type::time_point started) {
  if (clock_type::now() - started < std::chrono::minutes(1)) return false;
  ADD_FAILURE() << "a run took more than a minute";
  kill(pid, SIGKILL);
  return true;
}

int wait_for(pid_t pid) {
  const auto started = clock_type::now();
  int status = 0;
  bool killed = false;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    killed = killed || overdue(pid, started);
    std::this_thread::sleep_for(milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What fd yields until its writers have gone.
std::string read_until_closed(int fd, pid_t pid) {
  const auto started = clock_type::now();
  std::string bytes;
  bool killed = false;
  char buf[4096];
  for (ssize_t n = 1; n > 0;) {
    pollfd ready = {fd, POLLIN, 0};
    killed = killed || overdue(pid, started);
    if (poll(&ready, 1, 100) == 0) continue;
    n = read(fd, buf, sizeof buf);
    if (n > 0) bytes.append(buf, static_cast<std::size_t>(n));
  }
  return bytes;
}

int open_file(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0) << path << ": " << strerror(errno);
  return fd;
}

// A run whose console is the files console + "out" and "err" (or the pipe out_pipe), with no
// key but the end of input.
pid_t start_on_files(const row& r, const std::string& tool, const std::string& console,
                     int out_pipe = -1) {
  const int in = open_file("/dev/null", O_RDONLY);
  const int out = out_pipe >= 0 ? out_pipe : open_file(console + "out", O_WRONLY | O_CREAT);
  const int err = open_file(console + "err", O_WRONLY | O_CREAT);
  const pid_t pid = start(command_for(r, tool, console + "trace"), r, in, out, err);
  close(in);
  if (out != out_pipe) close(out);
  close(err);
  return pid;
}

run_result finish_on_files(pid_t pid, const std::string& console) {
  run_result result;
  result.status = wait_for(pid);
  result.out = read_file(console + "out");
  result.err = read_file(console + "err");
  return result;
}

// Ended, but not yet waited for.
bool has_ended(pid_t pid) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

bool send(int fd, const std::string& bytes) {
  return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// Once the tool waits for its key (the prompt shown, line mode off), presses an arrow key, its
// bytes a moment apart, or sends SIGTERM; collects the screen until the tool has gone.
run_result run_on_terminal(const row& r, const std::string& tool, const std::string& console) {
  run_result result;
  int master = -1;
  int slave = -1;
  winsize wide = {24, 500, 0, 0};  // lines stay whole on the screen
  EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &wide), 0) << strerror(errno);
  const pid_t pid = start(command_for(r, tool, console + "trace"), r, -1, -1, -1, ttyname(slave));
  const std::string shown_prompt = as_shown(r, prompt, "").substr(0, 12);
  bool pressed = false;
  const auto started = clock_type::now();
  for (bool gone = false;;) {
    gone = gone || has_ended(pid) || overdue(pid, started);
    pollfd ready = {master, POLLIN, 0};
    char buf[4096];
    const ssize_t n = poll(&ready, 1, gone ? 0 : 100) > 0 ? read(master, buf, sizeof buf) : 0;
    if (n > 0)
      result.out.append(buf, static_cast<std::size_t>(n));
    else if (gone)
      break;
    termios modes;
    if (pressed || result.out.find(shown_prompt) == std::string::npos ||
        tcgetattr(slave, &modes) != 0 || modes.c_lflag & ICANON)
      continue;
    pressed = true;
    if (r.options & sigterm_at_prompt) {
      EXPECT_EQ(kill(pid, SIGTERM), 0) << strerror(errno);
      continue;
    }
    EXPECT_TRUE(send(master, "\x1B"));
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_TRUE(send(master, "[A"));
  }
  result.status = wait_for(pid);
  termios modes;
  EXPECT_EQ(tcgetattr(slave, &modes), 0) << strerror(errno);
  const tcflag_t as_found = ICANON | ECHO | ISIG;
  const bool modes_back = (modes.c_lflag & as_found) == as_found;
  modes.c_lflag &= ~ICANON;  // a canonical terminal counts whole lines only
  EXPECT_EQ(tcsetattr(slave, TCSANOW, &modes), 0) << strerror(errno);
  int unread = -1;
  EXPECT_EQ(ioctl(slave, FIONREAD, &unread), 0) << strerror(errno);
  result.terminal_as_found = modes_back && unread == 0;
  close(slave);
  close(master);
  return result;
}

// The thread of a process that stands in a write to a full pipe.
bool stuck_writing(pid_t pid) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    if (read_file(task.path() / "wchan").find("pipe_write") != std::string::npos) return true;
  return false;
}

// Runs the tool with its output stream a pipe of one page, filled but for room bytes: the run
// stands at the first write that does not fit, its folder's lock held, until the pipe is read.
// Does what the row meets meanwhile, then lets it go on; other runs' results go to others.
run_result run_held(const row& r, const std::string& tool, const std::string& console,
                    const std::string& pieces, std::vector<run_result>* others) {
  run_result result;
  // Where the reader goes, the run stands at the first piece's line, after the announcement.
  std::size_t room = 0;
  if (r.at_first_line == meanwhile::reader_gone)
    room = as_shown(r, expected_out(r.expect), "").size();
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0) << strerror(errno);
  EXPECT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096) << strerror(errno);
  EXPECT_TRUE(send(fds[1], std::string(4096 - room, 'f')));
  const auto started = clock_type::now();
  const pid_t pid = start_on_files(r, tool, console, fds[1]);
  close(fds[1]);
  while (!stuck_writing(pid) && clock_type::now() - started < std::chrono::seconds(30))
    std::this_thread::sleep_for(milliseconds(2));
  EXPECT_TRUE(stuck_writing(pid)) << "the run never reached its first line";
  const auto time_to_first_line = clock_type::now() - started;
  const std::string output = pieces + "/" + r.expect.output;
  if (r.at_first_line == meanwhile::name_taken) std::ofstream(output) << "taken";
  if (r.at_first_line == meanwhile::piece_made_output) {
    const std::string piece = pieces + "/p.x_2.tmp";
    const std::string output_fd = "/proc/" + std::to_string(pid) + "/fd/4";  // after the lock
    EXPECT_EQ(unlink(piece.c_str()), 0) << strerror(errno);
    EXPECT_EQ(symlink(output_fd.c_str(), piece.c_str()), 0) << strerror(errno);
  }
  pid_t second = -1;
  if (r.at_first_line == meanwhile::second_run) {
    second = start_on_files(r, tool, console + "second-");
    // Time for it to reach the lock, or, taking no turn, to end.
    std::this_thread::sleep_for(3 * time_to_first_line + milliseconds(200));
    EXPECT_FALSE(has_ended(second)) << "the second run took no turn";
  }
  if (r.at_first_line == meanwhile::reader_gone) {
    // What the reader saw, copied without taking it from the pipe, so that the run stands
    // where it is until the reader has gone.
    int seen[2];
    EXPECT_EQ(pipe2(seen, O_CLOEXEC), 0) << strerror(errno);
    EXPECT_EQ(tee(fds[0], seen[1], 4096, 0), 4096) << strerror(errno);
    close(fds[0]);
    close(seen[1]);
    fds[0] = seen[0];
  }
  result.out = read_until_closed(fds[0], pid);
  result.out.erase(0, 4096 - room);
  close(fds[0]);
  result.status = wait_for(pid);
  result.err = read_file(console + "err");
  if (second > 0) others->push_back(finish_on_files(second, console + "second-"));
  return result;
}

run_result run(const row& r, const std::string& tool, const std::string& console,
               const std::string& pieces, std::vector<run_result>* others) {
  run_result result;
  if (r.options & terminal)
    result = run_on_terminal(r, tool, console);
  else if (r.at_first_line != meanwhile::nothing)
    result = run_held(r, tool, console, pieces, others);
  else
    result = finish_on_files(start_on_files(r, tool, console), console);
  if (wine.empty()) {
    result.trace = read_file(console + "trace");
    return result;
  }
  // Wine's relay trace shares the error stream, each line led by a thread's number.
  static const std::regex relay_line("[0-9a-f]{4}:[^\n]*\n");
  for (std::sregex_iterator i(result.err.begin(), result.err.end(), relay_line), end; i != end; ++i)
    result.trace += i->str();
  result.err = std::regex_replace(result.err, relay_line, "");
  return result;
}

// A name as the folder holds it: GBK where that is the locale's encoding.
std::string on_disk(const row& r, const std::string& name) {
  return r.options & (chinese_utf8 | western_utf8) ? name : to_gbk(name);
}

// A piece is 3000 bytes, no whole number of blocks: bytes that a text mode would change, its
// name, then its last byte repeated.
bool make_entry(const row& r, const std::string& pieces, const std::string& entry) {
  const std::size_t mark = entry.find_first_of(">/^|");
  const std::string path = pieces + "/" + on_disk(r, entry.substr(0, mark));
  if (mark == std::string::npos) {
    std::string bytes = std::string("\r\n\x1A\0", 4) + entry;
    std::ofstream(path, std::ios::binary) << bytes.append(3000 - bytes.size(), entry.back());
    return fs::file_size(path) == 3000;
  }
  if (entry[mark] == '>') return symlink(entry.substr(mark + 1).c_str(), path.c_str()) == 0;
  if (entry[mark] == '|') return mkfifo(path.c_str(), 0644) == 0;
  return mkdir(path.c_str(), entry[mark] == '/' ? 0755 : 0555) == 0;
}

// Leaves the small filesystem 4 KiB of room once the dead run's leftover, one block, is gone.
void fill_all_but_4_kib(const std::string& root) {
  struct statvfs disk;
  ASSERT_EQ(statvfs(root.c_str(), &disk), 0) << strerror(errno);
  const std::uint64_t room = std::uint64_t{disk.f_bavail} * disk.f_bsize;
  const std::uint64_t left = 4096 - disk.f_bsize;
  ASSERT_GE(room, left) << root << " is too small";
  std::ofstream(root + "/filler") << std::string(room - left, 'f');
  ASSERT_EQ(statvfs(root.c_str(), &disk), 0) << strerror(errno);
  ASSERT_EQ(std::uint64_t{disk.f_bavail} * disk.f_bsize, left);
}

// Lays out the pieces and the tool's folder under root; returns the path the tool is started by.
std::string stage(const std::string& root, const std::string& pieces, const row& r) {
  const std::string folder = tool_folder(r);
  const std::string tool_dir = pieces + "/" + folder;
  const std::string tool = tool_dir + (wine.empty() ? "/joiner" : "/joiner.exe");
  fs::create_directories(pieces);
  if (r.options & linked_tool) {
    // The links' targets, with decoys beside them.
    fs::create_directories(root + "/real/bin");
    fs::create_directories(root + "/real/" + folder);
    std::ofstream(root + "/real/backup_1.tar") << "decoy";
    std::ofstream(root + "/real/backup_2.tar") << "decoy";
    fs::create_directory_symlink(root + "/real/" + folder, tool_dir);
    fs::copy_file(exe, root + "/real/bin/joiner");
    fs::create_symlink(root + "/real/bin/joiner", tool);
  } else {
    fs::create_directories(tool_dir);
    fs::copy_file(exe, tool);
  }
  // A dead run's unfinished output, which the run removes where it may.
  if (!(r.options & read_only_tool_folder))
    std::ofstream(tool_dir + "/joiner-99999999.part") << "dead";
  for (const std::string& entry : r.entries)
    EXPECT_TRUE(make_entry(r, pieces, entry)) << entry << ": " << strerror(errno);
  if (r.options & read_only_tool_folder) {
    EXPECT_EQ(chmod(tool_dir.c_str(), 0555), 0) << strerror(errno);
  }
  if (r.options & full_disk && !wine.empty()) fill_all_but_4_kib(root);
  // Started as "tool/../tool/joiner": ".." is taken by name, not through the link.
  return r.options & linked_tool ? tool_dir + "/../" + folder + "/joiner" : tool;
}

// Large files by their size and hash, so that a failure stays readable.
std::string shown(const std::string& bytes) {
  if (bytes.size() <= 64) return bytes;
  return std::to_string(bytes.size()) + " #" + std::to_string(std::hash<std::string>()(bytes));
}

// Every entry under root, with the bytes of the files.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const bool plain_file = e.is_regular_file() && !e.is_symlink();
    files[e.path().string()] = plain_file ? shown(read_file(e.path())) : "";
  }
  return files;
}

std::string make_temporary_folder(const std::string& base) {
  std::string folder = base + "/joiner-test-XXXXXX";
  EXPECT_TRUE(mkdtemp(&folder[0])) << base << ": " << strerror(errno);
  return folder;
}

// On a terminal: the join's progress in the title, then the old title back (natively pushed
// before and popped after).
void expect_progress_title(const std::string& raw, const std::string& name) {
  const std::string old_back = wine.empty() ? "\x1B[23;0t" : "\x1B]0;\x07";
  const std::size_t shown = raw.find("\x1B]0;0% " + name + "\x07");
  const std::size_t back = raw.rfind(old_back);
  EXPECT_NE(shown, std::string::npos) << raw;
  EXPECT_NE(back, std::string::npos) << raw;
  EXPECT_LT(shown, back) << raw;
  EXPECT_EQ(raw.find("\x1B]0;", back + 1), std::string::npos) << raw;
  if (wine.empty()) {
    EXPECT_LT(raw.find("\x1B[22;0t"), shown) << raw;
  }
}

class table : public testing::TestWithParam<row> {};

TEST_P(table, shows_the_dialogue_and_changes_nothing_but_the_output) {
  const row& r = GetParam();
  const expectation& e = r.expect;
  if (!reason_to_skip(r).empty()) GTEST_SKIP() << reason_to_skip(r);
  const std::string temporary = fs::temp_directory_path();
  const bool on_small_disk = r.options & full_disk && !wine.empty();
  const std::string root = make_temporary_folder(on_small_disk ? small_disk : temporary);
  const std::string console = make_temporary_folder(temporary) + "/";
  const std::string long_name = r.options & long_path ? "/" + std::string(250, 'l') : "";
  const std::string pieces = root + long_name + "/pieces";
  const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
    // A read-only tool folder keeps its files from all but root.
    chmod((pieces + "/" + tool_folder(r)).c_str(), 0755);
    std::error_code error;
    fs::remove_all(root, error);
    fs::remove_all(console, error);
  });
  const std::string tool = stage(root, pieces, r);

  // Nothing changes but the output, and the dead run's leftover goes.
  std::map<std::string, std::string> files = snapshot(root);
  const std::string leftover = "/" + tool_folder(r) + "/joiner-99999999.part";
  if (!(r.options & long_path)) files.erase(pieces + leftover);
  files.erase(root + "/real" + leftover);
  const std::string output = pieces + "/" + (r.output_file.empty() ? e.output : r.output_file);
  std::string joined;
  for (const std::string& entry : r.entries)
    joined += e.joined ? read_file(pieces + "/" + on_disk(r, entry)) : "";
  if (e.joined) files[output] = shown(joined);
  if (r.at_first_line == meanwhile::name_taken) files[output] = "taken";

  std::vector<run_result> others;
  const run_result result = run(r, tool, console, pieces, &others);
  const std::string out = as_shown(r, expected_out(e), pieces);
  if (r.options & terminal) {
    EXPECT_EQ(screen_text(result.out), screen_text(out));
    if (e.joined) expect_progress_title(result.out, e.output);
  } else {
    EXPECT_EQ(result.out, out);
  }
  EXPECT_EQ(result.err, as_shown(r, e.err, pieces));
  EXPECT_EQ(result.status, e.status);
  EXPECT_TRUE(result.terminal_as_found) << "the key left bytes behind, or the modes changed";
  EXPECT_EQ(snapshot(root), files);
  for (const run_result& other : others) {
    EXPECT_EQ(other.out, as_shown(r, prompt, pieces));
    EXPECT_EQ(other.err, as_shown(r, made_already(e.output), pieces));
  }
  const std::string& trace = result.trace;
  if (r.options & traced && wine.empty()) {
    // Flushed, named, the name synced, and only then "complete".
    const std::regex order("fdatasync\\([^]*(link|rename)[^]*\\bfsync\\([^]*write\\(1, [^\n]*\n$");
    EXPECT_EQ(std::regex_search(trace, order), e.joined) << trace;
    // One write a line on either stream; the completion message goes with the prompt.
    const std::regex write("write\\([12], ");
    const std::string lines = out + as_shown(r, e.err, pieces);
    EXPECT_EQ(std::distance(std::sregex_iterator(trace.begin(), trace.end(), write), {}),
              std::count(lines.begin(), lines.end(), '\n'))
        << trace;
  }
  if (r.options & traced && !wine.empty() && e.joined) {
    // The tool's own calls (its code lies at 0x400000): the output marked to go on close,
    // flushed, unmarked, renamed through its handle (class 3), flushed again.
    static const std::regex call("Call KERNEL32\\.(\\w+)\\(\\w+(,(\\w+))?[^\n]*\\) ret=00[45]");
    std::string calls;
    for (std::sregex_iterator i(trace.begin(), trace.end(), call), end; i != end; ++i)
      calls += (*i)[1].str() + (*i)[3].str() + " ";
    EXPECT_EQ(calls,
              "SetFileInformationByHandle00000004 FlushFileBuffers "
              "SetFileInformationByHandle00000004 SetFileInformationByHandle00000003 "
              "FlushFileBuffers ");
  }
  if (r.inject == std::vector<std::string>{"fdatasync:signal=INT"}) {
    EXPECT_LT(trace.find("fsync("), trace.find("killed by SIGINT")) << trace;
  }
}

std::string row_name(const testing::TestParamInfo<row>& info) {
  std::string name = info.param.title;
  for (char& c : name) c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(rows, table, testing::ValuesIn(rows), row_name);

}  // namespace
