// CDB handling of the commands about the disc: the disc, track and ATIP
// queries, reading and writing sectors through the drive buffer, flushing,
// closing tracks and sessions, formatting, reserving, calibration, timestamps.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/common.h"
#include "vrecorder/vrec_internal.h"

namespace vrec {

namespace {

constexpr TSense kWriteError{3, 0x0C, 0x00};
constexpr TSense kLossOfStreaming{3, 0x0C, 0x09};
constexpr TSense kReadError{3, 0x11, 0x00};
constexpr TSense kIllegalMode{5, 0x64, 0x00};

void Msf(uint8_t* p, uint32_t lba) {
  const uint32_t f = lba + 150;
  p[0] = 0;
  p[1] = uint8_t(f / 4500);
  p[2] = uint8_t(f / 75 % 60);
  p[3] = uint8_t(f % 75);
}

void Address(uint8_t* p, uint32_t lba, bool msf) {
  if (msf) Msf(p, lba);
  else Put32(p, lba);
}

void Truncate(TCommand& c, uint32_t allocation) {
  c.Data = c.Data.first(std::min<size_t>(c.Data.size(), allocation));
}

TSense ReadDiscInformation(TVDrive& d, TCommand& c) {
  if (c.Cdb[1] & 0x07) return kInvalidField;
  const TDisc& disc = d.Disc;
  std::array<uint8_t, 34> r{};
  Put16(&r[0], 32);
  r[2] = uint8_t((disc.Info().Erasable ? 0x10 : 0x00) | disc.LastSessionState() << 2 | disc.DiscStatus());
  r[3] = 1;
  const uint32_t sessions = disc.SessionCount(), first = disc.FirstTrackInLastSession(),
                 last = disc.LastTrackInLastSession();
  r[4] = uint8_t(sessions);
  r[5] = uint8_t(first);
  r[6] = uint8_t(last);
  r[7] = 0x20;  // unrestricted use
  if (disc.Medium == TMedium::DvdPlusRw && disc.HighWater > 0) r[7] |= 0x03;  // formatted
  r[9] = uint8_t(sessions >> 8);
  r[10] = uint8_t(first >> 8);
  r[11] = uint8_t(last >> 8);
  if (disc.Info().Cd && !disc.Complete && disc.Info().Writable) {
    const auto nwa = disc.NextWritable().value_or(0);
    if (disc.ClosedSessions == 0) {
      r[17] = 97;  // the lead-in of the first session starts where the ATIP says
      r[18] = 27;
    } else {
      Msf(&r[16], nwa >= 4650 ? nwa - 4650 : 0);
    }
    Msf(&r[20], disc.Capacity());
  } else {
    Put32(&r[16], 0xFFFFFFFF);
    Put32(&r[20], 0xFFFFFFFF);
  }
  Truncate(c, Get16(&c.Cdb[7]));
  Reply(c, r);
  return kOk;
}

TSense ReadTrackInformation(TVDrive& d, TCommand& c) {
  const TDisc& disc = d.Disc;
  const uint32_t value = Get32(&c.Cdb[2]);
  const TTrack* t = nullptr;
  switch (c.Cdb[1] & 0x03) {
    case 0:  // logical block address
      if (value >= disc.Capacity()) return kLbaOutOfRange;
      t = disc.TrackAt(value);
      if (!t) return kLbaOutOfRange;
      break;
    case 1:  // track number
      if (value == 0xFF) {
        if (disc.Info().Overwritable) t = disc.Track(1);
        else if (disc.Sequential() && !disc.Complete) t = &disc.Tracks.back();
      } else if (value > 0 && !(disc.Info().Overwritable && value != 1)) {
        t = disc.Track(value);
      }
      break;
    case 2:  // session number
      for (const auto& candidate : disc.Tracks)
        if (!t && candidate.Session == value) t = &candidate;
      break;
    default:
      return kInvalidField;
  }
  if (!t) return kInvalidField;
  Truncate(c, Get16(&c.Cdb[7]));
  Reply(c, disc.TrackInformation(*t));
  return kOk;
}

TSense ReadToc(TVDrive& d, TCommand& c) {
  const TDisc& disc = d.Disc;
  // Older hosts (the Linux sr driver among them) give the format in the
  // vendor-specific bits 7-6 of byte 9, with 0 in byte 2.
  uint8_t format = c.Cdb[2] & 0x0F;
  if (format == 0 && (c.Cdb[9] >> 6) != 0) format = c.Cdb[9] >> 6;
  const bool msf = c.Cdb[1] & 0x02;
  std::vector<uint8_t> r(4, 0);
  if (format == 4) {  // ATIP: only recordable CDs carry one
    if (!disc.Info().Cd || !disc.Info().Writable) return kInvalidField;
    r.resize(28, 0);
    r[4] = 0x50;  // indicative target writing power
    r[6] = uint8_t(0x80 | (disc.Medium == TMedium::CdRw ? 0x40 : 0x00));
    r[8] = 97, r[9] = 27, r[10] = 0;  // start of lead-in
    uint8_t leadOut[4];
    Msf(leadOut, disc.Capacity());
    std::memcpy(&r[12], &leadOut[1], 3);
  } else if (format == 0 || format == 1) {
    std::vector<const TTrack*> recorded;
    for (const auto& t : disc.Tracks)
      if (t.Closed && t.Session <= disc.ClosedSessions) recorded.push_back(&t);
    if (recorded.empty()) return kInvalidField;
    if (format == 0) {
      const uint32_t from = std::max<uint32_t>(1, c.Cdb[6]);
      r[2] = uint8_t(recorded.front()->Number);
      r[3] = uint8_t(recorded.back()->Number);
      auto entry = [&](uint8_t number, uint32_t lba) {
        uint8_t e[8] = {0, 0x14, number, 0, 0, 0, 0, 0};
        Address(&e[4], lba, msf);
        r.insert(r.end(), e, e + 8);
      };
      for (const TTrack* t : recorded)
        if (t->Number >= from) entry(uint8_t(t->Number), t->Start);
      entry(0xAA, recorded.back()->End());
    } else {
      r[2] = 1;
      r[3] = uint8_t(recorded.back()->Session);
      const TTrack* first = recorded.back();
      for (const TTrack* t : recorded)
        if (t->Session == first->Session) { first = t; break; }
      uint8_t e[8] = {0, 0x14, uint8_t(first->Number), 0, 0, 0, 0, 0};
      Address(&e[4], first->Start, msf);
      r.insert(r.end(), e, e + 8);
    }
  } else {
    return kInvalidField;
  }
  Put16(&r[0], uint32_t(r.size() - 2));
  Truncate(c, Get16(&c.Cdb[7]));
  Reply(c, r);
  return kOk;
}

bool Covers(int64_t address, uint32_t lba, uint32_t count) {
  return address >= 0 && uint64_t(address) >= lba && uint64_t(address) < uint64_t(lba) + count;
}

// A page-aligned transfer goes between the image and the request's buffer past
// the page cache (unless direct=0), as a drive's goes to its medium: no memory
// is filled with it, and a write costs the disk's time now instead of at the
// flush. Anything else, or a file system that refuses, goes through the cache.
int ImageFdFor(const TVDrive& d, const uint8_t* data, size_t bytes, uint64_t at) {
  constexpr uint64_t kAlign = 4096;
  const bool aligned = ((uintptr_t(data) | bytes | at) & (kAlign - 1)) == 0;
  return d.DirectFd >= 0 && aligned ? d.DirectFd : d.ImageFd;
}

// Moves bytes between data and the image at `at`, continuing after a short
// transfer; a read stops at the end of the image (the rest stays as it is).
bool ImageIo(TVDrive& d, bool write, uint8_t* data, size_t bytes, uint64_t at) {
  for (size_t done = 0; done < bytes;) {
    const int fd = ImageFdFor(d, data + done, bytes - done, at + done);
    const ssize_t n = write ? ::pwrite(fd, data + done, bytes - done, off_t(at + done))
                            : ::pread(fd, data + done, bytes - done, off_t(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EINVAL && fd == d.DirectFd) {  // the file system wants more alignment
      ::close(d.DirectFd);
      d.DirectFd = -1;
      continue;
    }
    if (n < 0 || (n == 0 && write)) return false;
    if (n == 0) break;
    done += size_t(n);
  }
  return true;
}

// read-error: a READ (10) that covers a damaged sector fails. With
// read-retries=N such a sector is only weak: it fails N times, then reads.
bool FailsToRead(TVDrive& d, uint32_t lba, uint32_t count) {
  bool fails = false;
  const uint64_t end = uint64_t(lba) + count;
  for (const auto& [first, last] : d.Options.ReadErrors) {
    const uint64_t from = std::max<uint64_t>(first, lba), to = std::min<uint64_t>(uint64_t(last) + 1, end);
    for (uint64_t s = from; s < to; ++s) {
      if (d.Options.ReadRetries == 0) return true;
      uint32_t& failed = d.ReadFailures[uint32_t(s)];
      if (failed < d.Options.ReadRetries) {
        ++failed;
        fails = true;
      }
    }
  }
  return fails;
}

TSense Read10(TVDrive& d, TCommand& c) {
  const uint32_t lba = Get32(&c.Cdb[2]), count = Get16(&c.Cdb[7]);
  if (c.Data.size() < uint64_t(count) * kSectorSize) return kInvalidField;
  if (uint64_t(lba) + count > d.Disc.Capacity()) return kLbaOutOfRange;
  if (FailsToRead(d, lba, count)) return kReadError;
  for (uint32_t i = 0; i < count; ++i)
    if (!d.Disc.Readable(lba + i)) return kLbaOutOfRange;
  const size_t total = size_t(count) * kSectorSize;
  std::memset(c.Data.data(), 0, total);  // past the end of the sparse image: zeros
  return ImageIo(d, false, c.Data.data(), total, uint64_t(lba) * kSectorSize) ? kOk : kReadError;
}

// corrupt-at: the sector is stored with every byte inverted, and the write
// still succeeds.
bool StoreCorrupted(TVDrive& d, const TCommand& c, uint32_t lba) {
  const uint64_t at = uint64_t(d.Options.CorruptAt);
  std::array<uint8_t, kSectorSize> sector;
  std::memcpy(sector.data(), c.Data.data() + (at - lba) * kSectorSize, kSectorSize);
  for (uint8_t& b : sector) b = uint8_t(~b);
  return ::pwrite(d.ImageFd, sector.data(), sector.size(), off_t(at) * kSectorSize) ==
         ssize_t(sector.size());
}

// The write parameters page must describe a data track the medium can take.
TSense CheckWriteMode(const TVDrive& d) {
  const uint8_t writeType = d.WriteParams[2] & 0x0F, blockType = d.WriteParams[4] & 0x0F;
  const TMedium m = d.Disc.Medium;
  // BD drives ignore the page: a BD writer writes whatever it holds.
  if (IsBd(m)) return d.BdWriter() ? kOk : kIncompatibleWrite;
  if (!d.Disc.Info().Cd && !d.Options.DvdWriter) return kIncompatibleWrite;
  if (d.Disc.Info().Cd) {
    if (writeType == 2) return kSequenceError;  // session-at-once without a cue sheet
    if (writeType > 1 || blockType != 8) return kIllegalMode;
  } else if (m == TMedium::DvdR || m == TMedium::DvdRwSeq) {
    if (writeType != 0 && writeType != 2) return kIllegalMode;
  }
  return kOk;
}

TSense Write10(TVDrive& d, TCommand& c) {
  const uint32_t lba = Get32(&c.Cdb[2]), count = Get16(&c.Cdb[7]);
  const size_t bytes = size_t(count) * kSectorSize;
  if (c.Data.size() < bytes) return kInvalidField;
  if (!d.Disc.Info().Writable) return kIncompatibleWrite;
  if (TSense s = CheckWriteMode(d); !s.Ok()) return s;
  if (count == 0) return kOk;
  if (Covers(d.Options.WriteError, lba, count)) return kWriteError;
  const bool test = d.TestWrite();
  TDisc& disc = d.Target();
  TTrack* track = nullptr;
  if (TSense s = disc.CheckWrite(lba, count, &track); !s.Ok()) return s;
  if (track->Damaged) return kLossOfStreaming;

  // The buffer: ran it dry since the last write, the laser stopped.
  const uint64_t now = Clock().NowMs();
  const uint32_t rate = d.DrainRate();
  const uint64_t elapsed = now > d.BufferStamp ? now - d.BufferStamp : 0;
  const bool ranDry = d.Streaming && rate > 0 && elapsed * rate > d.BufferFill;
  d.Drain(now);
  if (ranDry) {
    if (d.Bufe()) {
      d.Stats.UnderrunEvents++;
    } else {
      d.Stats.LossOfStreaming++;
      d.Streaming = false;
      if (!test) {
        track->Damaged = true;
        d.SaveDisc();
      }
      return kLossOfStreaming;
    }
  }
  // A full buffer holds the transfer back until the disc has taken enough.
  const uint64_t size = uint64_t(d.Options.BufferKb) * 1024;
  if (rate > 0 && d.BufferFill + bytes > size) {
    const uint64_t excess = d.BufferFill + bytes - size;
    const uint64_t waitMs = (excess + rate - 1) / rate;
    Clock().Sleep(uint32_t(waitMs));
    d.BufferFill = d.BufferFill > waitMs * rate ? d.BufferFill - waitMs * rate : 0;
    d.BufferStamp = std::max(d.BufferStamp, Clock().NowMs());
  }
  if (rate > 0) d.BufferFill += bytes;
  d.Streaming = true;

  if (!test && (!ImageIo(d, true, c.Data.data(), bytes, uint64_t(lba) * kSectorSize) ||
                (Covers(d.Options.CorruptAt, lba, count) && !StoreCorrupted(d, c, lba))))
    return kWriteError;
  const bool startedTrack = track->Written == 0;
  disc.CommitWrite(track, lba, count);
  if (!test && !d.SaveDiscAfterWrite(startedTrack)) return kWriteError;
  return kOk;
}

// Empties the buffer onto the disc: waits for it, or with Immed reports a long
// write in progress for as long as it takes.
// Empties the buffer onto the medium: the image's data reaches the disk
// before the drive answers, as a drive's data reaches its disc; a failure
// there is a write error, not a success.
TSense FlushBuffer(TVDrive& d, bool immed) {
  if (d.SavePending && !d.SaveDisc()) return kWriteError;
  if (!d.TestWrite() && d.ImageFd >= 0 && !d.ReadOnlyImage && ::fdatasync(d.ImageFd) != 0)
    return kWriteError;
  const uint64_t now = Clock().NowMs();
  d.Drain(now);
  const uint32_t rate = d.DrainRate();
  const uint64_t drainMs = rate ? (d.BufferFill + rate - 1) / rate : 0;
  d.BufferFill = 0;
  d.Streaming = false;
  if (immed) {
    d.NotReadyUntil = std::max(d.NotReadyUntil, now + std::max<uint64_t>(drainMs, d.Options.LongWriteMs));
    d.NotReadySense = {2, 0x04, 0x08};
  } else if (drainMs) {
    Clock().Sleep(uint32_t(drainMs));
    d.BufferStamp = Clock().NowMs();
  }
  return kOk;
}

TSense CloseTrackSession(TVDrive& d, TCommand& c) {
  const bool immed = c.Cdb[1] & 0x01;
  const uint8_t function = c.Cdb[2] & 0x07;
  const uint32_t track = Get16(&c.Cdb[4]);
  const TMedium m = d.Disc.Medium;
  if (!d.Disc.Info().Writable) return kIncompatibleWrite;
  TSense s = FlushBuffer(d, immed);
  if (!s.Ok()) return s;
  if (d.TestWrite()) {
    d.Simulation.reset();  // the simulation ends, the disc is as it was
  } else if (function == 1) {
    s = d.Disc.CloseTrack(track);
  } else if (function == 2) {
    bool appendable = true;
    if (d.Disc.Info().Cd || m == TMedium::DvdR || m == TMedium::DvdRwSeq)
      appendable = (d.WriteParams[3] & 0xC0) == 0xC0;
    s = d.Disc.CloseSession(appendable);
  } else if (function == 3) {
    if (m != TMedium::DvdPlusRw) s = kInvalidField;
  } else if (function == 5 || function == 6) {
    // BD-R is finalised with function 6 only.
    if (d.Disc.Info().Overwritable || (IsBd(m) && function != 6)) s = kInvalidField;
    else if (d.Disc.LastSessionState() == 0 && d.Disc.ClosedSessions > 0 && !d.Disc.Complete) {
      d.Disc.Tracks.pop_back();  // finalise an appendable disc: the empty session goes
      d.Disc.Complete = true;
    } else {
      s = d.Disc.CloseSession(false);
    }
  } else {
    s = kInvalidField;
  }
  if (!s.Ok()) return s;
  d.SaveDisc();
  if (immed) {
    d.NotReadyUntil = std::max(d.NotReadyUntil, Clock().NowMs() + d.Options.LongWriteMs);
    d.NotReadySense = {2, 0x04, 0x08};
  }
  return kOk;
}

// The disc loses its sessions and data: a blank disc of Medium.
TSense Wipe(TVDrive& d, TMedium medium) {
  d.Disc = TDisc::Blank(medium, d.Disc.SmallerCapacity);
  d.Simulation.reset();
  if (::ftruncate(d.ImageFd, 0) != 0) return {3, 0x31, 0x00};  // format failed
  return kOk;
}

// NOT READY with Sense for Ms from now, the progress in REQUEST SENSE.
void Busy(TVDrive& d, uint32_t ms, TSense sense) {
  d.ProgressFrom = Clock().NowMs();
  d.NotReadyUntil = std::max(d.NotReadyUntil, d.ProgressFrom + ms);
  d.NotReadySense = sense;
}

// BLANK: CD-RW and DVD-RW, the whole disc (0) or minimally (1); either way the
// sessions are gone and a DVD-RW comes out in sequential recording.
TSense Blank(TVDrive& d, TCommand& c) {
  const uint8_t type = c.Cdb[1] & 0x07;
  const TMedium m = d.Disc.Medium;
  if (d.ReadOnlyImage) return kWriteProtected;
  if (!d.Disc.Info().Writable) return kIncompatibleWrite;
  if (m != TMedium::CdRw && m != TMedium::DvdRw && m != TMedium::DvdRwSeq)
    return kIncompatibleWrite;  // CANNOT WRITE MEDIUM - INCOMPATIBLE FORMAT
  if (type > 1) return kInvalidField;
  const TSense s = Wipe(d, m == TMedium::CdRw ? TMedium::CdRw : TMedium::DvdRwSeq);
  if (!s.Ok()) return s;
  d.SaveDisc();
  if (c.Cdb[1] & 0x10) Busy(d, d.Options.EraseMs, {2, 0x04, 0x07});  // operation in progress
  return kOk;
}

TSense FormatUnit(TVDrive& d, TCommand& c) {
  const bool fmtData = c.Cdb[1] & 0x10;
  const TMedium m = d.Disc.Medium;
  if (!d.Disc.Info().Erasable) return kCannotFormat;
  if (d.ReadOnlyImage) return kWriteProtected;
  if (IsBd(m) && !d.BdWriter()) return kIncompatibleWrite;
  if (!fmtData) return (m == TMedium::DvdRam || m == TMedium::DvdPlusRw) ? kOk : kInvalidField;
  if ((c.Cdb[1] & 0x07) != 1) return kInvalidField;
  if (c.Data.size() < 12) return {5, 0x1A, 0x00};
  const uint8_t* p = c.Data.data();
  if (Get16(&p[2]) != 8) return kInvalidParam;
  const bool immed = p[1] & 0x02;
  const uint8_t type = p[8] >> 2;
  const bool reformat = m == TMedium::BdRe && d.Disc.Formatted;  // a BD-RE erased
  if (type == 0x13) {  // quick grow of the last session: restricted overwrite only
    if (m != TMedium::DvdRw) return kInvalidParam;
  } else if (type == 0x00 && m == TMedium::BdRe) {
    // A full format with its spare areas, of the whole disc or the size asked.
    const uint32_t blocks = Get32(&p[4]);
    if (blocks > d.Disc.Capacity()) return kInvalidParam;
    if (const TSense s = Wipe(d, m); !s.Ok()) return s;
    d.Disc.Formatted = true;
  } else if (type == 0x00) {  // full format
    if (m == TMedium::DvdRw || m == TMedium::DvdRwSeq) {
      d.Disc = TDisc::Blank(TMedium::DvdRw, d.Disc.SmallerCapacity);
      if (::ftruncate(d.ImageFd, 0) != 0) return {3, 0x31, 0x00};  // format failed
    } else if (m != TMedium::DvdRam) {
      return kInvalidParam;
    }
  } else if (type == 0x26) {  // DVD+RW
    if (m != TMedium::DvdPlusRw) return kInvalidParam;
  } else {
    return kInvalidParam;
  }
  // A full format of DVD+RW or DVD-RAM leaves it formatted and empty.
  const bool erase = (type == 0x26 && m == TMedium::DvdPlusRw) || (type == 0x00 && m == TMedium::DvdRam);
  if (erase)
    if (const TSense s = Wipe(d, m); !s.Ok()) return s;
  d.SaveDisc();
  if (immed) Busy(d, erase || reformat ? d.Options.EraseMs : d.Options.FormatMs, {2, 0x04, 0x04});  // format in progress
  return kOk;
}

// The current capacity descriptor (unformatted, formatted or no medium) and,
// for a BD-RE, the one format it takes: type 00h over the whole disc.
TSense ReadFormatCapacities(TVDrive& d, TCommand& c) {
  const TDisc& disc = d.Disc;
  std::vector<uint8_t> r(12, 0);
  Put32(&r[4], disc.Capacity());
  const bool unformatted = disc.Medium == TMedium::BdRe && !disc.Formatted;
  r[8] = unformatted ? 0x01 : 0x02;
  r[10] = 0x08;  // 2048-byte blocks
  if (disc.Medium == TMedium::BdRe) {
    const uint8_t format[8] = {0, 0, 0, 0, 0x00, 0x00, 0x08, 0x00};
    r.insert(r.end(), format, format + 8);
    Put32(&r[12], disc.Capacity());
  }
  r[3] = uint8_t(r.size() - 4);
  Truncate(c, Get16(&c.Cdb[7]));
  Reply(c, r);
  return kOk;
}

TSense SendDiscStructure(TVDrive& d, TCommand& c) {
  const uint8_t format = c.Cdb[7];
  const uint32_t length = Get16(&c.Cdb[8]);
  const TMedium m = d.Disc.Medium;
  if (format != 0x0F || (m != TMedium::DvdR && m != TMedium::DvdRwSeq && m != TMedium::DvdRw))
    return kInvalidField;
  if (length < 22 || c.Data.size() < 22) return {5, 0x1A, 0x00};
  const uint8_t* p = c.Data.data();
  if (Get16(&p[0]) != 0x14) return kInvalidParam;
  std::string stamp(reinterpret_cast<const char*>(p + 8), 14);
  if (!std::all_of(stamp.begin(), stamp.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
    return kInvalidParam;
  const int month = std::stoi(stamp.substr(4, 2)), day = std::stoi(stamp.substr(6, 2)),
            hour = std::stoi(stamp.substr(8, 2)), minute = std::stoi(stamp.substr(10, 2)),
            second = std::stoi(stamp.substr(12, 2));
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
    return kInvalidParam;
  d.Disc.Timestamp = stamp;
  d.SaveDisc();
  return kOk;
}

}  // namespace

TSense ExecDiscCommand(TVDrive& d, TCommand& c, bool* handled) {
  *handled = true;
  switch (c.Cdb[0]) {
    case 0x04: return FormatUnit(d, c);
    case 0x23: return ReadFormatCapacities(d, c);
    case 0x28: return Read10(d, c);
    case 0x2A: return Write10(d, c);
    case 0x35: return FlushBuffer(d, c.Cdb[1] & 0x02);
    case 0x43: return ReadToc(d, c);
    case 0x51: return ReadDiscInformation(d, c);
    case 0x52: return ReadTrackInformation(d, c);
    case 0x53: {
      if (c.Cdb[1] & 0x01) return kInvalidField;
      const TSense s = d.Target().Reserve(Get32(&c.Cdb[5]));
      if (s.Ok() && !d.TestWrite()) d.SaveDisc();
      return s;
    }
    case 0x54: return d.Disc.Info().Writable ? kOk : kIncompatibleWrite;  // SEND OPC
    case 0x5B: return CloseTrackSession(d, c);
    case 0xA1: return Blank(d, c);
    case 0xBF: return SendDiscStructure(d, c);
    default:
      *handled = false;
      return kInvalidOpcode;
  }
}

}  // namespace vrec
