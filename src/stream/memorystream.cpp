// The in-memory stream of an image's metadata: only the bytes that are not
// zeros are kept.
#include <algorithm>
#include <cstring>
#include <utility>

#include "stream/stream.h"

TMemoryStream::TMemoryStream(TMemoryStream&& Other) noexcept { *this = std::move(Other); }

TMemoryStream& TMemoryStream::operator=(TMemoryStream&& Other) noexcept {
  if (this != &Other) {
    runs_ = std::move(Other.runs_);
    chunks_ = std::move(Other.chunks_);
    kept_ = std::exchange(Other.kept_, 0);
    size_ = std::exchange(Other.size_, 0);
    Other.runs_.clear();
    Other.chunks_.clear();
  }
  return *this;
}

void TMemoryStream::Write(const void* Data, size_t Count) {
  const auto* p = static_cast<const uint8_t*>(Data);
  while (Count > 0) {
    const size_t n = std::min(Count, kPageBytes - static_cast<size_t>(size_) % kPageBytes);
    if (std::any_of(p, p + n, [](uint8_t b) { return b != 0; }))
      Keep(p, n);
    else
      size_ += static_cast<int64_t>(n);
    p += n;
    Count -= n;
  }
}

// Appends bytes at the end of the stream, to the last run when they continue it.
void TMemoryStream::Keep(const uint8_t* Data, size_t Count) {
  if (runs_.empty() || runs_.back().At + static_cast<int64_t>(kept_ - runs_.back().Kept) != size_)
    runs_.push_back({size_, kept_});
  size_ += static_cast<int64_t>(Count);
  while (Count > 0) {
    const size_t at = kept_ % kChunkBytes;
    if (at == 0) chunks_.push_back(std::make_unique_for_overwrite<uint8_t[]>(kChunkBytes));
    const size_t n = std::min(Count, kChunkBytes - at);
    std::memcpy(chunks_.back().get() + at, Data, n);
    Data += n;
    Count -= n;
    kept_ += n;
  }
}

void TMemoryStream::WriteZeros(size_t Count) { size_ += static_cast<int64_t>(Count); }

void TMemoryStream::CopyKept(uint64_t From, uint8_t* Dest, size_t Count) const {
  while (Count > 0) {
    const size_t at = From % kChunkBytes;
    const size_t n = std::min(Count, kChunkBytes - at);
    std::memcpy(Dest, chunks_[From / kChunkBytes].get() + at, n);
    Dest += n;
    From += n;
    Count -= n;
  }
}

size_t TMemoryStream::Read(int64_t Offset, std::span<uint8_t> Dest) const {
  if (Offset < 0 || Offset >= size_) return 0;
  const size_t total = std::min(Dest.size(), static_cast<size_t>(size_ - Offset));
  // The first run that starts after Offset; the one before it may hold Offset.
  auto next = std::upper_bound(runs_.begin(), runs_.end(), Offset,
                               [](int64_t at, const TRun& r) { return at < r.At; });
  int64_t pos = Offset;
  uint8_t* out = Dest.data();
  for (size_t left = total; left > 0;) {
    size_t n;
    if (next != runs_.begin()) {
      const TRun& run = *std::prev(next);
      const uint64_t end = next != runs_.end() ? next->Kept : kept_;
      const int64_t runEnd = run.At + static_cast<int64_t>(end - run.Kept);
      if (pos < runEnd) {
        n = std::min(left, static_cast<size_t>(runEnd - pos));
        CopyKept(run.Kept + static_cast<uint64_t>(pos - run.At), out, n);
        out += n;
        pos += static_cast<int64_t>(n);
        left -= n;
        continue;
      }
    }
    // Zeros up to the next run.
    const int64_t zerosEnd = next != runs_.end() ? next->At : size_;
    n = std::min(left, static_cast<size_t>(zerosEnd - pos));
    std::memset(out, 0, n);
    out += n;
    pos += static_cast<int64_t>(n);
    left -= n;
    if (next != runs_.end() && pos >= next->At) ++next;
  }
  return total;
}

void TMemoryStream::Clear() {
  runs_.clear();
  runs_.shrink_to_fit();
  chunks_.clear();
  chunks_.shrink_to_fit();
  kept_ = 0;
  size_ = 0;
}

