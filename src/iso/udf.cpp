// The UDF side of a bridge image (UDF 1.02 on ECMA-167): the volume
// recognition sequence, the main and reserve volume descriptor sequences, the
// closed integrity descriptor, the anchors at sector 256 and in the last
// sector, and one partition holding the file set, a file entry for every
// directory and file, the directories' identifiers and the file data that
// the ISO tree shares. Every descriptor carries its tag checksum and CRC.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <array>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "iso/iso.h"
#include "iso/rockridge_private.h"
#include "iso/writers.h"

// What the UDF writers lay out, shared between them: the volume writer
// describes the partition that the partition writer fills.
struct TUdfLayout {
  int64_t VolumeArea = 0;     // main sequence, reserve sequence, integrity sequence
  int64_t Anchor = 0;         // the anchor at 256
  int64_t Partition = 0;      // its first sector
  int64_t PartitionEnd = 0;   // its end (the tail's first sector)
  int64_t TailAnchor = 0;     // the anchor in the last sector
  uint64_t NextUniqueId = 16;
  uint32_t Files = 0, Directories = 0;
};

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

// CRC-ITU-T (x^16 + x^12 + x^5 + 1), initial value 0, as ECMA-167 7.2.6 has it.
uint16_t Crc(const uint8_t* p, size_t n) {
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

// Fills the 16-byte tag of a descriptor of Length bytes at d, recorded at Location.
void Tag(uint8_t* d, uint16_t id, uint32_t location, size_t length) {
  PutLE16(d, id);
  PutLE16(d + 2, 2);  // descriptor version of NSR02
  d[5] = 0;
  PutLE16(d + 6, 1);  // tag serial number
  const size_t crcLength = length - 16;
  PutLE16(d + 8, Crc(d + 16, crcLength));
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
  std::string Name;  // as the source has it
  uint32_t Mode = 0;
  uint32_t Uid = 0, Gid = 0;
  int64_t Modify = 0, Access = 0, Change = 0;
  std::string Link;  // a symbolic link's target
};

// The same values the Rock Ridge fields carry: the source's when the entry
// brought them, else read-only modes, owner 0 and the entry's date.
TEntryView ViewOf(const TRockRidge* rr, bool directory, const std::string& name, TDateTime date) {
  TEntryView v;
  v.Name = name;
  const bool present = rr != nullptr && rr->Present;
  v.Mode = directory ? 0555 : 0444;
  const int64_t t = RockRidgeSeconds(date);
  v.Modify = v.Access = v.Change = t;
  if (present) {
    v.Mode = rr->Mode & 07777;
    v.Uid = rr->Uid;
    v.Gid = rr->Gid;
    v.Modify = rr->Modify;
    v.Access = rr->Access;
    v.Change = rr->Change;
    if (!rr->Name.empty()) v.Name = rr->Name;
    if (!directory) v.Link = rr->Link;
  }
  return v;
}

// The name an entry has in the source: the dot that stands for a missing
// extension is no part of it, as in the Rock Ridge fields.
std::string SourceName(const TFEntry& e) {
  const std::string& n = e.LongName;
  if (e.SubDir == nullptr && (e.Attr & faDirectory) == 0 && n.ends_with('.') && n.find('.') == n.size() - 1)
    return n.substr(0, n.size() - 1);
  return n;
}

TEntryView ViewOfEntry(const TFEntry& e) {
  if (e.SubDir != nullptr) return ViewOf(e.SubDir->RR.Get(), true, SourceName(e), e.DateTime);
  return ViewOf(e.RR.Get(), (e.Attr & faDirectory) != 0, SourceName(e), e.DateTime);
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
    LongAd(&b[248], 2 * 2048, 0);  // the file set descriptor and its terminator
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
  void Write(TImagePlan&, TMemoryStream& Out) override {
    const int64_t at = tail_ ? u_->TailAnchor : u_->Anchor;
    if (tail_) Out.WriteZeros(static_cast<size_t>(u_->TailAnchor - u_->PartitionEnd) * 2048);
    TBlock b{};
    ExtentAd(&b[16], kSequenceSectors * 2048, static_cast<uint32_t>(u_->VolumeArea));
    ExtentAd(&b[24], kSequenceSectors * 2048, static_cast<uint32_t>(u_->VolumeArea + kSequenceSectors));
    Tag(b.data(), kTagAnchor, static_cast<uint32_t>(at), 512);
    Out.Write(b);
  }
  int64_t start_ = 0;  // the session's first sector (the closing anchor's minimum)

private:
  std::shared_ptr<TUdfLayout> u_;
  const bool tail_;
};

// ---- the partition: file set, file entries, directories
class TUdfPartitionWriter final : public TAreaWriter {
public:
  TUdfPartitionWriter(VEZEZadira& c, std::shared_ptr<TUdfLayout> u) : c_(c), u_(std::move(u)) {}
  const char* Name() const override { return "UDF file entries"; }
  int64_t Measure(int64_t) override {
    dirs_.assign(c_.DirTable.size(), {});
    index_.clear();
    index_.reserve(c_.DirTable.size());
    extra_.clear();
    for (size_t i = 0; i < c_.DirTable.size(); ++i) index_.emplace(c_.DirTable[i].get(), static_cast<uint32_t>(i));
    uint32_t block = 2;  // the file set descriptor and its terminator
    uint64_t unique = 16;
    u_->Files = 0;
    u_->Directories = static_cast<uint32_t>(c_.DirTable.size());
    // Each directory's entry and identifiers.
    for (size_t i = 0; i < c_.DirTable.size(); ++i) {
      const TDEntry& d = *c_.DirTable[i];
      TDir& info = dirs_[i];
      info.Entry = block++;
      info.Unique = i == 0 ? 0 : unique++;
      info.Bytes = FidLength(0);  // the parent
      for (const TFEntry* e = d.Entries; e != nullptr; e = e->Next)
        if (!IsDot(*e)) info.Bytes += FidLength(UdfNameLength(d, *e));
      info.Data = block;
      block += static_cast<uint32_t>(Sectors(static_cast<int64_t>(info.Bytes)));
    }
    // The files' entries, directory by directory in list order.
    for (size_t i = 0; i < c_.DirTable.size(); ++i) {
      dirs_[i].Files = block;
      dirs_[i].FirstUnique = unique;
      for (const TFEntry* e = c_.DirTable[i]->Entries; e != nullptr; e = e->Next)
        if (IsFile(*e)) {
          ++block;
          ++unique;
          ++u_->Files;
        }
    }
    // Then what does not fit an entry: symbolic links' targets and further
    // allocation descriptors of very large files.
    for (size_t i = 0; i < c_.DirTable.size(); ++i)
      for (const TFEntry* e = c_.DirTable[i]->Entries; e != nullptr; e = e->Next) {
        if (!IsFile(*e)) continue;
        const TRockRidge* rr = e->RR.Get();
        const bool link = rr != nullptr && rr->Present && !rr->Link.empty() && (e->Attr & faDirectory) == 0;
        int64_t blocks = 0;
        if (link)
          blocks = Sectors(static_cast<int64_t>(PathComponents(rr->Link).size()));
        else
          blocks = AedBlocks(Extents(e->ISOSize));
        if (blocks > 0) {
          extra_.emplace(e, block);
          block += static_cast<uint32_t>(blocks);
        }
      }
    u_->NextUniqueId = unique;
    return block;
  }
  void Place(int64_t At) override { u_->Partition = At; }
  void Write(TImagePlan&, TMemoryStream& Out) override {
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
    LongAd(&fsd[400], 2048, dirs_.empty() ? 0 : dirs_[0].Entry);
    Domain(&fsd[416]);
    Tag(fsd.data(), kTagFileSet, 0, 512);
    Out.Write(fsd);
    TBlock td{};
    Tag(td.data(), kTagTerminating, 1, 512);
    Out.Write(td);

    for (size_t i = 0; i < c_.DirTable.size(); ++i) {
      const TDEntry& d = *c_.DirTable[i];
      const TDir& info = dirs_[i];
      uint32_t links = 1;
      for (const TFEntry* e = d.Entries; e != nullptr; e = e->Next) links += e->SubDir != nullptr ? 1 : 0;
      const TEntryView v = d.OwnEntry != nullptr ? ViewOfEntry(*d.OwnEntry)
                                                 : ViewOf(d.RR.Get(), true, "", c_.MetadataTime);
      WriteEntry(Out, info.Entry, kTypeDirectory, v, links, info.Unique, info.Bytes,
                 {{static_cast<int64_t>(info.Bytes), info.Data}}, 0);
      WriteIdentifiers(Out, d, info);
    }
    for (size_t i = 0; i < c_.DirTable.size(); ++i) {
      uint32_t block = dirs_[i].Files;
      uint64_t unique = dirs_[i].FirstUnique;
      for (const TFEntry* e = c_.DirTable[i]->Entries; e != nullptr; e = e->Next) {
        if (!IsFile(*e)) continue;
        const TEntryView v = ViewOfEntry(*e);
        if (!v.Link.empty()) {
          const std::string data = PathComponents(v.Link);
          WriteEntry(Out, block, kTypeSymlink, v, 1, unique, data.size(),
                     {{static_cast<int64_t>(data.size()), extra_.at(e)}}, 0);
        } else {
          const auto more = extra_.find(e);
          WriteEntry(Out, block, kTypeFile, v, 1, unique, static_cast<uint64_t>(e->ISOSize), FileExtents(*e),
                     more != extra_.end() ? more->second : 0);
        }
        ++block;
        ++unique;
      }
    }
    // The blocks that did not fit an entry, in the order they were given.
    for (size_t i = 0; i < c_.DirTable.size(); ++i)
      for (const TFEntry* e = c_.DirTable[i]->Entries; e != nullptr; e = e->Next) {
        const auto it = IsFile(*e) ? extra_.find(e) : extra_.end();
        if (it == extra_.end()) continue;
        const TEntryView v = ViewOfEntry(*e);
        if (!v.Link.empty()) {
          const std::string data = PathComponents(v.Link);
          Out.Write(data.data(), data.size());
          Out.WriteZeros(static_cast<size_t>(Sectors(static_cast<int64_t>(data.size())) * 2048 - static_cast<int64_t>(data.size())));
        } else {
          WriteAeds(Out, it->second, FileExtents(*e));
        }
      }
  }

private:
  struct TDir {
    uint32_t Entry = 0, Data = 0, Files = 0;
    uint64_t Unique = 0, FirstUnique = 0;
    size_t Bytes = 0;
  };
  struct TExtent {
    int64_t Length;
    uint32_t Block;
  };

  static bool IsDot(const TFEntry& e) { return e.LongName == "." || e.LongName == ".."; }
  static bool IsFile(const TFEntry& e) { return e.SubDir == nullptr && !IsDot(e); }
  static size_t FidLength(size_t nameBytes) { return (38 + nameBytes + 3) / 4 * 4; }
  static int64_t Extents(int64_t size) { return size <= 0 ? 0 : (size + kMaxExtent - 1) / kMaxExtent; }
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

  // The bytes of UdfName, most often without making it.
  size_t UdfNameLength(const TDEntry& dir, const TFEntry& e) {
    const std::string& name = NameOf(e);
    bool narrow = true;
    for (size_t i = 0; i < name.size(); ++i) {
      const auto b = static_cast<uint8_t>(name[i]);
      if (b < 0x80) continue;
      // Two-byte sequences up to U+00FF start with C2 or C3.
      if ((b == 0xC2 || b == 0xC3) && i + 1 < name.size() && (static_cast<uint8_t>(name[i + 1]) & 0xC0) == 0x80) {
        ++i;
        continue;
      }
      narrow = false;
      break;
    }
    const size_t units = Utf16Length(name);
    const size_t bytes = 1 + (narrow ? units : 2 * units);
    return bytes <= 255 ? bytes : UdfName(dir, e).size();
  }
  // The source's name of an entry, without a copy when it is the long name.
  static const std::string& NameOf(const TFEntry& e) {
    const TRockRidge* rr = e.SubDir != nullptr ? e.SubDir->RR.Get() : e.RR.Get();
    if (rr != nullptr && rr->Present && !rr->Name.empty()) return rr->Name;
    const std::string& n = e.LongName;
    if (e.SubDir == nullptr && (e.Attr & faDirectory) == 0 && n.ends_with('.') && n.find('.') == n.size() - 1) {
      thread_local std::string cut;
      cut.assign(n, 0, n.size() - 1);
      return cut;
    }
    return n;
  }

  // The name a child has in the UDF tree, in compressed Unicode: as the
  // source has it, shortened (keeping a short extension) with a message when
  // it needs more than the 255 bytes an identifier holds.
  std::string UdfName(const TDEntry& dir, const TFEntry& e) {
    std::u16string units = Utf8ToUtf16(ViewOfEntry(e).Name);
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
    const int64_t sector = e.Imported ? int64_t{e.ISOExtent} : int64_t{c_.FirstFileSector} + e.ISOExtent;
    for (int64_t at = 0; at < e.ISOSize; at += kMaxExtent)
      out.push_back({std::min(kMaxExtent, e.ISOSize - at),
                     static_cast<uint32_t>(sector - u_->Partition + at / 2048)});
    return out;
  }

  // A file entry at block; descriptors it cannot hold continue at block More.
  void WriteEntry(TMemoryStream& Out, uint32_t block, uint8_t type, const TEntryView& v, uint32_t links,
                  uint64_t unique, uint64_t length, const std::vector<TExtent>& extents, uint32_t More) {
    TBlock b{};
    // The ICB tag: strategy 4, one entry, short allocation descriptors.
    PutLE16(&b[20], 4);
    PutLE16(&b[24], 1);
    b[27] = type;
    PutLE32(&b[36], v.Uid);
    PutLE32(&b[40], v.Gid);
    PutLE32(&b[44], Permissions(v.Mode));
    PutLE16(&b[48], static_cast<uint16_t>(std::min<uint32_t>(links, 0xFFFF)));
    Le64(&b[56], length);
    uint64_t recorded = 0;
    for (const TExtent& x : extents) recorded += static_cast<uint64_t>(Sectors(x.Length));
    Le64(&b[64], recorded);
    Timestamp(&b[72], v.Access);
    Timestamp(&b[84], v.Modify);
    Timestamp(&b[96], v.Change);
    PutLE32(&b[108], 1);  // checkpoint
    Implementation(&b[128]);
    Le64(&b[160], unique);
    const size_t inEntry = (2048 - kEntryHeader) / 8;
    const size_t here = extents.size() <= inEntry ? extents.size() : inEntry - 1;
    size_t at = kEntryHeader;
    for (size_t i = 0; i < here; ++i, at += 8) ShortAd(&b[at], extents[i]);
    if (here < extents.size()) {
      PutLE32(&b[at], (3u << 30) | 2048u);  // the rest continue in an allocation extent
      PutLE32(&b[at + 4], More);
      at += 8;
    }
    PutLE32(&b[172], static_cast<uint32_t>(at - kEntryHeader));
    Tag(b.data(), kTagFileEntry, block, at);
    Out.Write(b.data(), at);  // the rest of the block is zeros
    Out.WriteZeros(2048 - at);
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

  void WriteIdentifiers(TMemoryStream& Out, const TDEntry& d, const TDir& info) {
    std::string data;
    data.reserve(info.Bytes);
    auto fid = [&](uint8_t characteristics, const std::string& name, uint32_t entry, uint64_t unique) {
      const size_t length = FidLength(name.size());
      const size_t offset = data.size();
      data.resize(offset + length, '\0');
      auto* f = reinterpret_cast<uint8_t*>(data.data()) + offset;
      PutLE16(f + 16, 1);
      f[18] = characteristics;
      f[19] = static_cast<uint8_t>(name.size());
      LongAd(f + 20, 2048, entry, static_cast<uint32_t>(unique));
      std::memcpy(f + 38, name.data(), name.size());
      Tag(f, kTagFileIdentifier, static_cast<uint32_t>(info.Data + offset / 2048), length);
    };
    const TDEntry& parent = d.Parent != nullptr ? *d.Parent : d;
    const TDir& up = dirs_[index_.at(&parent)];
    fid(0x0A, "", up.Entry, up.Unique);  // the parent, a directory
    uint32_t file = info.Files;
    uint64_t unique = info.FirstUnique;
    // Files' entries follow the list order; look the files up as they come.
    for (const TFEntry* e = d.Entries; e != nullptr; e = e->Next) {
      if (IsDot(*e)) continue;
      const uint8_t hidden = (e->Attr & faHidden) != 0 ? 0x01 : 0x00;
      if (e->SubDir != nullptr) {
        const TDir& sub = dirs_[index_.at(e->SubDir)];
        fid(static_cast<uint8_t>(0x02 | hidden), UdfName(d, *e), sub.Entry, sub.Unique);
      } else {
        fid(hidden, UdfName(d, *e), file++, unique++);
      }
    }
    Out.Write(data.data(), data.size());
    Out.WriteZeros(static_cast<size_t>(Sectors(static_cast<int64_t>(data.size())) * 2048 - static_cast<int64_t>(data.size())));
  }

  VEZEZadira& c_;
  std::shared_ptr<TUdfLayout> u_;
  std::vector<TDir> dirs_;
  std::unordered_map<const TDEntry*, uint32_t> index_;
  std::unordered_map<const TFEntry*, uint32_t> extra_;  // first block of what did not fit
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
