// Holds a file open as a player or a downloader does, sharing it for reading
// and writing but not for deletion, while it runs a program to its end; exits
// with that program's status. A helper of the end-to-end table under Wine:
//   test_holder.exe FILE PROGRAM

#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  HANDLE file =
      CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION program;
  if (!CreateProcessA(argv[2], nullptr, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &program))
    return 4;
  WaitForSingleObject(program.hProcess, INFINITE);
  DWORD status = 5;
  GetExitCodeProcess(program.hProcess, &status);
  CloseHandle(file);
  return static_cast<int>(status);
}
