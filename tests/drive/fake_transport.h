// A transport for drive-control tests: the entry points are bound in-process,
// every request record is captured as the drive receives it, and a handler the
// test sets plays the drive.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "drive/drive.h"
#include "transport/transport.h"

namespace drivetest {

// What the played drive answers: completed, or CHECK CONDITION with this sense.
struct TReply {
  bool ok = true;
  uint8_t senseKey = 0, asc = 0, ascq = 0;
  uint8_t responseCode = 0x70;
  bool pending = false;  // never completes: the caller's wait runs out

  static TReply Pending() {
    TReply r;
    r.pending = true;
    return r;
  }

  static TReply Fail(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    return TReply{false, key, asc, ascq, 0x70};
  }
};

struct TCapture {
  SRB_ExecSCSICmd srb;
  std::vector<uint8_t> out;  // the data sent to the drive
  std::vector<uint8_t> Cdb() const { return {srb.CDBByte, srb.CDBByte + srb.SRB_CDBLen}; }
};

class TFakeTransport {
public:
  using THandler = std::function<TReply(const SRB_ExecSCSICmd& srb, uint8_t* data)>;

  TFakeTransport() {
    current = this;
    BindASPIEntries(&Support, &Send);
  }
  ~TFakeTransport() {
    ResetASPILayer();
    current = nullptr;
  }
  TFakeTransport(const TFakeTransport&) = delete;
  TFakeTransport& operator=(const TFakeTransport&) = delete;

  THandler handler;                 // none: every command completes with no data
  std::vector<TCapture> requests;   // execute requests, in order
  uint8_t adapterCount = 1;         // answered by the host adapter inquiry
  uint8_t inquiryStatus = SS_COMP;
  int diskInfoDrive = -1;           // SC_GET_DISK_INFO: -1 fails, else the BIOS drive byte
  int haInquiries = 0;

  std::vector<uint8_t> Opcodes() const {
    std::vector<uint8_t> ops;
    for (const TCapture& c : requests) ops.push_back(c.srb.CDBByte[0]);
    return ops;
  }

private:
  static inline TFakeTransport* current = nullptr;

  static uint32_t Support() { return static_cast<uint32_t>(SS_COMP) << 8 | current->adapterCount; }

  static uint32_t Send(void* p) {
    TFakeTransport& t = *current;
    auto* header = static_cast<SRB_Header*>(p);
    switch (header->SRB_Cmd) {
      case SC_HA_INQUIRY: {
        auto& ha = *static_cast<SRB_HAInquiry*>(p);
        ++t.haInquiries;
        ha.HA_Count = t.adapterCount;
        std::memcpy(ha.HA_ManagerId, "TEST MANAGER\0\0\0\0", 16);
        std::memcpy(ha.HA_Identifier, "FAKE ADAPTER  \0\0", 16);
        ha.SRB_Status = t.inquiryStatus;
        return ha.SRB_Status;
      }
      case SC_GET_DISK_INFO: {
        auto& info = *static_cast<SRB_GetDiskInfo*>(p);
        if (t.diskInfoDrive < 0) {
          info.SRB_Status = SS_ERR;
        } else {
          info.SRB_Int13HDriveInfo = static_cast<uint8_t>(t.diskInfoDrive);
          info.SRB_Status = SS_COMP;
        }
        return info.SRB_Status;
      }
      case SC_EXEC_SCSI_CMD: {
        auto& srb = *static_cast<SRB_ExecSCSICmd*>(p);
        TCapture capture;
        capture.srb = srb;
        if ((srb.SRB_Flags & SRB_DIR_OUT) && srb.SRB_BufPointer)
          capture.out.assign(srb.SRB_BufPointer, srb.SRB_BufPointer + srb.SRB_BufLen);
        t.requests.push_back(capture);
        const TReply reply = t.handler ? t.handler(srb, srb.SRB_BufPointer) : TReply{};
        if (reply.pending) {
          // left pending
        } else if (reply.ok) {
          srb.SRB_Status = SS_COMP;
        } else {
          srb.SRB_Status = SS_ERR;
          srb.SRB_HaStat = HASTAT_OK;
          srb.SRB_TargStat = STATUS_CHKCOND;
          srb.SenseArea[0] = reply.responseCode;
          srb.SenseArea[2] = reply.senseKey;
          srb.SenseArea[7] = 10;
          srb.SenseArea[12] = reply.asc;
          srb.SenseArea[13] = reply.ascq;
        }
        return srb.SRB_Status;
      }
      case SC_ABORT_SRB:  // a request left pending is dropped
        header->SRB_Status = SS_COMP;
        return SS_COMP;
      default:
        header->SRB_Status = SS_ERR;
        return SS_ERR;
    }
  }
};

// A platform with no drive nodes, so that the drive-letter search over the
// library back-end finds nothing on the test machine.
class TNoDrivesPlatform : public TSPTIPlatform {
public:
  bool IsCDDrive(int) override { return false; }
  int Open(int) override { return -1; }
  bool Close(int) override { return true; }
  bool PassThrough(int, TPassThrough&) override { return false; }
  bool GetAddress(int, uint8_t&, uint8_t&, uint8_t&) override { return false; }
};

// A clock whose sleeps only count.
class TCountingClock : public TClock {
public:
  uint64_t now = 0;
  std::vector<uint32_t> sleeps;
  std::vector<uint32_t> waits;
  bool realEvents = false;  // wait for completion events on the system clock
  uint64_t NowMs() override { return now; }
  void Sleep(uint32_t ms) override {
    sleeps.push_back(ms);
    now += ms;
  }
  bool WaitEvent(int fd, uint32_t ms) override {
    if (realEvents) return SystemClock().WaitEvent(fd, ms);
    waits.push_back(ms);
    now += ms;
    return false;
  }
};

// Selects an address directly, as the scan does.
inline void Address(TSCSIDevice& d, uint8_t ha, uint8_t target, uint8_t lun) {
  d.HaId = ha;
  d.Target = target;
  d.Lun = lun;
}

// INQUIRY data with the given type and the 8/16/4 identification fields.
inline void FillInquiry(uint8_t* data, uint8_t type, const std::string& vendor,
                        const std::string& product, const std::string& revision) {
  std::memset(data, 0, 128);
  data[0] = type;
  auto put = [&](size_t at, const std::string& s, size_t width) {
    std::string f = s;
    f.resize(width, ' ');
    std::memcpy(data + at, f.data(), width);
  };
  put(8, vendor, 8);
  put(16, product, 16);
  put(32, revision, 4);
}

}  // namespace drivetest
