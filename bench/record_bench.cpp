// Recording throughput against `cat`: the files of a folder are recorded onto
// a virtual DVD+R (bound in-process) whose image lies on the same disk, and,
// in the same run, `cat` copies the same files into one file. Both write the
// same bytes once; the recording should take at most 1.10 x the cat time.
//
//   record_bench SOURCE_DIR IMAGE CAT_OUTPUT
//
// Prints both times, the recording's CPU seconds per GiB and the process's
// peak memory. The image and the cat output are left for the caller to remove.
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
  double Data = 0;  // recording: until the last block was handed to the recorder
  double Cpu = 0;
  bool Ok = false;
};

// `cat FILES > output`, timed, with the child's CPU time.
TTimed Cat(const std::vector<std::string>& files, const std::string& output) {
  TTimed t;
  ::sync();  // start from a quiet disk
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
TTimed Record(const std::string& folder, const std::string& image, int64_t& bytes,
              std::string& error) {
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
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const double start = Now();
    c.OnFinalizingTrack = [&](TObject*) { t.Data = Now() - start; };
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
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s SOURCE_DIR IMAGE CAT_OUTPUT\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1], image = argv[2], catOutput = argv[3];
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

  // cat before and after the recording: the better of the two is the reference.
  const TTimed cat1 = Cat(files, catOutput);
  int64_t bytes = 0;
  std::string error;
  const TTimed rec = Record(folder, image, bytes, error);
  const TTimed cat2 = Cat(files, catOutput);
  ::sync();

  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  const double catBest = std::min(cat1.Wall, cat2.Wall);
  std::printf("files:            %zu, %.3f GiB\n", files.size(), gib);
  std::printf("cat:              %.2f s, then %.2f s (%.2f CPU s/GiB)\n", cat1.Wall, cat2.Wall,
              std::min(cat1.Cpu, cat2.Cpu) / gib);
  std::printf("recording:        %.2f s in all, %.2f s to the last block; %.2f CPU s/GiB, "
              "%lld bytes written%s%s\n",
              rec.Wall, rec.Data, rec.Cpu / gib, static_cast<long long>(bytes),
              rec.Ok ? "" : ", FAILED: ", error.c_str());
  std::printf("peak memory:      %.1f MiB (resident, the whole process)\n",
              static_cast<double>(self.ru_maxrss) / 1024.0);
  std::printf("recording / cat:  %.3f in all, %.3f to the last block (target <= 1.10)\n",
              rec.Wall / catBest, rec.Data / catBest);
  return rec.Ok && cat1.Ok && cat2.Ok ? 0 : 1;
}
