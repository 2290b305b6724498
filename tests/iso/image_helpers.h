// Helpers for tests that build images: a temporary folder with files of known
// content, tree records made without the file system, the image assembled as
// the recorder receives it (metadata, then every file in FileTable order padded
// to whole sectors), and running the independent readers.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "iso/iso.h"

namespace isotest {

namespace fs = std::filesystem;

// A temporary folder, removed with everything in it.
class TTempDir {
public:
  explicit TTempDir(const char* Prefix = "isolayout") {
    std::string tmpl = (fs::temp_directory_path() / (std::string(Prefix) + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const fs::path& Path() const { return path_; }
  fs::path operator/(const std::string& Rel) const { return path_ / fs::path(Rel); }

private:
  fs::path path_;
};

// Content of a test file: a pattern that differs by file and by position, so
// a file swapped, shifted or cut shows up in a comparison.
inline std::string Pattern(size_t Size, uint32_t Seed) {
  std::string out(Size, '\0');
  uint32_t x = Seed * 2654435761u + 12345u;
  for (size_t i = 0; i < Size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<char>(x >> 16);
  }
  return out;
}

inline void WriteFile(const fs::path& Path, const std::string& Content) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path, std::ios::binary | std::ios::trunc) << Content;
}

inline std::string ReadFile(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A clock whose sleeps pass at once, for the waits of the disc queries; the
// waits for a request's completion stay real.
class TInstantClock : public TClock {
public:
  uint64_t NowMs() override { return now_; }
  void Sleep(uint32_t Ms) override { now_ += Ms; }
  bool WaitEvent(int Fd, uint32_t Ms) override { return SystemClock().WaitEvent(Fd, Ms); }

private:
  uint64_t now_ = 0;
};

// Installs a clock for the lifetime of the object.
class TClockScope {
public:
  explicit TClockScope(TClock* C) { SetClock(C); }
  ~TClockScope() { SetClock(nullptr); }
  TClockScope(const TClockScope&) = delete;
  TClockScope& operator=(const TClockScope&) = delete;
};

// Tree records without the file system: a found-file record for a folder or a file.
inline TSearchRec Found(const std::string& Name, int64_t Size = 0, int32_t Attr = faArchive) {
  TSearchRec r;
  r.Name = Name;
  r.Size = Size;
  r.Attr = Attr;
  r.Time = DateTimeToFileDate(EncodeDateTime({2004, 5, 6, 7, 8, 10, 0}));
  return r;
}

inline TDEntry* AddDir(VEZEZadira& C, TDEntry* Parent, const std::string& Name,
                       int32_t Attr = faDirectory) {
  return C.AddDirectory(Parent, Found(Name, 0, Attr | faDirectory), Name, UpperCase(Name));
}

// A file entry with no source behind it (enough for layout and metadata).
inline bool AddFileEntry(VEZEZadira& C, TDEntry* Dir, const std::string& Name, int64_t Size,
                         int32_t Attr = faArchive) {
  return C.AddFile(Dir, Found(Name, Size, Attr), "/nonexistent/" + Name, 0);
}

// The metadata of the component's prepared plan (empty before the first).
inline const TMemoryStream& MetadataOf(const VEZEZadira& C) {
  static const TMemoryStream kNone;
  return C.Plan ? C.Plan->MetadataStream : kNone;
}

// The image as the recorder receives it from a preparation that starts at
// sector 0, put together here without the cache: the plan's metadata, then
// every source (or its byte range) at its sector, each padded to whole
// sectors with zeros.
// Returns false when a source cannot be read.
inline bool AssembleImage(const VEZEZadira& C, const fs::path& Out) {
  if (!C.Plan) return false;
  const TImagePlan& plan = *C.Plan;
  std::string image(static_cast<size_t>(plan.TrackBytes()), '\0');
  plan.MetadataStream.Read(0, std::span(reinterpret_cast<uint8_t*>(image.data()), image.size()));
  for (const TPlanSource& source : plan.Sources) {
    std::string data = ReadFile(source.Path);
    if (source.Part) {  // Size bytes from Offset on
      if (source.Offset + source.Size > static_cast<int64_t>(data.size())) return false;
      data = data.substr(static_cast<size_t>(source.Offset), static_cast<size_t>(source.Size));
    }
    if (static_cast<int64_t>(data.size()) != source.Size) return false;
    const auto at = static_cast<size_t>(source.FirstSector * 2048);
    if (at + data.size() > image.size()) return false;
    std::copy(data.begin(), data.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
  }
  const auto tail = static_cast<size_t>(plan.TailSector * 2048);
  if (plan.TailStream.Size() > 0 && tail + static_cast<size_t>(plan.TailStream.Size()) <= image.size())
    plan.TailStream.Read(0, std::span(reinterpret_cast<uint8_t*>(image.data()) + tail, image.size() - tail));
  std::ofstream out(Out, std::ios::binary | std::ios::trunc);
  out.write(image.data(), static_cast<std::streamsize>(image.size()));
  return static_cast<bool>(out);
}

struct TRunResult {
  int Status = -1;     // exit status, -1 when it did not exit normally
  std::string Output;  // stdout and stderr together
};

inline std::string Quote(const std::string& Text) {
  std::string out = "'";
  for (char c : Text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline TRunResult RunCommand(const std::string& Command) {
  TRunResult r;
  FILE* p = ::popen((Command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = ::fread(buf, 1, sizeof buf, p)) > 0) r.Output.append(buf, n);
  const int st = ::pclose(p);
  r.Status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

inline bool HaveTool(const std::string& Name) {
  return RunCommand("command -v " + Name + " >/dev/null").Status == 0;
}

// pycdlib's reading of the image's Joliet tree, extracted under Out (the
// version ";1" dropped from the names).
inline TRunResult PycdlibExtractJoliet(const fs::path& Image, const fs::path& Out) {
  return RunCommand(R"(/usr/bin/python3 -c '
import os, pycdlib, sys
iso = pycdlib.PyCdlib(); iso.open(sys.argv[1])
for top, dirs, files in iso.walk(joliet_path="/"):
  at = sys.argv[2] + top.rstrip("/"); os.makedirs(at, exist_ok=True)
  for f in files:
    with open(at + "/" + f.removesuffix(";1"), "wb") as o: iso.get_file_from_iso_fp(o, joliet_path=top.rstrip("/") + "/" + f)
' )" + Quote(Image.string()) + " " + Quote(Out.string()));
}

// Every regular file and folder under Root by relative path (folders end in
// "/"), with the content of each file.
inline std::map<std::string, std::string> Snapshot(const fs::path& Root) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(Root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = fs::relative(it->path(), Root).generic_string();
    if (it->is_directory())
      out[rel + "/"] = "";
    else if (it->is_regular_file())
      out[rel] = ReadFile(it->path());
  }
  return out;
}

// Little readers of what the generators wrote.
inline uint32_t LE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t LE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint16_t BE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The whole contents of a metadata stream in one piece. The copy is kept until
// a stream with other contents is asked for, so that pointers into it stay
// valid for as long as the stream itself does not change.
inline const std::vector<uint8_t>& MetaBytes(const TMemoryStream& S) {
  static std::vector<uint8_t> copy;
  std::vector<uint8_t> now(static_cast<size_t>(S.Size()));
  S.Read(0, now);
  if (now != copy) copy = std::move(now);
  return copy;
}

// The bytes of image sector Lba (an absolute address) within the plan's metadata.
inline const uint8_t* MetaSector(const VEZEZadira& C, uint32_t Lba) {
  return MetaBytes(MetadataOf(C)).data() + (static_cast<int64_t>(Lba) - C.StartAddress) * 2048;
}

// The directory records of one extent, in order, as (offset in extent, bytes).
struct TRecord {
  size_t Offset = 0;
  std::vector<uint8_t> Bytes;
  uint32_t Extent() const { return LE32(&Bytes[2]); }
  uint32_t DataLength() const { return LE32(&Bytes[10]); }
  uint8_t Flags() const { return Bytes[25]; }
  std::string Name() const { return std::string(Bytes.begin() + 33, Bytes.begin() + 33 + Bytes[32]); }
};

inline std::vector<TRecord> ParseDirectory(const uint8_t* Extent, size_t Size) {
  std::vector<TRecord> out;
  for (size_t sector = 0; sector < Size; sector += 2048) {
    size_t off = 0;
    while (off < 2048 && Extent[sector + off] != 0) {
      const size_t len = Extent[sector + off];
      if (off + len > 2048) break;  // a record crossing the sector: the caller's checks fail
      out.push_back({sector + off, std::vector<uint8_t>(Extent + sector + off, Extent + sector + off + len)});
      off += len;
    }
  }
  return out;
}

}  // namespace isotest
