// The folder walk: a source folder's subfolders and files added to the tree
// through the platform's directory search (openat/readdir with fstatat,
// symbolic links followed, loops, links that lead nowhere and special files
// skipped). Names come sorted, as the search of the original platform gave
// them, so that one folder gives one tree on every machine; each gets the 8.3
// alternate name that search would have reported.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "iso/iso.h"
#include "iso/tree_private.h"

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
  bool Link = false;  // a symbolic link kept as a link (Rock Ridge)
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

// The Rock Ridge fields of an item: its mode, owner, times and full name,
// and for a link its target. Unless kept, the permissions are made readable
// for everyone, executable for everyone where anyone could, writable by
// nobody and owned by 0 (special bits dropped).
// Access and change times follow every read and every change of mode: an
// image made reproducible by SOURCE_DATE_EPOCH records the modification time
// in their place.
struct TFieldRules {
  bool KeepPermissions = false;
  bool Reproducible = false;
};

TRockRidge RockRidgeOf(int fd, const TItem& item, TFieldRules rules) {
  TRockRidge rr;
  rr.Present = true;
  rr.Mode = item.St.st_mode;
  rr.Uid = item.St.st_uid;
  rr.Gid = item.St.st_gid;
  if (!rules.KeepPermissions) {
    const bool execute = S_ISDIR(item.St.st_mode) || (item.St.st_mode & 0111) != 0;
    rr.Mode = (item.St.st_mode & S_IFMT) | 0444 | (execute ? 0111 : 0);
    rr.Uid = rr.Gid = 0;
  }
  rr.Modify = item.St.st_mtim.tv_sec;
  rr.Access = item.St.st_atim.tv_sec;
  rr.Change = item.St.st_ctim.tv_sec;
  if (rules.Reproducible) rr.Access = rr.Change = rr.Modify;
  rr.Name = item.Name;
  if (item.Link) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlinkat(fd, item.Name.c_str(), target.data(), target.size());
    target.resize(n > 0 ? static_cast<size_t>(n) : 0);
    rr.Link = target.empty() ? std::string(".") : target;
  }
  return rr;
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
  const TFieldRules Rules = {C.KeepPermissions, [] {
                               std::time_t epoch = 0;
                               return SourceDateEpoch(epoch);
                             }()};

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
      struct stat link {};
      // With Rock Ridge a link is recorded as a link, wherever it points.
      if (C.RockRidge && ::fstatat(fd, de->d_name, &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
        item.St = link;
        item.Error = 0;
        item.Link = true;
      }
    }
    std::sort(items.begin(), items.end(), [](const TItem& a, const TItem& b) { return a.Name < b.Name; });

    if (Recurse)
      for (const TItem& item : items)
        if (item.Error == 0 && S_ISDIR(item.St.st_mode)) ok = SubFolder(dir, source, fd, item) && ok;

    for (const TItem& item : items) {
      if (!MatchesMask(item.Name, Mask)) continue;
      const std::string path = source + item.Name;
      struct stat link {};
      if ((item.Error == ENOENT || item.Error == ELOOP) &&
          ::fstatat(fd, item.Name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode)) {
        // A link that leads nowhere has no content to lose.
        Refuse(C, "LINK LEADS NOWHERE (" + SystemText(item.Error) + "), SKIPPED", path);
        continue;
      }
      if (item.Error != 0) {
        Refuse(C, "CANNOT BE READ (" + SystemText(item.Error) + ")", path);
        ok = false;
        continue;
      }
      if (!S_ISREG(item.St.st_mode) && !item.Link) continue;  // folders; sockets, FIFOs and devices never
      TSearchRec found = FoundOf(item);
      if ((found.Attr & ~AttrMask & (faHidden | faSysFile | faVolumeID | faDirectory)) != 0) continue;
      if (ArchiveOnly && (found.Attr & faArchive) == 0) continue;
      if (path.size() >= PATH_MAX) {
        Refuse(C, "PATH TOO LONG, NOT ADDED", path);
        ok = false;
        continue;
      }
      if (int err = item.Link ? 0 : ReadError(fd, item); err != 0) {
        Refuse(C, "FILE CANNOT BE READ (" + SystemText(err) + ")", path);
        ok = false;
        continue;
      }
      TRockRidge rr;
      if (C.RockRidge) {
        rr = RockRidgeOf(fd, item, Rules);
        found.Name = FittedLongName(C, dir, item.Name, false);
      }
      found.AlternateName = AlternateNameFor(C, dir, found.Name, false);
      if (AddFileImpl(C, dir, found, path, 0, true, false, C.RockRidge ? &rr : nullptr) == TAddOutcome::Refused)
        ok = false;
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
    TSearchRec found = FoundOf(item);
    TRockRidge rr;
    if (C.RockRidge) {
      rr = RockRidgeOf(fd, item, Rules);
      found.Name = FittedLongName(C, dir, item.Name, true);
    }
    found.AlternateName = AlternateNameFor(C, dir, found.Name, true);
    std::string longName = found.Name;
    std::string shortName = found.AlternateName.empty() ? UpperCase(longName) : found.AlternateName;
    bool skip = false;
    if (C.OnAddDir) C.OnAddDir(&C, longName, shortName, skip);
    if (skip) return true;
    if (longName != found.Name) rr.Name = longName;  // the handler's name wins
    TDEntry* sub = AddDirectoryNamed(C, dir, found, longName, shortName, path, true,
                                     C.RockRidge ? &rr : nullptr);
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
  // A call that cannot add its folder whole takes back what it added.
  TTreeJournal journal(*this);
  const bool added = WalkFolder(ADir, ASource, AMask, AttrMask, Recurse, KeepSourcePath, ArchiveOnly);
  if (!added) journal.RollBack();
  return added;
}

bool VEZEZadira::WalkFolder(TDEntry* ADir, const std::string& ASource, const std::string& AMask,
                            int32_t AttrMask, bool Recurse, bool KeepSourcePath, bool ArchiveOnly) {
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
  if (::stat(source.c_str(), &st) == 0) {
    walk.Walked.push_back({st.st_dev, st.st_ino});
    // The destination takes the source folder's own fields unless it has some.
    if (RockRidge && !dir->RR->Present) {
      TItem self;
      self.St = st;
      dir->RR = RockRidgeOf(AT_FDCWD, self, walk.Rules);
      dir->RR.Edit().Name = dir->LongName;
    }
  }
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
