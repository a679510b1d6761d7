// Vista's headers, for the calls that XP lacks: SetFileInformationByHandle and
// GetFileInformationByHandleEx, CreateMutexExW and the SRW lock.
#define _WIN32_WINNT 0x0600
#include <windows.h>
// After windows.h, which it needs.
#include <conio.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

// Every Windows call that can fail goes through this table, as SQLite's os_win.c goes through
// its aSyscall[]: a build with JOINER_FAULTS can then fail any of them, and logs each. In the
// program that ships each entry holds the system's function and nothing else.
#ifdef JOINER_FAULTS
// JOINER_INJECT=CALL:error=E:when=N fails the N-th call of CALL with error E, as strace's
// inject does; JOINER_TRACE=FILE logs every call's name, in order. Read at the first call.
struct fault_plan {
  char call[64] = "";
  unsigned long error = 0;
  int when = 0;
  FILE* trace = nullptr;
};

fault_plan read_plan() {
  fault_plan p;
  const char* inject = std::getenv("JOINER_INJECT");
  if (inject) std::sscanf(inject, "%63[^:]:error=%lu:when=%d", p.call, &p.error, &p.when);
  const char* trace = std::getenv("JOINER_TRACE");
  if (trace) p.trace = std::fopen(trace, "wb");
  // Unbuffered, so that a run that dies still shows its last call.
  if (p.trace) std::setvbuf(p.trace, nullptr, _IONBF, 0);
  return p;
}

// The console's control thread calls through the table (the title given back) while the main
// thread may be inside it: one count and one trace line a call, whichever thread makes it.
SRWLOCK fault_lock = SRWLOCK_INIT;

// Logs the call; true, its error set, when it is the one to fail.
bool fails_now(const char* name, int* count) {
  AcquireSRWLockExclusive(&fault_lock);
  static fault_plan plan = read_plan();
  if (plan.trace) std::fprintf(plan.trace, "%s\n", name);
  const bool fails = ++*count == plan.when && std::strcmp(name, plan.call) == 0;
  ReleaseSRWLockExclusive(&fault_lock);
  if (fails) SetLastError(plan.error);
  return fails;
}

template <typename R>
R failure_return(std::intptr_t value) {
  if constexpr (std::is_pointer_v<R>)
    return reinterpret_cast<R>(value);
  else
    return static_cast<R>(value);
}
#define SEAM(f, failed) \
  seam<decltype(&::f)> f { ::f, #f, (std::intptr_t)(failed) }
#else
#define SEAM(f, failed) \
  seam<decltype(&::f)> f { ::f }
#endif

template <typename F>
struct seam {
  F system;
#ifdef JOINER_FAULTS
  const char* name;
  std::intptr_t failed;  // what the function returns when it fails
  int count = 0;
#endif
  template <typename... A>
  auto operator()(A... a) -> decltype(system(a...)) {
#ifdef JOINER_FAULTS
    if (fails_now(name, &count)) return failure_return<decltype(system(a...))>(failed);
#endif
    return system(a...);
  }
};

// Called directly, each for its reason; the build holds the file to the table and to these
// lines (cmake/seam-check.cmake):
// past the table: GetLastError SetLastError, the thread's error word, which cannot fail
// past the table: GetACP GetCurrentProcess GetCurrentProcessId GetTickCount, which cannot fail
// past the table: AcquireSRWLockExclusive ReleaseSRWLockExclusive LocalFree, which cannot fail
// past the table: ExitProcess, which does not return
// past the table: _getch _read _fileno, the key wait, where a failure ends the wait as a key does
struct windows_calls {
  SEAM(CloseHandle, FALSE);
  SEAM(ConvertSidToStringSidW, FALSE);
  SEAM(ConvertStringSecurityDescriptorToSecurityDescriptorW, FALSE);
  SEAM(CreateFileW, INVALID_HANDLE_VALUE);
  SEAM(CreateMutexExW, nullptr);
  SEAM(DeleteFileW, FALSE);
  SEAM(FindClose, FALSE);
  SEAM(FindFirstFileW, INVALID_HANDLE_VALUE);
  SEAM(FindNextFileW, FALSE);
  SEAM(FlushFileBuffers, FALSE);
  SEAM(FormatMessageW, 0);
  SEAM(GetConsoleMode, FALSE);
  SEAM(GetConsoleTitleW, 0);
  SEAM(GetFileAttributesW, INVALID_FILE_ATTRIBUTES);
  SEAM(GetFileInformationByHandle, FALSE);
  SEAM(GetFileInformationByHandleEx, FALSE);
  SEAM(GetFileType, FILE_TYPE_UNKNOWN);
  SEAM(GetModuleFileNameW, 0);
  SEAM(GetStdHandle, INVALID_HANDLE_VALUE);
  SEAM(GetTokenInformation, FALSE);
  SEAM(OpenProcessToken, FALSE);
  SEAM(ReadFile, FALSE);
  SEAM(ReleaseMutex, FALSE);
  SEAM(SetConsoleCtrlHandler, FALSE);
  SEAM(SetConsoleTitleW, FALSE);
  SEAM(SetFileInformationByHandle, FALSE);
  SEAM(WaitForSingleObject, WAIT_FAILED);
  SEAM(WideCharToMultiByte, 0);
  SEAM(WriteConsoleW, FALSE);
  SEAM(WriteFile, FALSE);
};
#undef SEAM

windows_calls os;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Large enough that the per-call cost vanishes against the bytes moved.
constexpr std::size_t buffer_size = 256 * 1024;

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Names are held as UTF-8, with a surrogate that a Windows name holds unpaired
// encoded as if it were a character of its own (WTF-8), so that every name
// comes back as the very UTF-16 it was.
std::wstring wide(const std::string& s) {
  std::wstring w;
  w.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char lead = static_cast<unsigned char>(s[i++]);
    const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    std::uint32_t c = more ? lead & (0x3F >> more) : lead;
    for (int k = 0; k < more && i < s.size(); ++k) c = c << 6 | (s[i++] & 0x3F);
    if (c < 0x10000) {
      w += static_cast<wchar_t>(c);
    } else {
      w += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      w += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    }
  }
  return w;
}

std::string narrow(const wchar_t* w, std::size_t n) {
  std::string s;
  s.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t c = w[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
    if (c < 0x80) {
      s += static_cast<char>(c);
      continue;
    }
    const int more = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    s += static_cast<char>(((0xFF << (7 - more)) & 0xFF) | c >> (6 * more));
    for (int k = more - 1; k >= 0; --k) s += static_cast<char>(0x80 | (c >> (6 * k) & 0x3F));
  }
  return s;
}

// What every file function is given: the extended-length form, which has no
// MAX_PATH limit and keeps a name's trailing dots and spaces.
std::wstring long_path(const std::string& path) { return wide(long_path_form(path)); }

// Appends to *bytes what the ANSI functions would give for w, with flags as
// WideCharToMultiByte takes them; false when some character had no exact
// equivalent in the code page.
bool append_ansi(const std::wstring& w, DWORD flags, std::string* bytes) {
  if (w.empty()) return true;
  // A UTF-8 code page takes no flags and no question.
  const bool utf8 = GetACP() == CP_UTF8;
  if (utf8) flags = 0;
  const int size = static_cast<int>(w.size());
  const int n = os.WideCharToMultiByte(CP_ACP, flags, w.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  const std::size_t at = bytes->size();
  bytes->resize(at + static_cast<std::size_t>(n));
  BOOL lossy = FALSE;
  return os.WideCharToMultiByte(CP_ACP, flags, w.data(), size, &(*bytes)[at], n, nullptr,
                                utf8 ? nullptr : &lossy) == n &&
         !lossy;
}

// FILE_ID_INFO, which Windows 8 and later give through FileIdInfo (18): the
// identity that ReFS needs all 128 bits of.
struct file_id_info {
  ULONGLONG volume;
  std::uint64_t index[2];
};
constexpr auto file_id_info_class = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// The 128-bit identity where the system has it; the older call's otherwise.
file_id id_of(HANDLE h, const BY_HANDLE_FILE_INFORMATION& info) {
  file_id_info wide_id;
  if (os.GetFileInformationByHandleEx(h, file_id_info_class, &wide_id, sizeof wide_id))
    return {wide_id.volume, wide_id.index[0], wide_id.index[1]};
  return {info.dwVolumeSerialNumber,
          (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, 0};
}

// Keeps the handle only when it is a file on a disk: no folder, device or pipe.
bool keep_regular(HANDLE h, std::intptr_t* handle, file_id* id, std::uint64_t* size, failure* why) {
  if (h == INVALID_HANDLE_VALUE) {
    *why = system_failure();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  // FILE_TYPE_UNKNOWN is also how the call fails: its error tells which.
  SetLastError(NO_ERROR);
  const DWORD type = os.GetFileType(h);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
    *why = system_failure();
  } else if (type != FILE_TYPE_DISK) {
    *why = {0, reasons::not_regular};
  } else if (!os.GetFileInformationByHandle(h, &info)) {
    *why = system_failure();
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *why = {0, reasons::not_regular};
  } else {
    *handle = reinterpret_cast<std::intptr_t>(h);
    *id = id_of(h, info);
    if (size) *size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return true;
  }
  os.CloseHandle(h);
  return false;
}

// False with the call's error set; a write that took nothing and gave no
// error is a full disk, as on POSIX.
bool write_all(HANDLE out, const char* data, std::size_t n) {
  while (n > 0) {
    DWORD written = 0;
    if (!os.WriteFile(out, data, static_cast<DWORD>(n), &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_DISK_FULL);
      return false;
    }
    data += written;
    n -= written;
  }
  return true;
}

// Windows 7 and earlier take at most about 64 KB in one console write, from
// a heap the console shares; a longer line would vanish whole.
constexpr std::size_t console_chunk = 8192;  // characters

bool write_console(HANDLE h, const std::wstring& text) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t n = std::min(console_chunk, text.size() - at);
    // A surrogate pair stays in one part.
    if (at + n < text.size() && text[at + n - 1] >= 0xD800 && text[at + n - 1] < 0xDC00) --n;
    DWORD written = 0;
    if (!os.WriteConsoleW(h, text.data() + at, static_cast<DWORD>(n), &written, nullptr) ||
        written == 0)
      return false;
    at += written;
  }
  return true;
}

// While marked, the file goes with the last handle to it, however the run
// ends: Ctrl+C, a closed console, a crash.
bool delete_on_close(HANDLE h, bool mark) {
  FILE_DISPOSITION_INFO info = {mark};
  return os.SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

// Gives the open file h the name path, replacing nothing: the name then
// belongs to this handle's file, whatever happened to the old one meanwhile.
bool rename_open_file(HANDLE h, const std::string& path, failure* why) {
  const std::wstring name = long_path(path);
  const std::size_t bytes = name.size() * sizeof(wchar_t);
  // Zeroed: no root folder, nothing replaced, and the name's end.
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, name.data(), bytes);
  const DWORD size = static_cast<DWORD>(buffer.size());
  if (os.SetFileInformationByHandle(h, FileRenameInfo, info, size)) return true;
  *why = system_failure();
  return false;
}

// Who may wait on a folder's mutex: every process of this logon session,
// elevated or not. A mutex made under an elevated run's default security
// would shut the others out. Empty where the session cannot be told.
std::wstring logon_session_only() {
  HANDLE token;
  if (!os.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  DWORD size = 0;
  os.GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<char> buffer(size);
  auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
  std::wstring sddl;
  const bool told = os.GetTokenInformation(token, TokenGroups, groups, size, &size) != 0;
  for (DWORD i = 0; told && i < groups->GroupCount && sddl.empty(); ++i) {
    wchar_t* sid = nullptr;
    if ((groups->Groups[i].Attributes & SE_GROUP_LOGON_ID) == SE_GROUP_LOGON_ID &&
        os.ConvertSidToStringSidW(groups->Groups[i].Sid, &sid)) {
      // SYNCHRONIZE, all that waiting and releasing need, and MUTANT_QUERY_STATE.
      sddl = std::wstring(L"D:(A;;0x00100001;;;") + sid + L")";
      LocalFree(sid);
    }
  }
  os.CloseHandle(token);
  return sddl;
}

}  // namespace

failure system_failure() { return {GetLastError(), ""}; }

std::string reason(const failure& f) {
  if (!f.code) return f.words;
  wchar_t* text = nullptr;
  const DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD n =
      os.FormatMessageW(flags, nullptr, f.code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string words = n ? narrow(text, n) : "error " + std::to_string(f.code);
  if (text) LocalFree(text);
  // Without the line end that system messages carry.
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' '))
    words.pop_back();
  return words;
}

void prepare_process() {}

console find_console() {
  console c;
  DWORD mode;
  c.terminal[int(stream::output)] = os.GetConsoleMode(os.GetStdHandle(STD_OUTPUT_HANDLE), &mode);
  c.terminal[int(stream::error)] = os.GetConsoleMode(os.GetStdHandle(STD_ERROR_HANDLE), &mode);
  return c;
}

void write_line(const console& c, stream to, console_line line) {
  const HANDLE h = os.GetStdHandle(to == stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  std::string& bytes = c.line;
  bytes.clear();
  if (c.terminal[int(to)]) {
    // A console shows every character, whatever its code page; a name's
    // control characters must not act on it (a terminal takes escapes).
    for (const line_part& part : line) {
      if (part.fixed)
        bytes += part.fixed->utf8;
      else
        bytes += without_controls(*part.text, true);
    }
    bytes += "\r\n";
    // What the console cannot take, it cannot be told either.
    write_console(h, wide(bytes));
    return;
  }
  // A file or a pipe gets the bytes it always got.
  for (const line_part& part : line) {
    if (part.fixed)
      bytes += part.fixed->gbk;
    else
      append_ansi(wide(*part.text), WC_NO_BEST_FIT_CHARS, &bytes);
  }
  bytes += "\r\n";
  write_all(h, bytes.data(), bytes.size());
}

bool order_key(const std::string& name, std::string* key) {
  // Under a UTF-8 code page the ANSI functions gave the UTF-8 itself; an
  // unpaired surrogate keeps its own bytes rather than U+FFFD's.
  key->clear();
  return GetACP() != CP_UTF8 && append_ansi(wide(name), WC_NO_BEST_FIT_CHARS, key) && *key != name;
}

std::string file_name_as_made(const std::string& name) {
  std::string made = name;
  while (!made.empty() && (made.back() == '.' || made.back() == ' ')) made.pop_back();
  return made;
}

bool executable_path(std::string* path, failure* why) {
  // A full buffer means the path was cut: it grows to the longest path there is.
  std::vector<wchar_t> buf(MAX_PATH);
  DWORD n = 0;
  while ((n = os.GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()))) == buf.size() &&
         buf.size() < 32768)
    buf.resize(buf.size() * 2);
  if (n == 0 || n == buf.size()) {
    *why = n ? failure{0, reasons::too_long} : system_failure();
    return false;
  }
  // Shown as the user knows it: a program started by its long form gets it back.
  *path = short_path_form(narrow(buf.data(), n));
  return true;
}

bool list_folder(const std::string& folder, const folder_visit& visit, failure* why, std::string*) {
  WIN32_FIND_DATAW found;
  // "*" is every name; under the long form "*.*" asks for a dot.
  const std::wstring pattern = long_path(join_path(folder, "*"));
  const HANDLE search = os.FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    *why = system_failure();
    return false;
  }
  do {
    // The word as the runtime's search reports it: a file with no attribute
    // but FILE_ATTRIBUTE_NORMAL has 0.
    const DWORD attrib = found.dwFileAttributes;
    visit(narrow(found.cFileName, wcslen(found.cFileName)).c_str(),
          attrib == FILE_ATTRIBUTE_NORMAL ? 0 : attrib, file_id{});
  } while (os.FindNextFileW(search, &found));
  // Anything but the end is a listing cut short (a drive gone, a share dropped).
  const DWORD error = GetLastError();
  os.FindClose(search);
  if (error == ERROR_NO_MORE_FILES) return true;
  *why = {error, ""};
  return false;
}

bool identify_folder(const std::string& folder, file_id* id, failure* why) {
  // The trailing separator makes "D:" the root of D, not D's current folder.
  const std::wstring path = long_path(join_path(folder, ""));
  HANDLE h = os.CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = h != INVALID_HANDLE_VALUE && os.GetFileInformationByHandle(h, &info);
  // Before CloseHandle, which may set an error of its own.
  if (!known) *why = system_failure();
  if (known) *id = id_of(h, info);
  if (h != INVALID_HANDLE_VALUE) os.CloseHandle(h);
  return known;
}

bool path_exists(const std::string& path) {
  return os.GetFileAttributesW(long_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int wait_for_key() {
  DWORD mode;
  if (os.GetConsoleMode(os.GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    _getch();
    return 0;
  }
  // A pipe, a file or NUL: one byte, or the end of input, ends the wait.
  char c;
  _read(_fileno(stdin), &c, 1);
  return 0;
}

// Never reached: nothing hands back an interruption on Windows, where Ctrl+C
// ends the run from a thread of its own. The driver, the same on both
// systems, still names it.
void end_by(int signal) { ExitProcess(128 + signal); }

struct interruption_guard::found {};

interruption_guard::interruption_guard() {}

interruption_guard::~interruption_guard() {}

int interruption_guard::give_back() { return 0; }

// A named mutex for the folder itself, whatever path names it, opened for
// waiting only, so that runs elevated and not take turns. One that its
// holder left by dying (WAIT_ABANDONED) is this run's all the same.
folder_lock::folder_lock(const std::string& folder) {
  file_id id;
  failure unknown;
  // An unknown identity is every folder's on its volume: no turns rather than one for all.
  if (!identify_folder(folder, &id, &unknown) || !id.known()) return;
  std::string name = "Local\\joiner-" + std::to_string(id.volume) + "-" + std::to_string(id.index);
  if (id.index_high) name += "-" + std::to_string(id.index_high);
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  const std::wstring sddl = logon_session_only();
  if (!sddl.empty())
    os.ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl.c_str(), SDDL_REVISION_1, &security.lpSecurityDescriptor, nullptr);
  HANDLE h = os.CreateMutexExW(&security, wide(name).c_str(), 0, SYNCHRONIZE);
  if (security.lpSecurityDescriptor) LocalFree(security.lpSecurityDescriptor);
  if (!h) return;
  const DWORD waited = os.WaitForSingleObject(h, INFINITE);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
    handle_ = reinterpret_cast<std::intptr_t>(h);
  else
    os.CloseHandle(h);
}

folder_lock::~folder_lock() {
  if (handle_ == -1) return;
  os.ReleaseMutex(as_handle(handle_));
  os.CloseHandle(as_handle(handle_));
}

namespace {

// The console's title from before the join, while the progress stands in its
// place. Ctrl+C, Ctrl+Break and a closed window end the run from a thread of
// Windows' own, through a handler that gets no context: so this one lives
// here, its lock keeping a progress from following the title given back.
struct title_keeper {
  SRWLOCK lock = SRWLOCK_INIT;
  wchar_t saved[1024];
  bool showing = false;
};

title_keeper& kept_title() {
  static title_keeper keeper;
  return keeper;
}

// Sets the title to text, or, for nullptr, gives the old one back for good.
void set_title(const wchar_t* text) {
  title_keeper& k = kept_title();
  AcquireSRWLockExclusive(&k.lock);
  if (k.showing) os.SetConsoleTitleW(text ? text : k.saved);
  if (!text) k.showing = false;
  ReleaseSRWLockExclusive(&k.lock);
}

BOOL WINAPI give_title_back(DWORD) {
  set_title(nullptr);
  return FALSE;  // the run then ends as it would have
}

}  // namespace

progress_title::progress_title(const console&, const std::string& name, std::size_t pieces)
    : name_(name), pieces_(pieces) {
  title_keeper& k = kept_title();
  SetLastError(0);
  const DWORD n = os.GetConsoleTitleW(k.saved, ARRAYSIZE(k.saved));
  // No console, or a title that could not be given back whole; an empty
  // title fails without an error.
  if ((n == 0 && GetLastError() != 0) || n >= ARRAYSIZE(k.saved) - 1) return;
  // A name's control characters (U+0080-U+009F are allowed in names) must not
  // reach a terminal that shows the title.
  name_ = without_controls(name_, true);
  k.showing = os.SetConsoleCtrlHandler(give_title_back, TRUE) != 0;
  active_ = k.showing;
}

void progress_title::restore() {
  if (!active_) return;
  set_title(nullptr);
  os.SetConsoleCtrlHandler(give_title_back, FALSE);
  active_ = false;
}

unsigned long progress_title::milliseconds() { return GetTickCount(); }

void progress_title::show(const std::string& title) { set_title(wide(title).c_str()); }

input_file::~input_file() {
  if (handle_ != -1) os.CloseHandle(as_handle(handle_));
}

// CreateFileW takes no folder handle: every piece opens by its path.
piece_folder::piece_folder(const std::string&) {}

piece_folder::~piece_folder() {}

bool input_file::open(const piece_folder&, const std::string&, const std::string& path,
                      failure* why) {
  // Links are followed: a piece may live elsewhere, or in a synced folder.
  const std::wstring name = long_path(path);
  HANDLE h = os.CreateFileW(name.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return keep_regular(h, &handle_, &id_, &size_, why);
}

bool output_file::create(const std::string& folder, const std::string& tool_folder,
                         std::string* unusable, failure* why) {
  const std::string path = join_path(tool_folder, temp_output_name(GetCurrentProcessId()));
  *unusable = path;
  // Without FILE_SHARE_DELETE, no other run's remove_leftovers can take it.
  const std::wstring name = long_path(path);
  HANDLE h = os.CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *why = system_failure();
    return false;
  }
  // This run made the file: from here on it is the run's to remove.
  temp_path_ = path;
  if (!keep_regular(h, &handle_, &id_, nullptr, why)) {
    discard();
    return false;
  }
  // Publishing is a rename, which cannot cross volumes.
  file_id pieces;
  if (!delete_on_close(h, true)) {
    *why = system_failure();
  } else if (identify_folder(folder, &pieces, why)) {
    if (pieces.volume == id_.volume) return true;
    *why = {0, reasons::other_drive};
  }
  discard();
  return false;
}

copy_result output_file::append(const input_file& in, progress_title* progress,
                                std::uint64_t* moved, failure* why) {
  if (!buffer_) buffer_.reset(new char[buffer_size]);
  *moved = 0;
  for (;;) {
    DWORD n = 0;
    if (!os.ReadFile(as_handle(in.handle_), buffer_.get(), DWORD{buffer_size}, &n, nullptr)) {
      *why = system_failure();
      return copy_result::read_failed;
    }
    if (n == 0) return copy_result::done;
    if (!write_all(as_handle(handle_), buffer_.get(), n)) {
      *why = system_failure();
      return copy_result::write_failed;
    }
    *moved += n;
    progress->advance(n);
  }
}

publish_result output_file::publish(const std::string&, const std::string& path, failure* why) {
  const HANDLE h = as_handle(handle_);
  // The bytes are on the disk before the file has its name, so that no power
  // cut leaves that name on part of them. Unmarked, it is the output.
  if (!os.FlushFileBuffers(h) || !delete_on_close(h, false)) {
    *why = system_failure();
    discard();
    return publish_result::failed;
  }
  if (!rename_open_file(h, path, why)) {
    const DWORD error = why->code;
    discard();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? publish_result::exists
                                                                       : publish_result::failed;
  }
  // A rename is a change to the folder, which NTFS logs lazily; a flush
  // through the file's handle commits it with the file.
  if (!os.FlushFileBuffers(h)) {
    *why = system_failure();
    // Not durable, so no output: it goes with its handle, or by its new name.
    temp_path_ = delete_on_close(h, true) ? std::string() : path;
    discard();
    return publish_result::failed;
  }
  temp_path_.clear();
  handle_ = -1;
  os.CloseHandle(h);
  return publish_result::published;
}

// Also after a failed rename, when the file is closed but still there.
void output_file::discard() {
  if (handle_ != -1) os.CloseHandle(as_handle(handle_));
  handle_ = -1;
  if (!temp_path_.empty()) os.DeleteFileW(long_path(temp_path_).c_str());
  temp_path_.clear();
}

void remove_leftovers(const std::string& tool_folder) {
  failure ignored;
  list_folder(
      tool_folder,
      [&](const char* name, unsigned, const file_id&) {
        // A live run's file refuses to go: it is open without FILE_SHARE_DELETE.
        if (is_temp_output(name)) os.DeleteFileW(long_path(join_path(tool_folder, name)).c_str());
      },
      &ignored, nullptr);
}

}  // namespace platform
