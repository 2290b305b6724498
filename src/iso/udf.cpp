// The UDF side of a bridge image (UDF 1.02 on ECMA-167): the volume
// recognition sequence, the main and reserve volume descriptor sequences, the
// closed integrity descriptor, the anchors at sector 256 and in the last
// sector, and one partition holding the file set, a file entry for every
// directory and file, the directories' identifiers and the file data that
// the ISO tree shares. Every descriptor carries its tag checksum and CRC.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "iso/iso.h"
#include "iso/rockridge_private.h"
#include "iso/udf_private.h"
#include "iso/writers.h"

// What the UDF writers lay out, shared between them: the volume writer
// describes the partition that the partition writer fills.
struct TUdfLayout {
  int64_t VolumeArea = 0;     // main sequence, reserve sequence, integrity sequence
  int64_t Anchor = 0;         // the anchor at 256
  int64_t Partition = 0;      // its first sector
  uint32_t FileSet = 0;       // the file set descriptor's block in it
  // A later volume on media without sessions: the partition starts at the
  // disc's first sector, and the file set is read from blocks 0 and 1.
  bool FileSetAtDiscStart = false;
  int64_t PartitionEnd = 0;   // its end (the tail's first sector)
  int64_t TailAnchor = 0;     // the anchor in the last sector
  uint64_t NextUniqueId = 16;
  uint32_t Files = 0, Directories = 0;
};

// CRC-ITU-T (x^16 + x^12 + x^5 + 1), initial value 0, as ECMA-167 7.2.6 has it.
uint16_t UdfCrc(const uint8_t* p, size_t n) {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 8;
      for (int k = 0; k < 8; ++k) c = (c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1;
      t[i] = static_cast<uint16_t>(c);
    }
    return t;
  }();
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ p[i]) & 0xFF]);
  return crc;
}

namespace {

using TBlock = std::array<uint8_t, 2048>;

constexpr int64_t kSequenceSectors = 16;  // each volume descriptor sequence
constexpr int64_t kVolumeSectors = 2 * kSequenceSectors + 2;  // + integrity and its terminator
constexpr int64_t kAnchorSector = 256;
constexpr uint16_t kRevision = 0x0102;
// The largest extent of one allocation descriptor: 2^30 less one block.
constexpr int64_t kMaxExtent = (int64_t{1} << 30) - 2048;
constexpr size_t kEntryHeader = 176;  // a file entry before its allocation descriptors
constexpr size_t kAedHeader = 24;     // an allocation extent descriptor before its descriptors

enum : uint16_t {
  kTagPrimary = 1, kTagAnchor = 2, kTagImplementationUse = 4, kTagPartition = 5,
  kTagLogicalVolume = 6, kTagUnallocated = 7, kTagTerminating = 8, kTagIntegrity = 9,
  kTagFileSet = 256, kTagFileIdentifier = 257, kTagAllocationExtent = 258, kTagFileEntry = 261,
};
enum : uint8_t { kTypeDirectory = 4, kTypeFile = 5, kTypeSymlink = 12 };

// ---- primitives
void Le64(uint8_t* d, uint64_t v) {
  PutLE32(d, static_cast<uint32_t>(v));
  PutLE32(d + 4, static_cast<uint32_t>(v >> 32));
}


// Fills the 16-byte tag of a descriptor of Length bytes at d, recorded at Location.
void Tag(uint8_t* d, uint16_t id, uint32_t location, size_t length) {
  PutLE16(d, id);
  PutLE16(d + 2, 2);  // descriptor version of NSR02
  d[5] = 0;
  PutLE16(d + 6, 1);  // tag serial number
  const size_t crcLength = length - 16;
  PutLE16(d + 8, UdfCrc(d + 16, crcLength));
  PutLE16(d + 10, static_cast<uint16_t>(crcLength));
  PutLE32(d + 12, location);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + d[i]);
  d[4] = sum;
}

void Regid(uint8_t* d, std::string_view id, std::array<uint8_t, 8> suffix = {}) {
  std::memcpy(d + 1, id.data(), std::min<size_t>(id.size(), 23));
  std::memcpy(d + 24, suffix.data(), 8);
}
// The UDF revision, and the operating system class (UNIX), in a suffix.
constexpr std::array<uint8_t, 8> kDomainSuffix{0x02, 0x01, 0, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 8> kUdfSuffix{0x02, 0x01, 4, 0, 0, 0, 0, 0};
constexpr std::array<uint8_t, 8> kImplementationSuffix{4, 0, 0, 0, 0, 0, 0, 0};
void Domain(uint8_t* d) { Regid(d, "*OSTA UDF Compliant", kDomainSuffix); }
void Implementation(uint8_t* d) { Regid(d, "*Micro Burner", kImplementationSuffix); }

void Charspec(uint8_t* d) {
  d[0] = 0;  // CS0
  std::memcpy(d + 1, "OSTA Compressed Unicode", 23);
}

// OSTA compressed Unicode: 8 bits a character when every one allows it, else 16.
std::string Cs0(std::u16string_view units) {
  const bool narrow = std::all_of(units.begin(), units.end(), [](char16_t u) { return u < 0x100; });
  std::string out(1, narrow ? '\x08' : '\x10');
  for (const char16_t u : units) {
    if (!narrow) out.push_back(static_cast<char>(u >> 8));
    out.push_back(static_cast<char>(u & 0xFF));
  }
  return out;
}

// Compressed Unicode back to UTF-8 (for messages).
std::string Cs0ToUtf8(const std::string& cs) {
  std::u16string units;
  if (!cs.empty() && cs[0] == 8)
    for (size_t i = 1; i < cs.size(); ++i) units.push_back(static_cast<uint8_t>(cs[i]));
  else
    for (size_t i = 1; i + 1 < cs.size(); i += 2)
      units.push_back(static_cast<char16_t>((static_cast<uint8_t>(cs[i]) << 8) | static_cast<uint8_t>(cs[i + 1])));
  return Utf16ToUtf8(units);
}

// A dstring field of Width bytes: the text, cut to fit, then its length in the last byte.
void Dstring(uint8_t* d, size_t width, const std::string& utf8) {
  std::u16string units = Utf8ToUtf16(utf8);
  std::string cs = Cs0(units);
  while (cs.size() > width - 1 && !units.empty()) {
    units.pop_back();
    if (!units.empty() && units.back() >= 0xD800 && units.back() < 0xDC00) units.pop_back();
    cs = Cs0(units);
  }
  if (units.empty()) return;  // an empty dstring is all zeros
  std::memcpy(d, cs.data(), cs.size());
  d[width - 1] = static_cast<uint8_t>(cs.size());
}

// A timestamp in UTC (local time, offset 0) from seconds since 1970.
void Timestamp(uint8_t* d, int64_t seconds) {
  // Files of one tree share their times often: the last conversion is kept.
  thread_local int64_t lastSeconds = INT64_MIN;
  thread_local struct tm u {};
  if (seconds != lastSeconds) {
    const time_t t = static_cast<time_t>(seconds);
    gmtime_r(&t, &u);
    lastSeconds = seconds;
  }
  PutLE16(d, 0x1000);  // type 1, offset 0
  PutLE16(d + 2, static_cast<uint16_t>(std::clamp(u.tm_year + 1900, 1, 9999)));
  d[4] = static_cast<uint8_t>(u.tm_mon + 1);
  d[5] = static_cast<uint8_t>(u.tm_mday);
  d[6] = static_cast<uint8_t>(u.tm_hour);
  d[7] = static_cast<uint8_t>(u.tm_min);
  d[8] = static_cast<uint8_t>(u.tm_sec);
}

void ExtentAd(uint8_t* d, uint32_t length, uint32_t location) {
  PutLE32(d, length);
  PutLE32(d + 4, location);
}

// A long_ad in partition 0; its implementation use carries the unique ID's low 32 bits.
void LongAd(uint8_t* d, uint32_t length, uint32_t block, uint32_t uniqueId = 0) {
  PutLE32(d, length);
  PutLE32(d + 4, block);
  PutLE16(d + 8, 0);
  PutLE32(d + 12, uniqueId);
}

// ---- the tree as UDF sees it
struct TEntryView {
  uint32_t Mode = 0;
  uint32_t Uid = 0, Gid = 0;
  int64_t Modify = 0, Access = 0, Change = 0;
  const std::string* Link = nullptr;  // a symbolic link's target
};

// The same values the Rock Ridge fields carry: the source's when the entry
// brought them, else read-only modes, owner 0 and the entry's date.
TEntryView ViewOf(const TRockRidge* rr, bool directory, TDateTime date) {
  TEntryView v;
  v.Mode = directory ? 0555 : 0444;
  v.Modify = v.Access = v.Change = RockRidgeSeconds(date);
  if (rr != nullptr && rr->Present) {
    v.Mode = rr->Mode & 07777;
    v.Uid = rr->Uid;
    v.Gid = rr->Gid;
    v.Modify = rr->Modify;
    v.Access = rr->Access;
    v.Change = rr->Change;
    if (!directory && !rr->Link.empty()) v.Link = &rr->Link;
  }
  return v;
}

TEntryView ViewOfEntry(const TFEntry& e) {
  if (e.SubDir != nullptr) return ViewOf(e.SubDir->RR.Get(), true, e.DateTime);
  return ViewOf(e.RR.Get(), (e.Attr & faDirectory) != 0, e.DateTime);
}

// The name an entry has in the source, as the Rock Ridge fields give it: the
// dot that stands for a missing extension is no part of it.
std::string_view SourceName(const TFEntry& e) {
  const TRockRidge* rr = e.SubDir != nullptr ? e.SubDir->RR.Get() : e.RR.Get();
  if (rr != nullptr && rr->Present && !rr->Name.empty()) return rr->Name;
  const std::string_view n = e.LongName;
  if (e.SubDir == nullptr && (e.Attr & faDirectory) == 0 && n.ends_with('.') && n.find('.') == n.size() - 1)
    return n.substr(0, n.size() - 1);
  return n;
}

// ECMA-167 permissions: other, group, owner, 5 bits each (execute, write,
// read, change attributes, delete); attributes and delete follow write.
uint32_t Permissions(uint32_t mode) {
  uint32_t p = 0;
  for (int who = 0; who < 3; ++who) {
    const uint32_t bits = (mode >> (3 * who)) & 7;
    uint32_t u = 0;
    if (bits & 1) u |= 0x01;
    if (bits & 2) u |= 0x02 | 0x08 | 0x10;
    if (bits & 4) u |= 0x04;
    p |= u << (5 * who);
  }
  return p;
}

// A symbolic link's target as ECMA-167 path components.
std::string PathComponents(const std::string& target) {
  std::string out;
  size_t at = 0;
  if (target.starts_with('/')) {
    out += std::string{'\x02', '\0', '\0', '\0'};  // the root
    while (at < target.size() && target[at] == '/') ++at;
  }
  while (at < target.size()) {
    size_t end = target.find('/', at);
    if (end == std::string::npos) end = target.size();
    const std::string part = target.substr(at, end - at);
    if (part == "..") {
      out += std::string{'\x03', '\0', '\0', '\0'};
    } else if (part == ".") {
      out += std::string{'\x04', '\0', '\0', '\0'};
    } else if (!part.empty()) {
      std::string cs = Cs0(Utf8ToUtf16(part));
      if (cs.size() > 255) cs.resize(255);
      out += std::string{'\x05', static_cast<char>(cs.size()), '\0', '\0'} + cs;
    }
    at = end + 1;
  }
  return out;
}

// ---- volume recognition and volume descriptors
class TUdfVolumeWriter final : public TAreaWriter {
public:
  TUdfVolumeWriter(VEZEZadira& c, std::shared_ptr<TUdfLayout> u) : c_(c), u_(std::move(u)) {}
  const char* Name() const override { return "UDF volume descriptors"; }
  int64_t Measure(int64_t) override { return kVolumeSectors; }
  void Place(int64_t At) override { u_->VolumeArea = At; }
  void Write(TImagePlan&, TMemoryStream& Out) override {
    for (int copy = 0; copy < 2; ++copy) {
      const uint32_t at = static_cast<uint32_t>(u_->VolumeArea + copy * kSequenceSectors);
      Out.Write(Primary(at));
      Out.Write(ImplementationUse(at + 1));
      Out.Write(PartitionDescriptor(at + 2));
      Out.Write(LogicalVolume(at + 3));
      Out.Write(Unallocated(at + 4));
      Out.Write(Terminating(at + 5));
      Out.WriteZeros(static_cast<size_t>(kSequenceSectors - 6) * 2048);
    }
    const uint32_t integrity = static_cast<uint32_t>(u_->VolumeArea + 2 * kSequenceSectors);
    Out.Write(Integrity(integrity));
    Out.Write(Terminating(integrity + 1));
  }

private:
  std::string Label() const { return c_.IdVolume.empty() ? std::string("CDROM") : c_.IdVolume; }
  int64_t Created() const {
    return RockRidgeSeconds(c_.DateCreation != 0 ? c_.DateCreation : c_.MetadataTime);
  }
  TBlock Primary(uint32_t at) const {
    TBlock b{};
    PutLE32(&b[16], 1);  // sequence number
    Dstring(&b[24], 32, Label());
    PutLE16(&b[56], 1);
    PutLE16(&b[58], 1);
    PutLE16(&b[60], 2);
    PutLE16(&b[62], 3);
    PutLE32(&b[64], 1);
    PutLE32(&b[68], 1);
    // A volume set identifier begins with 16 characters unique to the volume.
    char unique[17];
    std::snprintf(unique, sizeof unique, "%016llX", static_cast<unsigned long long>(Created()));
    Dstring(&b[72], 128, std::string(unique) + Label());
    Charspec(&b[200]);
    Charspec(&b[264]);
    Timestamp(&b[376], Created());
    Implementation(&b[388]);
    Tag(b.data(), kTagPrimary, at, 512);
    return b;
  }
  TBlock ImplementationUse(uint32_t at) const {
    TBlock b{};
    PutLE32(&b[16], 2);
    Regid(&b[20], "*UDF LV Info", kUdfSuffix);
    Charspec(&b[52]);
    Dstring(&b[116], 128, Label());
    Implementation(&b[352]);
    Tag(b.data(), kTagImplementationUse, at, 512);
    return b;
  }
  TBlock PartitionDescriptor(uint32_t at) const {
    TBlock b{};
    PutLE32(&b[16], 3);
    PutLE16(&b[20], 1);  // allocated
    PutLE16(&b[22], 0);  // partition number
    Regid(&b[24], "+NSR02");
    PutLE32(&b[184], 1);  // read only
    PutLE32(&b[188], static_cast<uint32_t>(u_->Partition));
    PutLE32(&b[192], static_cast<uint32_t>(u_->PartitionEnd - u_->Partition));
    Implementation(&b[196]);
    Tag(b.data(), kTagPartition, at, 512);
    return b;
  }
  TBlock LogicalVolume(uint32_t at) const {
    TBlock b{};
    PutLE32(&b[16], 4);
    Charspec(&b[20]);
    Dstring(&b[84], 128, Label());
    PutLE32(&b[212], 2048);
    Domain(&b[216]);
    // the file set descriptor and its terminator
    LongAd(&b[248], 2 * 2048, u_->FileSetAtDiscStart ? 0 : u_->FileSet);
    PutLE32(&b[264], 6);
    PutLE32(&b[268], 1);
    Implementation(&b[272]);
    ExtentAd(&b[432], 2 * 2048, static_cast<uint32_t>(u_->VolumeArea + 2 * kSequenceSectors));
    b[440] = 1;  // type 1 partition map
    b[441] = 6;
    PutLE16(&b[442], 1);
    PutLE16(&b[444], 0);
    Tag(b.data(), kTagLogicalVolume, at, 446);
    return b;
  }
  static TBlock Unallocated(uint32_t at) {
    TBlock b{};
    PutLE32(&b[16], 5);
    Tag(b.data(), kTagUnallocated, at, 24);
    return b;
  }
  static TBlock Terminating(uint32_t at) {
    TBlock b{};
    Tag(b.data(), kTagTerminating, at, 512);
    return b;
  }
  TBlock Integrity(uint32_t at) const {
    TBlock b{};
    Timestamp(&b[16], Created());
    PutLE32(&b[28], 1);  // closed
    Le64(&b[40], u_->NextUniqueId);
    PutLE32(&b[72], 1);   // partitions
    PutLE32(&b[76], 46);  // implementation use
    PutLE32(&b[80], 0);   // free space
    PutLE32(&b[84], static_cast<uint32_t>(u_->PartitionEnd - u_->Partition));
    Implementation(&b[88]);
    PutLE32(&b[120], u_->Files);
    PutLE32(&b[124], u_->Directories);
    PutLE16(&b[128], kRevision);
    PutLE16(&b[130], kRevision);
    PutLE16(&b[132], kRevision);
    Tag(b.data(), kTagIntegrity, at, 134);
    return b;
  }

  VEZEZadira& c_;
  std::shared_ptr<TUdfLayout> u_;
};

class TUdfAnchorWriter final : public TAreaWriter {
public:
  TUdfAnchorWriter(std::shared_ptr<TUdfLayout> u, bool tail) : u_(std::move(u)), tail_(tail) {}
  const char* Name() const override { return tail_ ? "UDF closing anchor" : "UDF anchor"; }
  int64_t FixedAt() const override { return tail_ ? -1 : kAnchorSector; }
  int64_t Measure(int64_t At) override {
    if (!tail_) return 1;
    // The last sector of the track: the track is at least 300 sectors long,
    // the shortest a recorder takes, so that it is the last of the image too.
    return std::max<int64_t>(1, start_ + 300 - At);
  }
  void Place(int64_t At) override {
    if (!tail_) {
      u_->Anchor = At;
      return;
    }
    u_->PartitionEnd = At;
    u_->TailAnchor = At + Measure(At) - 1;
  }
  void Write(TImagePlan& Plan, TMemoryStream& Out) override {
    const int64_t at = tail_ ? u_->TailAnchor : u_->Anchor;
    if (tail_) Out.WriteZeros(static_cast<size_t>(u_->TailAnchor - u_->PartitionEnd) * 2048);
    TBlock b{};
    ExtentAd(&b[16], kSequenceSectors * 2048, static_cast<uint32_t>(u_->VolumeArea));
    ExtentAd(&b[24], kSequenceSectors * 2048, static_cast<uint32_t>(u_->VolumeArea + kSequenceSectors));
    Tag(b.data(), kTagAnchor, static_cast<uint32_t>(at), 512);
    Out.Write(b);
    // The same anchor for sector 256 of the disc, where readers of media
    // without sessions look for it.
    if (!tail_) {
      Tag(b.data(), kTagAnchor, static_cast<uint32_t>(kAnchorSector), 512);
      Plan.DiscAnchor = b;
    }
  }
  int64_t start_ = 0;  // the session's first sector (the closing anchor's minimum)

private:
  std::shared_ptr<TUdfLayout> u_;
  const bool tail_;
};

// ---- file entries and identifiers, made as the stream reads them
size_t FidLength(size_t nameBytes) { return (38 + nameBytes + 3) / 4 * 4; }
int64_t Extents(int64_t size) { return size <= 0 ? 0 : (size + kMaxExtent - 1) / kMaxExtent; }

// A file entry takes a block, mostly zeros; what tells one from another is a
// few fields. The partition keeps those fields, 32 bytes an entry and its
// name, and makes each block when a stream reads it.

// What an entry records besides its data: type, permissions, owner, group.
// A tree has few different ones, so entries point into a table of them.
struct TUdfKind {
  uint32_t Uid = 0, Gid = 0;
  uint16_t Mode = 0;  // the POSIX permission bits
  uint8_t Type = 0;
  bool operator==(const TUdfKind&) const = default;
};
struct TUdfKindHash {
  size_t operator()(const TUdfKind& k) const {
    return std::hash<uint64_t>()((uint64_t{k.Uid} << 32 | k.Gid) ^ (uint64_t{k.Mode} << 8 | k.Type) << 40);
  }
};

// A file or directory entry: 32 bytes.
struct TUdfItem {
  int64_t Length = 0;  // information length: the file's, the link's, the identifiers'
  int64_t Modify = 0;
  // The access and change times, as seconds after Modify; kFar: in FarTimes.
  int32_t Access = 0, Change = 0;
  uint32_t Block = 0;  // the first block of its data in the partition
  uint32_t Kind = 0;
};
constexpr int32_t kFar = INT32_MIN;

struct TUdfDirectory {
  uint32_t Entry = 0;      // its entry's block; its identifiers follow it
  uint32_t Parent = 0;     // index
  uint32_t FirstFile = 0;  // the index of its first file among the files
  uint32_t Links = 1;
  uint64_t Children = 0;   // where its children start in Children
};

// The blocks of the partition from its block First on: each directory's
// entry and identifiers, then the files' entries, in block order.
class TUdfEntries final : public TGeneratedBytes {
public:
  uint32_t First = 2;
  uint32_t FilesBlock = 0;  // the first file's entry
  uint64_t FirstFileUnique = 16;
  std::vector<TUdfDirectory> Directories;
  std::vector<TUdfItem> Items;  // the directories' in their order, then the files'
  std::vector<TUdfKind> Kinds;
  // The children of each directory in list order, one after the other: the
  // identifier's characteristics, the name's length, the name in compressed
  // Unicode, and for a subdirectory its index in four bytes.
  std::string Children;
  std::unordered_map<uint32_t, uint32_t> More;  // file index: its allocation extent's block
  // Access and change times more than 68 years from the modification, by item.
  std::unordered_map<size_t, std::pair<int64_t, int64_t>> FarTimes;

  void Add(const TUdfItem& Item, int64_t Access, int64_t Change) {
    Items.emplace_back();
    Set(Items.size() - 1, Item, Access, Change);
  }
  void Set(size_t Index, TUdfItem Item, int64_t Access, int64_t Change) {
    int64_t a = 0, c = 0;
    const bool near = !__builtin_sub_overflow(Access, Item.Modify, &a) &&
                      !__builtin_sub_overflow(Change, Item.Modify, &c) && a > INT32_MIN && a <= INT32_MAX &&
                      c > INT32_MIN && c <= INT32_MAX;
    if (near) {
      Item.Access = static_cast<int32_t>(a);
      Item.Change = static_cast<int32_t>(c);
      FarTimes.erase(Index);
    } else {
      Item.Access = Item.Change = kFar;
      FarTimes[Index] = {Access, Change};
    }
    Items[Index] = Item;
  }

  void Fill(int64_t Offset, std::span<uint8_t> Dest) const override {
    TBlock scratch;
    for (size_t done = 0; done < Dest.size();) {
      const int64_t at = Offset + static_cast<int64_t>(done);
      const auto block = static_cast<uint32_t>(First + at / 2048);
      const size_t within = static_cast<size_t>(at % 2048);
      const size_t n = std::min(2048 - within, Dest.size() - done);
      if (n == 2048) {
        MakeBlock(block, Dest.data() + done);
      } else {
        MakeBlock(block, scratch.data());
        std::memcpy(Dest.data() + done, scratch.data() + within, n);
      }
      done += n;
    }
  }

private:
  static uint64_t UniqueOfDirectory(size_t i) { return i == 0 ? 0 : 15 + i; }

  void MakeBlock(uint32_t block, uint8_t* b) const {
    std::memset(b, 0, 2048);
    const size_t dirs = Directories.size();
    if (block >= FilesBlock) {
      const uint32_t k = block - FilesBlock;
      const auto more = More.find(k);
      MakeEntry(b, block, dirs + k, 1, FirstFileUnique + k, more != More.end() ? more->second : 0);
      return;
    }
    // The directory whose entry is at or before the block.
    const auto d = std::prev(std::upper_bound(Directories.begin(), Directories.end(), block,
                                              [](uint32_t at, const TUdfDirectory& x) { return at < x.Entry; }));
    const auto i = static_cast<size_t>(d - Directories.begin());
    if (block == d->Entry) {
      MakeEntry(b, block, i, d->Links, UniqueOfDirectory(i), 0);
      return;
    }
    const std::string& data = Identifiers(i);
    const size_t from = size_t{block - d->Entry - 1} * 2048;
    if (from < data.size()) std::memcpy(b, data.data() + from, std::min<size_t>(2048, data.size() - from));
  }

  // An entry whose extents follow one another from the item's block; those
  // it cannot hold continue in an allocation extent at block More.
  void MakeEntry(uint8_t* b, uint32_t block, size_t index, uint32_t links, uint64_t unique,
                 uint32_t more) const {
    const TUdfItem& item = Items[index];
    const TUdfKind& kind = Kinds[item.Kind];
    int64_t access = item.Modify + item.Access, change = item.Modify + item.Change;
    if (item.Access == kFar) std::tie(access, change) = FarTimes.at(index);
    // The ICB tag: strategy 4, one entry, short allocation descriptors.
    PutLE16(&b[20], 4);
    PutLE16(&b[24], 1);
    b[27] = kind.Type;
    PutLE32(&b[36], kind.Uid);
    PutLE32(&b[40], kind.Gid);
    PutLE32(&b[44], Permissions(kind.Mode));
    PutLE16(&b[48], static_cast<uint16_t>(std::min<uint32_t>(links, 0xFFFF)));
    Le64(&b[56], static_cast<uint64_t>(item.Length));
    Le64(&b[64], static_cast<uint64_t>(Sectors(item.Length)));
    Timestamp(&b[72], access);
    Timestamp(&b[84], item.Modify);
    Timestamp(&b[96], change);
    PutLE32(&b[108], 1);  // checkpoint
    Implementation(&b[128]);
    Le64(&b[160], unique);
    const int64_t extents = Extents(item.Length);
    const int64_t inEntry = static_cast<int64_t>((2048 - kEntryHeader) / 8);
    const int64_t here = extents <= inEntry ? extents : inEntry - 1;
    size_t at = kEntryHeader;
    for (int64_t x = 0; x < here; ++x, at += 8) {
      PutLE32(&b[at], static_cast<uint32_t>(std::min(kMaxExtent, item.Length - x * kMaxExtent)));
      PutLE32(&b[at + 4], static_cast<uint32_t>(item.Block + x * (kMaxExtent / 2048)));
    }
    if (here < extents) {
      PutLE32(&b[at], (3u << 30) | 2048u);  // the rest continue in an allocation extent
      PutLE32(&b[at + 4], more);
      at += 8;
    }
    PutLE32(&b[172], static_cast<uint32_t>(at - kEntryHeader));
    Tag(b, kTagFileEntry, block, at);
  }

  // A directory's identifiers, all of them: a stream reads them block by
  // block, so the last directory made is kept for the next block.
  const std::string& Identifiers(size_t i) const {
    thread_local struct {
      uint64_t Owner = 0;
      size_t Dir = 0;
      std::string Data;
    } last;
    if (last.Owner == serial_ && last.Dir == i) return last.Data;
    last.Owner = serial_;
    last.Dir = i;
    std::string& data = last.Data;
    const TUdfDirectory& d = Directories[i];
    data.clear();
    data.reserve(static_cast<size_t>(Items[i].Length));
    auto fid = [&](uint8_t characteristics, const char* name, size_t length, uint32_t entry, uint64_t unique) {
      const size_t offset = data.size();
      const size_t bytes = FidLength(length);
      data.resize(offset + bytes, '\0');
      auto* f = reinterpret_cast<uint8_t*>(data.data()) + offset;
      PutLE16(f + 16, 1);
      f[18] = characteristics;
      f[19] = static_cast<uint8_t>(length);
      LongAd(f + 20, 2048, entry, static_cast<uint32_t>(unique));
      if (length > 0) std::memcpy(f + 38, name, length);
      Tag(f, kTagFileIdentifier, static_cast<uint32_t>(d.Entry + 1 + offset / 2048), bytes);
    };
    fid(0x0A, nullptr, 0, Directories[d.Parent].Entry, UniqueOfDirectory(d.Parent));  // the parent
    const char* c = Children.data() + d.Children;
    const char* end =
        Children.data() + (i + 1 < Directories.size() ? Directories[i + 1].Children : Children.size());
    uint32_t file = d.FirstFile;
    while (c < end) {
      const auto characteristics = static_cast<uint8_t>(c[0]);
      const auto length = static_cast<uint8_t>(c[1]);
      const char* name = c + 2;
      c += 2 + length;
      if ((characteristics & 0x02) != 0) {
        uint32_t sub = 0;
        std::memcpy(&sub, c, 4);
        c += 4;
        fid(characteristics, name, length, Directories[sub].Entry, UniqueOfDirectory(sub));
      } else {
        fid(characteristics, name, length, FilesBlock + file, FirstFileUnique + file);
        ++file;
      }
    }
    return data;
  }

  static uint64_t NewSerial() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
  }
  const uint64_t serial_ = NewSerial();  // tells this table's directories from another's
};

// ---- the partition: file set, file entries, directories
class TUdfPartitionWriter final : public TAreaWriter {
public:
  TUdfPartitionWriter(VEZEZadira& c, std::shared_ptr<TUdfLayout> u) : c_(c), u_(std::move(u)) {}
  const char* Name() const override { return "UDF file entries"; }
  // Lays out the partition's blocks: the file set and its terminator, each
  // directory's entry and identifiers, the files' entries (directory by
  // directory, in list order), then what does not fit an entry. The table
  // the stream makes them from is filled here, but for the files' data,
  // whose place is known only once the layout has placed it.
  int64_t Measure(int64_t At) override {
    const size_t dirs = c_.DirTable.size();
    auto g = std::make_shared<TUdfEntries>();
    kinds_.clear();
    extra_.clear();
    // A directory's index in the table, by its path-table number.
    std::vector<uint32_t> byNumber(dirs + 1, 0);
    size_t files = 0, names = 0;
    int64_t oldest = At;  // the first sector of data the partition holds
    for (size_t i = 0; i < dirs; ++i) {
      const TDEntry& d = *c_.DirTable[i];
      if (d.Number > 0 && static_cast<size_t>(d.Number) <= dirs)
        byNumber[static_cast<size_t>(d.Number)] = static_cast<uint32_t>(i);
      for (const TFEntry* e = d.Entries; e != nullptr; e = e->Next)
        if (!IsDot(*e)) {
          files += e->SubDir == nullptr ? 1 : 0;
          names += 3 + e->LongName.size() + (e->SubDir != nullptr ? 4 : 0);
          if (e->SubDir == nullptr && e->Imported && e->ISOSize > 0) oldest = std::min<int64_t>(oldest, e->ISOExtent);
        }
    }
    // Media without sessions get the new volume's first 32 sectors at the
    // disc's start once it is written. There a later volume's partition
    // starts, and a copy of its file set in the first two sectors: readers
    // that take the file set for the partition's first block find it.
    u_->FileSetAtDiscStart =
        c_.StartAddress > kAnchorSector && IsOverwritable(c_.CurrentDiscKind, c_.CurrentProfile);
    if (u_->FileSetAtDiscStart) oldest = 0;
    u_->FileSet = static_cast<uint32_t>(At - oldest);
    g->First = u_->FileSet + 2;
    auto indexOf = [&](const TDEntry* d) { return byNumber[static_cast<size_t>(d->Number)]; };
    g->Directories.resize(dirs);
    g->Items.reserve(dirs + files);
    g->Children.reserve(names);

    uint32_t block = g->First;  // after the file set descriptor and its terminator
    for (size_t i = 0; i < dirs; ++i) {
      const TDEntry& d = *c_.DirTable[i];
      TUdfDirectory& x = g->Directories[i];
      x.Entry = block++;
      x.Parent = indexOf(d.Parent != nullptr ? d.Parent : &d);
      x.Children = g->Children.size();
      size_t bytes = FidLength(0);  // the parent's identifier
      for (const TFEntry* e = d.Entries; e != nullptr; e = e->Next) {
        if (IsDot(*e)) continue;
        const uint8_t hidden = (e->Attr & faHidden) != 0 ? 0x01 : 0x00;
        g->Children.push_back(static_cast<char>(e->SubDir != nullptr ? 0x02 | hidden : hidden));
        bytes += FidLength(AppendName(g->Children, d, *e));
        if (e->SubDir != nullptr) {
          const uint32_t sub = indexOf(e->SubDir);
          g->Children.append(reinterpret_cast<const char*>(&sub), 4);
          ++x.Links;
        }
      }
      AddItem(*g, d.OwnEntry != nullptr ? ViewOfEntry(*d.OwnEntry) : ViewOf(d.RR.Get(), true, c_.MetadataTime),
              kTypeDirectory, static_cast<int64_t>(bytes), block);
      block += static_cast<uint32_t>(Sectors(static_cast<int64_t>(bytes)));
    }
    g->FilesBlock = block;
    g->FirstFileUnique = 16 + (dirs > 0 ? dirs - 1 : 0);  // after the directories but the root
    uint32_t file = 0;
    for (size_t i = 0; i < dirs; ++i) {
      g->Directories[i].FirstFile = file;
      for (const TFEntry* e = c_.DirTable[i]->Entries; e != nullptr; e = e->Next) file += IsFile(*e) ? 1 : 0;
    }
    block += file;
    filesEnd_ = block;
    // Symbolic links' targets and the further allocation descriptors of very large files.
    for (size_t i = 0; i < dirs; ++i)
      for (const TFEntry* e = c_.DirTable[i]->Entries; e != nullptr; e = e->Next) {
        if (!IsFile(*e)) continue;
        const TEntryView v = ViewOfEntry(*e);
        const int64_t blocks = v.Link != nullptr ? Sectors(static_cast<int64_t>(PathComponents(*v.Link).size()))
                                                 : AedBlocks(Extents(e->ISOSize));
        if (blocks > 0) {
          extra_.emplace(e, block);
          block += static_cast<uint32_t>(blocks);
        }
      }
    u_->Directories = static_cast<uint32_t>(dirs);
    u_->Files = file;
    u_->NextUniqueId = g->FirstFileUnique + file;
    entries_ = std::move(g);
    return block - u_->FileSet;
  }
  // The partition starts with the area, or earlier, at the first sector of
  // the earlier sessions' file data that the tree keeps: their extents lie
  // inside it, and the area's blocks follow theirs.
  void Place(int64_t At) override { u_->Partition = At - u_->FileSet; }
  void Write(TImagePlan& Plan, TMemoryStream& Out) override {
    TBlock fsd{};
    Timestamp(&fsd[16], RockRidgeSeconds(c_.DateCreation != 0 ? c_.DateCreation : c_.MetadataTime));
    PutLE16(&fsd[28], 3);
    PutLE16(&fsd[30], 3);
    PutLE32(&fsd[32], 1);
    PutLE32(&fsd[36], 1);
    Charspec(&fsd[48]);
    Dstring(&fsd[112], 128, c_.IdVolume.empty() ? std::string("CDROM") : c_.IdVolume);
    Charspec(&fsd[240]);
    Dstring(&fsd[304], 32, c_.IdVolume.empty() ? std::string("CDROM") : c_.IdVolume);
    LongAd(&fsd[400], 2048, entries_->Directories.empty() ? 0 : entries_->Directories[0].Entry);
    Domain(&fsd[416]);
    Tag(fsd.data(), kTagFileSet, u_->FileSet, 512);
    Out.Write(fsd);
    TBlock td{};
    Tag(td.data(), kTagTerminating, u_->FileSet + 1, 512);
    Out.Write(td);
    if (u_->FileSetAtDiscStart) {
      Tag(fsd.data(), kTagFileSet, 0, 512);
      Tag(td.data(), kTagTerminating, 1, 512);
      std::memcpy(Plan.DescriptorCopy.data(), fsd.data(), fsd.size());
      std::memcpy(Plan.DescriptorCopy.data() + 2048, td.data(), td.size());
    }

    // The times of directories without an entry of their own are the
    // layout's, known only now; so is the place of the files' data.
    TUdfEntries& g = *entries_;
    for (size_t i = 0; i < c_.DirTable.size(); ++i)
      if (const TDEntry& d = *c_.DirTable[i]; d.OwnEntry == nullptr) {
        const TEntryView v = ViewOf(d.RR.Get(), true, c_.MetadataTime);
        TUdfItem item = g.Items[i];
        item.Modify = v.Modify;
        g.Set(i, item, v.Access, v.Change);
      }
    uint32_t file = 0;
    for (const auto& dir : c_.DirTable)
      for (const TFEntry* e = dir->Entries; e != nullptr; e = e->Next) {
        if (!IsFile(*e)) continue;
        const TEntryView v = ViewOfEntry(*e);
        const auto more = extra_.find(e);
        if (v.Link != nullptr) {
          AddItem(g, v, kTypeSymlink, static_cast<int64_t>(PathComponents(*v.Link).size()), more->second);
        } else {
          AddItem(g, v, kTypeFile, e->ISOSize, e->ISOSize > 0 ? FileBlock(*e) : 0);
          if (more != extra_.end()) g.More.emplace(file, more->second);
        }
        ++file;
      }
    Out.WriteGenerated(entries_, int64_t{filesEnd_ - g.First} * 2048);

    // The blocks that did not fit an entry, in the order they were given.
    for (const auto& dir : c_.DirTable)
      for (const TFEntry* e = dir->Entries; e != nullptr; e = e->Next) {
        const auto it = IsFile(*e) ? extra_.find(e) : extra_.end();
        if (it == extra_.end()) continue;
        const TEntryView v = ViewOfEntry(*e);
        if (v.Link != nullptr) {
          const std::string data = PathComponents(*v.Link);
          Out.Write(data.data(), data.size());
          Out.WriteZeros(static_cast<size_t>(Sectors(static_cast<int64_t>(data.size())) * 2048 - static_cast<int64_t>(data.size())));
        } else {
          WriteAeds(Out, it->second, FileExtents(*e));
        }
      }
  }

private:
  struct TExtent {
    int64_t Length;
    uint32_t Block;
  };

  static bool IsDot(const TFEntry& e) { return e.LongName == "." || e.LongName == ".."; }
  static bool IsFile(const TFEntry& e) { return e.SubDir == nullptr && !IsDot(e); }
  // Blocks of allocation extent descriptors a file of n extents needs beyond its entry.
  static int64_t AedBlocks(int64_t n) {
    const int64_t inEntry = static_cast<int64_t>((2048 - kEntryHeader) / 8);
    if (n <= inEntry) return 0;
    n -= inEntry - 1;  // the entry's last descriptor points on
    const int64_t perBlock = static_cast<int64_t>((2048 - kAedHeader) / 8);
    int64_t blocks = 1;
    while (n > perBlock) {
      n -= perBlock - 1;
      ++blocks;
    }
    return blocks;
  }

  void AddItem(TUdfEntries& g, const TEntryView& v, uint8_t type, int64_t length, uint32_t block) {
    const TUdfKind kind{v.Uid, v.Gid, static_cast<uint16_t>(v.Mode), type};
    const auto [it, added] = kinds_.try_emplace(kind, static_cast<uint32_t>(g.Kinds.size()));
    if (added) g.Kinds.push_back(kind);
    g.Add({length, v.Modify, 0, 0, block, it->second}, v.Access, v.Change);
  }

  // The partition block where a file's data starts.
  uint32_t FileBlock(const TFEntry& e) const {
    const int64_t sector = e.Imported ? int64_t{e.ISOExtent} : int64_t{c_.FirstFileSector} + e.ISOExtent;
    return static_cast<uint32_t>(sector - u_->Partition);
  }

  // Appends a child's name to the table, its length first, in compressed
  // Unicode (made directly when it is plain ASCII); gives the name's bytes.
  size_t AppendName(std::string& out, const TDEntry& dir, const TFEntry& e) {
    const std::string_view name = SourceName(e);
    const bool ascii = std::all_of(name.begin(), name.end(), [](char ch) { return static_cast<uint8_t>(ch) < 0x80; });
    if (ascii && name.size() < 255) {
      out.push_back(static_cast<char>(name.size() + 1));
      out.push_back('\x08');
      out.append(name);
      return name.size() + 1;
    }
    const std::string cs = UdfName(dir, e);
    out.push_back(static_cast<char>(cs.size()));
    out.append(cs);
    return cs.size();
  }

  // The name a child has in the UDF tree, in compressed Unicode: as the
  // source has it, shortened (keeping a short extension) with a message when
  // it needs more than the 255 bytes an identifier holds.
  std::string UdfName(const TDEntry& dir, const TFEntry& e) {
    std::u16string units = Utf8ToUtf16(SourceName(e));
    std::string cs = Cs0(units);
    if (cs.size() <= 255) return cs;
    const auto known = shortened_.find(&e);
    if (known != shortened_.end()) return known->second;
    const size_t dot = e.SubDir != nullptr ? std::u16string::npos : units.rfind(u'.');
    const std::u16string ext = dot != std::u16string::npos && units.size() - dot <= 16 ? units.substr(dot) : u"";
    std::u16string stem = units.substr(0, units.size() - ext.size());
    for (uint32_t n = 1;; ++n) {
      const std::u16string tail = Utf8ToUtf16("~" + std::to_string(n)) + ext;
      std::u16string cut = stem;
      while (!cut.empty() && Cs0(cut + tail).size() > 255) {
        cut.pop_back();
        if (!cut.empty() && cut.back() >= 0xD800 && cut.back() < 0xDC00) cut.pop_back();
      }
      cs = Cs0(cut + tail);
      if (taken_[&dir].insert(cs).second) break;
    }
    shortened_.emplace(&e, cs);
    c_.DebugMessage("NAME TOO LONG FOR UDF, WRITTEN AS " + Cs0ToUtf8(cs) + ": " +
                        (dir.Parent == &dir ? "" : dir.Path) + "\\" + e.LongName,
                    MSG_FILE);
    return cs;
  }

  std::vector<TExtent> FileExtents(const TFEntry& e) const {
    std::vector<TExtent> out;
    if (e.ISOSize <= 0) return out;
    for (int64_t at = 0; at < e.ISOSize; at += kMaxExtent)
      out.push_back({std::min(kMaxExtent, e.ISOSize - at), static_cast<uint32_t>(FileBlock(e) + at / 2048)});
    return out;
  }

  static void ShortAd(uint8_t* d, const TExtent& x) {
    PutLE32(d, static_cast<uint32_t>(x.Length));
    PutLE32(d + 4, x.Block);
  }
  void WriteAeds(TMemoryStream& Out, uint32_t block, const std::vector<TExtent>& extents) {
    const size_t inEntry = (2048 - kEntryHeader) / 8;
    const size_t perBlock = (2048 - kAedHeader) / 8;
    size_t next = inEntry - 1;
    uint32_t previous = 0;
    while (next < extents.size()) {
      TBlock b{};
      const size_t left = extents.size() - next;
      const size_t here = left <= perBlock ? left : perBlock - 1;
      size_t at = kAedHeader;
      for (size_t i = 0; i < here; ++i, at += 8) ShortAd(&b[at], extents[next + i]);
      next += here;
      if (next < extents.size()) {
        PutLE32(&b[at], (3u << 30) | 2048u);
        PutLE32(&b[at + 4], block + 1);
        at += 8;
      }
      PutLE32(&b[16], previous);
      PutLE32(&b[20], static_cast<uint32_t>(at - kAedHeader));
      Tag(b.data(), kTagAllocationExtent, block, at);
      Out.Write(b);
      previous = block++;
    }
  }

  VEZEZadira& c_;
  std::shared_ptr<TUdfLayout> u_;
  std::shared_ptr<TUdfEntries> entries_;
  std::unordered_map<TUdfKind, uint32_t, TUdfKindHash> kinds_;
  std::unordered_map<const TFEntry*, uint32_t> extra_;  // first block of what did not fit
  uint32_t filesEnd_ = 0;  // the block after the last file's entry
  std::unordered_map<const TFEntry*, std::string> shortened_;
  std::unordered_map<const TDEntry*, std::unordered_set<std::string>> taken_;
};

}  // namespace

std::shared_ptr<TUdfLayout> NewUdfLayout() { return std::make_shared<TUdfLayout>(); }

void WriteVolumeRecognition(TMemoryStream& Out) {
  for (const char* id : {"BEA01", "NSR02", "TEA01"}) {
    TBlock b{};
    std::memcpy(&b[1], id, 5);
    b[6] = 1;
    Out.Write(b);
  }
}

void AddUdfVolumeWriters(VEZEZadira& c, const std::shared_ptr<TUdfLayout>& u, TWriterList& w) {
  w.push_back(std::make_unique<TUdfVolumeWriter>(c, u));
}

void AddUdfPartitionWriters(VEZEZadira& c, const std::shared_ptr<TUdfLayout>& u, TWriterList& w) {
  w.push_back(std::make_unique<TUdfAnchorWriter>(u, false));
  w.push_back(std::make_unique<TUdfPartitionWriter>(c, u));
}

void AddUdfTailWriters(VEZEZadira& c, const std::shared_ptr<TUdfLayout>& u, TWriterList& w) {
  auto tail = std::make_unique<TUdfAnchorWriter>(u, true);
  tail->start_ = c.StartAddress;
  w.push_back(std::move(tail));
}
