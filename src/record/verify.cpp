// Verify: the track is read back with READ (10) and compared with what the
// recording sent, so that a success means the disc holds the stream byte for
// byte and a failure names the first sector that differs or cannot be read.
#include <cstring>
#include <memory>
#include <vector>

#include "iso/iso.h"
#include "record/record.h"
#include "stream/stream.h"

namespace {

constexpr uint16_t kSectorsPerRead = 32;  // 64 KiB requests, as the writes were
constexpr uint8_t kAscNotReady = 0x04;

std::string DiffersText(uint64_t lba) {
  return "VERIFY: SECTOR " + std::to_string(lba) + " DIFFERS FROM THE RECORDED DATA";
}

std::string UnreadableText(uint64_t lba, const std::string& why) {
  return "VERIFY: SECTOR " + std::to_string(lba) + " CANNOT BE READ [" + why + "]";
}

class TVerify {
public:
  TVerify(TSCSIDevice& drive, const TVerifyReference& reference, std::atomic<int64_t>& progress,
          const std::atomic<bool>& stop)
      : dev_(drive), ref_(reference), progress_(progress), stop_(stop) {}

  TVerifyResult Run(uint32_t start, int64_t sectors) {
    TVerifyResult result;
    // Read into a page-aligned cache block, as the device can fill it without a bounce copy.
    const auto block = std::make_unique<TCacheBlock>();
    uint8_t* const data = block->Data.data();
    std::vector<uint8_t> expected(kCacheBlockBytes);
    for (int64_t done = 0; done < sectors;) {
      if (stop_) return Ending(kAbortedText);
      const auto n = static_cast<uint16_t>(std::min<int64_t>(kSectorsPerRead, sectors - done));
      const uint64_t lba = uint64_t{start} + static_cast<uint64_t>(done);
      const size_t bytes = size_t{n} * kSectorSize;
      if (lba + n > 0x100000000ull) return Ending(UnreadableText(lba, "LBA OUT OF RANGE"));
      if (!Read(static_cast<uint32_t>(lba), n, data)) {
        if (dev_.TimedOut) return Ending(UnreadableText(lba, kCommandTimeoutText));
        // Which sector of the request is it? Each one again, alone.
        for (uint16_t k = 0; k < n; ++k) {
          if (stop_) return Ending(kAbortedText);
          if (!Read(static_cast<uint32_t>(lba + k), 1, data + size_t{k} * kSectorSize))
            return Ending(UnreadableText(lba + k, Why()));
        }
      }
      if (ref_.Image) {
        if (!ReadImage(expected.data(), bytes)) return Ending(imageError_);
      }
      for (uint16_t k = 0; k < n; ++k) {
        const std::span<const uint8_t> sector(data + size_t{k} * kSectorSize, kSectorSize);
        const bool same =
            ref_.Checksums ? TTrackChecksums::TagOf(sector) == ref_.Checksums->Tag(done + k)
            : ref_.Image   ? std::memcmp(sector.data(), expected.data() + size_t{k} * kSectorSize,
                                         kSectorSize) == 0
                           : true;
        if (!same) return Ending(DiffersText(lba + k));
      }
      sha_.Update(std::span(data, bytes));
      done += n;
      progress_ += static_cast<int64_t>(bytes);
    }
    result.Read = true;
    result.Digest = sha_.Final();
    const TSha256* want = ref_.Checksums ? &ref_.Checksums->Digest() : ref_.Digest;
    if (want && *want != result.Digest) result.Error = kVerifyDigestText;
    return result;
  }

private:
  static TVerifyResult Ending(const std::string& error) {
    TVerifyResult r;
    r.Error = error;
    return r;
  }

  std::string Why() const {
    if (dev_.TimedOut) return kCommandTimeoutText;
    return dev_.LastError.empty() ? "READ ERROR" : dev_.LastError;
  }

  // One READ (10); a drive that is busy or not ready yet is asked again, a
  // bounded number of times.
  bool Read(uint32_t lba, uint16_t count, uint8_t* into) {
    const uint32_t length = uint32_t{count} * kSectorSize;
    for (int32_t tries = 0;; ++tries) {
      if (dev_.Read10(lba, count, into, length)) return true;
      const bool busy = !dev_.TimedOut && (dev_.TargetBusy || dev_.LastSense[12] == kAscNotReady);
      if (!busy || tries + 1 >= kVerifyTries || stop_) return false;
      Clock().Sleep(kVerifyRetryMs);
    }
  }

  bool ReadImage(uint8_t* into, size_t bytes) {
    size_t got = 0;
    while (got < bytes) {
      const int32_t n = ref_.Image->Read(into + got, static_cast<int32_t>(bytes - got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got == bytes) return true;
    imageError_ = "VERIFY: THE IMAGE FILE ENDS OR CANNOT BE READ";
    return false;
  }

  TSCSIDevice& dev_;
  const TVerifyReference& ref_;
  std::atomic<int64_t>& progress_;
  const std::atomic<bool>& stop_;
  TSha256Stream sha_;
  std::string imageError_;
};

}  // namespace

TVerifyResult VerifyTrack(TSCSIDevice& Drive, uint32_t Start, int64_t Sectors,
                          const TVerifyReference& Reference, std::atomic<int64_t>& BytesVerified,
                          const std::atomic<bool>& Stop) {
  return TVerify(Drive, Reference, BytesVerified, Stop).Run(Start, Sectors);
}

void VerifyAfterRecording(VEZEZadira& Component, const TStreamResult& Recording,
                          const std::atomic<bool>& Stop) {
  VEZEZadira& c = Component;
  c.VerifyRan = false;
  c.VerifyError.clear();
  c.BytesVerified = 0;
  if (!c.VerifyAfterWrite || !Recording.Outcome.Text.empty()) return;
  c.VerifyRan = true;
  if (c.TestWrite) {
    c.VerifyError = kVerifySkippedText;
    return;
  }
  const std::shared_ptr<const TTrackChecksums>& sums = Recording.Checksums;
  const int64_t sectors = Recording.Plan ? Recording.Plan->ImageSectors() : 0;
  if (!sums || !sums->Complete() || sums->SectorCount() != sectors) {
    c.VerifyError = kVerifyNoChecksumsText;
    return;
  }
  c.Verifying = true;
  if (c.OnVerifying) c.OnVerifying(&c);
  TVerifyReference reference;
  reference.Checksums = sums.get();
  c.VerifyError = VerifyTrack(c, static_cast<uint32_t>(Recording.Plan->StartAddress), sectors,
                              reference, c.BytesVerified, Stop)
                      .Error;
  c.Verifying = false;
}
