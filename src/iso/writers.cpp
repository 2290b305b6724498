// The area writers of a new session, in the order their areas take on the
// disc: the system area and the volume descriptors, the path tables of both
// trees, the ISO directories and their Rock Ridge continuation areas, the
// Joliet directories, the padding up to the first file, then the file data.
#include <algorithm>
#include <array>

#include "iso/iso.h"
#include "iso/writers.h"

namespace {

constexpr int64_t kFirstFileSectorMin = 150;

class TDescriptorWriter final : public TAreaWriter {
public:
  explicit TDescriptorWriter(VEZEZadira& c) : c_(c) {}
  const char* Name() const override { return "volume descriptors"; }
  // The system area, the primary descriptor, the Joliet one and the terminator;
  // with UDF, its volume recognition sequence after them.
  int64_t Measure(int64_t) override {
    return 16 + 1 + (c_.JolietFileSystem ? 1 : 0) + 1 + (c_.UDF ? kVolumeRecognitionSectors : 0);
  }
  void Place(int64_t) override {}
  void Write(TImagePlan& Plan, TMemoryStream& Out) override {
    Out.WriteZeros(16 * 2048);
    WritePrimaryDescriptor(c_, Out);
    if (c_.JolietFileSystem) WriteJolietDescriptor(c_, Out);
    WriteTerminator(Out);
    if (c_.UDF) WriteVolumeRecognition(Out);
    // Kept for the recording sequence.
    Plan.DescriptorCopy.fill(0xFF);
    Plan.DescriptorCopySize = static_cast<int32_t>(Out.Read(0, Plan.DescriptorCopy));
  }

private:
  VEZEZadira& c_;
};

// The L and the M path table of one tree, one after the other.
class TPathTableWriter final : public TAreaWriter {
public:
  TPathTableWriter(VEZEZadira& c, TImageTree tree) : c_(c), tree_(tree) {}
  const char* Name() const override { return tree_ == TImageTree::ISO ? "path tables" : "Joliet path tables"; }
  int64_t Measure(int64_t) override {
    if (tree_ == TImageTree::ISO) {
      c_.PathTableSize = static_cast<uint32_t>(MeasurePathTable(c_, tree_));
      return 2 * Sectors(c_.PathTableSize);
    }
    c_.JolietPathTableSize = 0;
    if (!c_.JolietFileSystem) return 0;
    c_.JolietPathTableSize = static_cast<uint32_t>(MeasurePathTable(c_, tree_));
    return 2 * Sectors(c_.JolietPathTableSize);
  }
  void Place(int64_t At) override {
    if (tree_ == TImageTree::ISO) {
      c_.PathTableL = static_cast<uint32_t>(At);
      c_.PathTableM = static_cast<uint32_t>(At + Sectors(c_.PathTableSize));
      return;
    }
    c_.JolietPathTableL = static_cast<uint32_t>(At);
    if (c_.JolietFileSystem) c_.JolietPathTableM = static_cast<uint32_t>(At + Sectors(c_.JolietPathTableSize));
  }
  void Write(TImagePlan&, TMemoryStream& Out) override {
    if (tree_ == TImageTree::Joliet && !c_.JolietFileSystem) return;
    const uint32_t base = tree_ == TImageTree::ISO ? c_.DirArea : c_.JolietDirArea;
    WritePathTable(c_, tree_, base, TPathTableType::L, Out);
    WritePathTable(c_, tree_, base, TPathTableType::M, Out);
  }

private:
  VEZEZadira& c_;
  const TImageTree tree_;
};

// The extents of every directory of one tree, in table order. The ISO tree's
// Rock Ridge fields that do not fit its records are collected on the way, for
// the continuation writer.
class TDirectoryWriter final : public TAreaWriter {
public:
  TDirectoryWriter(VEZEZadira& c, TImageTree tree) : c_(c), tree_(tree) {}
  const char* Name() const override { return tree_ == TImageTree::ISO ? "directories" : "Joliet directories"; }
  int64_t Measure(int64_t) override {
    int64_t offset = 0;
    continued_ = 0;
    if (tree_ == TImageTree::ISO) {
      for (const auto& d : c_.DirTable) {
        d->ISODirSize = MeasureDirectory(c_, tree_, *d, &d->ContinuationSize);
        d->ISODirOffset = static_cast<int32_t>(offset);
        offset += d->ISODirSize / 2048;
        d->ContinuationOffset = static_cast<int32_t>(continued_);
        continued_ += d->ContinuationSize / 2048;
      }
      c_.DirAreaSize = static_cast<uint32_t>(offset * 2048);
      return Sectors(c_.DirAreaSize);
    }
    c_.JolietDirAreaSize = 0;
    if (!c_.JolietFileSystem) return 0;
    for (const auto& d : c_.DirTable) {
      d->JolietDirSize = MeasureDirectory(c_, tree_, *d);
      d->JolietDirOffset = static_cast<int32_t>(offset);
      offset += d->JolietDirSize / 2048;
    }
    c_.JolietDirAreaSize = static_cast<uint32_t>(offset * 2048);
    return Sectors(c_.JolietDirAreaSize);
  }
  void Place(int64_t At) override {
    if (tree_ == TImageTree::ISO)
      c_.DirArea = static_cast<uint32_t>(At);
    else if (c_.JolietFileSystem)
      c_.JolietDirArea = static_cast<uint32_t>(At);
  }
  void Write(TImagePlan&, TMemoryStream& Out) override {
    if (tree_ == TImageTree::Joliet && !c_.JolietFileSystem) return;
    const uint32_t base = tree_ == TImageTree::ISO ? c_.DirArea : c_.JolietDirArea;
    // The records are made again as the stream reads them.
    auto extents = std::make_shared<TDirectoryExtents>();
    for (const auto& d : c_.DirTable)
      WriteDirectory(c_, tree_, *d, base, c_.FirstFileSector, *extents,
                     tree_ == TImageTree::ISO ? &continuation_ : nullptr);
    extents->Shrink();
    const int64_t size = extents->Size();
    Out.WriteGenerated(std::move(extents), size);
  }
  // Sectors of Rock Ridge continuation areas the measure found, and their bytes once written.
  int64_t ContinuedSectors() const { return continued_; }
  const TMemoryStream& Continuation() const { return continuation_; }

private:
  VEZEZadira& c_;
  const TImageTree tree_;
  int64_t continued_ = 0;
  TMemoryStream continuation_;
};

// The continuation areas of the Rock Ridge fields follow the directories they
// belong to, so that a reader going through the disc in order meets them
// before any file.
class TContinuationWriter final : public TAreaWriter {
public:
  TContinuationWriter(VEZEZadira& c, const TDirectoryWriter& iso) : c_(c), iso_(iso) {}
  const char* Name() const override { return "Rock Ridge continuation areas"; }
  int64_t Measure(int64_t) override {
    c_.ContinuationAreaSize = static_cast<uint32_t>(iso_.ContinuedSectors() * 2048);
    return iso_.ContinuedSectors();
  }
  void Place(int64_t At) override { c_.ContinuationArea = static_cast<uint32_t>(At); }
  void Write(TImagePlan&, TMemoryStream& Out) override {
    const TMemoryStream& from = iso_.Continuation();
    std::array<uint8_t, 2048> piece{};
    for (int64_t at = 0; at < from.Size(); at += 2048)
      Out.Write(piece.data(), from.Read(at, piece));
  }

private:
  VEZEZadira& c_;
  const TDirectoryWriter& iso_;
};

// Zero sectors up to sector 150, where the first file may start at the earliest.
class TPaddingWriter final : public TAreaWriter {
public:
  explicit TPaddingWriter(VEZEZadira& c) : c_(c) {}
  const char* Name() const override { return "padding"; }
  int64_t Measure(int64_t At) override {
    c_.PadSectors = kFirstFileSectorMin - At;
    return std::max<int64_t>(c_.PadSectors, 0);
  }
  void Place(int64_t) override {}
  void Write(TImagePlan&, TMemoryStream& Out) override {
    if (c_.PadSectors > 0) Out.WriteZeros(static_cast<size_t>(c_.PadSectors) * 2048);
  }

private:
  VEZEZadira& c_;
};

// The files of the tree in FileTable order, each from a sector boundary: the
// order in which the stream carries them. Extents are relative to the first
// file sector; imported entries keep theirs on the disc. The plan's list of
// sources is made on the same pass.
class TFileDataWriter final : public TAreaWriter {
public:
  explicit TFileDataWriter(VEZEZadira& c) : c_(c) {}
  const char* Name() const override { return "file data"; }
  bool FileData() const override { return true; }
  int64_t Measure(int64_t At) override {
    const int64_t first = At - int64_t{c_.StartAddress};
    int64_t sectors = 0;
    sources_ = {};
    sources_.Reserve(static_cast<size_t>(c_.EntryCount));
    sourceEntries_.clear();
    broken_ = c_.FileTable.size() != static_cast<size_t>(c_.EntryCount);
    for (const auto& e : c_.FileTable) {
      if (e == nullptr) {
        broken_ = true;
        continue;
      }
      if (e->Imported) continue;
      if ((e->Attr & faDirectory) != 0 && e->SubDir != nullptr) {
        e->ISOExtent = e->SubDir->ISODirOffset;
        e->JolietExtent = e->SubDir->JolietDirOffset;
        e->ISOSize = e->SubDir->ISODirSize;
        e->JolietSize = e->SubDir->JolietDirSize;
      } else if (e->ISOSize != 0) {
        e->JolietSize = e->ISOSize;
        e->ISOExtent = e->JolietExtent = static_cast<int32_t>(sectors);
        // Data laid out that no source gives cannot be streamed.
        if ((e->Attr & faDirectory) != 0 || e->SourcePath.Empty() || e->ISOSize < 0)
          broken_ = true;
        else {
          if (c_.ManifestDraft) sourceEntries_.push_back(e.get());
          sources_.Add({e->SourceText(), e->ISOSize, first + sectors, c_.SourceOffset(*e), e->SourcePart});
        }
        sectors += Sectors(e->ISOSize);
      } else {
        e->ISOSize = e->JolietSize = 0;
        e->ISOExtent = e->JolietExtent = 0;
      }
    }
    c_.FileSectors = sectors;
    return sectors;
  }
  void Place(int64_t At) override { c_.FirstFileSector = static_cast<uint32_t>(At); }
  void Write(TImagePlan& Plan, TMemoryStream&) override {
    // Sources follow one another on the disc: an entry's is found by its extent.
    Plan.Manifest = PlanManifest(c_, [this](const TFEntry* e) -> int64_t {
      if (e == nullptr) return -1;
      const auto it = std::lower_bound(sourceEntries_.begin(), sourceEntries_.end(), e->ISOExtent,
                                       [](const TFEntry* s, int32_t at) { return s->ISOExtent < at; });
      return it != sourceEntries_.end() && *it == e ? it - sourceEntries_.begin() : -1;
    });
    sourceEntries_ = {};
    Plan.Sources = std::move(sources_);
    // A manifest laid out that the plan cannot make would leave its sectors unwritten.
    Plan.Broken = Plan.Broken || broken_ || (c_.ManifestDraft && !Plan.Manifest);
  }

private:
  VEZEZadira& c_;
  TPlanSources sources_;
  std::vector<const TFEntry*> sourceEntries_;  // with a manifest: the entry of each source
  bool broken_ = false;
};

}  // namespace

std::vector<std::unique_ptr<TAreaWriter>> SessionWriters(VEZEZadira& c) {
  std::vector<std::unique_ptr<TAreaWriter>> w;
  w.push_back(std::make_unique<TDescriptorWriter>(c));
  // UDF's volume descriptors come next, so that the ISO metadata after them
  // fills the sectors up to UDF's anchor at 256 where it can.
  const std::shared_ptr<TUdfLayout> shared = c.UDF ? NewUdfLayout() : nullptr;
  if (c.UDF) AddUdfVolumeWriters(c, shared, w);
  w.push_back(std::make_unique<TPathTableWriter>(c, TImageTree::ISO));
  w.push_back(std::make_unique<TPathTableWriter>(c, TImageTree::Joliet));
  auto iso = std::make_unique<TDirectoryWriter>(c, TImageTree::ISO);
  auto continuation = std::make_unique<TContinuationWriter>(c, *iso);
  w.push_back(std::move(iso));
  w.push_back(std::move(continuation));
  w.push_back(std::make_unique<TDirectoryWriter>(c, TImageTree::Joliet));
  if (c.UDF) AddUdfPartitionWriters(c, shared, w);
  w.push_back(std::make_unique<TPaddingWriter>(c));
  w.push_back(std::make_unique<TFileDataWriter>(c));
  if (c.UDF) AddUdfTailWriters(c, shared, w);
  return w;
}
