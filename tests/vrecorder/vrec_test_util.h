// Helpers of the virtual recorder tests: a scratch directory, raw CDBs sent
// through the ASPI entry point with an eventfd, and a clock the tests move.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/common.h"
#include "transport/transport.h"
#include "vrecorder/vrecorder.h"

namespace vrtest {

// Time moves only when someone sleeps or the test says so.
class TFakeClock final : public TClock {
public:
  uint64_t NowMs() override { return Now.load(); }
  void Sleep(uint32_t ms) override { Now += ms; }
  bool WaitEvent(int fd, uint32_t ms) override {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, int(ms)) == 1;
  }
  void Advance(uint64_t ms) { Now += ms; }
  std::atomic<uint64_t> Now{1000000};
};

struct TReply {
  uint8_t Status = 0xFF;  // SRB status
  uint8_t Target = 0xFF;  // target status
  uint8_t Key = 0, Asc = 0, Ascq = 0;
  bool Good() const { return Status == SS_COMP && Target == 0; }
  bool Is(uint8_t key, uint8_t asc, uint8_t ascq) const {
    return Status == SS_ERR && Target == STATUS_CHKCOND && Key == key && Asc == asc && Ascq == ascq;
  }
};

inline std::ostream& operator<<(std::ostream& o, const TReply& r) {
  char text[80];
  std::snprintf(text, sizeof text, "status %02X target %02X sense %X/%02X/%02X", r.Status, r.Target,
                r.Key, r.Asc, r.Ascq);
  return o << text;
}

// Sends one CDB to target `target` and waits (bounded) for its completion.
inline TReply Send(uint8_t target, std::initializer_list<uint8_t> cdb, std::vector<uint8_t>* data = nullptr,
                   uint8_t dir = SRB_DIR_IN) {
  SRB_ExecSCSICmd srb{};
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_Target = target;
  srb.SRB_Flags = SRB_EVENT_NOTIFY | (data ? dir : 0);
  srb.SRB_SenseLen = 24;
  srb.SRB_CDBLen = uint8_t(cdb.size());
  std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
  if (data) {
    srb.SRB_BufLen = uint32_t(data->size());
    srb.SRB_BufPointer = data->data();
  }
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  srb.SRB_PostProc = fd;
  const uint32_t result = VRecSendASPI32Command(&srb);
  if (result == SS_PENDING) {
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 10000);
  }
  ::close(fd);
  TReply r;
  r.Status = __atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE);
  r.Target = srb.SRB_TargStat;
  r.Key = srb.SenseArea[2] & 0x0F;
  r.Asc = srb.SenseArea[12];
  r.Ascq = srb.SenseArea[13];
  return r;
}

inline uint32_t Be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}
inline uint16_t Be16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] << 8 | b[at + 1]); }

// CDB builders for the commands the tests use most.
inline TReply Write10(uint8_t t, uint32_t lba, uint16_t count, uint8_t fill = 0xA5) {
  std::vector<uint8_t> data(size_t(count) * 2048, fill);
  return Send(t, {0x2A, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
                  uint8_t(count >> 8), uint8_t(count), 0},
              &data, SRB_DIR_OUT);
}
inline TReply Read10(uint8_t t, uint32_t lba, uint16_t count, std::vector<uint8_t>* out) {
  out->assign(size_t(count) * 2048, 0xEE);
  return Send(t, {0x28, 0, uint8_t(lba >> 24), uint8_t(lba >> 16), uint8_t(lba >> 8), uint8_t(lba), 0,
                  uint8_t(count >> 8), uint8_t(count), 0},
              out);
}
inline std::vector<uint8_t> DiscInfo(uint8_t t, TReply* r = nullptr) {
  std::vector<uint8_t> b(34, 0);
  TReply x = Send(t, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, &b);
  if (r) *r = x;
  return b;
}
inline std::vector<uint8_t> TrackInfo(uint8_t t, uint8_t track, TReply* r = nullptr) {
  std::vector<uint8_t> b(38, 0);
  TReply x = Send(t, {0x52, 0x01, 0, 0, 0, track, 0, 0, 38, 0}, &b);
  if (r) *r = x;
  return b;
}
// MODE SELECT of page 05h with the given bytes 2, 3 (write type, multi-session).
inline TReply WriteParams(uint8_t t, uint8_t byte2, uint8_t byte3, uint8_t byte4 = 0x08) {
  std::vector<uint8_t> p(60, 0);
  p[8] = 0x05;
  p[9] = 0x32;
  p[10] = byte2;
  p[11] = byte3;
  p[12] = byte4;
  p[22] = 0;
  p[23] = 150;
  return Send(t, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, &p, SRB_DIR_OUT);
}
inline TReply Close(uint8_t t, uint8_t function, uint8_t track = 0, bool immed = false) {
  return Send(t, {0x5B, uint8_t(immed ? 1 : 0), function, 0, 0, track, 0, 0, 0, 0});
}

// A scratch directory per test, removed afterwards; the recorder is shut down.
class TVRecFixture : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vrectest-XXXXXX";
    Dir = ::mkdtemp(tmpl);
  }
  void TearDown() override {
    VRecShutdown();
    SetClock(nullptr);
    std::filesystem::remove_all(Dir);
  }
  std::string Path(const std::string& name) const { return Dir + "/" + name; }
  void Configure(const std::string& config) {
    std::string error;
    ASSERT_TRUE(VRecConfigure(config, &error)) << error;
  }
  std::string Dir;
};

}  // namespace vrtest
