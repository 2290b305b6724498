// The entries' own storage: their names, and the pool of large blocks that
// the entries of every tree come from (one allocation per entry would cost a
// header each and scatter a million of them over the heap).
#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <stdexcept>

#include "iso/iso.h"


// ---------------------------------------------------------------- names
void TName::Assign(std::string_view Text) {
  if (Text.size() <= kInline) {
    char text[kInline];  // Text may lie in this name's own bytes
    std::memcpy(text, Text.data(), Text.size());
    Release();
    std::memcpy(bytes_, text, Text.size());
    SetInline(Text.size());
    return;
  }
  if (Text.size() > UINT32_MAX) throw std::length_error("name too long");
  char* block = new char[Text.size() + 1];
  std::memcpy(block, Text.data(), Text.size());
  block[Text.size()] = '\0';
  Release();
  const auto size = static_cast<uint32_t>(Text.size());
  std::memcpy(bytes_, &block, sizeof block);
  std::memcpy(bytes_ + sizeof block, &size, sizeof size);
  bytes_[kInline] = static_cast<char>(kHeap);
}

// ---------------------------------------------------------------- source paths
namespace {

std::string_view SourceNameOf(const TFEntry& e) {
  const std::string_view n = e.LongName;
  switch (e.SourceName) {
    case TFEntry::TSourceName::LongName: return n;
    case TFEntry::TSourceName::LongNameUndotted: return n.substr(0, n.empty() ? 0 : n.size() - 1);
    case TFEntry::TSourceName::InPath: break;
  }
  return {};
}

}  // namespace

std::string TFEntry::SourceText() const {
  if (SourcePath.Empty()) return {};
  return std::string(*SourcePath.Folder()).append(SourceNameOf(*this));
}

bool TFEntry::SourceIs(std::string_view Path) const {
  const std::string_view text = SourcePath.Empty() ? std::string_view() : std::string_view(*SourcePath.Folder());
  const std::string_view name = SourcePath.Empty() ? std::string_view() : SourceNameOf(*this);
  return Path.size() == text.size() + name.size() && Path.starts_with(text) && Path.ends_with(name);
}

void TFEntry::SetSourcePath(std::string_view Path) {
  SourceName = TSourceName::InPath;
  SourcePath = Path.empty() ? TSourcePath() : TSourcePath(TCounted<const std::string>::Make(std::string(Path)));
}

// ---------------------------------------------------------------- the pool
namespace {

// Blocks of 1 MiB mapped at an address that is a multiple of their size, so
// that an entry finds its block's header by masking its address. A block with
// free slots is on the pool's list; an emptied block goes back to the system,
// but for one kept for the next entry.
constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr size_t kSlot = (sizeof(TFEntry) + alignof(TFEntry) - 1) / alignof(TFEntry) * alignof(TFEntry);

struct TBlock {
  TBlock* Prev = nullptr;  // the list of blocks with free slots
  TBlock* Next = nullptr;
  void* Free = nullptr;    // slots given back, linked through their first word
  size_t Fresh = 0;        // slots never handed out, from this index on
  size_t Used = 0;
  bool Listed = false;
};
constexpr size_t kFirstSlot = (sizeof(TBlock) + kSlot - 1) / kSlot;
constexpr size_t kSlots = kBlockBytes / kSlot;
static_assert(kSlots > kFirstSlot + 1000);

char* SlotAt(TBlock* b, size_t i) { return reinterpret_cast<char*>(b) + i * kSlot; }

class TEntryPool {
 public:
  void* Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    TBlock* b = withRoom_ != nullptr ? withRoom_ : NewBlock();
    void* slot;
    if (b->Free != nullptr) {
      slot = b->Free;
      std::memcpy(&b->Free, slot, sizeof(void*));
    } else {
      slot = SlotAt(b, b->Fresh++);
    }
    ++b->Used;
    if (b->Free == nullptr && b->Fresh == kSlots) Unlist(b);
    return slot;
  }

  void Give(void* slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* b = reinterpret_cast<TBlock*>(reinterpret_cast<uintptr_t>(slot) & ~(kBlockBytes - 1));
    std::memcpy(slot, &b->Free, sizeof(void*));
    b->Free = slot;
    --b->Used;
    if (b->Used == 0 && (withRoom_ != b || b->Next != nullptr)) {
      Unlist(b);
      ::munmap(b, kBlockBytes);
      return;
    }
    if (!b->Listed) List(b);
  }

 private:
  TBlock* NewBlock() {
    // Twice the size, then the parts outside the aligned block given back.
    void* area = ::mmap(nullptr, 2 * kBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(area);
    const uintptr_t aligned = (start + kBlockBytes - 1) & ~(kBlockBytes - 1);
    if (aligned > start) ::munmap(area, aligned - start);
    if (const uintptr_t end = start + 2 * kBlockBytes; end > aligned + kBlockBytes)
      ::munmap(reinterpret_cast<void*>(aligned + kBlockBytes), end - aligned - kBlockBytes);
    auto* b = new (reinterpret_cast<void*>(aligned)) TBlock;
    b->Fresh = kFirstSlot;
    List(b);
    return b;
  }
  void List(TBlock* b) {
    b->Prev = nullptr;
    b->Next = withRoom_;
    if (withRoom_ != nullptr) withRoom_->Prev = b;
    withRoom_ = b;
    b->Listed = true;
  }
  void Unlist(TBlock* b) {
    if (!b->Listed) return;
    if (b->Prev != nullptr) b->Prev->Next = b->Next;
    else withRoom_ = b->Next;
    if (b->Next != nullptr) b->Next->Prev = b->Prev;
    b->Prev = b->Next = nullptr;
    b->Listed = false;
  }

  std::mutex mutex_;
  TBlock* withRoom_ = nullptr;
};

// Never destroyed: entries of components that live until the process ends
// give their slots back after every static has gone.
TEntryPool& Pool() {
  static TEntryPool* pool = new TEntryPool;
  return *pool;
}

}  // namespace

// Under the address sanitizer entries come from the heap it watches: its leak
// checker does not look into mapped blocks for the pointers entries hold, and
// takes what a living tree points at for lost.
#if defined(__SANITIZE_ADDRESS__)
#define MBURN_HEAP_ENTRIES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MBURN_HEAP_ENTRIES 1
#endif
#endif
#ifdef MBURN_HEAP_ENTRIES
constexpr bool kPooled = false;
#else
constexpr bool kPooled = true;
#endif

bool TFEntry::Pooled() { return kPooled; }

void* TFEntry::operator new(size_t Bytes) {
  if (!kPooled || Bytes != sizeof(TFEntry)) return ::operator new(Bytes);
  return Pool().Take();
}

void TFEntry::operator delete(void* Entry, size_t Bytes) noexcept {
  if (Entry == nullptr) return;
  if (!kPooled || Bytes != sizeof(TFEntry)) {
    ::operator delete(Entry);
    return;
  }
  Pool().Give(Entry);
}
