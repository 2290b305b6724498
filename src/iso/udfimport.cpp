// Import of an earlier session's UDF tree: the anchor at the session's start
// + 256 (or in its last sector), the volume descriptor sequence (the main
// one, else the reserve), the partition, the file set and from its root every
// directory's identifiers and entries. The tree is added as imported entries
// that keep their data where it lies, with the names, times, modes, owners
// and links UDF carries.
//
// The disc is untrusted input: every descriptor's tag, checksum and CRC are
// checked, every block read lies inside the partition and the disc, an
// entry's descriptors and a directory's size are bounded, a directory is
// never read twice and the nesting is bounded.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "iso/iso.h"
#include "iso/rockridge_private.h"
#include "iso/tree_private.h"
#include "iso/udf_private.h"

namespace {

using TBlock = std::array<uint8_t, 2048>;

constexpr uint32_t kAnchorSector = 256;
constexpr uint32_t kMaxSequenceBlocks = 64;        // blocks of one volume descriptor sequence read
constexpr int kMaxDepth = 255;                     // directory levels below the root
constexpr uint64_t kMaxDirectoryBytes = 64 << 20;  // one directory's identifiers
constexpr uint64_t kMaxLinkBytes = 4096;
constexpr int kMaxExtentBlocks = 1024;  // allocation extent blocks followed for one entry

enum : uint16_t {
  kTagPartition = 5, kTagLogicalVolume = 6, kTagTerminating = 8, kTagAnchor = 2,
  kTagFileSet = 256, kTagFileIdentifier = 257, kTagAllocationExtent = 258, kTagFileEntry = 261,
  kTagExtendedFileEntry = 266,
};
enum : uint8_t { kTypeDirectory = 4, kTypeFile = 5, kTypeSymlink = 12 };

uint16_t LE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t LE32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t LE64(const uint8_t* p) { return LE32(p) | uint64_t{LE32(p + 4)} << 32; }

// A descriptor tag that checks: its identifier, checksum and CRC over the
// bytes there are, and (unless Location is ~0) where it says it lies.
bool TagChecks(const uint8_t* d, size_t available, uint16_t id, uint32_t location) {
  if (available < 16 || LE16(d) != id) return false;
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  if (d[4] != sum) return false;
  const size_t crcLength = LE16(d + 10);
  if (16 + crcLength > available || LE16(d + 8) != UdfCrc(d + 16, crcLength)) return false;
  return location == ~0u || LE32(d + 12) == location;
}

// A timestamp as seconds since 1970; its offset from UTC when it gives one.
int64_t Seconds(const uint8_t* d) {
  const uint16_t typeAndZone = LE16(d);
  int64_t s = CivilSeconds(LE16(d + 2), std::clamp<int>(d[4], 1, 12), std::clamp<int>(d[5], 1, 31),
                           std::min<int>(d[6], 23), std::min<int>(d[7], 59), std::min<int>(d[8], 59));
  int zone = typeAndZone & 0x0FFF;
  if (zone >= 0x800) zone -= 0x1000;  // twelve bits, signed
  if ((typeAndZone >> 12) == 1 && zone != -2047) s -= int64_t{zone} * 60;
  return s;
}

// ECMA-167 permissions back to POSIX modes.
uint32_t ModeOf(uint32_t permissions) {
  uint32_t mode = 0;
  for (int who = 0; who < 3; ++who) {
    const uint32_t p = (permissions >> (5 * who)) & 0x1F;
    mode |= (((p & 0x04) ? 4u : 0u) | ((p & 0x02) ? 2u : 0u) | ((p & 0x01) ? 1u : 0u)) << (3 * who);
  }
  return mode;
}

// Compressed Unicode as UTF-8; false for a compression UDF does not define.
bool NameOf(const uint8_t* d, size_t n, std::string& out) {
  if (n == 0) return false;
  std::u16string units;
  if (d[0] == 8 || d[0] == 254) {
    for (size_t i = 1; i < n; ++i) units.push_back(d[i]);
  } else if ((d[0] == 16 || d[0] == 255) && n % 2 == 1) {
    for (size_t i = 1; i + 1 < n; i += 2) units.push_back(static_cast<char16_t>(d[i] << 8 | d[i + 1]));
  } else {
    return false;
  }
  out = Utf16ToUtf8(units);
  return true;
}

// A symbolic link's path components as a path.
std::string LinkTarget(const std::string& data) {
  std::string out;
  size_t at = 0;
  while (at + 4 <= data.size()) {
    const auto type = static_cast<uint8_t>(data[at]);
    const size_t length = static_cast<uint8_t>(data[at + 1]);
    if (at + 4 + length > data.size()) break;
    std::string part;
    if (type == 1 || type == 2) {
      out = "/";
    } else if (type == 3) {
      part = "..";
    } else if (type == 4) {
      part = ".";
    } else if (type == 5) {
      NameOf(reinterpret_cast<const uint8_t*>(data.data()) + at + 4, length, part);
    }
    if (!part.empty()) out += (out.empty() || out.back() == '/' ? "" : "/") + part;
    at += 4 + length;
  }
  return out;
}

struct TExtent {
  uint32_t Length;  // bytes
  uint32_t Block;   // in the partition
  uint8_t Type;     // 0 recorded, 1 allocated only, 2 neither
};

// What a file entry says.
struct TEntry {
  uint8_t Type = 0;
  uint32_t Uid = 0, Gid = 0, Permissions = 0;
  int64_t Access = 0, Modify = 0, Change = 0;
  uint64_t Length = 0;
  std::vector<TExtent> Extents;
  bool Embedded = false;
  std::string Data;  // embedded data
};

}  // namespace

class TUdfSessionImport {
public:
  TUdfSessionImport(VEZEZadira& c, uint32_t start, uint32_t last, uint64_t discEnd)
      : c_(c), start_(start), last_(last), discEnd_(discEnd) {}

  // The session's volume. False, with the reason in Why (empty when the
  // session has no UDF at all), when it cannot be used.
  bool Find(std::string& Why) {
    TBlock b{};
    uint32_t anchor = start_ + kAnchorSector;
    if (!Read(anchor, b) || !TagChecks(b.data(), 512, kTagAnchor, anchor)) {
      anchor = last_;  // the session's last sector
      if (anchor <= start_ || !Read(anchor, b) || !TagChecks(b.data(), 512, kTagAnchor, anchor)) return false;
    }
    bool found = false;
    for (const size_t at : {16, 24}) {  // the main sequence, else the reserve
      if (Sequence(LE32(&b[at + 4]), LE32(&b[at]) / 2048)) {
        found = true;
        break;
      }
    }
    if (!found) return Why = "NO VOLUME DESCRIPTORS THAT CHECK", false;
    if (!ReadBlock(fileSet_, b) || !TagChecks(b.data(), 512, kTagFileSet, fileSet_))
      return Why = "FILE SET DESCRIPTOR", false;
    if (LE16(&b[408]) != 0) return Why = "ROOT IN ANOTHER PARTITION", false;
    root_ = LE32(&b[404]);
    return true;
  }

  // One past the volume found: its partition, and the closing anchor when one
  // checks right after it.
  uint64_t VolumeEnd() {
    const uint64_t end = uint64_t{partition_} + partitionLength_;
    TBlock b{};
    if (end <= 0xFFFFFFFFull && Read(end, b) && TagChecks(b.data(), 512, kTagAnchor, static_cast<uint32_t>(end)))
      return end + 1;
    return end;
  }

  // Adds the tree to Into; false when part of it cannot be read (reported).
  bool Import(TDEntry* Into) {
    TEntry root;
    if (!Entry(root_, root) || root.Type != kTypeDirectory) return Report("ROOT ENTRY", ItemName(Into, "")), false;
    visited_.insert(root_);
    return Directory(root, Into, 0);
  }

private:
  bool Read(uint64_t lba, TBlock& b) {
    b.fill(0);
    return lba < discEnd_ && lba <= 0xFFFFFFFFull && c_.Read10(static_cast<uint32_t>(lba), 1, b.data(), 2048);
  }
  // A block of the partition.
  bool ReadBlock(uint32_t block, TBlock& b) { return block < partitionLength_ && Read(uint64_t{partition_} + block, b); }

  void Report(const std::string& what, const std::string& item) {
    c_.DebugMessage(">>> ERROR IMPORTING SESSION, UDF " + what + ": " + item, MSG_FILE);
  }
  static std::string ItemName(const TDEntry* dir, const std::string& name) {
    return (dir->Parent == dir ? std::string() : dir->Path) + "\\" + name;
  }

  // A volume descriptor sequence: its partition and logical volume.
  bool Sequence(uint32_t first, uint32_t blocks) {
    bool partition = false, volume = false;
    uint16_t number = 0;
    for (uint32_t i = 0; i < std::min(blocks, kMaxSequenceBlocks); ++i) {
      TBlock b{};
      const uint32_t lba = first + i;
      if (!Read(lba, b)) return false;
      const uint16_t id = LE16(b.data());
      if (!TagChecks(b.data(), b.size(), id, lba)) return false;
      if (id == kTagTerminating) break;
      if (id == kTagPartition) {
        number = LE16(&b[22]);
        partition_ = LE32(&b[188]);
        partitionLength_ = LE32(&b[192]);
        partition = true;
      } else if (id == kTagLogicalVolume) {
        // One partition map of type 1, for the partition; 2048-byte blocks.
        if (LE32(&b[212]) != 2048 || LE32(&b[268]) != 1 || b[440] != 1 || b[441] != 6) return false;
        if (LE16(&b[256]) != 0) return false;
        mapped_ = LE16(&b[444]);
        fileSet_ = LE32(&b[252]);
        volume = true;
      }
    }
    return partition && volume && mapped_ == number && partition_ < discEnd_;
  }

  // A file entry (or extended file entry) and its allocation descriptors.
  bool Entry(uint32_t block, TEntry& e) {
    TBlock b{};
    if (!ReadBlock(block, b)) return false;
    const uint16_t id = LE16(b.data());
    if ((id != kTagFileEntry && id != kTagExtendedFileEntry) || !TagChecks(b.data(), b.size(), id, block)) return false;
    const bool extended = id == kTagExtendedFileEntry;
    e.Type = b[27];
    e.Uid = LE32(&b[36]);
    e.Gid = LE32(&b[40]);
    e.Permissions = LE32(&b[44]);
    e.Length = LE64(&b[56]);
    e.Access = Seconds(&b[extended ? 80 : 72]);
    e.Modify = Seconds(&b[extended ? 92 : 84]);
    e.Change = Seconds(&b[extended ? 116 : 96]);
    const size_t header = extended ? 216 : 176;
    const uint64_t ea = LE32(&b[extended ? 208 : 168]), ad = LE32(&b[extended ? 212 : 172]);
    if (header + ea + ad > b.size()) return false;
    const uint8_t* p = &b[header + ea];
    const unsigned kind = LE16(&b[34]) & 7;  // the ICB tag's flags: how the data is described
    if (kind == 3) {
      if (e.Length > ad) return false;
      e.Embedded = true;
      e.Data.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(e.Length));
      return true;
    }
    if (kind > 1) return false;
    return Descriptors(p, static_cast<size_t>(ad), kind == 1 ? 16 : 8, e);
  }

  bool Descriptors(const uint8_t* p, size_t bytes, size_t size, TEntry& e) {
    int followed = 0;
    TBlock next{};
    for (;;) {
      bool more = false;
      for (size_t at = 0; at + size <= bytes; at += size) {
        const uint32_t word = LE32(p + at);
        const TExtent x{word & 0x3FFFFFFFu, LE32(p + at + 4), static_cast<uint8_t>(word >> 30)};
        if (x.Length == 0) break;
        if (size == 16 && LE16(p + at + 8) != 0) return false;  // another partition
        if (x.Type == 3) {  // the descriptors go on in an allocation extent
          if (++followed > kMaxExtentBlocks || !ReadBlock(x.Block, next) ||
              !TagChecks(next.data(), next.size(), kTagAllocationExtent, x.Block))
            return false;
          const uint32_t length = LE32(&next[20]);
          if (24 + uint64_t{length} > next.size()) return false;
          p = &next[24];
          bytes = length;
          more = true;
          break;
        }
        if (e.Extents.size() >= 1u << 20) return false;
        e.Extents.push_back(x);
      }
      if (!more) return true;
    }
  }

  // The bytes an entry's extents hold, at most Limit.
  bool Bytes(const TEntry& e, uint64_t limit, std::string& out) {
    if (e.Length > limit) return false;
    if (e.Embedded) return out = e.Data, true;
    out.clear();
    out.reserve(static_cast<size_t>(e.Length));
    for (const TExtent& x : e.Extents) {
      for (uint32_t done = 0; done < x.Length && out.size() < e.Length; done += 2048) {
        TBlock b{};
        if (x.Type == 0 && !ReadBlock(x.Block + done / 2048, b)) return false;
        const size_t n = static_cast<size_t>(std::min<uint64_t>({2048, x.Length - done, e.Length - out.size()}));
        out.append(reinterpret_cast<const char*>(b.data()), n);
      }
    }
    return out.size() == e.Length;
  }

  // Where a file's data starts on the disc, when it lies in one run (whole
  // blocks but the last): what an imported entry can carry. Else why not.
  const char* Run(const TEntry& e, uint32_t& sector) const {
    constexpr const char* kInParts = "FILE RECORDED IN PARTS, NOT IMPORTED";
    sector = 0;
    if (e.Length == 0) return nullptr;
    if (e.Embedded || e.Extents.empty()) return kInParts;
    uint64_t total = 0, next = e.Extents[0].Block;
    for (size_t i = 0; i < e.Extents.size(); ++i) {
      const TExtent& x = e.Extents[i];
      if (x.Type != 0 || x.Block != next || (i + 1 < e.Extents.size() && x.Length % 2048 != 0)) return kInParts;
      total += x.Length;
      next += (x.Length + 2047) / 2048;
    }
    if (total < e.Length) return kInParts;
    if (next > partitionLength_ || partition_ + next > discEnd_) return "FILE DATA OUTSIDE THE PARTITION, NOT IMPORTED";
    sector = partition_ + e.Extents[0].Block;
    return nullptr;
  }

  bool Directory(const TEntry& self, TDEntry* dir, int depth) {
    std::string data;
    if (!Bytes(self, kMaxDirectoryBytes, data)) return Report("DIRECTORY CANNOT BE READ", ItemName(dir, "")), false;
    const auto* d = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t at = 0; at + 38 <= data.size();) {
      const uint8_t* f = d + at;
      const size_t nameLength = f[19];
      const size_t use = LE16(f + 36);
      const size_t length = (38 + use + nameLength + 3) / 4 * 4;
      if (at + 38 + use + nameLength > data.size() ||
          !TagChecks(f, data.size() - at, kTagFileIdentifier, ~0u))
        return Report("BAD FILE IDENTIFIER", ItemName(dir, "")), false;
      at += length;
      const uint8_t characteristics = f[18];
      if ((characteristics & 0x0C) != 0) continue;  // deleted, or the parent
      std::string name;
      if (!NameOf(f + 38 + use, nameLength, name) || IsImpossibleName(name) || name.size() > 255 ||
          name.find('\0') != std::string::npos) {
        Report("INVALID NAME, NOT IMPORTED", ItemName(dir, name));
        continue;
      }
      if (LE16(f + 28) != 0) return Report("ENTRY IN ANOTHER PARTITION", ItemName(dir, name)), false;
      const uint32_t block = LE32(f + 24);
      const bool isDir = (characteristics & 0x02) != 0;
      TEntry e;
      if (!Entry(block, e)) return Report("FILE ENTRY CANNOT BE READ", ItemName(dir, name)), false;

      TRockRidge fields;
      fields.Present = true;
      fields.Uid = e.Uid;
      fields.Gid = e.Gid;
      fields.Modify = e.Modify;
      fields.Access = e.Access;
      fields.Change = e.Change;
      fields.Name = name;
      const uint32_t mode = ModeOf(e.Permissions);
      const std::string longName = FittedLongName(c_, dir, name, isDir);
      const std::string item = ItemName(dir, longName);
      TSearchRec found;
      found.Name = longName;
      found.Attr = ((characteristics & 0x01) != 0 ? faHidden : 0) | (isDir ? faDirectory : 0);
      // The date of the entry's record: 1980 to 2107, as a DOS date holds it.
      found.Time = DateTimeToFileDate(
          FromUnixTimeLocal(static_cast<std::time_t>(std::clamp<int64_t>(e.Modify, 315619200, 4354732800))));

      if (isDir) {
        if (e.Type != kTypeDirectory) return Report("BAD DIRECTORY ENTRY", item), false;
        if (depth + 1 > kMaxDepth) {
          Report("DIRECTORIES NESTED MORE THAN 255 LEVELS, SKIPPED", item);
          continue;
        }
        if (!visited_.insert(block).second) {
          Report("DIRECTORY LOOP, SKIPPED", item);
          continue;
        }
        if (const TFEntry* known = c_.FindEntry(dir, longName); known != nullptr && known->SubDir == nullptr) continue;
        fields.Mode = S_IFDIR | mode;
        found.AlternateName = AlternateNameFor(c_, dir, longName, true);
        TDEntry* sub = AddDirectoryNamed(c_, dir, found, longName,
                                         found.AlternateName.empty() ? UpperCase(longName) : found.AlternateName,
                                         item, true, &fields);
        if (sub == nullptr || !Directory(e, sub, depth + 1)) return false;
        continue;
      }
      uint32_t sector = 0;
      if (e.Type == kTypeSymlink) {
        std::string target;
        if (!Bytes(e, kMaxLinkBytes, target)) return Report("LINK CANNOT BE READ", item), false;
        fields.Link = LinkTarget(target);
        fields.Mode = S_IFLNK | mode;
      } else if (e.Type == kTypeFile) {
        if (const char* why = Run(e, sector); why != nullptr) {
          Report(why, item);
          continue;
        }
        fields.Mode = S_IFREG | mode;
        found.Size = static_cast<int64_t>(e.Length);
      } else {
        continue;  // devices, sockets and the like
      }
      found.AlternateName = AlternateNameFor(c_, dir, longName, false);
      if (AddFileImpl(c_, dir, found, std::string(), static_cast<int32_t>(sector), true, true, &fields) ==
          TAddOutcome::Refused)
        return false;
    }
    return true;
  }

  VEZEZadira& c_;
  const uint32_t start_, last_;
  const uint64_t discEnd_;
  uint32_t partition_ = 0, partitionLength_ = 0;
  uint16_t mapped_ = 0;
  uint32_t fileSet_ = 0, root_ = 0;
  std::unordered_set<uint32_t> visited_;
};

bool ImportUdfTree(VEZEZadira& c, uint32_t start, uint32_t last, uint64_t discEnd, TDEntry* into,
                   std::string& why) {
  TUdfSessionImport import(c, start, last, discEnd);
  if (!import.Find(why)) return false;
  if (import.Import(into)) return true;
  why = "PART OF ITS TREE CANNOT BE READ";
  return false;
}

bool UdfVolumeEnd(VEZEZadira& c, uint32_t start, uint32_t last, uint64_t discEnd, uint64_t& end) {
  TUdfSessionImport import(c, start, last, discEnd);
  std::string why;
  if (!import.Find(why)) return false;
  end = import.VolumeEnd();
  return end > start;
}
