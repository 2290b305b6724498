// Import of an earlier session's directory tree (multisession discs): the
// volume descriptors of the session are searched, then its Joliet tree (or,
// without one, its ISO 9660 tree) is read and added to the file tree as
// imported entries that keep their extents on the disc.
//
// The disc is untrusted input. Every record is checked against its sector and
// every extent against the end of what the disc holds; a directory is never
// read twice (a loop, or two directories sharing sectors) and the nesting is
// bounded, so a hostile disc costs at most one read per sector it holds.
// Whatever the import cannot read or carry ends it with a message naming the
// sector or the entry, and the preparation with it: a new session that
// silently lacks part of the old one would hide those files for good.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "iso/iso.h"
#include "iso/rockridge_private.h"
#include "iso/tree_private.h"
#include "iso/udf_private.h"

namespace {

constexpr size_t kFixedPart = 33;         // bytes of a directory record before the name
constexpr uint32_t kFirstDescriptor = 16;  // descriptors from the session start + 16 ...
constexpr uint32_t kLastDescriptor = 36;   // ... to the session start + 36
constexpr int kMaxDepth = 255;             // directory levels below the session's root
constexpr uint8_t kJolietNameLimit = 215;  // name bytes from which a name is too long
constexpr uint8_t kISONameLimit = 240;
constexpr size_t kMaxNameChars = 256;
constexpr size_t kCachedContinuations = 4096;  // sectors

enum : uint8_t {
  kFlagHidden = 0x01,
  kFlagDirectory = 0x02,
  kFlagAssociated = 0x04,
  kFlagMultiExtent = 0x80,
};

uint32_t GetLE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// A Joliet name (UTF-16 big-endian) as UTF-8, up to its first NUL character;
// a lone surrogate becomes U+FFFD. An odd last byte is not part of the name.
std::string JolietName(const uint8_t* name, size_t bytes) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const auto u = static_cast<char16_t>(name[i] << 8 | name[i + 1]);
    if (u == 0) break;
    units.push_back(u);
  }
  return Utf16ToUtf8(units);
}

// An ISO 9660 name as its bytes, up to the first NUL byte.
std::string ISOName(const uint8_t* name, size_t bytes) {
  const auto* end = std::find(name, name + std::min(bytes, kMaxNameChars), uint8_t{0});
  return std::string(name, end);
}

// Removes the version suffix: a ";" followed by digits at the end. Any other
// ";" belongs to the name ("x;1.txt" stays). A name that is nothing but a
// version keeps it, since nothing would be left of it.
std::string WithoutVersion(std::string name) {
  const size_t semicolon = name.rfind(';');
  if (semicolon == std::string::npos || semicolon == 0 || semicolon + 1 == name.size()) return name;
  if (name.find_first_not_of("0123456789", semicolon + 1) == std::string::npos) name.erase(semicolon);
  return name;
}

// A name from the disc that no entry can carry: empty, "." or "..", or
// holding "/", "\" or a NUL.
bool HasNul(const uint8_t* name, size_t bytes, bool joliet) {
  for (size_t i = 0; i + (joliet ? 1 : 0) < bytes; i += joliet ? 2 : 1)
    if (name[i] == 0 && (!joliet || name[i + 1] == 0)) return true;
  return false;
}

// The recorded date and time (record bytes 18-23) as a packed DOS date. The
// disc may hold anything: an invalid calendar date or a year before 1980
// becomes 1980-01-01 00:00:00, a year after 2107 the last moment of 2107, and
// a time field out of range its largest value.
int32_t RecordFileDate(const uint8_t* d) {
  TDateParts p;
  p.Year = 1900 + d[0];
  p.Month = d[1];
  p.Day = d[2];
  p.Hour = std::min<int>(d[3], 23);
  p.Minute = std::min<int>(d[4], 59);
  p.Second = std::min<int>(d[5], 59);
  p.Millisecond = 0;
  TDateParts dateOnly{p.Year, p.Month, p.Day, 0, 0, 0, 0};
  if (!IsValidDateParts(dateOnly)) p = TDateParts{1980, 1, 1, 0, 0, 0, 0};
  return PackFileDate(p);
}

enum class TTree { Joliet, ISO };

// One import: the directory readers with what they share, the end of the
// disc and every directory sector read so far.
class TSessionImport {
public:
  TSessionImport(VEZEZadira& c, uint64_t discEnd) : c_(c), discEnd_(discEnd) {}

  // The ISO tree is read with its Rock Ridge fields (names from NM), each
  // system use area after Skip bytes.
  void UseRockRidge(uint8_t Skip) {
    rockRidge_ = true;
    skip_ = Skip;
  }
  // The Rock Ridge fields of a record; Failed when a continuation is off the disc.
  TRockRidgeRead RockRidgeOf(const uint8_t* r, size_t recordLength) {
    const size_t nameLength = r[32];
    const size_t start = kFixedPart + nameLength + (nameLength % 2 == 0 ? 1 : 0) + skip_;
    if (start >= recordLength) return {};
    return ParseSystemUse(std::span<const uint8_t>(r + start, recordLength - start),
                          [this](uint32_t lba, std::vector<uint8_t>& sector) {
                            // A continuation sector is read once, however many records point to it
                            // (up to a bound on the memory this takes).
                            if (const auto it = continuations_.find(lba); it != continuations_.end()) {
                              sector = it->second;
                              return true;
                            }
                            sector.assign(2048, 0);
                            if (lba >= discEnd_ || !c_.Read10(lba, 1, sector.data(), 2048)) return false;
                            if (continuations_.size() < kCachedContinuations) continuations_.emplace(lba, sector);
                            return true;
                          });
  }

  // False when the import must end: the reason has been reported.
  bool ImportJolietDirectory(uint32_t extent, uint32_t length, TDEntry* dir) {
    return ReadDirectory(TTree::Joliet, extent, length, dir, 0);
  }
  bool ImportISODirectory(uint32_t extent, uint32_t length, TDEntry* dir) {
    return ReadDirectory(TTree::ISO, extent, length, dir, 0);
  }

  // True when the extent and the length lie on the disc.
  bool OnDisc(uint32_t extent, uint32_t length) const {
    return uint64_t{extent} + static_cast<uint64_t>(Sectors(length)) <= discEnd_;
  }

private:
  void Report(const std::string& what, const std::string& item) {
    c_.DebugMessage(">>> ERROR IMPORTING SESSION, " + what + ": " + item, MSG_FILE);
  }

  static std::string ItemName(const TDEntry* dir, const std::string& name) {
    return (dir->Parent == dir ? std::string() : dir->Path) + "\\" + name;
  }

  bool ReadDirectory(TTree tree, uint32_t extent, uint32_t length, TDEntry* dir, int depth);

  VEZEZadira& c_;
  uint64_t discEnd_;
  std::unordered_set<uint32_t> readSectors_;
  bool rockRidge_ = false;
  uint8_t skip_ = 0;
  std::unordered_map<uint32_t, std::vector<uint8_t>> continuations_;
};

// A file recorded in several extents, gathered record by record.
struct TParts {
  std::string Name;  // empty: none open
  uint32_t First = 0;
  uint64_t Size = 0;
  uint64_t Next = 0;  // the sector the next extent must start at
  bool Broken = false;
};

bool TSessionImport::ReadDirectory(TTree tree, uint32_t extent, uint32_t length, TDEntry* dir,
                                   int depth) {
  const bool joliet = tree == TTree::Joliet;
  const int64_t sectors = Sectors(length);
  // A buffer per directory level: the records of this sector are still
  // being read when a subdirectory has been read.
  std::vector<uint8_t> sector(2048);
  TParts parts;

  for (int64_t i = 0; i < sectors; ++i) {
    const auto lba = static_cast<uint32_t>(extent + i);
    const std::string where = " SECTOR " + std::to_string(lba);
    if (!readSectors_.insert(lba).second) {
      Report("DIRECTORY" + where + " READ TWICE", ItemName(dir, ""));
      return false;
    }
    std::fill(sector.begin(), sector.end(), uint8_t{0});
    if (!c_.Read10(lba, 1, sector.data(), static_cast<uint32_t>(sector.size()))) {
      Report("DIRECTORY" + where + " CANNOT BE READ", ItemName(dir, ""));
      return false;
    }

    size_t offset = 0;
    while (offset + kFixedPart <= sector.size()) {
      const uint8_t* r = &sector[offset];
      const size_t recordLength = r[0];
      if (recordLength == 0) break;  // the rest of the sector holds no record
      const size_t nameLength = r[32];
      if (recordLength < kFixedPart + 1 || offset + recordLength > sector.size()) {
        Report("BAD DIRECTORY RECORD IN" + where, ItemName(dir, ""));
        return false;
      }
      if (nameLength >= (joliet ? kJolietNameLimit : kISONameLimit)) {
        // Skipped: the entry has no name it could be carried under.
        const size_t shown = std::min(nameLength, recordLength - kFixedPart);
        c_.DebugMessage("ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS\n\r" +
                            (joliet ? JolietName(r + kFixedPart, shown) : ISOName(r + kFixedPart, shown)),
                        MSG_FILE);
        offset += recordLength;
        continue;
      }
      if (kFixedPart + nameLength > recordLength) {
        Report("BAD DIRECTORY RECORD IN" + where, ItemName(dir, ""));
        return false;
      }
      offset += recordLength;
      const uint8_t* rawName = r + kFixedPart;
      TRockRidgeRead rr;
      if (rockRidge_) {
        rr = RockRidgeOf(r, recordLength);
        if (rr.Failed) {
          Report("ROCK RIDGE CONTINUATION OUTSIDE THE DISC IN" + where, ItemName(dir, ""));
          return false;
        }
      }
      if (nameLength == 1 && (rawName[0] == 0 || rawName[0] == 1)) {  // itself, its parent
        if (rawName[0] == 0 && rr.RR.Present && !dir->RR->Present) {
          dir->RR = rr.RR;
          TRockRidge& own = dir->RR.Edit();
          own.Name = dir->LongName;
          if (!rr.HasTimes)
            own.Modify = own.Access = own.Change =
                RockRidgeSeconds(FileDateToDateTime(RecordFileDate(r + 18)));
        }
        continue;
      }

      const uint8_t flags = r[25];
      const std::string fullName = !rr.RR.Name.empty() ? rr.RR.Name
                                   : WithoutVersion(joliet ? JolietName(rawName, nameLength)
                                                           : ISOName(rawName, nameLength));
      const std::string name = rockRidge_ ? FittedLongName(c_, dir, fullName, (flags & kFlagDirectory) != 0) : fullName;
      if (rockRidge_) rr.RR.Name = fullName;
      const TRockRidge* fields = rockRidge_ && rr.RR.Present ? &rr.RR : nullptr;
      const std::string item = ItemName(dir, name);
      const uint32_t at = GetLE32(r + 2);
      const uint32_t size = GetLE32(r + 10);
      if ((flags & kFlagAssociated) != 0) continue;  // a companion file of another record
      // A Rock Ridge name is a file name of this system: at most 255 bytes, no NUL.
      const bool badName = rr.RR.Name.empty() ? HasNul(rawName, nameLength, joliet)
                                              : fullName.size() > 255 || fullName.find('\0') != std::string::npos;
      if (IsImpossibleName(fullName) || badName) {
        Report("INVALID NAME, NOT IMPORTED", item);
        continue;
      }

      TSearchRec found;
      found.Name = name;
      found.Size = size;
      found.Attr = ((flags & kFlagHidden) != 0 ? faHidden : 0) |
                   ((flags & kFlagDirectory) != 0 ? faDirectory : 0);
      found.Time = RecordFileDate(r + 18);
      if (fields != nullptr && !rr.HasTimes)
        rr.RR.Modify = rr.RR.Access = rr.RR.Change = RockRidgeSeconds(FileDateToDateTime(found.Time));

      if ((flags & kFlagDirectory) != 0) {
        if (depth + 1 > kMaxDepth) {
          Report("DIRECTORIES NESTED MORE THAN 255 LEVELS, SKIPPED", item);
          continue;
        }
        if (size != 0 && readSectors_.count(at) != 0) {
          Report("DIRECTORY LOOP, SKIPPED", item);
          continue;
        }
        if (!OnDisc(at, size)) {
          Report("DIRECTORY OUTSIDE THE DISC", item);
          return false;
        }
        // A file the user added under that name wins over the old folder.
        if (const TFEntry* e = c_.FindEntry(dir, name); e != nullptr && e->SubDir == nullptr) continue;
        found.AlternateName = AlternateNameFor(c_, dir, name, true);
        TDEntry* sub = AddDirectoryNamed(c_, dir, found, name,
                                         found.AlternateName.empty() ? UpperCase(name) : found.AlternateName,
                                         item, true, fields);
        if (sub == nullptr || !ReadDirectory(tree, at, size, sub, depth + 1)) return false;
        continue;
      }

      // A file in several extents is carried when they follow each other on
      // the disc, whole sectors but the last; interleaved or scattered parts
      // cannot be carried as one run: rather none of it than a file cut short.
      const bool more = (flags & kFlagMultiExtent) != 0;
      const bool continues = !parts.Name.empty() && name == parts.Name;
      if (!continues && !parts.Name.empty() && !parts.Broken)
        Report("FILE RECORDED IN PARTS, NOT IMPORTED", ItemName(dir, parts.Name));
      if (!continues) parts = TParts{};
      if (more || continues) {
        if (!continues) parts = TParts{name, at, 0, at, false};
        if (r[26] != 0 || r[27] != 0 || at != parts.Next || (more && size % 2048 != 0) ||
            (size != 0 && !OnDisc(at, size))) {
          if (!parts.Broken) Report("FILE RECORDED IN PARTS, NOT IMPORTED", item);
          parts.Broken = true;
        }
        parts.Size += size;
        parts.Next = uint64_t{at} + size / 2048;
        if (more) continue;
        const TParts whole = parts;
        parts = TParts{};
        if (whole.Broken) continue;
        found.Size = static_cast<int64_t>(whole.Size);
        found.AlternateName = AlternateNameFor(c_, dir, name, false);
        if (AddFileImpl(c_, dir, found, std::string(), static_cast<int32_t>(whole.First), true, true, fields) ==
            TAddOutcome::Refused)
          return false;
        continue;
      }
      if (r[26] != 0 || r[27] != 0) {
        Report("FILE RECORDED IN PARTS, NOT IMPORTED", item);
        continue;
      }
      if (size != 0 && !OnDisc(at, size)) {
        Report("FILE OUTSIDE THE DISC", item);
        return false;
      }
      // An empty file may be recorded with extent 0: it is still an imported
      // file, with no data to read.
      found.AlternateName = AlternateNameFor(c_, dir, name, false);
      if (AddFileImpl(c_, dir, found, std::string(), static_cast<int32_t>(at), true, true, fields) ==
          TAddOutcome::Refused)
        return false;  // the tree has said why (a limit, a name it cannot write)
    }
  }
  if (!parts.Name.empty() && !parts.Broken) Report("FILE RECORDED IN PARTS, NOT IMPORTED", ItemName(dir, parts.Name));
  return true;
}

// A descriptor of the wanted type: "CD001" and, for Joliet, the escape
// sequence of UCS-2 level 1, 2 or 3 (a supplementary descriptor without it
// holds names in some other character set).
bool IsDescriptor(const std::array<uint8_t, 2048>& s, uint8_t type) {
  if (s[0] != type || std::memcmp(&s[1], "CD001", 5) != 0) return false;
  if (type != 2) return true;
  return s[88] == 0x25 && s[89] == 0x2F && (s[90] == 0x40 || s[90] == 0x43 || s[90] == 0x45);
}

bool IsTerminator(const std::array<uint8_t, 2048>& s) {
  return s[0] == 0xFF && std::memcmp(&s[1], "CD001", 5) == 0;
}

// The session's volume recognition sequence names a UDF volume.
bool CarriesUdf(VEZEZadira& c, uint32_t start) {
  std::array<uint8_t, 2048> s{};
  for (uint64_t lba = uint64_t{start} + kFirstDescriptor; lba <= uint64_t{start} + kLastDescriptor; ++lba) {
    if (lba > 0xFFFFFFFFull || !c.Read10(static_cast<uint32_t>(lba), 1, s.data(), 2048)) return false;
    if (std::memcmp(&s[1], "NSR02", 5) == 0 || std::memcmp(&s[1], "NSR03", 5) == 0) return true;
    // The sequence goes on through ISO 9660's descriptors and UDF's others.
    bool known = false;
    for (const char* id : {"CD001", "BEA01", "BOOT2", "CDW02"}) known = known || std::memcmp(&s[1], id, 5) == 0;
    if (!known) return false;
  }
  return false;
}

}  // namespace

bool VEZEZadira::ImportPreviousSession(int8_t Session, TDEntry* Directory) {
  return ImportSessionTree(Session, Directory) == TImportResult::Imported;
}

VEZEZadira::TImportResult VEZEZadira::ImportSessionTree(int8_t Session, TDEntry* Directory) {
  if (Directory == nullptr) Directory = RootDirectory();
  if (Directory == nullptr) return TImportResult::Nothing;
  const int recorded = RecordedSessions();
  if (recorded <= 0) return TImportResult::Nothing;
  // FFh asks for the last session; so does any other negative number, which
  // could name no track. A number the disc does not have is refused: taking
  // another session in its place would carry files nobody asked for.
  int session = Session;
  if (session < 0) session = recorded;
  if (session == 0) return TImportResult::Nothing;
  if (session > recorded) {
    DebugMessage(">>> ERROR IMPORTING SESSION " + std::to_string(session) + " (THE DISC HOLDS " +
                     std::to_string(recorded) + " SESSION" + (recorded == 1 ? "" : "S") + ")",
                 MSG_FILE);
    return TImportResult::Failed;
  }

  DebugMessage(">>> IMPORTING SESSION # " + std::to_string(session), MSG_INFO);
  if (!ReadTrackInformation(static_cast<uint8_t>(session))) {
    DebugMessage(">>> ERROR IMPORTING SESSION # " + std::to_string(session), MSG_FILE);
    return TImportResult::Failed;
  }
  const uint32_t start = Track.Start;
  const uint32_t trackSize = Track.Size;
  // Everything the session refers to lies before the end of its track, or
  // before the new session's start when the layout has found it.
  uint64_t discEnd = std::max<uint64_t>(uint64_t{start} + trackSize, StartAddress);
  if (trackSize == 0 && StartAddress <= start) discEnd = 0xFFFFFFFFull;
  TSessionImport import(*this, discEnd);

  // With UDF on, a session that carries UDF is read through its UDF tree,
  // whose names, modes and times are UDF's own. One whose tree cannot be read
  // is read through its ISO tree instead, with a message saying so.
  if (UDF) {
    std::string why;
    TTreeJournal journal(*this);
    const uint32_t last = trackSize > 0 ? start + trackSize - 1 : 0;
    if (ImportUdfTree(*this, start, last, discEnd, Directory, why)) return TImportResult::Imported;
    journal.RollBack();
    if (!why.empty())
      DebugMessage(">>> UDF TREE OF SESSION " + std::to_string(session) + " NOT READ (" + why +
                       "), ITS ISO TREE IS IMPORTED",
                   MSG_FILE);
  }

  if (!UDF && CarriesUdf(*this, start))
    DebugMessage(">>> SESSION " + std::to_string(session) +
                     " CARRIES UDF, THE NEW SESSION DOES NOT: ITS FILES ARE IMPORTED FROM ITS ISO TREE",
                 MSG_FILE);

  std::array<uint8_t, 2048> sector{};
  // With Rock Ridge on, a session that carries it is read through its ISO
  // tree (pass 0), whose records hold the fields; else the Joliet tree first.
  for (int pass = RockRidge ? 0 : 1; pass < 3; ++pass) {
    const uint8_t type = pass == 1 ? 2 : 1;
    for (uint64_t lba = uint64_t{start} + kFirstDescriptor; lba <= uint64_t{start} + kLastDescriptor;
         ++lba) {
      if (lba > 0xFFFFFFFFull) break;
      sector.fill(0);
      if (!Read10(static_cast<uint32_t>(lba), 1, sector.data(), static_cast<uint32_t>(sector.size()))) {
        // An unreadable descriptor could be the one that names the tree.
        DebugMessage(">>> ERROR IMPORTING SESSION " + std::to_string(session) +
                         " (VOLUME DESCRIPTOR SECTOR " + std::to_string(lba) + " CANNOT BE READ)",
                     MSG_FILE);
        return TImportResult::Failed;
      }
      if (IsTerminator(sector)) break;
      if (!IsDescriptor(sector, type)) continue;
      const uint32_t rootExtent = GetLE32(&sector[158]);
      const uint32_t rootLength = GetLE32(&sector[166]);
      if (!import.OnDisc(rootExtent, rootLength)) {
        DebugMessage(">>> ERROR IMPORTING SESSION " + std::to_string(session) +
                         " (ROOT DIRECTORY OUTSIDE THE DISC)",
                     MSG_FILE);
        return TImportResult::Failed;
      }
      if (pass == 0) {
        // The root's "." record tells with its SP entry.
        std::array<uint8_t, 2048> root{};
        if (!Read10(rootExtent, 1, root.data(), static_cast<uint32_t>(root.size()))) break;
        const size_t length = root[0];
        if (length < 34 || root[32] != 1 || root[33] != 0) break;
        const TRockRidgeRead rr = ParseSystemUse(std::span<const uint8_t>(&root[34], length - 34),
                                                 [](uint32_t, std::vector<uint8_t>&) { return false; });
        if (!rr.HasSP) break;
        import.UseRockRidge(rr.SkipOut);
      }
      // A failed import leaves nothing of the old session behind.
      TTreeJournal journal(*this);
      const bool read = type == 2 ? import.ImportJolietDirectory(rootExtent, rootLength, Directory)
                                  : import.ImportISODirectory(rootExtent, rootLength, Directory);
      if (!read) journal.RollBack();
      return read ? TImportResult::Imported : TImportResult::Failed;
    }
  }
  DebugMessage(">>> ERROR IMPORTING SESSION " + std::to_string(session) + " (ISO IMAGE NOT FOUND)",
               MSG_FILE);
  return TImportResult::Failed;
}
