// The directory extents of a tree kept compact until the stream reads them:
// a tree of a million entries would otherwise hold a quarter of a gigabyte of
// records from the layout to the end of the recording.
#include <algorithm>
#include <cstring>

#include "iso/iso.h"
#include "iso/writers.h"

namespace {

constexpr size_t kStoreChunk = 65536;
constexpr size_t kDateBytes = 7;
constexpr size_t kPXLength = 44;
constexpr size_t kPXShared = 36;  // all of PX before the serial

size_t NamePad(size_t NameLength) { return NameLength % 2 == 0 ? 1 : 0; }

}  // namespace

void TDirectoryExtents::Reserve(size_t Records) { items_.reserve(Records); }

void TDirectoryExtents::Store(TItem& Item, std::span<const uint8_t> Bytes) {
  // A record's bytes stay in one chunk.
  if (stored_ % kStoreChunk + Bytes.size() > kStoreChunk) stored_ += kStoreChunk - stored_ % kStoreChunk;
  if (stored_ / kStoreChunk >= chunks_.size()) chunks_.push_back(std::make_unique<uint8_t[]>(kStoreChunk));
  std::memcpy(chunks_[stored_ / kStoreChunk].get() + stored_ % kStoreChunk, Bytes.data(), Bytes.size());
  Item.Text = static_cast<uint32_t>(stored_);
  Item.TextHigh = static_cast<uint8_t>(stored_ >> 32);
  stored_ += Bytes.size();
}

const uint8_t* TDirectoryExtents::Stored(const TItem& Item) const {
  const uint64_t at = (uint64_t{Item.TextHigh} << 32) | Item.Text;
  return chunks_[at / kStoreChunk].get() + at % kStoreChunk;
}

size_t TDirectoryExtents::Make(const TItem& Item, const uint8_t* Text, uint8_t* Dest) const {
  if (Item.Kind == TKind::Whole) {
    std::memcpy(Dest, Text, Item.NameLength);
    return Item.NameLength;
  }
  const size_t n = Item.NameLength;
  const size_t base = 33 + n + NamePad(n);
  const uint8_t* date = Text;
  const uint8_t* tf = date + kDateBytes;
  const size_t tfData = Item.Kind == TKind::RockRidge ? size_t{Item.TFLength} - 4 : 0;
  const uint8_t* name = tf + tfData;
  size_t length = base;
  if (Item.Kind == TKind::RockRidge) {
    uint8_t* su = Dest + base;
    std::memcpy(su, shared_[Item.Shared].data(), kPXShared);
    PutBoth32(su + kPXShared, Item.Serial);
    su += kPXLength;
    su[0] = 'T', su[1] = 'F', su[2] = Item.TFLength, su[3] = 1;
    std::memcpy(su + 4, tf, tfData);
    su += Item.TFLength;
    length += kPXLength + Item.TFLength;
    if (const size_t m = Item.NMLength; m > 0) {
      su[0] = 'N', su[1] = 'M', su[2] = static_cast<uint8_t>(5 + m), su[3] = 1, su[4] = 0;
      std::memcpy(su + 5, name + n, m);
      length += 5 + m;
    }
    if (length % 2 != 0) Dest[length++] = 0;
  }
  Dest[0] = static_cast<uint8_t>(length);
  Dest[1] = 0;
  PutBoth32(Dest + 2, Item.Extent);
  PutBoth32(Dest + 10, Item.Length);
  std::memcpy(Dest + 18, date, kDateBytes);
  Dest[25] = Item.Flags;
  Dest[26] = Dest[27] = 0;
  PutBoth16(Dest + 28, 1);
  Dest[32] = static_cast<uint8_t>(n);
  if (Item.Kind == TKind::Narrow) {
    for (size_t i = 0; i < n / 2; ++i) {
      Dest[33 + 2 * i] = 0;
      Dest[34 + 2 * i] = name[i];
    }
  } else {
    std::memcpy(Dest + 33, name, n);
  }
  if (NamePad(n) != 0) Dest[33 + n] = 0;
  return length;
}

void TDirectoryExtents::Add(const TItem& Item, size_t Bytes) {
  items_.push_back(Item);
  used_ += Bytes;
  if (used_ == 2048) {
    sectorFirst_.push_back(static_cast<uint32_t>(items_.size()));
    used_ = 0;
  }
}

void TDirectoryExtents::AddWhole(std::span<const uint8_t> Bytes) {
  // A record's length is one byte: longer runs are kept in pieces.
  while (!Bytes.empty()) {
    const std::span<const uint8_t> piece = Bytes.first(std::min<size_t>(Bytes.size(), 255));
    TItem item;
    item.Kind = TKind::Whole;
    item.NameLength = static_cast<uint8_t>(piece.size());
    Store(item, piece);
    ++whole_;
    Add(item, piece.size());
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
  const uint8_t* b = Bytes.data();
  const size_t length = Bytes.size();
  // The fields of the usual record: no extended attributes, volume 1, and in
  // its system use area nothing, or PX, TF and NM (one piece) of Rock Ridge.
  TItem item;
  std::array<uint8_t, 256> text;
  size_t textLength = 0;
  bool usual = length >= 34 && length == b[0] && size_t{33} + b[32] <= length;
  if (usual) {
    const size_t n = b[32];
    const size_t base = 33 + n + NamePad(n);
    item.Extent = uint32_t{b[2]} | uint32_t{b[3]} << 8 | uint32_t{b[4]} << 16 | uint32_t{b[5]} << 24;
    item.Length = uint32_t{b[10]} | uint32_t{b[11]} << 8 | uint32_t{b[12]} << 16 | uint32_t{b[13]} << 24;
    item.Flags = b[25];
    item.NameLength = static_cast<uint8_t>(n);
    std::memcpy(text.data(), b + 18, kDateBytes);
    textLength = kDateBytes;
    if (base > length) {
      usual = false;
    } else if (base < length) {
      const uint8_t* su = b + base;
      const size_t size = length - base;
      size_t at = 0;
      usual = size >= kPXLength + 5 && su[0] == 'P' && su[1] == 'X' && su[2] == kPXLength && su[3] == 1 &&
              su[kPXLength] == 'T' && su[kPXLength + 1] == 'F' && su[kPXLength + 3] == 1 &&
              su[kPXLength + 2] >= 5 && kPXLength + su[kPXLength + 2] <= size;
      if (usual) {
        item.Kind = TKind::RockRidge;
        item.Serial = uint32_t{su[36]} | uint32_t{su[37]} << 8 | uint32_t{su[38]} << 16 | uint32_t{su[39]} << 24;
        item.TFLength = su[kPXLength + 2];
        at = kPXLength + item.TFLength;
        std::memcpy(text.data() + textLength, su + kPXLength + 4, item.TFLength - 4u);
        textLength += item.TFLength - 4u;
        if (size - at >= 5 && su[at] == 'N' && su[at + 1] == 'M' && su[at + 3] == 1 && su[at + 4] == 0 &&
            su[at + 2] > 5 && at + su[at + 2] <= size) {
          item.NMLength = static_cast<uint8_t>(su[at + 2] - 5);
          at += su[at + 2];
        }
        usual = at == size || (at + 1 == size && su[at] == 0);
        if (usual) {
          // The PX fields most records share, the last one first.
          std::array<uint8_t, kPXShared> px;
          std::memcpy(px.data(), su, kPXShared);
          if (shared_.empty() || shared_[lastShared_] != px) {
            const std::string key(reinterpret_cast<const char*>(px.data()), px.size());
            const auto [it, added] = sharedIndex_.try_emplace(key, static_cast<uint32_t>(shared_.size()));
            if (added) shared_.push_back(px);
            lastShared_ = it->second;
          }
          item.Shared = lastShared_;
        }
      }
    }
    bool narrow = usual && item.Kind == TKind::Plain && n % 2 == 0;
    for (size_t i = 0; narrow && i < n; i += 2) narrow = b[33 + i] == 0;
    if (narrow) {
      item.Kind = TKind::Narrow;
      for (size_t i = 0; i < n; i += 2) text[textLength++] = b[34 + i];
    } else if (usual) {
      std::memcpy(text.data() + textLength, b + 33, n);
      textLength += n;
      if (item.NMLength > 0) {
        std::memcpy(text.data() + textLength, b + base + kPXLength + item.TFLength + 5, item.NMLength);
        textLength += item.NMLength;
      }
    }
  }
  // Kept this way only when it makes the record again exactly.
  std::array<uint8_t, 256> again;
  if (usual && (textLength > text.size() || Make(item, text.data(), again.data()) != length ||
                std::memcmp(again.data(), b, length) != 0))
    usual = false;
  if (!usual) {
    AddWhole(Bytes);
    return;
  }
  Store(item, std::span<const uint8_t>(text.data(), textLength));
  Add(item, length);
}

void TDirectoryExtents::Zeros(size_t Count) {
  while (Count > 0) {
    TItem item;
    item.Kind = TKind::Zeros;
    const size_t k = std::min(Count, 2048 - used_);
    item.Length = static_cast<uint32_t>(k);
    Add(item, k);
    Count -= k;
  }
}

void TDirectoryExtents::Shrink() {
  items_.shrink_to_fit();
  sectorFirst_.shrink_to_fit();
  shared_.shrink_to_fit();
  sharedIndex_ = {};
}

void TDirectoryExtents::Sector(int64_t Index, uint8_t* Dest) const {
  std::memset(Dest, 0, 2048);
  const auto i = static_cast<size_t>(Index);
  if (i >= sectorFirst_.size()) return;
  const size_t end = i + 1 < sectorFirst_.size() ? sectorFirst_[i + 1] : items_.size();
  size_t at = 0;
  for (size_t k = sectorFirst_[i]; k < end; ++k) {
    const TItem& item = items_[k];
    at += item.Kind == TKind::Zeros ? item.Length : Make(item, Stored(item), Dest + at);
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
