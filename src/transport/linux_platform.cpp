// The operating-system side of the built-in layer on Linux: the CD/DVD block
// nodes /dev/sr0../dev/sr24 and SG_IO. Nothing else in the program sees these calls.
#include "transport/transport.h"

#include <fcntl.h>
#include <grp.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <vector>

namespace {

constexpr unsigned kSCSICDROMMajor = 11;
constexpr uint8_t kDriverStatusSense = 0x08;  // sense data delivered, not a failure
constexpr uint8_t kDriverStatusTimeout = 0x06;

// The kernel's host codes in the ASPI host adapter status the trace knows;
// 0 for those without an ASPI counterpart.
uint8_t HostStatusOf(unsigned hostStatus, unsigned driverStatus) {
  switch (hostStatus) {
    case 0x01:                                // no connection
    case 0x04: return 0x11;                   // bad target: SELECTION TIMEOUT
    case 0x03: return HASTAT_TIMEOUT;         // timed out
    case 0x06: return 0x0F;                   // parity error
    case 0x08: return 0x0E;                   // bus reset
    default: break;
  }
  return (driverStatus & 0x0F) == kDriverStatusTimeout ? HASTAT_TIMEOUT : 0;
}

std::string NodePath(int index) { return "/dev/sr" + std::to_string(index - 2); }

class TLinuxSPTIPlatform final : public TSPTIPlatform {
public:
  bool IsCDDrive(int index) override {
    if (index < 2 || index > 26) return false;
    struct stat st{};
    if (::stat(NodePath(index).c_str(), &st) != 0) return false;
    return S_ISBLK(st.st_mode) && major(st.st_rdev) == kSCSICDROMMajor;
  }

  int Open(int index) override {
    if (index < 2 || index > 26) return -1;
    const std::string path = NodePath(index);
    // Non-blocking, so that a drive without a disc still opens.
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? -1 : fd;
  }

  int OpenExclusive(int index) override {
    if (index < 2 || index > 26) return errno = ENODEV, -1;
    const int fd = ::open(NodePath(index).c_str(), O_RDWR | O_NONBLOCK | O_EXCL | O_CLOEXEC);
    return fd < 0 ? -1 : fd;
  }

  bool Close(int handle) override { return handle >= 0 && ::close(handle) == 0; }

  std::string NodeGroup(int index) override {
    struct stat st{};
    if (index < 2 || index > 26 || ::stat(NodePath(index).c_str(), &st) != 0) return {};
    std::vector<char> buffer(16384);
    struct group entry{};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
      return found->gr_name;
    return std::to_string(st.st_gid);
  }

  bool PassThrough(int handle, TPassThrough& request) override {
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    switch (request.Dir) {
      case TPassThrough::Direction::In: io.dxfer_direction = SG_DXFER_FROM_DEV; break;
      case TPassThrough::Direction::Out: io.dxfer_direction = SG_DXFER_TO_DEV; break;
      case TPassThrough::Direction::None: io.dxfer_direction = SG_DXFER_NONE; break;
    }
    io.cmd_len = std::min<uint8_t>(request.CdbLength, sizeof request.Cdb);
    io.cmdp = request.Cdb;
    io.mx_sb_len = std::min<uint8_t>(request.SenseLength, sizeof request.Sense);
    io.sbp = request.Sense;
    if (request.Dir != TPassThrough::Direction::None) {
      io.dxfer_len = request.Length;
      io.dxferp = request.Data;
    }
    io.timeout = request.TimeoutSec * 1000u;

    int r;
    do {
      r = ::ioctl(handle, SG_IO, &io);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      request.SenseLength = 0;
      request.ScsiStatus = 0;
      // A drive that went away is as good as one that does not answer selection.
      request.HostStatus = errno == ENODEV || errno == ENXIO ? 0x11 : 0;
      return false;
    }
    request.SenseLength = std::min<uint8_t>(io.sb_len_wr, sizeof request.Sense);
    request.ScsiStatus = io.status;
    request.HostStatus = HostStatusOf(io.host_status, io.driver_status);
    // Host adapter or driver trouble (time-out, lost device) is a failed call;
    // a CHECK CONDITION with its sense data is a completed one.
    return io.host_status == 0 && (io.driver_status & ~kDriverStatusSense & 0x0F) == 0;
  }

  bool GetAddress(int handle, uint8_t& port, uint8_t& target, uint8_t& lun) override {
    struct {
      int DevId;         // target | lun << 8 | channel << 16 | host << 24
      int HostUniqueId;
    } idlun{};
    int bus = 0;
    if (::ioctl(handle, SCSI_IOCTL_GET_IDLUN, &idlun) != 0) return false;
    if (::ioctl(handle, SCSI_IOCTL_GET_BUS_NUMBER, &bus) != 0) return false;
    port = static_cast<uint8_t>(bus);
    target = static_cast<uint8_t>(idlun.DevId & 0xFF);
    lun = static_cast<uint8_t>((idlun.DevId >> 8) & 0xFF);
    return true;
  }
};

// Never destroyed: the transport's finalisation still closes drives through it.
union TRealPlatform {
  TLinuxSPTIPlatform Platform;
  constexpr TRealPlatform() : Platform() {}
  ~TRealPlatform() {}
};

constinit TRealPlatform gReal;
std::atomic<TSPTIPlatform*> gPlatform{nullptr};

}  // namespace

TSPTIPlatform& SPTIPlatform() {
  TSPTIPlatform* p = gPlatform.load();
  return p ? *p : gReal.Platform;
}

void SetSPTIPlatform(TSPTIPlatform* platform) { gPlatform.store(platform); }
