// SetFileInformationByHandle.
#define _WIN32_WINNT 0x0600
#include <windows.h>
// After windows.h, which it needs.
#include <conio.h>
#include <io.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Large enough that the per-call cost vanishes against the bytes moved.
constexpr std::size_t buffer_size = 256 * 1024;

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

file_id id_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// Keeps the handle only when it is a file on a disk: no folder, device or pipe.
bool keep_regular(HANDLE h, std::intptr_t* handle, file_id* id, std::uint64_t* size) {
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return false;
  }
  *handle = reinterpret_cast<std::intptr_t>(h);
  *id = id_of(info);
  if (size) *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
}

bool folder_id(const std::string& folder, file_id* id) {
  // The trailing separator makes "D:" the root of D, not D's current folder.
  HANDLE h = CreateFileA(join_path(folder, "").c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (known) *id = id_of(info);
  return known;
}

bool write_all(HANDLE out, const char* data, std::size_t n) {
  while (n > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, static_cast<DWORD>(n), &written, nullptr) || written == 0)
      return false;
    data += written;
    n -= written;
  }
  return true;
}

// While marked, the file goes with the last handle to it, however the run
// ends: Ctrl+C, a closed console, a crash.
void delete_on_close(HANDLE h, bool mark) {
  FILE_DISPOSITION_INFO info = {mark};
  SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info);
}

}  // namespace

void prepare_process() {}

bool executable_path(std::string* path) {
  char buf[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  // A full buffer means the path was cut: better no folder than a wrong one.
  if (n == 0 || n >= MAX_PATH) return false;
  path->assign(buf, n);
  return true;
}

bool list_folder(const std::string& folder,
                 const std::function<void(const char* name, unsigned attrib)>& visit) {
  struct _finddata64i32_t found;
  const intptr_t search = _findfirst64i32(join_path(folder, "*.*").c_str(), &found);
  if (search == -1) return false;
  do {
    visit(found.name, found.attrib);
  } while (_findnext64i32(search, &found) == 0);
  _findclose(search);
  return true;
}

bool path_exists(const std::string& path) { return PathFileExistsA(path.c_str()) != 0; }

void wait_for_key() {
  DWORD mode;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    _getch();
    return;
  }
  // A pipe, a file or NUL: one byte, or the end of input, ends the wait.
  char c;
  _read(_fileno(stdin), &c, 1);
}

// A named mutex for the folder itself, whatever path names it. One that its
// holder left by dying (WAIT_ABANDONED) is this run's all the same.
folder_lock::folder_lock(const std::string& folder) {
  file_id id;
  if (!folder_id(folder, &id)) return;
  const std::string name =
      "Local\\joiner-" + std::to_string(id.volume) + "-" + std::to_string(id.index);
  HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
  if (!h) return;
  const DWORD waited = WaitForSingleObject(h, INFINITE);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
    handle_ = reinterpret_cast<std::intptr_t>(h);
  else
    CloseHandle(h);
}

folder_lock::~folder_lock() {
  if (handle_ == -1) return;
  ReleaseMutex(as_handle(handle_));
  CloseHandle(as_handle(handle_));
}

progress_title::progress_title(const std::string& name, std::size_t pieces)
    : name_(name), pieces_(pieces) {
  char title[1024];
  SetLastError(0);
  const DWORD n = GetConsoleTitleA(title, sizeof title);
  // No console, or a title that could not be given back whole; an empty
  // title fails without an error.
  if ((n == 0 && GetLastError() != 0) || n >= sizeof title) return;
  saved_.assign(title, n);
  active_ = true;
}

void progress_title::restore() {
  if (active_) SetConsoleTitleA(saved_.c_str());
  active_ = false;
}

void progress_title::start_piece(std::size_t index, std::uint64_t size) {
  index_ = index;
  size_ = size;
  done_ = 0;
  advance(0);
}

void progress_title::advance(std::uint64_t bytes) {
  done_ += bytes;
  const unsigned long now = GetTickCount();
  if (!active_ || (shown_ && now - last_shown_ < 250)) return;
  shown_ = true;
  last_shown_ = now;
  // The pieces done, and the share of this one.
  const double part = size_ ? double(std::min(done_, size_)) / double(size_) : 0;
  const unsigned percent = static_cast<unsigned>((double(index_) + part) * 100 / double(pieces_));
  SetConsoleTitleA((std::to_string(percent) + "% " + name_).c_str());
}

input_file::~input_file() {
  if (handle_ != -1) CloseHandle(as_handle(handle_));
}

bool input_file::open(const std::string& path) {
  // Links are followed: a piece may live elsewhere, or in a synced folder.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return keep_regular(h, &handle_, &id_, &size_);
}

bool output_file::create(const std::string& folder, const std::string& tool_folder,
                         std::string* unusable) {
  const std::string path = join_path(tool_folder, temp_output_name(GetCurrentProcessId()));
  *unusable = path;
  // Without FILE_SHARE_DELETE, no other run's remove_leftovers can take it.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!keep_regular(h, &handle_, &id_, nullptr)) return false;
  temp_path_ = path;
  delete_on_close(h, true);
  // Publishing is a move, which cannot cross volumes.
  file_id pieces;
  if (!folder_id(folder, &pieces) || pieces.volume != id_.volume) {
    discard();
    return false;
  }
  return true;
}

copy_result output_file::append(const input_file& in, progress_title* progress) {
  if (!buffer_) buffer_.reset(new char[buffer_size]);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(as_handle(in.handle_), buffer_.get(), DWORD{buffer_size}, &n, nullptr))
      return copy_result::read_failed;
    if (n == 0) return copy_result::done;
    if (!write_all(as_handle(handle_), buffer_.get(), n)) return copy_result::write_failed;
    progress->advance(n);
  }
}

publish_result output_file::publish(const std::string&, const std::string& path) {
  const HANDLE h = as_handle(handle_);
  const bool flushed = FlushFileBuffers(h) != 0;
  delete_on_close(h, false);
  handle_ = -1;
  if (!CloseHandle(h) || !flushed) {
    discard();
    return publish_result::failed;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move never replaces anything.
  if (MoveFileExA(temp_path_.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    temp_path_.clear();
    return publish_result::published;
  }
  const DWORD error = GetLastError();
  discard();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? publish_result::exists
                                                                     : publish_result::failed;
}

// Also after a failed move, when the file is closed but still there.
void output_file::discard() {
  if (handle_ != -1) CloseHandle(as_handle(handle_));
  handle_ = -1;
  if (!temp_path_.empty()) DeleteFileA(temp_path_.c_str());
  temp_path_.clear();
}

void remove_leftovers(const std::string& tool_folder) {
  list_folder(tool_folder, [&](const char* name, unsigned) {
    // A live run's file refuses to go: it is open without FILE_SHARE_DELETE.
    if (is_temp_output(name)) DeleteFileA(join_path(tool_folder, name).c_str());
  });
}

}  // namespace platform
