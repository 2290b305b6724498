// Arbitrary MODE SENSE and GET CONFIGURATION answers through the capabilities
// page and the write parameters page: the page is found from the header's
// block descriptor length and its own length byte, both untrusted.
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
  if (size < 1) return 0;
  const uint8_t options = drive.Byte();

  d.ReadCapabilities();
  d.HasPage30();
  d.ProbeWriteModes();
  d.SetWriteParameters({(options & 1) != 0, (options & 2) != 0, (options & 4) != 0, static_cast<uint16_t>(options >> 4)});
  d.GetMaxReadSpeed();
  d.GetCurrentWriteSpeed();
  return 0;
}
