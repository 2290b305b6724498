// The state file beside a disc image: medium, sessions and tracks as text,
// replaced atomically (temporary file, then rename), so a process killed in the
// middle of a recording leaves the disc as a real one would be left: with an open
// track, never with a half-written state file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "vrecorder/vrec_internal.h"

namespace vrec {

namespace {
constexpr const char* kMagic = "mburn-vrecorder-state 1";

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}
}  // namespace

std::string StatePath(const std::string& image) { return image + ".state"; }

bool LoadState(const std::string& image, TDisc* disc, std::string* error) {
  const std::string path = StatePath(image);
  std::ifstream in(path);
  if (!in) return Fail(error, "cannot open " + path + ": " + std::strerror(errno));
  std::string line;
  if (!std::getline(in, line) || line != kMagic)
    return Fail(error, path + ": not a virtual disc state file");
  TDisc d;
  d.Tracks.clear();
  bool haveMedium = false;
  int lineNo = 1;
  while (std::getline(in, line)) {
    ++lineNo;
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string key;
    fields >> key;
    bool ok = true;
    if (key == "medium") {
      std::string name;
      fields >> name;
      auto m = MediumByName(name);
      ok = m.has_value();
      if (ok) d.Medium = *m;
      haveMedium = ok;
    } else if (key == "complete") {
      int v = -1;
      fields >> v;
      ok = v == 0 || v == 1;
      d.Complete = v == 1;
    } else if (key == "closed-sessions") {
      ok = bool(fields >> d.ClosedSessions);
    } else if (key == "high-water") {
      ok = bool(fields >> d.HighWater);
    } else if (key == "formatted") {
      int v = -1;
      fields >> v;
      ok = v == 0 || v == 1;
      d.Formatted = v == 1;
    } else if (key == "capacity") {
      ok = bool(fields >> d.SmallerCapacity) && d.SmallerCapacity > 0;
    } else if (key == "timestamp") {
      fields >> d.Timestamp;
    } else if (key == "track") {
      TTrack t;
      int closed = -1, damaged = -1;
      ok = bool(fields >> t.Number >> t.Session >> t.Start >> t.Written >> t.Reserved >> closed >>
                damaged) &&
           (closed == 0 || closed == 1) && (damaged == 0 || damaged == 1);
      t.Closed = closed == 1;
      t.Damaged = damaged == 1;
      if (ok && !d.Tracks.empty()) {
        const TTrack& prev = d.Tracks.back();
        ok = t.Number == prev.Number + 1 && t.Session >= prev.Session && t.Start >= prev.End();
      }
      if (ok) d.Tracks.push_back(t);
    } else {
      ok = false;
    }
    if (!ok) return Fail(error, path + ": line " + std::to_string(lineNo) + " is invalid");
  }
  if (!haveMedium) return Fail(error, path + ": no medium named");
  const uint32_t cap = d.Capacity();
  for (const auto& t : d.Tracks)
    if (uint64_t(t.Start) + std::max(t.Written, t.Reserved) > cap || (t.Reserved && t.Written > t.Reserved))
      return Fail(error, path + ": track " + std::to_string(t.Number) + " lies outside the disc");
  if (d.Medium != TMedium::None && d.Tracks.empty())
    return Fail(error, path + ": no track");
  if (d.Sequential() && !d.Complete && d.Tracks.back().Closed)
    return Fail(error, path + ": an open disc without an open track");
  if (d.HighWater > cap) return Fail(error, path + ": high-water mark outside the disc");
  *disc = std::move(d);
  return true;
}

bool SaveState(const std::string& image, const TDisc& disc, std::string* error) {
  std::ostringstream out;
  out << kMagic << "\n";
  out << "medium " << disc.Info().Name << "\n";
  out << "complete " << (disc.Complete ? 1 : 0) << "\n";
  out << "closed-sessions " << disc.ClosedSessions << "\n";
  out << "high-water " << disc.HighWater << "\n";
  if (!disc.Timestamp.empty()) out << "timestamp " << disc.Timestamp << "\n";
  if (disc.SmallerCapacity > 0) out << "capacity " << disc.SmallerCapacity << "\n";
  if (disc.Medium == TMedium::BdRe) out << "formatted " << (disc.Formatted ? 1 : 0) << "\n";
  for (const auto& t : disc.Tracks)
    out << "track " << t.Number << " " << t.Session << " " << t.Start << " " << t.Written << " "
        << t.Reserved << " " << (t.Closed ? 1 : 0) << " " << (t.Damaged ? 1 : 0) << "\n";
  const std::string path = StatePath(image);
  const std::string temp = path + ".tmp" + std::to_string(::getpid());
  // On the disk before it takes the old one's place: a crash then leaves the
  // old state or the new one, never an empty file.
  const std::string text = out.str();
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0;
  for (size_t done = 0; written && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) done += static_cast<size_t>(n);
  }
  written = written && ::fsync(fd) == 0;
  const int writeErrno = errno;
  if (fd >= 0 && ::close(fd) != 0 && written) written = false;
  if (!written) {
    std::remove(temp.c_str());
    return Fail(error, "cannot write " + temp + ": " + std::strerror(writeErrno));
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(temp.c_str());
    return Fail(error, "cannot replace " + path + ": " + reason);
  }
  // The rename itself lasts once its folder is on the disk.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    const bool synced = ::fsync(dir) == 0;
    const int reason = errno;
    ::close(dir);
    if (!synced) return Fail(error, "cannot write " + folder + ": " + std::strerror(reason));
  }
  return true;
}

}  // namespace vrec
