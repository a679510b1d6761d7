// Runs the built tool, natively or under Wine, among its pieces; a row reads as a sentence.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <iconv.h>
#include <locale.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

std::string from_env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

const std::string exe = from_env("JOINER_EXE");
const std::string wine = from_env("JOINER_WINE");
const std::string holder = from_env("JOINER_HOLDER");
const std::string faults_exe = from_env("JOINER_FAULTS_EXE");  // the build whose calls can fail
const std::string small_disk = from_env("JOINER_SMALL_DISK");  // a tmpfs of a few MiB
const bool fuse = !from_env("JOINER_FUSE").empty();
// Far longer than a run takes through qemu-user on a loaded machine: only a hang reaches it.
const std::chrono::minutes hang_limit(3);
const bool sanitized = !from_env("JOINER_SANITIZED").empty();  // the tool, instrumented

// Without the tool, one failure says what is missing, not one a row.
struct the_tool_is_built : testing::Environment {
  void SetUp() override {
    ASSERT_TRUE(fs::is_regular_file(exe)) << "JOINER_EXE must name the built tool: " << exe;
  }
};
testing::Environment* const tool_check = testing::AddGlobalTestEnvironment(new the_tool_is_built);

const std::string making = "正在生成文件：";
const std::string done = "文件合并完成！";
const std::string failed = "文件合并失败！\n";
const std::string prompt = "按任意键结束...\n";

std::string made_already(const std::string& name) { return "文件：{W}/" + name + "已经生成！\n"; }
// A failure and its reason: the tool's words, or an error's (under Wine, Wine's words for it).
std::string error_line(const std::string& what, const std::string& name, const std::string& words) {
  return what + " {W}/" + name + " error!\n" + words + "\n";
}
std::string error_line(const std::string& what, const std::string& name, int code,
                       const std::string& wine_words = "") {
  return error_line(what, name, wine.empty() ? "{E" + std::to_string(code) + "}" : wine_words);
}
const char* not_regular = "not a regular file (a folder, a pipe or a device)";

using names = std::vector<std::string>;

// What a run must show and leave. {W} stands for the folder of pieces, {P} for the process.
struct expectation {
  std::string output;  // the name announced, "" for none
  names named;         // the pieces named, as the console shows them
  std::string err;     // the whole error stream
  int status;
  bool joined;               // the output is at its name, whole
  bool prompt;               // the console shows the prompt
  std::string notices = "";  // what the names say, on the error stream before "complete"
};

expectation joins(const std::string& name, const names& named) {
  return {name, named, "", 0, true, true};
}
expectation notes(const std::string& name, const names& named, const std::string& notices) {
  return {name, named, "", 0, true, true, notices};
}
expectation fails(const std::string& name, const names& named, const std::string& error) {
  return {name, named, error + failed, 1, false, true};
}
expectation stops_with(const std::string& error) { return {"", {}, error, 1, false, true}; }
// For a run cut short by a signal or a reader gone: the output whole or not, the prompt or not.
constexpr bool whole = true, unfinished = false, at_prompt = true, before_prompt = false;

// How a row runs. An option's bit is its place in this list, and option_count counts the places.
enum option : unsigned {
  // Where (reason_to_skip).
  natively_only,
  wine_only,
  fuse_only,     // on a drive without unnamed files, where the output is named at once
  unix_entries,  // FIFOs, folder modes or GBK names, which FUSE drives lack
  // How the tool is started (command_for).
  traced,                // the calls that publish the output
  every_call,            // traced, and open to faults, whatever the call
  chinese_utf8,          // LC_ALL=zh_CN.UTF-8 (Wine's code page 936), not zh_CN.GBK
  western_utf8,          // LC_ALL=C.UTF-8 (Wine's code page 1252)
  caller_blocks_sigint,  // with one pending as the tool starts
  caller_ignores_sigpipe,
  reused_ids,       // dead runs' leftovers bearing this run's process id, a newer's
  piece_held_open,  // the second, by another Windows program, sharing it
  piece_held_exclusively,
  full_disk,  // room for 4 KiB of output: a file-size limit, under Wine a small disk
  // What lies around it (stage).
  linked_tool,  // the tool's folder a link to one elsewhere, the tool in it another
  read_only_tool_folder,
  tool_elsewhere,  // the tool's folder a link to another drive
  long_path,       // past Windows' MAX_PATH
  // The console: a terminal, where the row presses a key (run), or both streams on one pipe
  // (start).
  terminal,
  sigterm_at_prompt,
  one_stream,
  // What the run meets, held at its first piece's line, its folder locked (meet).
  name_taken,
  second_run,
  second_folder,  // whose tool folder is a link to this one's
  reader_gone,
  piece_made_output,
  other_spelling,  // a run whose folder is this one's, in capitals (exFAT)
  terminated,      // SIGTERM, with nobody reading the console
  option_count
};

// Some options, or-ed together.
struct option_set {
  unsigned bits = 0;
  option_set() = default;
  option_set(option o) : bits(1u << o) {}
};
option_set operator|(option_set a, option_set b) {
  a.bits |= b.bits;
  return a;
}
option_set operator|(option a, option b) { return option_set(a) | b; }
const option_set held = name_taken | second_run | second_folder | reader_gone | piece_made_output |
                        other_spelling | terminated;

struct row {
  const char* title;
  names entries;  // in order: "name", "dir/", "read-only dir^", "fifo|", "link>target"
  expectation expect;
  option_set options = {};
  bool has(option_set some) const { return options.bits & some.bits; }
  // strace fault injections, natively; "CALL:ACTION@TEXT" acts on the CALL whose traced line
  // first matches TEXT, found from a trace of the same run, whatever the loader's calls.
  std::vector<std::string> inject = {};
  std::string output_file = "";  // where the output lands, when not as announced
};

void PrintTo(const row& r, std::ostream* os) { *os << r.title; }

names numbered(const std::string& stem, int count) {
  names numbered;
  for (int i = 1; i <= count; ++i) numbered.push_back(stem + std::to_string(i) + ".tmp");
  return numbered;
}

const names m20 = numbered("m.flv_", 20);
const names p2 = numbered("p.x_", 2);
const names p3 = numbered("p.x_", 3);
// Listed while dangling, then made a link to the output.
const names to_output = {"p.x_1.tmp", "p.x_2.tmp>/nowhere"};
const names emoji = numbered("🎉新年.flv_", 3);
const names hangul = numbered("드라마.flv_", 2);
const names dotted = {"t.f_1.x.", "t.f_2.xy"};
const names escape = {"e.v_1.c", "e.v_2.c", "e.v_3\x1B]2;pwned\x07.c"};
const names escape_shown = {"e.v_1.c", "e.v_2.c", "e.v_3?]2;pwned?.c"};
// U+009D, which a terminal may take for the start of a title (OSC); Windows' 1252 keeps it.
const names c1 = {"o.v_1.c", "o.v_2\u009D.c"};

// clang-format off
// Each option on a bit of its own: two given one place leave option_count short of this list.
constexpr option every_option[] = {
  natively_only, wine_only, fuse_only, unix_entries, traced, every_call, chinese_utf8, western_utf8,
  caller_blocks_sigint, caller_ignores_sigpipe, reused_ids, piece_held_open, piece_held_exclusively,
  full_disk, linked_tool, read_only_tool_folder, tool_elsewhere, long_path, terminal,
  sigterm_at_prompt, one_stream, name_taken, second_run, second_folder, reader_gone,
  piece_made_output, other_spelling, terminated};
static_assert(std::size(every_option) == option_count, "two options on one bit, or one not here");

const row rows[] = {
  {"joins in counter order", m20, joins("m.flv", m20), traced},
  // A whole output may lack a piece, or hold a stray file or an empty one ("=", 0 bytes).
  {"a gap, a stray file and an empty piece are said",
   {"notes.txt", "m.flv_1.tmp", "m.flv_2.tmp", "m.flv_3.tmp=", "m.flv_5.tmp"},
   notes("m.flv", {"notes.txt", "m.flv_1.tmp", "m.flv_2.tmp", "m.flv_3.tmp", "m.flv_5.tmp"},
         "缺少分段：m.flv_4.tmp\n多余文件：notes.txt\n空分段：m.flv_3.tmp\n"),
   one_stream},
  {"too few names", {"only_1.ts"}, stops_with("分段文件少于两个！\nfolder searched: {W}\n")},
  // r first, .h second, which names the output ".", the folder itself: both are listed.
  {"hidden and read-only folders are listed", {".h/", "r^", "v.ts_1.x"},
   stops_with("output name error!\nthe name \".\" names no file: the folder holds names that are "
              "not pieces (title.kind_N.suffix)\n"),
   unix_entries},
  {"a read-only tool folder", p2, joins("p.x", p2), unix_entries | read_only_tool_folder},
  // Shorter first in code page 936 (the ANSI functions' order), longer in UTF-8.
  {"names in the code page's order", {"视.k_1.s", "abc.k_2.s"},
   notes("abc.k", {"视.k_1.s", "abc.k_2.s"}, "缺少分段：abc.k_1.s\n多余文件：视.k_1.s\n"),
   unix_entries},
  // Wine refuses a FIFO itself.
  {"a FIFO", {"p.x_1.tmp", "p.x_2.tmp|", "p.x_3.tmp"},
   fails("p.x", p2, error_line("open file", "p.x_2.tmp", not_regular)),
   natively_only | unix_entries},
  // The system's reason, under Wine for a piece held unshared.
  {"a piece held without sharing", p2,
   fails("p.x", p2, error_line("open file", "p.x_2.tmp", "Sharing violation.")),
   wine_only | western_utf8 | piece_held_exclusively},
  {"a piece whose read fails", {"p.x_1.tmp", "p.x_2.tmp>/proc/self/mem"},
   fails("p.x", p2, error_line("read file", "p.x_2.tmp", EIO, "未就绪。")), unix_entries | traced},
  // The second tells no size until read, so it goes through the plain copy loop.
  {"a full disk", {"p.x_1.tmp", "p.x_2.tmp>/proc/self/status"},
   fails("p.x", p2, error_line("write file", "p.x", EFBIG, "磁盘满。")), unix_entries | full_disk},
  {"a full disk met in the kernel's copy", p2,
   fails("p.x", p2, error_line("write file", "p.x", EFBIG)), natively_only | full_disk},
  {"a piece that is the output itself", to_output,
   fails("p.x", p2, error_line("open file", "p.x_2.tmp", "it leads to the output being joined")),
   natively_only | unix_entries | piece_made_output},
  // The listing stops at an entry it cannot tell a folder or not, and names it.
  {"a link whose kind cannot be told", {"p.x_1.tmp", "p.x_2.tmp>/dev/null/x"},
   stops_with("find no file!\n{E20}\nentry whose kind could not be told: {W}/p.x_2.tmp\n"
              "folder searched: {W}\n"), natively_only | unix_entries},
  {"a piece that is a link to a device", {"p.x_1.tmp", "p.x_2.tmp>/dev/null", "p.x_3.tmp"},
   fails("p.x", p2, error_line("open file", "p.x_2.tmp", not_regular)), wine_only},
  // Windows shows what is marked hidden and system to nobody; a hidden piece is still a piece.
  {"what Windows hides from everyone",
   {"desktop.ini!", "System Volume Information/!", "p.x_1.tmp", "p.x_2.tmp~", "p.x_3.tmp"},
   joins("p.x", p3), wine_only},
  // A name is data: on a terminal its control characters show as "?", redirected as they are.
  {"a name that would drive the terminal", escape,
   notes("e.v", escape_shown, "多余文件：" + escape_shown[2] + "\n"),
   natively_only | unix_entries | terminal},
  {"a name with control characters, redirected", escape,
   notes("e.v", escape, "多余文件：" + escape[2] + "\n"),
   natively_only | unix_entries},
  {"a C1 control on Wine's console", c1, joins("o.v", {"o.v_1.c", "o.v_2?.c"}),
   wine_only | western_utf8 | terminal},
  {"a C1 control, redirected", c1, joins("o.v", c1), wine_only | western_utf8},
  {"leftovers bearing reused process ids", p2, joins("p.x", p2), natively_only | reused_ids},
  // The lock fails, but the dead run's process tells.
  {"a leftover where locks fail", p2, joins("p.x", p2), natively_only,
   {"flock:error=ENOLCK:when=1..2"}},
  // Nothing is copied: the output could not be named across drives.
  {"a tool folder on another drive", p2,
   fails("p.x", {}, error_line("open file", "tool/joiner-{P}.part",
                               "the tool's folder is on another drive than the pieces")),
   fuse_only | tool_elsewhere},
  // The second waits, then finds the output made and copies nothing.
  {"runs started together take turns", p3, joins("p.x", p3), second_run},
  // The second run's sweep leaves the first run's live temporary file alone.
  {"two folders share one tool folder", p2, joins("p.x", p2), second_folder},
  // Something took the output's name meanwhile.
  {"a name taken while joining", p2, {"p.x", p2, made_already("p.x"), 0, unfinished, at_prompt},
   name_taken},
  // Another spelling is another inode, which the lock does not see: the owner's process tells.
  {"a live run's file met by another spelling", p2,
   {"p.x", p2, made_already("p.x"), 0, unfinished, at_prompt}, name_taken | other_spelling},
  {"a piece another program holds open", p2, joins("p.x", p2), wine_only | piece_held_open},
  // SIGINT at the flush waits until the output's name is durable.
  {"an interruption while publishing", p2, {"p.x", p2, "", 130, whole, before_prompt},
   natively_only | traced, {"fdatasync:signal=INT"}},
  {"a SIGINT the caller blocks", p3, joins("p.x", p3), natively_only | caller_blocks_sigint},
  {"a SIGINT the caller blocks, at a terminal's prompt", p2, joins("p.x", p2),
   natively_only | caller_blocks_sigint | terminal},
  // A signal during a failed join's cleanup ends the run by it.
  {"SIGTERM as a failed join's output closes", p3,
   {"p.x", p2, error_line("open file", "p.x_2.tmp", EACCES), 143, unfinished, before_prompt},
   natively_only, {"openat:error=EACCES@p.x_2.tmp", "close:signal=TERM@/#[0-9]+>|\\.part>\\)"}},
  {"SIGTERM to a run blocked on a full pipe", p2, {"p.x", {}, "", 143, unfinished, before_prompt},
   natively_only | terminated},
  {"SIGINT mid-join gives a terminal its title back", p3,
   {"p.x", p2, "", 130, unfinished, before_prompt}, natively_only | terminal,
   {"openat:signal=INT@p.x_2.tmp"}},
  // Nothing is left, not even a temporary file in the tool's folder.
  {"a console reader gone mid-join", p2, {"p.x", {}, "", 141, unfinished, before_prompt},
   natively_only | reader_gone},
  {"a console reader gone, SIGPIPE ignored", p2, {"p.x", {}, "", 0, whole, before_prompt},
   natively_only | caller_ignores_sigpipe | reader_gone},
  {"a linked tool folder and tool", p2, joins("p.x", p2), natively_only | unix_entries | linked_tool},
  // Pieces and the tool past Windows' MAX_PATH, opened by their long form, which keeps a name's
  // trailing dot; an output's goes, as Windows would make it.
  {"paths past MAX_PATH, a name ending in a dot", dotted,
   notes("t.f", dotted, "缺少分段：t.f_1.xy\n多余文件：t.f_1.x.\n"), long_path | traced},
  {"an output name ending in a dot", {"odot._1.tmp", "odot._2.tmp"},
   joins("odot", {"odot._1.tmp", "odot._2.tmp"}), wine_only},
  // Redirected under code page 1252: messages in GBK, "?" for a letter that 1252 lacks.
  {"names without the code page's letters", numbered("ßāΩ.flv_", 2),
   joins("ß??.flv", numbered("ß??.flv_", 2)), wine_only | western_utf8, {}, "ßāΩ.flv"},
  {"a GBK terminal and an arrow key", p2, joins("p.x", p2), terminal},
  {"SIGTERM at the prompt", p2, {"p.x", p2, "", 143, whole, at_prompt},
   natively_only | terminal | sigterm_at_prompt},
  {"SIGTERM at a prompt read from a pipe", p2, {"p.x", p2, "", 143, whole, at_prompt},
   natively_only | sigterm_at_prompt},
  // A UTF-8 terminal (Wine's code page 1252) shows the Chinese messages and any name.
  {"a Hangul title on a UTF-8 terminal", hangul, joins("드라마.flv", hangul), terminal | western_utf8},
  {"an emoji title", emoji, joins("??新年.flv", numbered("??新年.flv_", 3)),
   wine_only | chinese_utf8, {}, "🎉新年.flv"},
  // Its size says 0, yet the join moves its bytes: no empty piece.
  {"a piece that is a link to /proc/version", {"p.x_1.tmp", "p.x_2.tmp>/proc/version"},
   joins("p.x", p2), unix_entries},
};
// clang-format on

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Large files by their size and hash, so that a failure stays readable.
std::string shown(const std::string& bytes) {
  if (bytes.size() <= 64) return bytes;
  return std::to_string(bytes.size()) + " #" + std::to_string(std::hash<std::string>()(bytes));
}

std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const bool plain_file = e.is_regular_file() && !e.is_symlink();
    files[e.path().string()] = plain_file ? shown(read_file(e.path())) : "";
  }
  return files;
}

// Why a row cannot run here; "" when it can.
std::string reason_to_skip(const row& r) {
  if (r.has(natively_only) && !wine.empty()) return "natively only";
  if (r.has(wine_only) && wine.empty()) return "under Wine only";
  if (r.has(fuse_only) && !fuse) return "on FUSE drives only";
  if (fuse && r.has(unix_entries)) return "needs what FUSE drives lack";
  if (r.has(full_disk) && !wine.empty() && small_disk.empty()) return "needs a small disk";
  return "";
}

std::string locale_of(const row& r) {
  if (r.has(chinese_utf8)) return "zh_CN.UTF-8";
  return r.has(western_utf8) ? "C.UTF-8" : "zh_CN.GBK";
}

bool utf8_locale(const row& r) { return locale_of(r) != "zh_CN.GBK"; }

std::string convert(std::string utf8, const char* charset) {
  const iconv_t converter = iconv_open(charset, "UTF-8");
  std::string text(utf8.size(), '\0');
  char* in = &utf8[0];
  char* out = &text[0];
  std::size_t in_left = utf8.size(), out_left = text.size();
  const std::size_t converted = iconv(converter, &in, &in_left, &out, &out_left);
  EXPECT_NE(converted, std::size_t(-1)) << "no " << charset << " for " << utf8;
  iconv_close(converter);
  return text.substr(0, text.size() - out_left);
}

// A name as the folder holds it: GBK where that is the locale's encoding.
std::string on_disk(const row& r, const std::string& name) {
  return utf8_locale(r) ? name : convert(name, "GBK");
}

// The tool's folder is 誠, whose second byte in GBK is "\"; FUSE drives take UTF-8 only.
std::string tool_folder(const row& r) { return fuse ? "tool" : on_disk(r, "誠"); }

// UTF-8 where the locale says so (under Wine, on a terminal); else GBK, names in the code page.
std::string encoded(const row& r, const std::string& utf8, bool name = false) {
  if (utf8_locale(r) && (wine.empty() || r.has(terminal))) return utf8;
  // iconv's 1252 lacks the C1 controls that Windows' maps to themselves.
  const char* western = utf8.find("\u009D") == std::string::npos ? "CP1252" : "LATIN1";
  return convert(utf8, name && !wine.empty() && r.has(western_utf8) ? western : "GBK");
}

// The console as shown: {W} the folder, {P} the process, {E<n>} error n in the row's locale.
std::string as_shown(const row& r, std::string text, const std::string& folder, pid_t pid = 0) {
  text = std::regex_replace(text, std::regex("\\{W\\}"), (wine.empty() ? "" : "Z:") + folder);
  text = std::regex_replace(text, std::regex("\\{P\\}"), std::to_string(pid));
  const locale_t locale = newlocale(LC_ALL_MASK, locale_of(r).c_str(), locale_t{});
  const std::regex reason("\\{E([0-9]+)\\}");
  for (std::smatch m; std::regex_search(text, m, reason);)
    text.replace(m.position(), m.length(), strerror_l(std::stoi(m[1]), locale));
  freelocale(locale);
  if (wine.empty()) return text;
  text = std::regex_replace(text, std::regex("/"), "\\");
  if (r.has(terminal)) return text;  // whose line ends the screen does not show
  return std::regex_replace(text, std::regex("\n"), "\r\n");
}

// A terminal shows both streams, as a pipe for both does.
bool on_one_stream(const row& r) { return r.has(one_stream | terminal); }

std::string expected_out(const row& r, const expectation& e) {
  std::string out;
  if (!e.output.empty()) out += encoded(r, making) + encoded(r, e.output, true) + "\n\n";
  for (const std::string& name : e.named) out += "{W}/" + encoded(r, name, true) + "\n";
  // The completion message goes out with the prompt, in one write.
  if (e.joined && e.prompt) out += encoded(r, on_one_stream(r) ? e.notices : "") + encoded(r, done);
  if (e.prompt) out += encoded(r, prompt);
  return out;
}

struct run_result {
  std::string out, err, trace;
  int status = -1;
  pid_t pid = -1;
  std::string story = "";         // its status, error stream and folder, told where a check fails
  std::string wine_failure = "";  // the line where Wine itself failed, not the tool
};

// One bears the tool's own id (in a container every run has one), one a process started after it.
const char* leftovers_of_reused_ids =
    "d=${1%/*}; echo dead >\"$d/joiner-$$.part\"; sleep 9 </dev/null >/dev/null 2>&1 & "
    "touch -d '1 hour ago' \"$d/joiner-$!.part\"; exec \"$@\"";

std::vector<std::string> command_for(const row& r, const std::string& tool,
                                     const std::string& trace) {
  std::vector<std::string> argv = {"env"};
  if (r.has(caller_ignores_sigpipe)) argv.push_back("--ignore-signal=PIPE");
  if (r.has(caller_blocks_sigint)) argv.push_back("--block-signal=INT");
  // No leak check under ptrace.
  argv.insert(argv.end(), {"LC_ALL=" + locale_of(r), "TERM=xterm", "ASAN_OPTIONS=detect_leaks=0"});
  if (!wine.empty()) {
    // Wine's relay channel alone: the calls that the traced rows read, the wait a second run's
    // turn shows.
    if (r.has(traced | second_run)) argv.push_back("WINEDEBUG=-all,+relay");
    // The fault build's seam traces every call, and fails the one it is told to.
    if (r.has(every_call)) argv.push_back("JOINER_TRACE=Z:" + trace);
    for (const std::string& fault : r.inject) argv.push_back("JOINER_INJECT=" + fault);
    argv.push_back(wine);
    // Another Windows program holds the second piece open while the tool runs.
    const fs::path pieces = fs::path(tool).parent_path().parent_path();
    const char* sharing = r.has(piece_held_open) ? "shared" : "exclusive";
    if (r.has(piece_held_open | piece_held_exclusively))
      argv.insert(argv.end(), {holder, sharing, pieces / "p.x_2.tmp"});
  } else {
    // Fewer descriptors than a row has pieces.
    argv.insert(argv.end(), {"prlimit", "--nofile=16"});
    if (r.has(full_disk)) argv.push_back("--fsize=4096");
    argv.push_back("--");
    // The shell leaves a SIGINT pending for the tool, or leftovers bearing reused process ids.
    if (r.has(caller_blocks_sigint))
      argv.insert(argv.end(), {"sh", "-c", "kill -INT $$ && exec \"$@\"", "sh"});
    if (r.has(reused_ids)) argv.insert(argv.end(), {"sh", "-c", leftovers_of_reused_ids, "sh"});
    // An injection's call must be traced to be failed.
    const bool all = r.has(every_call) || !r.inject.empty();
    const char* calls =
        all ? "trace=all" : "trace=fdatasync,fsync,linkat,renameat2,link,rename,write,flock";
    if (r.has(traced | every_call) || !r.inject.empty())
      argv.insert(argv.end(), {"strace", "-f", "-qq", "-s4096", "-o", trace, "-e", calls});
    // Each descriptor with its file, so that a call can be told by what it acts on.
    if (r.has(every_call)) argv.push_back("-y");
    for (const std::string& fault : r.inject) argv.insert(argv.end(), {"-e", "inject=" + fault});
  }
  argv.push_back(tool);
  return argv;
}

// A run: no key, errors into dir/err, output into dir/out, the pipe out or (all) the terminal tty.
struct process {
  std::string dir;  // ends in "/"
  int out = -1;
  int keys = -1;  // where the run reads its key, when not from /dev/null or the terminal
  const char* tty = nullptr;
  pid_t pid = -1;
  clock_type::time_point deadline = {};
  bool killed = false;
};

// Starts the row's command as a shell does, no signal blocked; the child only execs.
void start(const row& r, const std::string& tool, process* p) {
  std::vector<std::string> argv = command_for(r, tool, p->dir + "trace");
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  const std::string out = p->dir + "out";
  const std::string err = p->dir + "err";
  const int file = O_WRONLY | O_CREAT | O_TRUNC;
  p->deadline = clock_type::now() + hang_limit;
  p->pid = fork();
  if (p->pid == 0) {
    if (p->tty) setsid();  // the terminal becomes its controlling one
    const int tty = p->tty ? open(p->tty, O_RDWR) : -1;
    dup2(p->tty ? tty : p->keys >= 0 ? p->keys : open("/dev/null", O_RDONLY), 0);
    dup2(p->tty ? tty : p->out >= 0 ? p->out : open(out.c_str(), file, 0644), 1);
    const bool one = p->out >= 0 && r.has(one_stream);
    dup2(p->tty ? tty : one ? p->out : open(err.c_str(), file, 0644), 2);
    closefrom(3);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  EXPECT_GT(p->pid, 0) << strerror(errno);
}

// Waits for an event of a run. One that hangs instead is killed, so that no fault hangs the table.
void wait_for(process& p, const std::function<bool()>& event) {
  while (!event() && !p.killed) {
    if (clock_type::now() < p.deadline) {
      std::this_thread::sleep_for(milliseconds(2));
      continue;
    }
    ADD_FAILURE() << "a run hung: killed after " << hang_limit.count() << " minutes";
    p.killed = kill(p.pid, SIGKILL) == 0;
  }
}

// Ended, but not yet waited for.
bool has_ended(const process& p) {
  siginfo_t info = {};
  return waitid(P_PID, static_cast<id_t>(p.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == p.pid;
}

// The run's status as a shell gives it, what its console files hold (under Wine the tool's own
// calls apart, from its image at 0x400000, or 0x140000000 in the 64-bit build), and its story:
// the status, the error stream and what the folder of pieces holds but pieces.
run_result finish(process& p, const std::string& pieces) {
  wait_for(p, [&] { return has_ended(p); });
  int status = 0;
  EXPECT_EQ(waitpid(p.pid, &status, 0), p.pid) << strerror(errno);
  const int shell_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run_result result;
  result.out = read_file(p.dir + "out");
  result.err = read_file(p.dir + "err");
  result.trace = read_file(p.dir + "trace");
  result.status = shell_status;
  result.pid = p.pid;
  static const std::regex call("Call KERNEL32\\.([^\n]*) ret=(00[45]|1400)");
  for (std::sregex_iterator i(result.err.begin(), result.err.end(), call), end; i != end; ++i)
    result.trace += (*i)[1].str() + "\n";
  if (!wine.empty())
    result.err = std::regex_replace(result.err, std::regex("[0-9a-f]{4}:[^\n]*\n"), "");
  // A line that Wine's loader or server wrote for itself; a crash is the program's own.
  static const std::regex wine_own("(^|\n)(wine(?!: Unhandled)[^\r\n]*)");
  std::smatch m;
  if (!wine.empty() && std::regex_search(result.err, m, wine_own)) result.wine_failure = m[2];
  if (!result.wine_failure.empty()) ADD_FAILURE() << "Wine failed: " << result.wine_failure;
  std::ostringstream story;
  story << p.dir << ": status " << result.status << ", error stream \"" << result.err << "\"";
  static const std::regex piece("_[0-9]+\\.tmp$");  // left out: the folder's own, 1,200 at most
  for (const auto& [path, bytes] : snapshot(pieces))
    if (!std::regex_search(path, piece)) story << "\n  " << path << " " << bytes;
  result.story = story.str();
  return result;
}

// What fd shows until the run has ended; each sees it as it grows.
std::string collect(int fd, process& p, const std::function<void(const std::string&)>& each) {
  std::string bytes;
  bool gone = false;
  wait_for(p, [&] {
    gone = gone || has_ended(p);
    pollfd ready = {fd, POLLIN, 0};
    char buf[4096];
    const ssize_t n = poll(&ready, 1, 0) > 0 ? read(fd, buf, sizeof buf) : 0;
    if (n > 0) bytes.append(buf, static_cast<std::size_t>(n));
    each(bytes);
    return gone && n <= 0;
  });
  return bytes;
}

bool send(int fd, const std::string& bytes) {
  return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// At the key wait (the prompt shown, line mode off): SIGTERM, or an arrow key, natively its
// tail once the tool has read the first byte, whatever the timing. False until then.
bool at_the_prompt(const row& r, const std::string& screen, int master, int slave, process& p) {
  termios modes;
  if (screen.find(encoded(r, prompt).substr(0, 12)) == std::string::npos ||
      tcgetattr(slave, &modes) != 0 || modes.c_lflag & ICANON)
    return false;
  if (r.has(sigterm_at_prompt)) {
    EXPECT_EQ(kill(p.pid, SIGTERM), 0) << strerror(errno);
    return true;
  }
  // What it has read and written so far, which changes once it has read the first byte.
  const std::string io = "/proc/" + std::to_string(p.pid) + "/io";
  const std::string before = read_file(io);
  EXPECT_TRUE(send(master, wine.empty() ? "\x1B" : "\x1B[A"));
  if (!wine.empty()) return true;
  wait_for(p, [&] { return read_file(io) != before; });
  EXPECT_TRUE(send(master, "[A"));
  return true;
}

// The old title kept (natively pushed), the progress, the old title back, and nothing after.
void expect_progress_title(const std::string& raw, const std::string& name) {
  const std::string kept = wine.empty() ? "\x1B\\[22;0t[^]*" : "";
  const std::string back = wine.empty() ? "\x1B\\[23;0t" : "\x1B\\]0;\x07";
  const std::regex order(kept + "\x1B\\]0;0% " + name + "\x07[^]*" + back + "(?![^]*\x1B\\]0;)");
  EXPECT_TRUE(std::regex_search(raw, order)) << raw;
}

// The terminal as the run found it: echo, line mode and signals on, nothing of the key unread.
// Under Wine the console host gives the modes back after the program has ended, in its own time.
void expect_terminal_as_found(int slave, clock_type::time_point deadline) {
  termios modes;
  const tcflag_t as_found = ICANON | ECHO | ISIG;
  const auto modes_back = [&] {
    return tcgetattr(slave, &modes) == 0 && (modes.c_lflag & as_found) == as_found;
  };
  while (!wine.empty() && !modes_back() && clock_type::now() < deadline)
    std::this_thread::sleep_for(milliseconds(2));
  EXPECT_EQ(tcgetattr(slave, &modes), 0) << strerror(errno);
  EXPECT_EQ(modes.c_lflag & as_found, as_found) << "the modes changed";
  modes.c_lflag &= ~ICANON;  // a canonical terminal counts whole lines only
  EXPECT_EQ(tcsetattr(slave, TCSANOW, &modes), 0) << strerror(errno);
  int unread = -1;
  EXPECT_EQ(ioctl(slave, FIONREAD, &unread), 0) << strerror(errno);
  EXPECT_EQ(unread, 0) << "the key left bytes behind";
}

// A thread of the process stands in wait, a kernel function: pipe_write, pipe_read.
bool stuck_in(pid_t pid, const std::string& wait) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error))
    if (read_file(task.path() / "wchan").find(wait) != std::string::npos) return true;
  return false;
}

// The output's descriptor: the one whose file has no name yet.
std::string output_descriptor(pid_t pid) {
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& fd : fs::directory_iterator(fds))
    if (fs::read_symlink(fd).string().find(" (deleted)") != std::string::npos) return fd.path();
  ADD_FAILURE() << "no unnamed output in " << fds;
  return "";
}

// At the folder's lock, waiting its turn: natively a blocked flock, under Wine its call that
// waits (Wine's relay trace).
bool at_the_lock(const process& p) {
  static const std::regex waits("Call KERNEL32\\.WaitForSingleObject\\([^\n]* ret=(00[45]|1400)");
  if (!wine.empty()) return std::regex_search(read_file(p.dir + "err"), waits);
  const std::regex blocked("-> FLOCK +\\w+ +\\w+ +" + std::to_string(p.pid) + " ");
  return std::regex_search(read_file("/proc/locks"), blocked);
}

// What a run held at its first piece's line meets; another run that it starts is *second.
void meet(const row& r, const std::string& tool, const std::string& pieces, process& p,
          process* second, int* console_out) {
  wait_for(p, [&] { return stuck_in(p.pid, "pipe_write"); });
  if (r.has(name_taken)) std::ofstream(pieces + "/" + r.expect.output) << "taken";
  if (r.has(piece_made_output)) {
    const std::string piece = pieces + "/p.x_2.tmp";
    EXPECT_EQ(unlink(piece.c_str()), 0) << strerror(errno);
    EXPECT_EQ(symlink(output_descriptor(p.pid).c_str(), piece.c_str()), 0) << strerror(errno);
  }
  if (r.has(second_run)) {
    start(r, tool, second);
    wait_for(*second, [&] { return at_the_lock(*second) || has_ended(*second); });
    EXPECT_FALSE(has_ended(*second)) << "the second run took no turn";
  }
  if (r.has(second_folder)) {
    // A copy of the pieces whose tool folder is a link to the held run's: it joins meanwhile.
    const std::string other = second->dir + "other";
    const std::string tool_dir = fs::path(tool).parent_path();
    fs::copy(pieces, other, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(other + tool_dir.substr(pieces.size()));
    fs::create_directory_symlink(tool_dir, other + tool_dir.substr(pieces.size()));
    process beside = {second->dir};
    start(r, other + tool.substr(pieces.size()), &beside);
    const run_result joined = finish(beside, other);
    EXPECT_EQ(joined.status, 0) << joined.story;
  }
  if (r.has(other_spelling)) {
    const std::string capitals = pieces.substr(0, pieces.size() - 6) + "PIECES";
    process beside = {second->dir};
    start(r, capitals + tool.substr(pieces.size()), &beside);
    const run_result made = finish(beside, pieces);
    EXPECT_EQ(made.status, 0) << made.story;
    const std::string own = "/joiner-" + std::to_string(p.pid) + ".part";
    EXPECT_TRUE(fs::exists(fs::path(tool).parent_path().string() + own))
        << "a live run's file went";
  }
  if (r.has(terminated)) {
    // Blocked on the console, it must still end at once, though nobody reads.
    EXPECT_EQ(kill(p.pid, SIGTERM), 0) << strerror(errno);
    wait_for(p, [&] { return has_ended(p); });
  }
  if (r.has(reader_gone)) {
    // What the reader saw, copied (tee) so that the run stays held until the reader goes.
    int seen[2];
    EXPECT_EQ(pipe2(seen, O_CLOEXEC), 0) << strerror(errno);
    EXPECT_EQ(tee(*console_out, seen[1], 4096, 0), 4096) << strerror(errno);
    close(*console_out);
    close(seen[1]);
    *console_out = seen[0];
  }
}

// Runs the tool with its output on a pipe, or on a terminal where the row presses a key. A held
// run stands at its first piece's line, its folder locked, behind a full one-page pipe.
run_result run(const row& r, const std::string& tool, const std::string& dir,
               const std::string& pieces) {
  process p = {dir};
  int fds[2] = {-1, -1};  // where the console's output is read, and written
  int slave = -1;
  if (r.has(terminal)) {
    winsize wide = {24, 500, 0, 0};  // lines stay whole on the screen
    EXPECT_EQ(openpty(&fds[0], &slave, nullptr, nullptr, &wide), 0) << strerror(errno);
    p.tty = ttyname(slave);
  } else {
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0) << strerror(errno);
    p.out = fds[1];
  }
  int keys[2] = {-1, -1};  // a pipe that stays open, for SIGTERM at a prompt read from it
  if (r.has(sigterm_at_prompt) && slave < 0) {
    EXPECT_EQ(pipe2(keys, O_CLOEXEC), 0) << strerror(errno);
    p.keys = keys[0];
  }
  std::size_t filler = 0;  // room left for the announcement alone
  if (r.has(held)) {
    filler = 4096 - as_shown(r, encoded(r, making + r.expect.output + "\n\n"), "").size();
    EXPECT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096) << strerror(errno);
    EXPECT_TRUE(send(fds[1], std::string(filler, 'f')));
  }
  start(r, tool, &p);
  if (fds[1] >= 0) close(fds[1]);
  process second = {dir + "second-"};
  if (r.has(held)) meet(r, tool, pieces, p, &second, &fds[0]);
  bool pressed = false;
  const std::string out = collect(fds[0], p, [&](const std::string& screen) {
    if (slave >= 0 && !pressed) pressed = at_the_prompt(r, screen, fds[0], slave, p);
    if (keys[1] >= 0 && !pressed && stuck_in(p.pid, "pipe_read"))
      pressed = kill(p.pid, SIGTERM) == 0;
  });
  for (int fd : keys)
    if (fd >= 0) close(fd);
  run_result result = finish(p, pieces);
  result.out = out.substr(filler);
  if (slave >= 0) {
    // What the screen shows, the title apart.
    if (!r.expect.named.empty()) expect_progress_title(out, r.expect.output);
    static const std::regex controls("\x1B(\\[[0-?]*[ -/]*[@-~]|\\][^\x07]*\x07)|\r");
    result.out = std::regex_replace(out, controls, "");
    expect_terminal_as_found(slave, p.deadline);
  }
  close(fds[0]);
  if (slave >= 0) close(slave);
  if (second.pid > 0) {
    // The output was made meanwhile: the second run copies nothing.
    const run_result waited = finish(second, pieces);
    SCOPED_TRACE("the second run, " + waited.story);
    EXPECT_EQ(waited.out, as_shown(r, encoded(r, prompt), pieces));
    EXPECT_EQ(waited.err, as_shown(r, encoded(r, made_already(r.expect.output)), pieces));
  }
  return result;
}

// A piece: 3000 bytes (no whole block) that a text mode would change, its name, its last byte;
// "=" an empty one.
// Marked "!" hidden and system, "~" hidden, as Wine keeps DOS attributes (where Samba does).
bool make_entry(const row& r, const std::string& pieces, std::string entry) {
  const std::string attrib = entry.back() == '!' ? "0x6" : entry.back() == '~' ? "0x2" : "";
  if (!attrib.empty()) entry.pop_back();
  const std::size_t mark = entry.find_first_of(">/^|=");
  const std::string path = pieces + "/" + on_disk(r, entry.substr(0, mark));
  bool made = false;
  if (mark == std::string::npos) {
    std::string bytes = std::string("\r\n\x1A\0", 4) + entry;
    std::ofstream(path, std::ios::binary) << bytes.append(3000 - bytes.size(), entry.back());
    made = fs::file_size(path) == 3000;
  } else if (entry[mark] == '>') {
    made = symlink(entry.substr(mark + 1).c_str(), path.c_str()) == 0;
  } else if (entry[mark] == '=') {
    std::ofstream(path, std::ios::binary).flush();
    made = fs::file_size(path) == 0;
  } else if (entry[mark] == '|') {
    made = mkfifo(path.c_str(), 0644) == 0;
  } else {
    made = mkdir(path.c_str(), entry[mark] == '/' ? 0755 : 0555) == 0;
  }
  return made && (attrib.empty() ||
                  setxattr(path.c_str(), "user.DOSATTRIB", attrib.data(), attrib.size(), 0) == 0);
}

std::string make_temporary_folder(const fs::path& base) {
  std::string folder = base / "joiner-test-XXXXXX";
  EXPECT_TRUE(mkdtemp(&folder[0])) << base << ": " << strerror(errno);
  return folder;
}

struct staged {
  std::string outside, root, pieces, tool, leftover;
};

// Stages the row's folders into *s; they go when what it returns goes. No tool where the drive
// keeps no links. Outside, beside the built tool: the runs' files.
std::shared_ptr<void> stage(const row& r, staged* s) {
  s->outside = make_temporary_folder(fs::path(exe).parent_path()) + "/";
  const bool on_small_disk = r.has(full_disk) && !wine.empty();
  s->root = make_temporary_folder(on_small_disk ? fs::path(small_disk) : fs::temp_directory_path());
  const std::shared_ptr<void> cleanup(nullptr, [=](void*) {
    // A read-only tool folder keeps its files from all but root.
    chmod((s->pieces + "/" + tool_folder(r)).c_str(), 0755);
    std::error_code error;
    fs::remove_all(s->root, error);
    fs::remove_all(s->outside, error);
  });
  const std::string long_name = r.has(long_path) ? "/" + std::string(250, 'l') : "";
  s->pieces = s->root + long_name + "/pieces";
  const std::string folder = tool_folder(r);
  const std::string tool_dir = s->pieces + "/" + folder;
  s->tool = tool_dir + (wine.empty() ? "/joiner" : "/joiner.exe");
  fs::create_directories(s->pieces);
  std::string real_dir = tool_dir;
  if (r.has(linked_tool)) real_dir = s->root + "/real/" + folder;
  if (r.has(tool_elsewhere)) real_dir = s->outside + "tool";
  fs::create_directories(real_dir);
  std::error_code no_links;  // exFAT
  if (real_dir != tool_dir) fs::create_directory_symlink(real_dir, tool_dir, no_links);
  if (no_links) s->tool.clear();
  if (no_links) return cleanup;
  const std::string real_tool = r.has(linked_tool) ? s->root + "/real/joiner" : s->tool;
  fs::copy_file(exe, real_tool);
  if (real_tool != s->tool) fs::create_symlink(real_tool, s->tool);
  // A dead run's unfinished output, which the run removes where it may.
  if (!r.has(read_only_tool_folder)) {
    s->leftover = real_dir + "/joiner-99999999.part";
    std::ofstream(s->leftover) << "dead";
  }
  for (const std::string& entry : r.entries)
    EXPECT_TRUE(make_entry(r, s->pieces, entry)) << entry << ": " << strerror(errno);
  if (r.has(read_only_tool_folder)) {
    EXPECT_EQ(chmod(tool_dir.c_str(), 0555), 0) << strerror(errno);
  }
  if (on_small_disk) {
    // Filled up: the dead run's leftover, when it goes, leaves room for one page.
    std::ofstream(s->root + "/filler") << std::string(fs::space(s->root).available, 'f');
    EXPECT_EQ(fs::space(s->root).available, 0u);
  }
  // Started as "tool/../tool/joiner": ".." is taken by name, not through the link.
  if (r.has(linked_tool)) s->tool = tool_dir + "/../" + folder + "/joiner";
  return cleanup;
}

// A joined output's bytes durable, then its name, durable too, then "complete"; under Wine all
// through one handle, every file opened by its long form, the mutex for SYNCHRONIZE only.
void expect_traced_calls(const std::string& trace, const expectation& e) {
  std::string published = "fdatasync\\([^]*(link|rename)[^]*\\bfsync\\(";
  if (e.prompt) published += "[^]*write\\(1, [^\n]*\n$";
  if (!wine.empty())
    published =
        "SetFileInformationByHandle\\((\\w+),00000004,[^]*FlushFileBuffers\\(\\1\\)[^]*"
        "SetFileInformationByHandle\\(\\1,00000003,[^]*FlushFileBuffers\\(\\1\\)";
  EXPECT_EQ(std::regex_search(trace, std::regex(published)), e.joined) << trace;
  // Natively each console line goes out whole: no write to the console ends but with a line end.
  static const std::regex part_of_a_line("write\\([12], \"[^\n]*([^n]|[^\\\\]n)\", \\d+\\)");
  EXPECT_FALSE(std::regex_search(trace, part_of_a_line)) << trace;
  if (wine.empty()) return;
  EXPECT_TRUE(std::regex_search(trace, std::regex("CreateFileW\\("))) << trace;
  static const std::regex short_form(R"(CreateFileW\(\w+ L"(?!\\\\\\\\\?\\\\))");
  EXPECT_FALSE(std::regex_search(trace, short_form)) << trace;
  EXPECT_TRUE(std::regex_search(trace, std::regex("CreateMutexExW\\([^\n]*,00100000\\)"))) << trace;
}

// One occurrence of a call: the when of strace's inject=CALL:error=E:when=N, and its line.
struct occurrence {
  std::string call;
  int when;
  std::string line;
};

// The chosen calls the tool itself makes (natively after the loader's, which end as it unmaps its
// cache), less those that glibc makes for memory and threads, which no disk fails, and the end.
std::vector<occurrence> own_calls(const std::string& trace, const std::regex& chosen) {
  static const std::regex call_line("^(?:[0-9]+ +)?(\\w+)(?:\\(|$)");
  static const std::regex left_out("mmap|munmap|mprotect|brk|futex|exit_group");
  std::map<std::string, int> seen;
  std::vector<occurrence> calls;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (!std::regex_search(line, m, call_line)) continue;
    const std::string call = m[1];
    const int when = ++seen[call];
    const bool own = (!wine.empty() || seen.count("munmap")) && !std::regex_match(call, left_out);
    if (own && std::regex_match(call, chosen)) calls.push_back({call, when, line});
  }
  return calls;
}

// The row, each "CALL:ACTION@TEXT" made "CALL:ACTION:when=N": the N-th CALL is the first whose
// traced line matches TEXT, in a run with the injections before it.
row with_occurrences(row r, const staged& s) {
  for (std::size_t i = 0; i < r.inject.size(); ++i) {
    const std::size_t at = r.inject[i].find('@');
    if (at == std::string::npos) continue;
    row traced = r;
    traced.options.bits = r.options.bits & ~(held | sigterm_at_prompt).bits;
    traced.options = traced.options | every_call;
    traced.inject.resize(i);
    const std::string trace = run(traced, s.tool, s.outside, s.pieces).trace;
    // The folders as staged: no output, and the dead run's leftover back.
    fs::remove(s.pieces + "/" + r.expect.output);
    if (!s.leftover.empty()) std::ofstream(s.leftover) << "dead";
    const std::string call = r.inject[i].substr(0, r.inject[i].find(':'));
    const std::regex text(r.inject[i].substr(at + 1));
    int when = 0;
    for (const occurrence& c : own_calls(trace, std::regex(call)))
      if (when == 0 && std::regex_search(c.line, text)) when = c.when;
    EXPECT_GT(when, 0) << r.inject[i] << " in\n" << trace;
    r.inject[i] = r.inject[i].substr(0, at) + ":when=" + std::to_string(when);
  }
  return r;
}

class table : public testing::TestWithParam<row> {};

TEST_P(table, shows_the_dialogue_and_changes_nothing_but_the_output) {
  const row& r = GetParam();
  const expectation& e = r.expect;
  if (!reason_to_skip(r).empty()) GTEST_SKIP() << reason_to_skip(r);
  staged s;
  const std::shared_ptr<void> cleanup = stage(r, &s);
  if (s.tool.empty()) GTEST_SKIP() << "this drive keeps no links";
  if (r.has(other_spelling) && !fs::exists(s.root + "/PIECES"))
    GTEST_SKIP() << "this drive tells case apart";

  // Nothing changes but the output, and the dead run's leftover goes.
  std::map<std::string, std::string> files = snapshot(s.root);
  files.erase(s.leftover);
  const std::string output = s.pieces + "/" + (r.output_file.empty() ? e.output : r.output_file);
  std::string joined;
  for (std::string entry : r.entries) {
    if (entry.back() == '~') entry.pop_back();                  // hidden, yet a piece
    const std::string name = entry.substr(0, entry.find('>'));  // a link gives its target's bytes
    if (e.joined && entry.back() != '!') joined += read_file(s.pieces + "/" + on_disk(r, name));
  }
  if (e.joined) files[output] = shown(joined);
  if (r.has(name_taken)) files[output] = "taken";

  const run_result result = run(with_occurrences(r, s), s.tool, s.outside, s.pieces);
  if (!result.wine_failure.empty()) return;
  EXPECT_EQ(result.out, as_shown(r, expected_out(r, e), s.pieces));
  const std::string err = e.err + (on_one_stream(r) ? "" : e.notices);
  EXPECT_EQ(result.err, as_shown(r, encoded(r, err), s.pieces, result.pid));
  EXPECT_EQ(result.status, e.status);
  EXPECT_EQ(snapshot(s.root), files);
  if (r.has(traced)) expect_traced_calls(result.trace, e);
}

std::string row_name(const testing::TestParamInfo<row>& info) {
  return std::regex_replace(info.param.title, std::regex("[^A-Za-z0-9]"), "_");
}

INSTANTIATE_TEST_SUITE_P(rows, table, testing::ValuesIn(rows), row_name);

// An error the sweep gives the calls that match: natively in strerror's words, under Wine (a
// Windows error, set by the fault build's seam) in Wine's, under C.UTF-8.
struct fault {
  int error;
  std::string words;
  std::regex calls;
};

std::vector<fault> faults() {
  if (wine.empty())
    return {{EIO, strerror(EIO), std::regex("\\w+")},
            {ENOSPC, strerror(ENOSPC),
             std::regex("write|copy_file_range|openat|link(at)?|rename(at2)?|f(data)?sync")}};
  return {{5, "Access denied.", std::regex("\\w+")},
          {112, "Disk full.", std::regex("WriteFile|WriteConsoleW|FlushFileBuffers")},
          {32, "Sharing violation.", std::regex("CreateFileW")},
          {21, "Not ready.", std::regex("ReadFile|Find(First|Next)FileW")}};
}

// As SQLite tests its I/O: a plain join, run again once for each occurrence of each chosen call
// with that occurrence failed, natively by strace, under Wine by the fault build. There each run
// is slow: the first eight occurrences of each call are failed, or the middle one alone.
void sweep(const names& pieces, const std::regex& chosen, bool middle = false) {
  if (sanitized) GTEST_SKIP() << "without a sanitizer's own calls";
  static const std::regex durable("f(data)?sync|FlushFileBuffers");
  const row plain = {"a plain join", pieces, joins("p.x", pieces), western_utf8 | every_call};
  staged s;
  const std::shared_ptr<void> cleanup = stage(plain, &s);
  if (!wine.empty()) fs::copy_file(faults_exe, s.tool, fs::copy_options::overwrite_existing);
  const std::string output = s.pieces + "/p.x";
  const auto only_the_tool = [&] {
    return std::distance(fs::directory_iterator(fs::path(s.tool).parent_path()), {}) == 1;
  };
  std::string all_pieces;
  for (const std::string& piece : pieces) all_pieces += read_file(s.pieces + "/" + piece);

  const run_result traced = run(plain, s.tool, s.outside, s.pieces);
  const auto calls = own_calls(traced.trace, chosen);
  ASSERT_FALSE(calls.empty()) << "no munmap ends the loader's calls: " << traced.story;
  ASSERT_TRUE(fs::remove(output));
  std::map<std::string, int> count;  // each call's occurrences
  for (const occurrence& c : calls) count[c.call] = c.when;
  int failed = 0, runs = 1;
  for (const occurrence& c : calls) {
    if (!wine.empty() && (middle ? c.when != (count[c.call] + 1) / 2 : c.when > 8)) continue;
    ++failed;
    for (const fault& f : faults()) {
      if (!std::regex_match(c.call, f.calls)) continue;
      row faulted = plain;
      faulted.inject = {c.call + ":error=" + std::to_string(f.error) +
                        ":when=" + std::to_string(c.when)};
      SCOPED_TRACE(faulted.inject[0]);
      std::ofstream(s.leftover) << "dead";  // each run meets one, as the traced run did
      const run_result result = run(faulted, s.tool, s.outside, s.pieces);
      ++runs;
      SCOPED_TRACE("the faulted run, " + result.story);
      if (!result.wine_failure.empty()) continue;  // Wine failed, not the tool
      const bool joined = read_file(output) == all_pieces;
      EXPECT_TRUE(joined || result.status != 0) << "status 0 without the whole output";
      EXPECT_TRUE(joined || result.out.find(done) == std::string::npos) << "complete without it";
      EXPECT_TRUE(result.status != 0 || !std::regex_match(c.call, durable)) << "not durable";
      if (result.status != 0) {
        EXPECT_FALSE(fs::exists(output)) << "a failed run left something at the output's name";
        EXPECT_NE(result.err.find(f.words), std::string::npos) << result.err;
      }
      fs::remove(output);
      fs::remove(s.leftover);  // a dead run's, which a failed sweep leaves
      EXPECT_TRUE(only_the_tool() || c.call == "unlink") << "the run left its temporary file";
      // After a failure the next run, nothing failed, joins and leaves only the tool.
      if (result.status == 0 && joined) continue;
      const run_result next = run(plain, s.tool, s.outside, s.pieces);
      ++runs;
      SCOPED_TRACE("the next run, " + next.story);
      EXPECT_EQ(read_file(output), all_pieces);
      EXPECT_TRUE(only_the_tool()) << "a leftover after the next run";
      fs::remove(output);
    }
  }
  std::cout << count.size() << " calls, " << failed << " occurrences failed, " << runs << " runs\n";
}

TEST(sweep, every_call_of_a_join_failed_in_turn) { sweep(p3, std::regex("\\w+")); }

// 1,200 names take several reads of the folder; under Wine each name is a call.
TEST(sweep, every_read_of_a_long_listing_failed_in_turn) {
  sweep(numbered("p.x_", wine.empty() ? 1200 : 40), std::regex("getdents64|FindNextFileW"), true);
}

}  // namespace
