// A prepared image written into a file through the read-ahead cache: the same
// stream a recorder would receive, for `mburn image` and for the image tests.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

#include "iso/iso.h"
#include "stream/stream.h"

namespace {

// Writes all of data, continuing after short writes; false when the system refuses.
bool WriteAll(TStreamEx& s, const uint8_t* data, int32_t count) {
  while (count > 0) {
    const int32_t n = s.Write(data, count);
    if (n <= 0) return false;
    data += n;
    count -= n;
  }
  return true;
}

}  // namespace

bool WriteImageFile(VEZEZadira& Component, const std::string& Path, std::string& Error) {
  struct stat before {};
  const bool existed = ::lstat(Path.c_str(), &before) == 0;
  auto out = TFileStreamEx::Open(Path, fmCreate, Error);
  if (!out) return false;
  struct stat opened {};
  const bool regular = ::fstat(out->Handle, &opened) == 0 && S_ISREG(opened.st_mode);
  // A failed image is not left behind looking like a finished one; but only a
  // regular file that this run created is removed: never a device, a link or
  // somebody's file.
  auto fail = [&](const std::string& text) {
    Error = text;
    out.reset();
    struct stat now {};
    if (!existed && regular && ::lstat(Path.c_str(), &now) == 0 && now.st_ino == opened.st_ino &&
        now.st_dev == opened.st_dev)
      ::unlink(Path.c_str());
    return false;
  };

  const int64_t expected = Component.ImageSectors() * kSectorSize;
  TCacheThread cache(Component.CacheSize(), Component.WritePostGap,
                     Component.TrackLength * kSectorSize, Component);
  std::vector<uint8_t> buffer(kCacheBlockBytes);
  int64_t written = 0;
  for (;;) {
    const int32_t n = cache.ReadBlock(buffer);
    if (!cache.FMessage().empty()) return fail(cache.FMessage());
    if (n == 0) break;
    if (n < 0) {
      cache.WaitForBlock(1000);
      continue;
    }
    if (!WriteAll(*out, buffer.data(), n)) {
      const std::string why = std::strerror(errno);
      cache.Abort();
      return fail("Cannot write file \"" + Path + "\". " + why);
    }
    written += n;
  }
  if (written != expected) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "INTERNAL ERROR 0005: %" PRId64 " BYTES WRITTEN, %" PRId64 " EXPECTED", written,
                  expected);
    return fail(text);
  }
  // Devices such as /dev/null take no sync; only files must reach their disk.
  if (::fsync(out->Handle) != 0 && (regular || errno != EINVAL))
    return fail("Cannot write file \"" + Path + "\". " + std::strerror(errno));
  Component.TrackChecksums = cache.Checksums();
  return true;
}
