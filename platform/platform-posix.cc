#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>

#include "common/common.h"
#include "platform/platform.h"

namespace platform {

namespace {

std::string folder_or_root(const std::string& folder) {
  return folder.empty() ? std::string(1, separator) : folder;
}

// Opens without blocking (a FIFO must not hang the run), then insists on a
// regular file, for which O_NONBLOCK changes nothing and so may stay.
bool open_regular(const std::string& path, int flags, file* f) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  f->handle = fd;
  f->volume = static_cast<std::uint64_t>(st.st_dev);
  f->index = static_cast<std::uint64_t>(st.st_ino);
  f->size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

// Held back while a named temporary output exists, so that it goes first.
constexpr int interruptions[] = {SIGINT, SIGTERM, SIGHUP};

void hold_interruptions(int how) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : interruptions) sigaddset(&set, sig);
  sigprocmask(how, &set, nullptr);
}

// Removes the named temporary output, then lets a held-back interruption end
// the run as it would have.
void end_if_interrupted(const file& out) {
  sigset_t pending;
  if (sigpending(&pending) != 0) return;
  for (int sig : interruptions) {
    if (!sigismember(&pending, sig)) continue;
    unlink(out.temp_path.c_str());
    hold_interruptions(SIG_UNBLOCK);  // delivers it: the run ends here
    return;
  }
}

// Bytes between two requests to start writing the output to the disk, so that
// the final flush waits only for the tail.
constexpr std::uint64_t write_back_step = 32 << 20;

void wrote(const file& out, std::uint64_t n, copy_buffer* buffer) {
  buffer->unsent += n;
  if (buffer->unsent >= write_back_step) {
    sync_file_range(static_cast<int>(out.handle), 0, 0, SYNC_FILE_RANGE_WRITE);
    buffer->unsent = 0;
  }
  if (!out.temp_path.empty()) end_if_interrupted(out);
}

bool write_all(int fd, const char* data, std::size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;  // nothing written and no error: no room either
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

copy_result copy_with_buffer(int in, const file& out, copy_buffer* buffer) {
  char* bytes = buffer_bytes(buffer);
  for (;;) {
    ssize_t n = read(in, bytes, copy_buffer_size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return copy_result::read_failed;
    }
    if (n == 0) return copy_result::done;
    if (!write_all(static_cast<int>(out.handle), bytes, static_cast<std::size_t>(n)))
      return copy_result::write_failed;
    wrote(out, static_cast<std::uint64_t>(n), buffer);
  }
}

// Lets the kernel move the bytes (and share blocks where the filesystem can).
// False when the plain loop must take over from the current offsets: the
// kernel refused, or failed, and the loop then gives a real failure its
// proper side, read or write.
bool copied_in_kernel(int in, const file& out, std::uint64_t size, copy_buffer* buffer) {
  if (size == 0) return false;  // also files that only tell their size on reading
  bool first = true;
  for (;;) {
    ssize_t n =
        copy_file_range(in, nullptr, static_cast<int>(out.handle), nullptr, write_back_step, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && first)) return false;
    if (n == 0) return true;
    wrote(out, static_cast<std::uint64_t>(n), buffer);
    first = false;
  }
}

// True also where a folder cannot be synced at all (EINVAL): the name is then
// as durable as that filesystem makes it.
bool sync_folder(const std::string& folder) {
  const int fd = open(folder_or_root(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return synced;
}

// A rename that fails when the name is taken; where the filesystem has none
// (ntfs-3g), a new link, which fails just the same.
publish_result rename_no_replace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return publish_result::published;
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      return publish_result::published;
    }
  }
  return errno == EEXIST ? publish_result::exists : publish_result::failed;
}

}  // namespace

void use_user_locale() { setlocale(LC_ALL, ""); }

bool executable_path(std::string* path) {
  std::string buf(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &buf[0], buf.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      *path = buf;
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

bool list_folder(const std::string& folder, const std::string& extension,
                 const std::function<void(const char* name, unsigned attrib)>& visit) {
  DIR* dir = opendir(folder_or_root(folder).c_str());
  if (!dir) return false;
  const std::string pattern = "*." + extension;
  // "*.*" matches names without a dot too, and "*" leading dots, as the
  // Windows search does.
  const bool match_all = extension == "*";
  const int dir_fd = dirfd(dir);
  while (struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (!match_all && fnmatch(pattern.c_str(), name, 0) != 0) continue;
    unsigned attrib = name[0] == '.' ? attrib_hidden : 0;
    // Only a directory can be skipped, so only an entry that may be one (or
    // lead to one) costs a stat; the read-only flag matters only there.
    const unsigned char type = entry->d_type;
    struct stat st;
    if ((type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN) &&
        fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode)) {
      attrib |= attrib_subdir;
      if (!(st.st_mode & S_IWUSR)) attrib |= attrib_read_only;
    }
    visit(name, attrib);
  }
  closedir(dir);
  return true;
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void wait_for_key() {
  struct termios saved;
  const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    struct termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  char c;
  while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
  }
  if (terminal) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

bool create_output(const std::string& folder, const std::string& spare_folder, file* out) {
  // A file-size limit then fails a write, which is reported, instead of
  // killing the run without a word.
  signal(SIGXFSZ, SIG_IGN);
  if (open_regular(folder_or_root(folder), O_TMPFILE | O_WRONLY, out)) return true;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  // No unnamed files here (FUSE drives such as NTFS or exFAT, some shares).
  out->temp_path = join_path(spare_folder, temp_output_name(getpid()));
  hold_interruptions(SIG_BLOCK);
  // The lock tells other runs' remove_leftovers that this one is alive.
  const bool made = open_regular(out->temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, out);
  if (made && flock(static_cast<int>(out->handle), LOCK_EX) == 0) return true;
  if (!made) out->temp_path.clear();  // not this run's to remove
  discard_output(out);
  return false;
}

publish_result publish_output(file* out, const std::string& folder, const std::string& path) {
  const int fd = static_cast<int>(out->handle);
  publish_result result = publish_result::failed;
  if (fdatasync(fd) == 0) {
    if (out->temp_path.empty()) {
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      result = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0
                   ? publish_result::published
               : errno == EEXIST ? publish_result::exists
                                 : publish_result::failed;
    } else {
      result = rename_no_replace(out->temp_path, path);
    }
  }
  if (result == publish_result::published) out->temp_path.clear();  // it has its name now
  discard_output(out);
  if (result != publish_result::published || sync_folder(folder)) return result;
  // The name may not survive a power cut: a failed join leaves no output.
  unlink(path.c_str());
  return publish_result::failed;
}

void discard_output(file* out) {
  close_file(out);
  if (!out->temp_path.empty()) unlink(out->temp_path.c_str());
  out->temp_path.clear();
  hold_interruptions(SIG_UNBLOCK);
}

void remove_leftovers(const std::string& spare_folder) {
  list_folder(spare_folder, temp_extension, [&](const char* name, unsigned) {
    if (!is_temp_output(name)) return;
    const std::string path = join_path(spare_folder, name);
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    // Its run holds the lock as long as it lives.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) unlink(path.c_str());
    close(fd);
  });
}

bool open_for_reading(const std::string& path, file* in) {
  return open_regular(path, O_RDONLY, in);
}

bool close_file(file* f) {
  if (f->handle < 0) return true;
  const int fd = static_cast<int>(f->handle);
  f->handle = -1;
  return close(fd) == 0 || errno == EINTR;
}

copy_result append_file(const file& in, const file& out, copy_buffer* buffer) {
  const int in_fd = static_cast<int>(in.handle);
  if (buffer->kernel_copy && copied_in_kernel(in_fd, out, in.size, buffer))
    return copy_result::done;
  return copy_with_buffer(in_fd, out, buffer);
}

}  // namespace platform
