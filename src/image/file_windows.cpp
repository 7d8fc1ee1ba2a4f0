#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "image/file.h"
#include "image/windows_path.h"

namespace tarnwick {

namespace {

std::unique_ptr<wchar_t[]> wide_path(const char* path) {
  const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[static_cast<std::size_t>(units)]);
  if (wide && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.get(), units) <= 0)
    return nullptr;
  return wide;
}

enum class Lock : std::uint8_t { kTaken, kHeld, kUnavailable };

// Takes the lock on the whole file, waiting for another holder; "Waiting for %s" is printed
// once, the first time it is not free at once.
Lock lock_file(HANDLE handle, bool exclusive, const char* path) {
  const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
  for (int waited = 0;; waited += kLockRetryMilliseconds) {
    OVERLAPPED whole{};
    if (LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &whole)) return Lock::kTaken;
    // A share that cannot lock says so otherwise: nobody holds it, it cannot be had.
    if (GetLastError() != ERROR_LOCK_VIOLATION) return Lock::kUnavailable;
    if (waited >= kLockWaitMilliseconds) return Lock::kHeld;
    if (waited == 0) {
      std::printf("Waiting for %s: another program is using it\n", path);
      std::fflush(stdout);
    }
    Sleep(static_cast<DWORD>(kLockRetryMilliseconds));
  }
}

}  // namespace

OpenResult open_file(const char* path, bool writing, OpenedFile& file) {
  // Writing under a mounted Windows volume needs it locked and dismounted first, which the
  // tool does not do: a device or volume itself is not opened.
  if (names_a_windows_device(path)) return OpenResult::kCannotOpen;
  const std::unique_ptr<wchar_t[]> wide = wide_path(path);
  if (!wide) return OpenResult::kCannotOpen;
  // Other programs may keep the image open; the lock below decides who goes first.
  const HANDLE handle = CreateFileW(wide.get(), GENERIC_READ | (writing ? GENERIC_WRITE : 0),
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return OpenResult::kCannotOpen;
  LARGE_INTEGER size{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
    CloseHandle(handle);
    return OpenResult::kCannotOpen;
  }
  switch (lock_file(handle, writing, path)) {
    case Lock::kHeld:
      CloseHandle(handle);
      return OpenResult::kInUse;
    case Lock::kUnavailable:
      std::printf("Warning: %s cannot be locked here; other programs are not kept from it\n", path);
      break;
    default:
      break;
  }
  file.handle = handle;
  file.bytes = static_cast<std::uint64_t>(size.QuadPart);
  return OpenResult::kOpened;
}

namespace {

// The place of a positioned ReadFile or WriteFile.
OVERLAPPED at(std::uint64_t offset) {
  OVERLAPPED place{};
  place.Offset = static_cast<DWORD>(offset);
  place.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return place;
}

// What a ReadFile or WriteFile that returned `ok` and moved `moved` bytes tells its caller. A
// positioned read at or past the end of a file fails with ERROR_HANDLE_EOF: that is the end of
// the image, not a failure.
std::int64_t transferred(BOOL ok, DWORD moved) {
  if (ok) return moved;
  return GetLastError() == ERROR_HANDLE_EOF ? std::int64_t{moved} : kTransferFailed;
}

}  // namespace

std::int64_t read_at(FileHandle file, std::uint64_t offset, std::uint8_t* dest, std::size_t size) {
  OVERLAPPED place = at(offset);
  DWORD moved = 0;
  const BOOL ok = ReadFile(file, dest, static_cast<DWORD>(size), &moved, &place);
  return transferred(ok, moved);
}

std::int64_t write_at(FileHandle file, std::uint64_t offset, const std::uint8_t* bytes,
                      std::size_t size) {
  OVERLAPPED place = at(offset);
  DWORD moved = 0;
  const BOOL ok = WriteFile(file, bytes, static_cast<DWORD>(size), &moved, &place);
  return transferred(ok, moved);
}

int sync_to_storage(FileHandle file) { return FlushFileBuffers(file) ? 0 : -1; }

void close_file(FileHandle file) { CloseHandle(file); }

}  // namespace tarnwick
