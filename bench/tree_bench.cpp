// AddFolder plus PrepareImage (image-only) on a tree at the window's full
// capacity: 8,190 folders and 57,345 small files, 65,535 entries in all; or,
// with --million, on 1,000,000 small files in 20,000 folders, in a component
// of the largest capacities. The tree is created once in a folder that later
// runs reuse; its metadata is read once before the timing so that the
// file-system cache is warm.
//
//   tree_bench [--dir PATH] [--repeat N] [--udf] [--rock-ridge] [--million]
//
// Prints the time of each phase (best of N runs), the peak resident memory
// of the whole process and what the tree adds to it per entry.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "iso/iso.h"

namespace fs = std::filesystem;

namespace {

struct TShape {
  int TopFolders, SubFolders;  // top folders, and subfolders in each
  int FilesPerFolder, FilesInRoot;
};
// 90 + 90 x 90 = 8,190 folders; 8,190 x 7 + 15 = 57,345 files.
constexpr TShape kFullWindow = {90, 90, 7, 15};
// 200 + 200 x 99 = 20,000 folders; 20,000 x 50 = 1,000,000 files.
constexpr TShape kMillion = {200, 99, 50, 0};
TShape gShape = kFullWindow;

// False when the file could not be written whole (a full disk).
bool SmallFile(const fs::path& p, int n) {
  std::ofstream out(p, std::ios::binary);
  out << std::string(static_cast<size_t>(1 + n % 97), 'x');
  out.close();
  return !out.fail();
}

// A marker beside the tree says that an earlier run created all of it.
fs::path Marker(const fs::path& root) { return root.string() + ".complete"; }

// Reads every folder and the metadata of every file once; the count of both.
size_t WarmCache(const fs::path& root) {
  size_t n = 0;
  struct stat st;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    ::stat(it->path().c_str(), &st);
    ++n;
  }
  return n;
}

size_t ShapeEntries(const TShape& k) {
  const size_t folders = static_cast<size_t>(k.TopFolders) * (1 + static_cast<size_t>(k.SubFolders));
  return folders + folders * static_cast<size_t>(k.FilesPerFolder) + static_cast<size_t>(k.FilesInRoot);
}

// The tree of gShape under root: kept from an earlier run when its marker is
// there and every entry still is (something may have cleaned the folder since).
bool CreateTree(const fs::path& root) {
  const TShape& k = gShape;
  if (fs::exists(Marker(root)) && WarmCache(root) == ShapeEntries(k)) return true;
  std::error_code ec;
  fs::remove(Marker(root), ec);
  fs::remove_all(root, ec);
  fs::create_directories(root, ec);
  if (ec) return false;
  int n = 0;
  bool ok = true;
  for (int f = 0; f < k.FilesInRoot; ++f) ok &= SmallFile(root / ("root file " + std::to_string(f) + ".txt"), n++);
  for (int t = 0; t < k.TopFolders; ++t) {
    const fs::path top = root / ("Folder " + std::to_string(t));
    fs::create_directories(top);
    for (int f = 0; f < k.FilesPerFolder; ++f) ok &= SmallFile(top / ("file_" + std::to_string(f) + ".dat"), n++);
    for (int s = 0; s < k.SubFolders; ++s) {
      const fs::path sub = top / ("Sub folder " + std::to_string(s));
      fs::create_directories(sub);
      for (int f = 0; f < k.FilesPerFolder; ++f)
        ok &= SmallFile(sub / ("Document " + std::to_string(f) + ".txt"), n++);
    }
  }
  if (!ok || WarmCache(root) != ShapeEntries(k)) return false;
  std::ofstream(Marker(root)) << "done\n";
  return true;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Processor time of the process (user and system), less disturbed than the
// wall clock on a busy machine.
double CpuSeconds() {
  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = fs::temp_directory_path() / "mburn-tree-bench";
  int repeat = 3;
  bool udf = false, rockRidge = false, million = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dir" && i + 1 < argc)
      dir = argv[++i];
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--udf")
      udf = true;
    else if (a == "--rock-ridge")
      rockRidge = true;
    else if (a == "--million")
      million = true;
    else {
      std::fprintf(stderr, "usage: %s [--dir PATH] [--repeat N] [--udf] [--rock-ridge] [--million]\n", argv[0]);
      return 2;
    }
  }
  if (million) {
    gShape = kMillion;
    if (dir == fs::temp_directory_path() / "mburn-tree-bench") dir += "-million";
  }
  if (!CreateTree(dir)) {
    std::fprintf(stderr, "cannot create the tree in %s\n", dir.c_str());
    return 1;
  }
  const size_t items = WarmCache(dir);

  double bestAdd = 1e9, bestPrepare = 1e9, bestTotal = 1e9;
  double cpuAdd = 1e9, cpuPrepare = 1e9;
  int32_t dirs = 0, entries = 0;
  int64_t metadata = 0, imageSectors = 0;
  bool ok = true;
  double treeRss = 0;
  struct rusage before {};
  ::getrusage(RUSAGE_SELF, &before);
  for (int r = 0; r < repeat; ++r) {
    VEZEZadira c(million ? kLargestEntries : kMaxFiles, million ? kLargestDirs : kMaxDirs);
    c.UDF = udf;
    c.RockRidge = rockRidge;
    const double c0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    ok = c.AddFolder("\\", dir.string(), "*.*", faAnyFile, true, false, false) && ok;
    const auto t1 = std::chrono::steady_clock::now();
    const double c1 = CpuSeconds();
    if (r == 0) {
      struct rusage ru {};
      ::getrusage(RUSAGE_SELF, &ru);
      treeRss = ru.ru_maxrss / 1024.0;
    }
    ok = c.PrepareImage(true, nullptr) && ok;
    const auto t2 = std::chrono::steady_clock::now();
    const double c2 = CpuSeconds();
    cpuAdd = std::min(cpuAdd, c1 - c0);
    cpuPrepare = std::min(cpuPrepare, c2 - c1);
    bestAdd = std::min(bestAdd, Seconds(t1 - t0));
    bestPrepare = std::min(bestPrepare, Seconds(t2 - t1));
    bestTotal = std::min(bestTotal, Seconds(t2 - t0));
    dirs = c.DirectoryCount();
    entries = c.FileCount();
    metadata = c.Plan ? c.Plan->MetadataStream.Size() : 0;
    imageSectors = c.ImageSectors();
  }

  struct rusage ru {};
  ::getrusage(RUSAGE_SELF, &ru);
  std::printf("tree: %s (%zu items on disk)\n", dir.c_str(), items);
  std::printf("directories %d, entries %d, metadata %lld bytes, image %lld sectors%s\n", dirs,
              entries, static_cast<long long>(metadata), static_cast<long long>(imageSectors),
              ok ? "" : "  (AddFolder or PrepareImage reported a failure)");
  std::printf("best of %d: AddFolder %.3f s, PrepareImage %.3f s, together %.3f s\n", repeat,
              bestAdd, bestPrepare, bestTotal);
  std::printf("best of %d, processor time: AddFolder %.3f s, PrepareImage %.3f s, together %.3f s\n",
              repeat, cpuAdd, cpuPrepare, cpuAdd + cpuPrepare);
  std::printf("peak resident memory: %.1f MiB (%.1f MiB after the first AddFolder)\n",
              ru.ru_maxrss / 1024.0, treeRss);
  std::printf("per entry: %.0f bytes at the peak, %.0f bytes after AddFolder\n",
              (ru.ru_maxrss - before.ru_maxrss) * 1024.0 / std::max(1, dirs + entries),
              (treeRss * 1024.0 - before.ru_maxrss) * 1024.0 / std::max(1, dirs + entries));
  return ok ? 0 : 1;
}
