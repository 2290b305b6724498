// A drive played from a fuzz input, for the drive-control fuzz targets: every
// command takes its answer from the next bytes of the input (completion
// status, host and target status, sense, then as much data as the command
// asked for). When the input runs out, every command fails with no sense.
// Requests complete at once, on the caller's thread; the waits of the disc
// queries pass in no time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/common.h"
#include "drive/drive.h"
#include "transport/transport.h"

namespace scriptdrive {

class TInstantClock final : public TClock {
public:
  uint64_t NowMs() override { return now_; }
  void Sleep(uint32_t ms) override { now_ += ms; }
  bool WaitEvent(int, uint32_t ms) override {
    now_ += ms;
    return false;
  }

private:
  uint64_t now_ = 0;
};

class TScriptDrive {
public:
  TScriptDrive() {
    SetClock(&clock_);
    BindASPIEntries(&Support, &Send);
  }
  ~TScriptDrive() {
    ResetASPILayer();
    SetClock(nullptr);
  }
  TScriptDrive(const TScriptDrive&) = delete;
  TScriptDrive& operator=(const TScriptDrive&) = delete;

  void Play(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    pos_ = 0;
  }
  static void Select(TSCSIDevice& d) {
    d.HaId = 0;
    d.Target = 0;
    d.Lun = 0;
  }
  size_t Left() const { return size_ - pos_; }

  // Bytes of the input, zeros once it has run out.
  size_t Take(uint8_t* out, size_t n) {
    const size_t got = std::min(n, Left());
    if (got > 0) std::memcpy(out, data_ + pos_, got);
    std::memset(out + got, 0, n - got);
    pos_ += got;
    return got;
  }
  uint8_t Byte() {
    uint8_t b = 0;
    Take(&b, 1);
    return b;
  }

  static inline TScriptDrive* current = nullptr;

private:
  static uint32_t Support() { return static_cast<uint32_t>(SS_COMP) << 8 | 1; }

  static uint32_t Send(void* p) {
    auto* header = static_cast<SRB_Header*>(p);
    if (current == nullptr || header->SRB_Cmd != SC_EXEC_SCSI_CMD) {
      header->SRB_Status = SS_ERR;  // an abort or an inquiry: refused
      return SS_ERR;
    }
    TScriptDrive& d = *current;
    auto& srb = *static_cast<SRB_ExecSCSICmd*>(p);
    if (d.Left() == 0) {
      srb.SRB_Status = SS_ERR;
      return SS_ERR;
    }
    // Completion: mostly success, so that the callers get past their first step.
    const uint8_t choice = d.Byte();
    if ((choice & 0x80) == 0) {
      srb.SRB_Status = SS_COMP;
    } else {
      srb.SRB_Status = d.Byte();
      srb.SRB_HaStat = d.Byte();
      srb.SRB_TargStat = d.Byte();
      d.Take(srb.SenseArea, sizeof srb.SenseArea);
    }
    if ((srb.SRB_Flags & SRB_DIR_IN) != 0 && srb.SRB_BufPointer != nullptr && srb.SRB_BufLen > 0) {
      // The first byte says how much of the buffer the answer fills.
      const size_t want = std::min<size_t>(srb.SRB_BufLen, size_t{d.Byte()} * 4 + 8);
      d.Take(srb.SRB_BufPointer, want);
    }
    return srb.SRB_Status;
  }

  TInstantClock clock_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
};

}  // namespace scriptdrive
