// Recording throughput against `cat`: the files of a folder are recorded onto
// a virtual DVD+R (bound in-process) whose image lies on the same disk, and,
// in the same run, `cat` copies the same files into one file. Both write the
// same bytes once; the recording should take at most 1.10 x the cat time.
//
//   record_bench SOURCE_DIR IMAGE CAT_OUTPUT [ROUNDS [fresh|rested]]
//
// The two alternate, ROUNDS times each (default 2), after one cat that is not
// counted. Each deletes the other's output, as large as its own, and so writes
// into memory the system has freed. On a virtual machine that hands free memory
// back to its host, that memory costs several times more to fill once it has
// lain free for a few seconds, so the moment of the deletion decides much:
//   fresh   (default) deleted just before writing (for the recording: as its
//           write loop starts), as `cat > file` does with its own output;
//   rested  deleted, then 5 s of rest, before each run starts.
// Prints the best time of each, the recording's write loop (from the start of
// writing to the last block), its CPU seconds per GiB and the peak memory. The
// image and the cat output are left for the caller to remove.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "iso/iso.h"
#include "record/record.h"
#include "transport/transport.h"
#include "vrecorder/vrecorder.h"

namespace fs = std::filesystem;

namespace {

bool gRested = false;  // delete the other output and rest before each run

void RemoveOutput(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
  fs::remove(path + ".state", ec);
}

// Lets freed memory lie long enough to be handed back to the host.
void Rest() {
  ::sync();
  ::sleep(5);
}

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

struct TTimed {
  double Wall = 0;
  double Data = 0;   // recording: until the last block was handed to the recorder
  double Write = 0;  // recording: from the start of the write loop to the last block
  double Cpu = 0;
  bool Ok = false;
};

// `cat FILES > output`, timed, with the child's CPU time.
TTimed Cat(const std::vector<std::string>& files, const std::string& output,
          const std::string& other) {
  TTimed t;
  ::sync();  // start from a quiet disk
  RemoveOutput(other);
  if (gRested) Rest();
  std::fflush(stdout);  // or the child would print it again
  const double start = Now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::FILE* out = std::freopen(output.c_str(), "w", stdout);
    if (!out) _exit(127);
    std::vector<char*> argv{const_cast<char*>("cat")};
    for (const auto& f : files) argv.push_back(const_cast<char*>(f.c_str()));
    argv.push_back(nullptr);
    ::execvp("cat", argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
    t.Wall = Now() - start;
    t.Cpu = CpuSeconds(usage);
    t.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return t;
}

// Records the folder onto a fresh virtual DVD+R at image.
TTimed Record(const std::string& folder, const std::string& image, const std::string& other,
              int64_t& bytes, std::string& error) {
  TTimed t;
  // A blank disc every time.
  std::error_code ec;
  fs::remove(image, ec);
  fs::remove(image + ".state", ec);
  ::sync();
  std::string configError;
  // Extra drive keys for experiments, e.g. MBURN_BENCH_DRIVE_KEYS=sync=1.
  std::string config = image + ":dvd+r";
  if (const char* keys = std::getenv("MBURN_BENCH_DRIVE_KEYS"); keys && *keys)
    config += std::string(",") + keys;
  if (!VRecConfigure(config, &configError)) {
    error = configError;
    return t;
  }
  BindASPIEntries(&VRecGetASPI32SupportInfo, &VRecSendASPI32Command);
  {
    VEZEZadira c;
    c.HostAdapterInquiry(0);
    c.ScanDevices();
    if (c.DeviceList.empty()) {
      error = "no virtual drive";
      return t;
    }
    c.SelectDevice(c.DeviceList[0]);
    if (!c.AddFolder("\\", folder, "*.*", faAnyFile, true, false, false) ||
        !c.PrepareImage(false, nullptr)) {
      error = "cannot prepare the image";
      return t;
    }
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    c.OnWriteDone = [&](TObject*, const std::string& e) {
      std::lock_guard g(lock);
      error = e;
      finished = true;
      done.notify_all();
    };
    double writing = 0;
    // The cat output is deleted as the write loop starts, not before the
    // recording's opening waits: what is freed then is what gets written.
    c.OnDebugMessage = [&](TObject*, const std::string& m, uint8_t) {
      if (m.rfind(">>> STARTING WRITE PROCESS", 0) != 0) return;
      writing = Now();
      if (!gRested) RemoveOutput(other);
    };
    if (gRested) {
      RemoveOutput(other);
      Rest();
    }
    ::sync();
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const double start = Now();
    c.OnFinalizingTrack = [&](TObject*) {
      const double now = Now();
      t.Data = now - start;
      t.Write = writing > 0 ? now - writing : 0;
    };
    if (c.StartRecording()) {
      std::unique_lock g(lock);
      done.wait(g, [&] { return finished; });
    }
    c.StopRecording();  // the thread has ended once this returns
    t.Wall = Now() - start;
    ::getrusage(RUSAGE_SELF, &after);
    t.Cpu = CpuSeconds(after) - CpuSeconds(before);
    t.Ok = error.empty();
    bytes = c.BytesWritten;
  }
  ResetASPILayer();
  VRecShutdown();
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 6 ? argv[5] : "fresh";
  if (argc < 4 || argc > 6 || (mode != "fresh" && mode != "rested")) {
    std::fprintf(stderr, "usage: %s SOURCE_DIR IMAGE CAT_OUTPUT [ROUNDS [fresh|rested]]\n",
                 argv[0]);
    return 2;
  }
  gRested = mode == "rested";
  const std::string folder = argv[1], image = argv[2], catOutput = argv[3];
  const int rounds = argc >= 5 ? std::max(1, std::atoi(argv[4])) : 2;
  std::vector<std::string> files;
  uint64_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) {
      files.push_back(e.path().string());
      total += e.file_size();
    }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no files in %s\n", folder.c_str());
    return 2;
  }
  const double gib = static_cast<double>(total) / (1024.0 * 1024 * 1024);

  // The first cat only brings the sources into memory and leaves an output
  // for the first recording to free.
  const TTimed warm = Cat(files, catOutput, image);
  bool ok = warm.Ok;
  TTimed cat, rec;
  cat.Wall = rec.Wall = 1e9;
  int64_t bytes = 0;
  std::string error;
  std::printf("round  cat s   recording s  (to last block, write loop)\n");
  for (int round = 1; round <= rounds && ok; ++round) {
    const TTimed r = Record(folder, image, catOutput, bytes, error);
    const TTimed c = Cat(files, catOutput, image);
    ok = r.Ok && c.Ok;
    std::printf("%5d  %5.2f   %6.2f       (%.2f, %.2f)\n", round, c.Wall, r.Wall, r.Data, r.Write);
    if (c.Wall < cat.Wall) cat = c;
    if (r.Wall < rec.Wall) rec = r;
  }
  ::sync();

  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  std::printf("files:            %zu, %.3f GiB; outputs deleted %s\n", files.size(), gib,
              gRested ? "5 s before each run" : "just before each writes");
  std::printf("cat (best):       %.2f s, %.2f CPU s/GiB\n", cat.Wall, cat.Cpu / gib);
  std::printf("recording (best): %.2f s in all, %.2f s to the last block, write loop %.2f s; "
              "%.2f CPU s/GiB, %lld bytes written%s%s\n",
              rec.Wall, rec.Data, rec.Write, rec.Cpu / gib, static_cast<long long>(bytes),
              ok ? "" : ", FAILED: ", error.c_str());
  std::printf("peak memory:      %.1f MiB (resident, the whole process)\n",
              static_cast<double>(self.ru_maxrss) / 1024.0);
  std::printf("recording / cat:  %.3f in all, %.3f write loop alone (target <= 1.10)\n",
              rec.Wall / cat.Wall, rec.Write / cat.Wall);
  return ok ? 0 : 1;
}
