// The whole pass over images built here or made by mkudffs, intact and changed one way at a
// time: what is printed, the label read, and exactly which sectors a relabel writes.
#include "volume/pass.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <sstream>

#include "image/bytes.h"
#include "support/image_builder.h"
#include "support/run.h"
#include "text/dstring.h"
#include "update/visitor.h"

namespace tarnwick::testing {
namespace {

struct Pass {
  bool ok = false, no_device = false;
  std::string out, label;
  Image after;
};

// The pass over the image at `opened`, its path in what it prints replaced by PATH.
Pass pass_over(const std::string& opened, const char* label, bool dry_run = false) {
  Pass p;
  VolumeSession s;
  session_init(s);
  if (label != nullptr) set_new_label(s, label);
  s.dry_run = dry_run;
  p.out = capture_stdout([&] { p.ok = process_volume(s, opened.c_str()); });
  if (const std::size_t at = p.out.find(opened); at != std::string::npos)
    p.out.replace(at, opened.size(), "PATH");
  p.label = reinterpret_cast<const char*>(s.current_label.data());
  session_close(s);
  return p;
}

// The pass over `image` as a file, or through a loop device of `device`-byte sectors.
Pass run_pass(const Image& image, const char* label, std::uint32_t device, bool dry_run = false) {
  TempDir dir;
  const std::string path = dir.path("image");
  write_file(path, image);
  std::optional<LoopDevice> loop;
  if (device != 0) loop.emplace(path, device);
  if (loop && loop->node.empty()) return {.no_device = true};
  Pass p = pass_over(loop ? loop->node : path, label, dry_run);
  loop.reset();
  p.after = read_file(path, image.block);
  return p;
}

// An image mkudffs makes of `media` ("cdrw 2.01": 4096 blocks, any other: 300), made once.
const Image& made(const std::string& media) {
  static std::map<std::string, Image> images;
  Image& image = images[media];
  TempDir dir;
  const std::size_t space = media.find(' ');
  if (image.empty() && run({"mkudffs", "--new-file", "--media-type=" + media.substr(0, space),
                            "--udfrev=" + media.substr(space + 1), "--label=Made", dir.path("i"),
                            media.rfind("cdrw", 0) == 0 ? "4096" : "300"})
                               .status == 0)
    image = read_file(dir.path("i"));
  return image;
}

struct Case {
  const char* what;
  BuildOptions options;  // of the built image, when `media` is empty
  std::function<void(Image&)> damage;
  std::string out, label;  // of the write; the label read
  Sectors written;
  std::string media;         // mkudffs' image instead
  std::uint32_t device = 0;  // a block device's sector size
};

const Sectors kSequences = {32, 33, 35, 48, 49, 51};  // PVD, IUVD, LVD of both sequences
// mkudffs' CD-RW, UDF 2.01: packet length 32, sparing tables at 160 and 4064 (312 bytes each),
// partition from 1312, File Set Descriptor at block 32 (sector 1344). CD-R: partition from 257,
// the VAT's entry at 299 with its data embedded, the File Set Descriptor at virtual block 0.
const Sectors kCdrw = {96, 97, 100, 3936, 3937, 3940}, kCdr = {96, 97, 100, 240, 241, 244};
const std::string kCdrw201 = "cdrw 2.01", kCdr150 = "cdr 1.50", kCdr201 = "cdr 2.01";
const BuildOptions kMeta = {.metadata = true}, k512 = {.block = 512}, k4096 = {.block = 4096};
const auto kNone = [](Image&) {};
const std::string kDone = "Done!\n", kNoAnchor = "Failed to read ADVP!\n";
const std::string kDryRun = "Dry run: nothing written\n";
const std::string kNotUdf = "UDF file system not found in: PATH\n";
const std::string kNoFileSet = "File Set Descriptor not found in: PATH\n";

void set_maps(Image& image, std::uint32_t lvd, std::uint32_t count,
              std::vector<std::uint8_t> maps) {
  maps.resize(image.block - 440, 0);
  std::memcpy(sector_at(image, lvd) + 440, maps.data(), maps.size());
  put_u32(sector_at(image, lvd) + 268, count);
  put_u16(sector_at(image, lvd) + 10, static_cast<std::uint16_t>(image.block - 16));
  reseal(image, lvd);
}

// The u32 at `pos` of descriptor `sector` (or the u16, for `width` 2) set to `value`, sealed.
void set(Image& i, std::uint32_t sector, std::size_t pos, std::uint32_t value, int width = 4) {
  std::uint8_t* d = sector_at(i, sector) + pos;
  width == 2 ? put_u16(d, static_cast<std::uint16_t>(value)) : put_u32(d, value);
  reseal(i, sector);
}

// ISO 9660 descriptors from sector 16, each named "OLD" and saying 2048-byte blocks, before
// the UDF ones, which move up: a bridge image, or with `udf` false (the UDF ones blanked) a pure
// ISO 9660 image. Each is (type, version, escape sequences); type 2 with "%/@", "%/C" or "%/E"
// is Joliet.
struct Iso {
  std::uint8_t type, version = 1;
  std::string escape;
};
void iso_set(Image& i, const std::vector<Iso>& iso, bool udf = true) {
  const auto n = static_cast<std::uint32_t>(iso.size());
  std::memmove(sector_at(i, 16 + n), sector_at(i, 16), 3 * 2048);
  if (!udf) std::memset(sector_at(i, 16 + n), 0, 3 * 2048);
  for (std::uint32_t k = 0; k < n; ++k) {
    std::uint8_t* d = sector_at(i, 16 + k);
    std::memset(d, 0, 2048), std::memcpy(d + 1, "CD001", 5), std::memset(d + 40, ' ', 32);
    d[0] = iso[k].type, d[6] = iso[k].version, d[129] = d[130] = 8;
    std::memcpy(d + 88, iso[k].escape.data(), iso[k].escape.size());
    const bool joliet = iso[k].escape.rfind("%/", 0) == 0;
    for (int c = 0; c < 16 && joliet; ++c) d[40 + 2 * c] = 0;  // U+0020 padding
    for (int c = 0; c < 3; ++c) (joliet ? d[41 + 2 * c] : d[40 + c]) = "OLD"[c];
  }
}

// Directory records one after another from byte `at` of `sector`: (identifier, extent, data
// length, directory, record length; 0 for the shortest that holds the identifier).
struct Record {
  std::string id;
  std::uint32_t extent, bytes = 2048;
  bool directory = true;
  std::uint8_t length = 0;
};
void records(Image& i, std::uint32_t sector, std::uint32_t at, const std::vector<Record>& list) {
  for (const Record& r : list) {
    std::uint8_t* d = sector_at(i, sector) + at;
    const auto n = static_cast<std::uint8_t>(r.id.size());
    d[0] = r.length != 0 ? r.length : static_cast<std::uint8_t>(34 + n - n % 2), d[32] = n;
    put_u32(d + 2, r.extent), put_u32(d + 10, r.bytes), d[25] = r.directory ? 2 : 0;
    std::memcpy(d + 33, r.id.data(), n), at += d[0];
  }
}

// A pure ISO 9660 image with an El Torito boot record, a primary named "OLD", a Joliet one
// "Old" (blkid shows "Old") and this tree: /A.CFG naming "Old" (root at 200), then naming
// "OLD" /d/BOOT (D at 201), /d/E/C.CFG (E at 202), /d/E/F/G.CFG (F at 203). /A.CFG has an
// extended attribute record: its data starts a block into its extent, in the image's last.
void boot_tree(Image& i) {
  iso_set(i, {{1}, {0}, {2, 1, "%/@"}, {255}}, false), sector_at(i, 18)[43] = 'l';
  std::memcpy(sector_at(i, 17) + 7, "EL TORITO \x53PECIFICATION", 23), sector_at(i, 18)[45] = 'd';
  records(i, 16, 156, {{std::string(1, '\0'), 200, 152}});  // D's record ends the root
  for (std::uint32_t dir = 200; dir <= 203; ++dir) {
    records(i, dir, 0,
            {{std::string(1, '\0'), dir},
             {"\1", dir == 200 ? 200 : dir - 1},
             {std::vector<std::string>{"A.CFG;1", "BOOT.;1", "C.CFG;1", "G.CFG;1"}[dir - 200],
              dir == 200 ? 298 : dir + 10, 12, false}});
    if (dir < 203) records(i, dir, 34 + 34 + 40, {{std::string(1, "DEF"[dir - 200]), dir + 1}});
    std::memcpy(sector_at(i, dir == 200 ? 299 : dir + 10),
                dir == 200 ? "LABEL=Old x\n" : "LABEL=OLD x\n", 12);
  }
  sector_at(i, 200)[68 + 1] = 1;
  // D's Rock Ridge name "d", after a system use entry of another kind.
  sector_at(i, 200)[108] = 44, std::memcpy(sector_at(i, 200) + 108 + 34, "XX\4\1NM\6\1\0d", 10);
}
std::string warned(const std::string& files) {
  std::string out, file;
  for (std::istringstream list(files); list >> file;)
    out += "Warning: " + file + " names the old label '" + (file == "/A.CFG" ? "Old" : "OLD") +
           "'; the image may not boot until it names the new one\n";
  return out + kDone;
}

// On the CD-RW image: a copy of the file set labelled "Spared" at `sector`, naming `block`, and
// at 160 a sparing table of `entries`, entry `at` remapping packet 32 to sector 400.
void spare(Image& i, std::uint32_t block, std::uint32_t sector, std::uint32_t entries,
           std::uint32_t at) {
  std::memcpy(sector_at(i, sector), sector_at(i, 1344), 2048);
  std::memcpy(sector_at(i, sector) + 112, dstring8("Spared", 128).data(), 128);
  set(i, sector, 12, block);
  std::uint8_t* t = sector_at(i, 160);
  std::memset(t, 0, 4096);
  put_u32(t + 12, 160);
  std::memcpy(t + 17, "*UDF Sparing Table", 18);
  put_u16(t + 48, static_cast<std::uint16_t>(entries));
  for (std::uint32_t e = 0; e < entries; ++e) put_u32(t + 56 + 8 * e, e == at ? 32 : 0xFFFFFFFF);
  put_u32(t + 60 + 8 * at, 400);
  set(i, 160, 10, 40 + 8 * entries, 2);
}

// The LVD at `lvd` keeps its first map (type 1), then maps of no kind fill the block up to
// `from_end` bytes before its end, and `last` stands there: the map the file set names.
void map_at_end(Image& i, std::uint32_t lvd, std::uint32_t from_end,
                const std::vector<std::uint8_t>& last) {
  const std::uint8_t* d = sector_at(i, lvd);
  std::vector<std::uint8_t> maps(d + 440, d + 446);
  std::uint32_t fillers = 0;
  for (std::uint32_t left = i.block - from_end - 446, n; left > 0; left -= n, ++fillers)
    n = std::min(left, 255u), maps.insert(maps.end(), {0, static_cast<std::uint8_t>(n)}),
    maps.resize(maps.size() + n - 2, 0);
  maps.insert(maps.end(), last.begin(), last.end());
  set_maps(i, lvd, fillers + 2, maps), set(i, lvd, 256, fillers + 1, 2);
}

// The 2.01 VAT's data (160 bytes) moved into recorded extents: a long_ad at block 2 on partition
// `reference`, or two short_ads, the first `split` bytes in block 2 and the rest in block 3.
void vat_in_extents(Image& i, int reference, std::uint32_t split = 0) {
  std::uint8_t* efe = sector_at(i, 299);
  const std::uint32_t first = split != 0 ? split : 160;
  std::memcpy(sector_at(i, 259), efe + 216, first);
  std::memcpy(sector_at(i, 260), efe + 216 + first, 160 - first);
  std::memset(efe + 216, 0, 160);
  put_u16(efe + 34, static_cast<std::uint16_t>((get_u16(efe + 34) & ~7) | (split ? 0 : 1)));
  put_u32(efe + 212, 16), put_u32(efe + 216, first), put_u32(efe + 220, 2);
  put_u16(efe + 224, static_cast<std::uint16_t>(reference));
  if (split) put_u32(efe + 224, 160 - split), put_u32(efe + 228, 3);
  set(i, 299, 10, 216, 2);
}

// The 2.01 VAT's table grown to the block's end, its last entry naming the file set.
void vat_to_the_block_end(Image& i) {
  std::uint8_t* e = sector_at(i, 299);
  const std::uint32_t info = 2048 - 216, last = (info - 152) / 4 - 1;
  std::memset(e + 216 + get_u32(e + 56), 0xFF, info - get_u32(e + 56));
  put_u32(e + 216 + 152 + 4 * last, get_u32(e + 216 + 152));
  put_u32(e + 56, info), put_u32(e + 212, info), set(i, 299, 10, 2032, 2);
  set(i, 97, 252, last), set(i, 257, 12, last);
}

// The UDF 1.50 VAT's name attribute moved 48 bytes on, behind another attribute that says it
// is `length` bytes long.
void attribute_before_name(Image& i, std::uint32_t length) {
  std::uint8_t* e = sector_at(i, 299);
  std::memmove(e + 248, e + 200, 240), std::memset(e + 200, 0, 48);
  put_u32(e + 200, 2048), put_u32(e + 208, length), put_u32(e + 168, 268);
  set(i, 299, 10, get_u16(e + 10) + 48, 2);
}

// The UDF 1.50 VAT in an Extended File Entry: its ID, lengths and attributes 40 bytes on.
void vat150_in_efe(Image& i) {
  std::uint8_t* e = sector_at(i, 299);
  const Image fe(e, e + 2048);
  std::memset(e + 64, 0, 2048 - 64), put_u16(e, 266);
  put_u16(e + 10, static_cast<std::uint16_t>(get_u16(e + 10) + 40));
  std::memcpy(e + 200, fe.data() + 160, 16 + get_u32(fe.data() + 168) + get_u32(fe.data() + 172));
  reseal(i, 299);
}

// clang-format off
std::vector<Case> cases() {
  return {
  // The names a bridge carries are renamed, even when the volume names no file set; nothing
  // after the set's terminator is read as a descriptor.
  {"bridge: primary, boot record, Joliet at levels 1 and 2, another supplementary, terminator, a primary after it; no file set location", {}, [](Image& i) { iso_set(i, {{1}, {0, 1, "%/E"}, {2, 1, "%/@"}, {2, 2, "%/C"}, {2, 1, "%/F"}, {255}, {1}}); for (std::uint32_t lvd : {35u, 51u}) set(i, lvd, 248, 0); }, "", "Sample", with(kSequences, {16, 18, 19})},
  {"bridge: Joliet not of 2048-byte blocks", {}, [](Image& i) { iso_set(i, {{1}, {2, 1, "%/@"}, {255}}), sector_at(i, 17)[130] = 2; }, "Descriptor at sector 17 not changed: invalid tag\n", "Sample", {}},
  // Pure ISO 9660: primary, enhanced and Joliet are renamed; not what is no "CD001" descriptor.
  {"ISO 9660: primary, enhanced, Joliet in other case with a '_', a U+FFFF and ending in a surrogate pair, a type 1 of another standard, a Joliet of version 3, terminator, a primary after it", {}, [](Image& i) { iso_set(i, {{1}, {2, 2, ""}, {2, 1, "%/E"}, {1}, {2, 3, "%/@"}, {255}, {1}}, false), std::memcpy(sector_at(i, 19) + 1, "CDW02", 5), sector_at(i, 16)[72] = 'X', std::memcpy(sector_at(i, 16) + 53, "__X", 3), sector_at(i, 18)[43] = '_', std::memcpy(sector_at(i, 18) + 66, "\xFF\xFF\xDB\xFF\xDF\xFF", 6), sector_at(i, 16)[40] = 'A', sector_at(i, 16)[42] = 'Z', sector_at(i, 18)[41] = 'a', sector_at(i, 18)[45] = 'z'; }, kDone, "aLz" + std::string(10, ' ') + "\xEF\xBF\xBF\xF4\x8F\xBF\xBFX", {16, 17, 18}},
  {"ISO 9660: a Joliet name other than the primary's", {}, [](Image& i) { iso_set(i, {{1}, {2, 1, "%/@"}, {255}}, false), sector_at(i, 17)[41] = 'X'; }, kDone, "XLD", {16, 17}},
  {"ISO 9660: a Joliet name with a '_', ending in U+10000, then a high surrogate whose low one lies past the name", {}, [](Image& i) { iso_set(i, {{1}, {2, 1, "%/@"}, {255}}, false), std::memcpy(sector_at(i, 16) + 53, "__", 2), sector_at(i, 17)[41] = '_', std::memcpy(sector_at(i, 17) + 66, "\xD8\x00\xDC\x00\xD8\x3D\xDC\x01", 8); }, kDone, "OLD" + std::string(10, ' ') + "\xF0\x90\x80\x80\xF0\x9F\x90\x80", {16, 17}},
  {"ISO 9660: Joliet not of 2048-byte blocks", {}, [](Image& i) { iso_set(i, {{1}, {2, 1, "%/@"}, {255}}, false), sector_at(i, 17)[129] = 16; }, "Descriptor at sector 17 not changed: invalid tag\n", "OLD", {}},
  // A file of an ISO 9660 image holding "NSR02" where a 16 KiB spacing looks is no UDF volume.
  {"ISO 9660: NSR02 in a file 16 KiB after its primary", {}, [](Image& i) { iso_set(i, {{1}, {255}}, false), std::memcpy(sector_at(i, 24) + 1, "NSR02\1", 6); }, kDone, "OLD", {16}},
  {"ISO 9660: its primary not of 2048-byte blocks", {}, [](Image& i) { iso_set(i, {{1}, {2, 1, "%/@"}, {255}}, false), sector_at(i, 16)[129] = 16; }, kNotUdf, "", {}},
  {"ISO 9660: the name's trailing \\r and \\t are not shown", {}, [](Image& i) { iso_set(i, {{1}, {255}}, false), sector_at(i, 16)[72] = 'X', sector_at(i, 16)[43] = '\r', sector_at(i, 16)[44] = '\t'; }, kDone, "OLD", {16}},
  // The files of a boot configuration near the root are read for the old label, bounded.
  {"ISO 9660 boot tree: files two levels down at most", {}, boot_tree, warned("/A.CFG /d/BOOT /d/E/C.CFG"), "Old", {16, 18}},
  {"ISO 9660 boot tree: a record past its sector ends the sector's records", {}, [](Image& i) { boot_tree(i), std::memcpy(sector_at(i, 190), sector_at(i, 200), 2048), records(i, 16, 156, {{std::string(1, '\0'), 190, 4096}}), records(i, 190, 108, {{"X", 201, 0, false, 250}, {"X", 201, 0, false, 250}, {"X", 201, 0, false, 250}, {"X", 201, 0, false, 250}, {"X", 201, 0, false, 250}, {"X", 201, 0, false, 250}, {"X", 201, 0, false, 250}, {"A.CFG;1", 299, 12, false, 200}}); }, warned("/A.CFG"), "Old", {16, 18}},
  {"ISO 9660 boot tree: the 64th directory is read, none past it", {}, [](Image& i) { boot_tree(i), std::memcpy(sector_at(i, 190), sector_at(i, 200), 2048), std::memcpy(sector_at(i, 204), sector_at(i, 203), 2048), records(i, 16, 156, {{std::string(1, '\0'), 190, 4096}}); std::vector<Record> x(62, {"X", 0}); for (std::uint32_t k = 0; k < 62; ++k) x[k].extent = 220 + k; x[60] = {"H", 203}, x[61] = {"I", 204}, records(i, 190, 152, {x.begin(), x.begin() + 55}), records(i, 191, 0, {x.begin() + 55, x.end()}); }, warned("/A.CFG /d/BOOT /d/E/C.CFG /H/G.CFG"), "Old", {16, 18}},
  {"ISO 9660 boot tree: a file that is the old label; one that holds it only between word bytes and past its end", {}, [](Image& i) { boot_tree(i), put_u32(sector_at(i, 200) + 68 + 10, 3), std::memcpy(sector_at(i, 299), "Old", 3), put_u32(sector_at(i, 201) + 68 + 10, 29), std::memcpy(sector_at(i, 211), "0OLD OLDz AOLD OLDZ aOLD OLD9 OLD", 33); }, warned("/A.CFG /d/E/C.CFG"), "Old", {16, 18}},
  {"ISO 9660 boot tree: a directory extent past the image's end, a Rock Ridge name past its record", {}, [](Image& i) { boot_tree(i), put_u32(sector_at(i, 201) + 108 + 2, 300), sector_at(i, 200)[108 + 40] = 7; }, warned("/A.CFG /D/BOOT"), "Old", {16, 18}},
  {"ISO 9660 boot tree: a file recorded in the root directory's second sector", {}, [](Image& i) { boot_tree(i), std::memcpy(sector_at(i, 190), sector_at(i, 200), 2048), records(i, 16, 156, {{std::string(1, '\0'), 190, 4096}}), records(i, 191, 0, {{"Z.CFG;1", 211, 12, false}}); }, warned("/A.CFG /Z.CFG /d/BOOT /d/E/C.CFG"), "Old", {16, 18}},
  {"ISO 9660 boot tree: a directory that contains the root", {}, [](Image& i) { boot_tree(i), put_u32(sector_at(i, 201) + 108 + 2, 200); }, warned("/A.CFG /d/BOOT"), "Old", {16, 18}},
  {"4096-byte volume with an ISO 9660 primary first: no 2048-byte bridge", k4096, [](Image& i) { std::memmove(&i[36864], &i[32768], 3 * 4096), std::memset(&i[32768], 0, 4096), std::memcpy(&i[32769], "CD001\1", 6), i[32768] = 1; }, kDone, "Sample", with(kSequences, {257})},
  {"metadata file at block 40", kMeta, [](Image& i) { std::memcpy(sector_at(i, 297), sector_at(i, 257), 2048), std::memset(sector_at(i, 257), 0, 2048), set(i, 297, 12, 40), set(i, 35, 486, 40); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"no file set, the primary descriptor holding a name where a file set holds its label", {}, [](Image& i) { for (std::uint32_t lvd : {35u, 51u}) set(i, lvd, 248, 0); set(i, 32, 112, 0x00424108), set(i, 32, 236, 0x03000000); }, "", "Sample", kSequences},
  {"a seventh partition descriptor is not read", {}, [](Image& i) { std::memcpy(sector_at(i, 43), sector_at(i, 37), 2048), set(i, 43, 12, 43); for (std::uint32_t s = 36; s <= 42; ++s) std::memcpy(sector_at(i, s), sector_at(i, 34), 2048), put_u32(sector_at(i, s) + 12, s), put_u16(sector_at(i, s) + 22, static_cast<std::uint16_t>(s == 41 ? 0 : 1000 + s)), set(i, s, 188, s == 41 ? 1 : 257); }, kDone, "Sample", with(kSequences, {257})},
  {"metadata file in an ext_ad", kMeta, [](Image& i) { std::uint8_t* e = sector_at(i, 257); put_u16(e + 34, static_cast<std::uint16_t>(get_u16(e + 34) | 2)), put_u32(e + 212, 20), put_u32(e + 216, 4 * 2048), put_u32(e + 220, 4 * 2048), put_u32(e + 224, 4 * 2048), put_u32(e + 228, 2), set(i, 257, 10, 220, 2); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"metadata map before the physical one", kMeta, [](Image& i) { for (std::uint32_t lvd : {35u, 51u}) std::rotate(sector_at(i, lvd) + 440, sector_at(i, lvd) + 446, sector_at(i, lvd) + 510), set(i, lvd, 256, 0, 2); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"metadata, partition number 1 on both maps and the descriptor", kMeta, [](Image& i) { for (std::uint32_t s : {32u, 48u}) set(i, s + 3, 444, 1, 2), set(i, s + 3, 446 + 38, 1, 2), set(i, s + 2, 22, 1, 2); }, kDone, "Sample", with(kSequences, {259, 263})},
  {"metadata file without a mirror", {.metadata = true, .mirror_extents = {}}, kNone, kDone, "Sample", with(kSequences, {259})},
  {"metadata file in two extents", {.metadata = true, .fsd_block = 2, .main_extents = {{2, 2}, {12, 2}}}, kNone, kDone, "Sample", with(kSequences, {265, 269})},
  {"metadata file not covering the block", {.metadata = true, .fsd_block = 4, .mirror_extents = {{6, 8}}}, kNone, kDone, "Sample", with(kSequences, {267})},
  {"unrecorded extent in the metadata file", {.metadata = true, .fsd_block = 2, .main_extents = {{2, 2}, {12, 2}}}, [](Image& i) { sector_at(i, 257)[227] = 0x40; }, kDone, "Sample", with(kSequences, {265})},
  {"metadata file's descriptors past its sector", kMeta, [](Image& i) { put_u32(sector_at(i, 257) + 208, 0xFFFFFFF0); }, kDone, "Sample", with(kSequences, {263})},
  // A length byte past the field counts only to the field's end, however long what follows.
  {"file set label's length byte past its field", {}, [](Image& i) { std::memset(sector_at(i, 257) + 113, 'A', 200), sector_at(i, 257)[239] = 255, reseal(i, 257); }, kDone, std::string(126, 'A'), with(kSequences, {257})},
  // A relabel that cannot rewrite every copy of the name, or finds no file set, rewrites none.
  {"main Logical Volume Descriptor not matching its CRC", {}, [](Image& i) { sector_at(i, 35)[100] ^= 1; }, "Descriptor at sector 35 not changed: invalid tag\n", "Sample", {}},
  {"reserve Primary Volume Descriptor's checksum wrong", {}, [](Image& i) { sector_at(i, 48)[4] ^= 1; }, "Descriptor at sector 48 not changed: invalid tag\n", "Sample", {}},
  {"file set and primary descriptor recording other locations", {}, [](Image& i) { set(i, 257, 12, 5), set(i, 32, 12, 33); }, "Descriptor at sector 32 not changed: invalid tag\nDescriptor at sector 257 not changed: invalid tag\n", "Sample", {}},
  {"file set's partition reference out of range", {}, [](Image& i) { for (std::uint32_t lvd : {35u, 51u}) set(i, lvd, 256, 1, 2); }, kNoFileSet, "Sample", {}},
  {"file set on a block of zeros", {}, [](Image& i) { std::memset(sector_at(i, 257), 0, 2048); }, kNoFileSet, "Sample", {}},
  {"file set on a map that matches no partition descriptor, where its block counts from block 0", {}, [](Image& i) { set(i, 35, 444, 7, 2), std::memcpy(sector_at(i, 0), sector_at(i, 257), 2048); }, kNoFileSet, "Sample", {}},
  {"file set past its partition's length", {}, [](Image& i) { set(i, 34, 192, 0); }, kNoFileSet, "Sample", {}},
  {"CRC length one past the block", {}, [](Image& i) { set(i, 51, 10, 2033, 2); }, "Descriptor at sector 51 not changed: invalid tag\n", "Sample", {}},
  {"CRC length up to the block's end", k4096, [](Image& i) { set(i, 32, 10, 4080, 2), set(i, 257, 10, 4080, 2); }, kDone, "Sample", with(kSequences, {257})},
  {"main primary descriptor carrying the new name already: no write", {}, [](Image& i) { std::memcpy(sector_at(i, 32) + 24, dstring8("New", 32).data(), 32), put_cs0_charspec(sector_at(i, 32) + 200), reseal(i, 32); }, kDone, "Sample", {33, 35, 48, 49, 51, 257}},
  {"every name's character set another one", {}, [](Image& i) { for (auto [s, at] : {std::pair{32u, 200}, {33u, 52}, {35u, 20}, {257u, 48}, {257u, 240}}) sector_at(i, s)[at] = 1, reseal(i, s); }, kDone, "Sample", with(kSequences, {257})},
  {"implementation use of another implementation", {}, [](Image& i) { sector_at(i, 33)[22] = 'X', reseal(i, 33); }, kDone, "Sample", {32, 35, 48, 49, 51, 257}},
  // A terminating descriptor where the Logical Volume Descriptor stood: no partition table.
  {"sequence ended early", {}, [](Image& i) { std::memcpy(sector_at(i, 33), sector_at(i, 37), 2048), set(i, 33, 12, 33); }, kNoFileSet, "Sample", {}},
  {"reserve sequence of three blocks, its Logical Volume Descriptor past them", {}, [](Image& i) { set(i, 256, 24, 3 * 2048); }, kDone, "Sample", {32, 33, 35, 48, 49, 257}},
  {"reserve chunk cut by the image's end", {}, [](Image& i) { set(i, 256, 28, 299), std::memcpy(sector_at(i, 299), sector_at(i, 48), 2048), set(i, 299, 12, 299); }, kDone, "Sample", {32, 33, 35, 257, 299}},
  // A virtual map past the two does not count.
  {"UDF 1.50 with two maps", {}, [](Image& i) { std::memcpy(sector_at(i, 17) + 1, "NSR02", 5), std::swap_ranges(sector_at(i, 33), sector_at(i, 34), sector_at(i, 35)), set(i, 33, 12, 33), set(i, 35, 12, 35); std::vector<std::uint8_t> maps = {1, 6, 1, 0, 0, 0, 1, 6, 1, 0, 1, 0, 2, 64, 0, 0, 0}; const std::string v = "*UDF Virtual Partition"; maps.insert(maps.end(), v.begin(), v.end()), set_maps(i, 33, 2, maps); }, kNoFileSet, "Sample", {}},
  // The file set on the cut map's row: an all-zero row there would read as a physical partition.
  {"maps past the descriptor", {}, [](Image& i) { map_at_end(i, 35, 2, {1, 6}); }, kNoFileSet, "Sample", {}},
  {"the file set on a type 2 map of no kind", {}, [](Image& i) { std::vector<std::uint8_t> maps = {1, 6, 1, 0, 0, 0, 2, 64}; maps.resize(70), set_maps(i, 35, 2, maps), set(i, 35, 256, 1, 2); }, kNoFileSet, "Sample", {}},
  {"as many maps as fit a 512-byte block, the file set on the last", k512, [](Image& i) { std::vector<std::uint8_t> maps; for (int k = 0; k < 12; ++k) maps.insert(maps.end(), {1, 6, 1, 0, 0, 0}); set_maps(i, 35, 12, maps), set(i, 35, 256, 11, 2); }, kDone, "Sample", with(kSequences, {257})},
  // More maps than fit end the main sequence's scan at that descriptor, with no table.
  {"more maps than fit, the LVD before the IUVD", {}, [](Image& i) { std::swap_ranges(sector_at(i, 33), sector_at(i, 34), sector_at(i, 35)), set(i, 35, 12, 35), set(i, 33, 12, 33), set_maps(i, 33, 269, {1, 6, 1, 0, 0, 0}); }, kNoFileSet, "Sample", {}},
  {"a second LVD with more maps than fit", {}, [](Image& i) { std::memcpy(sector_at(i, 36), sector_at(i, 35), 2048), put_u32(sector_at(i, 36) + 12, 36), set_maps(i, 36, 269, {1, 6, 1, 0, 0, 0}); }, kNoFileSet, "Sample", {}},
  {"UDF 1.50, two maps, the second cut by a 512-byte block's end", k512, [](Image& i) { std::memcpy(sector_at(i, 68) + 1, "NSR02", 5), set_maps(i, 35, 2, {1, 10, 1, 0, 0, 0, 0, 0, 0, 0, 2, 64}); }, kNoFileSet, "Sample", {}},
  {"anchor not matching its CRC, no copy", {}, [](Image& i) { sector_at(i, 256)[20] ^= 1, std::memset(sector_at(i, 299), 0, 2048); }, kNoAnchor, "", {}},
  {"anchor at the end only, the image ending inside another block", {}, [](Image& i) { std::memset(sector_at(i, 256), 0, 2048), i.resize(i.size() + 2047); }, kDone, "Sample", with(kSequences, {257})},
  {"anchor 257 blocks before the end of 257, the file set past the cut image's end", {}, [](Image& i) { std::memcpy(sector_at(i, 0), sector_at(i, 256), 2048), set(i, 0, 12, 0), i.resize(257 * 2048), std::memset(sector_at(i, 256), 0, 2048); }, kNoFileSet, "Sample", {}},
  // On a 512-byte device 512 is tried first, but its stale anchor has no end anchor of its own.
  {"anchor 257 blocks before the end beside a stale one", {}, [](Image& i) { std::memcpy(sector_at(i, 0), sector_at(i, 256), 2048), set(i, 0, 12, 0), i.resize(257 * 2048), set(i, 256, 12, 0); Image a(sector_at(i, 256), sector_at(i, 256) + 512); a.block = 512, set(a, 0, 12, 256), std::copy(a.begin(), a.end(), i.begin() + 256 * 512); }, kNoFileSet, "Sample", {}, "", 512},
  {"stale 2048-byte anchors at 256 and 257 blocks before the end, a 512-byte volume ending in one", {.sectors = 1200, .block = 512}, [](Image& i) { for (std::uint32_t at : {256u, 43u}) { Image a(sector_at(i, 256), sector_at(i, 256) + 512); a.resize(2048), a.block = 2048, set(a, 0, 12, at), std::copy(a.begin(), a.end(), i.begin() + at * 2048); } }, kDone, "Sample", with(kSequences, {257})},
  {"anchors at 256 and 257 blocks before the end for 512 and 1024 bytes that lead to no volume, a stale one at 256 for 2048 bytes, which has one at the end", {}, [](Image& i) { set(i, 256, 12, 0); for (std::uint32_t size : {512u, 1024u}) { Image a(sector_at(i, 256), sector_at(i, 256) + size); a.block = size, std::fill(a.begin() + 512, a.end(), 0); for (std::uint32_t at : {256u, 300 * 2048 / size - 257}) set(a, 0, 12, at), std::copy(a.begin(), a.end(), i.begin() + at * size); } }, kDone, "Sample", with(kSequences, {257})},
  {"shorter than 26 sectors", {}, [](Image& i) { i.resize(25 * 2048); }, kNotUdf, "", {}},
  // The recognition sequence: ten descriptors from 32768, up to the first blank one.
  {"NSR in the 10th descriptor", {}, [](Image& i) { std::memcpy(sector_at(i, 25), sector_at(i, 17), 2048); for (std::uint32_t s = 17; s < 25; ++s) std::memcpy(sector_at(i, s), sector_at(i, 16), 2048); }, kDone, "Sample", with(kSequences, {257})},
  {"NSR in the 11th descriptor", {}, [](Image& i) { std::memcpy(sector_at(i, 26), sector_at(i, 17), 2048); for (std::uint32_t s = 17; s < 26; ++s) std::memcpy(sector_at(i, s), sector_at(i, 16), 2048); }, kNotUdf, "", {}},
  {"a blank descriptor at 32768", {}, [](Image& i) { std::memset(sector_at(i, 16), 0, 2048); }, kNotUdf, "", {}},
  // Sparable: the file set is found through the first table that verifies.
  {"sparable, three blocks into the packet", {}, [](Image& i) { spare(i, 35, 403, 4, 0); for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 252, 35); }, kDone, "Spared", with(kCdrw, {403}), kCdrw201},
  {"sparable, a free entry's own original", {}, [](Image& i) { for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 252, 0xFFFFFFF0), set(i, lvd, 480, 0x00020010); spare(i, 0xFFFFFFF0, 400, 4, 0), set(i, 160, 56, 0xFFFFFFF0); }, kNoFileSet, "Made", {}, kCdrw201},
  {"sparable, the first table saying more entries than it holds", {}, [](Image& i) { spare(i, 35, 403, 4, 0); for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 252, 35); std::memcpy(sector_at(i, 4064), sector_at(i, 160), 2048), set(i, 4064, 12, 4064), set(i, 160, 60, 300), set(i, 160, 48, 5, 2); }, kDone, "Spared", with(kCdrw, {403}), kCdrw201},
  {"sparable, a table one byte into its second block", {}, [](Image& i) { spare(i, 35, 403, 4, 0); for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 252, 35), set(i, lvd, 484, 4096); set(i, 160, 10, 2033, 2); }, kDone, "Spared", with(kCdrw, {403}), kCdrw201},
  {"sparable, five tables said, four read, the first damaged", {}, [](Image& i) { spare(i, 35, 403, 4, 0); for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 252, 35), set(i, lvd, 482, 5, 2); std::memcpy(sector_at(i, 4064), sector_at(i, 160), 2048), set(i, 4064, 12, 4064), sector_at(i, 160)[60] ^= 1; }, kDone, "Spared", with(kCdrw, {403}), kCdrw201},
  {"sparable, partition number 1 on its map and the descriptor", {}, [](Image& i) { for (std::uint32_t s : {96u, 3936u}) set(i, s + 1, 478, 1, 2), set(i, s + 2, 22, 1, 2); }, kDone, "Made", with(kCdrw, {1344}), kCdrw201},
  {"sparable map of another identifier", {}, [](Image& i) { for (std::uint32_t lvd : {97u, 3937u}) sector_at(i, lvd)[440 + 5 + 22] = 'X', reseal(i, lvd); }, kNoFileSet, "Made", {}, kCdrw201},
  {"sparable, a table longer than its map says", {}, [](Image& i) { spare(i, 32, 400, 301, 300); }, kDone, "Made", with(kCdrw, {1344}), kCdrw201},
  {"sparable, packet length 0", {}, [](Image& i) { for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 480, 0x00020000); }, kNoFileSet, "Made", {}, kCdrw201},
  {"sparable, two-sector table", {}, [](Image& i) { spare(i, 32, 400, 301, 300); for (std::uint32_t lvd : {97u, 3937u}) set(i, lvd, 440 + 44, 4096); }, kDone, "Spared", with(kCdrw, {400}), kCdrw201},
  // Virtual: the VAT is found only where it verifies, and its label rewritten.
  {"VAT in a long_ad", {}, [](Image& i) { vat_in_extents(i, 0); }, kDone, "Made", with(kCdr, {257, 259}), kCdr201},
  {"VAT in a long_ad on another partition", {}, [](Image& i) { vat_in_extents(i, 1); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT in two short_ads mapping the file set to the partition's sixth block", {}, [](Image& i) { std::memcpy(sector_at(i, 262), sector_at(i, 257), 2048), set(i, 299, 216 + 152, 5), vat_in_extents(i, 0, 152); }, kDone, "Made", with(kCdr, {259, 262}), kCdr201},
  {"VAT in a long_ad of two blocks, the file set's entry across them, on a 600-block disc", {}, [](Image& i) { set(i, 299, 216 + 152, 261), vat_in_extents(i, 0); std::uint8_t* h = sector_at(i, 259); std::memmove(h + 2047, h + 152, 8), std::memset(h + 152, 0, 8), put_u16(h, 2047), put_u16(h + 2, 2047 - 152), set(i, 299, 56, 2055), set(i, 299, 216, 2055); i.resize(600 * 2048), std::memcpy(sector_at(i, 599), sector_at(i, 299), 2048), std::memset(sector_at(i, 299), 0, 2048), set(i, 599, 12, 342), std::memcpy(sector_at(i, 518), sector_at(i, 257), 2048); }, kDone, "Made", with(kCdr, {259, 518}), kCdr201},
  {"VAT in a long_ad one byte short of its data", {}, [](Image& i) { vat_in_extents(i, 0), set(i, 299, 216, 159); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT in a long_ad allocated but not recorded", {}, [](Image& i) { vat_in_extents(i, 0), set(i, 299, 216, 160 | 1u << 30); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT in a short_ad covering it, then one of no use", {}, [](Image& i) { vat_in_extents(i, 0, 152), set(i, 299, 216, 160), set(i, 299, 224, 8 | 3u << 30); }, kDone, "Made", with(kCdr, {257, 259}), kCdr201},
  {"VAT in more short_ads than are followed, the 17th holding its last entry", {}, [](Image& i) { vat_in_extents(i, 0, 152); for (std::uint32_t k = 2; k < 17; ++k) put_u32(sector_at(i, 299) + 216 + 8 * k, k / 16 * 4); set(i, 299, 56, 164), set(i, 299, 212, 136); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT in two short_ads, the second past the image's end", {}, [](Image& i) { vat_in_extents(i, 0, 152), set(i, 299, 228, 1000); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT in two short_ads but one declared", {}, [](Image& i) { vat_in_extents(i, 0, 152), set(i, 299, 212, 8); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT in two short_ads, the file set's entry across them, mapping it to the sixth block", {}, [](Image& i) { std::memcpy(sector_at(i, 262), sector_at(i, 257), 2048), set(i, 299, 216 + 152, 5), vat_in_extents(i, 0, 155), std::memset(sector_at(i, 259) + 155, 0xAA, 4); }, kDone, "Made", with(kCdr, {259, 262}), kCdr201},
  // The header's label is renamed only where it lies whole in the first extent.
  {"VAT in two short_ads, its label ending where the first ends", {}, [](Image& i) { vat_in_extents(i, 0, 132); }, kDone, "Made", with(kCdr, {257, 259}), kCdr201},
  {"VAT in two short_ads, its label one byte past the first", {}, [](Image& i) { vat_in_extents(i, 0, 131); }, kDone, "Made", with(kCdr, {257}), kCdr201},
  {"VAT mapping the file set to the partition's third block", {}, [](Image& i) { std::memcpy(sector_at(i, 259), sector_at(i, 257), 2048), set(i, 299, 216 + 152, 2); }, kDone, "Made", with(kCdr, {259, 299}), kCdr201},
  {"VAT, partition number 1 on both maps and the descriptor", {}, [](Image& i) { set(i, 97, 444, 1, 2), set(i, 97, 484, 1, 2), set(i, 98, 22, 1, 2); }, kDone, "Made", with(kCdr, {257, 299}), kCdr201},
  {"VAT of no entries", {}, [](Image& i) { set(i, 299, 56, 152); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT on the partition's first block, the file set after it", {}, [](Image& i) { std::memcpy(sector_at(i, 258), sector_at(i, 257), 2048), std::memcpy(sector_at(i, 257), sector_at(i, 299), 2048), set(i, 257, 12, 0), set(i, 257, 216 + 152, 1), i.resize(259 * 2048); }, kDone, "Made", with(kCdr, {257, 258}), kCdr201},
  {"VAT up to the block's end, the file set in its last entry", {}, vat_to_the_block_end, kDone, "Made", with(kCdr, {257, 299}), kCdr201},
  {"VAT 1.50, a table of no entries, its name's attribute as short as it can be", {}, [](Image& i) { std::uint8_t* e = sector_at(i, 299); const std::size_t data = 176 + get_u32(e + 168); std::memmove(e + data, e + data + get_u32(e + 56) - 36, 36), put_u32(e + 208, 194), set(i, 299, 56, 36); }, kNoFileSet, "Made", {}, kCdr150},
  {"VAT 1.50 in an Extended File Entry", {}, vat150_in_efe, kDone, "Made", with(kCdr, {257, 299}), kCdr150},
  {"VAT 1.50 whose data is longer than its allocation", {}, [](Image& i) { set(i, 299, 172, get_u32(sector_at(i, 299) + 172) - 4); }, kNoFileSet, "Made", {}, kCdr150},
  {"VAT 1.50 whose data lies past the image's end", {}, [](Image& i) { std::uint8_t* e = sector_at(i, 299); put_u16(e + 34, static_cast<std::uint16_t>(get_u16(e + 34) & ~7)), put_u32(e + 172, 8), put_u32(e + 396, 44), put_u32(e + 400, 0xFFFF0), reseal(i, 299); }, kNoFileSet, "Made", {}, kCdr150},
  {"VAT 1.50, another attribute before its name's", {}, [](Image& i) { attribute_before_name(i, 48); }, kDone, "Made", with(kCdr, {257, 299}), kCdr150},
  {"VAT 1.50, an attribute of no length before its name's", {}, [](Image& i) { attribute_before_name(i, 0); }, kDone, "Made", with(kCdr, {257}), kCdr150},
  // Later VATs framed wrongly each way are passed over for an earlier one that is sound.
  {"VAT before six broken ones", {}, [](Image& i) { for (std::uint32_t s = 293; s < 299; ++s) std::memcpy(sector_at(i, s), sector_at(i, 299), 2048), set(i, s, 12, s - 257); sector_at(i, 294)[34] |= 7, reseal(i, 294), set(i, 299, 56, 3), set(i, 298, 216, 153, 2), set(i, 297, 216, 300, 2), set(i, 297, 218, 148, 2), sector_at(i, 296)[27] = 0, reseal(i, 296), sector_at(i, 295)[27] = 0, set(i, 295, 56, 35); }, kDone, "Made", with(kCdr, {257, 293}), kCdr201},
  // A name's attribute that does not verify, is another writer's or of another name is left.
  {"VAT 1.50, its attribute header not verifying", {}, [](Image& i) { sector_at(i, 299)[176 + 8] ^= 1, reseal(i, 299); }, kDone, "Made", with(kCdr, {257}), kCdr150},
  {"VAT 1.50, its name's attribute of another Unique ID", {}, [](Image& i) { sector_at(i, 299)[200 + 50] ^= 1, reseal(i, 299); }, kDone, "Made", with(kCdr, {257}), kCdr150},
  {"VAT 1.50, its name's attribute of another identifier", {}, [](Image& i) { sector_at(i, 299)[200 + 17 + 19] = 'X', reseal(i, 299); }, kDone, "Made", with(kCdr, {257}), kCdr150},
  {"VAT, the file set on the block just past its table", {}, [](Image& i) { for (std::uint32_t lvd : {97u, 241u}) set(i, lvd, 252, 2); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT 32 blocks from the end", {}, [](Image& i) { i.resize(i.size() + 31 * 2048); }, kDone, "Made", with(kCdr, {257, 299}), kCdr201},
  {"VAT 33 blocks from the end", {}, [](Image& i) { i.resize(i.size() + 32 * 2048); }, kNoFileSet, "Made", {}, kCdr201},
  // A type 2 map takes 64 bytes whatever it declares: one cut by the block's end is not read.
  {"virtual map in the block's last 64 bytes", {}, [](Image& i) { map_at_end(i, 97, 64, std::vector<std::uint8_t>(sector_at(i, 97) + 446, sector_at(i, 97) + 510)); }, kDone, "Made", with(kCdr, {257, 299}), kCdr201},
  {"virtual map declaring 40 bytes in the block's last 40", {}, [](Image& i) { std::vector<std::uint8_t> map(sector_at(i, 97) + 446, sector_at(i, 97) + 510); map[1] = 40, map_at_end(i, 97, 40, map); }, kNoFileSet, "Made", {}, kCdr201},
  {"VAT, no physical partition of its number", {}, [](Image& i) { set(i, 97, 484, 7, 2); }, kNoFileSet, "Made", {}, kCdr150},
  };
}
// clang-format on

void PrintTo(const Case& c, std::ostream* os) { *os << c.what << " " << c.media; }

class Volumes : public ::testing::TestWithParam<Case> {};

TEST_P(Volumes, AreReadAndRelabelledEachTheirOwnWay) {
  const Case& c = GetParam();
  if (!c.media.empty()) REQUIRE_TOOL("mkudffs");
  Image image = c.media.empty() ? build_image(c.options) : made(c.media);
  ASSERT_FALSE(image.empty());
  c.damage(image);
  const Pass read = run_pass(image, nullptr, c.device);
  if (read.no_device) GTEST_SKIP() << "no loop device could be made";
  EXPECT_EQ(read.label, c.label);
  EXPECT_EQ(read.after, image) << "read-only mode writes nothing";
  const Pass p = run_pass(image, "New", c.device);
  EXPECT_EQ(p.out, c.out);
  EXPECT_EQ(p.ok, c.out.empty() || c.out.ends_with(kDone));
  EXPECT_EQ(changed_sectors(image, p.after), c.written);
  EXPECT_EQ(unexpected_changes(image, p.after), std::vector<std::string>{});
  if (p.ok && !c.label.empty()) EXPECT_EQ(run_pass(p.after, nullptr, c.device).label, "New");
  // A dry run writes nothing, says what the relabel says, and lists the blocks it changed.
  const Pass dry = run_pass(image, "New", c.device, true);
  EXPECT_EQ(dry.after, image) << "a dry run writes nothing";
  const DryRun listed = dry_run_of(dry.out);
  EXPECT_EQ(listed.said, !p.ok ? p.out
                         : p.out.ends_with(kDone)
                             ? p.out.substr(0, p.out.size() - kDone.size()) + kDryRun
                             : p.out + kDryRun);
  EXPECT_EQ(dry.ok, p.ok);
  EXPECT_EQ(listed.sectors, changed_sectors(image, p.after));
}

INSTANTIATE_TEST_SUITE_P(Rows, Volumes, ::testing::ValuesIn(cases()), [](const auto& info) {
  std::string name = std::to_string(info.index) + "_" + info.param.what + " " + info.param.media;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

// Block numbers are 32 bits. A 512-byte volume's main sequence at block 2^32-2, in an image
// sparse past 2 TiB: its Logical Volume Descriptor lies past block 2^32-1 and is not read, so
// no file set is found; nothing is written, least of all to the blocks at the volume's start,
// where that descriptor's block number wraps round to.
TEST(Volumes, AMainSequenceCrossingBlock2To32IsScannedOnlyUpToIt) {
  Image image = build_image(k512);
  const std::uint32_t first = 0xFFFFFFFE;
  set(image, 256, 20, first);
  Image sequence(sector_at(image, 32), sector_at(image, 38));  // PVD, IUVD, PD, LVD, USD, TD
  sequence.block = 512;
  for (std::uint32_t k = 0; k < 6; ++k) set(sequence, k, 12, first + k);
  TempDir dir;
  const std::string path = dir.path("image");
  write_file(path, image);
  const int fd = open(path.c_str(), O_RDWR);
  const bool sparse = pwrite(fd, sequence.data(), sequence.size(), first * 512ll) == 3072;
  if (!sparse) GTEST_SKIP() << "this file system holds no file of 2 TiB";
  const Pass read = pass_over(path, nullptr), write = pass_over(path, "New");
  EXPECT_EQ(read.out + read.label + "|" + write.out,
            "Sample|File Set Descriptor not found in: PATH\n");
  Image start = image;
  EXPECT_EQ(pread(fd, start.data(), start.size(), 0), static_cast<ssize_t>(start.size()));
  close(fd);
  EXPECT_TRUE(start == image) << "nothing written where the block numbers wrap round to";
}

}  // namespace
}  // namespace tarnwick::testing
