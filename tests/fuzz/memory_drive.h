// An in-memory recorder for the import's tests and fuzz targets: the ASPI entry
// points bound in-process answer READ DISC INFORMATION, READ TRACK INFORMATION
// and READ (10) from a disc held in memory; every other command completes
// without data. Requests complete at once, on the caller's thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "drive/drive.h"
#include "transport/transport.h"

namespace memdrive {

struct TTrack {
  uint32_t Start = 0;
  uint32_t Size = 0;
};

struct TMemoryDisc {
  uint8_t DiscStatus = 0;       // READ DISC INFORMATION byte 2 (0: empty disc)
  uint8_t Sessions = 0;         // byte 4
  std::map<uint8_t, TTrack> Tracks;  // by track number; others fail
  uint32_t FirstLba = 0;        // LBA of Data[0]; below it sectors read as zeros
  std::vector<uint8_t> Data;    // whole sectors; reads past the end fail
  std::set<uint32_t> BadSectors;  // READ (10) fails here
  uint32_t Reads = 0;           // READ (10) commands answered

  // A disc holding `count` complete sessions (0: blank).
  void SetSessions(uint8_t count) {
    DiscStatus = count == 0 ? 0x00 : 0x0E;  // complete disc, last session complete
    Sessions = count;
  }
  uint8_t* Sector(uint32_t lba) {
    const size_t need = (size_t{lba} - FirstLba + 1) * 2048;
    if (Data.size() < need) Data.resize(need, 0);
    return &Data[(size_t{lba} - FirstLba) * 2048];
  }
};

class TMemoryDrive {
public:
  explicit TMemoryDrive(TMemoryDisc& disc) {
    current = &disc;
    BindASPIEntries(&Support, &Send);
  }
  ~TMemoryDrive() {
    ResetASPILayer();
    current = nullptr;
  }
  TMemoryDrive(const TMemoryDrive&) = delete;
  TMemoryDrive& operator=(const TMemoryDrive&) = delete;

  // Points the device at the one drive (no scan needed).
  static void Select(TSCSIDevice& d) {
    d.HaId = 0;
    d.Target = 0;
    d.Lun = 0;
  }

private:
  static inline TMemoryDisc* current = nullptr;

  static uint32_t Support() { return static_cast<uint32_t>(SS_COMP) << 8 | 1; }

  static void Fail(SRB_ExecSCSICmd& srb, uint8_t key, uint8_t asc) {
    srb.SRB_Status = SS_ERR;
    srb.SRB_HaStat = HASTAT_OK;
    srb.SRB_TargStat = STATUS_CHKCOND;
    srb.SenseArea[0] = 0x70;
    srb.SenseArea[2] = key;
    srb.SenseArea[7] = 10;
    srb.SenseArea[12] = asc;
    srb.SenseArea[13] = 0;
  }

  static void Reply(SRB_ExecSCSICmd& srb, const uint8_t* data, size_t size) {
    if (srb.SRB_BufPointer != nullptr && srb.SRB_BufLen > 0) {
      std::memset(srb.SRB_BufPointer, 0, srb.SRB_BufLen);
      if (size > 0) std::memcpy(srb.SRB_BufPointer, data, std::min<size_t>(size, srb.SRB_BufLen));
    }
    srb.SRB_Status = SS_COMP;
  }

  static void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
  }

  static void Execute(TMemoryDisc& disc, SRB_ExecSCSICmd& srb) {
    const uint8_t* cdb = srb.CDBByte;
    switch (cdb[0]) {
      case 0x51: {  // READ DISC INFORMATION
        uint8_t info[34] = {0, 32};
        info[2] = disc.DiscStatus;
        info[3] = 1;
        info[4] = disc.Sessions;
        info[6] = static_cast<uint8_t>(disc.Sessions + 1);
        Reply(srb, info, sizeof info);
        return;
      }
      case 0x52: {  // READ TRACK INFORMATION (by track number)
        const auto it = disc.Tracks.find(cdb[5]);
        if ((cdb[1] & 0x03) != 1 || it == disc.Tracks.end()) return Fail(srb, 5, 0x24);
        uint8_t info[40] = {0, 38};
        info[2] = cdb[5];
        info[3] = cdb[5];
        info[5] = 0x04;
        info[6] = 0x01;
        PutBE32(&info[8], it->second.Start);
        PutBE32(&info[24], it->second.Size);
        Reply(srb, info, sizeof info);
        return;
      }
      case 0x28: {  // READ (10)
        const uint32_t lba = uint32_t{cdb[2]} << 24 | uint32_t{cdb[3]} << 16 | uint32_t{cdb[4]} << 8 | cdb[5];
        const uint32_t count = uint32_t{cdb[7]} << 8 | cdb[8];
        ++disc.Reads;
        if (srb.SRB_BufPointer == nullptr || uint64_t{count} * 2048 > srb.SRB_BufLen) return Fail(srb, 5, 0x24);
        std::vector<uint8_t> out(size_t{count} * 2048, 0);
        for (uint32_t i = 0; i < count; ++i) {
          const uint64_t s = uint64_t{lba} + i;
          if (disc.BadSectors.count(static_cast<uint32_t>(s)) != 0) return Fail(srb, 3, 0x11);
          if (s < disc.FirstLba) continue;  // below the data: zeros
          const uint64_t at = (s - disc.FirstLba) * 2048;
          if (at + 2048 > disc.Data.size()) return Fail(srb, 5, 0x21);
          std::memcpy(&out[size_t{i} * 2048], &disc.Data[at], 2048);
        }
        Reply(srb, out.data(), out.size());
        return;
      }
      default:
        Reply(srb, nullptr, 0);
        return;
    }
  }

  static uint32_t Send(void* p) {
    auto* header = static_cast<SRB_Header*>(p);
    if (header->SRB_Cmd != SC_EXEC_SCSI_CMD || current == nullptr) {
      header->SRB_Status = SS_ERR;
      return SS_ERR;
    }
    auto& srb = *static_cast<SRB_ExecSCSICmd*>(p);
    Execute(*current, srb);
    return srb.SRB_Status;
  }
};

}  // namespace memdrive
