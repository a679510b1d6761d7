// The native platform, for Linux only: beside POSIX, the join and its
// publishing use O_PATH, O_TMPFILE, copy_file_range, sync_file_range, renameat2 and
// /proc/self/fd, and the tool's own path comes from getauxval and /proc/self/exe.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

std::string folder_or_root(const std::string& folder) {
  return folder.empty() ? std::string(1, separator) : folder;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens without blocking (a FIFO must not hang the run), then insists on a
// regular file, for which O_NONBLOCK changes nothing and so may stay.
int open_regular(int folder, const char* path, int flags, struct stat* st, failure* why) {
  int fd;
  do {
    fd = openat(folder, path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *why = system_failure();
    return -1;
  }
  const bool stated = fstat(fd, st) == 0;
  if (!stated || !S_ISREG(st->st_mode)) {
    *why = stated ? failure{0, reasons::not_regular} : system_failure();
    close(fd);
    return -1;
  }
  return fd;
}

file_id id_of(const struct stat& st) {
  return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// The signals that would end the run while its output is unfinished, or with
// the terminal in the key wait's modes; a failed console write is one too.
constexpr int interruption_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr std::size_t interruption_count = sizeof interruption_signals / sizeof(int);

// Whether the run may act on sig, *found becoming its action: the caller
// neither blocks it (it means to deal with it beyond this run) nor ignores it
// (nohup ignores SIGHUP).
bool acts_on(int sig, const sigset_t& caller_mask, struct sigaction* found) {
  return sigismember(&caller_mask, sig) == 0 && sigaction(sig, nullptr, found) == 0 &&
         found->sa_handler != SIG_IGN;
}

// The first interruption noted while a guard lives, 0 for none. A handler
// gets no context, so the note lives here; reading it costs no system call.
volatile sig_atomic_t noted_interruption = 0;

// Where a write left at an interruption goes on, set only around the write
// itself, which is safe to leave so: no write then starts after a note, to
// block on a full pipe, whenever the note comes.
sigjmp_buf* volatile leave_write = nullptr;

void note_interruption(int sig) {
  if (!noted_interruption) noted_interruption = sig;
  if (leave_write) siglongjmp(*leave_write, 1);
}

bool interrupted() { return noted_interruption != 0; }

bool utf8_locale() { return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0; }

// Bytes between two requests to start writing the output to the disk, so that
// the final flush waits only for the tail.
constexpr std::uint64_t write_back_step = 32 << 20;

// Large enough that the per-call cost vanishes against the bytes moved.
constexpr std::size_t buffer_size = 256 * 1024;

// The writes of write_all, each within reach of the handler's jump to left.
bool write_each(int fd, const char* data, std::size_t n, sigjmp_buf* left) {
  while (n > 0) {
    leave_write = left;
    if (interrupted()) siglongjmp(*left, 1);
    ssize_t w = write(fd, data, n);
    leave_write = nullptr;
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = ENOSPC;  // nothing written and no error: no room either
    if (w <= 0) return false;
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// False, with errno, when a write fails, or at an interruption (EINTR): a run
// that is to end must not wait on a full pipe.
bool write_all(int fd, const char* data, std::size_t n) {
  sigjmp_buf left;
  if (sigsetjmp(left, 0) != 0) {
    leave_write = nullptr;
    errno = EINTR;
    return false;
  }
  return write_each(fd, data, n, &left);
}

// True also where a folder cannot be synced at all (EINVAL): the name is then
// as durable as that filesystem makes it.
bool sync_folder(const std::string& folder, failure* why) {
  const int fd = open(folder_or_root(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && (fsync(fd) == 0 || errno == EINVAL);
  if (!synced) *why = system_failure();
  if (fd >= 0) close(fd);
  return synced;
}

// A rename that never replaces. Where the filesystem has no such rename
// (ntfs-3g), a new link, which fails just the same; where it has no links
// either (FUSE exFAT and FAT), a plain rename once the system says the name
// is free, safe against other runs because they take turns (folder_lock).
publish_result rename_no_replace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return publish_result::published;
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      return publish_result::published;
    }
    if (errno == EPERM || errno == ENOSYS || errno == EOPNOTSUPP) {
      struct stat st;
      if (lstat(to.c_str(), &st) == 0) return publish_result::exists;
      // A name that cannot be looked up may be taken.
      if (errno != ENOENT) return publish_result::failed;
      return rename(from.c_str(), to.c_str()) == 0 ? publish_result::published
                                                   : publish_result::failed;
    }
  }
  return errno == EEXIST ? publish_result::exists : publish_result::failed;
}

// Names an unnamed file; fails, replacing nothing, when the name is taken.
publish_result link_unnamed(int fd, const std::string& to) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0)
    return publish_result::published;
  return errno == EEXIST ? publish_result::exists : publish_result::failed;
}

// The current folder as the shell names it: PWD, when that is this folder.
std::string current_folder() {
  const char* pwd = getenv("PWD");
  struct stat named, here;
  if (pwd && pwd[0] == '/' && stat(pwd, &named) == 0 && stat(".", &here) == 0 &&
      same_file(named, here))
    return pwd;
  std::string buf(4096, '\0');
  while (!getcwd(&buf[0], buf.size())) {
    if (errno != ERANGE) return "";
    buf.resize(buf.size() * 2);
  }
  return buf.c_str();
}

// "." and ".." taken by name, as the user reads the path, not through links.
std::string lexically_normal(const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t start = 0, end; start <= path.size(); start = end + 1) {
    end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
  }
  std::string normal;
  for (const std::string& part : parts) normal += "/" + part;
  return normal;
}

// When the process pid started, on the clock of file times; 0 where that
// cannot be read.
time_t process_start(unsigned long pid) {
  std::string stat(512, '\0');
  const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd >= 0 ? read(fd, &stat[0], stat.size() - 1) : -1;
  if (fd >= 0) close(fd);
  // The start, in clock ticks since boot, is the 20th field after the name's ")".
  const char* field = n > 0 ? std::strrchr(stat.c_str(), ')') : nullptr;
  for (int i = 0; field && i < 20; ++i) field = std::strchr(field + 1, ' ');
  struct timespec now, since_boot;
  const long ticks = sysconf(_SC_CLK_TCK);
  if (!field || ticks <= 0 || clock_gettime(CLOCK_REALTIME, &now) != 0 ||
      clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0)
    return 0;
  return now.tv_sec - since_boot.tv_sec + time_t(std::strtoull(field, nullptr, 10) / ticks);
}

// Whether the process pid may be the run that last wrote a file at modified:
// it lives, and it had started by then. Process ids are reused, and this
// run's own has made no file yet.
bool may_own(unsigned long pid, time_t modified) {
  if (pid == 0 || pid > INT_MAX || pid == static_cast<unsigned long>(getpid())) return false;
  if (kill(pid_t(pid), 0) != 0 && errno != EPERM) return false;
  // FAT keeps a file's time to 2 s, and the boot time moves by a second.
  const time_t started = process_start(pid);
  return started == 0 || started <= modified + 3;
}

}  // namespace

failure system_failure() { return {static_cast<unsigned long>(errno), ""}; }

std::string reason(const failure& f) { return f.code ? std::strerror(int(f.code)) : f.words; }

void prepare_process() {
  std::setlocale(LC_ALL, "");
  signal(SIGXFSZ, SIG_IGN);
}

console find_console() {
  console c;
  c.terminal[int(stream::output)] = isatty(STDOUT_FILENO);
  c.terminal[int(stream::error)] = isatty(STDERR_FILENO);
  return c;
}

void write_line(const console& c, stream to, console_line line) {
  const int fd = to == stream::output ? STDOUT_FILENO : STDERR_FILENO;
  // As Unix programs' messages do, they follow the locale, terminal or not.
  const bool utf8 = utf8_locale();
  // A name is data: on a terminal it must not act. A file or a pipe keeps its bytes.
  const bool terminal = c.terminal[int(to)];
  std::string& bytes = c.line;
  bytes.clear();
  for (const line_part& part : line) {
    if (part.fixed)
      bytes += utf8 ? part.fixed->utf8 : part.fixed->gbk;
    else if (terminal)
      bytes += without_controls(*part.text, utf8);
    else
      bytes += *part.text;  // not through ?:, which would copy it
  }
  bytes += '\n';
  // What the console cannot take, it cannot be told either; the output's
  // fate does not hang on it (a reader gone ends the run by SIGPIPE).
  write_all(fd, bytes.data(), bytes.size());
}

std::string file_name_as_made(const std::string& name) { return name; }

bool order_key(const std::string&, std::string*) { return false; }

bool executable_path(std::string* path, failure* why) {
  // The user's own path is the one given to execve, kept when it still names
  // this very program; /proc/self/exe has the links resolved.
  const char* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  std::string named = started ? started : "";
  if (!named.empty() && named[0] != '/') named = current_folder() + "/" + named;
  named = lexically_normal(named);
  struct stat a, b;
  if (!named.empty() && stat(named.c_str(), &a) == 0 && stat("/proc/self/exe", &b) == 0 &&
      same_file(a, b)) {
    *path = named;
    return true;
  }
  std::string real(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", &real[0], real.size());
    if (n < 0) {
      *why = system_failure();
      return false;
    }
    if (static_cast<std::size_t>(n) < real.size()) {
      real.resize(static_cast<std::size_t>(n));
      *path = real;
      return true;
    }
    real.resize(real.size() * 2);
  }
}

bool list_folder(const std::string& folder, const folder_visit& visit, failure* why,
                 std::string* unreadable) {
  DIR* dir = opendir(folder_or_root(folder).c_str());
  if (!dir) {
    *why = system_failure();
    return false;
  }
  const int dir_fd = dirfd(dir);
  bool whole = true;
  for (;;) {
    // readdir's end and its failure are both NULL; only errno tells them apart.
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (!entry) {
      whole = errno == 0;
      break;
    }
    const char* name = entry->d_name;
    unsigned attrib = name[0] == '.' ? attrib_hidden : 0;
    // Only a directory can be skipped, so only an entry that may be one (or
    // lead to one) costs a stat; the read-only flag matters only there.
    const unsigned char type = entry->d_type;
    struct stat st;
    const bool may_be_folder = type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN;
    const bool stated = may_be_folder && fstatat(dir_fd, name, &st, 0) == 0;
    // Unless it is a link that leads nowhere, which joins as a piece that fails to open.
    if (may_be_folder && !stated && errno != ENOENT && errno != ELOOP) {
      *unreadable = name;
      whole = false;
      break;
    }
    file_id id;
    if (stated && S_ISDIR(st.st_mode)) {
      attrib |= attrib_subdir;
      if (!(st.st_mode & S_IWUSR)) attrib |= attrib_read_only;
      id = id_of(st);
    }
    visit(name, attrib, id);
  }
  if (!whole) *why = system_failure();
  closedir(dir);
  return whole;
}

bool identify_folder(const std::string& folder, file_id* id, failure* why) {
  struct stat st;
  if (stat(folder_or_root(folder).c_str(), &st) != 0) {
    *why = system_failure();
    return false;
  }
  *id = id_of(st);
  return true;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int wait_for_key() {
  struct termios saved;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
    char c;
    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
    }
    return 0;
  }
  // An interruption during the wait must not leave the terminal without echo:
  // it is blocked and taken through a descriptor, so the modes go back first.
  // One that the caller blocks stays blocked and pending, untaken.
  sigset_t caller_mask, taken;
  sigemptyset(&taken);
  if (sigprocmask(SIG_BLOCK, nullptr, &caller_mask) != 0) sigfillset(&caller_mask);
  struct sigaction found;
  for (int sig : interruption_signals)
    if (acts_on(sig, caller_mask, &found)) sigaddset(&taken, sig);
  int signals = -1;
  if (sigprocmask(SIG_BLOCK, &taken, nullptr) == 0) {
    signals = signalfd(-1, &taken, SFD_CLOEXEC);
    // Without the descriptor an interruption must still end the wait at once.
    if (signals < 0) sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
  }
  // One key, unechoed, without Enter; Ctrl+C is a key here as under _getch.
  struct termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  struct signalfd_siginfo signal_info;
  signal_info.ssi_signo = 0;
  pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
  while (poll(waits, signals < 0 ? 1 : 2, -1) < 0 && errno == EINTR) {
  }
  char key[64];
  if (waits[1].revents & POLLIN) {
    if (read(signals, &signal_info, sizeof signal_info) != sizeof signal_info)
      signal_info.ssi_signo = 0;
  } else {
    while (read(STDIN_FILENO, key, 1) < 0 && errno == EINTR) {
    }
    // The rest of what the key sent (an arrow key's "[A") comes within a
    // tenth of a second; it must not reach the shell after the tool.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    while (read(STDIN_FILENO, key, sizeof key) > 0) {
    }
  }
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (signals >= 0) close(signals);
  // Any other interruption that came meanwhile ends the run here, as it would
  // have without the wait.
  sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
  return static_cast<int>(signal_info.ssi_signo);
}

void end_by(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);
  // raise returns only for a signal the caller blocks, which no run acts on.
  _exit(128 + sig);
}

struct interruption_guard::found {
  struct sigaction actions[interruption_count];
  bool replaced[interruption_count];
};

interruption_guard::interruption_guard() : found_(new found{}) {
  sigset_t caller_mask;
  // A mask that cannot be told is taken as blocking all: nothing is replaced.
  if (sigprocmask(SIG_BLOCK, nullptr, &caller_mask) != 0) sigfillset(&caller_mask);
  struct sigaction noting = {};
  noting.sa_handler = note_interruption;
  // The copy's calls go on after the handler, as before; a console write,
  // which may wait on its reader without end, is left by its jump instead.
  // Nothing is blocked meanwhile, so that the jump leaves the mask as it was.
  noting.sa_flags = SA_RESTART | SA_NODEFER;
  sigemptyset(&noting.sa_mask);
  for (std::size_t i = 0; i < interruption_count; ++i) {
    const int sig = interruption_signals[i];
    if (acts_on(sig, caller_mask, &found_->actions[i]))
      found_->replaced[i] = sigaction(sig, &noting, nullptr) == 0;
  }
}

interruption_guard::~interruption_guard() { give_back(); }

int interruption_guard::give_back() {
  if (!found_) return 0;
  for (std::size_t i = 0; i < interruption_count; ++i)
    if (found_->replaced[i]) sigaction(interruption_signals[i], &found_->actions[i], nullptr);
  found_.reset();
  // Once the actions are back no handler can note another.
  const int sig = noted_interruption;
  noted_interruption = 0;
  return sig;
}

folder_lock::folder_lock(const std::string& folder) {
  const int fd = open(folder_or_root(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked == 0)
    handle_ = fd;
  else
    close(fd);
}

folder_lock::~folder_lock() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

// xterm's title sequences: the old title kept on the terminal's own stack, and
// given back from there, since a terminal does not tell its title.
constexpr char push_title[] = "\x1B[22;0t";
constexpr char pop_title[] = "\x1B[23;0t";

progress_title::progress_title(const console& c, const std::string& name, std::size_t pieces)
    : name_(name), pieces_(pieces) {
  const char* term = getenv("TERM");
  if (!c.terminal[int(stream::output)] || !term || !*term || strcmp(term, "linux") == 0 ||
      strcmp(term, "dumb") == 0)
    return;
  // Control bytes in a name would end the title early, or act on the terminal.
  name_ = without_controls(name_, utf8_locale());
  // Each sequence is a write of its own: the dialogue's lines stay one write each.
  active_ = write_all(STDOUT_FILENO, push_title, sizeof push_title - 1);
}

void progress_title::restore() {
  if (active_) write_all(STDOUT_FILENO, pop_title, sizeof pop_title - 1);
  active_ = false;
}

unsigned long progress_title::milliseconds() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<unsigned long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void progress_title::show(const std::string& title) {
  const std::string sequence = "\x1B]0;" + title + "\x07";
  write_all(STDOUT_FILENO, sequence.data(), sequence.size());
}

input_file::~input_file() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

piece_folder::piece_folder(const std::string& folder) {
  // A path, not a read: opening it asks no more than a piece's open does.
  handle_ = open(folder_or_root(folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

piece_folder::~piece_folder() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool input_file::open(const piece_folder& folder, const std::string& name, const std::string& path,
                      failure* why) {
  struct stat st;
  // Unheld, the folder is walked again for every piece, by the whole path.
  const bool held = folder.handle_ >= 0;
  const int at = held ? static_cast<int>(folder.handle_) : AT_FDCWD;
  const int fd = open_regular(at, held ? name.c_str() : path.c_str(), O_RDONLY, &st, why);
  if (fd < 0) return false;
  handle_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  id_ = id_of(st);
  return true;
}

bool output_file::create(const std::string& folder, const std::string& tool_folder,
                         std::string* unusable, failure* why) {
  struct stat st;
  int fd = open_regular(AT_FDCWD, folder_or_root(folder).c_str(), O_TMPFILE | O_WRONLY, &st, why);
  if (fd < 0 && (why->code == EOPNOTSUPP || why->code == EISDIR || why->code == EINVAL)) {
    // No unnamed files here (FUSE drives such as NTFS or exFAT, some shares).
    const std::string path = join_path(tool_folder, temp_output_name(getpid()));
    struct stat pieces_st, tool_st;
    // Publishing is a rename, which cannot cross filesystems.
    *unusable = path;
    const bool stated = stat(folder_or_root(folder).c_str(), &pieces_st) == 0 &&
                        stat(tool_folder.c_str(), &tool_st) == 0;
    if (!stated || pieces_st.st_dev != tool_st.st_dev) {
      *why = stated ? failure{0, reasons::other_drive} : system_failure();
      discard();
      return false;
    }
    // A new file, so a regular one: from here on it is this run's to remove.
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) *why = system_failure();
    if (fd >= 0) temp_path_ = path;
    // The lock tells remove_leftovers that this run is alive. One that met the
    // file before the lock was taken may have removed it: then the name is no
    // longer ours. Otherwise the file goes with this run, which cannot use it.
    const bool known = fd >= 0 && flock(fd, LOCK_EX) == 0 && fstat(fd, &st) == 0;
    if (fd >= 0 && (!known || st.st_nlink == 0)) {
      *why = known ? failure{0, reasons::removed} : system_failure();
      if (known) temp_path_.clear();
      close(fd);
      fd = -1;
    }
  }
  if (fd < 0) {
    discard();
    return false;
  }
  handle_ = fd;
  id_ = id_of(st);
  return true;
}

copy_result output_file::append(const input_file& in, progress_title* progress,
                                std::uint64_t* moved, failure* why) {
  const int in_fd = static_cast<int>(in.handle_), out_fd = static_cast<int>(handle_);
  *moved = 0;
  // After every chunk: start writing back what is joined so far.
  auto wrote = [&](std::uint64_t n) {
    *moved += n;
    unsent_ += n;
    if (unsent_ >= write_back_step) {
      sync_file_range(out_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
      unsent_ = 0;
    }
    progress->advance(n);
  };
  // A failure that an interruption came with ends the run by the interruption,
  // and write_all holds its line back.
  auto failed = [&](copy_result side) {
    *why = system_failure();
    return side;
  };
  // The kernel moves the bytes, and shares blocks where the filesystem can.
  // A file that tells no size may yet have bytes; where the kernel refuses or
  // fails, the plain loop takes over from the current offsets and gives a
  // real failure its proper side, read or write. An interruption is looked
  // for before every chunk.
  for (bool first = true; in.size_ > 0;) {
    if (interrupted()) return copy_result::interrupted;
    const ssize_t n = copy_file_range(in_fd, nullptr, out_fd, nullptr, write_back_step, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && first)) break;
    if (n == 0) return copy_result::done;
    first = false;
    wrote(static_cast<std::uint64_t>(n));
  }
  if (!buffer_) buffer_.reset(new char[buffer_size]);
  for (;;) {
    if (interrupted()) return copy_result::interrupted;
    const ssize_t n = read(in_fd, buffer_.get(), buffer_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return failed(copy_result::read_failed);
    if (n == 0) return copy_result::done;
    if (!write_all(out_fd, buffer_.get(), static_cast<std::size_t>(n)))
      return failed(copy_result::write_failed);
    wrote(static_cast<std::uint64_t>(n));
  }
}

publish_result output_file::publish(const std::string& folder, const std::string& path,
                                    failure* why) {
  const int fd = static_cast<int>(handle_);
  publish_result result = publish_result::failed;
  if (fdatasync(fd) == 0)
    result = temp_path_.empty() ? link_unnamed(fd, path) : rename_no_replace(temp_path_, path);
  if (result == publish_result::failed) *why = system_failure();
  if (result == publish_result::published) {
    temp_path_.clear();  // it has its name now
    // The name may not survive a power cut: a failed join leaves no output.
    if (!sync_folder(folder, why)) {
      unlink(path.c_str());
      result = publish_result::failed;
    }
  }
  discard();
  return result;
}

void output_file::discard() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
  handle_ = -1;
  if (!temp_path_.empty()) unlink(temp_path_.c_str());
  temp_path_.clear();
}

void remove_leftovers(const std::string& tool_folder) {
  // A listing cut short leaves the rest for a later run.
  failure ignored;
  std::string unreadable;
  list_folder(
      tool_folder,
      [&](const char* name, unsigned, const file_id&) {
        if (!is_temp_output(name)) return;
        const std::string path = join_path(tool_folder, name);
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        // Its run holds the lock as long as it lives. Where locks cannot tell
        // (none at all, or on FUSE exFAT two spellings of one folder are two
        // inodes), the process named in the file can.
        struct stat st;
        const bool unlocked = flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
        if (unlocked && fstat(fd, &st) == 0 && !may_own(temp_output_owner(name), st.st_mtime))
          unlink(path.c_str());
        close(fd);
      },
      &ignored, &unreadable);
}

}  // namespace platform
