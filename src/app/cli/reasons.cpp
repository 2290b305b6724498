#include "cli/reasons.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint8_t kAscNoMedium = 0x3A;

bool IsDCharacter(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

}  // namespace

std::string SpaceReason(VEZEZadira& Component, int64_t ImageSectors, uint32_t FreeSectors,
                        int Seconds) {
  if (!Component.TestUnitReady(10000)) {
    if (Component.LastSense[12] == kAscNoMedium) return "there is no disc in the drive";
    return "the drive is not ready after " + std::to_string(Seconds) + " s";
  }
  const uint16_t kind = Component.DiscKind();
  if (kind == DK_UNKNOWN) return "the disc in the drive cannot be read";
  if (!Medium(kind, Component.CurrentProfile).Writable)
    return std::string("the disc is a ") + DiscKindNames(kind) + ": it cannot be written";
  if (Component.DiscStatus() == 2) return "the disc is closed: nothing more can be recorded on it";
  return "the disc is full: " + std::to_string(int64_t{FreeSectors} * 2) + " KB free, " +
         std::to_string(ImageSectors * 2) + " KB needed";
}

std::string FileReason(const TOutcome& Outcome) {
  if (Outcome.Code != TOutcomeCode::SourceNotOpened) return {};
  const std::string& path = Outcome.Path;
  if (Outcome.SystemError != 0) return path + ": " + std::strerror(Outcome.SystemError);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return path + ": it opens now; it may have been in use or replaced meanwhile";
  }
  return path + ": " + std::strerror(errno);
}

std::vector<std::string> VolumeIdNotes(const std::string& VolumeId, bool Joliet) {
  std::vector<std::string> notes;
  // The primary descriptor takes the text in upper case, cut to its 32 bytes.
  const std::string primary = UpperCase(VolumeId).substr(0, 32);
  if (VolumeId.size() > 32)
    notes.push_back("--volume-id has " + std::to_string(VolumeId.size()) +
                    " characters, the primary descriptor holds 32: recorded as \"" + primary +
                    "\"");
  std::string others;
  for (char c : primary)
    if (!IsDCharacter(c) && others.find(c) == std::string::npos) others += c;
  if (!others.empty())
    notes.push_back("--volume-id has characters other than A-Z, 0-9 and _ (\"" + others +
                    "\"), which ISO 9660 readers may refuse: recorded as \"" + primary +
                    "\" in the primary descriptor");
  if (Joliet) {
    // The Joliet descriptor holds 16 UCS-2 characters in the same 32 bytes.
    const std::u16string wide = Utf8ToUtf16(VolumeId);
    if (wide.size() > 16)
      notes.push_back("--volume-id is longer than the 16 characters of the Joliet descriptor, "
                      "which holds its first 16");
  }
  return notes;
}

std::string VirtualImage(const std::string& Option) {
  std::string head = Option.substr(0, Option.find(','));
  const auto colon = head.rfind(':');
  return colon == std::string::npos ? head : head.substr(0, colon);
}
