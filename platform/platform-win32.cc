// SetFileInformationByHandle.
#define _WIN32_WINNT 0x0600
#include <windows.h>
// After windows.h, which it needs.
#include <conio.h>
#include <io.h>
#include <shlwapi.h>

#include <clocale>
#include <cstdio>

#include "common/common.h"
#include "platform/platform.h"

namespace platform {

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handle_of(const file& f) { return reinterpret_cast<HANDLE>(f.handle); }

// Keeps the handle only when it is a file on a disk (no device, no pipe)
// without any of the refused attributes.
bool keep_regular(HANDLE h, DWORD refused, file* f) {
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | refused))) {
    CloseHandle(h);
    return false;
  }
  f->handle = reinterpret_cast<std::intptr_t>(h);
  f->volume = info.dwVolumeSerialNumber;
  f->index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  f->size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  return true;
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

void use_user_locale() { setlocale(LC_ALL, ""); }

bool executable_path(std::string* path) {
  char buf[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  // A full buffer means the path was cut: better no folder than a wrong one.
  if (n == 0 || n >= MAX_PATH) return false;
  path->assign(buf, n);
  return true;
}

bool list_folder(const std::string& folder, const std::string& extension,
                 const std::function<void(const char* name, unsigned attrib)>& visit) {
  const std::string pattern = folder + separator + "*." + extension;
  struct _finddata64i32_t found;
  const intptr_t search = _findfirst64i32(pattern.c_str(), &found);
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

bool create_output(const std::string&, const std::string& spare_folder, file* out) {
  out->temp_path = join_path(spare_folder, temp_output_name(GetCurrentProcessId()));
  // Without FILE_SHARE_DELETE, no other run's remove_leftovers can take it.
  HANDLE h = CreateFileA(out->temp_path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!keep_regular(h, 0, out)) {
    out->temp_path.clear();  // not this run's to remove
    return false;
  }
  delete_on_close(h, true);
  return true;
}

publish_result publish_output(file* out, const std::string&, const std::string& path) {
  const bool flushed = FlushFileBuffers(handle_of(*out)) != 0;
  delete_on_close(handle_of(*out), false);
  if (!close_file(out) || !flushed) {
    discard_output(out);
    return publish_result::failed;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move never replaces anything.
  if (MoveFileExA(out->temp_path.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH)) {
    out->temp_path.clear();
    return publish_result::published;
  }
  const DWORD error = GetLastError();
  discard_output(out);
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? publish_result::exists
                                                                     : publish_result::failed;
}

void discard_output(file* out) {
  close_file(out);
  if (!out->temp_path.empty()) DeleteFileA(out->temp_path.c_str());
  out->temp_path.clear();
}

void remove_leftovers(const std::string& spare_folder) {
  list_folder(spare_folder, temp_extension, [&](const char* name, unsigned) {
    // A live run's file refuses to go: it is open without FILE_SHARE_DELETE.
    if (is_temp_output(name)) DeleteFileA(join_path(spare_folder, name).c_str());
  });
}

bool open_for_reading(const std::string& path, file* in) {
  // Links are followed: a piece may live elsewhere, or in a synced folder.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return keep_regular(h, 0, in);
}

bool close_file(file* f) {
  if (f->handle == -1) return true;
  const bool ok = CloseHandle(handle_of(*f)) != 0;
  f->handle = -1;
  return ok;
}

copy_result append_file(const file& in, const file& out, copy_buffer* buffer) {
  char* bytes = buffer_bytes(buffer);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(handle_of(in), bytes, static_cast<DWORD>(copy_buffer_size), &n, nullptr))
      return copy_result::read_failed;
    if (n == 0) return copy_result::done;
    if (!write_all(handle_of(out), bytes, n)) return copy_result::write_failed;
  }
}

}  // namespace platform
