// Private to drive control: building one request record for one command, and the
// big-endian field helpers of the MMC wire formats.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#include <unistd.h>

#include "drive/drive.h"

namespace drivecmd {

enum class TDir : uint8_t { None = 0, In = SRB_DIR_IN, Out = SRB_DIR_OUT };

// A zeroed request with event notification, the direction, the data and the CDB.
inline SRB_ExecSCSICmd MakeRequest(uint8_t cdbLength, TDir dir = TDir::None,
                                   uint8_t* data = nullptr, uint32_t length = 0) {
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Flags = static_cast<uint8_t>(SRB_EVENT_NOTIFY | static_cast<uint8_t>(dir));
  srb.SRB_CDBLen = cdbLength;
  if (dir != TDir::None) {
    srb.SRB_BufPointer = data;
    srb.SRB_BufLen = length;
  }
  return srb;
}

// A request refused before anything is sent: the state a command leaves, with the reason.
inline bool Refuse(TSCSIDevice& device, const char* reason) {
  device.LastError = reason;
  device.LastSense.fill(0);
  device.TargetBusy = false;
  return false;
}

// The status is written by the library, possibly on its own thread, and after
// a time-out possibly still while this one gives the request up: every access
// to it is atomic.
inline uint8_t RequestStatus(const SRB_ExecSCSICmd& srb) {
  auto& s = const_cast<SRB_ExecSCSICmd&>(srb);
  return std::atomic_ref<uint8_t>(s.SRB_Status).load(std::memory_order_acquire);
}
inline void SetRequestStatus(SRB_ExecSCSICmd& srb, uint8_t status, uint8_t haStatus) {
  std::atomic_ref<uint8_t>(srb.SRB_HaStat).store(haStatus, std::memory_order_relaxed);
  std::atomic_ref<uint8_t>(srb.SRB_Status).store(status, std::memory_order_release);
}

}  // namespace drivecmd

// The request record a library is handed, and the buffer for what the drive
// returns, belong to the device rather than to the caller: a request the
// library would not give up after a time-out may still be written to after
// the caller's frame and buffer are gone. Data sent to the drive stays in the
// caller's buffer (it is only read), so a recording's blocks are not copied.
struct TPostedRequest {
  struct TFree {
    void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{4096}); }
  };
  SRB_ExecSCSICmd Srb{};
  std::unique_ptr<uint8_t[], TFree> Data;
  uint32_t Capacity = 0;
  int Event = -1;  // kept open when the library may still signal it

  ~TPostedRequest() {
    if (Event >= 0) ::close(Event);
  }

  SRB_ExecSCSICmd& Load(const SRB_ExecSCSICmd& request) {
    Srb = request;
    if ((request.SRB_Flags & SRB_DIR_IN) && request.SRB_BufPointer && request.SRB_BufLen) {
      if (Capacity < request.SRB_BufLen) {
        // Page-aligned, as the caller's transfers may be, so that they still qualify
        // for direct transfers below.
        Data.reset(static_cast<uint8_t*>(::operator new[](request.SRB_BufLen, std::align_val_t{4096})));
        Capacity = request.SRB_BufLen;
      }
      std::memcpy(Data.get(), request.SRB_BufPointer, request.SRB_BufLen);
      Srb.SRB_BufPointer = Data.get();
    }
    return Srb;
  }

  void Unload(SRB_ExecSCSICmd& request) const {
    if (Srb.SRB_BufPointer != request.SRB_BufPointer)
      std::memcpy(request.SRB_BufPointer, Srb.SRB_BufPointer, request.SRB_BufLen);
    request.SRB_HaStat = Srb.SRB_HaStat;
    request.SRB_TargStat = Srb.SRB_TargStat;
    std::memcpy(request.SenseArea, Srb.SenseArea, sizeof request.SenseArea);
    drivecmd::SetRequestStatus(request, drivecmd::RequestStatus(Srb), Srb.SRB_HaStat);
  }
};

namespace drivecmd {

// Runs the request; true exactly when it completed.
inline bool Run(TSCSIDevice& device, SRB_ExecSCSICmd& srb, uint32_t timeoutMs) {
  device.ExecSCSICommand(srb, timeoutMs);
  return RequestStatus(srb) == SS_COMP;
}

inline void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint16_t GetBE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t GetBE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Fields the queries keep "in host order": the value stored in the machine's own layout.
inline uint16_t GetHost16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t GetHost32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void PutHost16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
inline void PutHost32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }
inline void ToHost16(uint8_t* p) { PutHost16(p, GetBE16(p)); }
inline void ToHost32(uint8_t* p) { PutHost32(p, GetBE32(p)); }

}  // namespace drivecmd
