// The burner component: construction, reset of the image builder, destruction
// and the properties with setters; the unit-level tables of the image tree.
#include "iso/iso.h"

#include "transport/transport.h"

int32_t MaxDirs = kMaxDirs;
int32_t MaxFiles = kMaxFiles;
int32_t DirCount = 0;
int32_t EntryCount = 0;
std::vector<std::unique_ptr<TDEntry>> DirTable;
std::vector<TDEntry*> ISOPathOrder;
std::vector<TDEntry*> JolietPathOrder;
std::vector<std::unique_ptr<TFEntry>> FileTable;
int16_t TimeZoneOffset = 0;
std::array<uint8_t, 65537> DescriptorCopy{};
int32_t DescriptorCopySize = 0;

// ---------------------------------------------------------------- metadata stream
void TMemoryStream::Write(const void* Data, size_t Count) {
  const auto* p = static_cast<const uint8_t*>(Data);
  buffer_.insert(buffer_.end(), p, p + Count);
}

void TMemoryStream::WriteZeros(size_t Count) { buffer_.resize(buffer_.size() + Count, 0); }

void TMemoryStream::Clear() {
  buffer_.clear();
  buffer_.shrink_to_fit();
}

// ---------------------------------------------------------------- component
VEZEZadira::VEZEZadira(TObject* /*Owner*/) {
  WritePostGap = true;
  ResetImageBuilder(kMaxFiles, kMaxDirs);
  SetCacheSize(4194304);
  JolietFileSystem = true;
  FinalizeTrack = true;
  UnderrunProtection = true;
  Erasing = false;
}

VEZEZadira::~VEZEZadira() {
  // A recording still running reads the tree and the metadata: stop it first.
  StopRecording();
  ReleaseTree();
  MetadataStream.Clear();
}

bool VEZEZadira::ASPIInitialized() const { return ::ASPIInitialized(); }

void VEZEZadira::SetCacheSize(int32_t Value) {
  cacheSize_ = Value < 2097152 ? 2097152 : Value - Value % 2048;
}

void VEZEZadira::SetWriteSpeed(uint16_t Value) {
  writeSpeed_ = Value;
  SetCDSpeed(ReadSpeed, Value);
}
