#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>

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

copy_result copy_with_buffer(int in, int out, copy_buffer* buffer) {
  char* bytes = buffer_bytes(buffer);
  for (;;) {
    ssize_t n = read(in, bytes, copy_buffer_size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return copy_result::read_failed;
    }
    if (n == 0) return copy_result::done;
    if (!write_all(out, bytes, static_cast<std::size_t>(n))) return copy_result::write_failed;
  }
}

// Lets the kernel move the bytes (and share blocks where the filesystem can).
// False when the plain loop must take over from the current offsets: the
// kernel refused, or failed, and the loop then gives a real failure its
// proper side, read or write.
bool copied_in_kernel(int in, int out, std::uint64_t size) {
  if (size == 0) return false;  // also files that only tell their size on reading
  bool first = true;
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && first)) return false;
    if (n == 0) return true;
    first = false;
  }
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

create_result create_new_file(const std::string& path) {
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) {
    close(fd);
    return create_result::created;
  }
  // A path ending in "." or ".." names a folder that is there.
  return errno == EEXIST || errno == EISDIR ? create_result::exists : create_result::failed;
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

bool open_for_appending(const std::string& path, file* out) {
  // copy_file_range refuses O_APPEND, so the writes start at the end found
  // here and go on from there; the run created the output alone.
  if (!open_regular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, out)) return false;
  if (lseek(static_cast<int>(out->handle), 0, SEEK_END) >= 0) return true;
  close_file(out);
  return false;
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
  const int out_fd = static_cast<int>(out.handle);
  if (buffer->kernel_copy && copied_in_kernel(in_fd, out_fd, in.size)) return copy_result::done;
  return copy_with_buffer(in_fd, out_fd, buffer);
}

}  // namespace platform
