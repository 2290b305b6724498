// The in-memory stream of an image's metadata, of which only the bytes that
// are not zeros are kept, and the compact list of a plan's sources.
#include <algorithm>
#include <cstring>
#include <utility>

#include "stream/stream.h"

TMemoryStream::TMemoryStream(TMemoryStream&& Other) noexcept { *this = std::move(Other); }

TMemoryStream& TMemoryStream::operator=(TMemoryStream&& Other) noexcept {
  if (this != &Other) {
    runs_ = std::move(Other.runs_);
    chunks_ = std::move(Other.chunks_);
    generated_ = std::move(Other.generated_);
    kept_ = std::exchange(Other.kept_, 0);
    size_ = std::exchange(Other.size_, 0);
    Other.runs_.clear();
    Other.chunks_.clear();
    Other.generated_.clear();
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

void TMemoryStream::WriteGenerated(std::shared_ptr<const TGeneratedBytes> Source, int64_t Count) {
  if (Count <= 0) return;
  generated_.push_back({size_, Count, std::move(Source)});
  size_ += Count;
}

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
  // The generated runs read as zeros above: their bytes go over them.
  const int64_t end = Offset + static_cast<int64_t>(total);
  auto g = std::upper_bound(generated_.begin(), generated_.end(), Offset,
                            [](int64_t at, const TGenerated& r) { return at < r.At + r.Count; });
  for (; g != generated_.end() && g->At < end; ++g) {
    const int64_t from = std::max(Offset, g->At);
    const int64_t to = std::min(end, g->At + g->Count);
    g->Source->Fill(from - g->At,
                    Dest.subspan(static_cast<size_t>(from - Offset), static_cast<size_t>(to - from)));
  }
  return total;
}

void TMemoryStream::Clear() {
  runs_.clear();
  runs_.shrink_to_fit();
  chunks_.clear();
  chunks_.shrink_to_fit();
  generated_.clear();
  generated_.shrink_to_fit();
  kept_ = 0;
  size_ = 0;
}


// ---------------------------------------------------------------- the sources of a plan
void TPlanSources::Add(const TPlanSource& Source) {
  const std::string& path = Source.Path;
  TItem item{Source.Size, static_cast<uint32_t>(Source.FirstSector), 0, kLong};
  if (path.size() < kLong) {
    size_t shared = 0;
    const size_t most = std::min(last_.size(), path.size());
    while (shared < most && last_[shared] == path[shared]) ++shared;
    item.Shared = static_cast<uint16_t>(shared);
    item.Length = static_cast<uint16_t>(path.size() - shared);
    text_.append(path, shared, std::string::npos);
  } else {
    long_.push_back(path);
  }
  if (Source.Part) parts_.emplace_back(items_.size(), Source.Offset);
  items_.push_back(item);
  last_ = path;
}

TPlanSources::const_iterator::const_iterator(const TPlanSources& List, size_t At)
    : list_(&List), at_(At) {
  Load();
}

TPlanSources::const_iterator& TPlanSources::const_iterator::operator++() {
  const TItem& item = list_->items_[at_];
  if (item.Length == kLong)
    ++long_;
  else
    text_ += item.Length;
  ++at_;
  Load();
  return *this;
}

void TPlanSources::const_iterator::Load() {
  if (at_ >= list_->items_.size()) return;
  const TItem& item = list_->items_[at_];
  // The path before this one is the current one: the list is read in order.
  if (item.Length == kLong) {
    current_.Path = list_->long_[long_];
  } else {
    current_.Path.resize(item.Shared);
    current_.Path.append(list_->text_, text_, item.Length);
  }
  current_.Size = item.Size;
  current_.FirstSector = item.FirstSector;
  // The parts are in list order: one search finds this source among them.
  const auto part = std::lower_bound(list_->parts_.begin(), list_->parts_.end(), at_,
                                     [](const auto& p, size_t at) { return p.first < at; });
  current_.Part = part != list_->parts_.end() && part->first == at_;
  current_.Offset = current_.Part ? part->second : 0;
}
