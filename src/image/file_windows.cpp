#include <windows.h>

#include <memory>

#include "image/file.h"

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

// Device and volume paths (\\.\E:, \\.\PhysicalDrive1, \\?\Volume{...}) name no file; writing
// under a mounted volume needs it locked and dismounted first, which the tool does not do.
// A drive's path behind either prefix (\\?\C:\..., \\.\C:\...) is a file.
bool names_a_device(const wchar_t* p) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (!separator(p[0]) || !separator(p[1]) || (p[2] != L'.' && p[2] != L'?') || !separator(p[3]))
    return false;
  return p[4] == 0 || p[5] != L':' || !separator(p[6]);
}

bool lock_file(HANDLE handle, bool exclusive) {
  const DWORD flags = (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
  for (int waited = 0;; waited += kLockRetryMilliseconds) {
    OVERLAPPED whole{};
    if (LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &whole)) return true;
    if (GetLastError() != ERROR_LOCK_VIOLATION) return false;
    if (waited >= kLockWaitMilliseconds) return false;
    Sleep(static_cast<DWORD>(kLockRetryMilliseconds));
  }
}

}  // namespace

OpenResult open_file(const char* path, bool writing, OpenedFile& file) {
  const std::unique_ptr<wchar_t[]> wide = wide_path(path);
  if (!wide || names_a_device(wide.get())) return OpenResult::kCannotOpen;
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
  if (!lock_file(handle, writing)) {
    CloseHandle(handle);
    return OpenResult::kInUse;
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
