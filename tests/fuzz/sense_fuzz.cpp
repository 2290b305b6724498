// Arbitrary completions of drive commands: status, host adapter status, target
// status, sense bytes and data, played through ExecSCSICommand and the disc
// queries that read sense (waiting for the drive, the sessions, the disc
// kind, the free space). Nothing may crash, read past a buffer or wait
// without end.
#include <array>
#include <cstddef>
#include <cstdint>

#include "drive/drive.h"
#include "script_drive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static scriptdrive::TScriptDrive drive;
  static auto* device = new TSCSIDevice();
  scriptdrive::TScriptDrive::current = &drive;
  drive.Play(data, size);
  TSCSIDevice& d = *device;
  scriptdrive::TScriptDrive::Select(d);

  std::array<uint8_t, 2048> buffer{};
  uint32_t a = 0, b = 0;
  // Each step is chosen by one byte; the played answers follow it.
  for (int step = 0; step < 32 && drive.Left() > 0; ++step) {
    switch (drive.Byte() % 12) {
      case 0: {
        SRB_ExecSCSICmd srb{};
        srb.SRB_Flags = SRB_DIR_IN;
        srb.SRB_BufLen = 64;
        srb.SRB_BufPointer = buffer.data();
        srb.SRB_CDBLen = 10;
        srb.CDBByte[0] = drive.Byte();  // any command name, named or not
        d.ExecSCSICommand(srb, drive.Byte() * 1000u);
        break;
      }
      case 1: d.TestUnitReady(10000); break;
      case 2: d.RequestSense(buffer.data(), 18); break;
      case 3: d.WaitUntilReady(10000, 500); break;
      case 4: d.Read10(16, 1, buffer.data(), 2048); break;
      case 5: d.ReadTrackInformation(drive.Byte()); break;
      case 6: d.RecordedSessions(); break;
      case 7: d.DiscKind(); break;
      case 8: d.FreeSectors(); break;
      case 9: d.ReadBufferCapacity(a, b); break;
      case 10: d.DiscStatus(); break;
      default: d.ProbeUnitReady(); break;
    }
    // The decoded texts are what the user reads: they must be whole strings.
    volatile size_t n = d.LastError.size();
    (void)n;
  }
  return 0;
}
