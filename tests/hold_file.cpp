// hold_file PATH MILLISECONDS [alone|write]: holds PATH open as a virus scanner, an indexer
// or a model viewer may (sharing reads only, so that it can be neither written, renamed nor
// deleted; with "alone", sharing nothing, so that it cannot even be read; with "write", open
// for writing as an exporter has it, sharing everything), says "held" on standard output,
// and lets go after MILLISECONDS.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    return 2;
  }
  const bool writer = argc == 4 && argv[3][0] == 'w';
  const DWORD sharing = writer      ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                        : argc == 4 ? 0
                                    : FILE_SHARE_READ;
  const HANDLE held = CreateFileA(argv[1], writer ? GENERIC_WRITE : GENERIC_READ, sharing, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    return 1;
  }
  std::puts("held");
  (void)std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  CloseHandle(held);
  return 0;
}
