// The burner component: construction, reset of the image builder, destruction
// and the properties with setters.
#include "iso/iso.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/transport.h"

int16_t TimeZoneOffset = 0;

// ---------------------------------------------------------------- component
VEZEZadira::VEZEZadira(TObject* Owner) : VEZEZadira(kMaxFiles, kMaxDirs, Owner) {}

VEZEZadira::VEZEZadira(int32_t AMaxFiles, int32_t AMaxDirs, TObject* /*Owner*/) {
  WritePostGap = true;
  ResetImageBuilder(std::clamp(AMaxFiles, 1, kLargestEntries), std::clamp(AMaxDirs, 1, kLargestDirs));
  SetCacheSize(4194304);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
  Erasing = false;
}

VEZEZadira::~VEZEZadira() {
  // A recording still running uses the component: stop it first.
  StopRecording();
  StopErase();  // its thread raises OnEraseDone with this component
  StopReading();
  ReleaseTree();
}

bool VEZEZadira::ASPIInitialized() const { return ::ASPIInitialized(); }

void VEZEZadira::SetCacheSize(int32_t Value) {
  cacheSize_ = Value < 2097152 ? 2097152 : Value - Value % 2048;
}

void VEZEZadira::SetWriteSpeed(uint16_t Value) {
  writeSpeed_ = Value;
  SetCDSpeed(ReadSpeed, Value);
}
