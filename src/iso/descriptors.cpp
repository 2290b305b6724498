// The volume descriptors: the primary and the Joliet one, and the terminator.
#include <algorithm>
#include <array>
#include <cstring>

#include "iso/iso.h"
#include "iso/writers.h"

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

void WritePrimaryDescriptor(const VEZEZadira& c, TMemoryStream& Out) {
  TSector s = DescriptorFrame(1, static_cast<uint32_t>(c.EndSector), c.DateCreation, c.DateModification);
  PutISOText(UpperCase(c.IdSystem), &s[8], 32);
  PutISOText(UpperCase(c.IdVolume), &s[40], 32);
  // Bytes 88-119 of a primary descriptor are unused and stay zero: escape
  // sequences there make readers take the primary tree for a Joliet one
  // (garbled names) or refuse the descriptor (nothing listed at all).
  PutBoth32(&s[132], c.PathTableSize);
  PutLE32(&s[140], c.PathTableL);
  PutBE32(&s[148], c.PathTableM);
  PutRootRecord(&s[156], c.DirArea, c.DirTable[0]->ISODirSize);
  PutISOText(UpperCase(c.IdVolumeSet), &s[190], 128);
  PutISOText(UpperCase(c.IdPublisher), &s[318], 128);
  PutISOText(UpperCase(c.IdPreparer), &s[446], 128);
  PutISOText(UpperCase(c.IdApplication), &s[574], 128);
  PutISOText(UpperCase(c.FileCopyright), &s[702], 37);
  PutISOText(UpperCase(c.FileAbstract), &s[739], 37);
  PutISOText(UpperCase(c.FileBibliographic), &s[776], 37);
  Out.Write(s);
}

void WriteJolietDescriptor(const VEZEZadira& c, TMemoryStream& Out) {
  TSector s = DescriptorFrame(2, static_cast<uint32_t>(c.EndSector), c.DateCreation, c.DateModification);
  PutJolietText(c.IdSystem, &s[8], 32);
  PutJolietText(c.IdVolume, &s[40], 32);
  std::memcpy(&s[88], kJolietEscape, 3);
  PutBoth32(&s[132], c.JolietPathTableSize);
  PutLE32(&s[140], c.JolietPathTableL);
  PutBE32(&s[148], c.JolietPathTableM);
  PutRootRecord(&s[156], c.JolietDirArea, c.DirTable[0]->JolietDirSize);
  PutJolietText(c.IdVolumeSet, &s[190], 128);
  PutJolietText(c.IdPublisher, &s[318], 128);
  PutJolietText(c.IdPreparer, &s[446], 128);
  PutJolietText(c.IdApplication, &s[574], 128);
  // 18 characters each; the 37th byte stays 0.
  PutJolietText(c.FileCopyright, &s[702], 36);
  PutJolietText(c.FileAbstract, &s[739], 36);
  PutJolietText(c.FileBibliographic, &s[776], 36);
  Out.Write(s);
}

void WriteTerminator(TMemoryStream& Out) {
  TSector s{};
  s[0] = 0xFF;
  std::memcpy(&s[1], "CD001", 5);
  s[6] = 1;
  Out.Write(s);
}
