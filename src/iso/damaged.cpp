// Which files lost sectors to a read of a disc: the session's trees are
// imported as an earlier session is (its ISO 9660 tree, and its UDF tree when
// it has one) and every file's extent is held against the missing sectors.
#include <algorithm>

#include "iso/iso.h"
#include "iso/udf_private.h"

namespace {

// The entry's path in the tree, "/" between the names (a name may itself
// hold "\\", which the tree's own paths use).
std::string PathOf(const TFEntry& e) {
  std::string path = "/" + e.LongName;
  for (const TDEntry* dir = e.Owner; dir != nullptr && dir->Parent != dir; dir = dir->Parent)
    path = "/" + dir->LongName + path;
  return path;
}

void Collect(const VEZEZadira& c, const char* tree,
             const std::function<int64_t(uint32_t, uint32_t)>& missing,
             std::vector<TDamagedFile>& files) {
  for (const auto& e : c.FileTable) {
    if (e == nullptr || e->SubDir != nullptr || !e->Imported || e->ISOSize <= 0) continue;
    const int64_t sectors = Sectors(e->ISOSize);
    const int64_t first = static_cast<uint32_t>(e->ISOExtent);
    const auto count = static_cast<uint32_t>(std::min<int64_t>(sectors, 0x100000000ll - first));
    if (const int64_t lost = missing(static_cast<uint32_t>(first), count); lost > 0)
      files.push_back({tree, PathOf(*e), lost});
  }
}

}  // namespace

bool FilesHoldingSectors(VEZEZadira& c, int Session,
                         const std::function<int64_t(uint32_t First, uint32_t Count)>& Missing,
                         std::vector<TDamagedFile>& Files, std::string& Why) {
  Files.clear();
  const bool udf = c.UDF, rockRidge = c.RockRidge;
  const uint32_t startAddress = c.StartAddress;
  // The trees as they are recorded: nothing of a new layout applies.
  c.UDF = false;
  c.RockRidge = false;
  c.StartAddress = 0;
  const auto session = static_cast<int8_t>(std::clamp(Session, 1, 127));
  c.ResetImageBuilder(c.MaxFiles, c.MaxDirs);
  const bool iso = c.ImportSessionTree(session, nullptr) == VEZEZadira::TImportResult::Imported;
  if (iso) Collect(c, "ISO 9660", Missing, Files);
  else Why = "the ISO 9660 tree of session " + std::to_string(Session) + " cannot be read";

  bool udfRead = false;
  if (c.ReadTrackInformation(static_cast<uint8_t>(session))) {
    const uint32_t start = c.Track.Start, size = c.Track.Size;
    c.ResetImageBuilder(c.MaxFiles, c.MaxDirs);
    std::string why;
    if (ImportUdfTree(c, start, size > 0 ? start + size - 1 : 0, uint64_t{start} + (size > 0 ? size : 0xFFFFFFFFu),
                      c.RootDirectory(), why)) {
      udfRead = true;
      Collect(c, "UDF", Missing, Files);
    } else if (!why.empty()) {
      Why += std::string(Why.empty() ? "" : "; ") + "its UDF tree cannot be read (" + why + ")";
    }
  }
  c.ResetImageBuilder(c.MaxFiles, c.MaxDirs);
  c.UDF = udf;
  c.RockRidge = rockRidge;
  c.StartAddress = startAddress;
  return iso || udfRead;
}
