// The few things the tool needs from the operating system. Everything that
// differs between Linux and Windows lives behind this header, in
// platform-posix.cc and platform-win32.cc.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "common/common.h"

namespace platform {

#ifdef _WIN32
constexpr char separator = '\\';
#else
constexpr char separator = '/';
#endif

// folder + separator + name; nothing is normalised.
inline std::string join_path(const std::string& folder, const std::string& name) {
  return folder + separator + name;
}

// The extended-length form of a Windows path, which the file functions take
// past MAX_PATH and in which a name ending in a dot or a space is that very
// name: "\\?\C:\a" for "C:\a", "\\?\UNC\srv\share" for "\\srv\share".
// Paths of other forms stay as they are.
inline std::string long_path_form(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return "\\\\?\\" + path;
  if (path.rfind("\\\\", 0) == 0 && path.find_first_of("?.", 2) != 2)
    return "\\\\?\\UNC" + path.substr(1);
  return path;
}

// A program's path as the user knows it: "C:\a" for "\\?\C:\a", "\\srv\share" for
// "\\?\UNC\srv\share". Every other long form (\\?\GLOBALROOT\…, \\?\Volume{…}\…) names
// no drive letter, so it stays whole: without its prefix it would be a relative path.
inline std::string short_path_form(const std::string& path) {
  if (path.rfind("\\\\?\\", 0) != 0) return path;
  const bool drive = path.size() >= 7 && std::isalpha(static_cast<unsigned char>(path[4])) &&
                     path[5] == ':' && path[6] == '\\';
  if (drive) return path.substr(4);
  std::string kind = path.substr(4, 4);
  for (char& c : kind) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return kind == "UNC\\" ? "\\" + path.substr(7) : path;
}

// What the whole process needs before it starts. On POSIX: the user's locale,
// in which names are searched and messages written, and a file-size limit
// that fails a write, which is reported, instead of killing the run. On
// Windows the locale stays "C": names are UTF-8, searched byte by byte.
void prepare_process();

// Why an operation failed, carried out of the platform as data: the system's
// error number where the system gave one (errno, GetLastError()), otherwise
// words of the tool's own (reasons:: in common.h).
struct failure {
  unsigned long code = 0;
  const char* words = "";
};

// The error of the system call that just failed.
failure system_failure();

// In the system's own words (strerror in the locale's language, or
// FormatMessageW), held as names are.
std::string reason(const failure& f);

enum class stream { output, error };

// Which console streams are a terminal (on Windows, a console), learned once
// a run by find_console and handed to whatever writes to them.
struct console {
  bool terminal[2] = {false, false};  // by stream
  // The bytes of the line being written, kept from line to line: once the
  // longest has been met, a line costs no allocation.
  mutable std::string line;
};
console find_console();

// Writes line and a line end to the console stream in one write: the line
// arrives whole, before anything slow. POSIX: messages in UTF-8 where that is
// the locale's encoding, GBK elsewhere; names as the folder holds them.
// Windows: on a console, the whole line as it truly is; to a file or a pipe,
// GBK messages and names in the ANSI code page ("?" for a character it
// lacks), ended by "\r\n".
void write_line(const console& c, stream to, console_line line);

// A failure's line on the error stream, then its reason on the next.
inline void write_failure(const console& c, console_line line, const failure& why) {
  write_line(c, stream::error, line);
  const std::string text = reason(why);
  write_line(c, stream::error, {text});
}

// The name that a file made as name really gets. Windows' naming rules drop
// trailing dots and spaces; the long path form would keep them, making a file
// that Explorer can neither open nor delete, so they go here, and the console
// shows the name the file has. On POSIX, name itself.
std::string file_name_as_made(const std::string& name);

// What names are ordered by (segment_name_less over these): the name itself
// on POSIX. On Windows, the ANSI code page's bytes where they represent the
// name exactly, so that such names keep the order the ANSI functions gave
// them; the name's UTF-8 otherwise, which keeps one title's pieces in
// counter order. True, with *key, only where that is not the name itself:
// most names cost no key.
bool order_key(const std::string& name, std::string* key);

// The path by which this program was started, as the user named it (links
// not resolved); false when it cannot be had whole.
bool executable_path(std::string* path, failure* why);

// Attribute word flags, as the Windows folder search reports them.
constexpr unsigned attrib_read_only = 0x01;
constexpr unsigned attrib_hidden = 0x02;
constexpr unsigned attrib_system = 0x04;
constexpr unsigned attrib_subdir = 0x10;

// Volume and index: which file an open handle is, whatever its path. The
// index has 128 bits where the system has them (ReFS). Index 0 and index all
// ones are unknown (some network and user-mode drives give 0 to every file;
// ReFS gives all ones where an index does not fit the older 64 bits), and
// unknown is never the same as anything.
struct file_id {
  std::uint64_t volume = 0;
  std::uint64_t index = 0, index_high = 0;
  bool known() const {
    const std::uint64_t all = ~std::uint64_t{0};
    const bool none = index == 0 && index_high == 0;
    return !none && !(index == all && (index_high == 0 || index_high == all));
  }
  bool operator==(const file_id& other) const {
    return known() && volume == other.volume && index == other.index &&
           index_high == other.index_high;
  }
};

using folder_visit = std::function<void(const char* name, unsigned attrib, const file_id& id)>;

// Calls visit(name, attrib, id) for every entry of folder; an empty folder
// names the root. id is what a folder entry is, links followed, where the
// listing learned it on the way (POSIX); unknown otherwise. False when the
// search could not start, or failed before its end (a disk that fails
// halfway): then the names visited are not all, and *unreadable names the
// entry whose kind could not be told, where one cut it short. On Windows,
// attrib is the entry's attribute word, 0 for FILE_ATTRIBUTE_NORMAL, as the
// runtime's folder search reports it.
bool list_folder(const std::string& folder, const folder_visit& visit, failure* why,
                 std::string* unreadable);

// True when anything is at path: a file, a folder, even a dangling link.
bool path_exists(const std::string& path);

// Waits for one key press and takes all that it sent (an arrow key sends
// several bytes); without a console, for one byte of standard input. The
// interruption that ended the wait instead, 0 for a key: on a POSIX terminal
// the terminal has its modes back by then, and the run is the caller's to end
// by it (end_by). Elsewhere an interruption ends the run as it comes.
int wait_for_key();

// Ends the run as signal would have, had nothing caught it: the shell's
// status 128 + signal.
[[noreturn]] void end_by(int signal);

// While it lives, an interruption that would end the run (Ctrl+C, a request
// to terminate, a hang-up, a console reader gone) and that the caller neither
// blocks nor ignores is noted instead, and whatever copies or writes to the
// console stops at once: the run can then leave nothing unfinished behind.
// give_back puts back exactly what it found and hands back the interruption
// noted, 0 for none; the run is then its owner's to end (end_by). On Windows
// nothing is noted: Ctrl+C ends the run from a thread of its own, and
// delete-on-close takes the unfinished output.
class interruption_guard {
 public:
  interruption_guard();
  ~interruption_guard();
  interruption_guard(const interruption_guard&) = delete;
  interruption_guard& operator=(const interruption_guard&) = delete;
  int give_back();

 private:
  struct found;  // what the guard replaced, to be put back
  std::unique_ptr<found> found_;
};

// While it lives, no other run of the tool joins in folder: runs take turns,
// each waiting here for the one before. Where the system has no lock for
// the folder, the run goes on without one.
class folder_lock {
 public:
  explicit folder_lock(const std::string& folder);
  ~folder_lock();
  folder_lock(const folder_lock&) = delete;
  folder_lock& operator=(const folder_lock&) = delete;

 private:
  std::intptr_t handle_ = -1;
};

// Shows how far a join has got ("37% movie.flv") in the title of the console
// window, or on Linux of the terminal that is standard output, a few times a
// second at most, and gives the old title back at restore or when it goes.
// Nothing happens without a console, or on a terminal that TERM says has no
// title (linux, dumb, or TERM unset).
class progress_title {
 public:
  progress_title(const console& c, const std::string& name, std::size_t pieces);
  ~progress_title() { restore(); }
  progress_title(const progress_title&) = delete;
  progress_title& operator=(const progress_title&) = delete;
  void start_piece(std::size_t index, std::uint64_t size) {
    index_ = index;
    size_ = size;
    done_ = 0;
    advance(0);
  }
  void advance(std::uint64_t bytes) {
    done_ += bytes;
    const unsigned long now = milliseconds();
    if (!active_ || (shown_ && now - last_shown_ < 250)) return;
    shown_ = true;
    last_shown_ = now;
    // The pieces done, and the share of this one.
    const double part = size_ ? double(std::min(done_, size_)) / double(size_) : 0;
    show(std::to_string(unsigned((double(index_) + part) * 100 / double(pieces_))) + "% " + name_);
  }
  void restore();

 private:
  static unsigned long milliseconds();  // from any fixed point, never going back
  void show(const std::string& title);
  std::string name_;
  std::size_t pieces_, index_ = 0;
  std::uint64_t size_ = 0, done_ = 0;
  unsigned long last_shown_ = 0;
  bool active_ = false, shown_ = false;
};

// Which folder folder is, links followed; false, with the reason, when that
// cannot be told.
bool identify_folder(const std::string& folder, file_id* id, failure* why);

// The pieces' folder, held for a join where the system opens a file by its
// name within a held folder (POSIX): a piece's open then walks no path. On
// Windows, and where the folder cannot be held, it holds nothing.
class piece_folder {
 public:
  explicit piece_folder(const std::string& folder);
  ~piece_folder();
  piece_folder(const piece_folder&) = delete;
  piece_folder& operator=(const piece_folder&) = delete;

 private:
  friend class input_file;
  std::intptr_t handle_ = -1;
};

// A piece open for reading from its start; closed when it goes.
class input_file {
 public:
  input_file() = default;
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;
  ~input_file();

  // The piece name in folder, whose path is path, by which it opens where
  // folder holds nothing. A regular file only: a folder, a pipe or a device
  // is refused without blocking on it.
  bool open(const piece_folder& folder, const std::string& name, const std::string& path,
            failure* why);
  // At open; 0 also for files that tell their size only when read.
  std::uint64_t size() const { return size_; }

 private:
  friend class output_file;
  std::intptr_t handle_ = -1;
  std::uint64_t size_ = 0;
  file_id id_;
};

// How an append or a publish ended. interrupted: an interruption_guard
// noted one, and the append stopped at once.
enum class copy_result { done, read_failed, write_failed, interrupted };
enum class publish_result { published, exists, failed };

// A new output, which nobody sees and no run takes for a piece until it is
// published. Its life:
//
//   create → append, once per piece → publish, or discard
//
// publish and discard close the file, and an output that goes unpublished,
// by discard or by leaving its scope, takes its bytes with it. An append
// stops at an interruption that its run's interruption_guard noted; a
// publish, once begun, goes on to its end, so the output is whole or absent.
class output_file {
 public:
  output_file() = default;
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;
  ~output_file() { discard(); }

  // Unnamed in folder where the filesystem allows, otherwise named in
  // tool_folder, a plain directory that no listing takes. When a named file
  // cannot serve, *unusable becomes its path.
  bool create(const std::string& folder, const std::string& tool_folder, std::string* unusable,
              failure* why);
  // Everything that in yields, from its current position to its end; *moved
  // gets how many bytes that was, which a size at open cannot promise.
  copy_result append(const input_file& in, progress_title* progress, std::uint64_t* moved,
                     failure* why);
  // Only a piece that is a link to this very output (/proc/self/fd/N) can be.
  bool is(const input_file& in) const { return in.id_ == id_; }
  // Puts the bytes on stable storage, then gives them the name path, in
  // folder, without ever replacing anything, and makes that name durable.
  publish_result publish(const std::string& folder, const std::string& path, failure* why);
  void discard();

 private:
  std::intptr_t handle_ = -1;
  file_id id_;
  std::string temp_path_;  // a named temporary file, while this run owns it
  std::uint64_t unsent_ = 0;
  std::unique_ptr<char[]> buffer_;  // for copies the system does not do itself
};

// Removes the named temporary outputs that dead runs left in tool_folder;
// never one whose run is alive, be it of another folder that shares this tool
// folder through a link. One named after this run's own process is a dead
// run's: this run has made none yet.
void remove_leftovers(const std::string& tool_folder);

// Named temporary outputs are "joiner-<process id>.part" in the tool's folder;
// the owner is that process id, 0 where the name holds none.
inline std::string temp_output_name(unsigned long process_id) {
  return "joiner-" + std::to_string(process_id) + ".part";
}
inline unsigned long temp_output_owner(const std::string& name) {
  return std::strtoul(name.c_str() + 7, nullptr, 10);
}
inline bool is_temp_output(const std::string& name) {
  return name.rfind("joiner-", 0) == 0 && name.compare(name.size() - 5, 5, ".part") == 0;
}

}  // namespace platform
