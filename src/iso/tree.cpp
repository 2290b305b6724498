// The file tree: directory records and entries in the unit-level tables,
// finding and adding directories and files, and removing them again. Path and
// name look-ups go through hash indexes so that a tree at full capacity is
// built in linear time.
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

namespace {

// Path -> record for every directory but the root; the key views the record's Path.
std::unordered_map<std::string_view, TDEntry*> gDirIndex;
uint32_t gSerial = 0;

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

uint64_t NameKey(const TDEntry* dir, std::string_view name) {
  uint64_t h = 1469598103934665603ull ^ reinterpret_cast<uintptr_t>(dir);
  for (char c : name) {
    h ^= static_cast<uint8_t>(Fold(c));
    h *= 1099511628211ull;
  }
  return h ^ (h >> 29);
}

// (directory, upper-cased long name) -> entries: an open-addressing table with
// linear probing, one slot per entry, compared in full on look-up. Names may
// repeat (a handler may rename onto an existing name), so a look-up visits
// every slot of its probe run.
class TNameIndex {
public:
  void Clear() {
    slots_.clear();
    used_ = 0;
  }
  void Insert(TFEntry* e) {
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    const uint64_t h = NameKey(e->Owner, e->LongName);
    for (size_t i = h & mask_;; i = (i + 1) & mask_)
      if (slots_[i].Entry == nullptr) {
        slots_[i] = {h, e};
        ++used_;
        return;
      }
  }
  void Erase(const TFEntry* e) {
    if (slots_.empty()) return;
    const uint64_t h = NameKey(e->Owner, e->LongName);
    for (size_t i = h & mask_; slots_[i].Entry != nullptr; i = (i + 1) & mask_)
      if (slots_[i].Entry == e) {
        slots_[i].Entry = Tombstone();  // keeps the probe runs that pass here intact
        return;
      }
  }
  // The first entry in list order (the lowest serial) with that name.
  TFEntry* Find(const TDEntry* dir, std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const uint64_t h = NameKey(dir, name);
    TFEntry* best = nullptr;
    for (size_t i = h & mask_; slots_[i].Entry != nullptr; i = (i + 1) & mask_) {
      TFEntry* e = slots_[i].Entry;
      if (slots_[i].Hash != h || e == Tombstone()) continue;
      if (e->Owner == dir && SameText(e->LongName, name) && (best == nullptr || e->Serial < best->Serial))
        best = e;
    }
    return best;
  }

private:
  struct TSlot {
    uint64_t Hash = 0;
    TFEntry* Entry = nullptr;  // nullptr: free; Tombstone(): removed
  };
  static TFEntry* Tombstone() {
    static TFEntry removed;
    return &removed;
  }
  void Grow() {
    std::vector<TSlot> old = std::move(slots_);
    size_t live = 0;
    for (const TSlot& s : old) live += s.Entry != nullptr && s.Entry != Tombstone();
    size_t size = 1024;
    while (size < (live + 1) * 2) size *= 2;  // at most half full after growing
    slots_.assign(size, TSlot{});
    mask_ = size - 1;
    used_ = 0;
    for (const TSlot& s : old)
      if (s.Entry != nullptr && s.Entry != Tombstone()) {
        size_t i = s.Hash & mask_;
        while (slots_[i].Entry != nullptr) i = (i + 1) & mask_;
        slots_[i] = s;
        ++used_;
      }
  }
  std::vector<TSlot> slots_;
  size_t mask_ = 0;
  size_t used_ = 0;  // live slots and tombstones
};

TNameIndex gNameIndex;

void IndexEntry(TFEntry* e) { gNameIndex.Insert(e); }

void UnindexEntry(TFEntry* e) { gNameIndex.Erase(e); }

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

void Refuse(VEZEZadira& c, const std::string& reason, const std::string& item) {
  c.DebugMessage(reason + ": " + item, MSG_FILE);
}

}  // namespace

// ---------------------------------------------------------------- records
void VEZEZadira::ReleaseTree() {
  gNameIndex.Clear();
  gDirIndex.clear();
  ISOPathOrder.clear();
  JolietPathOrder.clear();
  FileTable.clear();
  DirTable.clear();
  DirCount = 0;
  EntryCount = 0;
  gSerial = 0;
}

void VEZEZadira::ResetImageBuilder(int32_t AMaxFiles, int32_t AMaxDirs) {
  TimeZoneOffset = LocalTimeZoneOffset();
  MetadataStream.Clear();
  ReleaseTree();
  MaxFiles = AMaxFiles;
  MaxDirs = AMaxDirs;
  DirTable.reserve(static_cast<size_t>(std::min(MaxDirs, 1024)));
  gDirIndex.reserve(static_cast<size_t>(std::min(MaxDirs, 1024)));
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
  if (DirCount >= MaxDirs) {
    c.DebugMessage(">>> MAXIMUM DIRECTORIES CAN BE " + std::to_string(MaxDirs), MSG_LIMIT);
    return nullptr;
  }
  auto d = std::make_unique<TDEntry>();
  TDEntry* p = d.get();
  DirTable.push_back(std::move(d));
  ISOPathOrder.push_back(p);
  JolietPathOrder.push_back(p);
  ++DirCount;
  return p;
}

TFEntry* NewEntry(VEZEZadira& c) {
  if (EntryCount >= MaxFiles) {
    c.DebugMessage("MAXIMUM FILES CAN BE " + std::to_string(MaxFiles), MSG_LIMIT);
    return nullptr;
  }
  auto e = std::make_unique<TFEntry>();
  TFEntry* p = e.get();
  p->Serial = gSerial++;
  FileTable.push_back(std::move(e));
  ++EntryCount;
  return p;
}

void AppendEntry(TDEntry* dir, TFEntry* e) {
  e->Owner = dir;
  e->Next = nullptr;
  e->Prev = dir->LastEntry;
  if (dir->LastEntry)
    dir->LastEntry->Next = e;
  else
    dir->Entries = e;
  dir->LastEntry = e;
  IndexEntry(e);
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
void DropNewestDirRecord() {
  ISOPathOrder.pop_back();
  JolietPathOrder.pop_back();
  DirTable.pop_back();
  --DirCount;
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

// The directory path of a record: "\" + long names from the top, upper-cased.
std::string DirectoryPath(const TDEntry* d) {
  std::vector<const TDEntry*> chain;
  for (; d->Parent != d; d = d->Parent) chain.push_back(d);
  if (chain.empty()) return "\\";
  std::string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += "\\" + (*it)->LongName;
  return UpperCase(path);
}

}  // namespace

// ---------------------------------------------------------------- look-ups
TDEntry* VEZEZadira::FindDirectory(const std::string& APath) {
  if (APath.empty() || APath == "\\") return RootDirectory();
  std::string key = UpperCase(APath);
  if (key.back() == '\\') key.pop_back();
  const auto it = gDirIndex.find(key);
  return it == gDirIndex.end() ? nullptr : it->second;
}

TFEntry* VEZEZadira::FindEntry(TDEntry* ADir, const std::string& AName) {
  return ADir == nullptr ? nullptr : gNameIndex.Find(ADir, AName);
}

int32_t VEZEZadira::DirectoryCount() const { return DirCount - 1; }

int32_t VEZEZadira::FileCount() const { return EntryCount; }

TDEntry* VEZEZadira::RootDirectory() const { return DirTable.empty() ? nullptr : DirTable[0].get(); }

// ---------------------------------------------------------------- directories
namespace {

// AddDirectory with the item named in refusals; `walk` adds the kind-4 line
// for a capacity limit (the folder walk names every item it cannot add).
TDEntry* AddDirectoryNamed(VEZEZadira& c, TDEntry* parent, const TSearchRec& found,
                           const std::string& longName, const std::string& shortName,
                           const std::string& item, bool walk) {
  if (parent == nullptr) return nullptr;
  std::string candidate = parent->Path + "\\" + longName;
  if (candidate.starts_with("\\\\")) candidate.erase(0, 1);
  if (TDEntry* existing = c.FindDirectory(candidate)) return existing;

  // A backslash would make the path name another directory.
  if (longName.find('\\') != std::string::npos) {
    Refuse(c, "FOLDER NAME WITH A BACKSLASH NOT ADDED", item);
    return nullptr;
  }
  if (const std::string problem = NameProblem(shortName, longName, false); !problem.empty()) {
    Refuse(c, problem, item);
    return nullptr;
  }
  TDEntry* d = NewDirRecord(c);
  if (d == nullptr) {
    if (walk) Refuse(c, "MAXIMUM DIRECTORIES REACHED, NOT ADDED", item);
    return nullptr;
  }
  TFEntry* e = NewEntry(c);
  if (e == nullptr) {
    DropNewestDirRecord();
    if (walk) Refuse(c, "MAXIMUM FILES REACHED, NOT ADDED", item);
    return nullptr;
  }
  d->ISOName = shortName;
  d->LongName = longName;
  d->Parent = parent;
  d->Entries = nullptr;
  d->OwnEntry = e;
  d->Path = DirectoryPath(d);
  gDirIndex.emplace(d->Path, d);

  e->ISOName = shortName;
  e->LongName = longName;
  e->Attr = static_cast<uint32_t>(found.Attr);
  e->SubDir = d;
  e->DateTime = FileDateToDateTime(found.Time);
  AppendEntry(parent, e);
  return d;
}

}  // namespace

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
  found.AlternateName = MakeShortName(name);
  found.Time = DateTimeToFileDate(NowLocal());
  found.Attr = AAttr;
  return AddDirectory(AParent, found, name, found.AlternateName);
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

  for (const TFEntry* e : entries) UnindexEntry(const_cast<TFEntry*>(e));
  if (!dirs.empty()) {
    for (const TDEntry* d : dirs) gDirIndex.erase(d->Path);
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
namespace {

enum class TAddOutcome { Added, Skipped, Duplicate, Refused };

constexpr int64_t kLargestExtent = 0xFFFFFFFFll;  // a data length holds 32 bits

// AddFile; `walk` also names the refusals that the plain operation leaves
// silent (a name of 128 characters or more, a name already present from
// another source, a full table), because the folder walk must account for
// every item it was asked to add.
TAddOutcome AddFileImpl(VEZEZadira& c, TDEntry* dir, const TSearchRec& found,
                        const std::string& fullPath, int32_t existingSector, bool walk) {
  if (dir == nullptr) return TAddOutcome::Refused;
  const bool isDir = (found.Attr & faDirectory) != 0;
  std::string longName = found.Name;
  if (!isDir && !HasDot(longName)) longName += '.';
  TFEntry* existing = c.FindEntry(dir, longName);
  std::string shortName = found.AlternateName.empty() ? UpperCase(longName) : found.AlternateName;
  if (!isDir && !HasDot(shortName)) shortName += '.';
  TDateTime date = FileDateToDateTime(found.Time);
  bool skip = false;
  const bool replace = existing != nullptr && c.ReplaceFile;
  const bool tooLong = longName.size() >= 128;
  if (tooLong) skip = true;
  if (c.OnAddFile) c.OnAddFile(&c, fullPath, longName, shortName, date, found.Attr, found.Size, skip);

  const std::string item =
      !fullPath.empty() ? fullPath : (dir->Parent == dir ? "" : dir->Path) + "\\" + longName;
  if (skip) {
    if (!tooLong) return TAddOutcome::Skipped;  // the handler's choice
    if (walk) Refuse(c, "FILE NAME OF 128 CHARACTERS OR MORE, NOT ADDED", item);
    return TAddOutcome::Refused;
  }
  if (!isDir && found.Size > kLargestExtent) {
    Refuse(c, "FILE OF 4 GB OR MORE, NOT ADDED", item);
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
    if (existing->SubDir == nullptr && existing->SourcePath == fullPath) return TAddOutcome::Duplicate;
    Refuse(c, "NAME ALREADY PRESENT, NOT ADDED", item);
    return TAddOutcome::Refused;
  }
  if (replace) {
    e = existing;
    UnindexEntry(e);  // the handler may have changed the name
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
  e->Attr = static_cast<uint32_t>(found.Attr);
  e->DateTime = date;
  e->SourcePath = fullPath;
  if (existingSector != 0) {
    e->ISOExtent = e->JolietExtent = existingSector;
    e->Imported = true;
  } else {
    e->Imported = false;
  }
  if (replace)
    IndexEntry(e);
  else
    AppendEntry(dir, e);
  return TAddOutcome::Added;
}

}  // namespace

bool VEZEZadira::AddFile(TDEntry* ADir, const TSearchRec& Found, const std::string& AFullPath,
                         int32_t ExistingSector) {
  return AddFileImpl(*this, ADir, Found, AFullPath, ExistingSector, false) == TAddOutcome::Added;
}

// ---------------------------------------------------------------- folder walk
namespace {

struct TDirId {
  dev_t Dev;
  ino_t Ino;
  bool operator==(const TDirId&) const = default;
};

struct TItem {
  std::string Name;
  struct stat St {};
  int Error = 0;  // errno of the stat, 0 when it succeeded
};

struct TDirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

std::string SystemText(int err) { return std::strerror(err); }

// Attribute bits of a found item, as the directory search of this platform gives them.
int32_t AttributesOf(const std::string& name, const struct stat& st) {
  int32_t attr = 0;
  if (S_ISDIR(st.st_mode)) attr |= faDirectory;
  if (S_ISREG(st.st_mode)) attr |= faArchive;
  if ((st.st_mode & S_IWUSR) == 0) attr |= faReadOnly;
  if (name.starts_with('.')) attr |= faHidden;
  return attr;
}

TSearchRec FoundOf(const TItem& item) {
  TSearchRec found;
  found.Name = item.Name;
  found.Attr = AttributesOf(item.Name, item.St);
  found.Size = S_ISREG(item.St.st_mode) ? static_cast<int64_t>(item.St.st_size) : 0;
  found.Time = DateTimeToFileDate(FromUnixTimeLocal(item.St.st_mtime));
  return found;
}

struct TWalk {
  VEZEZadira& C;
  const std::string& Mask;
  int32_t AttrMask;
  bool Recurse;
  bool ArchiveOnly;
  std::vector<TDirId> Walked;  // the folders on the current path, for loop detection
  const uid_t EUid = ::geteuid();

  // 0 when the file can be read, else the reason. The owner's permission
  // bits decide for the owner, and the superuser reads every local file; any
  // other case asks the system.
  int ReadError(int fd, const TItem& item) const {
    if (EUid == 0) return 0;
    if (item.St.st_uid == EUid) return (item.St.st_mode & S_IRUSR) != 0 ? 0 : EACCES;
    return ::faccessat(fd, item.Name.c_str(), R_OK, AT_EACCESS) == 0 ? 0 : errno;
  }

  // Adds the folder's subfolders (when recursing) and then its files to dir.
  // False when anything the walk was asked for could not be added; every such
  // item has been reported by then, and the walk has gone on with the rest.
  // The folder is opened relative to its parent's descriptor (parentFd and
  // name); source is its full path with a trailing "/".
  bool Folder(TDEntry* dir, const std::string& source, int parentFd, const char* name) {
    if (source.size() >= PATH_MAX) {
      Refuse(C, "PATH TOO LONG, NOT ADDED", source);
      return false;
    }
    std::unique_ptr<DIR, TDirCloser> dp;
    const int dirFd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int err = errno;
    if (dirFd >= 0) {
      dp.reset(::fdopendir(dirFd));
      err = errno;
      if (!dp) ::close(dirFd);
    }
    if (!dp) {
      Refuse(C, "FOLDER CANNOT BE READ (" + SystemText(err) + ")", source);
      return false;
    }
    bool ok = true;
    std::vector<TItem> items;
    const int fd = ::dirfd(dp.get());
    for (;;) {
      errno = 0;
      const dirent* de = ::readdir(dp.get());
      if (de == nullptr) {
        if (errno != 0) {
          Refuse(C, "FOLDER CANNOT BE READ (" + SystemText(errno) + ")", source);
          ok = false;
        }
        break;
      }
      if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
      TItem& item = items.emplace_back();
      item.Name = de->d_name;
      if (::fstatat(fd, de->d_name, &item.St, 0) != 0) item.Error = errno;  // links followed
    }

    if (Recurse)
      for (const TItem& item : items)
        if (item.Error == 0 && S_ISDIR(item.St.st_mode)) ok = SubFolder(dir, source, fd, item) && ok;

    for (const TItem& item : items) {
      if (!MatchesMask(item.Name, Mask)) continue;
      const std::string path = source + item.Name;
      if (item.Error != 0) {
        Refuse(C, "CANNOT BE READ (" + SystemText(item.Error) + ")", path);
        ok = false;
        continue;
      }
      if (!S_ISREG(item.St.st_mode)) continue;  // folders; sockets, FIFOs and devices never
      const TSearchRec found = FoundOf(item);
      if ((found.Attr & ~AttrMask & (faHidden | faSysFile | faVolumeID | faDirectory)) != 0) continue;
      if (ArchiveOnly && (found.Attr & faArchive) == 0) continue;
      if (path.size() >= PATH_MAX) {
        Refuse(C, "PATH TOO LONG, NOT ADDED", path);
        ok = false;
        continue;
      }
      if (int err = ReadError(fd, item); err != 0) {
        Refuse(C, "FILE CANNOT BE READ (" + SystemText(err) + ")", path);
        ok = false;
        continue;
      }
      if (AddFileImpl(C, dir, found, path, 0, true) == TAddOutcome::Refused) ok = false;
    }
    return ok;
  }

  bool SubFolder(TDEntry* dir, const std::string& source, int fd, const TItem& item) {
    const std::string path = source + item.Name;
    const TDirId id{item.St.st_dev, item.St.st_ino};
    if (std::find(Walked.begin(), Walked.end(), id) != Walked.end()) {
      // A link back to a folder being walked: its contents are on the way already.
      if (C.DoDebug) C.DebugMessage(">>> LINK LOOP SKIPPED: " + path, MSG_INFO);
      return true;
    }
    const TSearchRec found = FoundOf(item);
    std::string longName = item.Name;
    std::string shortName = found.AlternateName.empty() ? UpperCase(longName) : found.AlternateName;
    bool skip = false;
    if (C.OnAddDir) C.OnAddDir(&C, longName, shortName, skip);
    if (skip) return true;
    TDEntry* sub = AddDirectoryNamed(C, dir, found, longName, shortName, path, true);
    if (sub == nullptr) return false;
    Walked.push_back(id);
    const bool ok = Folder(sub, path + "/", fd, item.Name.c_str());
    Walked.pop_back();
    // A folder that contributes nothing leaves no directory behind.
    if (sub->Entries == nullptr) C.RemoveDirectory(sub);
    return ok;
  }
};

// The tree path that keep-source-path gives a source folder: the drive
// ("C:") or the server and share ("\\server\share") dropped, separators as "\".
std::string KeptPath(const std::string& source) {
  std::string s = source;
  std::replace(s.begin(), s.end(), '/', '\\');
  if (s.size() >= 2 && s[1] == ':') return s.substr(2);
  if (s.starts_with("\\\\")) {
    const size_t server = s.find('\\', 2);
    if (server == std::string::npos) return {};
    const size_t share = s.find('\\', server + 1);
    if (share == std::string::npos) return {};
    return s.substr(share);
  }
  return s;
}

}  // namespace

bool VEZEZadira::AddFolderToDir(TDEntry* ADir, const std::string& ASource,
                                const std::string& AMask, int32_t AttrMask, bool Recurse,
                                bool KeepSourcePath, bool ArchiveOnly) {
  TDEntry* dir = ADir;
  if (KeepSourcePath && dir != nullptr) {
    std::string relative = KeptPath(ASource);
    if (!dir->Path.empty() && dir->Path != "\\") relative = dir->Path + relative;
    ForcePath(relative);
    dir = FindDirectory(relative);
  }
  if (dir == nullptr) {
    DebugMessage("INVALID DESTINATION PATH", MSG_FILE);
    return false;
  }
  std::string source = ASource;
  if (!source.ends_with('/')) source += '/';
  const std::string mask = AMask.empty() ? "*.*" : AMask;
  TWalk walk{*this, mask, AttrMask, Recurse, ArchiveOnly, {}};
  struct stat st {};
  if (::stat(source.c_str(), &st) == 0) walk.Walked.push_back({st.st_dev, st.st_ino});
  return walk.Folder(dir, source, AT_FDCWD, source.c_str());
}

bool VEZEZadira::AddFolder(const std::string& Destination, const std::string& ASource,
                           const std::string& AMask, int32_t AttrMask, bool Recurse,
                           bool KeepSourcePath, bool ArchiveOnly) {
  TDEntry* dir = FindDirectory(Destination);
  if (dir == nullptr) {
    DebugMessage("INVALID DESTINATION PATH", MSG_FILE);
    return false;
  }
  return AddFolderToDir(dir, ASource, AMask, AttrMask, Recurse, KeepSourcePath, ArchiveOnly);
}
