// Path tables and directory records of the ISO 9660 and the Joliet tree: the
// size rules the layout places them by, and the writers the generation calls.
// Measuring and writing walk the same code, so a size can never disagree with
// what is written.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "iso/iso.h"
#include "iso/rockridge_private.h"
#include "iso/writers.h"

namespace {

constexpr int kDotRecordLength = 34;
// The largest extent of one record: a whole number of sectors below 4 GiB.
constexpr int64_t kMaxExtentBytes = 0xFFFFF800ll;

// Name of a directory as a path table and a subdirectory record hold it.
std::string DirectoryName(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir) {
  return Tree == TImageTree::ISO ? Dir.ISOName : JolietBytes(C.JolietName(Dir));
}

size_t DirectoryNameLength(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir) {
  return Tree == TImageTree::ISO ? Dir.ISOName.size() : 2 * Utf16Length(C.JolietName(Dir));
}

// The name that tells a tree's "." and ".." entries (those of an imported directory).
std::string_view TreeName(const VEZEZadira& C, TImageTree Tree, const TFEntry& Entry) {
  return Tree == TImageTree::ISO ? Entry.ISOName.view() : C.JolietName(Entry);
}

bool IsDirectoryEntry(const TFEntry& Entry) { return (Entry.Attr & faDirectory) != 0; }

// Name bytes of an entry's directory record; files carry the version ";1".
std::string EntryName(const VEZEZadira& C, TImageTree Tree, const TFEntry& Entry) {
  const std::string_view name = TreeName(C, Tree, Entry);
  if (name == ".") return std::string(1, '\0');
  if (name == "..") return std::string(1, '\1');
  std::string text(name);
  if (!IsDirectoryEntry(Entry)) text += ";1";
  return Tree == TImageTree::ISO ? text : JolietBytes(text);
}

// Record length for a name of n bytes: 33 + n, plus the pad byte when n is even.
int RecordLength(size_t NameLength) {
  return static_cast<int>(33 + NameLength + (NameLength % 2 == 0 ? 1 : 0));
}

struct TRecordFields {
  uint32_t Extent = 0;
  uint32_t DataLength = 0;
  TDateTime Date = 0;
  uint8_t Flags = 0;
};

// Appends one directory record with the given name bytes.
// The tree refuses names whose record would not fit its length byte; the
// buffer holds any name a length byte can describe, so nothing overruns.
void AppendRecord(TRecordSink& Out, const TRecordFields& f, const std::string& Name,
                  std::string_view SystemUse = {}) {
  std::array<uint8_t, 34 + 255 + 255> rec{};
  const std::string_view name(Name.data(), std::min<size_t>(Name.size(), 255));
  const int base = RecordLength(name.size());
  const std::string_view su = SystemUse.substr(0, std::max(0, 255 - base));
  const int length = base + static_cast<int>(su.size());
  rec[0] = static_cast<uint8_t>(length);
  PutBoth32(&rec[2], f.Extent);
  PutBoth32(&rec[10], f.DataLength);
  PutRecordingDate(rec.data(), f.Date);
  rec[25] = f.Flags;
  PutBoth16(&rec[28], 1);
  rec[32] = static_cast<uint8_t>(name.size());
  std::memcpy(&rec[33], name.data(), name.size());
  if (!su.empty()) std::memcpy(&rec[static_cast<size_t>(base)], su.data(), su.size());
  Out.Record(std::span<const uint8_t>(rec.data(), static_cast<size_t>(length)));
}

int32_t DirOffset(TImageTree Tree, const TDEntry& Dir) {
  return Tree == TImageTree::ISO ? Dir.ISODirOffset : Dir.JolietDirOffset;
}

int64_t DirSize(TImageTree Tree, const TDEntry& Dir) {
  return Tree == TImageTree::ISO ? Dir.ISODirSize : Dir.JolietDirSize;
}

TRecordFields EntryFields(TImageTree Tree, const TFEntry& Entry, uint32_t Base,
                          uint32_t FirstFile) {
  const bool iso = Tree == TImageTree::ISO;
  const int32_t extent = iso ? Entry.ISOExtent : Entry.JolietExtent;
  const int64_t size = iso ? Entry.ISOSize : Entry.JolietSize;
  TRecordFields f;
  if (IsDirectoryEntry(Entry))
    f.Extent = Base + static_cast<uint32_t>(extent);
  else if (Entry.Imported)
    f.Extent = static_cast<uint32_t>(extent);
  else
    f.Extent = FirstFile + static_cast<uint32_t>(extent);
  if (Entry.ISOSize == 0) f.Extent = 0;
  f.DataLength = static_cast<uint32_t>(size);
  f.Date = Entry.DateTime;
  f.Flags = static_cast<uint8_t>((IsDirectoryEntry(Entry) ? 0x02 : 0x00) |
                                 ((Entry.Attr & faHidden) ? 0x01 : 0x00));
  return f;
}

// ECMA-119 9.3 order of a directory's records, each tree by its own
// identifiers: "." and ".." first, then by name and by extension (from the
// last "." of a file), each compared as if padded with spaces; the version is
// ";1" throughout. The list order (FileTable order) stays as it is.
struct TSortKey {
  int Rank = 2;  // 0 ".", 1 "..", 2 any other
  std::u16string Name, Ext;
  uint32_t Serial = 0;
};

int ComparePadded(const std::u16string& a, const std::u16string& b) {
  for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
    const char16_t x = i < a.size() ? a[i] : u' ';
    const char16_t y = i < b.size() ? b[i] : u' ';
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

bool KeyLess(const TSortKey& a, const TSortKey& b) {
  if (a.Rank != b.Rank) return a.Rank < b.Rank;
  if (const int n = ComparePadded(a.Name, b.Name); n != 0) return n < 0;
  if (const int x = ComparePadded(a.Ext, b.Ext); x != 0) return x < 0;
  return a.Serial < b.Serial;
}

std::vector<const TFEntry*> SortedEntries(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir) {
  std::vector<std::pair<TSortKey, const TFEntry*>> keyed;
  for (const TFEntry* e = Dir.Entries; e != nullptr; e = e->Next) {
    const std::string_view name = TreeName(C, Tree, *e);
    TSortKey k;
    k.Serial = e->Serial;
    if (name == "." || name == "..") {
      k.Rank = name == "." ? 0 : 1;
    } else {
      // ISO names are bytes; Joliet names compare by their UTF-16 units.
      if (Tree == TImageTree::ISO)
        for (const unsigned char c : name) k.Name.push_back(c);
      else
        k.Name = Utf8ToUtf16(name);
      const size_t dot = IsDirectoryEntry(*e) ? std::u16string::npos : k.Name.rfind(u'.');
      if (dot != std::u16string::npos) {
        k.Ext = k.Name.substr(dot + 1);
        k.Name.resize(dot);
      }
    }
    keyed.emplace_back(std::move(k), e);
  }
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return KeyLess(a.first, b.first); });
  std::vector<const TFEntry*> out;
  out.reserve(keyed.size());
  for (const auto& [k, e] : keyed) out.push_back(e);
  return out;
}

// Rock Ridge links count of a directory: itself, "." and one ".." per subdirectory.
uint32_t DirectoryLinks(const TDEntry& Dir) {
  uint32_t n = 2;
  for (const TFEntry* e = Dir.Entries; e != nullptr; e = e->Next) n += e->SubDir != nullptr ? 1 : 0;
  return n;
}

uint32_t DirectorySerial(const TDEntry& Dir) {
  return Dir.OwnEntry != nullptr ? Dir.OwnEntry->Serial + 2 : 1;
}

TRockRidgeRecord DotRecord(const TDEntry& Dir, TDateTime Now, bool Self) {
  TRockRidgeRecord r;
  r.RR = Dir.RR.Get();
  r.Directory = r.DotRecord = true;
  r.RootSelf = Self && Dir.Parent == &Dir;
  r.Links = DirectoryLinks(Dir);
  r.Serial = DirectorySerial(Dir);
  r.DateTime = Now;
  return r;
}

TRockRidgeRecord EntryRecord(const TFEntry& Entry) {
  TRockRidgeRecord r;
  const std::string& name = Entry.LongName;
  r.DotRecord = name == "." || name == "..";
  r.Serial = Entry.Serial + 2;
  r.DateTime = Entry.DateTime;
  if (Entry.SubDir != nullptr) {
    r.RR = Entry.SubDir->RR.Get();
    r.Directory = true;
    r.Links = DirectoryLinks(*Entry.SubDir);
    r.Name = name;
  } else {
    r.RR = Entry.RR.Get();
    r.Directory = IsDirectoryEntry(Entry);
    // The dot that stands for a missing extension is no part of the name.
    r.Name = !r.Directory && name.ends_with('.') && name.find('.') == name.size() - 1
                 ? name.substr(0, name.size() - 1)
                 : name;
  }
  return r;
}

// The walk over one directory's extent. With Out it appends the records and
// the zero fill; without, it only counts. Returns the bytes of the extent.
// With Cont (the ISO tree of a Rock Ridge image) every record carries its
// fields, and those that do not fit go to the directory's continuation area.
int64_t WalkDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir, uint32_t Base, uint32_t FirstFile,
                      TDateTime Now, TRecordSink* Out, TContinuation* Cont) {
  int64_t sectors = 1;
  int spaceLeft = 2048;
  auto place = [&](int nameLength, const TRockRidgeRecord& rr) {
    if (Cont == nullptr) return std::string();
    return PlaceSystemUse(RockRidgeFields(rr), static_cast<size_t>(254 - RecordLength(static_cast<size_t>(nameLength))),
                          *Cont);
  };
  auto append = [&](const TRecordFields& f, const std::string& name, const std::string& su) {
    const int length = RecordLength(name.size()) + static_cast<int>(su.size());
    if (length > spaceLeft) {
      // Records never cross a sector boundary.
      if (Out != nullptr) Out->Zeros(static_cast<size_t>(spaceLeft));
      ++sectors;
      spaceLeft = 2048 - length;
    } else {
      spaceLeft -= length;
    }
    if (Out != nullptr) AppendRecord(*Out, f, name, su);
  };
  const std::vector<const TFEntry*> entries = SortedEntries(C, Tree, Dir);
  const TFEntry* first = entries.empty() ? nullptr : entries.front();
  if (first == nullptr || TreeName(C, Tree, *first) != ".") {
    const TDEntry& parent = Dir.Parent != nullptr ? *Dir.Parent : Dir;
    if (Cont == nullptr) {
      if (Out != nullptr) {
        TRecordFields self{Base + static_cast<uint32_t>(DirOffset(Tree, Dir)),
                           static_cast<uint32_t>(DirSize(Tree, Dir)), Now, 0x02};
        TRecordFields up{Base + static_cast<uint32_t>(DirOffset(Tree, parent)),
                         static_cast<uint32_t>(DirSize(Tree, parent)), Now, 0x02};
        AppendRecord(*Out, self, std::string(1, '\0'));
        AppendRecord(*Out, up, std::string(1, '\1'));
      }
      spaceLeft -= 2 * kDotRecordLength;
    } else {
      append({Base + static_cast<uint32_t>(DirOffset(Tree, Dir)), static_cast<uint32_t>(DirSize(Tree, Dir)),
              Now, 0x02},
             std::string(1, '\0'), place(1, DotRecord(Dir, Now, true)));
      append({Base + static_cast<uint32_t>(DirOffset(Tree, parent)),
              static_cast<uint32_t>(DirSize(Tree, parent)), Now, 0x02},
             std::string(1, '\1'), place(1, DotRecord(parent, Now, false)));
    }
  }
  for (const TFEntry* e : entries) {
    const std::string name = EntryName(C, Tree, *e);
    const TRecordFields f = EntryFields(Tree, *e, Base, FirstFile);
    const int64_t size = Tree == TImageTree::ISO ? e->ISOSize : e->JolietSize;
    if (IsDirectoryEntry(*e) || size <= kMaxExtentBytes) {
      append(f, name, place(static_cast<int>(name.size()), EntryRecord(*e)));
      continue;
    }
    // A file of 4 GiB or more: consecutive extents, every record but the
    // last with the multi-extent flag.
    for (int64_t at = 0; at < size; at += kMaxExtentBytes) {
      TRecordFields part = f;
      part.Extent = f.Extent + static_cast<uint32_t>(at / kSectorSize);
      part.DataLength = static_cast<uint32_t>(std::min(size - at, kMaxExtentBytes));
      if (at + kMaxExtentBytes < size) part.Flags |= 0x80;
      append(part, name, place(static_cast<int>(name.size()), EntryRecord(*e)));
    }
  }
  if (Out != nullptr) Out->Zeros(static_cast<size_t>(spaceLeft));
  return sectors * 2048;
}

}  // namespace

int64_t MeasurePathTable(const VEZEZadira& C, TImageTree Tree) {
  int64_t size = 10;  // the root's record
  for (size_t i = 1; i < C.DirTable.size(); ++i) {
    const size_t n = DirectoryNameLength(C, Tree, *C.DirTable[i]);
    size += static_cast<int64_t>(8 + n + n % 2);
  }
  return size;
}

void WritePathTable(const VEZEZadira& C, TImageTree Tree, uint32_t Base, TPathTableType Type,
                    TMemoryStream& Out) {
  const bool bigEndian = Type == TPathTableType::M;
  const std::vector<TDEntry*>& order = Tree == TImageTree::ISO ? C.ISOPathOrder : C.JolietPathOrder;
  const int64_t start = Out.Size();
  std::array<uint8_t, 8 + 256> rec{};
  auto append = [&](uint32_t extent, uint16_t parent, const std::string& text) {
    const std::string_view name(text.data(), std::min<size_t>(text.size(), 255));
    rec.fill(0);
    rec[0] = static_cast<uint8_t>(name.size());
    if (bigEndian) {
      PutBE32(&rec[2], extent);
      PutBE16(&rec[6], parent);
    } else {
      PutLE32(&rec[2], extent);
      PutLE16(&rec[6], parent);
    }
    std::memcpy(&rec[8], name.data(), name.size());
    Out.Write(rec.data(), 8 + name.size() + name.size() % 2);
  };
  append(Base, 1, std::string(1, '\0'));
  for (size_t i = 1; i < order.size(); ++i) {
    const TDEntry& d = *order[i];
    append(Base + static_cast<uint32_t>(DirOffset(Tree, d)),
           static_cast<uint16_t>(Tree == TImageTree::ISO ? d.Parent->Number : d.Parent->JolietNumber),
           DirectoryName(C, Tree, d));
  }
  const int64_t written = Out.Size() - start;
  Out.WriteZeros(static_cast<size_t>(Sectors(written) * 2048 - written));
}

int64_t MeasureDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir, int64_t* Continuation) {
  const bool rr = C.RockRidge && Tree == TImageTree::ISO;
  TContinuation cont;
  const int64_t bytes = WalkDirectory(C, Tree, Dir, 0, 0, ImageClockNow(), nullptr, rr ? &cont : nullptr);
  if (Continuation != nullptr) *Continuation = Sectors(cont.Used) * kSectorSize;
  return bytes;
}

void WriteDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir, uint32_t Base,
                    uint32_t FirstFile, TRecordSink& Out, TMemoryStream* Continuation) {
  const bool rr = C.RockRidge && Tree == TImageTree::ISO;
  TContinuation cont{C.ContinuationArea + static_cast<uint32_t>(Dir.ContinuationOffset), 0, Continuation};
  WalkDirectory(C, Tree, Dir, Base, FirstFile, C.MetadataTime, &Out, rr ? &cont : nullptr);
  if (rr && Continuation != nullptr) Continuation->WriteZeros(static_cast<size_t>(Sectors(cont.Used) * kSectorSize - cont.Used));
}
