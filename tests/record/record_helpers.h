// Shared ground of the recording tests: an instant clock, scratch folders with
// varied content, the in-process virtual recorder with its command log, a
// recording driven to its end, and the independent readers (xorriso, bsdtar)
// that extract a recorded session for a byte-for-byte comparison.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/common.h"
#include "iso/iso.h"
#include "record/record.h"
#include "transport/transport.h"
#include "vrecorder/vrecorder.h"

namespace rectest {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- clock
// Virtual milliseconds: a sleep advances them at once (after a token real
// pause, so that polling threads do not spin); waits on completion events are
// real. The sleeps are counted by length.
class TTestClock final : public TClock {
public:
  uint64_t NowMs() override { return now_.load(); }
  void Sleep(uint32_t ms) override {
    {
      std::lock_guard g(lock_);
      ++sleeps_[ms];
    }
    now_ += ms;
    std::this_thread::sleep_for(std::chrono::microseconds(ms >= 100 ? 50 : 10));
  }
  bool WaitEvent(int fd, uint32_t ms) override {
    // With instant time-outs a request that has not completed when the wait
    // begins times out at once (use with a synchronous drive).
    return SystemClock().WaitEvent(fd, InstantTimeouts ? 0 : ms);
  }
  std::atomic<bool> InstantTimeouts{false};

  int Sleeps(uint32_t ms) {
    std::lock_guard g(lock_);
    auto it = sleeps_.find(ms);
    return it == sleeps_.end() ? 0 : it->second;
  }
  void ResetCounts() {
    std::lock_guard g(lock_);
    sleeps_.clear();
  }

private:
  std::atomic<uint64_t> now_{1000000};
  std::mutex lock_;
  std::map<uint32_t, int> sleeps_;
};

struct TClockScope {
  TTestClock Clock;
  TClockScope() { SetClock(&Clock); }
  ~TClockScope() { SetClock(nullptr); }
};

// ---------------------------------------------------------------- files
class TTempDir {
public:
  TTempDir() {
    std::string tmpl = (fs::temp_directory_path() / "mburn-record-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TTempDir() {
    if (std::getenv("MBURN_KEEP_TMP")) return;  // for a look after a failure
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& Path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

private:
  fs::path path_;
};

inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng() >> 24);
  return v;
}

inline void WriteFile(const fs::path& p, const std::vector<uint8_t>& data) {
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A folder with what trips up images: empty and one-byte files, sizes on and
// around sector and block boundaries, a file larger than the cache, nested
// and empty subfolders, long, spaced, mixed-case and non-ASCII names.
inline void MakeVariedFolder(const fs::path& dir, uint32_t seed, bool large = true) {
  uint32_t s = seed;
  auto file = [&](const std::string& rel, size_t size) { WriteFile(dir / rel, Pattern(size, ++s)); };
  file("empty.txt", 0);
  file("one byte.bin", 1);
  file("sector-1.dat", 2047);
  file("sector.dat", 2048);
  file("sector+1.dat", 2049);
  file("block-1.dat", 65535);
  file("block.dat", 65536);
  file("block+1.dat", 65537);
  file("Mixed Case Name With Spaces.Text", 3000);
  file("a rather long file name that still fits a joliet record.txt", 5000);
  file("n\xC3\xA6rmere \xC3\xB8l og \xC3\xA5l.txt", 777);  // "nærmere øl og ål"
  file("no_extension", 12345);
  file("sub/inner.bin", 100000);
  file("sub/deeper/deepest/leaf.txt", 42);
  file("sub/deeper/another file.dat", 70000);
  file("Second Folder/readme", 10);
  if (large) file("sub/larger than the cache.bin", 5 * 1024 * 1024 + 123);
  fs::create_directories(dir / "empty folder");
}

// The files under root, relative paths, sorted. With dotless, a trailing "."
// of a file name is dropped: the Joliet names of files without an extension
// carry one (it stands where the extension would), and some readers show it.
inline std::vector<std::string> ListFiles(const fs::path& root, bool dotless = false) {
  std::vector<std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::string rel = fs::relative(e.path(), root).string();
    if (dotless && rel.ends_with('.')) rel.pop_back();
    out.push_back(rel);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// "" when every file of source is in extracted with the same bytes and
// extracted holds no other file; else what differs first.
inline std::string CompareTrees(const fs::path& source, const fs::path& extracted,
                                bool dotless = false) {
  const auto a = ListFiles(source), b = ListFiles(extracted, dotless);
  if (a != b) {
    std::ostringstream s;
    s << "file lists differ: source " << a.size() << " files, extracted " << b.size() << ":";
    for (const auto& f : a)
      if (!std::binary_search(b.begin(), b.end(), f)) s << " missing '" << f << "'";
    for (const auto& f : b)
      if (!std::binary_search(a.begin(), a.end(), f)) s << " extra '" << f << "'";
    return s.str();
  }
  for (const auto& f : a) {
    fs::path got = extracted / f;
    if (dotless && !fs::exists(got)) got += ".";
    if (ReadFile(source / f) != ReadFile(got)) return "content differs: " + f;
  }
  return "";
}

// Runs a shell command; its exit status, the output in *output.
inline int Shell(const std::string& command, std::string* output = nullptr) {
  std::string cmd = command + " 2>&1";
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  const int status = ::pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// python3-dbusmock's logind on a dbus-daemon of the test's own, named by
// DBUS_SYSTEM_BUS_ADDRESS while it lives; asked with dbus-send.
class TLogindMock {
public:
  explicit TLogindMock(const fs::path& dir)
      : bus_("unix:path=" + (dir / "bus").string()), log_(dir / "logind.log") {
    Start("dbus-daemon --session --nofork --address=" + Quote(bus_));
    if (!Poll([&] { return Ask("org.freedesktop.DBus / org.freedesktop.DBus.GetId") == 0; })) return;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.c_str(), 1);
    Start("/usr/bin/python3 -m dbusmock --system --template logind --logfile " + Quote(log_.string()));
    ready_ = Poll([&] {
      std::string out;
      Ask("org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner string:org.freedesktop.login1",
          &out);
      return out.find("boolean true") != std::string::npos;
    });
  }
  ~TLogindMock() {
    for (const pid_t pid : pids_) kill(pid, SIGTERM);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  }
  bool Ready() const { return ready_; }
  // The calls logind had, one a line.
  std::string Calls() const {
    const std::vector<uint8_t> text = ReadFile(log_);
    return std::string(text.begin(), text.end());
  }
  // ListInhibitors as dbus-send prints its answer.
  std::string Inhibitors() const {
    std::string out;
    Ask("org.freedesktop.login1 /org/freedesktop/login1 "
        "org.freedesktop.login1.Manager.ListInhibitors",
        &out);
    return out;
  }
  // Asks until no lock is held: logind notices a closed one in its own time.
  bool NoneHeldSoon() const {
    return Poll([&] { return Inhibitors().find("Micro Burner") == std::string::npos; });
  }

private:
  void Start(const std::string& command) {
    std::string pid;
    Shell(command + " >/dev/null 2>&1 & echo $!", &pid);
    pids_.push_back(std::atoi(pid.c_str()));
  }
  int Ask(const std::string& call, std::string* out = nullptr) const {
    return Shell("dbus-send --bus=" + Quote(bus_) + " --print-reply --dest=" + call, out);
  }
  // At most 400 looks, 25 ms apart.
  static bool Poll(const std::function<bool()>& done) {
    for (int i = 0; i < 400; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(25)))
      if (done()) return true;
    return false;
  }
  std::string bus_;
  fs::path log_;
  std::vector<pid_t> pids_;
  bool ready_ = false;
};

// Extracts the session whose volume descriptors start at startSector + 16,
// reading the Joliet tree. "" on success, else xorriso's output.
inline std::string ExtractWithXorriso(const fs::path& image, uint32_t startSector,
                                      const fs::path& dir) {
  fs::create_directories(dir);
  std::string out;
  const std::string cmd = "xorriso -abort_on FAILURE -osirrox on -joliet on -rockridge off "
                          "-load sbsector " + std::to_string(startSector) +
                          " -indev stdio:" + Quote(image.string()) + " -extract / " +
                          Quote(dir.string());
  if (Shell(cmd, &out) != 0) return "xorriso failed: " + out;
  // Extracted files and folders are read-only; make them removable.
  Shell("chmod -R u+rwX " + Quote(dir.string()));
  return "";
}

// Extracts the volume whose descriptors stand at sector 16 of the image.
inline std::string ExtractWithBsdtar(const fs::path& image, const fs::path& dir) {
  fs::create_directories(dir);
  std::string out;
  if (Shell("bsdtar -xf " + Quote(image.string()) + " -C " + Quote(dir.string()), &out) != 0)
    return "bsdtar failed: " + out;
  Shell("chmod -R u+rwX " + Quote(dir.string()));
  return "";
}

// A copy of the image whose sectors 16.. hold the descriptors of the session
// at startSector, so that a reader that only looks at sector 16 sees it (the
// directory records hold absolute addresses, so nothing else has to move).
inline std::string SessionView(const fs::path& image, uint32_t startSector, const fs::path& copy) {
  std::string out;
  if (Shell("cp --sparse=always " + Quote(image.string()) + " " + Quote(copy.string()), &out))
    return "cp failed: " + out;
  std::fstream f(copy, std::ios::binary | std::ios::in | std::ios::out);
  std::array<char, 2048> sector;
  for (uint32_t i = 16; i < 32; ++i) {
    f.seekg(static_cast<std::streamoff>(startSector + i) * 2048);
    f.read(sector.data(), sector.size());
    f.seekp(static_cast<std::streamoff>(i) * 2048);
    f.write(sector.data(), sector.size());
    if (static_cast<uint8_t>(sector[0]) == 0xFF) break;  // the set terminator
  }
  return f ? "" : "cannot write the session view";
}

// ---------------------------------------------------------------- command log
struct TLogged {
  std::vector<uint8_t> Cdb;
  std::string Line;
  bool Ok() const { return Line.find("status=01") != std::string::npos; }
  uint8_t Op() const { return Cdb.empty() ? 0xFF : Cdb[0]; }
  uint32_t Lba() const {  // bytes 2-5
    return Cdb.size() >= 6 ? uint32_t{Cdb[2]} << 24 | uint32_t{Cdb[3]} << 16 |
                                 uint32_t{Cdb[4]} << 8 | Cdb[5]
                           : 0;
  }
  uint16_t Count() const {  // bytes 7-8
    return Cdb.size() >= 9 ? static_cast<uint16_t>(Cdb[7] << 8 | Cdb[8]) : 0;
  }
};

// Lines of the recorder's log: the CDB as hexadecimal bytes first.
inline std::vector<TLogged> ReadCommandLog(const fs::path& path) {
  std::vector<TLogged> out;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    TLogged l;
    l.Line = line;
    std::istringstream s(line);
    std::string tok;
    while (s >> tok) {
      if (tok.size() != 2 || !std::isxdigit(static_cast<unsigned char>(tok[0])) ||
          !std::isxdigit(static_cast<unsigned char>(tok[1])))
        break;
      l.Cdb.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    }
    out.push_back(std::move(l));
  }
  return out;
}

inline std::vector<uint8_t> Ops(const std::vector<TLogged>& log) {
  std::vector<uint8_t> ops;
  for (const auto& l : log) ops.push_back(l.Op());
  return ops;
}

inline std::vector<TLogged> Only(const std::vector<TLogged>& log, uint8_t op) {
  std::vector<TLogged> out;
  for (const auto& l : log)
    if (l.Op() == op) out.push_back(l);
  return out;
}

// The commands that only the recording sequence sends, in order, as text
// ("1B 01 BB 2A* 35 5B ..."): runs of writes collapse into "2A*".
inline std::string Landmarks(const std::vector<TLogged>& log) {
  static constexpr uint8_t kShown[] = {0x04, 0x1B, 0x01, 0xBB, 0xB6, 0xBF, 0x53,
                                       0x54, 0x2A, 0x35, 0x5B, 0x1E};
  std::string out;
  uint8_t last = 0xFF;
  for (const auto& l : log) {
    const uint8_t op = l.Op();
    if (std::find(std::begin(kShown), std::end(kShown), op) == std::end(kShown)) continue;
    if (op == 0x2A && last == 0x2A) continue;
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", op);
    if (!out.empty()) out += ' ';
    out += op == 0x2A ? "2A*" : hex;
    last = op;
  }
  return out;
}

// ---------------------------------------------------------------- recorder
// One virtual drive bound in-process as the library back-end.
class TVirtualRecorder {
public:
  TVirtualRecorder(const fs::path& image, const std::string& medium,
                   const std::string& extra = "") {
    log_ = image.string() + ".log";
    std::string config = image.string() + ":" + medium + ",log=" + log_;
    if (!extra.empty()) config += "," + extra;
    std::string error;
    ok_ = VRecConfigure(config, &error);
    error_ = error;
    BindASPIEntries(&VRecGetASPI32SupportInfo, &VRecSendASPI32Command);
  }
  ~TVirtualRecorder() {
    ResetASPILayer();
    VRecShutdown();
  }
  bool Ok() const { return ok_; }
  const std::string& Error() const { return error_; }
  const std::string& LogPath() const { return log_; }
  void ClearLog() { std::ofstream(log_, std::ios::trunc); }
  std::vector<TLogged> Log() const { return ReadCommandLog(log_); }
  TVRecDiscInfo Disc() const {
    TVRecDiscInfo info;
    VRecGetDiscInfo(0, &info);
    return info;
  }

private:
  std::string log_, error_;
  bool ok_ = false;
};

// Selects the first drive of the bound recorder on the component.
inline bool SelectFirstDrive(VEZEZadira& c) {
  c.HostAdapterInquiry(0);
  c.ScanDevices();
  if (c.DeviceList.empty()) return false;
  c.SelectDevice(c.DeviceList[0]);
  return true;
}

// A component on a fresh virtual drive, the instant clock and a scratch folder.
struct TSetup {
  TClockScope Clock;
  TTempDir Tmp;
  std::unique_ptr<TVirtualRecorder> Recorder;
  std::unique_ptr<VEZEZadira> Component;

  // False (with a test failure) when the drive cannot be made or selected.
  bool Open(const std::string& medium, const std::string& extra = "") {
    Recorder = std::make_unique<TVirtualRecorder>(Tmp / "disc.img", medium, extra);
    if (!Recorder->Ok()) {
      ADD_FAILURE() << Recorder->Error();
      return false;
    }
    Component = std::make_unique<VEZEZadira>();
    if (!SelectFirstDrive(*Component)) {
      ADD_FAILURE() << "no drive";
      return false;
    }
    return true;
  }
  // Adds the folder and prepares the image; the log starts after this.
  bool Prepare(const fs::path& folder) {
    VEZEZadira& c = *Component;
    if (!c.AddFolder("\\", folder.string(), "*.*", faAnyFile, true, false, false)) return false;
    if (!c.PrepareImage(false, nullptr)) return false;
    Recorder->ClearLog();
    Clock.Clock.ResetCounts();
    return true;
  }
  // Opens the disc, fills Tmp/src with `fill` and prepares its image.
  bool OpenAndPrepare(void (*fill)(const fs::path&), const std::string& medium,
                      const std::string& extra = "") {
    if (!Open(medium, extra)) return false;
    fill(Tmp / "src");
    return Prepare(Tmp / "src");
  }
  fs::path Image() const { return Tmp / "disc.img"; }
  ~TSetup() {
    Component.reset();  // before the drive goes
    Recorder.reset();
  }
};

// What one recording reported.
struct TOutcome {
  bool Started = false;
  int WriteDoneCalls = 0;
  int Refusals = 0;  // starts refused while a recording had not ended: not this one's end
  int FinalizingCalls = 0;
  std::string Error;
  int64_t BytesWritten = 0;
  std::thread::id WriteDoneThread;
  std::vector<std::string> Messages;
};

// Hooks the events, starts the recording and waits (bounded) for its end.
class TRecorderRun {
public:
  explicit TRecorderRun(VEZEZadira& c) : c_(c) {
    c_.OnWriteDone = [this](TObject*, const std::string& error) {
      std::lock_guard g(lock_);
      if (error == kAlreadyRecordingText) {
        ++out_.Refusals;
        return;
      }
      ++out_.WriteDoneCalls;
      out_.Error = error;
      out_.WriteDoneThread = std::this_thread::get_id();
      changed_.notify_all();
    };
    c_.OnFinalizingTrack = [this](TObject*) {
      std::lock_guard g(lock_);
      ++out_.FinalizingCalls;
    };
    c_.OnDebugMessage = [this](TObject*, const std::string& m, uint8_t) {
      std::lock_guard g(lock_);
      out_.Messages.push_back(m);
    };
  }
  ~TRecorderRun() {
    c_.StopRecording();
    c_.OnWriteDone = nullptr;
    c_.OnFinalizingTrack = nullptr;
    c_.OnDebugMessage = nullptr;
  }

  TOutcome Record() {
    const bool started = c_.StartRecording();
    std::unique_lock g(lock_);
    out_.Started = started;
    // A safety net against a hang, not a timing assertion. A start that
    // failed or was refused has reported already.
    if (started)
      changed_.wait_for(g, std::chrono::minutes(5), [&] { return out_.WriteDoneCalls > 0; });
    g.unlock();
    c_.StopRecording();  // the thread has ended its body once this returns
    g.lock();
    out_.BytesWritten = c_.BytesWritten;
    return out_;
  }

  bool MessageSeen(const std::string& text) {
    std::lock_guard g(lock_);
    return std::find(out_.Messages.begin(), out_.Messages.end(), text) != out_.Messages.end();
  }

private:
  VEZEZadira& c_;
  std::mutex lock_;
  std::condition_variable changed_;
  TOutcome out_;
};

}  // namespace rectest

// Runs `action` as the write loop begins (its ">>> STARTING WRITE PROCESS"
// message), ahead of the message handler in place. Install after TRecorderRun.
inline void AtWriteLoop(VEZEZadira& c, std::function<void()> action) {
  auto previous = c.OnDebugMessage;
  c.OnDebugMessage = [previous, action = std::move(action)](TObject* sender, const std::string& m,
                                                            uint8_t kind) {
    if (m.rfind(">>> STARTING WRITE PROCESS", 0) == 0) action();
    if (previous) previous(sender, m, kind);
  };
}

// Runs `action` as the track is about to be closed, ahead of the handler in place.
inline void AtFinalizing(VEZEZadira& c, std::function<void()> action) {
  auto previous = c.OnFinalizingTrack;
  c.OnFinalizingTrack = [previous, action = std::move(action)](TObject* sender) {
    action();
    if (previous) previous(sender);
  };
}
