// The check of a disc that carries its own proof: the session's tree is read
// as an earlier session is for an update, its SHA256SUMS (ours or any other
// tool's, in the format of sha256sum) is read from the root, and every file
// it names is read back and hashed. The names are those a Linux mount shows,
// as the list was made with them.
#include "cli/check_disc.h"

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/workflow.h"

namespace {

enum : int { kAllMatch = 0, kSomeBad = 1, kNothingChecked = 2 };
constexpr uint16_t kSectorsPerRead = 32;  // 64 KiB requests
constexpr const char* kListName = "SHA256SUMS";

// A name as sha256sum shows it, on one line.
std::string Shown(const std::string& name) {
  bool escaped = false;
  const std::string text = Sha256SumName(name, escaped);
  return escaped ? "\\" + text : text;
}

struct TListed {
  const TManifestLine* Line;
  const TFEntry* Entry;
};

// The file's SHA-256 as the disc holds it; false with Why when a sector cannot be read.
bool ReadDigest(VEZEZadira& c, const TFEntry& e, TSha256& digest, std::string& why, int64_t& done,
                const TProgressView& progress) {
  const auto block = std::make_unique<TCacheBlock>();
  TSha256Stream sha;
  const int64_t sectors = Sectors(e.ISOSize);
  for (int64_t at = 0; at < sectors;) {
    const auto n = static_cast<uint16_t>(std::min<int64_t>(kSectorsPerRead, sectors - at));
    const uint64_t lba = static_cast<uint64_t>(e.ISOExtent) + static_cast<uint64_t>(at);
    if (lba + n > 0x100000000ull) {
      why = "SECTOR " + std::to_string(lba) + " CANNOT BE READ [LBA OUT OF RANGE]";
      return false;
    }
    if (!c.Read10(static_cast<uint32_t>(lba), n, block->Data.data(), uint32_t{n} * kSectorSize)) {
      // Which sector of the request is it? Each one again, alone.
      for (uint16_t k = 0; k < n; ++k)
        if (!c.Read10(static_cast<uint32_t>(lba + k), 1, block->Data.data() + size_t{k} * kSectorSize,
                      kSectorSize)) {
          why = "SECTOR " + std::to_string(lba + k) + " CANNOT BE READ [" +
                (c.LastError.empty() ? "READ ERROR" : c.LastError) + "]";
          return false;
        }
    }
    const int64_t bytes = std::min<int64_t>(int64_t{n} * kSectorSize, e.ISOSize - at * kSectorSize);
    sha.Update(std::span(block->Data.data(), static_cast<size_t>(bytes)));
    at += n;
    done += n;
    progress.Show(static_cast<int32_t>(done));
  }
  digest = sha.Final();
  return true;
}

}  // namespace

int CheckDisc(VEZEZadira& c, const TCommandLine& Line, const TProgressView& Progress) {
  const int session = ChosenSession(c, Line.Session);
  if (session == 0) return kNothingChecked;
  // Read as a Linux mount shows it: Rock Ridge names where the session has them.
  c.RockRidge = true;
  c.UDF = false;
  if (c.ImportSessionTree(static_cast<int8_t>(session), nullptr) != VEZEZadira::TImportResult::Imported) {
    std::cerr << "mburn: the tree of session " << session << " cannot be read\n";
    return kNothingChecked;
  }

  std::unordered_map<std::string, const TFEntry*> files;
  std::unordered_map<std::string, const TFEntry*> folded;  // ISO names, as a mount maps their case
  const TFEntry* list = nullptr;
  for (const auto& e : c.FileTable) {
    if (!e || !IsManifestFile(*e)) continue;
    const std::string path = MountPath(c, *e);
    files.emplace(path, e.get());
    folded.emplace(UpperCase(path), e.get());
    if (path == kListName) list = e.get();
  }
  if (list == nullptr) {
    std::cerr << "mburn: session " << session << " has no " << kListName << " at its root\n";
    return kNothingChecked;
  }
  std::vector<TManifestLine> lines;
  int64_t bad = 0;
  std::string why;
  if (!ReadManifestFile(c, *list, lines, bad, why)) {
    std::cout << kListName << " CANNOT BE READ: " << why << '\n';
    return kSomeBad;
  }
  if (bad > 0) std::cerr << "mburn: " << bad << " line(s) of " << kListName << " list no file, skipped\n";
  if (lines.empty()) {
    std::cerr << "mburn: " << kListName << " of session " << session << " lists no file\n";
    return kNothingChecked;
  }

  // Disc order, so that the drive reads forward.
  std::vector<TListed> listed;
  int64_t failed = 0, sectors = 0;
  for (const TManifestLine& line : lines) {
    auto it = files.find(line.Name);
    if (it == files.end()) it = folded.find(UpperCase(line.Name));
    if (it == files.end() || it->second == nullptr) {
      std::cout << "MISSING: " << Shown(line.Name) << '\n';
      ++failed;
      continue;
    }
    listed.push_back({&line, it->second});
    sectors += Sectors(it->second->ISOSize);
  }
  std::stable_sort(listed.begin(), listed.end(), [](const TListed& a, const TListed& b) {
    return a.Entry->ISOExtent < b.Entry->ISOExtent;
  });

  std::cout << "CHECKING - PLEASE WAIT" << std::endl;
  Progress.SetMax(static_cast<int32_t>(std::max<int64_t>(sectors, 1)));
  Progress.Show(0);
  int64_t done = 0, good = 0;
  for (const TListed& f : listed) {
    TSha256 digest{};
    const int64_t before = done;
    if (!ReadDigest(c, *f.Entry, digest, why, done, Progress)) {
      Progress.End();
      std::cout << "CANNOT BE READ: " << Shown(f.Line->Name) << " (" << why << ")" << std::endl;
      ++failed;
      done = before + Sectors(f.Entry->ISOSize);
      continue;
    }
    if (digest != f.Line->Digest) {
      Progress.End();
      std::cout << "DIFFERS: " << Shown(f.Line->Name) << std::endl;
      ++failed;
      continue;
    }
    ++good;
  }
  Progress.Show(static_cast<int32_t>(std::max<int64_t>(sectors, 1)));
  Progress.End();
  std::cout << "Check done - " << good << " of " << lines.size() << " files good" << std::endl;
  return failed == 0 ? kAllMatch : kSomeBad;
}
