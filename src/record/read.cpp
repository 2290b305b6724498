// Reading a disc back into an image file: the read job (a drive job, as the
// erase is), where each session ends, the first pass over what is still to
// read, the retry passes over what failed, zeros for what stays unread, the
// mapfile kept as it goes, and the files that lost sectors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "iso/iso.h"
#include "record/job.h"
#include "record/record.h"
#include "transport/transport.h"

namespace {

constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscNoMedium = 0x3A;
constexpr uint8_t kKeyUnitAttention = 0x06;
constexpr int64_t kShortestTrack = 300;  // sectors: recorders pad a shorter track
constexpr size_t kHashChunk = 1 << 20;

uint32_t LE32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string Numbered(const std::string& text, int64_t n) { return text + " " + std::to_string(n); }

// The image file, sector n of the disc at byte n x 2048 as in the disc
// itself (what lies between sessions stays a hole), or standard output ("-",
// or anything that cannot seek), which takes the same bytes strictly in order.
class TImageOut {
public:
  ~TImageOut() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) ::close(fd_);
  }

  // Keep: an earlier read's image, whose sectors stay; else a new, empty one
  // of End sectors.
  bool Open(const std::string& path, bool keep, int64_t end, std::string& error) {
    if (path == "-") {
      fd_ = STDOUT_FILENO;
      sequential_ = true;
      return true;
    }
    // Read back too, for the digest; a file that may only be written is written.
    const int create = keep ? 0 : O_CREAT | O_TRUNC;
    fd_ = ::open(path.c_str(), O_RDWR | create | O_CLOEXEC, 0644);
    if (fd_ < 0 && errno == EACCES && !keep) fd_ = ::open(path.c_str(), O_WRONLY | create | O_CLOEXEC, 0644);
    if (fd_ < 0) return Failed(path, error);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return Failed(path, error);
    sequential_ = !S_ISREG(st.st_mode);
    if (keep && sequential_) {
      error = path + " is no regular file: a read that goes on needs the image file it began";
      return false;
    }
    // The image's size at once: its sectors not yet read are zeros.
    if (!sequential_ && st.st_size < end * kSectorSize && ::ftruncate(fd_, end * kSectorSize) != 0)
      return Failed(path, error);
    path_ = path;
    return true;
  }

  bool Sequential() const { return sequential_; }
  bool Regular() const { return !sequential_; }
  int64_t Next() const { return next_; }

  bool Write(int64_t sector, const uint8_t* data, int64_t count, std::string& error) {
    if (sequential_ && sector < next_) {
      error = std::string(kImageWriteFailedText) + " [SECTOR " + std::to_string(sector) + " OUT OF ORDER]";
      return false;
    }
    // In a stream, what lies before (between two sessions) is zeros.
    for (std::vector<uint8_t> zeros; sequential_ && next_ < sector;) {
      const int64_t n = std::min<int64_t>(sector - next_, kReadSectorsPerRequest);
      zeros.resize(static_cast<size_t>(n * kSectorSize), 0);
      if (!Put(next_, zeros.data(), n, error)) return false;
    }
    return Put(sector, data, count, error);
  }

  // On the disk before the map says so: a crash must not leave "+" over sectors lost.
  bool Sync(std::string& error) {
    if (sequential_ || ::fdatasync(fd_) == 0) return true;
    error = std::string(kImageWriteFailedText) + " [" + path_ + ": " + std::strerror(errno) + "]";
    return false;
  }

  // SHA-256 of the image's first End sectors: of the stream as it went, or
  // read back from the file.
  bool Digest(int64_t end, TSha256& digest) {
    if (sequential_) {
      if (next_ != end) return false;
      digest = sha_.Final();
      return true;
    }
    TSha256Stream sha;
    std::vector<uint8_t> chunk(kHashChunk);
    for (int64_t at = 0, stop = end * kSectorSize; at < stop;) {
      const auto want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), stop - at));
      const ssize_t n = ::pread(fd_, chunk.data(), want, static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sha.Update(std::span(chunk.data(), static_cast<size_t>(n)));
      at += n;
    }
    digest = sha.Final();
    return true;
  }

private:
  bool Failed(const std::string& path, std::string& error) {
    error = path + ": " + std::strerror(errno);
    return false;
  }

  bool Put(int64_t sector, const uint8_t* data, int64_t count, std::string& error) {
    const auto bytes = static_cast<size_t>(count * kSectorSize);
    for (size_t done = 0; done < bytes;) {
      const ssize_t n = sequential_ ? ::write(fd_, data + done, bytes - done)
                                    : ::pwrite(fd_, data + done, bytes - done,
                                               static_cast<off_t>(sector * kSectorSize + static_cast<int64_t>(done)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = std::string(kImageWriteFailedText) + " [" + (path_.empty() ? "standard output" : path_) +
                ": " + std::strerror(n < 0 ? errno : ENOSPC) + "]";
        return false;
      }
      done += static_cast<size_t>(n);
    }
    if (sequential_) sha_.Update(std::span(data, bytes));
    next_ = sector + count;
    return true;
  }

  int fd_ = -1;
  bool sequential_ = false;
  int64_t next_ = 0;
  std::string path_;
  TSha256Stream sha_;  // of a stream, as it goes
};

// The sessions of the disc from the first one up to the one asked for, each
// as far as its volume reaches: the sectors the image holds.
struct TSpan {
  int64_t Start, End;  // sectors of the disc, End not included
};

class TDiscReader {
public:
  TDiscReader(VEZEZadira& device, const TReadRequest& request, const std::atomic<bool>& stop)
      : dev_(device), req_(request), stop_(stop) {}

  TReadResult Run() {
    dev_.ReadDone = 0;
    dev_.ReadToDo = 0;
    dev_.ReadPass = 0;
    dev_.ReadMissing = 0;
    if (!dev_.TestUnitReady(10000)) dev_.WaitUntilReady(10000, 500);
    dev_.CurrentDiscKind = dev_.DiscKind();
    // Up to here nothing is read into the image: whatever ends the read is a refusal.
    if (!LoadMap() || !FindSessions() || !PrepareMap() || !OpenOutput() || !SaveMap(true) || Ended()) {
      result_.Outcome.Code = TOutcomeCode::Refused;
      return result_;
    }

    dev_.ReadToDo = result_.Sectors - CountOf(TRescueMap::kFinished);
    dev_.ReadPass = 1;
    bool going = FirstPass();
    for (int pass = 1; going && pass <= req_.Retries && !out_.Sequential(); ++pass) {
      if (CountOf(TRescueMap::kBad) == 0) break;
      dev_.ReadPass = pass + 1;
      map_.Pass = pass + 1;
      map_.CurrentStatus = '-';
      Clock().Sleep(std::min(kRetryPassPauseMs * static_cast<uint32_t>(pass), kRetryPassPauseMaxMs));
      going = RetryPass();
    }
    if (going) {
      map_.CurrentStatus = '+';
      map_.Position = end_;
    }
    std::string error;
    if (!out_.Sync(error) && going) going = Fail(error);
    if (!SaveMap(true) && going) going = false;
    Finish(going);
    return result_;
  }

private:
  // ---- the outcome
  bool Refuse(const std::string& text) {
    result_.Outcome = TOutcome(text, TOutcomeCode::Refused);
    return false;
  }
  bool Fail(const std::string& text) {
    if (result_.Outcome.Ok())
      result_.Outcome = TOutcome(text, stop_ ? TOutcomeCode::Aborted : TOutcomeCode::Failed);
    return false;
  }
  bool Ended() const { return !result_.Outcome.Ok(); }
  void Note(const std::string& text) { result_.Notes.push_back(text); }

  // ---- where the sessions lie
  bool FindSessions() {
    const int sessions = dev_.RecordedSessions();
    if (sessions <= 0) return Refuse(kNoSessionToReadText);
    session_ = req_.Session > 0 ? req_.Session : sessions;
    result_.Session = session_;
    if (session_ > sessions)
      return Refuse("NO SESSION " + std::to_string(session_) + ": THE DISC HOLDS " + std::to_string(sessions) +
                    ": NOTHING READ");
    for (int s = 1; s <= session_; ++s) {
      // One track per session, as the import takes it.
      if (!dev_.ReadTrackInformation(static_cast<uint8_t>(s)))
        return Refuse(Numbered("WHERE SESSION", s) + " STARTS CANNOT BE READ [" + Why() + "]");
      const int64_t start = dev_.Track.Start;
      int64_t track = dev_.Track.Size;
      // A track still open (or the one of an overwritable disc) holds what
      // lies before its next writable address.
      if (dev_.Track.NextWritable > start && dev_.Track.NextWritable - start < track)
        track = dev_.Track.NextWritable - start;
      const int64_t from = std::max<int64_t>(start, spans_.empty() ? 0 : spans_.back().End);
      if (track == 0 || start + track <= from) continue;  // nothing recorded, or nothing new
      spans_.push_back({from, start + SessionSectors(s, start, track)});
      if (Ended()) return false;
    }
    if (spans_.empty()) return Refuse(kNoSessionToReadText);
    end_ = spans_.back().End;
    result_.Start = static_cast<uint32_t>(spans_.back().Start);
    result_.End = end_;
    for (const TSpan& span : spans_) result_.Sectors += span.End - span.Start;
    return true;
  }

  // A session's length: its volume's, as its primary descriptor (or UDF,
  // when it has none) gives it, padded as recorders pad a short track; never
  // more than the track holds, so the run-out blocks after it are not asked for.
  int64_t SessionSectors(int session, int64_t start, int64_t track) {
    std::array<uint8_t, 2048> pvd{};
    int64_t volume = 0;
    const char* kind = "ISO 9660";
    if (Descriptor(start + 16, pvd.data()) && pvd[0] == 1 && std::memcmp(&pvd[1], "CD001", 5) == 0) {
      const uint32_t end = LE32(&pvd[80]);
      // The volume space of a later session counts from sector 0 of the disc.
      volume = end > start ? int64_t{end} - start : int64_t{end};
    } else if (uint64_t end = 0; UdfVolumeEnd(dev_, static_cast<uint32_t>(start), static_cast<uint32_t>(start + track - 1),
                                              static_cast<uint64_t>(start + track), end)) {
      volume = static_cast<int64_t>(end) - start;
      kind = "UDF";
    }
    if (volume <= 0) {
      Note(Numbered("SESSION", session) + " HOLDS NO ISO 9660 OR UDF VOLUME: ITS WHOLE TRACK OF " +
           std::to_string(track) + " SECTORS IS READ");
      return track;
    }
    const int64_t sectors = std::max<int64_t>(volume, std::min<int64_t>(kShortestTrack, track));
    if (sectors > track) {
      Note(std::string("THE ") + kind + Numbered(" VOLUME OF SESSION", session) + " CLAIMS " +
           std::to_string(sectors) + " SECTORS, ITS TRACK HOLDS " + std::to_string(track) + ": " +
           std::to_string(track) + " ARE READ");
      return track;
    }
    return sectors;
  }

  // A volume descriptor: from the image of an earlier read when its map has
  // it, so that a read that goes on asks the drive for the missing sectors only.
  bool Descriptor(int64_t lba, uint8_t* into) {
    if (resumed_ && lba < map_.Sectors() && map_.At(lba) == TRescueMap::kFinished) {
      const int fd = ::open(req_.Output.c_str(), O_RDONLY | O_CLOEXEC);
      const bool got = fd >= 0 && ::pread(fd, into, kSectorSize, static_cast<off_t>(lba * kSectorSize)) == kSectorSize;
      if (fd >= 0) ::close(fd);
      if (got) return true;
    }
    return ReadSectors(static_cast<uint32_t>(lba), 1, into);
  }

  // ---- the map and the image
  // The map covers the disc from sector 0 to the image's end; what lies
  // between sessions stays "not tried", and is never asked for.
  bool InSpan(int64_t s) const {
    for (const TSpan& span : spans_)
      if (s >= span.Start && s < span.End) return true;
    return false;
  }
  int64_t CountOf(char status, int64_t first = 0, int64_t end = INT64_MAX) const {
    int64_t n = 0;
    for (const TSpan& span : spans_)
      n += map_.Count(status, std::max(first, span.Start), std::min(end, span.End));
    return n;
  }

  bool LoadMap() {
    if (req_.MapFile.empty()) return true;
    bool exists = false;
    std::string error;
    if (map_.Load(req_.MapFile, exists, error)) {
      if (req_.Output == "-")
        return Refuse("A READ THAT GOES ON FROM ITS MAPFILE WRITES INTO ITS IMAGE FILE: GIVE -o FILE, NOT -o -");
      if (::access(req_.Output.c_str(), F_OK) != 0)
        return Refuse("THE IMAGE FILE OF THE MAPFILE IS MISSING [" + req_.Output +
                      "]: WITHOUT IT WHAT WAS READ BEFORE IS LOST (REMOVE THE MAPFILE TO READ FROM THE START)");
      resumed_ = true;
      result_.Resumed = true;
      return true;
    }
    return exists ? Refuse("THE MAPFILE CANNOT BE USED [" + error + "]") : true;
  }

  bool PrepareMap() {
    if (!resumed_) {
      map_.Reset(end_);
      return true;
    }
    if (map_.Sectors() != end_)
      return Refuse("THE MAPFILE ENDS AT SECTOR " + std::to_string(map_.Sectors()) + ", THE IMAGE OF SESSIONS 1 TO " +
                    std::to_string(session_) + " AT " + std::to_string(end_) + ": NOT THE MAP OF THIS DISC");
    return true;
  }

  bool OpenOutput() {
    std::string error;
    if (!out_.Open(req_.Output, resumed_, end_, error))
      return Refuse("THE IMAGE FILE CANNOT BE OPENED [" + error + "]");
    return true;
  }

  // With Force, or once a second has passed: the image's data on the disk, then the map.
  bool SaveMap(bool force) {
    if (req_.MapFile.empty()) return true;
    const uint64_t now = Clock().NowMs();
    if (!force && now - savedAt_ < kMapEveryMs) return true;
    savedAt_ = now;
    std::string error;
    if (!out_.Sync(error)) return Fail(error);
    const std::string comment = "Mapfile. Created by Micro Burner (mburn read): sessions 1 to " +
                                std::to_string(session_) + " of the disc; positions are bytes of the disc";
    if (!map_.Save(req_.MapFile, comment, error)) return Fail(error);
    return true;
  }

  // Sectors first.. of the disc, read (Good) or not: the data or zeros go to
  // the image, the map takes their status.
  bool Put(int64_t first, int64_t count, const uint8_t* data, bool good) {
    std::string error;
    if (!good) {
      zeros_.resize(static_cast<size_t>(count * kSectorSize), 0);
      data = zeros_.data();
    }
    if (!out_.Write(first, data, count, error)) return Fail(error);
    if (good) result_.ReadNow += count;
    map_.Set(first, count, good ? TRescueMap::kFinished : TRescueMap::kBad);
    map_.Position = first + count;
    dev_.ReadMissing = result_.Sectors - result_.ReadNow - finishedBefore_;
    return SaveMap(false);
  }

  // ---- the drive
  std::string Why() const {
    if (dev_.TimedOut) return kCommandTimeoutText;
    return dev_.LastError.empty() ? "READ ERROR" : dev_.LastError;
  }

  // One READ (10) of Count sectors of the disc. A drive busy, not ready yet or
  // telling of a change is asked again, for at most a minute. A failure that
  // ends the read (a disc gone, a drive that no longer answers) leaves its
  // text in the outcome; any other is the sectors' own.
  bool ReadSectors(uint32_t lba, uint16_t count, uint8_t* into) {
    const uint32_t length = uint32_t{count} * kSectorSize;
    for (int32_t tries = 0;; ++tries) {
      if (dev_.Read10(lba, count, into, length)) return true;
      if (dev_.LastError.find(kStuckDriveText) != std::string::npos) return Fail(kStuckDriveText);
      if (dev_.TimedOut) return false;
      const uint8_t key = dev_.LastSense[2] & 0x0F, asc = dev_.LastSense[12];
      if (asc == kAscNoMedium) return Fail(kDiscRemovedText);
      const bool wait = dev_.TargetBusy || asc == kAscNotReady || key == kKeyUnitAttention;
      if (!wait) return false;
      if (stop_) return Fail(kAbortedText);
      if (tries + 1 >= kReadBusyTries) return Fail(kReadNotReadyText);
      Clock().Sleep(kReadBusyRetryMs);
    }
  }

  // Sectors first.. of the disc in one request; when it fails, each alone
  // (on standard output, where nothing can be written later, each failed one
  // is tried the retry passes' number of times at once).
  bool ReadRun(int64_t first, int64_t count, uint8_t* data) {
    if (stop_) return Fail(kAbortedText);
    if (ReadSectors(static_cast<uint32_t>(first), static_cast<uint16_t>(count), data))
      return Put(first, count, data, true);
    if (Ended()) return false;
    for (int64_t k = 0; k < count; ++k) {
      bool good = false;
      // A run of one sector has had its try.
      for (int tries = count == 1 ? 1 : 0; !good; ++tries) {
        if (stop_) return Fail(kAbortedText);
        if (tries > 0) {
          if (!out_.Sequential() || tries > req_.Retries) break;
          Clock().Sleep(std::min(kRetryPassPauseMs * static_cast<uint32_t>(tries), kRetryPassPauseMaxMs));
        }
        good = ReadSectors(static_cast<uint32_t>(first + k), 1, data);
        if (Ended()) return false;
      }
      if (!Put(first + k, 1, data, good)) return false;
    }
    return true;
  }

  // Runs of the sectors Wanted picks, within the sessions, in requests of at
  // most 32, in order.
  bool Sweep(const std::function<bool(int64_t)>& wanted, const std::function<void(int64_t)>& counted) {
    uint8_t* const data = block_->Data.data();
    for (const TSpan& span : spans_) {
      for (int64_t s = span.Start; s < span.End;) {
        if (!wanted(s)) {
          ++s;
          continue;
        }
        int64_t n = 1;
        while (n < kReadSectorsPerRequest && s + n < span.End && wanted(s + n)) ++n;
        map_.Position = s;
        if (!ReadRun(s, n, data)) return false;
        if (counted) counted(n);
        s += n;
      }
    }
    return true;
  }

  // Every sector not read yet: those not tried, and those an earlier read of
  // the map could not read (this drive may).
  bool FirstPass() {
    finishedBefore_ = CountOf(TRescueMap::kFinished);
    dev_.ReadMissing = result_.Sectors - finishedBefore_;
    std::vector<bool> wanted(static_cast<size_t>(end_));
    for (int64_t s = 0; s < end_; ++s) wanted[static_cast<size_t>(s)] = map_.At(s) != TRescueMap::kFinished;
    return Sweep([&](int64_t s) { return wanted[static_cast<size_t>(s)]; }, [this](int64_t n) { dev_.ReadDone += n; });
  }

  bool RetryPass() {
    return Sweep([this](int64_t s) { return map_.At(s) == TRescueMap::kBad; }, nullptr);
  }

  // ---- the end
  void Finish(bool completed) {
    result_.Unread = result_.Sectors - CountOf(TRescueMap::kFinished);
    for (int64_t s = 0; s < end_; ++s) {
      if (map_.At(s) == TRescueMap::kFinished || !InSpan(s)) continue;
      auto& runs = result_.UnreadRuns;
      if (!runs.empty() && runs.back().first + runs.back().second == s) ++runs.back().second;
      else runs.emplace_back(s, 1);
    }
    if (result_.Unread == 0) {
      result_.HasDigest = out_.Digest(end_, result_.Digest);
      return;
    }
    if (!completed) return;  // stopped, or the drive gone: no tree is read now
    // Which files lost sectors, by the trees of the last session read: every
    // sector not read counts.
    const auto missing = [this](uint32_t first, uint32_t count) {
      const int64_t end = int64_t{first} + count;
      return (CountOf(TRescueMap::kBad, first, end) + CountOf(TRescueMap::kNonTried, first, end));
    };
    std::string why;
    const bool named = FilesHoldingSectors(dev_, session_, missing, result_.DamagedFiles, why);
    if (!named || !why.empty())
      Note(why.empty() ? "THE FILES OF THE UNREAD SECTORS CANNOT BE NAMED" : UpperCase(why));
    if (named && result_.DamagedFiles.empty())
      Note("NO FILE HOLDS THE UNREAD SECTORS: THEY LIE IN THE SESSIONS' DESCRIPTORS, DIRECTORIES OR PADDING");
  }

  VEZEZadira& dev_;
  const TReadRequest& req_;
  const std::atomic<bool>& stop_;
  TReadResult result_;
  int session_ = 0;                 // the last session read
  std::vector<TSpan> spans_;
  int64_t end_ = 0;                 // one past the last sector read
  bool resumed_ = false;            // an earlier read's map is taken up
  TRescueMap map_;
  TImageOut out_;
  uint64_t savedAt_ = 0;
  int64_t finishedBefore_ = 0;
  std::vector<uint8_t> zeros_;
  // Read into a page-aligned block, as the drive can fill it without a bounce copy.
  const std::unique_ptr<TCacheBlock> block_ = std::make_unique<TCacheBlock>();
};

void ReadThread(const std::shared_ptr<TDriveJob>& job, const TReadRequest& request) {
  VEZEZadira& dev = *JobComponent(*job);
  TReadResult result;
  {
    // As for a recording: no other program sends the drive commands meanwhile.
    const TExclusiveDriveHold hold(dev.HaId, dev.Target, dev.Lun);
    if (!hold.ok())
      result.Outcome = TOutcome(DriveHoldFailureText(hold.error()), TOutcomeCode::Refused);
    else
      result = TDiscReader(dev, request, job->Stop).Run();
  }
  if (!result.Outcome.Ok()) dev.DebugMessage(result.Outcome.Text, MSG_ERROR);
  EndDriveJob(
      job,
      [&result](VEZEZadira& sender) -> std::function<void()> {
        sender.LastRead = std::move(result);
        sender.LastOutcome = sender.LastRead.Outcome;
        sender.Reading = false;
        const TReadDoneEvent handler = sender.OnReadDone;
        if (!handler) return {};
        return [handler, sender = &sender] { handler(sender); };
      },
      nullptr);
}

}  // namespace

bool VEZEZadira::ReadDisc(const TReadRequest& Request) {
  auto job = std::make_shared<TDriveJob>(TJobKind::Read, this);
  if (const std::optional<TJobKind> busy = ClaimDriveJob(job)) {
    LastRead = TReadResult();
    LastRead.Outcome = TOutcome(JobRefusalText(*busy), TOutcomeCode::Refused);
    DebugMessage(LastRead.Outcome.Text, MSG_ERROR);
    const TReadDoneEvent handler = OnReadDone;
    if (handler) handler(this);  // last: the handler may destroy the component
    return false;
  }
  // The last read's thread has ended its body.
  AwaitDriveJob(this, TJobKind::Read, false, job.get());
  LastRead = TReadResult();
  ReadDone = 0;
  ReadToDo = 0;
  ReadPass = 0;
  ReadMissing = 0;
  Reading = true;
  StartJobThread(job, [job, Request] { ReadThread(job, Request); }, false);
  return true;
}

void VEZEZadira::StopReading() { AwaitDriveJob(this, TJobKind::Read, true); }

void VEZEZadira::WaitForReading() { AwaitDriveJob(this, TJobKind::Read, false); }
