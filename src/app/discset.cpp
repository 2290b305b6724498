#include "app/discset.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "stream/stream.h"

namespace {

struct TBlankMedium {
  const char* Name;
  int64_t Sectors;  // what a blank disc of the kind offers
};

// The capacities the makers give for the common discs.
constexpr TBlankMedium kMedia[] = {
    {"cd-r", 359847},       {"cd-rw", 359847},      {"dvd-r", 2298496},   {"dvd-rw", 2298496},
    {"dvd+r", 2295104},     {"dvd+rw", 2295104},    {"dvd-ram", 2236704}, {"dvd-r-dl", 4171712},
    {"dvd+r-dl", 4173824},  {"bd-r", 12219392},     {"bd-re", 12219392},  {"bd-r-dl", 24438784},
    {"bd-re-dl", 24438784}, {"bd-r-xl", 48878592},
};

std::string Hex(const TSha256& digest, size_t digits) { return Sha256Hex(digest).substr(0, digits); }

// The first problem a call reports (a file the walk cannot read, say).
class TFirstProblem {
public:
  explicit TFirstProblem(VEZEZadira& c) : c_(c), debug_(c.DoDebug), previous_(c.OnDebugMessage) {
    c.DoDebug = true;
    c.OnDebugMessage = [this](TObject*, const std::string& message, uint8_t kind) {
      if (kind != MSG_INFO && text_.empty()) text_ = message;
    };
  }
  ~TFirstProblem() {
    c_.DoDebug = debug_;
    c_.OnDebugMessage = previous_;
  }
  TFirstProblem(const TFirstProblem&) = delete;
  TFirstProblem& operator=(const TFirstProblem&) = delete;
  const std::string& Text() const { return text_; }

private:
  VEZEZadira& c_;
  bool debug_;
  TOnDebugMsg previous_;
  std::string text_;
};

// A name as one line of the set's file can carry it.
std::string LineName(const std::string& name) {
  std::string out;
  for (const char ch : name) {
    if (ch == '\n') out += "\\n";
    else if (ch == '\\') out += "\\\\";
    else out += ch;
  }
  return out;
}

// A number right-aligned in Width characters.
std::string Padded(size_t number, size_t width) {
  const std::string text = std::to_string(number);
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char ch : text) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return out + "'";
}

// The folder of the tree that takes a part of f. Folders that only parts
// bring to the disc get the fields of their source folders (Rock Ridge's and
// the date), as the folder walk gives them to the others.
TDEntry* PartFolder(VEZEZadira& c, const TDiscSet& set, const TSetFile& f) {
  if (TDEntry* dir = c.FindDirectory(f.TreeDir)) return dir;
  TDEntry* dir = c.ForcePath(f.TreeDir);
  std::string source = set.Options.Folder, tree;
  size_t from = 0, treeFrom = 1;
  for (size_t slash = f.Path.find('/'); slash != std::string::npos && dir != nullptr;
       slash = f.Path.find('/', from)) {
    source += "/" + f.Path.substr(from, slash - from);
    from = slash + 1;
    const size_t end = f.TreeDir.find('\\', treeFrom);
    tree = f.TreeDir.substr(0, end);
    treeFrom = end == std::string::npos ? f.TreeDir.size() : end + 1;
    TDEntry* folder = c.FindDirectory(tree);
    struct stat st {};
    if (folder == nullptr || folder->RR->Present || ::stat(source.c_str(), &st) != 0) continue;
    c.OnAddFile = [](TObject*, const std::string&, std::string&, std::string&, TDateTime&, int32_t,
                     int64_t, bool& Skip) { Skip = true; };
    c.AddFolderToDir(folder, source, "*.*", faAnyFile, false, false, false);  // its own fields only
    c.OnAddFile = nullptr;
    if (TFEntry* own = c.FindEntry(folder->Parent, folder->LongName))
      own->DateTime = FileDateToDateTime(DateTimeToFileDate(FromUnixTimeLocal(st.st_mtime)));
  }
  return dir;
}

// Adds Pieces to the empty tree of c: the whole files through the folder walk
// (which gives them every field a burn gives them), the parts by their range,
// and the set's file.
bool FillPieces(VEZEZadira& c, const TDiscSet& set, const std::vector<TSetPiece>& pieces,
                const std::string& setFile, int64_t setFileBytes, std::string& error) {
  std::unordered_map<std::string, int64_t> whole;
  for (const TSetPiece& p : pieces)
    if (p.Part == 0) whole.emplace(set.Files[p.File].Source, set.Files[p.File].Size);
  const std::string changed = "the folder has changed since the set was planned: ";
  if (!whole.empty()) {
    TFirstProblem problem(c);
    c.OnAddFile = [&whole](TObject*, const std::string& FullPath, std::string&, std::string&,
                           TDateTime&, int32_t, int64_t, bool& Skip) {
      if (!whole.count(FullPath)) Skip = true;
    };
    const bool added = c.AddFolder("\\", set.Options.Folder, set.Options.Mask, faAnyFile, true, false, false);
    c.OnAddFile = nullptr;
    if (!added) {
      error = problem.Text().empty() ? "the folder " + set.Options.Folder + " cannot be read" : problem.Text();
      return false;
    }
    size_t found = 0;
    for (const auto& e : c.FileTable) {
      if (e->SubDir != nullptr || e->SourcePath.Empty()) continue;
      const auto it = whole.find(e->SourceText());
      if (it == whole.end()) continue;
      if (it->second != e->ISOSize) {
        error = changed + e->SourceText() + " is no longer " + std::to_string(it->second) + " bytes";
        return false;
      }
      ++found;
    }
    if (found != whole.size()) {
      error = changed + std::to_string(whole.size() - found) + " of its files are gone";
      return false;
    }
  }
  for (const TSetPiece& p : pieces) {
    if (p.Part == 0) continue;
    const TSetFile& f = set.Files[p.File];
    struct stat st {};
    if (::stat(f.Source.c_str(), &st) != 0 || st.st_size != f.Size) {
      error = changed + f.Source + " is no longer " + std::to_string(f.Size) + " bytes";
      return false;
    }
    TSearchRec found;
    found.Name = PartName(f.Name, p.Part);
    found.Size = p.Size;
    found.Attr = faArchive;
    found.Time = DateTimeToFileDate(FromUnixTimeLocal(static_cast<std::time_t>(f.Mtime)));
    if (!c.AddFilePart(PartFolder(c, set, f), found, f.Source, p.Offset)) {
      error = "part " + found.Name + " of " + f.Source + " cannot be added to the image";
      return false;
    }
  }
  TSearchRec found;
  found.Name = kSetFileName;
  found.Size = setFileBytes;
  found.Attr = faArchive;
  found.Time = DateTimeToFileDate(ImageClockNow());
  if (!c.AddFilePart(c.RootDirectory(), found, setFile, 0)) {
    error = std::string(kSetFileName) + " cannot be added to the image";
    return false;
  }
  return true;
}

// Lays out a disc holding Pieces: its sectors, or -1 with Error.
int64_t Measure(const TDiscSet& set, const std::vector<TSetPiece>& pieces, std::string& error) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  ApplySetOptions(c, set.Options);
  // Only its size counts here: the layout opens no source.
  if (!FillPieces(c, set, pieces, "/dev/null", set.SetFileBytes, error)) return -1;
  TFirstProblem problem(c);
  if (!c.PrepareImage(true, nullptr)) {
    error = problem.Text().empty() ? "the image of a disc cannot be laid out" : problem.Text();
    return -1;
  }
  return c.ImageSectors();
}

// Sectors a file is likely to add to a disc beside its data: its records in
// the ISO 9660 and Joliet folders, its Rock Ridge fields, its line in
// SHA256SUMS and its UDF entry. Only a guess: the layout then says.
int64_t Overhead(const TSetOptions& o, const TSetFile& f) {
  const int64_t name = static_cast<int64_t>(f.Name.size()) + 8;
  int64_t bytes = 2 * (40 + name) + (o.RockRidge ? 200 : 0) +
                  (o.Manifest ? 70 + static_cast<int64_t>(f.Path.size()) : 0);
  if (o.UDF) bytes += 2048 + 40 + name;
  return Sectors(bytes);
}

// Where the plan stands: the next file, how much of it is on earlier discs,
// and the number of its next part.
struct TCursor {
  size_t File = 0;
  int64_t Offset = 0;
  int Part = 1;
};

class TPlanner {
public:
  TPlanner(TDiscSet& set, std::string& error) : set_(set), error_(error) {}

  bool Run() {
    set_.Discs.clear();
    cut_.assign(set_.Files.size(), -1);
    const int64_t cap = set_.Options.Capacity;
    base_ = Measure(set_, {}, error_);
    if (base_ < 0) return false;
    if (base_ > cap) {
      error_ = "a disc of " + std::to_string(cap) + " sectors cannot hold even " + kSetFileName +
               " (" + std::to_string(base_) + " sectors)";
      return false;
    }
    TCursor at;
    while (at.File < set_.Files.size()) {
      TSetDisc disc;
      if (!Disc(at, disc)) return false;
      if (disc.Pieces.empty()) {
        error_ = "no disc of " + std::to_string(cap) + " sectors can take " + set_.Files[at.File].Source;
        return false;
      }
      set_.Discs.push_back(std::move(disc));
    }
    return true;
  }

private:
  // A file larger than one disc: it does not fit on a disc of its own.
  bool MustCut(size_t i) {
    if (cut_[i] >= 0) return cut_[i] == 1;
    const int64_t data = Sectors(set_.Files[i].Size), cap = set_.Options.Capacity;
    bool cut = data + base_ > cap;
    if (!cut && data + base_ + 512 > cap) {
      const int64_t alone = Measure(set_, {{i, 0, 0, set_.Files[i].Size}}, error_);
      if (alone < 0) return failed_ = true, false;
      cut = alone > cap;
    }
    cut_[i] = cut ? 1 : 0;
    return cut;
  }

  // Fills one disc from `at` on, in tree order: guesses, then lays out to
  // check and mends the guess from what the layout says.
  bool Disc(TCursor& at, TSetDisc& disc) {
    const int64_t cap = set_.Options.Capacity;
    std::vector<TSetPiece>& pieces = disc.Pieces;
    int64_t measured = base_;   // the sectors of the pieces [0, fitting)
    size_t fitting = 0;
    std::vector<TCursor> before;  // the cursor before each piece, to take it back
    for (int round = 0; round < 64; ++round) {
      // Adds pieces while the guess says they fit.
      int64_t guess = measured;
      for (size_t k = fitting; k < pieces.size(); ++k)
        guess += Sectors(pieces[k].Size) + Overhead(set_.Options, set_.Files[pieces[k].File]);
      bool endsInPart = false;
      while (at.File < set_.Files.size()) {
        const TSetFile& f = set_.Files[at.File];
        const bool cut = at.Offset > 0 || MustCut(at.File);
        if (failed_) return false;
        const int64_t overhead = Overhead(set_.Options, f);
        if (!cut) {
          const int64_t need = Sectors(f.Size) + overhead;
          if (guess + need > cap) break;
          before.push_back(at);
          pieces.push_back({at.File, 0, 0, f.Size});
          guess += need;
          ++at.File;
          continue;
        }
        const int64_t room = cap - guess - overhead;
        if (room <= 0) break;
        const int64_t size = std::min(f.Size - at.Offset, room * kSectorSize);
        before.push_back(at);
        pieces.push_back({at.File, at.Part, at.Offset, size});
        guess += Sectors(size) + overhead;
        if (at.Offset + size == f.Size) {
          at = {at.File + 1, 0, 1};
          continue;
        }
        at.Offset += size;
        ++at.Part;
        endsInPart = true;
        break;
      }
      if (pieces.size() == fitting) break;  // nothing more fits
      const int64_t sectors = Measure(set_, pieces, error_);
      if (sectors < 0) return false;
      if (sectors <= cap) {
        measured = sectors;
        fitting = pieces.size();
        if (!endsInPart) continue;  // room may be left: the guess was cautious
        // The part takes what room is left.
        TSetPiece& last = pieces.back();
        const TSetFile& f = set_.Files[last.File];
        const int64_t more = std::min((cap - sectors) * kSectorSize, f.Size - last.Offset - last.Size);
        if (more <= 0) break;
        last.Size += more;
        at = {last.File, last.Offset + last.Size, last.Part + 1};
        if (at.Offset == f.Size) at = {last.File + 1, 0, 1};
        fitting = pieces.size() - 1;  // to be measured again
        measured = sectors;           // without the growth: checked below
        const int64_t grown = Measure(set_, pieces, error_);
        if (grown < 0) return false;
        if (grown <= cap) {
          measured = grown;
          fitting = pieces.size();
          if (at.Offset == 0) continue;  // the file ended here after all
          break;
        }
        // Metadata grew with it: give back the excess below.
        if (!TakeBack(pieces, before, at, grown - cap)) return false;
        break;
      }
      if (!TakeBack(pieces, before, at, sectors - cap)) return false;
      break;
    }
    disc.Sectors = Measure(set_, pieces, error_);
    if (disc.Sectors < 0) return false;
    if (disc.Sectors > cap) {
      error_ = "the plan of a disc does not fit it: " + std::to_string(disc.Sectors) + " sectors";
      return false;
    }
    return true;
  }

  // Takes pieces back from the end of a disc until Excess sectors are gone
  // and the layout says the rest fits: a part is shortened, a whole file goes
  // to the next disc.
  bool TakeBack(std::vector<TSetPiece>& pieces, std::vector<TCursor>& before, TCursor& at,
                int64_t excess) {
    const int64_t cap = set_.Options.Capacity;
    while (excess > 0 && !pieces.empty()) {
      TSetPiece& last = pieces.back();
      const int64_t sectors = Sectors(last.Size);
      if (last.Part > 0 && sectors > excess) {
        last.Size = (sectors - excess) * kSectorSize;
        at = {last.File, last.Offset + last.Size, last.Part + 1};
      } else {
        at = before.back();
        pieces.pop_back();
        before.pop_back();
      }
      const int64_t now = Measure(set_, pieces, error_);
      if (now < 0) return false;
      excess = now - cap;
    }
    return true;
  }

  TDiscSet& set_;
  std::string& error_;
  int64_t base_ = 0;
  std::vector<int> cut_;  // per file: -1 not known yet, 1 larger than a disc, 0 not
  bool failed_ = false;
};

// The folder's files in tree order, with the digest of their paths, sizes and times.
bool ListFiles(TDiscSet& set, std::string& error) {
  VEZEZadira c(kLargestEntries, kLargestDirs);
  ApplySetOptions(c, set.Options);
  {
    TFirstProblem problem(c);
    if (!c.AddFolder("\\", set.Options.Folder, set.Options.Mask, faAnyFile, true, false, false)) {
      error = problem.Text().empty() ? "the folder " + set.Options.Folder + " cannot be read" : problem.Text();
      return false;
    }
  }
  std::string prefix = set.Options.Folder;
  if (!prefix.ends_with('/')) prefix += '/';
  std::unordered_set<std::string> paths;
  TSha256Stream digest;
  std::function<void(TDEntry*)> walk = [&](TDEntry* dir) {
    for (TFEntry* e = dir->Entries; e != nullptr; e = e->Next) {
      if (e->SubDir != nullptr) {
        walk(e->SubDir);
        continue;
      }
      if (e->SourcePath.Empty()) continue;
      TSetFile f;
      f.Source = e->SourceText();
      f.Path = f.Source.rfind(prefix, 0) == 0 ? f.Source.substr(prefix.size()) : f.Source;
      const size_t slash = f.Path.rfind('/');
      f.Name = slash == std::string::npos ? f.Path : f.Path.substr(slash + 1);
      f.TreeDir = dir->Path;
      f.Size = e->ISOSize;
      struct stat st {};
      if (::lstat(f.Source.c_str(), &st) == 0) f.Mtime = st.st_mtim.tv_sec;
      const std::string line = f.Path + '\0' + std::to_string(f.Size) + '\0' + std::to_string(f.Mtime) + '\n';
      digest.Update(std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
      set.Bytes += f.Size;
      paths.insert(f.Path);
      set.Files.push_back(std::move(f));
    }
  };
  walk(c.RootDirectory());
  set.FolderDigest = Hex(digest.Final(), 16);
  if (paths.count(kSetFileName)) {
    error = std::string("the folder holds a file ") + kSetFileName + " at its root: each disc of a set carries its own";
    return false;
  }
  for (const TSetFile& f : set.Files)
    if (paths.count(PartName(f.Path, 1))) {
      error = "the folder holds both " + f.Path + " and " + PartName(f.Path, 1) +
              ": the parts of a cut file would take that name";
      return false;
    }
  return true;
}

}  // namespace

std::string SetName(const TSetOptions& Options) {
  if (!Options.VolumeId.empty()) return Options.VolumeId;
  std::string folder = Options.Folder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const size_t slash = folder.rfind('/');
  return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

std::string PartName(const std::string& Name, int Part) {
  char number[16];
  std::snprintf(number, sizeof number, "%03d", Part);
  return Name + ".part" + number;
}

bool StandardCapacity(const std::string& Media, int64_t& Sectors) {
  for (const TBlankMedium& m : kMedia)
    if (Media == m.Name) {
      Sectors = m.Sectors;
      return true;
    }
  return false;
}

std::string StandardMediaNames() {
  std::string names;
  for (const TBlankMedium& m : kMedia) names += (names.empty() ? "" : ", ") + std::string(m.Name);
  return names;
}

void ApplySetOptions(VEZEZadira& c, const TSetOptions& o) {
  c.ReplaceFile = true;
  c.ImportSession = 0;  // every disc of a set is a blank one of its own
  ApplyImageOptions(c, o);
}

void ApplyImageOptions(VEZEZadira& c, const TSetOptions& o) {
  c.JolietFileSystem = o.Joliet;
  c.RockRidge = o.RockRidge;
  c.KeepPermissions = o.KeepPermissions;
  c.UDF = o.UDF;
  c.Manifest = o.Manifest;
  c.IdVolume = o.VolumeId;
}

bool FillDisc(VEZEZadira& Component, const TDiscSet& Set, size_t Disc, const std::string& SetFile,
              std::string& Error) {
  struct stat st {};
  if (Disc >= Set.Discs.size() || ::stat(SetFile.c_str(), &st) != 0) {
    Error = std::string(kSetFileName) + " of the disc cannot be read";
    return false;
  }
  return FillPieces(Component, Set, Set.Discs[Disc].Pieces, SetFile, st.st_size, Error);
}

std::string SetFileText(const TDiscSet& Set, size_t Disc, const std::string& Date) {
  const size_t count = Set.Discs.size();
  const size_t width = std::to_string(count).size();
  const std::string number = Padded(Disc + 1, width);
  std::string text = "Micro Burner disc set: " + LineName(SetName(Set.Options)) + "\n" +
                     "Disc " + number + " of " + std::to_string(count) + ", recorded " + Date + "\n" +
                     "Plan " + Set.PlanDigest + " of a folder of " + std::to_string(Set.Files.size()) +
                     " files, " + std::to_string(Set.Bytes) + " bytes\n\n" +
                     "Every disc of the set is an ordinary disc: it holds its share of the folder\n"
                     "at the same paths. Copy every disc into one folder to have the folder back.\n";
  if (Set.Options.Manifest)
    text += "SHA256SUMS on each disc gives its files' digests: sha256sum -c SHA256SUMS\n";
  text += "\nDisc  File\n";
  std::vector<std::vector<std::string>> onDisc(Set.Files.size());
  for (size_t d = 0; d < count; ++d)
    for (const TSetPiece& p : Set.Discs[d].Pieces) {
      const TSetFile& f = Set.Files[p.File];
      text += Padded(d + 1, std::max<size_t>(width, 4)) + "  " + LineName(p.Part == 0 ? f.Path : PartName(f.Path, p.Part)) + "\n";
    }
  std::string joins;
  for (size_t i = 0; i < Set.Files.size(); ++i)
    if (Set.PartsOf[i] > 0)
      joins += "  cat " + ShellQuoted(Set.Files[i].Path + ".part") + "[0-9][0-9][0-9]* > " +
               ShellQuoted(Set.Files[i].Path) + "\n";
  if (!joins.empty())
    text += "\nFiles larger than a disc are cut into parts, NAME.part001, NAME.part002, ...\n"
            "Once the parts of every disc are in one folder, join them in order:\n" + joins +
            "and remove the parts.\n";
  return text;
}

bool PlanDiscSet(const TSetOptions& Options, TDiscSet& Set, std::string& Error) {
  Set = TDiscSet{};
  Set.Options = Options;
  if (Options.Capacity <= 0) {
    Error = "the discs of the set have no room";
    return false;
  }
  if (!ListFiles(Set, Error)) return false;
  if (Set.Files.empty()) {
    Error = "nothing to record: no file in " + Options.Folder + " matches " + Options.Mask;
    return false;
  }
  TSha256Stream digest;
  const std::string what = Set.FolderDigest + '\n' + std::to_string(Options.Capacity) + '\n' +
                           Options.Mask + '\n' + Options.VolumeId + '\n' + (Options.Joliet ? "J" : "") +
                           (Options.RockRidge ? "R" : "") + (Options.KeepPermissions ? "K" : "") +
                           (Options.UDF ? "U" : "") + (Options.Manifest ? "M" : "");
  digest.Update(std::span(reinterpret_cast<const uint8_t*>(what.data()), what.size()));
  Set.PlanDigest = Hex(digest.Final(), 16);
  // MBURN-SET.txt lists the plan, which depends on the room it takes: the
  // plan is made again with the room its text takes until the two agree. A
  // plan whose text fits in less room than it kept is still a plan, if not
  // the fullest.
  int64_t guess = 2048;
  for (const TSetFile& f : Set.Files)
    guess += (static_cast<int64_t>(f.Path.size()) + 16) * (f.Size / (Options.Capacity * kSectorSize) + 1);
  Set.SetFileBytes = Sectors(guess) * kSectorSize;
  const std::string date(23, '0');  // as wide as every date shown
  TDiscSet fitting;
  for (int attempt = 0; attempt < 8; ++attempt) {
    TPlanner planner(Set, Error);
    if (!planner.Run()) return false;
    Set.PartsOf.assign(Set.Files.size(), 0);
    for (const TSetDisc& d : Set.Discs)
      for (const TSetPiece& p : d.Pieces)
        if (p.Part > 0) Set.PartsOf[p.File] = std::max(Set.PartsOf[p.File], p.Part);
    const int64_t room = Sectors(static_cast<int64_t>(SetFileText(Set, 0, date).size())) * kSectorSize;
    if (room == Set.SetFileBytes) return true;
    if (room < Set.SetFileBytes) fitting = Set;
    Set.SetFileBytes = room;
  }
  if (!fitting.Discs.empty()) {
    Set = std::move(fitting);
    return true;
  }
  Error = "the set's list of files does not settle on a size";
  return false;
}
