// Inside the image builder: the layout of a session as a sequence of area
// writers, and the generators they share. Each writer measures its area from
// the address it is offered, is placed there, and later writes its bytes into
// the plan. The layout asks them in order and knows nothing else of them: a
// new format is a new writer in SessionWriters.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "iso/iso.h"

enum class TImageTree { ISO, Joliet };
enum class TPathTableType { L, M };  // little-endian, big-endian

class TAreaWriter {
public:
  virtual ~TAreaWriter() = default;
  virtual const char* Name() const = 0;
  // The sector, counted from the session's first one, at which the area must
  // lie; -1 (most areas) when it follows the area before it. No other area
  // covers a fixed one's sectors: one that would goes after it.
  virtual int64_t FixedAt() const { return -1; }
  // Whether the area holds the file data (the plan's sources): the areas
  // after it are metadata that the stream carries after the files.
  virtual bool FileData() const { return false; }
  // Sectors the area takes when it starts at sector At; may lay out what it holds.
  virtual int64_t Measure(int64_t At) = 0;
  // Records where the area starts, for the writers that point into it.
  virtual void Place(int64_t At) = 0;
  // Appends exactly its sectors to Out, or its sources to the plan (file data).
  virtual void Write(TImagePlan& Plan, TMemoryStream& Out) = 0;
};

// The writers of a new session on c's tree, in the order of their areas.
std::vector<std::unique_ptr<TAreaWriter>> SessionWriters(VEZEZadira& c);

// ---- UDF (udf.cpp): the bridge format's writers, sharing what they lay out.
struct TUdfLayout;
std::shared_ptr<TUdfLayout> NewUdfLayout();
using TWriterList = std::vector<std::unique_ptr<TAreaWriter>>;
inline constexpr int64_t kVolumeRecognitionSectors = 3;  // BEA01, NSR02, TEA01
void WriteVolumeRecognition(TMemoryStream& Out);
// Its volume descriptor sequences and integrity descriptor (after the ISO descriptors).
void AddUdfVolumeWriters(VEZEZadira& c, const std::shared_ptr<TUdfLayout>& u, TWriterList& w);
// The anchor at sector 256 and the partition's file set, file entries and
// directories (before the file data).
void AddUdfPartitionWriters(VEZEZadira& c, const std::shared_ptr<TUdfLayout>& u, TWriterList& w);
// The anchor in the session's last sector (after the file data).
void AddUdfTailWriters(VEZEZadira& c, const std::shared_ptr<TUdfLayout>& u, TWriterList& w);

// ---- the manifest (manifest.cpp)
// Before the names are settled: takes out the entries an earlier preparation
// added, refuses a source named SHA256SUMS at the root, reads the digests of
// the imported files from the earlier session's list and, with Manifest on,
// adds the list's entries (last of FileTable). False with LastOutcome set.
bool AddManifestEntries(VEZEZadira& c);
// Once the names are final: the lines and the sizes of the list's entries.
void ComposeManifest(VEZEZadira& c);
// The plan's list, once every source has its place (SourceOf: the source
// index of an entry, -1 for none); nil without a manifest or when an entry
// has no source.
std::shared_ptr<const TPlanManifest> PlanManifest(const VEZEZadira& c,
                                                  const std::function<int64_t(const TFEntry*)>& SourceOf);

// Path-table order of the directories, and their numbers.
void OrderDirectories(VEZEZadira& c);

// ---- generators (descriptors.cpp, dirrecords.cpp)
void WritePrimaryDescriptor(const VEZEZadira& c, TMemoryStream& Out);
void WriteJolietDescriptor(const VEZEZadira& c, TMemoryStream& Out);
void WriteTerminator(TMemoryStream& Out);
int64_t MeasurePathTable(const VEZEZadira& C, TImageTree Tree);
void WritePathTable(const VEZEZadira& C, TImageTree Tree, uint32_t Base, TPathTableType Type,
                    TMemoryStream& Out);
// The bytes of a directory's extent; with Continuation, also those of its
// Rock Ridge continuation area (ISO tree with RockRidge on).
int64_t MeasureDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir,
                         int64_t* Continuation = nullptr);
// Where the walk over a directory's extent puts it: whole records, each
// within one sector, and the zeros that end a sector.
class TRecordSink {
public:
  virtual ~TRecordSink() = default;
  virtual void Record(std::span<const uint8_t> Bytes) = 0;
  virtual void Zeros(size_t Count) = 0;
};
// Appends the directory's extent to Out and its continuation area (if any)
// to Continuation.
void WriteDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir, uint32_t Base,
                    uint32_t FirstFile, TRecordSink& Out, TMemoryStream* Continuation = nullptr);

// The directory extents of a tree as the stream reads them: each record is
// kept as its fields, most of them told by how they differ from the record
// before it in the same sector (the extent that follows, the serial one
// higher, the date and the Rock Ridge times byte by byte, the name by the
// start it shares), the PX fields most records share once in a table; and
// made again, byte for byte, sector by sector. A record that does not take
// that form is kept whole. Sectors end in zeros.
class TDirectoryExtents final : public TRecordSink, public TGeneratedBytes {
public:
  TDirectoryExtents();
  ~TDirectoryExtents() override;
  void Record(std::span<const uint8_t> Bytes) override;
  void Zeros(size_t Count) override;
  void Fill(int64_t Offset, std::span<uint8_t> Dest) const override;
  int64_t Size() const { return static_cast<int64_t>(sectorAt_.size()) * 2048 + used_; }
  size_t WholeRecords() const { return whole_; }  // records kept as they are
  uint64_t KeptBytes() const { return kept_ + pending_.size(); }  // of the records' fields
  void Shrink();  // once the last extent is in

  // A record of the usual shape taken apart, and what the records of a
  // sector are told against (dirextents.cpp).
  struct TFields;
  struct TContext;

private:
  // Counts Bytes more of the sector, whose fields are in pending_.
  void Add(size_t Bytes);
  void AddWhole(std::span<const uint8_t> Bytes);
  void Sector(int64_t Index, uint8_t* Dest) const;

  // The fields of each finished sector, in chunks of 64 KiB that never split
  // one; where each sector's start (chunk << 32 | offset).
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  size_t chunkUsed_ = 0, chunkSize_ = 0;
  std::vector<uint64_t> sectorAt_;
  uint64_t kept_ = 0;
  // The sector being filled: its fields so far and the context they left.
  std::vector<uint8_t> pending_;
  std::unique_ptr<TContext> context_;
  size_t used_ = 0;  // its bytes taken
  size_t whole_ = 0;
  // The PX field but its serial, as records share it.
  std::vector<std::array<uint8_t, 36>> shared_;
  uint32_t lastShared_ = 0;
  std::unordered_map<std::string, uint32_t> sharedIndex_;
};
