// The ASPI side of the virtual recorder: the configured drives, the request
// queue with the recorder's own thread that completes requests and signals their
// eventfd, aborting, and the command log.
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>

#include "transport/transport.h"
#include "vrecorder/vrec_internal.h"

using namespace vrec;

namespace {

constexpr auto kNextRequestSpin = std::chrono::microseconds(200);

struct TRequest {
  SRB_ExecSCSICmd* Srb;
  std::shared_ptr<TVDrive> Drive;
};

class TRecorder {
public:
  ~TRecorder() { Shutdown(); }

  bool Configure(const std::string& config, std::string* error);
  void Shutdown();
  uint32_t SupportInfo();
  uint32_t Send(void* srb);
  std::shared_ptr<TVDrive> Drive(int index);
  int Count() {
    std::lock_guard lock(Mutex);
    return int(Drives.size());
  }

private:
  uint32_t Exec(SRB_ExecSCSICmd* srb);
  uint32_t Abort(SRB_Abort* srb);
  void Worker();
  // Runs the command (on a copy of the data, except for a write) and, unless
  // abandoned meanwhile, writes the outcome into the request.
  void Run(const TRequest& r, bool async);
  void Complete(SRB_ExecSCSICmd* srb, uint8_t status, bool signal);

  std::mutex Mutex;
  std::condition_variable Wake;
  std::vector<std::shared_ptr<TVDrive>> Drives;
  std::deque<TRequest> Queue;
  std::atomic<bool> Queued{false};  // Queue is not empty (read without the lock)
  std::vector<TRequest> Hung;
  SRB_ExecSCSICmd* Running = nullptr;
  bool RunningAbandoned = false;
  // Held while a write reads the caller's own buffer; an abort of the running
  // request waits for it, so the caller may free the buffer once it returns.
  std::mutex CallerBuffer;
  bool Stop = false;
  std::thread Thread;
};

TRecorder& Recorder() {
  static TRecorder recorder;
  return recorder;
}

void StoreStatus(uint8_t* field, uint8_t status) { __atomic_store_n(field, status, __ATOMIC_RELEASE); }

void Signal(int64_t fd) {
  if (fd <= 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(int(fd), &one, sizeof one);
}

uint8_t CdbLength(const SRB_ExecSCSICmd* srb) {
  if (srb->SRB_CDBLen >= 6 && srb->SRB_CDBLen <= 16) return srb->SRB_CDBLen;
  const uint8_t group = srb->CDBByte[0] >> 5;
  return group == 0 ? 6 : group == 5 ? 12 : 10;
}

void LogCommand(TVDrive& d, const uint8_t* cdb, uint8_t cdbLength, uint8_t status,
                uint8_t target, const TSense& s, const char* note) {
  std::lock_guard lock(d.Lock);
  if (!d.Log) return;
  std::string line;
  char hex[4];
  for (uint8_t i = 0; i < cdbLength; ++i) {
    std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", cdb[i]);
    line += hex;
  }
  std::fprintf(d.Log, "%s status=%02X target=%02X key=%X asc=%02X ascq=%02X%s\n", line.c_str(), status,
               target, s.Key, s.Asc, s.Ascq, note);
  std::fflush(d.Log);
}

bool TRecorder::Configure(const std::string& config, std::string* error) {
  Shutdown();
  std::vector<TDriveOptions> options;
  if (!ParseDriveList(config, &options, error)) return false;
  std::vector<std::shared_ptr<TVDrive>> drives;
  for (auto& o : options) {
    auto d = std::make_shared<TVDrive>(std::move(o));
    if (!d->Open(error)) return false;
    drives.push_back(std::move(d));
  }
  std::lock_guard lock(Mutex);
  Drives = std::move(drives);
  Stop = false;
  Thread = std::thread([this] { Worker(); });
  return true;
}

void TRecorder::Shutdown() {
  {
    std::lock_guard lock(Mutex);
    Stop = true;
  }
  Wake.notify_all();
  if (Thread.joinable()) Thread.join();
  std::lock_guard lock(Mutex);
  for (auto& r : Hung) Complete(r.Srb, SS_ABORTED, true);
  Hung.clear();
  // Nobody is left to answer: a disc that could not be written is said here.
  for (auto& d : Drives)
    if (const std::string error = d->Flush(); !error.empty()) std::fprintf(stderr, "vrecorder: %s\n", error.c_str());
  Drives.clear();
}

std::shared_ptr<TVDrive> TRecorder::Drive(int index) {
  std::lock_guard lock(Mutex);
  if (index < 0 || size_t(index) >= Drives.size()) return nullptr;
  return Drives[size_t(index)];
}

uint32_t TRecorder::SupportInfo() {
  std::lock_guard lock(Mutex);
  if (Drives.empty()) return uint32_t(SS_NO_ADAPTERS) << 8;
  return uint32_t(SS_COMP) << 8 | 1;
}

void TRecorder::Complete(SRB_ExecSCSICmd* srb, uint8_t status, bool signal) {
  const bool notify = (srb->SRB_Flags & SRB_EVENT_NOTIFY) != 0;
  const int64_t fd = srb->SRB_PostProc;  // read before the caller may see the status
  StoreStatus(&srb->SRB_Status, status);
  if (signal && notify) Signal(fd);
}

void TRecorder::Run(const TRequest& r, bool async) {
  SRB_ExecSCSICmd* srb = r.Srb;
  std::array<uint8_t, 16> cdb{};
  std::memcpy(cdb.data(), srb->CDBByte, cdb.size());
  const uint8_t cdbLength = CdbLength(srb);
  const size_t length = srb->SRB_BufPointer ? srb->SRB_BufLen : 0;
  const bool out = srb->SRB_Flags & SRB_DIR_OUT, in = srb->SRB_Flags & SRB_DIR_IN;
  // A write only reads the caller's buffer: it goes to the image from there,
  // under the lock an abort waits for, unless the caller has given up already.
  // Every other command works on a copy: a request the caller gave up on must
  // not touch memory the caller may have freed. One copy per executing
  // thread, grown as needed, so that nothing is allocated per request.
  std::unique_lock callerBuffer(CallerBuffer, std::defer_lock);
  const bool direct = out && !in && length > 0 && cdb[0] == 0x2A;
  std::span<uint8_t> data;
  if (direct) {
    callerBuffer.lock();
    if (async) {
      std::lock_guard lock(Mutex);
      if (RunningAbandoned) {
        Running = nullptr;
        RunningAbandoned = false;
        return;
      }
    }
    data = std::span(srb->SRB_BufPointer, length);
  } else {
    // Page-aligned, so that a direct read of the image can fill it.
    struct alignas(4096) TPage {
      uint8_t Bytes[4096];
    };
    thread_local std::vector<TPage> buffer;
    if (buffer.size() * sizeof(TPage) < length) buffer.resize((length + sizeof(TPage) - 1) / sizeof(TPage));
    data = std::span(reinterpret_cast<uint8_t*>(buffer.data()), length);
    // Bytes the command does not transfer stay as the caller left them.
    if (!data.empty()) std::memcpy(data.data(), srb->SRB_BufPointer, data.size());
  }
  TCommand c;
  c.Cdb = cdb;
  c.Data = data;
  c.DataIn = in;
  c.DataOut = out;
  Execute(*r.Drive, c);
  if (callerBuffer.owns_lock()) callerBuffer.unlock();
  const uint8_t status = c.TargetStatus == 0 ? SS_COMP : SS_ERR;
  LogCommand(*r.Drive, cdb.data(), cdbLength, status, c.TargetStatus, c.Sense, "");
  std::unique_lock lock(Mutex, std::defer_lock);
  if (async) {
    lock.lock();
    const bool abandoned = RunningAbandoned;
    Running = nullptr;
    RunningAbandoned = false;
    if (abandoned) return;  // the caller gave up and aborted it: leave it alone
  }
  if (!direct && !data.empty() && (in || !out)) std::memcpy(srb->SRB_BufPointer, data.data(), data.size());
  srb->SRB_HaStat = HASTAT_OK;
  srb->SRB_TargStat = c.TargetStatus;
  std::memset(srb->SenseArea, 0, sizeof srb->SenseArea);
  if (c.TargetStatus == STATUS_CHKCOND) {
    uint8_t sense[18] = {};
    sense[0] = 0x70;
    sense[2] = c.Sense.Key;
    sense[7] = 10;
    sense[12] = c.Sense.Asc;
    sense[13] = c.Sense.Ascq;
    std::memcpy(srb->SenseArea, sense, std::min<size_t>(sizeof sense, srb->SRB_SenseLen));
  }
  Complete(srb, status, true);
}

uint32_t TRecorder::Exec(SRB_ExecSCSICmd* srb) {
  std::shared_ptr<TVDrive> drive;
  {
    std::lock_guard lock(Mutex);
    if (srb->SRB_HaId != 0) {
      StoreStatus(&srb->SRB_Status, SS_INVALID_HA);
      return SS_INVALID_HA;
    }
    if (srb->SRB_Lun == 0 && srb->SRB_Target < Drives.size()) drive = Drives[srb->SRB_Target];
  }
  if (!drive) {
    StoreStatus(&srb->SRB_Status, SS_NO_DEVICE);
    return SS_NO_DEVICE;
  }
  if (srb->SRB_BufLen > 0 && !srb->SRB_BufPointer) {
    StoreStatus(&srb->SRB_Status, SS_INVALID_SRB);
    return SS_INVALID_SRB;
  }
  bool sync, hang = false;
  {
    std::lock_guard lock(drive->Lock);
    sync = drive->Options.Sync;
    // The hang fault is decided as the request arrives: it is never executed.
    TDriveOptions& o = drive->Options;
    if (o.Hang >= 0 && srb->CDBByte[0] == o.Hang) {
      hang = true;
      if (o.HangCount > 0 && --o.HangCount == 0) o.Hang = -1;
    }
  }
  StoreStatus(&srb->SRB_Status, SS_PENDING);
  TRequest r{srb, drive};
  if (hang) {
    LogCommand(*drive, srb->CDBByte, CdbLength(srb), SS_PENDING, 0, {}, " (never completes)");
    std::lock_guard lock(Mutex);
    Hung.push_back(std::move(r));
    return SS_PENDING;
  }
  if (sync) {
    Run(r, false);
    return srb->SRB_Status;
  }
  {
    std::unique_lock lock(Mutex);
    if (Stop) {
      StoreStatus(&srb->SRB_Status, SS_ABORTED);
      return SS_ABORTED;
    }
    // The requests of a recording's and a verify's loops (WRITE (10), READ
    // BUFFER CAPACITY, READ (10)) are done on the caller's thread when they
    // find the recorder idle, as the kernel does a request sent with SG_IO: no
    // hand-off to the worker and back for every block. Each runs as the
    // worker's request would, so an abort from another thread is answered the
    // same way, and whatever is queued meanwhile waits for it. Everything else
    // (a flush may wait for the buffer to drain) goes to the worker, so that
    // the caller's time-out holds.
    const uint8_t op = srb->CDBByte[0];
    if ((op == 0x2A || op == 0x5C || op == 0x28) && Queue.empty() && !Running) {
      Running = srb;
      RunningAbandoned = false;
      lock.unlock();
      Run(r, true);
      Wake.notify_one();
      return __atomic_load_n(&srb->SRB_Status, __ATOMIC_ACQUIRE);
    }
    Queue.push_back(std::move(r));
    Queued.store(true, std::memory_order_release);
  }
  Wake.notify_one();
  return SS_PENDING;
}

uint32_t TRecorder::Abort(SRB_Abort* srb) {
  auto* target = static_cast<SRB_ExecSCSICmd*>(srb->SRB_ToAbort);
  std::unique_lock lock(Mutex);
  uint8_t status = SS_ABORT_FAIL;
  bool wasRunning = false;
  auto take = [&](auto& list) {
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->Srb != target) continue;
      list.erase(it);
      // The caller gave up on it and closed its event: no signal.
      StoreStatus(&target->SRB_Status, SS_ABORTED);
      status = SS_COMP;
      return;
    }
  };
  if (target) {
    take(Queue);
    Queued.store(!Queue.empty(), std::memory_order_release);
    take(Hung);
    if (Running == target && status != SS_COMP) {
      RunningAbandoned = true;  // its outcome will not be written
      StoreStatus(&target->SRB_Status, SS_ABORTED);
      status = SS_COMP;
      wasRunning = true;
    }
  }
  lock.unlock();
  // A write still reading the caller's buffer finishes that first (a bounded
  // wait: one transfer), so that the buffer is free to go once this returns.
  if (wasRunning) std::lock_guard wait(CallerBuffer);
  StoreStatus(&srb->SRB_Status, status);
  return status;
}

void TRecorder::Worker() {
  for (;;) {
    TRequest r{};
    // A writing host sends its next request a few microseconds after the
    // last one completed: look for it a little while before going to sleep.
    const auto until = std::chrono::steady_clock::now() + kNextRequestSpin;
    // Yielding, not pausing: the host's other threads (its read-ahead) may
    // need this processor meanwhile.
    while (!Queued.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until)
      sched_yield();
    {
      std::unique_lock lock(Mutex);
      // A write done on its caller's thread is the running request meanwhile.
      Wake.wait(lock, [&] { return !Running && (Stop || !Queue.empty()); });
      if (Queue.empty()) return;
      r = std::move(Queue.front());
      Queue.pop_front();
      Queued.store(!Queue.empty(), std::memory_order_release);
      Running = r.Srb;
      RunningAbandoned = false;
    }
    Run(r, true);
  }
}

uint32_t TRecorder::Send(void* p) {
  if (!p) return SS_ERR;
  auto* header = static_cast<SRB_Header*>(p);
  switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY: {
      auto* srb = static_cast<SRB_HAInquiry*>(p);
      if (srb->SRB_HaId != 0) {
        StoreStatus(&srb->SRB_Status, SS_INVALID_HA);
        return SS_INVALID_HA;
      }
      srb->HA_Count = 1;
      srb->HA_SCSI_ID = 7;
      std::memcpy(srb->HA_ManagerId, "MBURN VIRTUAL   ", 16);
      std::memset(srb->HA_Identifier, 0, 16);
      std::memcpy(srb->HA_Identifier, "VIRTUAL 0", 9);
      std::memset(srb->HA_Unique, 0, 16);
      srb->HA_Unique[3] = 8;  // targets
      const uint32_t maxTransfer = 0x00FF0000;
      std::memcpy(&srb->HA_Unique[4], &maxTransfer, 4);
      StoreStatus(&srb->SRB_Status, SS_COMP);
      return SS_COMP;
    }
    case SC_GET_DEV_TYPE: {
      auto* srb = static_cast<SRB_GDEVBlock*>(p);
      if (srb->SRB_HaId != 0) {
        StoreStatus(&srb->SRB_Status, SS_INVALID_HA);
        return SS_INVALID_HA;
      }
      std::shared_ptr<TVDrive> d = srb->SRB_Lun == 0 ? Drive(srb->SRB_Target) : nullptr;
      uint8_t status = SS_NO_DEVICE;
      srb->SRB_DeviceType = 0x1F;
      if (d) {
        std::lock_guard lock(d->Lock);
        srb->SRB_DeviceType = d->Options.DeviceType;
        status = SS_COMP;
      }
      StoreStatus(&srb->SRB_Status, status);
      return status;
    }
    case SC_EXEC_SCSI_CMD:
      return Exec(static_cast<SRB_ExecSCSICmd*>(p));
    case SC_ABORT_SRB:
      return Abort(static_cast<SRB_Abort*>(p));
    case SC_GET_DISK_INFO: {
      auto* srb = static_cast<SRB_GetDiskInfo*>(p);
      if (srb->SRB_HaId != 0) {
        StoreStatus(&srb->SRB_Status, SS_INVALID_HA);
        return SS_INVALID_HA;
      }
      if (srb->SRB_Lun != 0 || !Drive(srb->SRB_Target)) {
        StoreStatus(&srb->SRB_Status, SS_NO_DEVICE);
        return SS_NO_DEVICE;
      }
      srb->SRB_DriveFlags = 0;
      srb->SRB_Int13HDriveInfo = 0x80;  // no drive letter
      srb->SRB_Heads = 0;
      srb->SRB_Sectors = 0;
      StoreStatus(&srb->SRB_Status, SS_COMP);
      return SS_COMP;
    }
    default:
      StoreStatus(&header->SRB_Status, SS_INVALID_CMD);
      return SS_INVALID_CMD;
  }
}

}  // namespace

// ---------------------------------------------------------------- public API
bool VRecConfigure(const std::string& config, std::string* error) {
  return Recorder().Configure(config, error);
}
void VRecShutdown() { Recorder().Shutdown(); }
uint32_t VRecGetASPI32SupportInfo() { return Recorder().SupportInfo(); }
uint32_t VRecSendASPI32Command(void* srb) { return Recorder().Send(srb); }
int VRecDriveCount() { return Recorder().Count(); }

bool VRecSetOption(int drive, const std::string& key, const std::string& value, std::string* error) {
  auto d = Recorder().Drive(drive);
  if (!d) {
    if (error) *error = "no virtual drive " + std::to_string(drive);
    return false;
  }
  std::lock_guard lock(d->Lock);
  if (key == "log") {
    if (d->Log) std::fclose(d->Log);
    d->Log = value.empty() ? nullptr : std::fopen(value.c_str(), "a");
    d->Options.LogPath = value;
    if (!value.empty() && !d->Log) {
      if (error) *error = "cannot open command log " + value;
      return false;
    }
    return true;
  }
  if (!ApplyOption(d->Options, key, value, error)) return false;
  if (key == "no-bufe" && d->Options.NoBufe) d->WriteParams[2] &= uint8_t(~0x40);
  return true;
}

void VRecSetBusy(int drive, int commands) {
  VRecSetOption(drive, "busy", std::to_string(std::max(commands, 0)), nullptr);
}
void VRecSetNotReady(int drive, bool notReady) {
  VRecSetOption(drive, "not-ready", notReady ? "1" : "0", nullptr);
}
void VRecSetWriteError(int drive, int64_t lba) {
  VRecSetOption(drive, "write-error", std::to_string(lba), nullptr);
}
void VRecSetReadError(int drive, int64_t lba) {
  VRecSetOption(drive, "read-error", std::to_string(lba), nullptr);
}
void VRecSetHang(int drive, int opcode, int count) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%X", opcode & 0xFF);
  VRecSetOption(drive, "hang", opcode < 0 ? "-1" : hex, nullptr);
  VRecSetOption(drive, "hang-count", std::to_string(std::max(count, 0)), nullptr);
}

bool VRecGetDiscInfo(int drive, TVRecDiscInfo* info) {
  auto d = Recorder().Drive(drive);
  if (!d) return false;
  std::lock_guard lock(d->Lock);
  *info = d->Disc.Describe();
  info->Loaded = d->Loaded;
  return true;
}

TVRecDriveStats VRecGetDriveStats(int drive) {
  auto d = Recorder().Drive(drive);
  if (!d) return {};
  std::lock_guard lock(d->Lock);
  TVRecDriveStats s = d->Stats;
  s.BufferFill = uint32_t(d->BufferFill);
  return s;
}
