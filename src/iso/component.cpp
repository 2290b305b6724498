// The burner component: construction, reset of the image builder, destruction
// and the properties with setters; the unit-level tables of the image tree.
#include "iso/iso.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/transport.h"

int32_t MaxDirs = kMaxDirs;
int32_t MaxFiles = kMaxFiles;
int32_t DirCount = 0;
int32_t EntryCount = 0;
std::vector<std::unique_ptr<TDEntry>> DirTable;
std::vector<TDEntry*> ISOPathOrder;
std::vector<TDEntry*> JolietPathOrder;
std::vector<std::unique_ptr<TFEntry>> FileTable;
int16_t TimeZoneOffset = 0;
std::array<uint8_t, 65537> DescriptorCopy{};
int32_t DescriptorCopySize = 0;

// ---------------------------------------------------------------- metadata stream
TMemoryStream::TMemoryStream(TMemoryStream&& Other) noexcept { *this = std::move(Other); }

TMemoryStream& TMemoryStream::operator=(TMemoryStream&& Other) noexcept {
  if (this != &Other) {
    pages_ = std::move(Other.pages_);
    chunks_ = std::move(Other.chunks_);
    pagesUsed_ = std::exchange(Other.pagesUsed_, 0);
    size_ = std::exchange(Other.size_, 0);
    Other.pages_.clear();
    Other.chunks_.clear();
  }
  return *this;
}

void TMemoryStream::Write(const void* Data, size_t Count) {
  const auto* p = static_cast<const uint8_t*>(Data);
  pages_.resize((static_cast<size_t>(size_) + Count + kPageBytes - 1) / kPageBytes);
  auto pos = static_cast<size_t>(size_);
  while (Count > 0) {
    const size_t at = pos % kPageBytes;
    const size_t n = std::min(Count, kPageBytes - at);
    uint32_t& ref = pages_[pos / kPageBytes];
    if (ref == 0 && std::any_of(p, p + n, [](uint8_t b) { return b != 0; })) {
      if (pagesUsed_ % kChunkPages == 0)
        chunks_.push_back(std::make_unique<TPage[]>(kChunkPages));  // zero-filled
      ref = ++pagesUsed_;
    }
    if (ref != 0) std::memcpy(PageData(ref) + at, p, n);
    p += n;
    pos += n;
    Count -= n;
  }
  size_ = static_cast<int64_t>(pos);
}

// The bytes past the end are zeros already (a page is zero-filled when it is
// allocated), so only the length and the page table grow.
void TMemoryStream::WriteZeros(size_t Count) {
  size_ += static_cast<int64_t>(Count);
  pages_.resize((static_cast<size_t>(size_) + kPageBytes - 1) / kPageBytes);
}

size_t TMemoryStream::Read(int64_t Offset, std::span<uint8_t> Dest) const {
  if (Offset < 0 || Offset >= size_) return 0;
  const size_t total = std::min(Dest.size(), static_cast<size_t>(size_ - Offset));
  auto pos = static_cast<size_t>(Offset);
  uint8_t* out = Dest.data();
  for (size_t left = total; left > 0;) {
    const size_t at = pos % kPageBytes;
    const size_t n = std::min(left, kPageBytes - at);
    if (const uint32_t ref = pages_[pos / kPageBytes])
      std::memcpy(out, PageData(ref) + at, n);
    else
      std::memset(out, 0, n);
    out += n;
    pos += n;
    left -= n;
  }
  return total;
}

void TMemoryStream::Clear() {
  pages_.clear();
  pages_.shrink_to_fit();
  chunks_.clear();
  chunks_.shrink_to_fit();
  pagesUsed_ = 0;
  size_ = 0;
}

// ---------------------------------------------------------------- component
VEZEZadira::VEZEZadira(TObject* /*Owner*/) {
  WritePostGap = true;
  ResetImageBuilder(kMaxFiles, kMaxDirs);
  SetCacheSize(4194304);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
  Erasing = false;
}

VEZEZadira::~VEZEZadira() {
  // A recording still running reads the tree and the metadata: stop it first.
  StopRecording();
  StopErase();  // its thread raises OnEraseDone with this component
  ReleaseTree();
  MetadataStream.Clear();
}

bool VEZEZadira::ASPIInitialized() const { return ::ASPIInitialized(); }

void VEZEZadira::SetCacheSize(int32_t Value) {
  cacheSize_ = Value < 2097152 ? 2097152 : Value - Value % 2048;
}

void VEZEZadira::SetWriteSpeed(uint16_t Value) {
  writeSpeed_ = Value;
  SetCDSpeed(ReadSpeed, Value);
}
