// What mburn adds to the system's texts where they hide the reason: one plain
// line each, for standard error. The system's own texts stay as they are.
#pragma once

#include <string>
#include <vector>

#include "iso/iso.h"

// Why an image of ImageSectors does not fit: no disc, not ready (for all the
// Seconds the program has run), a read-only medium, a closed disc, or a full
// one. Asks the drive, without waiting for it again.
std::string SpaceReason(VEZEZadira& Component, int64_t ImageSectors, uint32_t FreeSectors,
                        int Seconds);
// For a source file that could not be opened, the operating system's reason
// ("path: Permission denied"); empty for any other outcome.
std::string FileReason(const TOutcome& Outcome);
// What the descriptors will hold of a volume identifier they cannot carry as
// given: too long, or with characters other than A-Z, 0-9 and _.
std::vector<std::string> VolumeIdNotes(const std::string& VolumeId, bool Joliet);
// The image file of --virtual IMAGE[:MEDIA][,key=value...].
std::string VirtualImage(const std::string& Option);
