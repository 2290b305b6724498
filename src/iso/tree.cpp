// The file tree: directory records and entries in the component's tables,
// finding and adding directories and files, and removing them again; the
// folder walk that fills it is in folder.cpp. Path and name look-ups go
// through hash indexes so that a tree at full capacity is built in linear time.
// Long names compare exactly: on this platform Makefile and makefile are two.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <climits>
#include <unordered_map>
#include <unordered_set>

#include "iso/iso.h"
#include "iso/tree_private.h"

namespace {

uint64_t NameKey(const TDEntry* dir, std::string_view name) {
  uint64_t h = 1469598103934665603ull ^ reinterpret_cast<uintptr_t>(dir);
  for (char c : name) {
    h ^= static_cast<uint8_t>(c);
    h *= 1099511628211ull;
  }
  return h ^ (h >> 29);
}

}  // namespace

// (directory, name) -> entries, for the long names and for the ISO names: an
// open-addressing table with linear probing, compared in full on look-up.
// Names may repeat (a handler may rename onto an existing name), so a look-up
// visits every slot of its probe run. A slot is 8 bytes: the entry's address
// in the low 48 bits (all a user-space address has on this platform) and 16
// bits of the key's hash above, which spare most look-ups a visit to entries
// of other names. At most three quarters full.
template <TName TFEntry::*Name>
class TNameIndex {
public:
  void Clear() {
    slots_.clear();
    used_ = 0;
  }
  void Insert(TFEntry* e) {
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    Place(e, NameKey(e->Owner, e->*Name));
    ++used_;
  }
  void Erase(const TFEntry* e) {
    if (slots_.empty()) return;
    for (size_t i = NameKey(e->Owner, e->*Name) & mask_; slots_[i] != kFree; i = (i + 1) & mask_)
      if (EntryOf(slots_[i]) == e) {
        slots_[i] = kRemoved;  // keeps the probe runs that pass here intact
        return;
      }
  }
  // The first entry in list order (the lowest serial) with that name.
  TFEntry* Find(const TDEntry* dir, std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const uint64_t h = NameKey(dir, name);
    const uint64_t tag = Tag(h);
    TFEntry* best = nullptr;
    for (size_t i = h & mask_; slots_[i] != kFree; i = (i + 1) & mask_) {
      if (slots_[i] == kRemoved || (slots_[i] & kTagMask) != tag) continue;
      TFEntry* e = EntryOf(slots_[i]);
      if (e->Owner == dir && e->*Name == name && (best == nullptr || e->Serial < best->Serial)) best = e;
    }
    return best;
  }

private:
  static constexpr uint64_t kFree = 0;
  static constexpr uint64_t kRemoved = 1;  // no entry lies at an odd address
  static constexpr uint64_t kTagMask = 0xFFFF000000000000ull;
  static uint64_t Tag(uint64_t h) { return h & kTagMask; }
  static TFEntry* EntryOf(uint64_t slot) { return reinterpret_cast<TFEntry*>(slot & ~kTagMask); }
  void Place(TFEntry* e, uint64_t h) {
    size_t i = h & mask_;
    while (slots_[i] != kFree) i = (i + 1) & mask_;
    slots_[i] = Tag(h) | reinterpret_cast<uintptr_t>(e);
  }
  void Grow() {
    std::vector<uint64_t> old = std::move(slots_);
    size_t live = 0;
    for (const uint64_t s : old) live += s != kFree && s != kRemoved;
    size_t size = 1024;
    while (size < (live + 1) * 2) size *= 2;  // at most half full after growing
    slots_.assign(size, kFree);
    mask_ = size - 1;
    used_ = 0;
    for (const uint64_t s : old)
      if (s != kFree && s != kRemoved) {
        TFEntry* e = EntryOf(s);
        Place(e, NameKey(e->Owner, e->*Name));
        ++used_;
      }
  }
  std::vector<uint64_t> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;  // live slots and removed ones
};

// The journal of the folder walk now running, if any.
struct TJournalState {
  uint32_t FirstSerial = 0;
  // Entries that existed before the walk and were replaced, with their fields
  // (and source offset) as they were.
  std::unordered_map<TFEntry*, std::pair<TFEntry, int64_t>> Replaced;
};

// A component's look-ups into its own tree.
struct TTreeIndex {
  // Path -> record for every directory but the root; the key views the record's Path.
  std::unordered_map<std::string_view, TDEntry*> Dirs;
  uint32_t Serial = 0;
  TNameIndex<&TFEntry::LongName> Names;
  TNameIndex<&TFEntry::ISOName> ISONames;
  std::unique_ptr<TJournalState> Journal;
  // The folder of the source path added last, which the next file of the
  // same folder shares.
  TCounted<const std::string> SourceFolder;
  // The Rock Ridge fields of the entry added last, which the next entry
  // shares when its own are equal.
  TCounted<TRockRidge> LastRockRidge;
};

namespace {

TTreeIndex& Index(VEZEZadira& c) { return *c.TreeIndex; }

bool ISONameInUse(VEZEZadira& c, const TDEntry* dir, std::string_view name) {
  return Index(c).ISONames.Find(dir, name) != nullptr;
}

// Gives e (its long name set) the source path: the folder shared with the
// file added before it, and the name its long name, when that is the name.
void SetSourcePathOf(VEZEZadira& c, TFEntry* e, const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string::npos ? std::string_view() : std::string_view(path).substr(slash + 1);
  const std::string_view longName = e->LongName;
  TFEntry::TSourceName from = TFEntry::TSourceName::InPath;
  if (!name.empty() && name == longName)
    from = TFEntry::TSourceName::LongName;
  else if (!name.empty() && longName.size() == name.size() + 1 && longName.starts_with(name) && longName.ends_with('.'))
    from = TFEntry::TSourceName::LongNameUndotted;
  if (from == TFEntry::TSourceName::InPath) {
    e->SetSourcePath(path);
    return;
  }
  const std::string_view folder(path.data(), slash + 1);
  TCounted<const std::string>& last = Index(c).SourceFolder;
  if (!last || *last != folder) last = TCounted<const std::string>::Make(std::string(folder));
  e->SourcePath = TSourcePath(last);
  e->SourceName = from;
}

// The Rock Ridge fields of an entry whose full name is name: the name is left
// out when the long name gives it (the writers fall back on the long name
// without the dot that stands for a missing extension), and fields equal to
// those of the entry added last are shared with it.
TRockRidgeBox SharedRockRidge(VEZEZadira& c, const TRockRidge& rr, const std::string& name,
                              const std::string& longName, bool isDir) {
  std::string_view fallback = longName;
  if (!isDir && longName.ends_with('.') && longName.find('.') == longName.size() - 1) fallback.remove_suffix(1);
  const std::string_view kept = name == fallback ? std::string_view() : std::string_view(name);
  TCounted<TRockRidge>& last = Index(c).LastRockRidge;
  const bool same = last && last->Present == rr.Present && last->Mode == rr.Mode && last->Uid == rr.Uid &&
                    last->Gid == rr.Gid && last->Modify == rr.Modify && last->Access == rr.Access &&
                    last->Change == rr.Change && last->Link == rr.Link && last->Name == kept;
  if (!same) {
    last = TCounted<TRockRidge>::Make(rr);
    last->Name = kept;
  }
  return TRockRidgeBox(last);
}

void IndexEntry(VEZEZadira& c, TFEntry* e) {
  Index(c).Names.Insert(e);
  Index(c).ISONames.Insert(e);
}

void UnindexEntry(VEZEZadira& c, TFEntry* e) {
  Index(c).Names.Erase(e);
  Index(c).ISONames.Erase(e);
  // Renamed or removed: a changed Joliet name no longer applies (the next layout makes them anew).
  if (!c.JolietRenamed.empty()) c.JolietRenamed.erase(e);
  e->Owner->NextCounter.clear();  // a counter below the hints may be free again
}

// Removes the marked items from a table. Removals during a walk are of the
// newest records, so the scan starts at the end and stops as soon as every
// marked item has been seen: only that tail is compacted.
template <class Table, class IsMarked>
void RemoveMarked(Table& table, size_t marked, IsMarked isMarked) {
  size_t found = 0;
  size_t i = table.size();
  while (i > 0 && found < marked) {
    --i;
    if (isMarked(table[i])) ++found;
  }
  table.erase(std::remove_if(table.begin() + static_cast<std::ptrdiff_t>(i), table.end(), isMarked),
              table.end());
}

bool HasDot(const std::string& s) { return s.find('.') != std::string::npos; }

// Bytes a name takes in a directory record: the record length is one byte.
bool FitsDirectoryRecord(size_t nameBytes) {
  return 33 + nameBytes + (nameBytes % 2 == 0 ? 1 : 0) <= 255;
}

// Why a name cannot be written, or empty when it can. Files carry ";1".
std::string NameProblem(const std::string& isoName, const std::string& longName, bool isFile) {
  if (isoName.empty() || longName.empty()) return "EMPTY NAME";
  if (longName == "." || longName == "..") return {};
  const size_t suffix = isFile ? 2 : 0;
  if (!FitsDirectoryRecord(isoName.size() + suffix) ||
      !FitsDirectoryRecord(2 * (Utf16Length(longName) + suffix)))
    return "NAME TOO LONG FOR A DIRECTORY RECORD";
  return {};
}

}  // namespace

void Refuse(VEZEZadira& c, const std::string& reason, const std::string& item) {
  c.DebugMessage(reason + ": " + item, MSG_FILE);
}

// ---------------------------------------------------------------- records
void VEZEZadira::ReleaseTree() {
  if (!TreeIndex) TreeIndex = std::make_shared<TTreeIndex>();
  TreeIndex->Names.Clear();
  TreeIndex->ISONames.Clear();
  TreeIndex->Dirs.clear();
  JolietRenamed.clear();
  SourceOffsets.clear();
  ISOPathOrder.clear();
  JolietPathOrder.clear();
  FileTable.clear();
  DirTable.clear();
  DirCount = 0;
  EntryCount = 0;
  TreeIndex->Serial = 0;
}

void VEZEZadira::ResetImageBuilder(int32_t AMaxFiles, int32_t AMaxDirs) {
  TimeZoneOffset = LocalTimeZoneOffset();
  Plan.reset();
  ReleaseTree();
  MaxFiles = AMaxFiles;
  MaxDirs = AMaxDirs;
  DirTable.reserve(static_cast<size_t>(std::min(MaxDirs, 1024)));
  TreeIndex->Dirs.reserve(static_cast<size_t>(std::min(MaxDirs, 1024)));
  auto root = std::make_unique<TDEntry>();
  root->ISOName = "CD_ROOT";
  root->LongName = "CD Root Directory";
  root->Path.assign(1, '\\');  // (a literal here trips a false -Wrestrict in GCC 12)
  root->Parent = root.get();
  ISOPathOrder.push_back(root.get());
  JolietPathOrder.push_back(root.get());
  DirTable.push_back(std::move(root));
  DirCount = 1;
}

namespace {

TDEntry* NewDirRecord(VEZEZadira& c) {
  if (c.DirCount >= c.MaxDirs) {
    c.DebugMessage(">>> MAXIMUM DIRECTORIES CAN BE " + std::to_string(c.MaxDirs), MSG_LIMIT);
    return nullptr;
  }
  auto d = std::make_unique<TDEntry>();
  TDEntry* p = d.get();
  c.DirTable.push_back(std::move(d));
  c.ISOPathOrder.push_back(p);
  c.JolietPathOrder.push_back(p);
  ++c.DirCount;
  return p;
}

TFEntry* NewEntry(VEZEZadira& c) {
  if (c.EntryCount >= c.MaxFiles) {
    c.DebugMessage("MAXIMUM FILES CAN BE " + std::to_string(c.MaxFiles), MSG_LIMIT);
    return nullptr;
  }
  auto e = std::make_unique<TFEntry>();
  TFEntry* p = e.get();
  p->Serial = Index(c).Serial++;
  c.FileTable.push_back(std::move(e));
  ++c.EntryCount;
  return p;
}

void AppendEntry(VEZEZadira& c, TDEntry* dir, TFEntry* e) {
  e->Owner = dir;
  e->Next = nullptr;
  e->Prev = dir->LastEntry;
  if (dir->LastEntry)
    dir->LastEntry->Next = e;
  else
    dir->Entries = e;
  dir->LastEntry = e;
  IndexEntry(c, e);
}

void UnlinkEntry(TDEntry* dir, TFEntry* e) {
  if (e->Prev)
    e->Prev->Next = e->Next;
  else
    dir->Entries = e->Next;
  if (e->Next)
    e->Next->Prev = e->Prev;
  else
    dir->LastEntry = e->Prev;
  e->Next = e->Prev = nullptr;
}

// Releases the newest directory record again (an entry for it could not be had).
void DropNewestDirRecord(VEZEZadira& c) {
  c.ISOPathOrder.pop_back();
  c.JolietPathOrder.pop_back();
  c.DirTable.pop_back();
  --c.DirCount;
}

// Collects an entry and, for a subdirectory, everything below it.
void CollectSubtree(TFEntry* e, std::unordered_set<const TFEntry*>& entries,
                    std::unordered_set<const TDEntry*>& dirs) {
  entries.insert(e);
  if ((e->Attr & faDirectory) != 0 && e->SubDir != nullptr) {
    dirs.insert(e->SubDir);
    for (TFEntry* s = e->SubDir->Entries; s != nullptr; s = s->Next) CollectSubtree(s, entries, dirs);
  }
}

// The directory path of a record: "\" + long names from the top.
std::string DirectoryPath(const TDEntry* d) {
  std::vector<const TDEntry*> chain;
  for (; d->Parent != d; d = d->Parent) chain.push_back(d);
  if (chain.empty()) return "\\";
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += "\\" + (*it)->LongName;
  return path;
}

}  // namespace

// ---------------------------------------------------------------- look-ups
TDEntry* VEZEZadira::FindDirectory(const std::string& APath) {
  if (APath.empty() || APath == "\\") return RootDirectory();
  std::string key = APath;
  if (key.back() == '\\') key.pop_back();
  const auto it = TreeIndex->Dirs.find(key);
  return it == TreeIndex->Dirs.end() ? nullptr : it->second;
}

TFEntry* VEZEZadira::FindEntry(TDEntry* ADir, const std::string& AName) {
  return ADir == nullptr ? nullptr : TreeIndex->Names.Find(ADir, AName);
}

int64_t VEZEZadira::SourceOffset(const TFEntry& Entry) const {
  if (!Entry.SourcePart) return 0;
  const auto it = SourceOffsets.find(&Entry);
  return it == SourceOffsets.end() ? 0 : it->second;
}

int32_t VEZEZadira::DirectoryCount() const { return DirCount - 1; }

int32_t VEZEZadira::FileCount() const { return EntryCount; }

TDEntry* VEZEZadira::RootDirectory() const { return DirTable.empty() ? nullptr : DirTable[0].get(); }

// ---------------------------------------------------------------- directories
TDEntry* AddDirectoryNamed(VEZEZadira& c, TDEntry* parent, const TSearchRec& found,
                           const std::string& longName, const std::string& shortName,
                           const std::string& item, bool walk, const TRockRidge* rr) {
  if (parent == nullptr) return nullptr;
  // A backslash would make the path name another directory.
  if (longName.find('\\') != std::string::npos) {
    Refuse(c, "FOLDER NAME WITH A BACKSLASH, NOT ADDED", item);
    return nullptr;
  }
  // An empty name or "." would find the parent itself again (to be walked,
  // then pruned, while it is being walked).
  if (IsImpossibleName(longName)) {
    Refuse(c, "INVALID NAME, NOT ADDED", item);
    return nullptr;
  }
  std::string candidate = parent->Path + "\\" + longName;
  if (candidate.starts_with("\\\\")) candidate.erase(0, 1);
  if (TDEntry* existing = c.FindDirectory(candidate)) return existing;
  // A file of that name stays a file; a second entry of one name would hide it.
  if (c.FindEntry(parent, longName) != nullptr) {
    Refuse(c, "NAME ALREADY PRESENT, NOT ADDED", item);
    return nullptr;
  }

  if (const std::string problem = NameProblem(shortName, longName, false); !problem.empty()) {
    Refuse(c, problem + ", NOT ADDED", item);
    return nullptr;
  }
  TDEntry* d = NewDirRecord(c);
  if (d == nullptr) {
    if (walk) Refuse(c, "MAXIMUM DIRECTORIES REACHED, NOT ADDED", item);
    return nullptr;
  }
  TFEntry* e = NewEntry(c);
  if (e == nullptr) {
    DropNewestDirRecord(c);
    if (walk) Refuse(c, "MAXIMUM FILES REACHED, NOT ADDED", item);
    return nullptr;
  }
  d->ISOName = shortName;
  d->LongName = longName;
  d->Parent = parent;
  d->Entries = nullptr;
  d->OwnEntry = e;
  d->Path = DirectoryPath(d);
  if (rr != nullptr) d->RR = *rr;
  Index(c).Dirs.emplace(d->Path, d);

  e->ISOName = shortName;
  e->LongName = longName;
  e->Attr = static_cast<uint16_t>(found.Attr);
  e->SubDir = d;
  e->DateTime = FileDateToDateTime(found.Time);
  AppendEntry(c, parent, e);
  return d;
}

TDEntry* VEZEZadira::AddDirectory(TDEntry* AParent, const TSearchRec& Found,
                                  const std::string& ALongName, const std::string& AShortName) {
  const std::string item = AParent == nullptr ? ALongName
                           : AParent->Parent == AParent ? "\\" + ALongName
                                                        : AParent->Path + "\\" + ALongName;
  return AddDirectoryNamed(*this, AParent, Found, ALongName, AShortName, item, false);
}

TDEntry* VEZEZadira::CreateDirByName(TDEntry* AParent, const std::string& AName, int32_t AAttr) {
  std::string name = AName;
  if (name.starts_with('\\')) name.erase(0, 1);
  if (name.ends_with('\\')) name.pop_back();
  TSearchRec found;
  found.Name = name;
  found.AlternateName = AlternateNameFor(*this, AParent, name, true);
  found.Time = DateTimeToFileDate(ImageClockNow());
  found.Attr = AAttr;
  return AddDirectory(AParent, found, name,
                      found.AlternateName.empty() ? UpperCase(name) : found.AlternateName);
}

TDEntry* VEZEZadira::ForcePath(const std::string& APath) {
  if (TDEntry* d = FindDirectory(APath)) return d;
  const size_t cut = APath.rfind('\\');
  const std::string parentPath = cut == std::string::npos ? std::string() : APath.substr(0, cut);
  const std::string lastName = cut == std::string::npos ? APath : APath.substr(cut + 1);
  if (FindDirectory(parentPath) == nullptr) ForcePath(parentPath);
  if (lastName.empty()) return nullptr;
  return CreateDirByName(FindDirectory(parentPath), lastName, faDirectory);
}

// ---------------------------------------------------------------- removal
void VEZEZadira::RemoveEntry(TDEntry* ADir, TFEntry* AEntry) {
  if (ADir == nullptr || AEntry == nullptr || AEntry->Owner != ADir) return;
  std::unordered_set<const TFEntry*> entries;
  std::unordered_set<const TDEntry*> dirs;
  CollectSubtree(AEntry, entries, dirs);
  UnlinkEntry(ADir, AEntry);

  for (const TFEntry* e : entries) {
    UnindexEntry(*this, const_cast<TFEntry*>(e));
    if (e->SourcePart) SourceOffsets.erase(e);
  }
  if (!dirs.empty()) {
    for (const TDEntry* d : dirs) TreeIndex->Dirs.erase(d->Path);
    auto markedDir = [&dirs](const auto& p) { return dirs.count(&*p) != 0; };
    RemoveMarked(ISOPathOrder, dirs.size(), markedDir);
    RemoveMarked(JolietPathOrder, dirs.size(), markedDir);
    RemoveMarked(DirTable, dirs.size(), markedDir);  // releases the records
    DirCount = static_cast<int32_t>(DirTable.size());
  }
  RemoveMarked(FileTable, entries.size(), [&entries](const auto& p) { return entries.count(p.get()) != 0; });
  EntryCount = static_cast<int32_t>(FileTable.size());
}

bool VEZEZadira::RemoveDirectory(TDEntry*& ADir) {
  if (ADir == nullptr || ADir->Parent == ADir || ADir->OwnEntry == nullptr) return false;
  // The record's own entry in its parent goes, and with it the record and
  // everything below it.
  RemoveEntry(ADir->Parent, ADir->OwnEntry);
  ADir = nullptr;
  return true;
}

bool VEZEZadira::RemoveEntryByName(const std::string& APath, const std::string& AName) {
  TDEntry* dir = FindDirectory(APath);
  TFEntry* e = FindEntry(dir, AName);
  if (dir == nullptr || e == nullptr) return false;
  RemoveEntry(dir, e);
  return true;
}

// ---------------------------------------------------------------- files
TAddOutcome AddFileImpl(VEZEZadira& c, TDEntry* dir, const TSearchRec& found,
                        const std::string& fullPath, int32_t existingSector, bool walk,
                        bool imported, const TRockRidge* rr) {
  if (dir == nullptr) return TAddOutcome::Refused;
  const bool isDir = (found.Attr & faDirectory) != 0;
  std::string longName = found.Name;
  if (!isDir && !HasDot(longName)) longName += '.';
  TFEntry* existing = c.FindEntry(dir, longName);
  // What the user added wins over an earlier session's entry of that name:
  // the new session carries the new file and leaves the old one out.
  if (imported && existing != nullptr && !existing->Imported) return TAddOutcome::Duplicate;
  std::string shortName = found.AlternateName.empty() ? UpperCase(longName) : found.AlternateName;
  if (!isDir && !HasDot(shortName)) shortName += '.';
  TDateTime date = FileDateToDateTime(found.Time);
  bool skip = false;
  const bool replace = existing != nullptr && c.ReplaceFile;
  // The limit counts the characters the Joliet record holds (UTF-16 units).
  const bool tooLong = Utf16Length(longName) >= 128;
  if (tooLong) skip = true;
  const std::string offered = longName;
  if (c.OnAddFile) c.OnAddFile(&c, fullPath, longName, shortName, date, found.Attr, found.Size, skip);

  const std::string item =
      !fullPath.empty() ? fullPath : (dir->Parent == dir ? "" : dir->Path) + "\\" + longName;
  if (skip) {
    if (!tooLong) return TAddOutcome::Skipped;  // the handler's choice
    if (walk) Refuse(c, "FILE NAME OF 128 CHARACTERS OR MORE, NOT ADDED", item);
    return TAddOutcome::Refused;
  }
  if (IsImpossibleName(longName)) {
    Refuse(c, "INVALID NAME, NOT ADDED", item);
    return TAddOutcome::Refused;
  }
  const std::string isoName = UpperCase(shortName);
  if (const std::string problem = NameProblem(isoName, longName, !isDir); !problem.empty()) {
    Refuse(c, problem + ", NOT ADDED", item);
    return TAddOutcome::Refused;
  }

  TFEntry* e = nullptr;
  // A folder's entry is never turned into a file: its records would be lost.
  if (existing != nullptr && (!replace || existing->SubDir != nullptr)) {
    if (!walk) return TAddOutcome::Duplicate;
    if (existing->SubDir == nullptr && existing->SourceIs(fullPath)) return TAddOutcome::Duplicate;
    Refuse(c, "NAME ALREADY PRESENT, NOT ADDED", item);
    return TAddOutcome::Refused;
  }
  if (replace) {
    e = existing;
    if (const auto& journal = Index(c).Journal; journal != nullptr && e->Serial < journal->FirstSerial)
      journal->Replaced.try_emplace(e, *e, c.SourceOffset(*e));
    UnindexEntry(c, e);  // the handler may have changed the name
  } else {
    e = NewEntry(c);
    if (e == nullptr) {
      if (walk) Refuse(c, "MAXIMUM FILES REACHED, NOT ADDED", item);
      return TAddOutcome::Refused;
    }
  }
  e->ISOName = isoName;
  e->LongName = longName;
  e->ISOSize = e->JolietSize = found.Size;
  e->Attr = static_cast<uint16_t>(found.Attr);
  e->DateTime = date;
  SetSourcePathOf(c, e, fullPath);
  if (e->SourcePart) c.SourceOffsets.erase(e);
  e->SourcePart = false;
  if (rr != nullptr)
    e->RR = SharedRockRidge(c, *rr, longName != offered ? longName : rr->Name, longName, isDir);  // the handler's name wins
  else
    e->RR.Reset();
  if (existingSector != 0 || imported) {
    e->ISOExtent = e->JolietExtent = existingSector;
    e->Imported = true;
  } else {
    e->Imported = false;
  }
  if (replace)
    IndexEntry(c, e);
  else
    AppendEntry(c, dir, e);
  return TAddOutcome::Added;
}

bool VEZEZadira::AddFile(TDEntry* ADir, const TSearchRec& Found, const std::string& AFullPath,
                         int32_t ExistingSector) {
  return AddFileImpl(*this, ADir, Found, AFullPath, ExistingSector, false) == TAddOutcome::Added;
}

bool VEZEZadira::AddFilePart(TDEntry* ADir, const TSearchRec& Found, const std::string& AFullPath,
                             int64_t Offset) {
  if (ADir == nullptr || Offset < 0 || Found.Size < 0 || AFullPath.empty()) return false;
  TSearchRec found = Found;
  if (found.AlternateName.empty()) found.AlternateName = AlternateNameFor(*this, ADir, found.Name, false);
  if (AddFileImpl(*this, ADir, found, AFullPath, 0, false) != TAddOutcome::Added) return false;
  std::string longName = Found.Name;
  if (!HasDot(longName)) longName += '.';
  TFEntry* e = FindEntry(ADir, longName);
  if (e == nullptr) return false;
  SourceOffsets[e] = Offset;
  e->SourcePart = true;
  return true;
}

// ---------------------------------------------------------------- 8.3 names
namespace {

bool IsDChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

bool AllDChars(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return IsDChar(c); });
}

// A valid 8.3 name of d-characters (either case): a stem of 1 to 8, for a
// file an optional "." and an extension of up to 3. A folder has no extension.
bool IsValid83(const std::string& upper, bool isDir) {
  const size_t dot = upper.find('.');
  if (isDir || dot == std::string::npos) return !upper.empty() && upper.size() <= 8 && AllDChars(upper);
  const std::string_view stem = std::string_view(upper).substr(0, dot);
  const std::string_view ext = std::string_view(upper).substr(dot + 1);
  return !stem.empty() && stem.size() <= 8 && ext.size() <= 3 && AllDChars(stem) && AllDChars(ext);
}

// The d-characters of a piece of a long name: letters upper-cased, spaces
// and dots dropped, every other character (a UTF-8 sequence counting as one)
// an underscore.
std::string DChars(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<uint8_t>(s[i]);
    if (b == ' ' || b == '.') continue;
    if ((b & 0xC0) == 0x80) continue;  // the rest of a sequence already replaced
    const char u = UpperCase(std::string_view(&s[i], 1))[0];
    out += IsDChar(u) ? u : '_';
  }
  return out;
}

}  // namespace

bool IsImpossibleName(const std::string& name) {
  return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
         name.find('\\') != std::string::npos;
}

std::string AlternateNameFor(VEZEZadira& c, TDEntry* dir, const std::string& longName, bool isDir) {
  if (dir == nullptr) return {};
  std::string name = longName;
  if (!isDir && name.find('.') == std::string::npos) name += '.';  // as the file is added
  // Found again (a folder added twice) or about to be replaced: the same ISO name.
  if (const TFEntry* e = Index(c).Names.Find(dir, name); e != nullptr && ((e->Attr & faDirectory) != 0) == isDir)
    return e->ISOName;
  const std::string upper = UpperCase(name);  // the ISO name without an alternate name
  if (IsValid83(upper, isDir) && !ISONameInUse(c, dir, upper)) return {};
  // Leading dots belong to the stem ("bashrc" of ".bashrc"); the extension
  // comes from the last dot.
  std::string_view rest(longName);
  while (rest.starts_with('.')) rest.remove_prefix(1);
  const size_t dot = isDir ? std::string_view::npos : rest.rfind('.');
  const std::string stem = DChars(rest.substr(0, dot));
  const std::string ext = dot == std::string_view::npos ? std::string() : DChars(rest.substr(dot + 1)).substr(0, 3);
  const std::string tail = isDir ? std::string() : "." + ext;
  const std::string hint = stem.substr(0, 6) + tail;
  // The hints are few per directory, kept sorted.
  auto& counters = dir->NextCounter;
  auto at = std::lower_bound(counters.begin(), counters.end(), hint,
                             [](const auto& c, const std::string& h) { return c.first < h; });
  if (at == counters.end() || at->first != hint) at = counters.insert(at, {hint, 0});
  for (uint32_t n = std::max<uint32_t>(at->second, 1);; ++n) {
    const std::string digits = "_" + std::to_string(n);
    const std::string candidate = stem.substr(0, 8 - std::min<size_t>(digits.size(), 8)) + digits + tail;
    if (!ISONameInUse(c, dir, candidate)) {
      at->second = n + 1;
      return candidate;
    }
  }
}

std::string FittedLongName(VEZEZadira& c, TDEntry* dir, const std::string& name, bool isDir) {
  constexpr size_t kUnits = 100;  // well inside what a Joliet record holds
  auto probe = [isDir](const std::string& n) { return isDir || HasDot(n) ? n : n + '.'; };
  if (dir == nullptr || Utf16Length(probe(name)) <= kUnits) return name;
  const size_t dot = isDir ? std::string::npos : name.rfind('.');
  const std::string ext =
      dot != std::string::npos && dot > 0 && Utf16Length(name.substr(dot)) <= 16 ? name.substr(dot) : "";
  const std::string stem = name.substr(0, name.size() - ext.size());
  for (uint32_t n = 1;; ++n) {
    const std::string tail = "~" + std::to_string(n) + ext;
    std::string cut = stem;
    while (!cut.empty() && Utf16Length(cut) + Utf16Length(tail) > kUnits) {
      while (!cut.empty() && (static_cast<uint8_t>(cut.back()) & 0xC0) == 0x80) cut.pop_back();
      if (!cut.empty()) cut.pop_back();
    }
    const std::string candidate = cut + tail;
    const TFEntry* e = Index(c).Names.Find(dir, probe(candidate));
    // The same full name added again finds its entry again.
    if (e == nullptr || (e->SubDir != nullptr ? e->SubDir->RR->Name : e->RR->Name) == name) return candidate;
  }
}

// ---------------------------------------------------------------- taking a walk back
TTreeJournal::TTreeJournal(VEZEZadira& c) : c_(c), owner_(Index(c).Journal == nullptr) {
  if (owner_) Index(c).Journal = std::make_unique<TJournalState>(TJournalState{Index(c).Serial, {}});
}

TTreeJournal::~TTreeJournal() {
  if (owner_) Index(c_).Journal.reset();
}

void TTreeJournal::RollBack() {
  if (!owner_) return;  // the outer call decides
  VEZEZadira& c = c_;
  TJournalState& journal = *Index(c).Journal;
  const uint32_t first = journal.FirstSerial;
  auto added = [first](const TFEntry* e) { return e != nullptr && e->Serial >= first; };
  // The newest first, so that each removal finds its records at the tables' end.
  std::vector<TFEntry*> tops;
  for (auto it = c.FileTable.rbegin(); it != c.FileTable.rend(); ++it) {
    TFEntry* e = it->get();
    if (added(e) && !added(e->Owner->OwnEntry)) tops.push_back(e);
  }
  for (TFEntry* e : tops) c.RemoveEntry(e->Owner, e);
  for (auto& [e, was] : journal.Replaced) {
    const auto& [before, offset] = was;
    UnindexEntry(c, e);
    e->ISOName = before.ISOName;
    e->LongName = before.LongName;
    e->SourcePath = before.SourcePath;
    e->SourceName = before.SourceName;
    if (before.SourcePart)
      c.SourceOffsets[e] = offset;
    else
      c.SourceOffsets.erase(e);
    e->SourcePart = before.SourcePart;
    e->Imported = before.Imported;
    e->DateTime = before.DateTime;
    e->ISOSize = before.ISOSize;
    e->JolietSize = before.JolietSize;
    e->ISOExtent = before.ISOExtent;
    e->JolietExtent = before.JolietExtent;
    e->Attr = before.Attr;
    e->RR = before.RR;
    IndexEntry(c, e);
  }
  journal.Replaced.clear();
}
