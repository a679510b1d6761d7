// The few things the tool needs from the operating system. Everything that
// differs between POSIX and Windows lives behind this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

#ifdef _WIN32
constexpr char separator = '\\';
#else
constexpr char separator = '/';
#endif

// Attribute word flags, as the Windows folder search reports them.
constexpr unsigned attrib_read_only = 0x01;
constexpr unsigned attrib_hidden = 0x02;
constexpr unsigned attrib_subdir = 0x10;

// Makes the user's locale the process locale, so that narrow names are read in
// the user's code page.
void use_user_locale();

// The full path of the running executable; false when it cannot be had whole.
bool executable_path(std::string* path);

// Calls visit(name, attrib) for every entry of folder that matches the
// wildcard "*." + extension. An empty folder names the root. False when the
// search could not start.
bool list_folder(const std::string& folder, const std::string& extension,
                 const std::function<void(const char* name, unsigned attrib)>& visit);

// True when anything is at path: a file, a folder, even a dangling link.
bool path_exists(const std::string& path);

// Waits for one key press; without a console, for one byte of standard input.
void wait_for_key();

struct file {
  std::intptr_t handle = -1;
  std::uint64_t volume = 0;  // volume and index together identify the file
  std::uint64_t index = 0;
  std::uint64_t size = 0;  // at open
  std::string temp_path;   // an output's named temporary file, if it has one
};

// Named temporary outputs are "joiner-<process id>.part" in the spare folder.
constexpr char temp_prefix[] = "joiner-";
constexpr char temp_extension[] = "part";
inline std::string temp_output_name(unsigned long process_id) {
  return temp_prefix + std::to_string(process_id) + "." + temp_extension;
}
inline bool is_temp_output(const std::string& name) { return name.rfind(temp_prefix, 0) == 0; }

// An empty output that nobody can see, nor take for a piece, until it is
// published: unnamed in folder where the filesystem allows, otherwise named in
// spare_folder, a plain directory that no listing takes. Should the run die,
// the system removes it, or else the next run does (remove_leftovers).
bool create_output(const std::string& folder, const std::string& spare_folder, file* out);

enum class publish_result { published, exists, failed };

// Puts out's bytes on stable storage, then gives them the name path, in
// folder, in one step that never replaces anything, and makes that name
// durable too. Closes out; unless published, its bytes are gone.
publish_result publish_output(file* out, const std::string& folder, const std::string& path);

// Closes an unpublished output and removes it.
void discard_output(file* out);

// Removes the named temporary outputs that dead runs left in spare_folder.
void remove_leftovers(const std::string& spare_folder);

// Opens a regular file for reading. Refuses anything else (a folder, a pipe, a
// device) without blocking on it.
bool open_for_reading(const std::string& path, file* in);

// False when the system reports a late failure (a delayed write, say).
bool close_file(file* f);

inline bool same_file(const file& a, const file& b) {
  return a.volume == b.volume && a.index == b.index;
}

// Large enough that the per-call cost vanishes against the bytes moved.
constexpr std::size_t copy_buffer_size = 256 * 1024;

// The state of one join's copies: the buffer of the copies that the system
// does not do itself, allocated on first use, and the bytes written since the
// system was last asked to start writing them to the disk.
struct copy_buffer {
  std::unique_ptr<char[]> data;
  bool kernel_copy = true;  // false forces the plain read and write loop
  std::uint64_t unsent = 0;
};

inline char* buffer_bytes(copy_buffer* buffer) {
  if (!buffer->data) buffer->data.reset(new char[copy_buffer_size]);
  return buffer->data.get();
}

enum class copy_result { done, read_failed, write_failed };

// Appends everything that in yields, from its current position to its end, to
// out.
copy_result append_file(const file& in, const file& out, copy_buffer* buffer);

}  // namespace platform
