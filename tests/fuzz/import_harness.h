// The harness both import targets share: a disc from the input, fed to the
// import of an earlier session through an in-memory drive; the imported tree
// is then laid out and its metadata generated and read, so that whatever
// names and sizes a disc holds reach the writers.
//
// Input: a 16-byte header, then the disc's sectors from LBA 16 on (the system
// area below reads as zeros; reads past the data fail).
//   0  READ DISC INFORMATION byte 2      1  its byte 4 (sessions)
//   2  session asked for (signed)        3  bit 0: track information fails,
//                                           bit 1: no Joliet in the new image,
//                                           bit 2: Rock Ridge
//   4  track start (LE, 32 bits)         8  track size (LE)
//  12  start address the layout found (LE)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "memory_drive.h"
#include "iso/iso.h"

namespace importfuzz {

inline uint32_t LE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// With Udf, the import reads the session's UDF tree first and the layout adds UDF.
inline int Run(const uint8_t* data, size_t size, bool Udf) {
  if (size < 16) return 0;
  // One component for the whole run (its construction scans for drives).
  static auto* component = new VEZEZadira();
  static memdrive::TMemoryDisc disc;
  static memdrive::TMemoryDrive drive(disc);

  disc.DiscStatus = data[0];
  disc.Sessions = data[1];
  disc.Tracks.clear();
  if ((data[3] & 0x01) == 0) {
    // Whatever session is asked for, its track answers.
    for (int t = 0; t < 256; ++t) disc.Tracks[static_cast<uint8_t>(t)] = {LE32(data + 4), LE32(data + 8)};
  }
  disc.FirstLba = 16;
  disc.Data.assign(data + 16, data + size);
  disc.Data.resize((disc.Data.size() + 2047) / 2048 * 2048, 0);

  VEZEZadira& c = *component;
  memdrive::TMemoryDrive::Select(c);
  // Small tables, so that the limits are reached too.
  c.ResetImageBuilder(2000, 300);
  c.StartAddress = LE32(data + 12);
  c.RockRidge = (data[3] & 0x04) != 0;
  c.UDF = Udf;
  c.ImportPreviousSession(static_cast<int8_t>(data[2]), nullptr);
  c.JolietFileSystem = (data[3] & 0x02) == 0;
  if (c.PrepareImage(true, nullptr) && c.Plan) {
    // The metadata read as a stream reads it (UDF's entries are made then).
    std::vector<uint8_t> block(65536);
    for (int64_t at = 0; at < c.Plan->MetadataStream.Size(); at += static_cast<int64_t>(block.size()))
      c.Plan->MetadataStream.Read(at, block);
  }
  return 0;
}

}  // namespace importfuzz
