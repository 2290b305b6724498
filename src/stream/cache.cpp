// The read-ahead cache: a producer thread that reads the metadata and the
// source files into 64 KiB blocks, and the consumer side that the recording
// thread calls.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "iso/iso.h"
#include "stream/stream.h"
#include "stream/stream_texts.h"

namespace {

constexpr int32_t kSector = 2048;

// Reads Count bytes unless the file ends or fails first; the bytes read.
int32_t ReadFull(TStreamEx& s, uint8_t* dst, int32_t count) {
  int32_t done = 0;
  while (done < count) {
    const int32_t n = s.Read(dst + done, count - done);
    if (n <= 0) break;
    done += n;
  }
  return done;
}

// Nice offsets of the bands idle, lowest, lower, normal, relative to the nice
// value the thread started with.
constexpr int kBandNice[4] = {19, 4, 2, 0};

// May this process raise a thread's priority back to `base` after lowering it?
// Lowering is always allowed; raising needs CAP_SYS_NICE or a nice limit.
bool CanRaiseTo(int base) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NICE, &rl) == 0 &&
      (rl.rlim_cur == RLIM_INFINITY || 20 - static_cast<int64_t>(rl.rlim_cur) <= base))
    return true;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const uint64_t caps = std::strtoull(line.c_str() + 7, nullptr, 16);
      return (caps >> 23) & 1;  // CAP_SYS_NICE
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------- construction
TCacheThread::TCacheThread(int32_t CacheSize, std::shared_ptr<const TImagePlan> Plan,
                           TNotify Notify, bool Digest)
    : plan_(Plan ? std::move(Plan) : std::make_shared<const TImagePlan>()),
      notify_(std::move(Notify)),
      capacity_(std::max<int32_t>(2, CacheSize / kCacheBlockBytes)),
      refillBatch_(std::max<int32_t>(1, capacity_ / 8)),
      imageBytes_(plan_->TrackBytes()),
      padToMinimum_(plan_->PadToMinimum && imageBytes_ < kMinimumTrackBytes),
      digest_(Digest),
      remaining_(imageBytes_) {
  if (digest_) checksums_->Reserve(std::max(imageBytes_, padToMinimum_ ? kMinimumTrackBytes : 0) / kSector);
  if (plan_->Manifest) {
    fileDigests_.resize(plan_->Sources.size());
    fileSha_ = std::make_unique<TSha256Stream>();
    fileAt_ = std::make_unique<TPlanSources::const_iterator>(plan_->Sources.begin());
  }
  thread_ = std::thread([this] { Execute(); });
}

TCacheThread::~TCacheThread() {
  Abort();
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------- consumer side
int32_t TCacheThread::ReadBlock(std::span<uint8_t> Dest) {
  if (FAborted || Dest.size() < static_cast<size_t>(kCacheBlockBytes)) return 0;
  int32_t n = -1;
  std::vector<std::string> notes;
  {
    std::lock_guard g(lock_);
    notes.swap(notes_);
    if (!blocks_.empty()) {
      std::unique_ptr<TCacheBlock> block = std::move(blocks_.front());
      blocks_.pop_front();
      n = block->Count;
      std::memcpy(Dest.data(), block->Data.data(), static_cast<size_t>(n));
      remaining_ -= n;
      --inFlight_;
      spare_.push_back(std::move(block));  // the producer fills it again
      // The producer is woken once a batch of room has been freed, or when it
      // waits for the last block to go: not after every single block.
      if (inFlight_ <= capacity_ - 1 - refillBatch_ || remaining_ <= 0) room_.notify_one();
    } else if (FFinished) {
      n = 0;
    }
  }
  // Notes from the producer are reported here, on the consumer's thread, so
  // that the component's message channel is used by one thread at a time.
  for (const std::string& text : notes)
    if (notify_) notify_(text);
  return n;
}

std::unique_ptr<TCacheBlock> TCacheThread::TakeBlock(int32_t& Status) {
  Status = 0;
  if (FAborted) return nullptr;
  std::unique_ptr<TCacheBlock> block;
  std::vector<std::string> notes;
  {
    std::lock_guard g(lock_);
    notes.swap(notes_);
    if (!blocks_.empty()) {
      block = std::move(blocks_.front());
      blocks_.pop_front();
      Status = block->Count;
      remaining_ -= block->Count;
      --inFlight_;
      if (inFlight_ <= capacity_ - 1 - refillBatch_ || remaining_ <= 0) room_.notify_one();
    } else if (!FFinished) {
      Status = -1;
    }
  }
  for (const std::string& text : notes)
    if (notify_) notify_(text);
  return block;
}

void TCacheThread::ReturnBlock(std::unique_ptr<TCacheBlock> Block) {
  if (!Block) return;
  std::lock_guard g(lock_);
  spare_.push_back(std::move(Block));
}

bool TCacheThread::WaitForBlock(uint32_t TimeoutMs) {
  std::unique_lock g(lock_);
  // A consumer that has caught up is woken for a batch, not for every block:
  // each wake-up would cost the producer as much as reading the block.
  return changed_.wait_for(g, std::chrono::milliseconds(TimeoutMs), [&] {
    const auto queued = static_cast<int32_t>(blocks_.size());
    return queued >= refillBatch_ || (queued > 0 && produced_) || FFinished || FAborted;
  });
}

void TCacheThread::Abort() {
  std::lock_guard g(lock_);
  FAborted = true;
  changed_.notify_all();
  room_.notify_all();
  toHash_.notify_all();
  hashed_.notify_all();
}

std::string TCacheThread::FMessage() const {
  std::lock_guard g(messageLock_);
  return outcome_.Text;
}

TOutcome TCacheThread::Outcome() const {
  std::lock_guard g(messageLock_);
  return outcome_;
}

void TCacheThread::SetMessage(const std::string& Text) { SetOutcome(TOutcome(Text)); }

void TCacheThread::SetOutcome(const TOutcome& Value) {
  {
    std::lock_guard g(messageLock_);
    if (!outcome_.Text.empty() || Value.Text.empty()) return;
    outcome_ = Value;
  }
  std::lock_guard g(lock_);
  changed_.notify_all();
}

bool TCacheThread::WaitPrimed(uint32_t TimeoutMs) {
  std::unique_lock g(lock_);
  changed_.wait_for(g, std::chrono::milliseconds(TimeoutMs),
                    [&] { return FPrimed || FFinished || !FMessage().empty(); });
  return FPrimed;
}

bool TCacheThread::WaitFinished(uint32_t TimeoutMs) {
  std::unique_lock g(lock_);
  return changed_.wait_for(g, std::chrono::milliseconds(TimeoutMs), [&] { return FFinished.load(); });
}

std::shared_ptr<const TTrackChecksums> TCacheThread::Checksums() const {
  std::lock_guard g(lock_);
  return produced_ && digest_ ? checksums_ : nullptr;
}

int32_t TCacheThread::QueuedBlocks() const {
  std::lock_guard g(lock_);
  return static_cast<int32_t>(blocks_.size());
}

int64_t TCacheThread::FRemaining() const {
  std::lock_guard g(lock_);
  return remaining_;
}

// ---------------------------------------------------------------- producer
void TCacheThread::Execute() {
  // The digest's helper starts at the thread's own priority: when it is
  // behind, the stream waits for it.
  hasher_ = std::thread([this] { HashBlocks(); });
  baseNice_ = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
  bandsAllowed_ = CanRaiseTo(baseNice_);
  SetPriorityBand(2, true);  // start at "lower"

  if (!Produce()) return;

  {
    std::lock_guard g(lock_);
    FPrimed = true;
    changed_.notify_all();
  }
  // Drained: wait until the consumer has taken everything.
  std::unique_lock g(lock_);
  room_.wait(g, [&] { return remaining_ <= 0 || FAborted; });
  if (remaining_ > 0) {
    g.unlock();
    AbortExit();
    return;
  }
  FFinished = true;
  changed_.notify_all();
}

bool TCacheThread::Produce() {
  // The metadata first: whole blocks go out as they are, a last partial one
  // stays open for the first source.
  const TMemoryStream& metadata = plan_->MetadataStream;
  for (int64_t pos = 0; pos < metadata.Size();) {
    const auto d = static_cast<size_t>(std::min<int64_t>(metadata.Size() - pos, kCacheBlockBytes));
    NewStagingBlock();
    metadata.Read(pos, std::span(staging_->Data.data(), d));
    StageBytes(static_cast<int32_t>(d));
    pos += static_cast<int64_t>(d);
    if (stagingOffset_ == kCacheBlockBytes) AppendStaged();
    if (!WaitForRoom()) return AbortExit(), false;
  }

  std::unique_ptr<TFileStreamEx> file;
  const TPlanManifest* manifest = plan_->Manifest.get();
  size_t next = 0;
  for (const TPlanSource& entry : plan_->Sources) {
    const size_t index = next++;
    // Zero sectors up to a source placed further on.
    if (!StageZerosUpTo(entry.FirstSector * kSector)) return false;
    // The checksum list and its companion are made here, not read.
    if (manifest != nullptr &&
        (index == manifest->Source || static_cast<int64_t>(index) == manifest->MissingSource)) {
      if (index == manifest->Source) {
        if (!StageManifest(entry.Size)) return false;
        continue;
      }
      if (static_cast<int64_t>(manifest->MissingText.size()) != entry.Size)
        return ErrorExit({"INTERNAL ERROR 0005"}), false;
      if (!StageText(manifest->MissingText)) return false;
      continue;
    }
    file.reset();
    std::string openError;
    file = TFileStreamEx::Open(entry.Path, fmOpenRead | fmShareDenyNone, openError);
    if (!file) {
      const int why = errno;
      return ErrorExit({CantOpenText(entry.Path), TOutcomeCode::SourceNotOpened, entry.Path, why}),
             false;
    }
    // Read strictly front to back: let the system read ahead further.
    (void)::posix_fadvise(file->Handle, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (entry.Part && file->Seek(entry.Offset, soFromBeginning) != entry.Offset) {
      const int why = errno;
      return ErrorExit({CantReadText(entry.Path, why), TOutcomeCode::SourceUnreadable, entry.Path, why}),
             false;
    }

    int64_t left = entry.Size;
    while (left > 0) {
      if (!staging_) NewStagingBlock();
      const auto n = static_cast<int32_t>(
          std::min<int64_t>(kCacheBlockBytes - stagingOffset_, left));
      const int32_t got = ReadFull(*file, staging_->Data.data() + stagingOffset_, n);
      if (got < n && file->ReadError != 0)
        return ErrorExit({CantReadText(entry.Path, file->ReadError), TOutcomeCode::SourceUnreadable,
                          entry.Path, file->ReadError}),
               false;
      if (got < n)
        return ErrorExit({ShortFileText(entry.Path, entry.Size - left + got, entry.Size),
                          TOutcomeCode::SourceShort, entry.Path}),
               false;
      StageBytes(n);
      left -= n;
      if (FAborted) return AbortExit(), false;
      if (stagingOffset_ == kCacheBlockBytes) AppendStaged();
      if (!WaitForRoom()) return AbortExit(), false;
    }
    // A file that grew since the layout keeps its laid-out length.
    uint8_t probe;
    if (!entry.Part && file->Read(&probe, 1) > 0) {
      std::lock_guard g(lock_);
      notes_.push_back(GrownFileText(entry.Path, entry.Size));
    }
  }
  file.reset();
  // Metadata that follows the files.
  const TMemoryStream& tail = plan_->TailStream;
  if (tail.Size() > 0 && !StageZerosUpTo(plan_->TailSector * kSector)) return false;
  for (int64_t pos = 0; pos < tail.Size();) {
    if (!staging_) NewStagingBlock();
    const auto d = static_cast<size_t>(std::min<int64_t>(tail.Size() - pos, kCacheBlockBytes - stagingOffset_));
    tail.Read(pos, std::span(staging_->Data.data() + stagingOffset_, d));
    StageBytes(static_cast<int32_t>(d));
    pos += static_cast<int64_t>(d);
    if (stagingOffset_ == kCacheBlockBytes) AppendStaged();
    if (!WaitForRoom()) return AbortExit(), false;
  }
  if (plan_->Broken) return ErrorExit({"INTERNAL ERROR 0005"}), false;
  if (stagingOffset_ > 0) AppendStaged();  // the final partial block

  // The layout and the stream must agree, or the recorder would wait forever
  // for bytes that never come (or receive more than the layout made room for).
  if (producedBytes_ != imageBytes_) {
    return ErrorExit({StreamLengthText(imageBytes_, producedBytes_)}), false;
  }

  {
    std::lock_guard g(lock_);
    if (padToMinimum_) {
      int64_t pad = kMinimumTrackBytes - imageBytes_;
      remaining_ += pad;
      while (pad > 0) {
        auto block = std::make_unique<TCacheBlock>();  // zero-filled
        block->Count = static_cast<int32_t>(std::min<int64_t>(pad, kCacheBlockBytes));
        pad -= block->Count;
        unhashed_.push_back(std::move(block));
        ++inFlight_;
      }
    }
    allRead_ = true;
    toHash_.notify_all();
  }
  // Once the helper has hashed and queued every block, the digest is whole.
  hasher_.join();
  std::lock_guard g(lock_);
  if (FAborted) return AbortExitLocked(), false;
  if (digest_) checksums_->Finish();
  produced_ = true;  // whatever is queued now is all there will be
  changed_.notify_all();
  return true;
}

// The checksum list: every source before it hashed first. The block being
// assembled goes to the helper as it is (a short block), so that the last
// file's tail is hashed too, and the producer waits for the helper. Then the
// lines go into the stream a few at a time, in whole sectors but the last
// piece: a million lines are never one text.
bool TCacheThread::StageManifest(int64_t Size) {
  const TPlanManifest& manifest = *plan_->Manifest;
  if (manifest.Bytes() != Size) return ErrorExit({"INTERNAL ERROR 0005"}), false;
  if (stagingOffset_ > 0) AppendStaged();
  if (!WaitForRoom()) return AbortExit(), false;
  {
    std::unique_lock g(lock_);
    waitingForHash_ = true;
    hashed_.wait(g, [&] { return FAborted || hashedBytes_ >= producedBytes_; });
    waitingForHash_ = false;
    if (FAborted) {
      g.unlock();
      return AbortExit(), false;
    }
  }
  std::string piece;
  for (const TPlanManifest::TLine& line : manifest.Lines) {
    TPlanManifest::AppendLine(line, fileDigests_, piece);
    if (piece.size() < static_cast<size_t>(kCacheBlockBytes)) continue;
    const size_t whole = piece.size() / kSector * kSector;
    if (!StageText(std::string_view(piece).substr(0, whole))) return false;
    piece.erase(0, whole);
  }
  return StageText(piece);
}

// Bytes made by the stream itself, from the sector boundary where the stream stands.
bool TCacheThread::StageText(std::string_view Text) {
  for (size_t pos = 0; pos < Text.size();) {
    if (!staging_) NewStagingBlock();
    const auto d =
        std::min<size_t>(Text.size() - pos, static_cast<size_t>(kCacheBlockBytes - stagingOffset_));
    std::memcpy(staging_->Data.data() + stagingOffset_, Text.data() + pos, d);
    StageBytes(static_cast<int32_t>(d));
    pos += d;
    if (stagingOffset_ == kCacheBlockBytes) AppendStaged();
    if (!WaitForRoom()) return AbortExit(), false;
  }
  return true;
}

void TCacheThread::NewStagingBlock() {
  {
    std::lock_guard g(lock_);
    if (!spare_.empty()) {
      staging_ = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  if (!staging_) staging_ = std::make_unique_for_overwrite<TCacheBlock>();
  staging_->Count = 0;
  stagingOffset_ = 0;
}

// Zero sectors from where the stream stands up to byte At of the track. False
// (with the exit taken) when the stream stands past it, or on an abort.
bool TCacheThread::StageZerosUpTo(int64_t At) {
  int64_t pos = producedBytes_ + stagingOffset_;
  if (pos > At) return ErrorExit({"INTERNAL ERROR 0005"}), false;
  while (pos < At) {
    if (!staging_) NewStagingBlock();
    const auto n = static_cast<int32_t>(std::min<int64_t>(kCacheBlockBytes - stagingOffset_, At - pos));
    std::memset(staging_->Data.data() + stagingOffset_, 0, static_cast<size_t>(n));
    stagingOffset_ += n;
    pos += n;
    if (stagingOffset_ == kCacheBlockBytes) AppendStaged();
    if (!WaitForRoom()) return AbortExit(), false;
  }
  return true;
}

// Takes n bytes just placed at the staging offset and rounds them up to whole
// sectors with zeros: nothing of an earlier block may show through.
void TCacheThread::StageBytes(int32_t n) {
  const int32_t s = (n + kSector - 1) / kSector * kSector;
  std::memset(staging_->Data.data() + stagingOffset_ + n, 0, static_cast<size_t>(s - n));
  stagingOffset_ += s;
}

void TCacheThread::AppendStaged() {
  staging_->Count = stagingOffset_;
  producedBytes_ += stagingOffset_;
  std::lock_guard g(lock_);
  unhashed_.push_back(std::move(staging_));
  ++inFlight_;
  stagingOffset_ = 0;
  if (unhashed_.size() == 1) toHash_.notify_one();  // the helper may be waiting
}

// The digest's helper: takes the blocks in stream order, hashes them and
// queues them for the consumer, while the producer reads the next ones.
void TCacheThread::HashBlocks() {
  std::unique_lock g(lock_);
  for (;;) {
    toHash_.wait(g, [&] { return FAborted || hashStop_ || allRead_ || !unhashed_.empty(); });
    if (FAborted || hashStop_ || unhashed_.empty()) return;
    std::unique_ptr<TCacheBlock> block = std::move(unhashed_.front());
    unhashed_.pop_front();
    g.unlock();
    const std::span<const uint8_t> bytes(block->Data.data(), static_cast<size_t>(block->Count));
    if (fileSha_)
      HashFiles(bytes, digest_ ? checksums_.get() : nullptr);
    else if (digest_)
      checksums_->Add(bytes);
    g.lock();
    hashedBytes_ += block->Count;
    if (waitingForHash_) hashed_.notify_all();
    blocks_.push_back(std::move(block));
    // Full once the producer waits for room and everything it read is queued.
    const bool full = !FPrimed && unhashed_.empty() && waitingForRoom_;
    if (full) FPrimed = true;
    if (full || static_cast<int32_t>(blocks_.size()) == refillBatch_ || (allRead_ && unhashed_.empty()))
      changed_.notify_all();
  }
}

// The digests of the sources whose bytes the block holds, on the helper's
// thread beside the track's: each source lies whole from its first sector on,
// in the order of the plan. The stream's own texts are not hashed. Track, when
// the track's digest is taken, gets the whole block: the bytes of a source
// go into both digests in one pass.
void TCacheThread::HashFiles(std::span<const uint8_t> Data, TTrackChecksums* Track) {
  const TPlanManifest& manifest = *plan_->Manifest;
  const int64_t begin = hashAt_, end = hashAt_ + static_cast<int64_t>(Data.size());
  hashAt_ = end;
  int64_t trackAt = begin;  // the track's digest holds the bytes before it
  auto piece = [&](int64_t from, int64_t to) {
    return Data.subspan(static_cast<size_t>(from - begin), static_cast<size_t>(to - from));
  };
  for (TPlanSources::const_iterator& at = *fileAt_; at != plan_->Sources.end(); ++at, ++fileIndex_) {
    if (fileIndex_ == manifest.Source || static_cast<int64_t>(fileIndex_) == manifest.MissingSource)
      continue;
    const int64_t first = at->FirstSector * kSector, last = first + at->Size;
    if (first >= end) break;
    const int64_t from = std::max(first, begin), to = std::min(last, end);
    if (to > from) {
      if (Track && from >= trackAt) {
        Track->Sha().Update(piece(trackAt, from));
        TSha256Stream::UpdateBoth(Track->Sha(), *fileSha_, piece(from, to));
        trackAt = to;
      } else {
        fileSha_->Update(piece(from, to));
      }
    }
    if (last > end) break;
    fileDigests_[fileIndex_] = fileSha_->Final();
  }
  if (Track) {
    Track->Sha().Update(piece(trackAt, end));
    Track->AddTags(Data);
  }
}

void TCacheThread::StopHasher() {
  {
    std::lock_guard g(lock_);
    hashStop_ = true;
    toHash_.notify_all();
  }
  if (hasher_.joinable()) hasher_.join();
}

// Waits while FCapacity - 1 blocks are queued; the priority follows the fill
// level. False on abort.
bool TCacheThread::WaitForRoom() {
  std::unique_lock g(lock_);
  auto count = inFlight_;
  if (count >= capacity_ - 1) {
    SetPriorityBand(0);
    // Full once everything read is hashed and queued (else the helper says so).
    waitingForRoom_ = true;
    if (!FPrimed && unhashed_.empty()) {
      FPrimed = true;
      changed_.notify_all();
    }
    room_.wait(g, [&] { return FAborted || inFlight_ < capacity_ - 1; });
    waitingForRoom_ = false;
    count = inFlight_;
  }
  if (FAborted) return false;
  g.unlock();
  SetPriorityBand(count < capacity_ / 4 ? 3 : count < capacity_ / 2 ? 2 : 1);
  return true;
}

void TCacheThread::SetPriorityBand(uint8_t band, bool force) {
  if (band == priorityBand_ && !force) return;
  priorityBand_ = band;
  if (!bandsAllowed_) return;
  // Per-thread nice value; a refusal is ignored.
  const int nice = std::min(19, baseNice_ + kBandNice[band]);
  (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
}

void TCacheThread::AbortExit() {
  StopHasher();
  std::lock_guard g(lock_);
  AbortExitLocked();
}

void TCacheThread::AbortExitLocked() {
  blocks_.clear();
  unhashed_.clear();
  spare_.clear();
  {
    std::lock_guard m(messageLock_);
    if (outcome_.Text.empty()) outcome_ = {"OPERATION ABORTED BY USER", TOutcomeCode::Aborted};
  }
  FFinished = true;
  changed_.notify_all();
}

void TCacheThread::ErrorExit(const TOutcome& Value) {
  StopHasher();
  std::lock_guard g(lock_);
  {
    std::lock_guard m(messageLock_);
    if (outcome_.Text.empty()) outcome_ = Value;
  }
  FFinished = true;
  changed_.notify_all();
}
