// Generation of the image's metadata: the system area, the primary and the
// Joliet volume descriptors, the terminator, then the path tables, the
// directory records and the padding before the first file.
#include <algorithm>
#include <array>
#include <cstring>

#include "iso/iso.h"

namespace {

using TSector = std::array<uint8_t, 2048>;

// The descriptor's 34-byte record of the root directory: no recording date.
void PutRootRecord(uint8_t* Rec, uint32_t Extent, int64_t DataLength) {
  Rec[0] = 34;
  PutBoth32(Rec + 2, Extent);
  PutBoth32(Rec + 10, static_cast<uint32_t>(DataLength));
  Rec[25] = 0x02;
  PutBoth16(Rec + 28, 1);
  Rec[32] = 1;
  Rec[33] = 0;
}

// Fields the two volume descriptors share; the caller fills the text fields,
// the escape sequences and the tree's own table and root values.
TSector DescriptorFrame(uint8_t Type, uint32_t VolumeSpaceSize, TDateTime Created,
                        TDateTime Modified) {
  TSector s{};
  s[0] = Type;
  std::memcpy(&s[1], "CD001", 5);
  s[6] = 1;
  PutBoth32(&s[80], VolumeSpaceSize);
  PutBoth16(&s[120], 1);
  PutBoth16(&s[124], 1);
  PutBoth16(&s[128], 2048);
  PutDescriptorDate(&s[813], Created);
  PutDescriptorDate(&s[830], Modified);
  PutNoDescriptorDate(&s[847]);
  PutNoDescriptorDate(&s[864]);
  s[881] = 1;
  std::memset(&s[1024], ' ', 8);
  return s;
}

constexpr uint8_t kJolietEscape[3] = {0x25, 0x2F, 0x40};  // UCS-2 level 1

}  // namespace

void VEZEZadira::WritePrimaryDescriptor() {
  TSector s = DescriptorFrame(1, static_cast<uint32_t>(EndSector), DateCreation, DateModification);
  PutISOText(UpperCase(IdSystem), &s[8], 32);
  PutISOText(UpperCase(IdVolume), &s[40], 32);
  // Bytes 88-119 of a primary descriptor are unused and stay zero: escape
  // sequences there make readers take the primary tree for a Joliet one
  // (garbled names) or refuse the descriptor (nothing listed at all).
  PutBoth32(&s[132], PathTableSize);
  PutLE32(&s[140], PathTableL);
  PutBE32(&s[148], PathTableM);
  PutRootRecord(&s[156], DirArea, DirTable[0]->ISODirSize);
  PutISOText(UpperCase(IdVolumeSet), &s[190], 128);
  PutISOText(UpperCase(IdPublisher), &s[318], 128);
  PutISOText(UpperCase(IdPreparer), &s[446], 128);
  PutISOText(UpperCase(IdApplication), &s[574], 128);
  PutISOText(UpperCase(FileCopyright), &s[702], 37);
  PutISOText(UpperCase(FileAbstract), &s[739], 37);
  PutISOText(UpperCase(FileBibliographic), &s[776], 37);
  MetadataStream.Write(s);
}

void VEZEZadira::WriteJolietDescriptor() {
  TSector s = DescriptorFrame(2, static_cast<uint32_t>(EndSector), DateCreation, DateModification);
  PutJolietText(IdSystem, &s[8], 32);
  PutJolietText(IdVolume, &s[40], 32);
  std::memcpy(&s[88], kJolietEscape, 3);
  PutBoth32(&s[132], JolietPathTableSize);
  PutLE32(&s[140], JolietPathTableL);
  PutBE32(&s[148], JolietPathTableM);
  PutRootRecord(&s[156], JolietDirArea, DirTable[0]->JolietDirSize);
  PutJolietText(IdVolumeSet, &s[190], 128);
  PutJolietText(IdPublisher, &s[318], 128);
  PutJolietText(IdPreparer, &s[446], 128);
  PutJolietText(IdApplication, &s[574], 128);
  // 18 characters each; the 37th byte stays 0.
  PutJolietText(FileCopyright, &s[702], 36);
  PutJolietText(FileAbstract, &s[739], 36);
  PutJolietText(FileBibliographic, &s[776], 36);
  MetadataStream.Write(s);
}

void VEZEZadira::WriteTerminator() {
  TSector s{};
  s[0] = 0xFF;
  std::memcpy(&s[1], "CD001", 5);
  s[6] = 1;
  MetadataStream.Write(s);
}

bool VEZEZadira::GenerateMetadata() {
  MetadataTime = ImageClockNow();
  MetadataStream.Clear();
  MetadataStream.WriteZeros(16 * 2048);
  WritePrimaryDescriptor();
  if (JolietFileSystem) WriteJolietDescriptor();
  WriteTerminator();

  // The system area and the descriptors, kept for the recording sequence.
  DescriptorCopy.fill(0xFF);
  const size_t copied = MetadataStream.Read(0, DescriptorCopy);
  DescriptorCopySize = static_cast<int32_t>(copied);

  WritePathTable(TImageTree::ISO, DirArea, TPathTableType::L);
  WritePathTable(TImageTree::ISO, DirArea, TPathTableType::M);
  if (JolietFileSystem) {
    WritePathTable(TImageTree::Joliet, JolietDirArea, TPathTableType::L);
    WritePathTable(TImageTree::Joliet, JolietDirArea, TPathTableType::M);
  }
  TMemoryStream continuation;
  for (const auto& d : DirTable) WriteDirectory(TImageTree::ISO, *d, DirArea, FirstFileSector, &continuation);
  std::array<uint8_t, 2048> piece{};
  for (int64_t at = 0; at < continuation.Size(); at += 2048)
    MetadataStream.Write(piece.data(), continuation.Read(at, piece));
  if (JolietFileSystem)
    for (const auto& d : DirTable)
      WriteDirectory(TImageTree::Joliet, *d, JolietDirArea, FirstFileSector);
  if (PadSectors > 0) MetadataStream.WriteZeros(static_cast<size_t>(PadSectors) * 2048);

  TrackLength = EndSector - static_cast<int64_t>(StartAddress);
  DoDebug = true;
  return true;
}
