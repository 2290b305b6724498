// Data streaming: the 64-bit file streams over operating-system handles and
// the read-ahead cache that turns a prepared image into the stream of 64 KiB
// blocks of 2048-byte sectors that the recorder receives.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/common.h"

using TSha256 = std::array<uint8_t, 32>;  // a SHA-256 digest

// ---------------------------------------------------------------- metadata stream
// Bytes that a stream makes as they are read instead of keeping them: long
// runs of small descriptors, each made from a few fields of a compact table.
class TGeneratedBytes {
public:
  virtual ~TGeneratedBytes() = default;
  // Fills Dest with the bytes from Offset of the run on. Streams of one plan
  // read on their own threads: it changes nothing shared.
  virtual void Fill(int64_t Offset, std::span<uint8_t> Dest) const = 0;
};

// A growable in-memory byte stream: an image's metadata sectors. Most of the
// metadata is zero padding (every directory takes whole sectors for a few
// records), so only the bytes that are not zeros are kept, packed one after
// the other, with a table of the runs they form; everything else reads back
// as zeros, except runs that a generator makes when they are read. Writes append.
class TMemoryStream {
public:
  // Zeros written as data are left out in aligned pieces of this size.
  static constexpr size_t kPageBytes = 64;

  TMemoryStream() = default;
  // A move takes the contents and leaves the source empty.
  TMemoryStream(TMemoryStream&& Other) noexcept;
  TMemoryStream& operator=(TMemoryStream&& Other) noexcept;

  void Write(const void* Data, size_t Count);
  void Write(std::span<const uint8_t> Data) { Write(Data.data(), Data.size()); }
  void WriteZeros(size_t Count);
  // Appends Count bytes that Source makes when they are read.
  void WriteGenerated(std::shared_ptr<const TGeneratedBytes> Source, int64_t Count);
  int64_t Size() const { return size_; }
  // Copies the bytes from Offset on into Dest, at most up to the end of the
  // stream; the number of bytes copied.
  size_t Read(int64_t Offset, std::span<uint8_t> Dest) const;
  void Clear();  // empties the stream and gives its memory back

private:
  static constexpr size_t kChunkBytes = 65536;  // the kept bytes are allocated 64 KiB at a time
  // A run of kept bytes: where it starts in the stream and in the chunks; it
  // ends where the next run's bytes start in the chunks.
  struct TRun {
    int64_t At;
    uint64_t Kept;
  };
  struct TGenerated {
    int64_t At, Count;
    std::shared_ptr<const TGeneratedBytes> Source;
  };
  void Keep(const uint8_t* Data, size_t Count);
  void CopyKept(uint64_t From, uint8_t* Dest, size_t Count) const;
  std::vector<TRun> runs_;
  std::vector<TGenerated> generated_;  // in stream order; no kept bytes lie in them
  std::vector<std::unique_ptr<uint8_t[]>> chunks_;
  uint64_t kept_ = 0;  // bytes kept in the chunks
  int64_t size_ = 0;
};

// ---------------------------------------------------------------- the image plan
// One file (or image file) whose bytes the stream carries: Size bytes from
// sector FirstSector of the track on, zeros up to the end of its last sector.
struct TPlanSource {
  std::string Path;
  int64_t Size = 0;
  int64_t FirstSector = 0;  // relative to the track's first sector
  // A part of Path: Size bytes from byte Offset on. The file goes on past
  // them, which is then no sign that it grew.
  int64_t Offset = 0;
  bool Part = false;
};

// The sources of a plan, in stream order. A tree's files follow one another
// folder by folder, so each path is kept as the bytes it shares with the one
// before it and the rest, all in one buffer: a list of a whole tree costs
// little beside the tree itself.
class TPlanSources {
public:
  void Add(const TPlanSource& Source);
  void Reserve(size_t Count) { items_.reserve(Count); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

  // Reads the list front to back, each source whole.
  class const_iterator {
  public:
    const TPlanSource& operator*() const { return current_; }
    const TPlanSource* operator->() const { return &current_; }
    const_iterator& operator++();
    bool operator==(const const_iterator& Other) const { return at_ == Other.at_; }

  private:
    friend class TPlanSources;
    const_iterator(const TPlanSources& List, size_t At);
    void Load();
    const TPlanSources* list_;
    size_t at_;
    size_t text_ = 0;  // where the rest of the current path starts
    size_t long_ = 0;  // the long paths read so far
    TPlanSource current_;
  };
  const_iterator begin() const { return const_iterator(*this, 0); }
  const_iterator end() const { return const_iterator(*this, items_.size()); }

private:
  // 16 bytes a source; the rests follow one another in text_, so where one
  // starts is known by reading the list in order. Parts of files are few:
  // their offsets are kept apart, by source.
  struct TItem {
    int64_t Size;
    uint32_t FirstSector;  // sectors are 32-bit addresses
    uint16_t Shared;       // bytes taken from the path before
    uint16_t Length;       // bytes of the rest; kLong: the path is in long_
  };
  std::vector<std::pair<size_t, int64_t>> parts_;  // (source, offset), in order
  static constexpr uint16_t kLong = 0xFFFF;
  std::vector<TItem> items_;
  std::string text_;
  std::vector<std::string> long_;  // paths of 65,535 bytes or more, in order
  std::string last_;               // the path added last
};

// A checksum list the stream writes as one of its sources (SHA256SUMS): one
// line per file in the format of sha256sum, the digests of the files the
// same stream carries taken as they pass. Every line has its width once the
// names are known, so the layout knows the list's size before any digest.
struct TPlanManifest {
  struct TLine {
    int64_t Source = -1;  // the plan's source whose digest the line gives; -1: Digest
    TSha256 Digest{};
    std::string Name;     // as the line holds it (escaped when Escaped)
    bool Escaped = false; // the line begins with a backslash
  };
  std::vector<TLine> Lines;
  size_t Source = 0;  // the list's own place among the plan's sources
  // A second text the stream carries as it is (the files whose digest is not
  // known), at source MissingSource; -1 when there is none.
  int64_t MissingSource = -1;
  std::string MissingText;

  static size_t LineBytes(const TLine& Line) {
    return (Line.Escaped ? 1 : 0) + 64 + 2 + Line.Name.size() + 1;
  }
  int64_t Bytes() const;
  // One line of the list onto Text, with the digests of the sources (indexed
  // as the plan's sources).
  static void AppendLine(const TLine& Line, const std::vector<TSha256>& SourceDigests, std::string& Text);
};

// Where an area of the image lies and what wrote it, as the layout placed it.
struct TPlanArea {
  std::string Name;
  int64_t Start = 0;    // absolute sector
  int64_t Sectors = 0;
};

// A prepared image: everything the stream of a track is made of, laid out
// once and then only read, by as many streams as are made of it (an image
// file, a recording, a verify), on any thread.
struct TImagePlan {
  int64_t StartAddress = 0;  // the track's first sector on the disc
  int64_t TrackLength = 0;   // sectors the layout made
  // Zero sectors after a shorter track, up to 300 (the shortest a recorder takes).
  bool PadToMinimum = true;
  std::vector<TPlanArea> Areas;
  // The metadata from the track's first sector on; the sources follow it.
  TMemoryStream MetadataStream;
  TPlanSources Sources;  // in stream order
  // Metadata after the sources, from sector TailSector of the track on (a
  // format's closing descriptors); empty for most images.
  TMemoryStream TailStream;
  int64_t TailSector = 0;
  // The checksum list among the sources; nil without one.
  std::shared_ptr<const TPlanManifest> Manifest;
  // The layout and its sources disagree (an entry of the tree went missing):
  // the stream ends with an internal error instead of a wrong track.
  bool Broken = false;
  // The system area and the volume descriptors as generated, then FFh bytes:
  // what overwritable media get in sectors 0-31.
  std::array<uint8_t, 65537> DescriptorCopy{};
  int32_t DescriptorCopySize = 0;
  // Overwritable media holding an earlier volume: what sector 256 gets after
  // the new volume is written, the new UDF anchor or zeros over the earlier
  // volume's one. The UDF anchor writer fills DiscAnchor; the layout decides.
  std::array<uint8_t, 2048> DiscAnchor{};
  bool WriteDiscAnchor = false;

  int64_t TrackBytes() const { return TrackLength * 2048; }
  // TrackLength, at least 300 with PadToMinimum.
  int64_t ImageSectors() const { return PadToMinimum && TrackLength < 300 ? 300 : TrackLength; }
};

// ---------------------------------------------------------------- file streams
// Open modes, in the class library's 16-bit encoding: the low two bits give the
// access, bits 4-7 the sharing. Linux has no share modes, so the share bits are
// only checked; the low bits 3 and share bits above 0x40 are refused.
enum : uint16_t {
  fmCreate = 0xFFFF,
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareCompat = 0x0000,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyRead = 0x0030,
  fmShareDenyNone = 0x0040,
};

// Seek origins.
enum : uint16_t { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// Byte stream with 64-bit positions, offsets and sizes throughout.
class TStreamEx {
public:
  virtual ~TStreamEx() = default;
  // Sets the size and leaves the position at the new end. False with the
  // system's message text in Error when the system refuses. The base does nothing.
  virtual bool SetSize(int64_t NewSize, std::string& Error);
  // At most Count bytes in one system call; a failed call gives 0, never -1.
  virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
  // Origin soFromBeginning / soFromCurrent / soFromEnd; the new position, -1 on failure.
  virtual int64_t Seek(int64_t Offset, uint16_t Origin) = 0;
};

// A stream over a file descriptor it does not own.
class THandleStreamEx : public TStreamEx {
public:
  explicit THandleStreamEx(int AHandle) : Handle(AHandle) {}
  bool SetSize(int64_t NewSize, std::string& Error) override;
  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  int64_t Seek(int64_t Offset, uint16_t Origin) override;

  int Handle = -1;  // negative: no handle
  // The errno of the last Read that failed (Read gives 0 then, as at the end
  // of the file); 0 while every read succeeded.
  int ReadError = 0;
};

// Opens a file for reading without waiting on it: a FIFO, a device or a socket
// found where a file was laid out cannot hold the stream. Only regular files
// are accepted (others: errno ENOTSUP). The descriptor, blocking again for
// reading, or -1 with errno set.
int OpenSourceFile(const std::string& Path);
// The seam through which the streams open their sources: tests put a stand-in
// here (a source that never gives data, say); nullptr restores OpenSourceFile.
using TSourceOpener = int (*)(const std::string& Path);
void SetSourceOpener(TSourceOpener Opener);

// A stream that opens or creates its file and closes it when destroyed.
// Opening is a result, not an exception: Open gives the stream, or nullptr and
// a message naming the file ("Cannot open file \"<name>\". <system text>").
class TFileStreamEx : public THandleStreamEx {
public:
  static std::unique_ptr<TFileStreamEx> Open(const std::string& FileName, uint16_t Mode,
                                             std::string& Error);
  ~TFileStreamEx() override;
  TFileStreamEx(const TFileStreamEx&) = delete;
  TFileStreamEx& operator=(const TFileStreamEx&) = delete;

private:
  explicit TFileStreamEx(int fd) : THandleStreamEx(fd) {}
};

// ---------------------------------------------------------------- checksums
// SHA-256 of a byte stream, fed in pieces.
struct evp_md_ctx_st;  // the digest library's context

class TSha256Stream {
public:
  TSha256Stream();
  ~TSha256Stream();
  TSha256Stream(const TSha256Stream&) = delete;
  TSha256Stream& operator=(const TSha256Stream&) = delete;
  void Update(std::span<const uint8_t> Data);
  TSha256 Final();  // the digest; the stream starts again empty
  // The same bytes into two streams (the track's and a file's). Where the
  // processor has SHA instructions and both streams stand at a block
  // boundary, the two digests share one pass: the message schedule is the
  // same, and the rounds of one fill the other's waits.
  static void UpdateBoth(TSha256Stream& A, TSha256Stream& B, std::span<const uint8_t> Data);

private:
  // Without SHA instructions, the crypto library's context; with them, our own
  // state: the words, the bytes fed, the part of a block begun.
  evp_md_ctx_st* ctx_ = nullptr;
  std::array<uint32_t, 8> words_{};
  uint64_t length_ = 0;
  std::array<uint8_t, 64> block_{};
  void Restart();
};

// The digest as sha256sum prints it: 64 lower-case hex digits.
std::string Sha256Hex(const TSha256& Digest);
// Parses 64 hex digits (either case); false for anything else.
bool ParseSha256Hex(const std::string& Text, TSha256& Digest);
// A file name as a line of sha256sum holds it: a backslash, a newline and a
// carriage return escaped as sha256sum escapes them; Escaped tells whether
// anything was, and so whether the line begins with a backslash.
std::string Sha256SumName(std::string_view Name, bool& Escaped);
// One line of a sha256sum list, without its line end: the digest and the
// name, unescaped (text and binary mode alike). False for a line that is
// none: a malformed line, or an escape sha256sum does not write.
bool ParseSha256SumLine(std::string_view Line, TSha256& Digest, std::string& Name);

// What a track should hold, taken as the stream is produced: its SHA-256,
// and one byte per 2048-byte sector (32 bytes per 64 KiB block) that locates
// the first differing sector when the track is read back. A tag is a hash
// truncated to 8 bits: one differing sector in 256 shows the same tag, which
// the digest then catches.
class TTrackChecksums {
public:
  void Reserve(int64_t Sectors) { tags_.reserve(static_cast<size_t>(Sectors)); }
  void Add(std::span<const uint8_t> Sectors);  // whole sectors, in stream order
  // The tags alone, the digest fed through Sha() (beside a file's digest).
  void AddTags(std::span<const uint8_t> Sectors);
  TSha256Stream& Sha() { return sha_; }
  void Finish() { digest_ = sha_.Final(); complete_ = true; }
  bool Complete() const { return complete_; }
  const TSha256& Digest() const { return digest_; }
  int64_t SectorCount() const { return static_cast<int64_t>(tags_.size()); }
  uint8_t Tag(int64_t Sector) const { return tags_[static_cast<size_t>(Sector)]; }
  static uint8_t TagOf(std::span<const uint8_t> Sector);  // 2048 bytes

private:
  TSha256Stream sha_;
  std::vector<uint8_t> tags_;
  TSha256 digest_{};
  bool complete_ = false;
};

// ---------------------------------------------------------------- read-ahead cache
// Where a stream's kind-4 messages go (a source that grew since the layout).
using TNotify = std::function<void(const std::string& Text)>;

// How a stream of a plan ended, and what it carried: the value a verify of
// the track takes.
struct TStreamResult {
  TOutcome Outcome;
  std::shared_ptr<const TImagePlan> Plan;            // what was streamed
  std::shared_ptr<const TTrackChecksums> Checksums;  // of the whole stream; nil when not taken
};
constexpr int32_t kCacheBlockBytes = 65536;
constexpr int64_t kMinimumTrackBytes = 300 * 2048;  // pad-to-minimum length

// One cache block: 65,536 data bytes followed by the count of valid bytes. Its
// data is page-aligned, so that a transfer from it can go to the device (or the
// disc image) without a bounce copy.
struct alignas(4096) TCacheBlock {
  std::array<uint8_t, kCacheBlockBytes> Data;
  int32_t Count = 0;
};

// The producer of the sector stream of a plan: its metadata, then its sources
// in order, each at its first sector with zeros after its end, then zero
// sectors up to 300 when the plan pads to the minimum and is shorter. The
// plan is only read: it can be streamed again. It runs on a
// thread of its own from construction; at most FCapacity - 1 blocks are queued.
//
// Release: the object may be held by several owners (the recording start and
// the recording thread, each through a shared_ptr); whoever releases it last
// stops the thread (as an abort) and waits for it. Nothing the thread uses is
// freed before that.
class TCacheThread {
public:
  // CacheSize in bytes (FCapacity = CacheSize div 65,536, at least 2). The
  // kind-4 messages of the stream go to Notify, on the consumer's thread.
  // Without Digest the stream's checksums are not taken.
  TCacheThread(int32_t CacheSize, std::shared_ptr<const TImagePlan> Plan, TNotify Notify,
               bool Digest = true);
  ~TCacheThread();
  TCacheThread(const TCacheThread&) = delete;
  TCacheThread& operator=(const TCacheThread&) = delete;

  // Copies the oldest block into Dest (at least 65,536 bytes):
  // n > 0 bytes copied; 0 end of stream or aborted; -1 nothing ready yet.
  // A source file that grew since the layout is recorded with its laid-out
  // length; the kind-4 message naming it goes to Notify from here, on the
  // caller's thread, never from the cache thread.
  int32_t ReadBlock(std::span<uint8_t> Dest);
  // As ReadBlock, but hands over the oldest block itself instead of a copy:
  // the block with Count > 0 bytes, or nullptr with Status 0 (end of stream or
  // aborted) or -1 (nothing ready yet). Give it back with ReturnBlock once its
  // bytes are sent, for the producer to fill again.
  std::unique_ptr<TCacheBlock> TakeBlock(int32_t& Status);
  void ReturnBlock(std::unique_ptr<TCacheBlock> Block);
  // Waits at most TimeoutMs until a batch of blocks is queued (or the rest of
  // the stream, if shorter), the stream has ended, or the cache stopped.
  // True when so; ReadBlock may return a block even when it is false.
  bool WaitForBlock(uint32_t TimeoutMs);
  // Stops the cache: the queued blocks are dropped and FMessage becomes
  // "OPERATION ABORTED BY USER" unless a message is already set.
  void Abort();

  // The outcome text: empty while all is well. Set only once: a second text is ignored.
  std::string FMessage() const;
  void SetMessage(const std::string& Text);
  // The same, with what the text was made from.
  TOutcome Outcome() const;
  void SetOutcome(const TOutcome& Value);
  // Waits at most TimeoutMs until FPrimed or a message. True when primed.
  bool WaitPrimed(uint32_t TimeoutMs);
  // Waits at most TimeoutMs until FFinished. True when finished.
  bool WaitFinished(uint32_t TimeoutMs);

  // Flags written by one thread and polled by the others; they only go false -> true.
  std::atomic<bool> FPrimed{false};    // full once, or everything read: recording may start
  std::atomic<bool> FFinished{false};  // nothing more will be delivered
  std::atomic<bool> FAborted{false};

  // The checksums of the stream, once all of it has been produced; nullptr
  // before that, after a failure, and when made without Digest.
  std::shared_ptr<const TTrackChecksums> Checksums() const;

  // The plan streamed.
  const std::shared_ptr<const TImagePlan>& Plan() const { return plan_; }

  // For inspection (tests, progress).
  int32_t FCapacity() const { return capacity_; }
  int32_t QueuedBlocks() const;
  int64_t FRemaining() const;
  uint8_t FPriorityBand() const { return priorityBand_.load(); }  // 0 idle .. 3 normal

private:
  void Execute();
  bool Produce();  // false after an error or abort exit
  void NewStagingBlock();
  void StageBytes(int32_t n);
  bool StageZerosUpTo(int64_t At);
  void AppendStaged();
  bool WaitForRoom();
  void AbortExit();
  void AbortExitLocked();
  void ErrorExit(const TOutcome& Value);
  void HashBlocks();
  void HashFiles(std::span<const uint8_t> Data, TTrackChecksums* Track);
  bool StageText(std::string_view Text);
  bool StageManifest(int64_t Size);
  void StopHasher();
  void SetPriorityBand(uint8_t band, bool force = false);

  // What to stream: the producer never touches the file tree, which may change after.
  const std::shared_ptr<const TImagePlan> plan_;
  const TNotify notify_;
  const int32_t capacity_;
  const int32_t refillBatch_;  // free blocks that wake a producer waiting for room
  const int64_t imageBytes_;
  const bool padToMinimum_;
  const bool digest_;

  mutable std::mutex lock_;            // FBlocks, FRemaining, the notes
  std::condition_variable changed_;    // a block queued, a flag set (the consumer's side)
  std::condition_variable room_;       // room freed, the stream drained, an abort (the producer's)
  std::deque<std::unique_ptr<TCacheBlock>> blocks_;  // FBlocks: hashed, for the consumer
  // Read but not yet hashed: the digest's helper takes them in order and
  // queues them in FBlocks, so that hashing runs beside the reading.
  std::deque<std::unique_ptr<TCacheBlock>> unhashed_;
  std::condition_variable toHash_;     // a block to hash, the end of the reading, a stop
  int32_t inFlight_ = 0;               // read and not yet taken: unhashed, in hashing, queued
  bool allRead_ = false;               // nothing more comes for the helper
  bool waitingForRoom_ = false;        // the producer is full, at idle priority
  bool hashStop_ = false;
  std::vector<std::unique_ptr<TCacheBlock>> spare_;  // taken blocks, kept for reuse
  int64_t remaining_;
  bool produced_ = false;              // the whole stream is queued or taken
  std::vector<std::string> notes_;     // kind-4 messages for the consumer's thread to report

  mutable std::mutex messageLock_;
  TOutcome outcome_;  // FMessage is its text

  // Producer's own state.
  std::atomic<uint8_t> priorityBand_{2};
  int baseNice_ = 0;
  bool bandsAllowed_ = false;
  std::unique_ptr<TCacheBlock> staging_;  // FStaging: the block being assembled
  int32_t stagingOffset_ = 0;
  int64_t producedBytes_ = 0;
  // Taken by the producer as it queues each block, off the consumer's thread.
  std::shared_ptr<TTrackChecksums> checksums_ = std::make_shared<TTrackChecksums>();
  std::thread hasher_;  // started and joined by the producer's thread
  // The digest of every source, for the plan's checksum list: taken by the
  // helper as it hashes the blocks, read by the producer once hashedBytes_
  // has reached the list.
  std::vector<TSha256> fileDigests_;
  int64_t hashedBytes_ = 0;            // of the stream, hashed and queued (lock_)
  std::condition_variable hashed_;     // hashedBytes_ grew while the producer waits for it
  bool waitingForHash_ = false;
  // The helper's own: the source whose bytes come next, and its digest so far.
  std::unique_ptr<TSha256Stream> fileSha_;
  std::unique_ptr<TPlanSources::const_iterator> fileAt_;
  size_t fileIndex_ = 0;
  int64_t hashAt_ = 0;  // where the block being hashed starts in the stream
  std::thread thread_;
};

// Writes the stream of a plan into a new file at Path, or into a pipe or
// device there, or to standard output for "-": exactly the stream a recorder
// would receive. False with a readable outcome on any failure; the checksums
// come with the result (none without Digest).
bool WriteImageFile(std::shared_ptr<const TImagePlan> Plan, int32_t CacheSize,
                    const std::string& Path, TStreamResult& Result, const TNotify& Notify,
                    bool Digest = true);
