// The read-ahead cache (being written: compiling stubs so the recording code
// can be built against the interface).
#include "stream/stream.h"

TCacheThread::TCacheThread(int32_t CacheSize, bool PadToMinimum, int64_t ImageBytes,
                           VEZEZadira& Component)
    : component_(Component),
      capacity_(CacheSize / kCacheBlockBytes < 2 ? 2 : CacheSize / kCacheBlockBytes),
      imageBytes_(ImageBytes),
      padToMinimum_(PadToMinimum && ImageBytes < kMinimumTrackBytes),
      remaining_(ImageBytes) {
  SetMessage("INTERNAL ERROR 0005");
  FFinished = true;
}

TCacheThread::~TCacheThread() = default;

int32_t TCacheThread::ReadBlock(std::span<uint8_t>) { return 0; }
bool TCacheThread::WaitForBlock(uint32_t) { return true; }
void TCacheThread::Abort() { FAborted = true; }

std::string TCacheThread::FMessage() const {
  std::lock_guard g(messageLock_);
  return message_;
}

void TCacheThread::SetMessage(const std::string& Text) {
  std::lock_guard g(messageLock_);
  if (message_.empty()) message_ = Text;
}

bool TCacheThread::WaitPrimed(uint32_t) { return FPrimed; }
int32_t TCacheThread::QueuedBlocks() const { return 0; }
int64_t TCacheThread::FRemaining() const { return remaining_; }

bool WriteImageFile(VEZEZadira&, const std::string&, std::string& Error) {
  Error = "NOT AVAILABLE YET";
  return false;
}
