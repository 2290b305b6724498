// The manifest of a session: a file SHA256SUMS at the root that lists every
// file of the tree with its SHA-256, in the format of sha256sum, so that the
// disc proves itself with the tools of any system. Its lines have their
// width once the names are known, so the layout places it (last of the
// files) before any digest exists; the stream fills in the digests it takes
// as it reads the files. Imported files keep the digests the earlier
// session's list gave them; those it cannot vouch for are named in
// SHA256SUMS.missing.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "iso/iso.h"
#include "iso/tree_private.h"
#include "iso/writers.h"

struct TManifestDraft {
  TFEntry* List = nullptr;     // SHA256SUMS
  TFEntry* Missing = nullptr;  // SHA256SUMS.missing, nil when every digest is known
  // Imported files whose digest the earlier session's list gives.
  std::unordered_map<const TFEntry*, TSha256> Known;
  // Per line: the entry whose digest the stream takes, nil when the line has it.
  std::vector<const TFEntry*> Streamed;
  // Composed with the layout and handed to its plan once: a million lines
  // are not kept twice.
  TPlanManifest Plan;
  bool Handed = false;
};

namespace {

constexpr const char* kListName = "SHA256SUMS";
constexpr const char* kMissingName = "SHA256SUMS.missing";
constexpr const char* kListPresentText =
    "A FILE NAMED SHA256SUMS IS ALREADY IN THE ROOT, NO MANIFEST CAN BE ADDED";
constexpr const char* kNoDigestText = "SHA-256 NOT KNOWN, LISTED IN SHA256SUMS.missing";
constexpr const char* kEarlierListText = "EARLIER SHA256SUMS CANNOT BE READ, ITS DIGESTS ARE NOT USED";
// An earlier list longer than this is not read: no tree of ours makes one.
constexpr int64_t kLargestList = 64 << 20;
constexpr uint32_t kReadSectors = 32;


// The dot that stands for a missing extension is no part of a file's name.
std::string WithoutBlankExtension(std::string_view name, bool file) {
  if (file && name.size() > 1 && name.ends_with('.') && name.find('.') == name.size() - 1)
    name.remove_suffix(1);
  return std::string(name);
}

// The name a Linux mount of the session shows: the Rock Ridge name when the
// tree carries Rock Ridge, else the Joliet name, else the ISO name as the
// kernel maps it (lower case).
std::string MountName(const VEZEZadira& c, const TFEntry& e) {
  const bool file = e.SubDir == nullptr && (e.Attr & faDirectory) == 0;
  if (c.RockRidge) {
    const TRockRidge* rr = e.SubDir != nullptr ? e.SubDir->RR.Get() : e.RR.Get();
    if (rr != nullptr && rr->Present && !rr->Name.empty()) return rr->Name;
    return WithoutBlankExtension(e.LongName, file);
  }
  if (c.JolietFileSystem) return WithoutBlankExtension(c.JolietName(e), file);
  std::string name = WithoutBlankExtension(e.ISOName, file);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
  return name;
}

// Paths from the root, each folder's made once.
class TMountPaths {
public:
  explicit TMountPaths(const VEZEZadira& c) : c_(c) {}
  std::string Of(const TFEntry& e) { return Folder(e.Owner) + MountName(c_, e); }

private:
  const std::string& Folder(const TDEntry* d) {
    if (d == nullptr || d->Parent == d || d->OwnEntry == nullptr) return root_;
    if (const auto it = folders_.find(d); it != folders_.end()) return it->second;
    std::string path = Folder(d->Parent) + MountName(c_, *d->OwnEntry) + "/";
    return folders_.emplace(d, std::move(path)).first->second;
  }
  const VEZEZadira& c_;
  const std::string root_;
  std::unordered_map<const TDEntry*, std::string> folders_;
};

TSha256 DigestOf(std::string_view text) {
  TSha256Stream sha;
  sha.Update(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  return sha.Final();
}

// One of the manifest's own files, at the root.
TFEntry* AddListEntry(VEZEZadira& c, TDEntry* root, const std::string& name) {
  TSearchRec found;
  found.Name = name;
  found.AlternateName = AlternateNameFor(c, root, name, false);
  found.Attr = faArchive;
  found.Time = DateTimeToFileDate(ImageClockNow());
  // Not the user's file: the add events are not asked about it.
  TAddFileEvent handler = std::exchange(c.OnAddFile, nullptr);
  const TAddOutcome added = AddFileImpl(c, root, found, name, 0, false);
  c.OnAddFile = std::move(handler);
  return added == TAddOutcome::Added ? c.FileTable.back().get() : nullptr;
}

bool Refused(VEZEZadira& c, const std::string& text) {
  c.LastOutcome = TOutcome(text, TOutcomeCode::Refused);
  c.DebugMessage(text, MSG_ERROR);
  return false;
}

}  // namespace

bool IsManifestFile(const TFEntry& Entry) {
  return Entry.SubDir == nullptr && (Entry.Attr & faDirectory) == 0 && Entry.RR->Link.empty();
}

std::string MountPath(const VEZEZadira& Component, const TFEntry& Entry) {
  return TMountPaths(Component).Of(Entry);
}

bool ReadManifestFile(VEZEZadira& c, const TFEntry& Entry, std::vector<TManifestLine>& Lines, int64_t& Bad,
                      std::string& Error) {
  Lines.clear();
  Bad = 0;
  if (Entry.ISOSize > kLargestList || Entry.ISOExtent <= 0) {
    Error = "LONGER THAN ANY LIST OF A TREE";
    return false;
  }
  const int64_t sectors = Sectors(Entry.ISOSize);
  std::string text(static_cast<size_t>(sectors * kSectorSize), '\0');
  for (int64_t at = 0; at < sectors;) {
    const auto n = static_cast<uint32_t>(std::min<int64_t>(kReadSectors, sectors - at));
    if (!c.Read10(static_cast<uint32_t>(Entry.ISOExtent + at), static_cast<uint16_t>(n),
                  reinterpret_cast<uint8_t*>(text.data()) + at * kSectorSize, n * kSectorSize)) {
      Error = "SECTOR " + std::to_string(Entry.ISOExtent + at) + " CANNOT BE READ [" +
              (c.LastError.empty() ? "READ ERROR" : c.LastError) + "]";
      return false;
    }
    at += n;
  }
  text.resize(static_cast<size_t>(Entry.ISOSize));
  for (size_t from = 0; from < text.size();) {
    size_t end = text.find('\n', from);
    if (end == std::string::npos) end = text.size();
    TManifestLine line;
    if (ParseSha256SumLine(std::string_view(text).substr(from, end - from), line.Digest, line.Name)) {
      if (line.Name.starts_with("./")) line.Name.erase(0, 2);
      Lines.push_back(std::move(line));
    } else if (end > from) {
      ++Bad;
    }
    from = end + 1;
  }
  return true;
}

bool AddManifestEntries(VEZEZadira& c) {
  TDEntry* root = c.RootDirectory();
  if (const std::shared_ptr<TManifestDraft> old = std::exchange(c.ManifestDraft, nullptr); old && root) {
    for (TFEntry* e = root->Entries; e != nullptr;) {
      TFEntry* next = e->Next;
      if (e == old->List || e == old->Missing) c.RemoveEntry(root, e);
      e = next;
    }
  }
  if (!c.Manifest || root == nullptr) return true;

  // Names that are ours at the root: a source of that name is never replaced;
  // an earlier session's list gives its digests and makes way for the new one.
  auto draft = std::make_shared<TManifestDraft>();
  TFEntry* earlier = nullptr;
  std::vector<TFEntry*> stale;
  for (TFEntry* e = root->Entries; e != nullptr; e = e->Next) {
    const bool file = e->SubDir == nullptr && (e->Attr & faDirectory) == 0;
    const std::string upper = UpperCase(WithoutBlankExtension(e->LongName, file));
    const std::string mounted = MountName(c, *e);
    const bool ours = upper == "SHA256SUMS" || upper == "SHA256SUMS.MISSING" || mounted == kListName ||
                      mounted == kMissingName;
    if (!ours) continue;
    if (!e->Imported || !IsManifestFile(*e))
      return Refused(c, std::string(kListPresentText) + ": " +
                            (e->SourcePath.Empty() ? std::string(e->LongName) : e->SourceText()));
    if (mounted == kListName) earlier = e;
    stale.push_back(e);
  }
  if (earlier != nullptr) {
    std::vector<TManifestLine> lines;
    int64_t bad = 0;
    std::string why;
    if (!ReadManifestFile(c, *earlier, lines, bad, why)) {
      c.DebugMessage(std::string(kEarlierListText) + " (" + why + ")", MSG_FILE);
    } else {
      std::unordered_map<std::string, TSha256> digests;
      for (TManifestLine& line : lines) digests.emplace(std::move(line.Name), line.Digest);
      // A digest vouches for the file the list was made with: one recorded
      // before the list (a later session without a list may have put another
      // file under that name).
      TMountPaths paths(c);
      for (const auto& e : c.FileTable)
        if (e && e->Imported && IsManifestFile(*e) && e->ISOExtent < earlier->ISOExtent)
          if (const auto it = digests.find(paths.Of(*e)); it != digests.end())
            draft->Known.emplace(e.get(), it->second);
    }
  }
  for (TFEntry* e : stale) {
    draft->Known.erase(e);
    c.RemoveEntry(root, e);
  }

  const bool anyMissing = std::any_of(c.FileTable.begin(), c.FileTable.end(), [&](const auto& e) {
    return e && e->Imported && IsManifestFile(*e) && e->ISOSize > 0 && draft->Known.count(e.get()) == 0;
  });
  if (anyMissing && (draft->Missing = AddListEntry(c, root, kMissingName)) == nullptr)
    return Refused(c, std::string("MAXIMUM FILES REACHED, NOT ADDED: ") + kMissingName);
  if ((draft->List = AddListEntry(c, root, kListName)) == nullptr)
    return Refused(c, std::string("MAXIMUM FILES REACHED, NOT ADDED: ") + kListName);
  c.ManifestDraft = std::move(draft);
  return true;
}

void ComposeManifest(VEZEZadira& c) {
  if (!c.ManifestDraft) return;
  TManifestDraft& d = *c.ManifestDraft;
  TPlanManifest& plan = d.Plan;
  plan = {};
  d.Handed = false;
  d.Streamed.clear();
  TMountPaths paths(c);
  std::vector<std::pair<const TFEntry*, std::string>> files;
  for (const auto& e : c.FileTable)
    if (e && e.get() != d.List && IsManifestFile(*e)) files.emplace_back(e.get(), paths.Of(*e));

  // The files whose digest nobody knows, first: the list names their list.
  for (const auto& [e, path] : files) {
    if (!e->Imported || e->ISOSize == 0 || d.Known.count(e) != 0) continue;
    bool escaped = false;
    const std::string name = Sha256SumName(path, escaped);
    const std::string line = (escaped ? "\\" : "") + name;
    plan.MissingText += line + "\n";
    c.DebugMessage(std::string(kNoDigestText) + ": " + line, MSG_FILE);
  }
  static const TSha256 kEmpty = DigestOf({});
  for (const auto& [e, path] : files) {
    TPlanManifest::TLine line;
    line.Name = Sha256SumName(path, line.Escaped);
    const TFEntry* streamed = nullptr;
    if (e == d.Missing)
      line.Digest = DigestOf(plan.MissingText);
    else if (e->ISOSize == 0)
      line.Digest = kEmpty;
    else if (!e->Imported)
      streamed = e;
    else if (const auto it = d.Known.find(e); it != d.Known.end())
      line.Digest = it->second;
    else
      continue;  // named in the missing list
    plan.Lines.push_back(std::move(line));
    d.Streamed.push_back(streamed);
  }
  d.List->ISOSize = d.List->JolietSize = plan.Bytes();
  if (d.Missing != nullptr)
    d.Missing->ISOSize = d.Missing->JolietSize = static_cast<int64_t>(plan.MissingText.size());
}

std::shared_ptr<const TPlanManifest> PlanManifest(const VEZEZadira& c,
                                                  const std::function<int64_t(const TFEntry*)>& SourceOf) {
  if (!c.ManifestDraft) return nullptr;
  TManifestDraft& d = *c.ManifestDraft;
  // A second plan of one layout would find the lines gone: none rather than
  // a list without them.
  if (d.Handed) return nullptr;
  d.Handed = true;
  auto plan = std::make_shared<TPlanManifest>(std::move(d.Plan));
  const int64_t list = SourceOf(d.List);
  if (list < 0) return nullptr;
  plan->Source = static_cast<size_t>(list);
  if (d.Missing != nullptr && (plan->MissingSource = SourceOf(d.Missing)) < 0) return nullptr;
  for (size_t i = 0; i < plan->Lines.size(); ++i)
    if (d.Streamed[i] != nullptr && (plan->Lines[i].Source = SourceOf(d.Streamed[i])) < 0) return nullptr;
  return plan;
}
