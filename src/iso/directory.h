// The ISO 9660 directory tree near the root: the small files a boot configuration lives in
// (/isolinux/isolinux.cfg, /boot/grub/grub.cfg, /EFI/BOOT/grub.cfg, /loader/entries/*.conf).
//
// Directory record, integers both-endian (little-endian copy first); records never cross a
// 2048-byte sector, and a length byte of 0 ends a sector's records:
//   pos  size  field
//     0     1  length of the record
//     1     1  extended attribute record length (blocks before the data)
//     2   4+4  extent: first 2048-byte sector
//    10   4+4  data length in bytes
//    25     1  flags: bit 1 directory
//    32     1  length of the file identifier (0x00 and 0x01 alone: the directory itself, its
//              parent)
//    33     -  file identifier ("NAME.CFG;1"), a padding byte when its length is even, then
//              the system use area: Rock Ridge's "NM" entry holds the name as typed
//              ("NM", length, version, flags, name).
#pragma once

#include <cstdint>
#include <functional>

#include "image/session.h"

namespace tarnwick {

inline constexpr std::uint32_t kMaxSmallFile = 65536;
inline constexpr std::uint32_t kMaxFileBytesRead = 1 << 20;
inline constexpr std::uint32_t kMaxDirectoryBytesRead = 1 << 20;
inline constexpr std::uint32_t kMaxDirectoryDepth = 2;

// Called with a file's path in the image ("/isolinux/isolinux.cfg": its Rock Ridge name, else
// its identifier without ";1" and a trailing "."), its content and the content's size.
using SmallFileVisitor =
    std::function<void(const char* path, const std::uint8_t* content, std::uint32_t size)>;

// Walks the tree from the root directory record `root` (34 bytes, as in a primary volume
// descriptor) in record order, a directory's files before its subdirectories, and calls `visit`
// with each file of at most 64 KiB in the root and in directories at most two levels below it.
// Bounded like every read: a record that runs past its sector or its directory ends that
// sector's records, an extent past the image's end is not read, no directory is read twice (a
// directory that contains itself), and at most 1 MiB of directories and 1 MiB of files are
// read in all. Reads through the session (2048-byte sectors) and prints nothing.
void visit_small_files(ImageSession& session, const std::uint8_t* root,
                       const SmallFileVisitor& visit);

}  // namespace tarnwick
