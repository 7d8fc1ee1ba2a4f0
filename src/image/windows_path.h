// Which Windows paths name a device or a volume itself rather than a file on it. Plain text
// rules, the same on every platform, so that they are tested everywhere; only the Windows build
// acts on them (image/file_windows.cpp).
#pragma once

#include <string_view>

namespace tarnwick {

// True for one of the device namespaces' prefixes (\\.\ or \\?\, with either separator) followed
// by a name with no separator in it: \\.\E:, \\?\E:, \\.\PhysicalDrive1, \\?\Volume{GUID}. A
// path under such a name (\\?\C:\dir\file, \\?\Volume{GUID}\dir\file, \\?\UNC\server\share\file)
// and every other path names a file.
bool names_a_windows_device(std::string_view path);

}  // namespace tarnwick
