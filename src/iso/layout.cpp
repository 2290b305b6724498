// Layout of a new session: where it starts on the disc, the path-table order
// of the directories, and the plan: each area writer measured and placed in
// turn, then asked for its bytes.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_map>
#include <vector>

#include "iso/iso.h"
#include "iso/writers.h"

namespace {

constexpr uint32_t kInvalidAddress = 0xFF000000u;
constexpr const char* kUdfAnchorTakenText =
    "UDF CANNOT BE ADDED TO THIS REWRITABLE DISC: ITS SECTOR 256, WHERE READERS FIND UDF, HOLDS THE FILE ";
constexpr int64_t kUdfAnchorSector = 256;
constexpr int64_t kMinimumTrack = 300;

// The path of an entry as a Linux mount shows it.
std::string EntryPath(const TFEntry& e) {
  std::string path = e.Owner != nullptr && e.Owner->Path != "\\" ? e.Owner->Path : "";
  path += "\\" + e.LongName;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// Sector 256 of the disc holds a UDF anchor (tag, its checksum, its place).
bool EarlierUdfAnchor(VEZEZadira& c) {
  std::array<uint8_t, 2048> s{};
  if (!c.Read10(static_cast<uint32_t>(kUdfAnchorSector), 1, s.data(), static_cast<uint32_t>(s.size()))) return false;
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = static_cast<uint8_t>(sum + s[i]);
  const uint32_t at = uint32_t{s[12]} | uint32_t{s[13]} << 8 | uint32_t{s[14]} << 16 | uint32_t{s[15]} << 24;
  return s[0] == 2 && s[1] == 0 && sum == s[4] && at == kUdfAnchorSector;
}

}  // namespace

bool VEZEZadira::GetNextWritableAddress() {
  StartAddress = 0;
  WaitUntilReady(10000, 500);
  const uint16_t kind = DiscKind();
  // The write parameters are sent as for a closing session, then put back.
  SetWriteParameters({TestWrite, UnderrunProtection, true, CurrentDiscKind});
  WaitUntilReady(10000, 500);

  // An image file is laid out for address 0: overwritable media take it there.
  if (!SourceImage.empty() && IsOverwritable(kind, CurrentProfile)) return true;
  if (Medium(kind, CurrentProfile).NextAfterVolume) {
    // No sessions on these media: the new image goes after the volume that the
    // disc already carries, found by its descriptor near sector 16.
    StartAddress = RecordedVolumeEnd();
    return true;
  }

  const uint8_t track = RefreshDiscInformation() ? Disc.LastTrackInLastSession
                                                 : static_cast<uint8_t>(RecordedSessions() + 1);
  if (!ReadTrackInformation(track)) return false;
  StartAddress = Track.NextWritable;
  return true;
}

void OrderDirectories(VEZEZadira& c) {
  // Path-table order: level by level, each directory's subdirectories together
  // and ranked by ISO name, the parents in the order already given. A walk
  // through the levels with the siblings sorted gives it in O(n log n).
  const size_t n = c.DirTable.size();
  if (n == 0) return;
  std::unordered_map<const TDEntry*, uint32_t> indexOf;
  indexOf.reserve(n);
  for (size_t i = 0; i < n; ++i) indexOf.emplace(c.DirTable[i].get(), static_cast<uint32_t>(i));

  // Children of every record, in creation order (a counting sort by parent).
  std::vector<uint32_t> parentOf(n, 0);
  std::vector<uint32_t> firstChild(n + 1, 0);
  for (size_t i = 1; i < n; ++i) {
    const auto it = indexOf.find(c.DirTable[i]->Parent);
    parentOf[i] = it != indexOf.end() ? it->second : 0;
    ++firstChild[parentOf[i] + 1];
  }
  for (size_t i = 0; i < n; ++i) firstChild[i + 1] += firstChild[i];
  std::vector<uint32_t> children(n > 0 ? n - 1 : 0);
  std::vector<uint32_t> fill(firstChild.begin(), firstChild.end() - 1);
  for (size_t i = 1; i < n; ++i) children[fill[parentOf[i]]++] = static_cast<uint32_t>(i);

  // Each tree ranks siblings by its own identifiers: the ISO names as bytes,
  // the Joliet names by their UTF-16 units.
  std::vector<std::u16string> joliet(n);
  for (size_t i = 0; i < n; ++i) joliet[i] = Utf8ToUtf16(c.JolietName(*c.DirTable[i]));
  auto levelOrder = [&](auto less) {
    std::vector<uint32_t> order;
    order.reserve(n);
    order.push_back(0);
    std::vector<bool> placed(n, false);
    placed[0] = true;
    for (size_t head = 0; head < order.size(); ++head) {
      const uint32_t p = order[head];
      const size_t begin = order.size();
      for (uint32_t k = firstChild[p]; k < firstChild[p + 1]; ++k) {
        if (placed[children[k]]) continue;
        placed[children[k]] = true;
        order.push_back(children[k]);
      }
      std::stable_sort(order.begin() + static_cast<std::ptrdiff_t>(begin), order.end(), less);
    }
    // A record that no parent chain reaches would be lost: keep it, at the end.
    for (size_t i = 1; i < n; ++i)
      if (!placed[i]) order.push_back(static_cast<uint32_t>(i));
    return order;
  };
  const std::vector<uint32_t> iso =
      levelOrder([&c](uint32_t a, uint32_t b) { return c.DirTable[a]->ISOName < c.DirTable[b]->ISOName; });
  const std::vector<uint32_t> jol =
      levelOrder([&joliet](uint32_t a, uint32_t b) { return joliet[a] < joliet[b]; });
  c.ISOPathOrder.resize(n);
  c.JolietPathOrder.resize(n);
  for (size_t i = 0; i < n; ++i) {
    c.ISOPathOrder[i] = c.DirTable[iso[i]].get();
    c.ISOPathOrder[i]->Number = static_cast<int32_t>(i + 1);
    c.JolietPathOrder[i] = c.DirTable[jol[i]].get();
    c.JolietPathOrder[i]->JolietNumber = static_cast<int32_t>(i + 1);
  }
}

bool VEZEZadira::PrepareImage(bool ImageOnly, TDEntry* ImportDir) {
  // The previous plan goes first: a stream still running holds its own reference.
  Plan.reset();
  DoDebug = false;
  StartAddress = 0;
  SourceImage.clear();  // the file tree is recorded, not an image file
  SourceImageBytes = 0;
  LastOutcome = {};
  if (!ImageOnly) {
    CurrentDiscKind = DiscKind();
    if (!GetNextWritableAddress()) DebugMessage(">>> ERROR GETTING NEXT WRITABLE ADDRESS", MSG_ERROR);
    if (StartAddress > kInvalidAddress) StartAddress = 0;
    // Readers of overwritable media find UDF by the anchor at sector 256,
    // which the new volume's goes over once it is written: a new volume that
    // would itself cover that sector starts after it.
    if (UDF && StartAddress > 0 && StartAddress <= kUdfAnchorSector &&
        IsOverwritable(CurrentDiscKind, CurrentProfile))
      StartAddress = kUdfAnchorSector + 1;
    // Nothing is laid out for a disc that must not be recorded as it stands.
    if (const std::string refusal = RecordingRefusal(); !refusal.empty()) {
      LastOutcome = TOutcome(refusal, TOutcomeCode::Refused);
      DebugMessage(refusal, MSG_ERROR);
      DoDebug = true;
      return false;
    }
    if (ImportSession != 0) {
      // An import that failed ends the preparation: nothing is recorded.
      try {
        if (ImportSessionTree(static_cast<int8_t>(ImportSession & 0xFF), ImportDir) ==
            TImportResult::Failed) {
          DoDebug = true;
          return false;
        }
      } catch (const std::exception& e) {
        DebugMessage(e.what(), MSG_FILE);
        DoDebug = true;
        return false;
      }
    }
  }

  // On a disc with sessions, UDF's partition reaches back to the earlier
  // sessions' files and readers find the new volume by the session's start.
  // Overwritable media have no sessions: readers look at sector 256 of the
  // disc, which the new volume's anchor takes once it is written. A file the
  // new tree keeps there would be lost.
  const bool discAnchor = !ImageOnly && StartAddress > kUdfAnchorSector &&
                          IsOverwritable(CurrentDiscKind, CurrentProfile);
  if (UDF && discAnchor) {
    for (const auto& e : FileTable) {
      if (e == nullptr || !e->Imported || e->ISOSize <= 0 || e->ISOExtent > kUdfAnchorSector ||
          e->ISOExtent + (e->ISOSize + kSectorSize - 1) / kSectorSize <= kUdfAnchorSector)
        continue;
      const std::string refusal = std::string(kUdfAnchorTakenText) + EntryPath(*e);
      LastOutcome = TOutcome(refusal, TOutcomeCode::Refused);
      DebugMessage(refusal, MSG_ERROR);
      DoDebug = true;
      return false;
    }
  }

  if (!AddManifestEntries(*this)) {
    DoDebug = true;
    return false;
  }
  MakeJolietNamesUnique();
  ComposeManifest(*this);
  OrderDirectories(*this);

  // Every area measured and placed in turn, from the session's first sector.
  auto plan = std::make_shared<TImagePlan>();
  plan->StartAddress = StartAddress;
  plan->PadToMinimum = WritePostGap;
  const std::vector<std::unique_ptr<TAreaWriter>> writers = SessionWriters(*this);
  struct TPlaced {
    TAreaWriter* Writer;  // nil: sectors no area uses, zeros
    int64_t Start, Sectors;
  };
  std::vector<TPlaced> placed;
  std::vector<bool> done(writers.size(), false);
  int64_t pos = StartAddress;
  auto skipTo = [&](int64_t at) {
    if (at > pos) placed.push_back({nullptr, pos, at - pos});
    pos = at;
  };
  auto place = [&](size_t i, int64_t sectors) {
    writers[i]->Place(pos);
    placed.push_back({writers[i].get(), pos, sectors});
    done[i] = true;
    pos += sectors;
  };
  for (size_t i = 0; i < writers.size(); ++i) {
    if (done[i]) continue;
    if (const int64_t fixed = writers[i]->FixedAt(); fixed >= 0) {
      skipTo(std::max(pos, int64_t{StartAddress} + fixed));
      place(i, writers[i]->Measure(pos));
      continue;
    }
    int64_t sectors = writers[i]->Measure(pos);
    // An area that would cover a later fixed one goes after it.
    for (size_t j = i + 1; j < writers.size(); ++j) {
      const int64_t fixed = done[j] ? -1 : writers[j]->FixedAt();
      if (fixed < 0) continue;
      const int64_t at = int64_t{StartAddress} + fixed;
      if (pos <= at && pos + sectors > at) {
        skipTo(at);
        place(j, writers[j]->Measure(pos));
        sectors = writers[i]->Measure(pos);
      }
    }
    place(i, sectors);
  }
  EndSector = pos;
  TrackLength = EndSector - int64_t{StartAddress};
  if (EndSector > kLastAddressableSector) {
    DebugMessage(ImageTooLargeText(EndSector), MSG_ERROR);
    DoDebug = true;
    return false;
  }

  // Then their bytes, once every address is known: the metadata before the
  // file data, the tail after it, each area exactly its sectors.
  MetadataTime = ImageClockNow();
  TMemoryStream* out = &plan->MetadataStream;
  int64_t base = StartAddress;
  for (const TPlaced& area : placed) {
    const int64_t at = (area.Start - base) * kSectorSize;
    if (area.Writer == nullptr)
      out->WriteZeros(static_cast<size_t>(area.Sectors * kSectorSize));
    else
      area.Writer->Write(*plan, *out);
    const bool data = area.Writer != nullptr && area.Writer->FileData();
    if (!data && out->Size() != at + area.Sectors * kSectorSize) {
      DebugMessage(std::string("INTERNAL ERROR 0006: ") + (area.Writer ? area.Writer->Name() : "unused") +
                       " area of " + std::to_string(area.Sectors) + " sectors wrote " +
                       std::to_string(out->Size() - at) + " bytes",
                   MSG_ERROR);
      DoDebug = true;
      return false;
    }
    if (data) {
      out = &plan->TailStream;
      base = area.Start + area.Sectors;
      plan->TailSector = base - int64_t{StartAddress};
    }
  }
  plan->Areas.reserve(placed.size());
  for (const TPlaced& area : placed)
    plan->Areas.push_back({area.Writer ? area.Writer->Name() : "unused", area.Start, area.Sectors});
  plan->TrackLength = TrackLength;
  // Sector 256 then names the new UDF volume, or none: an earlier volume's
  // anchor left there would lead readers to the earlier tree.
  if (discAnchor && (UDF || EarlierUdfAnchor(*this))) {
    if (!UDF) plan->DiscAnchor.fill(0);
    plan->WriteDiscAnchor = true;
  }
  Plan = std::move(plan);
  DoDebug = true;
  return true;
}

int64_t VEZEZadira::ImageSectors() {
  if (WritePostGap && TrackLength < kMinimumTrack) return kMinimumTrack;
  return TrackLength;
}
