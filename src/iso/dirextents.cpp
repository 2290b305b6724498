// The directory extents of a tree kept compact until the stream reads them:
// a tree of a million entries would otherwise hold a quarter of a gigabyte of
// records from the layout to the end of the recording. The records of a
// directory look much alike, so each is kept as what it does not share with
// the record before it in its sector. A sector is made again from its first
// record on and owes nothing to another, so any sector reads on its own.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "iso/iso.h"
#include "iso/writers.h"

namespace {

constexpr size_t kStoreChunk = 65536;
constexpr size_t kDateBytes = 7;
constexpr size_t kPXLength = 44;
constexpr size_t kPXShared = 36;  // all of PX before the serial
// TF fields longer are kept whole: three times of the long form take 56 bytes.
constexpr size_t kMaxTFLength = 63;

// How a record is kept: the low bits of its first byte.
// Narrow: a Joliet name of UTF-16 units below 256, kept one byte a unit.
enum class TKind : uint8_t { Plain, Narrow, RockRidge, Whole, Zeros };
constexpr uint8_t kKindBits = 0x07;
// The other bits: which fields are what the record before would have them.
constexpr uint8_t kExtentFollows = 0x08;  // the sector after the one before's data
constexpr uint8_t kSameFlags = 0x10;
constexpr uint8_t kSamePX = 0x20;
constexpr uint8_t kNextSerial = 0x40;  // one above the one before's
constexpr uint8_t kHasNM = 0x80;
// In the kept TF length: its times are told against the record's own date,
// not against the TF of the record before.
constexpr uint8_t kTFOwnDate = 0x80;
constexpr uint8_t kTFSame = 0x40;  // the TF of the record before

size_t NamePad(size_t NameLength) { return NameLength % 2 == 0 ? 1 : 0; }

void PutNumber(std::vector<uint8_t>& Out, uint64_t Value) {
  for (; Value >= 0x80; Value >>= 7) Out.push_back(static_cast<uint8_t>(Value | 0x80));
  Out.push_back(static_cast<uint8_t>(Value));
}

uint64_t GetNumber(const uint8_t*& At) {
  uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const uint8_t b = *At++;
    value |= uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) return value;
  }
}

// A difference kept small either way.
void PutDifference(std::vector<uint8_t>& Out, int64_t Value) {
  PutNumber(Out, (static_cast<uint64_t>(Value) << 1) ^ static_cast<uint64_t>(Value >> 63));
}

int64_t GetDifference(const uint8_t*& At) {
  const uint64_t v = GetNumber(At);
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

// Bytes told against a reference of the same length: for each eight, a byte
// with a bit for each that differs, then those that do.
size_t ChangedSize(const uint8_t* Bytes, const uint8_t* Ref, size_t Count) {
  size_t n = (Count + 7) / 8;
  for (size_t i = 0; i < Count; ++i) n += Bytes[i] != Ref[i] ? 1 : 0;
  return n;
}

void PutChanged(std::vector<uint8_t>& Out, const uint8_t* Bytes, const uint8_t* Ref, size_t Count) {
  for (size_t i = 0; i < Count; i += 8) {
    const size_t k = std::min<size_t>(8, Count - i);
    uint8_t mask = 0;
    for (size_t j = 0; j < k; ++j)
      if (Bytes[i + j] != Ref[i + j]) mask |= static_cast<uint8_t>(1u << j);
    Out.push_back(mask);
    for (size_t j = 0; j < k; ++j)
      if ((mask & (1u << j)) != 0) Out.push_back(Bytes[i + j]);
  }
}

void GetChanged(const uint8_t*& At, uint8_t* Bytes, const uint8_t* Ref, size_t Count) {
  for (size_t i = 0; i < Count; i += 8) {
    const size_t k = std::min<size_t>(8, Count - i);
    const uint8_t mask = *At++;
    for (size_t j = 0; j < k; ++j) Bytes[i + j] = (mask & (1u << j)) != 0 ? *At++ : Ref[i + j];
  }
}

// A name told by what it shares with the one before, its start and its end
// (names in order share the one, extensions the other): its length, the
// lengths of those two, the bytes between.
void PutName(std::vector<uint8_t>& Out, const uint8_t* Name, size_t Length, const uint8_t* Before,
             size_t BeforeLength) {
  size_t start = 0, end = 0;
  while (start < Length && start < BeforeLength && Name[start] == Before[start]) ++start;
  while (start + end < Length && start + end < BeforeLength &&
         Name[Length - 1 - end] == Before[BeforeLength - 1 - end])
    ++end;
  Out.push_back(static_cast<uint8_t>(Length));
  Out.push_back(static_cast<uint8_t>(start));
  Out.push_back(static_cast<uint8_t>(end));
  Out.insert(Out.end(), Name + start, Name + Length - end);
}

size_t GetName(const uint8_t*& At, uint8_t* Name, const uint8_t* Before, size_t BeforeLength) {
  const size_t length = At[0], start = At[1], end = At[2];
  At += 3;
  std::memcpy(Name, Before, start);
  std::memcpy(Name + start, At, length - start - end);
  std::memcpy(Name + length - end, Before + BeforeLength - end, end);
  At += length - start - end;
  return length;
}

}  // namespace

struct TDirectoryExtents::TFields {
  TKind Kind = TKind::Plain;
  uint32_t Extent = 0, Length = 0;
  uint32_t Serial = 0, Shared = 0;  // Rock Ridge: PX serial; index into shared_
  uint8_t Flags = 0;
  uint8_t NameLength = 0;  // as the record says; Narrow: twice its units
  uint8_t NMLength = 0, TFLength = 0;
  std::array<uint8_t, kDateBytes> Date{};
  std::array<uint8_t, 255> Name{};  // Narrow: one byte a unit
  std::array<uint8_t, 255> NM{};
  std::array<uint8_t, kMaxTFLength> TF{};  // the field after its first four bytes

  size_t NameUnits() const { return Kind == TKind::Narrow ? NameLength / 2u : NameLength; }
  size_t TFData() const { return TFLength - 4u; }
};

// What the records of a sector are told against: the fields of those before.
struct TDirectoryExtents::TContext {
  uint32_t NextExtent = 0, NextSerial = 0, Shared = 0;
  uint8_t Flags = 0;
  std::array<uint8_t, kDateBytes> Date{};
  std::array<uint8_t, 255> Name{};
  size_t NameUnits = 0;
  std::array<uint8_t, 255> NM{};
  size_t NMLength = 0;
  std::array<uint8_t, kMaxTFLength> TF{};
  size_t TFData = 0;
};

namespace {

using TFields = TDirectoryExtents::TFields;
using TContext = TDirectoryExtents::TContext;

// The reference of TF times told against the record's own date: the flags
// of modify, access and change times, then the date over and over.
void OwnDateReference(const TFields& F, uint8_t* Ref) {
  Ref[0] = 0x0E;
  for (size_t i = 1; i < F.TFData(); ++i) Ref[i] = F.Date[(i - 1) % kDateBytes];
}

// Encoder and decoder both keep the context this way, from the bytes each
// record has: nothing else of an array is ever compared.
void Remember(TContext& C, const TFields& F) {
  C.NextExtent = F.Extent + static_cast<uint32_t>((uint64_t{F.Length} + 2047) / 2048);
  C.Flags = F.Flags;
  C.Date = F.Date;
  C.NameUnits = F.NameUnits();
  std::memcpy(C.Name.data(), F.Name.data(), C.NameUnits);
  if (F.Kind != TKind::RockRidge) return;
  C.NextSerial = F.Serial + 1;
  C.Shared = F.Shared;
  C.TFData = F.TFData();
  std::memcpy(C.TF.data(), F.TF.data(), C.TFData);
  if (F.NMLength > 0) {
    C.NMLength = F.NMLength;
    std::memcpy(C.NM.data(), F.NM.data(), C.NMLength);
  }
}

void Encode(const TFields& F, const TContext& C, std::vector<uint8_t>& Out) {
  const bool rr = F.Kind == TKind::RockRidge;
  uint8_t head = static_cast<uint8_t>(F.Kind);
  if (F.Extent == C.NextExtent) head |= kExtentFollows;
  if (F.Flags == C.Flags) head |= kSameFlags;
  if (rr && F.Shared == C.Shared) head |= kSamePX;
  if (rr && F.Serial == C.NextSerial) head |= kNextSerial;
  if (rr && F.NMLength > 0) head |= kHasNM;
  Out.push_back(head);
  if ((head & kExtentFollows) == 0) PutDifference(Out, int64_t{F.Extent} - int64_t{C.NextExtent});
  PutNumber(Out, F.Length);
  if ((head & kSameFlags) == 0) Out.push_back(F.Flags);
  PutChanged(Out, F.Date.data(), C.Date.data(), kDateBytes);
  PutName(Out, F.Name.data(), F.NameUnits(), C.Name.data(), C.NameUnits);
  if (!rr) return;
  if ((head & kSamePX) == 0) PutNumber(Out, F.Shared);
  if ((head & kNextSerial) == 0) PutDifference(Out, int64_t{F.Serial} - int64_t{C.NextSerial});
  const size_t tf = F.TFData();
  std::array<uint8_t, kMaxTFLength> own;
  OwnDateReference(F, own.data());
  const size_t changed = C.TFData == tf ? ChangedSize(F.TF.data(), C.TF.data(), tf) : SIZE_MAX;
  if (changed == (tf + 7) / 8) {
    Out.push_back(static_cast<uint8_t>(F.TFLength | kTFSame));
  } else {
    const bool before = changed <= ChangedSize(F.TF.data(), own.data(), tf);
    Out.push_back(static_cast<uint8_t>(F.TFLength | (before ? 0 : kTFOwnDate)));
    PutChanged(Out, F.TF.data(), before ? C.TF.data() : own.data(), tf);
  }
  if (F.NMLength > 0) PutName(Out, F.NM.data(), F.NMLength, C.NM.data(), C.NMLength);
}

// The record's bytes from its fields; how many.
size_t Make(const TFields& F, const std::vector<std::array<uint8_t, kPXShared>>& Shared, uint8_t* Dest) {
  const size_t n = F.NameLength;
  const size_t base = 33 + n + NamePad(n);
  size_t length = base;
  if (F.Kind == TKind::RockRidge) {
    uint8_t* su = Dest + base;
    std::memcpy(su, Shared[F.Shared].data(), kPXShared);
    PutBoth32(su + kPXShared, F.Serial);
    su += kPXLength;
    su[0] = 'T', su[1] = 'F', su[2] = F.TFLength, su[3] = 1;
    std::memcpy(su + 4, F.TF.data(), F.TFData());
    su += F.TFLength;
    length += kPXLength + F.TFLength;
    if (const size_t m = F.NMLength; m > 0) {
      su[0] = 'N', su[1] = 'M', su[2] = static_cast<uint8_t>(5 + m), su[3] = 1, su[4] = 0;
      std::memcpy(su + 5, F.NM.data(), m);
      length += 5 + m;
    }
    if (length % 2 != 0) Dest[length++] = 0;
  }
  Dest[0] = static_cast<uint8_t>(length);
  Dest[1] = 0;
  PutBoth32(Dest + 2, F.Extent);
  PutBoth32(Dest + 10, F.Length);
  std::memcpy(Dest + 18, F.Date.data(), kDateBytes);
  Dest[25] = F.Flags;
  Dest[26] = Dest[27] = 0;
  PutBoth16(Dest + 28, 1);
  Dest[32] = static_cast<uint8_t>(n);
  if (F.Kind == TKind::Narrow) {
    for (size_t i = 0; i < n / 2; ++i) {
      Dest[33 + 2 * i] = 0;
      Dest[34 + 2 * i] = F.Name[i];
    }
  } else {
    std::memcpy(Dest + 33, F.Name.data(), n);
  }
  if (NamePad(n) != 0) Dest[33 + n] = 0;
  return length;
}

// Takes the record apart into the fields of the usual shape (no extended
// attributes, volume 1, and in its system use area nothing, or PX, TF and NM
// of Rock Ridge in one piece); false when it has another. F.Shared is left
// to the caller, with the PX bytes in Px.
bool Parse(std::span<const uint8_t> Bytes, TFields& F, std::array<uint8_t, kPXShared>& Px) {
  const uint8_t* b = Bytes.data();
  const size_t length = Bytes.size();
  if (length < 34 || length != b[0] || size_t{33} + b[32] > length) return false;
  const size_t n = b[32];
  const size_t base = 33 + n + NamePad(n);
  if (base > length) return false;
  F.Extent = uint32_t{b[2]} | uint32_t{b[3]} << 8 | uint32_t{b[4]} << 16 | uint32_t{b[5]} << 24;
  F.Length = uint32_t{b[10]} | uint32_t{b[11]} << 8 | uint32_t{b[12]} << 16 | uint32_t{b[13]} << 24;
  F.Flags = b[25];
  F.NameLength = static_cast<uint8_t>(n);
  std::memcpy(F.Date.data(), b + 18, kDateBytes);
  if (base < length) {
    const uint8_t* su = b + base;
    const size_t size = length - base;
    if (size < kPXLength + 5 || su[0] != 'P' || su[1] != 'X' || su[2] != kPXLength || su[3] != 1 ||
        su[kPXLength] != 'T' || su[kPXLength + 1] != 'F' || su[kPXLength + 3] != 1 || su[kPXLength + 2] < 5 ||
        su[kPXLength + 2] > kMaxTFLength || kPXLength + su[kPXLength + 2] > size)
      return false;
    F.Kind = TKind::RockRidge;
    F.Serial = uint32_t{su[36]} | uint32_t{su[37]} << 8 | uint32_t{su[38]} << 16 | uint32_t{su[39]} << 24;
    F.TFLength = su[kPXLength + 2];
    std::memcpy(F.TF.data(), su + kPXLength + 4, F.TFData());
    size_t at = kPXLength + F.TFLength;
    if (size - at >= 5 && su[at] == 'N' && su[at + 1] == 'M' && su[at + 3] == 1 && su[at + 4] == 0 &&
        su[at + 2] > 5 && at + su[at + 2] <= size) {
      F.NMLength = static_cast<uint8_t>(su[at + 2] - 5);
      std::memcpy(F.NM.data(), su + at + 5, F.NMLength);
      at += su[at + 2];
    }
    if (at != size && (at + 1 != size || su[at] != 0)) return false;
    std::memcpy(Px.data(), su, kPXShared);
  }
  bool narrow = F.Kind == TKind::Plain && n % 2 == 0;
  for (size_t i = 0; narrow && i < n; i += 2) narrow = b[33 + i] == 0;
  if (narrow) {
    F.Kind = TKind::Narrow;
    for (size_t i = 0; i < n; i += 2) F.Name[i / 2] = b[34 + i];
  } else {
    std::memcpy(F.Name.data(), b + 33, n);
  }
  return true;
}

}  // namespace

TDirectoryExtents::TDirectoryExtents() : context_(std::make_unique<TContext>()) {}
TDirectoryExtents::~TDirectoryExtents() = default;

void TDirectoryExtents::Add(size_t Bytes) {
  used_ += Bytes;
  if (used_ < 2048) return;
  // The sector is whole: its fields go to the chunks, in one piece. A sector
  // keeps at most a few bytes for each of its bytes, far less than a chunk.
  if (chunks_.empty() || chunkSize_ - chunkUsed_ < pending_.size()) {
    chunkSize_ = std::max(kStoreChunk, pending_.size());
    chunks_.push_back(std::make_unique<uint8_t[]>(chunkSize_));
    chunkUsed_ = 0;
  }
  std::memcpy(chunks_.back().get() + chunkUsed_, pending_.data(), pending_.size());
  sectorAt_.push_back(uint64_t{chunks_.size() - 1} << 32 | chunkUsed_);
  chunkUsed_ += pending_.size();
  kept_ += pending_.size();
  pending_.clear();
  *context_ = TContext{};
  used_ = 0;
}

void TDirectoryExtents::AddWhole(std::span<const uint8_t> Bytes) {
  // A record's length is one byte: longer runs are kept in pieces.
  while (!Bytes.empty()) {
    const std::span<const uint8_t> piece = Bytes.first(std::min<size_t>(Bytes.size(), 255));
    pending_.push_back(static_cast<uint8_t>(TKind::Whole));
    pending_.push_back(static_cast<uint8_t>(piece.size()));
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    ++whole_;
    Add(piece.size());
    Bytes = Bytes.subspan(piece.size());
  }
}

void TDirectoryExtents::Record(std::span<const uint8_t> Bytes) {
  if (Bytes.empty()) return;
  // The walk keeps records within a sector; one that is not is kept as the
  // pieces on either side of the boundary.
  if (used_ + Bytes.size() > 2048) {
    const size_t k = 2048 - used_;
    AddWhole(Bytes.first(k));
    Record(Bytes.subspan(k));
    return;
  }
  TFields f;
  std::array<uint8_t, kPXShared> px;
  if (!Parse(Bytes, f, px)) {
    AddWhole(Bytes);
    return;
  }
  if (f.Kind == TKind::RockRidge) {
    // The PX fields most records share, the last one first.
    if (shared_.empty() || shared_[lastShared_] != px) {
      const std::string key(reinterpret_cast<const char*>(px.data()), px.size());
      const auto [it, added] = sharedIndex_.try_emplace(key, static_cast<uint32_t>(shared_.size()));
      if (added) shared_.push_back(px);
      lastShared_ = it->second;
    }
    f.Shared = lastShared_;
  }
  // Kept this way only when it makes the record again exactly.
  std::array<uint8_t, 256 + 256> again;
  if (Make(f, shared_, again.data()) != Bytes.size() || std::memcmp(again.data(), Bytes.data(), Bytes.size()) != 0) {
    AddWhole(Bytes);
    return;
  }
  Encode(f, *context_, pending_);
  Remember(*context_, f);
  Add(Bytes.size());
}

void TDirectoryExtents::Zeros(size_t Count) {
  while (Count > 0) {
    const size_t k = std::min(Count, 2048 - used_);
    pending_.push_back(static_cast<uint8_t>(TKind::Zeros));
    PutNumber(pending_, k);
    Add(k);
    Count -= k;
  }
}

void TDirectoryExtents::Shrink() {
  sectorAt_.shrink_to_fit();
  shared_.shrink_to_fit();
  sharedIndex_ = {};
}

void TDirectoryExtents::Sector(int64_t Index, uint8_t* Dest) const {
  std::memset(Dest, 0, 2048);
  const auto i = static_cast<size_t>(Index);
  if (i > sectorAt_.size()) return;
  // A whole sector ends with its 2048th byte; the one being filled, with what it keeps.
  const bool filling = i == sectorAt_.size();
  const uint8_t* at = filling ? pending_.data() : chunks_[sectorAt_[i] >> 32].get() + (sectorAt_[i] & 0xFFFFFFFFu);
  const uint8_t* end = filling ? at + pending_.size() : nullptr;
  TContext context;
  TFields f;
  for (size_t made = 0; made < 2048 && at != end;) {
    const uint8_t head = *at++;
    f.Kind = static_cast<TKind>(head & kKindBits);
    if (f.Kind == TKind::Zeros) {
      made += GetNumber(at);
      continue;
    }
    if (f.Kind == TKind::Whole) {
      const size_t n = *at++;
      std::memcpy(Dest + made, at, n);
      at += n;
      made += n;
      continue;
    }
    const bool rr = f.Kind == TKind::RockRidge;
    f.Extent = (head & kExtentFollows) != 0 ? context.NextExtent
                                             : static_cast<uint32_t>(int64_t{context.NextExtent} + GetDifference(at));
    f.Length = static_cast<uint32_t>(GetNumber(at));
    f.Flags = (head & kSameFlags) != 0 ? context.Flags : *at++;
    GetChanged(at, f.Date.data(), context.Date.data(), kDateBytes);
    const size_t units = GetName(at, f.Name.data(), context.Name.data(), context.NameUnits);
    f.NameLength = static_cast<uint8_t>(f.Kind == TKind::Narrow ? 2 * units : units);
    f.NMLength = 0;
    if (rr) {
      f.Shared = (head & kSamePX) != 0 ? context.Shared : static_cast<uint32_t>(GetNumber(at));
      f.Serial = (head & kNextSerial) != 0 ? context.NextSerial
                                            : static_cast<uint32_t>(int64_t{context.NextSerial} + GetDifference(at));
      const uint8_t tf = *at++;
      f.TFLength = static_cast<uint8_t>(tf & ~(kTFOwnDate | kTFSame));
      std::array<uint8_t, kMaxTFLength> own;
      if ((tf & kTFSame) != 0) {
        std::memcpy(f.TF.data(), context.TF.data(), f.TFData());
      } else {
        if ((tf & kTFOwnDate) != 0) OwnDateReference(f, own.data());
        GetChanged(at, f.TF.data(), (tf & kTFOwnDate) != 0 ? own.data() : context.TF.data(), f.TFData());
      }
      if ((head & kHasNM) != 0) f.NMLength = static_cast<uint8_t>(GetName(at, f.NM.data(), context.NM.data(), context.NMLength));
    }
    made += Make(f, shared_, Dest + made);
    Remember(context, f);
  }
}

void TDirectoryExtents::Fill(int64_t Offset, std::span<uint8_t> Dest) const {
  std::array<uint8_t, 2048> scratch;
  for (size_t done = 0; done < Dest.size();) {
    const int64_t at = Offset + static_cast<int64_t>(done);
    const size_t within = static_cast<size_t>(at % 2048);
    const size_t n = std::min(2048 - within, Dest.size() - done);
    if (n == 2048) {
      Sector(at / 2048, Dest.data() + done);
    } else {
      Sector(at / 2048, scratch.data());
      std::memcpy(Dest.data() + done, scratch.data() + within, n);
    }
    done += n;
  }
}
