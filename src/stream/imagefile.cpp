// A prepared image written into a file: the same stream a recorder would
// receive, for `mburn image` and for the image tests.
//
// Into a regular file the metadata and the zero tails are written here and the
// file data is copied by the kernel (copy_file_range), each file at its sector,
// with holes where the source has them; a helper thread reads the image back
// behind the copy, from memory the system still holds, for the digest. Any
// other output (a pipe, a device, standard output), and any plan with a
// checksum list, takes the stream through the read-ahead cache in order.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "stream/stream.h"
#include "stream/stream_texts.h"

namespace {

constexpr int64_t kSector = 2048;
constexpr size_t kCopyChunk = 8 << 20;  // one copy call, and what the digest waits for
constexpr size_t kBufferBytes = 1 << 20;

int64_t RoundUpToSector(int64_t n) { return (n + kSector - 1) / kSector * kSector; }

// Writes all of data, continuing after short writes; false when the system refuses.
bool WriteAll(int fd, const uint8_t* data, size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool PWriteAll(int fd, const uint8_t* data, size_t count, int64_t at) {
  while (count > 0) {
    const ssize_t n = ::pwrite(fd, data, count, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    at += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

// What copy_file_range answers when it cannot copy between these two files at
// all (other file systems, special files, an old kernel): read and write then.
bool CopyRefused(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
         error == EBADF || error == EPERM || error == ETXTBSY;
}

// The digest of the image, taken on a thread of its own from the image file
// itself as the copy completes it: what it hashes is what the file holds.
class TImageDigest {
public:
  TImageDigest(int Fd, int64_t Bytes, int64_t Sectors) : fd_(Fd), bytes_(Bytes) {
    sums_->Reserve(Sectors);
    thread_ = std::thread([this] { Run(); });
  }
  ~TImageDigest() {
    Stop();
    if (thread_.joinable()) thread_.join();
  }

  // Everything before At is in the file now.
  void Completed(int64_t At) {
    done_.store(At);
    if (At - told_ >= static_cast<int64_t>(kCopyChunk) || At >= bytes_) {
      told_ = At;
      std::lock_guard g(lock_);
      changed_.notify_one();
    }
  }
  void Stop() {
    std::lock_guard g(lock_);
    stopped_ = true;
    changed_.notify_one();
  }
  // Waits for the digest of the whole image; nullptr when it could not read it.
  std::shared_ptr<TTrackChecksums> Result() {
    if (thread_.joinable()) thread_.join();
    return ok_ ? sums_ : nullptr;
  }

private:
  void Run() {
    std::vector<uint8_t> buffer(kBufferBytes);
    int64_t at = 0;
    while (at < bytes_) {
      int64_t ready;
      {
        std::unique_lock g(lock_);
        changed_.wait(g, [&] {
          ready = done_.load();
          return stopped_ || ready - at >= static_cast<int64_t>(kCopyChunk) || ready >= bytes_;
        });
        if (stopped_) return;
      }
      // Whole sectors only: each one's tag is taken from the sector in one piece.
      if (ready < bytes_) ready = ready / kSector * kSector;
      while (at < ready) {
        const auto n = static_cast<size_t>(std::min<int64_t>(ready - at, kBufferBytes));
        size_t got = 0;
        while (got < n) {
          const ssize_t r = ::pread(fd_, buffer.data() + got, n - got, static_cast<off_t>(at + got));
          if (r < 0 && errno == EINTR) continue;
          if (r <= 0) return;
          got += static_cast<size_t>(r);
        }
        sums_->Add(std::span(buffer.data(), n));
        at += static_cast<int64_t>(n);
      }
    }
    sums_->Finish();
    ok_ = true;
  }

  const int fd_;
  const int64_t bytes_;
  std::shared_ptr<TTrackChecksums> sums_ = std::make_shared<TTrackChecksums>();
  std::atomic<int64_t> done_{0};
  int64_t told_ = 0;  // the copying thread's own
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopped_ = false;
  bool ok_ = false;
  std::thread thread_;
};

// The image into a regular file: metadata, each source at its sector, zero
// tails, the pad to the minimum track, all at their offsets.
class TImageCopy {
public:
  TImageCopy(const TImagePlan& Plan, const TNotify& Notify, int Out, const std::string& Path,
             bool Digest)
      : plan_(Plan), notify_(Notify), out_(Out), path_(Path), digest_(Digest) {}

  bool Run(TStreamResult& Result);

private:
  bool WriteMetadata(const TMemoryStream& metadata);
  bool CopySource(const TPlanSource& source);
  bool CopyRange(int in, int64_t from, int64_t count);
  bool ReadWriteRange(int in, int64_t from, int64_t count);
  bool WriteZeros(int64_t at, int64_t count);
  void Completed(int64_t at) {
    if (hash_) hash_->Completed(at);
  }
  bool Fail(const std::string& text, TOutcomeCode code = TOutcomeCode::Failed,
            const std::string& source = {}, int why = 0) {
    if (error_.Ok()) error_ = {text, code, source, why};
    return false;
  }
  bool WriteFailed() { return Fail("Cannot write file \"" + path_ + "\". " + std::strerror(errno)); }

  const TImagePlan& plan_;
  const TNotify& notify_;
  const int out_;
  const std::string& path_;
  const bool digest_;
  std::unique_ptr<TImageDigest> hash_;
  int64_t at_ = 0;  // the image offset written up to
  int64_t from_ = 0;  // the source's first byte: a part of a file begins further on
  bool kernelCopy_ = true;  // per source: the kernel has not refused to copy it
  std::vector<uint8_t> buffer_;
  TOutcome error_;
  bool short_ = false;  // the source gave fewer bytes than laid out: shortGot_
  int64_t shortGot_ = 0;
  int readError_ = 0;    // errno of a failed read of the source
};

bool TImageCopy::Run(TStreamResult& Result) {
  const int64_t trackBytes = plan_.TrackBytes();
  const int64_t imageBytes = plan_.ImageSectors() * kSector;
  // The image has its length from the start: every gap reads as zeros, and the
  // digest may read any part the copy has completed.
  if (::ftruncate(out_, 0) != 0 || ::ftruncate(out_, static_cast<off_t>(imageBytes)) != 0) {
    WriteFailed();
    Result.Outcome = error_;
    return false;
  }
  if (digest_) hash_ = std::make_unique<TImageDigest>(out_, imageBytes, imageBytes / kSector);

  bool ok = WriteMetadata(plan_.MetadataStream);
  // The same sources in the same order as the cache streams them.
  for (const TPlanSource& source : plan_.Sources) {
    if (!ok) break;
    if (source.FirstSector * kSector < at_) {
      ok = Fail("INTERNAL ERROR 0005");
      break;
    }
    at_ = source.FirstSector * kSector;  // a gap reads as zeros already
    ok = CopySource(source);
  }
  // Metadata that follows the files.
  if (ok && plan_.TailStream.Size() > 0) {
    if (plan_.TailSector * kSector < at_) {
      ok = Fail("INTERNAL ERROR 0005");
    } else {
      at_ = plan_.TailSector * kSector;
      ok = WriteMetadata(plan_.TailStream);
    }
  }
  if (ok && plan_.Broken) ok = Fail("INTERNAL ERROR 0005");
  if (ok && at_ != trackBytes) ok = Fail(StreamLengthText(trackBytes, at_));
  // The pad to the minimum track is part of the length set above: zeros already.
  if (ok) Completed(imageBytes);
  // The flush runs while the digest catches up.
  if (ok && ::fsync(out_) != 0) ok = WriteFailed();
  std::shared_ptr<TTrackChecksums> sums;
  if (hash_) {
    if (!ok) hash_->Stop();
    sums = hash_->Result();
    if (ok && !sums) ok = Fail("Cannot read file \"" + path_ + "\" back for its digest");
  }
  if (!ok) {
    Result.Outcome = error_;
    return false;
  }
  Result.Checksums = sums;
  return true;
}

bool TImageCopy::WriteMetadata(const TMemoryStream& metadata) {
  buffer_.resize(kBufferBytes);
  for (int64_t pos = 0; pos < metadata.Size();) {
    const size_t n = metadata.Read(pos, buffer_);
    if (!PWriteAll(out_, buffer_.data(), n, at_ + pos)) return WriteFailed();
    pos += static_cast<int64_t>(n);
  }
  const int64_t sectors = RoundUpToSector(metadata.Size());
  if (!WriteZeros(at_ + metadata.Size(), sectors - metadata.Size())) return false;
  at_ += sectors;
  Completed(at_);
  return true;
}

bool TImageCopy::CopySource(const TPlanSource& plan) {
  const std::string& source = plan.Path;
  const int64_t size = plan.Size;
  const int in = OpenSourceFile(source);
  if (in < 0) {
    const int why = errno;
    return Fail(CantOpenText(source), TOutcomeCode::SourceNotOpened, source, why);
  }
  struct stat st {};
  (void)::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
  short_ = false;
  kernelCopy_ = true;
  // Source positions from_ .. end land at at_ on: CopyRange and ReadWriteRange
  // take source positions.
  from_ = plan.Part ? plan.Offset : 0;
  const int64_t end = from_ + size;
  bool ok = true;
  // Data runs are copied, holes skipped: the image reads zeros there already.
  for (int64_t pos = from_; ok && pos < end;) {
    off_t data = ::lseek(in, static_cast<off_t>(pos), SEEK_DATA);
    if (data < 0 && errno == ENXIO) data = static_cast<off_t>(end);  // a hole up to the end
    else if (data < 0) data = static_cast<off_t>(pos);               // no hole search here
    if (data >= end) {
      // Zeros to the end, unless the file is no longer that long.
      if (::fstat(in, &st) == 0 && st.st_size < end) {
        short_ = true;
        shortGot_ = std::max<int64_t>(pos, st.st_size) - from_;
        ok = false;
      }
      break;
    }
    off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0 || hole > end) hole = static_cast<off_t>(end);
    ok = CopyRange(in, data, hole - data);
    pos = hole;
  }
  if (ok && !plan.Part) {
    // A file that grew since the layout keeps its laid-out length.
    uint8_t probe;
    if (::pread(in, &probe, 1, static_cast<off_t>(size)) > 0)
      if (notify_) notify_(GrownFileText(source, size));
  }
  ::close(in);
  from_ = 0;
  if (readError_ != 0) {
    const int why = std::exchange(readError_, 0);
    return Fail(CantReadText(source, why), TOutcomeCode::SourceUnreadable, source, why);
  }
  if (short_) return Fail(ShortFileText(source, shortGot_, size), TOutcomeCode::SourceShort, source);
  if (!ok) return false;
  // The zero tail of the last sector, written: nothing else may show there.
  const int64_t sectors = RoundUpToSector(size);
  if (!WriteZeros(at_ + size, sectors - size)) return false;
  at_ += sectors;
  Completed(at_);
  return true;
}

// Copies count bytes of the source from `from` to the same place of the file's
// extent in the image, in the kernel while it agrees to.
bool TImageCopy::CopyRange(int in, int64_t from, int64_t count) {
  auto inAt = static_cast<off_t>(from);
  auto outAt = static_cast<off_t>(at_ - from_ + from);
  const int64_t end = from + count;
  while (kernelCopy_ && inAt < end) {
    const auto want = static_cast<size_t>(std::min<int64_t>(end - inAt, kCopyChunk));
    const ssize_t n = ::copy_file_range(in, &inAt, out_, &outAt, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && CopyRefused(errno)) {
      kernelCopy_ = false;  // this pair of file systems will not do: stay with read and write
      break;
    }
    if (n < 0) {
      // Either side may have failed: the plain copy below tells which.
      kernelCopy_ = false;
      break;
    }
    if (n == 0) break;  // the end of the file, or a file the kernel cannot copy: read it
    Completed(outAt);
  }
  return ReadWriteRange(in, inAt, end - inAt);
}

bool TImageCopy::ReadWriteRange(int in, int64_t from, int64_t count) {
  buffer_.resize(kBufferBytes);
  for (int64_t done = 0; done < count;) {
    const auto want = static_cast<size_t>(std::min<int64_t>(count - done, kBufferBytes));
    const ssize_t n = ::pread(in, buffer_.data(), want, static_cast<off_t>(from + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      readError_ = errno;
      return false;
    }
    if (n == 0) {
      short_ = true;
      shortGot_ = from + done - from_;
      return false;
    }
    if (!PWriteAll(out_, buffer_.data(), static_cast<size_t>(n), at_ - from_ + from + done))
      return WriteFailed();
    done += n;
    Completed(at_ - from_ + from + done);
  }
  return true;
}

bool TImageCopy::WriteZeros(int64_t at, int64_t count) {
  static constexpr uint8_t kZeros[kSector] = {};
  if (count <= 0) return true;
  return PWriteAll(out_, kZeros, static_cast<size_t>(count), at) || WriteFailed();
}

// The stream through the cache, written in order: for outputs without seek.
bool WriteStream(const std::shared_ptr<const TImagePlan>& Plan, int32_t CacheSize,
                 const TNotify& Notify, int out, const std::string& Path, bool regular,
                 bool digest, TStreamResult& Result) {
  const int64_t expected = Plan->ImageSectors() * kSector;
  TCacheThread cache(CacheSize, Plan, Notify, digest);
  int64_t written = 0;
  for (;;) {
    int32_t n = 0;
    std::unique_ptr<TCacheBlock> block = cache.TakeBlock(n);
    if (!cache.FMessage().empty()) return Result.Outcome = cache.Outcome(), false;
    if (n == 0) break;
    if (n < 0) {
      cache.WaitForBlock(1000);
      continue;
    }
    const bool wrote = WriteAll(out, block->Data.data(), static_cast<size_t>(n));
    cache.ReturnBlock(std::move(block));
    if (!wrote) {
      const std::string why = std::strerror(errno);
      cache.Abort();
      return Result.Outcome = {"Cannot write file \"" + Path + "\". " + why}, false;
    }
    written += n;
  }
  if (written != expected) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "INTERNAL ERROR 0005: %" PRId64 " BYTES WRITTEN, %" PRId64 " EXPECTED", written,
                  expected);
    return Result.Outcome = {text}, false;
  }
  // Pipes and devices such as /dev/null take no sync; only files must reach their disk.
  if (::fsync(out) != 0 && (regular || errno != EINVAL))
    return Result.Outcome = {"Cannot write file \"" + Path + "\". " + std::strerror(errno)}, false;
  Result.Checksums = cache.Checksums();
  return true;
}

}  // namespace

bool WriteImageFile(std::shared_ptr<const TImagePlan> Plan, int32_t CacheSize,
                    const std::string& Path, TStreamResult& Result, const TNotify& Notify,
                    bool Digest) {
  if (!Plan) Plan = std::make_shared<const TImagePlan>();
  Result = {};
  Result.Plan = Plan;
  // "-" is standard output, which stays open.
  const bool toStdout = Path == "-";
  const std::string name = toStdout ? "standard output" : Path;
  struct stat before {};
  const bool existed = !toStdout && ::lstat(Path.c_str(), &before) == 0;
  std::unique_ptr<TFileStreamEx> file;
  if (!toStdout) {
    file = TFileStreamEx::Open(Path, fmCreate, Result.Outcome.Text);
    if (!file) {
      Result.Outcome.Code = TOutcomeCode::Failed;
      return false;
    }
  }
  const int out = toStdout ? STDOUT_FILENO : file->Handle;
  struct stat opened {};
  const bool regular = ::fstat(out, &opened) == 0 && S_ISREG(opened.st_mode);
  // Standard output may be a file opened for appending or shared with other
  // output: it is written in order, where it stands.
  // A checksum list is made by the cache, from the digests it takes of the
  // files as it streams them: such a plan always goes through it.
  const bool copy = regular && !toStdout && (::fcntl(out, F_GETFL) & O_APPEND) == 0 && !Plan->Manifest;
  const bool ok = copy ? TImageCopy(*Plan, Notify, out, name, Digest).Run(Result)
                       : WriteStream(Plan, CacheSize, Notify, out, name, regular, Digest, Result);
  if (ok) return true;
  // A failed image is not left behind looking like a finished one; but only a
  // regular file that this run created is removed: never a device, a link or
  // somebody's file.
  Result.Checksums.reset();
  file.reset();
  struct stat now {};
  if (!existed && regular && ::lstat(Path.c_str(), &now) == 0 && now.st_ino == opened.st_ino &&
      now.st_dev == opened.st_dev)
    ::unlink(Path.c_str());
  return false;
}
