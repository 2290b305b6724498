// What the `vrecorder` tool does with an image: make a blank disc, describe a
// disc, and record a ready-made ISO image as the next session through the same
// commands a burner would send.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "vrecorder/vrec_internal.h"

using namespace vrec;

namespace {

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

std::string SenseText(const TCommand& c) {
  char text[64];
  std::snprintf(text, sizeof text, "sense %X/%02X/%02X", c.Sense.Key, c.Sense.Asc, c.Sense.Ascq);
  return text;
}

// One command on a drive of this process, without the ASPI layer.
struct TLocalDrive {
  TVDrive& Drive;
  TCommand Last;
  bool Send(std::initializer_list<uint8_t> cdb, std::span<uint8_t> data = {}) {
    std::array<uint8_t, 16> bytes{};
    std::copy(cdb.begin(), cdb.end(), bytes.begin());
    Last = TCommand{};
    Last.Cdb = bytes;
    Last.Data = data;
    Execute(Drive, Last);
    return Last.TargetStatus == 0;
  }
};

}  // namespace

bool VRecCreateDisc(const std::string& image, const std::string& medium, std::string* error) {
  auto m = MediumByName(medium);
  if (!m) return Fail(error, "unknown medium \"" + medium + "\"");
  struct stat st {};
  if (::stat(image.c_str(), &st) == 0) return Fail(error, image + " already exists");
  TDriveOptions o;
  o.Image = image;
  o.Medium = m;
  TVDrive d(o);
  return d.Open(error);
}

bool VRecReadDiscInfo(const std::string& image, TVRecDiscInfo* info, std::string* error) {
  struct stat st {};
  if (::access(StatePath(image).c_str(), F_OK) != 0 && ::stat(image.c_str(), &st) == 0) {
    // No state file: the disc a drive would make of the image (a closed one).
    TDriveOptions o;
    o.Image = image;
    TVDrive d(o);
    if (!d.Open(error)) return false;
    *info = d.Disc.Describe();
    return true;
  }
  TDisc disc;
  if (!LoadState(image, &disc, error)) return false;
  *info = disc.Describe();
  return true;
}

std::string VRecFormatDiscInfo(const TVRecDiscInfo& info) {
  std::ostringstream out;
  out << "medium: " << info.Medium << "\n";
  out << "disc status: " << info.Status << "\n";
  if (!info.Formatted.empty()) out << "formatted: " << info.Formatted << "\n";
  for (const auto& s : info.Sessions) {
    out << "session " << s.Number << (s.Closed ? " (closed)" : " (open)") << ": start " << s.Start
        << ", end " << s.End << "\n";
    for (const auto& t : s.Tracks)
      out << "  track " << t.Number << ": start " << t.Start << ", end " << t.End << ", " << t.State
          << "\n";
  }
  if (info.HasNextWritable) out << "next writable address: " << info.NextWritable << "\n";
  else out << "next writable address: none\n";
  out << "free sectors: " << info.FreeSectors << "\n";
  out << "capacity: " << info.Capacity << "\n";
  out << "rewritable: " << (info.Erase.empty() ? "no" : "yes, erased by " + info.Erase) << "\n";
  return out.str();
}

bool VRecWriteImage(const std::string& image, const std::string& isoPath, bool closeDisc,
                    uint32_t* startSector, std::string* error) {
  struct stat st {};
  if (::stat(image.c_str(), &st) != 0) return Fail(error, image + " does not exist (make it with vrecorder new)");
  const int iso = ::open(isoPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (iso < 0) return Fail(error, "cannot open " + isoPath + ": " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{iso};
  if (::fstat(iso, &st) != 0 || st.st_size == 0) return Fail(error, isoPath + " is empty");
  const uint64_t sectors = (uint64_t(st.st_size) + kSectorSize - 1) / kSectorSize;

  TDriveOptions o;
  o.Image = image;
  TVDrive drive(o);
  if (!drive.Open(error)) return false;
  TLocalDrive d{drive, {}};
  const TMedium m = drive.Disc.Medium;
  if (!drive.Disc.Info().Writable) return Fail(error, image + " holds a " + drive.Disc.Info().Name + " disc, which cannot be written");

  // Write parameters: a data track, multi-session unless the disc is to be closed.
  std::vector<uint8_t> page(8 + 52);
  if (!d.Send({0x5A, 0, 0x05, 0, 0, 0, 0, 0, uint8_t(page.size())}, page))
    return Fail(error, "MODE SENSE failed: " + SenseText(d.Last));
  uint8_t* p = &page[8];
  p[2] = uint8_t((p[2] & 0x40) | 0x01);  // keep BUFE, track-at-once, no test write
  p[3] = closeDisc ? 0x04 : 0xC4;
  p[4] = 0x08;
  if (m == TMedium::DvdR || m == TMedium::DvdRwSeq) {
    p[2] = uint8_t(p[2] & 0x40);  // incremental
    p[3] = closeDisc ? 0x05 : 0xC5;
  }
  std::fill(page.begin(), page.begin() + 8, 0);
  if (!d.Send({0x55, 0x10, 0, 0, 0, 0, 0, 0, uint8_t(page.size())}, page))
    return Fail(error, "MODE SELECT failed: " + SenseText(d.Last));

  // A new BD-RE takes data once formatted: type 00h over the whole disc.
  std::array<uint8_t, 12> format = {0, 0, 0, 8};
  if (m == TMedium::BdRe && !drive.Disc.Formatted && !d.Send({0x04, 0x11, 0, 0, 0, 0}, format))
    return Fail(error, "FORMAT UNIT failed: " + SenseText(d.Last));

  std::array<uint8_t, 40> track{};
  if (!d.Send({0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 40}, track))
    return Fail(error, "the disc takes no further session (READ TRACK INFORMATION: " + SenseText(d.Last) + ")");
  if (!(track[7] & 0x01)) return Fail(error, "the disc has no next writable address");
  const uint32_t start = Get32(&track[12]);
  const uint8_t trackNumber = track[2];
  if (start + sectors > drive.Disc.Capacity())
    return Fail(error, "the image needs " + std::to_string(sectors) + " sectors from " +
                           std::to_string(start) + ", more than the disc holds");

  std::vector<uint8_t> block(32 * kSectorSize);
  for (uint64_t done = 0; done < sectors;) {
    const uint32_t count = uint32_t(std::min<uint64_t>(32, sectors - done));
    std::fill(block.begin(), block.end(), 0);
    const ssize_t n = ::pread(iso, block.data(), size_t(count) * kSectorSize, off_t(done * kSectorSize));
    if (n < 0) return Fail(error, "cannot read " + isoPath + ": " + std::strerror(errno));
    const uint32_t lba = start + uint32_t(done);
    if (!d.Send({0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
                 uint8_t(count >> 8), uint8_t(count)},
                std::span(block).first(size_t(count) * kSectorSize)))
      return Fail(error, "WRITE (10) at " + std::to_string(lba) + " failed: " + SenseText(d.Last));
    done += count;
  }
  if (!d.Send({0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}))
    return Fail(error, "SYNCHRONIZE CACHE failed: " + SenseText(d.Last));
  if (drive.Disc.Sequential()) {
    if (!d.Send({0x5B, 0, 0x01, 0, 0, trackNumber, 0, 0, 0, 0}))
      return Fail(error, "CLOSE TRACK failed: " + SenseText(d.Last));
    if (!d.Send({0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}))
      return Fail(error, "CLOSE SESSION failed: " + SenseText(d.Last));
    // DVD+R and BD-R ignore page 05h: they are finalised by a close function.
    const uint8_t finalize = m == TMedium::DvdPlusR ? 0x05 : IsBd(m) ? 0x06 : 0;
    if (closeDisc && finalize && !drive.Disc.Complete &&
        !d.Send({0x5B, 0, finalize, 0, 0, 0, 0, 0, 0, 0}))
      return Fail(error, "finalising the disc failed: " + SenseText(d.Last));
  }
  if (const std::string flushed = drive.Flush(); !flushed.empty()) return Fail(error, flushed);
  if (startSector) *startSector = start;
  return true;
}

const char* VRecKeysHelp() {
  return R"(Drive list (MBURN_VIRTUAL): drives separated by ';', each IMAGE[:MEDIA][,key=value...]
Drive k is host adapter 0, target k, lun 0.
MEDIA: none, cd-rom, cd-r, cd-rw, dvd-rom, dvd-r, dvd-rw (restricted overwrite),
       dvd-rw-seq, dvd+r, dvd+rw, dvd-ram, bd-rom, bd-r, bd-r-dl (dual layer),
       bd-re (unformatted when new) (default cd-r for a new image)
Keys:
  vendor=TEXT        INQUIRY vendor (default MBURN)
  product=TEXT       INQUIRY product (default VIRTUAL DVD-RW)
  revision=TEXT      INQUIRY revision (default 1.00)
  type=5|4           INQUIRY device type (default 5)
  dvd-writer=1|0     the drive writes DVD media (default 1)
  bd-writer=1|0      the drive reads and writes BD media (default 1 with a BD)
  page30=0|1         answer MODE SENSE of page 30h (default 0)
  sync=0|1           complete requests on the caller's thread (default 0)
  load-ms=N          NOT READY 04h/01h for N ms after a load (default 0)
  long-write-ms=N    NOT READY 04h/08h for N ms after an immediate
                     SYNCHRONIZE CACHE or CLOSE TRACK/SESSION (default 0)
  format-ms=N        NOT READY 04h/04h for N ms after FORMAT UNIT with IMMED
  erase-ms=N         NOT READY for N ms (default 300) after BLANK or an erasing
                     FORMAT UNIT (26h DVD+RW, 00h DVD-RAM) with IMMED, progress in sense
  buffer-kb=N        drive buffer in KiB (default 2048)
  direct=1|0         aligned transfers bypass the page cache (default 1)
  write-speed=KBPS   buffer drain rate in kB/s (default 0: no limit)
  busy=N             the next N commands end with target status BUSY
  not-ready=0|1      medium commands fail NOT READY 04h/00h
  write-error=LBA    WRITE (10) covering LBA fails 3/0Ch/00h (-1 clears)
  read-error=RANGES  READ (10) covering a sector of RANGES fails 3/11h/00h
                     (UNRECOVERED READ ERROR); RANGES is LBA or FIRST-LAST,
                     several joined by '+' (100-119+500); -1 clears
  read-retries=N     each read-error sector fails only its first N reads,
                     then reads (a weak sector); default 0: it never reads
  capacity=N         a new disc holds N sectors instead of its medium's
                     capacity (kept in its state file)
  corrupt-at=LBA     WRITE (10) covering LBA succeeds, stores LBA inverted
  hang=OP            commands with opcode OP (hex) never complete (-1 clears)
  hang-count=N       only the next N of them hang (default 0: all)
  fail=OP            commands with opcode OP (hex) fail 4/44h/00h (-1 clears)
  new[=1]            an existing image without state becomes a blank disc
                     (without it, such an image is a closed disc, never written)
  no-bufe=0|1        no buffer-underrun protection
  slow-drain=KBPS    the buffer drains at KBPS whatever write-speed says
  log=PATH           one line per command: CDB, status, target status, sense
)";
}
