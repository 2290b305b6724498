// The disc model: media, sessions, tracks and the MMC rules for where a disc
// takes data, how tracks and sessions close, and what the disc reports.
#include <algorithm>

#include "vrecorder/vrec_internal.h"

namespace vrec {

const TMediumInfo& MediumInfo(TMedium m) {
  for (const auto& info : kMedia)
    if (info.Medium == m) return info;
  return kMedia[0];
}

std::optional<TMedium> MediumByName(const std::string& name) {
  for (const auto& info : kMedia)
    if (name == info.Name) return info.Medium;
  return std::nullopt;
}

TDisc TDisc::Blank(TMedium m, uint32_t smallerCapacity) {
  TDisc d;
  d.Medium = m;
  d.SmallerCapacity = smallerCapacity;
  const auto& info = MediumInfo(m);
  if (m == TMedium::None) return d;
  if (!info.Writable) return Pressed(m, 0);
  d.Tracks.push_back(TTrack{});  // the invisible track, or the one track of overwritable media
  d.Formatted = m != TMedium::BdRe;
  return d;
}

TDisc TDisc::Pressed(TMedium m, uint32_t sectors) {
  TDisc d;
  d.Medium = m;
  d.Complete = true;
  d.ClosedSessions = 1;
  TTrack t;
  t.Written = sectors;
  t.Closed = true;
  d.Tracks.push_back(t);
  return d;
}

uint32_t TDisc::MediumCapacity(TMedium m) {
  if (m == TMedium::None) return 0;
  if (m == TMedium::BdRDl) return kBdDlCapacity;
  if (IsBd(m)) return kBdCapacity;
  return MediumInfo(m).Cd ? kCdCapacity : kDvdCapacity;
}

uint32_t TDisc::Capacity() const {
  const uint32_t full = MediumCapacity(Medium);
  return SmallerCapacity > 0 ? std::min(SmallerCapacity, full) : full;
}

uint8_t TDisc::DiscStatus() const {
  if (!Info().Writable) return 2;
  if (Info().Overwritable) {
    if (Medium == TMedium::DvdRam) return 3;
    return HighWater == 0 ? 0 : 2;
  }
  if (Complete) return 2;
  if (ClosedSessions == 0 && Tracks.size() == 1 && Tracks[0].Written == 0 && Tracks[0].Reserved == 0)
    return 0;
  return 1;
}

uint8_t TDisc::LastSessionState() const {
  if (!Info().Writable || Complete) return 3;
  if (Info().Overwritable) return (Medium != TMedium::DvdRam && HighWater == 0) ? 0 : 3;
  for (const auto& t : Tracks)
    if (t.Session == ClosedSessions + 1 && (t.Written > 0 || t.Reserved > 0)) return 1;
  return 0;
}

uint32_t TDisc::SessionCount() const {
  if (!Info().Writable || Info().Overwritable) return 1;
  return ClosedSessions + (Complete ? 0 : 1);
}

uint32_t TDisc::FirstTrackInLastSession() const {
  if (Tracks.empty()) return 1;
  const uint32_t last = Tracks.back().Session;
  for (const auto& t : Tracks)
    if (t.Session == last) return t.Number;
  return Tracks.back().Number;
}

uint32_t TDisc::LastTrackInLastSession() const {
  return Tracks.empty() ? 1 : Tracks.back().Number;
}

TTrack* TDisc::Invisible() {
  if (!Sequential() || Complete || Tracks.empty()) return nullptr;
  return &Tracks.back();
}

TTrack* TDisc::OpenReserved() {
  if (!Sequential() || Complete) return nullptr;
  for (auto& t : Tracks)
    if (!t.Closed && t.Reserved > 0 && t.Written < t.Reserved) return &t;
  return nullptr;
}

const TTrack* TDisc::Track(uint32_t number) const {
  for (const auto& t : Tracks)
    if (t.Number == number) return &t;
  return nullptr;
}

const TTrack* TDisc::TrackAt(uint32_t lba) const {
  if (Info().Overwritable) return Tracks.empty() ? nullptr : &Tracks[0];
  for (const auto& t : Tracks) {
    // the invisible track reaches to the end of the disc
    const uint32_t end = (&t == &Tracks.back() && Sequential() && !Complete) ? Capacity() : t.End();
    if (lba >= t.Start && lba < end) return &t;
  }
  return nullptr;
}

bool TDisc::Readable(uint32_t lba) const {
  if (lba >= Capacity() || !Formatted) return false;
  if (Info().Overwritable) return true;
  for (const auto& t : Tracks)
    if (lba >= t.Start && lba < t.Start + t.Written) return true;
  return false;
}

uint32_t TDisc::OpenSessionStart() const {
  for (const auto& t : Tracks)
    if (t.Session == ClosedSessions + 1) return t.Start;
  return 0;
}

std::optional<uint32_t> TDisc::NextWritable() const {
  if (Info().Overwritable) return HighWater;
  if (!Sequential() || Complete || Tracks.empty()) return std::nullopt;
  for (const auto& t : Tracks)
    if (!t.Closed && t.Reserved > 0 && t.Written < t.Reserved) return t.Nwa();
  return Tracks.back().Nwa();
}

TSense TDisc::CheckWrite(uint32_t lba, uint32_t count, TTrack** track) {
  *track = nullptr;
  if (!Info().Writable) return kIncompatibleWrite;
  const uint64_t end = uint64_t(lba) + count;
  if (end > Capacity()) return kLbaOutOfRange;
  if (!Formatted) return kNotFormatted;
  if (Info().Overwritable) {
    *track = &Tracks[0];
    return kOk;
  }
  if (Complete) return kInvalidWriteAddress;
  for (auto& t : Tracks) {
    if (t.Closed || t.Nwa() != lba) continue;
    if (t.Reserved > 0 && end > t.Start + uint64_t(t.Reserved)) return kInvalidWriteAddress;
    if (t.Reserved == 0 && &t != &Tracks.back()) continue;
    *track = &t;
    return kOk;
  }
  return kInvalidWriteAddress;
}

void TDisc::CommitWrite(TTrack* track, uint32_t lba, uint32_t count) {
  if (Info().Overwritable) {
    HighWater = std::max(HighWater, lba + count);
    track->Written = HighWater;
    return;
  }
  track->Written += count;
}

TSense TDisc::Reserve(uint32_t size) {
  if (!Sequential()) return kIncompatibleWrite;
  TTrack* inv = Invisible();
  if (!inv) return kSequenceError;
  if (inv->Written > 0) return kSequenceError;
  if (size == 0) return kInvalidField;
  if (!Info().Cd) size = (size + 15) / 16 * 16;  // whole ECC blocks
  if (uint64_t(inv->Start) + size >= Capacity()) return kInvalidField;
  inv->Reserved = size;
  TTrack next;
  next.Number = inv->Number + 1;
  next.Session = inv->Session;
  next.Start = inv->Start + size;
  Tracks.push_back(next);
  return kOk;
}

TSense TDisc::CloseTrack(uint32_t number) {
  if (!Info().Writable) return kIncompatibleWrite;
  if (Info().Overwritable) return kOk;
  if (Complete) return kSequenceError;
  TTrack* inv = Invisible();
  TTrack* t = nullptr;
  if (number == 0xFF && inv) t = inv;
  for (auto& candidate : Tracks)
    if (!t && candidate.Number == number) t = &candidate;
  if (!t || t->Session != ClosedSessions + 1 || t->Closed) return kInvalidField;
  if (t == inv) {
    if (t->Written == 0) return kOk;  // nothing recorded in the invisible track
    t->Closed = true;
    TTrack next;
    next.Number = t->Number + 1;
    next.Session = t->Session;
    next.Start = t->End();
    Tracks.push_back(next);
    return kOk;
  }
  t->Written = t->Reserved;  // the drive pads a reserved track to its size
  t->Closed = true;
  return kOk;
}

TSense TDisc::CloseSession(bool appendable) {
  if (!Info().Writable) return kIncompatibleWrite;
  if (Info().Overwritable) return kOk;
  if (Complete) return kSequenceError;
  const uint32_t session = ClosedSessions + 1;
  bool any = false;
  for (const auto& t : Tracks)
    if (t.Session == session && (t.Written > 0 || t.Reserved > 0)) any = true;
  if (!any) return kSequenceError;
  for (auto& t : Tracks) {
    if (t.Session != session || t.Closed) continue;
    if (t.Reserved > 0) t.Written = t.Reserved;
    if (t.Written > 0) t.Closed = true;
  }
  // The blank invisible track goes; a new one opens the next session.
  while (!Tracks.empty() && !Tracks.back().Closed) Tracks.pop_back();
  uint32_t end = 0;
  for (const auto& t : Tracks)
    if (t.Session == session) end = std::max(end, t.End());
  ClosedSessions = session;
  uint32_t next = end;
  if (Info().Cd) next += ClosedSessions == 1 ? kFirstSessionGap : kLaterSessionGap;
  if (!appendable || next >= Capacity()) {
    Complete = true;
    return kOk;
  }
  TTrack inv;
  inv.Number = Tracks.back().Number + 1;
  inv.Session = session + 1;
  inv.Start = next;
  Tracks.push_back(inv);
  return kOk;
}

std::array<uint8_t, 40> TDisc::TrackInformation(const TTrack& t) const {
  std::array<uint8_t, 40> r{};
  Put16(&r[0], 46);  // the full MMC block; the caller's allocation length truncates it
  r[2] = uint8_t(t.Number);
  r[3] = uint8_t(t.Session);
  const bool dvdIncremental = Medium == TMedium::DvdR || Medium == TMedium::DvdRwSeq;
  r[5] = (Info().Cd ? 0x04 : 0x05) | (t.Damaged ? 0x20 : 0x00);
  uint8_t b6 = 0x01;  // data mode 1
  uint32_t nwa = 0, freeBlocks = 0, size = 0, packet = 0;
  bool nwaValid = false;
  const uint32_t cap = Capacity();
  if (Info().Overwritable) {
    b6 |= 0x30;  // fixed packets
    if (HighWater == 0) b6 |= 0x40;
    nwaValid = true;
    nwa = HighWater;
    size = cap;
    packet = 16;
  } else if (t.Closed || !Info().Writable) {
    size = t.Written;
  } else if (t.Reserved > 0) {
    b6 |= 0x80;
    if (t.Written == 0) b6 |= 0x40;
    nwaValid = true;
    nwa = t.Nwa();
    freeBlocks = t.Reserved - t.Written;
    size = t.Reserved;
  } else {
    if (t.Written == 0) b6 |= 0x40;
    nwaValid = true;
    nwa = t.Nwa();
    freeBlocks = cap > nwa ? cap - nwa : 0;
    size = cap > t.Start ? cap - t.Start : 0;
  }
  if (dvdIncremental && !Info().Overwritable) {
    b6 |= 0x20;
    packet = 16;
  }
  r[6] = b6;
  const uint32_t recorded = Info().Overwritable ? HighWater : t.Written;
  r[7] = (nwaValid ? 0x01 : 0x00) | (recorded > 0 ? 0x02 : 0x00);
  Put32(&r[8], Info().Overwritable ? 0 : t.Start);
  Put32(&r[12], nwaValid ? nwa : 0);
  Put32(&r[16], freeBlocks);
  Put32(&r[20], packet);
  Put32(&r[24], size);
  Put32(&r[28], recorded > 0 ? (Info().Overwritable ? 0 : t.Start) + recorded - 1 : 0);
  return r;
}

TVRecDiscInfo TDisc::Describe() const {
  TVRecDiscInfo info;
  info.Medium = Info().Name;
  info.Capacity = Capacity();
  if (Info().Erasable) info.Erase = Info().Overwritable && Medium != TMedium::DvdRw ? "FORMAT UNIT" : "BLANK";
  if (Medium == TMedium::None) {
    info.Status = "no medium";
    return info;
  }
  static constexpr const char* kStatus[] = {"empty", "appendable", "complete", "other"};
  info.Status = kStatus[DiscStatus()];
  if (Medium == TMedium::BdRe) info.Formatted = Formatted ? "yes" : "no";
  for (const auto& t : Tracks) {
    if (info.Sessions.empty() || info.Sessions.back().Number != int(t.Session)) {
      TVRecSession s;
      s.Number = int(t.Session);
      // overwritable media hold one complete session once written
      s.Closed = Info().Overwritable ? LastSessionState() == 3 : t.Session <= ClosedSessions;
      s.Start = Info().Overwritable ? 0 : t.Start;
      info.Sessions.push_back(s);
    }
    TVRecTrack tr;
    tr.Number = int(t.Number);
    tr.Session = int(t.Session);
    tr.Start = Info().Overwritable ? 0 : t.Start;
    tr.End = Info().Overwritable ? HighWater : t.End();
    if (t.Closed) tr.State = "closed";
    else if (Info().Overwritable) tr.State = HighWater ? "overwritable" : "blank";
    else if (t.Reserved > 0) tr.State = "reserved";
    else if (t.Written > 0) tr.State = "incomplete";
    else tr.State = "blank";
    info.Sessions.back().End = std::max(info.Sessions.back().End, tr.End);
    info.Sessions.back().Tracks.push_back(tr);
  }
  if (auto nwa = NextWritable()) {
    info.HasNextWritable = true;
    info.NextWritable = *nwa;
    info.FreeSectors = info.Capacity > *nwa ? info.Capacity - *nwa : 0;
    // an open reserved track only has its reservation left
    for (const auto& t : Tracks)
      if (!t.Closed && t.Reserved > 0 && t.Written < t.Reserved && t.Nwa() == *nwa)
        info.FreeSectors = t.Reserved - t.Written;
  }
  return info;
}

}  // namespace vrec
