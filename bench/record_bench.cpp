// Recording and image throughput against `cat`: the files of a folder are
// recorded onto a virtual DVD+R (bound in-process) whose image lies on the
// same disk (with the stream's digest and without, and with the disc image
// written through the page cache: direct=0; and with the SHA256SUMS
// manifest, whose write loop should take at most 1.10 x the one without);
// `mburn image` writes them into an image file (with its digest and
// without); `xorriso -as mkisofs -J` makes an image of the same files; and
// `cat` copies them into one file. All write the same bytes once; the
// recording's write loop should take at most 1.10 x the cat time, the image
// at most 1.05 x.
//
//   record_bench SOURCE_DIR IMAGE CAT_OUTPUT [ROUNDS [fresh|rested]]
//
// The image cases write CAT_OUTPUT.iso. They take turns, ROUNDS times each
// (default 2), after one cat that is not counted. Each deletes the others'
// outputs, as large as its own, and so writes into memory the system has freed. On a virtual machine that hands free memory
// back to its host, that memory costs several times more to fill once it has
// lain free for a few seconds, so the moment of the deletion decides much:
//   fresh   (default) deleted just before writing (for the recording: as its
//           write loop starts), as `cat > file` does with its own output;
//   rested  deleted, then 5 s of rest, before each run starts.
// Prints the best and the median time of each, the recording's write loop
// (from the start of writing to the last block), CPU seconds per GiB and the
// peak memory of each (the image cases run in a child process of their own).
// The outputs are left for the caller to remove.
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
std::vector<std::string> gOutputs;  // every case's output

void RemoveOutput(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
  fs::remove(path + ".state", ec);
}

// Deletes the outputs of the other cases.
void RemoveOthers(const std::string& own) {
  for (const std::string& o : gOutputs)
    if (o != own) RemoveOutput(o);
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
  double PeakMiB = 0;  // the child's peak resident memory
  bool Ok = false;
};

// Runs Body in a child process, timed, with the child's CPU time and peak memory.
template <typename F>
TTimed InChild(F&& Body) {
  TTimed t;
  std::fflush(stdout);  // or the child would print it again
  const double start = Now();
  const pid_t pid = ::fork();
  if (pid == 0) _exit(Body());
  int status = 0;
  rusage usage{};
  if (pid > 0 && ::wait4(pid, &status, 0, &usage) == pid) {
    t.Wall = Now() - start;
    t.Cpu = CpuSeconds(usage);
    t.PeakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    t.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return t;
}

// `cat FILES > output`, timed, with the child's CPU time.
TTimed Cat(const std::vector<std::string>& files, const std::string& output) {
  ::sync();  // start from a quiet disk
  RemoveOthers(output);
  if (gRested) Rest();
  return InChild([&] {
    std::FILE* out = std::freopen(output.c_str(), "w", stdout);
    if (!out) return 127;
    std::vector<char*> argv{const_cast<char*>("cat")};
    for (const auto& f : files) argv.push_back(const_cast<char*>(f.c_str()));
    argv.push_back(nullptr);
    ::execvp("cat", argv.data());
    return 127;
  });
}

// `xorriso -as mkisofs -J -o output folder`, quiet.
TTimed Xorriso(const std::string& folder, const std::string& output) {
  ::sync();
  RemoveOthers(output);
  RemoveOutput(output);
  if (gRested) Rest();
  return InChild([&] {
    if (!std::freopen("/dev/null", "w", stderr)) return 127;
    ::execlp("xorriso", "xorriso", "-as", "mkisofs", "-quiet", "-J", "-o", output.c_str(),
             folder.c_str(), static_cast<char*>(nullptr));
    return 127;
  });
}

// `mburn image folder -o output`, in process (in a child), with the digest or without.
TTimed Image(const std::string& folder, const std::string& output, bool digest) {
  ::sync();
  RemoveOthers(output);
  if (gRested) Rest();
  return InChild([&] {
    VEZEZadira c;
    c.ReplaceFile = true;
    c.JolietFileSystem = true;
    std::string error;
    if (!c.AddFolder("\\", folder, "*.*", faAnyFile, true, false, false) ||
        !c.PrepareImage(true, nullptr) || !WriteImageFile(c, output, error, digest)) {
      std::fprintf(stderr, "image: %s\n", error.c_str());
      return 1;
    }
    return 0;
  });
}

// Records the folder onto a fresh virtual DVD+R at image, taking the stream's
// digest or not, writing the image past the page cache (the default) or through it.
TTimed Record(const std::string& folder, const std::string& image, bool digest, bool cached,
              int64_t& bytes, std::string& error, bool manifest = false) {
  TTimed t;
  // A blank disc every time.
  std::error_code ec;
  fs::remove(image, ec);
  fs::remove(image + ".state", ec);
  ::sync();
  std::string configError;
  // Extra drive keys for experiments, e.g. MBURN_BENCH_DRIVE_KEYS=sync=1.
  std::string config = image + (cached ? ":dvd+r,direct=0" : ":dvd+r");
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
    c.TrackDigest = digest;
    c.Manifest = manifest;
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
      if (!gRested) RemoveOthers(image);
    };
    if (gRested) {
      RemoveOthers(image);
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

// Best and median of one case over the rounds.
struct TSeries {
  std::vector<TTimed> Runs;
  bool Ok = true;
  void Add(const TTimed& t) {
    Runs.push_back(t);
    Ok = Ok && t.Ok;
  }
  const TTimed& Best() const {
    return *std::min_element(Runs.begin(), Runs.end(),
                             [](const TTimed& a, const TTimed& b) { return a.Wall < b.Wall; });
  }
  double Median(double TTimed::*field) const {
    std::vector<double> v;
    for (const TTimed& t : Runs) v.push_back(t.*field);
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
};

int main(int argc, char** argv) {
  const std::string mode = argc >= 6 ? argv[5] : "fresh";
  if (argc < 4 || argc > 6 || (mode != "fresh" && mode != "rested")) {
    std::fprintf(stderr, "usage: %s SOURCE_DIR IMAGE CAT_OUTPUT [ROUNDS [fresh|rested]]\n",
                 argv[0]);
    return 2;
  }
  gRested = mode == "rested";
  const std::string folder = argv[1], image = argv[2], catOutput = argv[3];
  const std::string isoOutput = catOutput + ".iso";
  gOutputs = {image, catOutput, isoOutput};
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
  const bool haveXorriso = std::system("xorriso -version >/dev/null 2>&1") == 0;

  // The first cat only brings the sources into memory and leaves an output
  // for the first recording to free.
  bool ok = Cat(files, catOutput).Ok;
  TSeries cat, rec, recBare, recCached, recManifest, img, imgBare, xorriso;
  int64_t bytes = 0;
  std::string error;
  std::printf("round  cat s   recording s (to last block, write loop)  w/o digest (loop)  "
              "direct=0 (loop) image s  image w/o digest s  xorriso s\n");
  for (int round = 1; round <= rounds && ok; ++round) {
    rec.Add(Record(folder, image, true, false, bytes, error));
    // Right after the recording it is compared with, from the same state of the disk.
    if (rec.Ok) recManifest.Add(Record(folder, image, true, false, bytes, error, true));
    if (recManifest.Ok) recBare.Add(Record(folder, image, false, false, bytes, error));
    if (recBare.Ok) recCached.Add(Record(folder, image, true, true, bytes, error));
    cat.Add(Cat(files, catOutput));
    img.Add(Image(folder, isoOutput, true));
    imgBare.Add(Image(folder, isoOutput, false));
    if (haveXorriso) xorriso.Add(Xorriso(folder, isoOutput));
    ok = rec.Ok && recBare.Ok && recCached.Ok && recManifest.Ok && cat.Ok && img.Ok && imgBare.Ok && xorriso.Ok;
    std::printf("%5d  %5.2f   %6.2f (%.2f, %.2f)                 %6.2f (%.2f)     "
                "%6.2f (%.2f)  %6.2f   %6.2f              %6.2f\n",
                round, cat.Runs.back().Wall, rec.Runs.back().Wall, rec.Runs.back().Data,
                rec.Runs.back().Write, recBare.Runs.back().Wall, recBare.Runs.back().Write,
                recCached.Runs.back().Wall, recCached.Runs.back().Write,
                img.Runs.back().Wall, imgBare.Runs.back().Wall,
                haveXorriso ? xorriso.Runs.back().Wall : 0.0);
  }
  ::sync();
  if (!ok || cat.Runs.empty()) {
    std::printf("FAILED%s%s\n", error.empty() ? "" : ": ", error.c_str());
    return 1;
  }

  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  const double catBest = cat.Best().Wall, catMedian = cat.Median(&TTimed::Wall);
  std::printf("files:            %zu, %.3f GiB; outputs deleted %s\n", files.size(), gib,
              gRested ? "5 s before each run" : "just before each writes");
  std::printf("cat:              best %.2f s, median %.2f s; %.2f CPU s/GiB\n", catBest, catMedian,
              cat.Best().Cpu / gib);
  const TTimed& r = rec.Best();
  std::printf("recording (best): %.2f s in all, %.2f s to the last block, write loop %.2f s "
              "(median %.2f s); %.2f CPU s/GiB, %lld bytes written\n",
              r.Wall, r.Data, r.Write, rec.Median(&TTimed::Write), r.Cpu / gib,
              static_cast<long long>(bytes));
  const TTimed& rb = recBare.Best();
  std::printf("recording, no digest (best): write loop %.2f s (median %.2f s); %.2f CPU s/GiB; "
              "the digest costs the write loop %+.2f s (median %+.2f s), %.2f CPU s/GiB\n",
              rb.Write, recBare.Median(&TTimed::Write), rb.Cpu / gib, r.Write - rb.Write,
              rec.Median(&TTimed::Write) - recBare.Median(&TTimed::Write), (r.Cpu - rb.Cpu) / gib);
  std::printf("peak memory:      %.1f MiB (resident, the recording's process)\n",
              static_cast<double>(self.ru_maxrss) / 1024.0);
  auto imageLine = [&](const char* name, const TSeries& s) {
    if (s.Runs.empty()) return;
    std::printf("%-17s best %.2f s, median %.2f s; %.2f CPU s/GiB; peak %.1f MiB; "
                "/ cat %.3f best, %.3f median\n",
                name, s.Best().Wall, s.Median(&TTimed::Wall), s.Best().Cpu / gib, s.Best().PeakMiB,
                s.Best().Wall / catBest, s.Median(&TTimed::Wall) / catMedian);
  };
  imageLine("image:", img);
  imageLine("image, no digest:", imgBare);
  imageLine("xorriso -J:", xorriso);
  std::printf("recording / cat:  %.3f in all, write loop %.3f best, %.3f median (target <= 1.10); "
              "CPU %.2f x cat's\n",
              r.Wall / catBest, r.Write / catBest, rec.Median(&TTimed::Write) / catMedian,
              r.Cpu / std::max(cat.Best().Cpu, 1e-3));
  std::printf("  no digest:      write loop %.3f best, %.3f median; CPU %.2f x cat's\n",
              rb.Write / catBest, recBare.Median(&TTimed::Write) / catMedian,
              rb.Cpu / std::max(cat.Best().Cpu, 1e-3));
  const TTimed& rc = recCached.Best();
  std::printf("  direct=0:       write loop %.3f best, %.3f median; %.2f CPU s/GiB, %.2f x cat's; "
              "%.2f s in all (the flush included)\n",
              rc.Write / catBest, recCached.Median(&TTimed::Write) / catMedian, rc.Cpu / gib,
              rc.Cpu / std::max(cat.Best().Cpu, 1e-3), rc.Wall);
  const TTimed& rm = recManifest.Best();
  std::printf("  --manifest:     write loop %.2f s best, %.2f s median; / without %.3f best, %.3f median "
              "(target <= 1.10); %.2f CPU s/GiB\n",
              rm.Write, recManifest.Median(&TTimed::Write), rm.Write / r.Write,
              recManifest.Median(&TTimed::Write) / rec.Median(&TTimed::Write), rm.Cpu / gib);
  std::printf("image / cat:      %.3f best (target <= 1.05); / xorriso %.3f\n",
              img.Best().Wall / catBest,
              xorriso.Runs.empty() ? 0.0 : img.Best().Wall / xorriso.Best().Wall);
  return 0;
}
