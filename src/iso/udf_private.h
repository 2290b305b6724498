// Inside the image builder: what the UDF writers and the import of an
// earlier session's UDF tree share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "iso/iso.h"

// CRC-ITU-T (x^16 + x^12 + x^5 + 1), initial value 0: a descriptor tag's CRC.
uint16_t UdfCrc(const uint8_t* Data, size_t Count);

// Adds the UDF tree of the session at Start (its anchor at Start + 256, or in
// its Last sector) to Into as imported entries; nothing is read at or after
// DiscEnd. False with the
// reason in Why when the session has no UDF tree that can be read (Why empty
// when it has none at all); the entries added so far are then the caller's
// to take back.
bool ImportUdfTree(VEZEZadira& c, uint32_t Start, uint32_t Last, uint64_t DiscEnd, TDEntry* Into,
                   std::string& Why);
