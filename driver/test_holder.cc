// Holds FILE open while PROGRAM runs and exits with its status: "shared" as a player holds a
// file (reading and writing, not deleting), "exclusive" sharing nothing. For the table under Wine:
//   test_holder.exe shared|exclusive FILE PROGRAM

#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const DWORD sharing =
      std::wcscmp(argv[1], L"shared") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  HANDLE file = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION program;
  if (!CreateProcessW(argv[3], nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &program))
    return 4;
  WaitForSingleObject(program.hProcess, INFINITE);
  DWORD status = 5;
  GetExitCodeProcess(program.hProcess, &status);
  CloseHandle(file);
  return static_cast<int>(status);
}
