// The GNU ddrescue mapfile of a read: one status per sector, read from and
// written to the text ddrescue and ddrescuelog understand, replaced whole
// (written beside it, synced, renamed over it) each time it is saved.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "record/record.h"

namespace {

constexpr int64_t kSector = 2048;

std::string Hex(int64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08" PRIX64, static_cast<uint64_t>(value));
  return text;
}

bool ParseNumber(const std::string& text, int64_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(text.c_str(), &end, 0);  // 0x..., decimal or octal, as ddrescue takes them
  if (errno != 0 || end == text.c_str() || *end != '\0' || n < 0) return false;
  value = n;
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void TRescueMap::Reset(int64_t Sectors) {
  state_.assign(static_cast<size_t>(std::max<int64_t>(Sectors, 0)), kNonTried);
  Position = 0;
  CurrentStatus = kNonTried;
  Pass = 1;
}

void TRescueMap::Set(int64_t First, int64_t Count, char Status) {
  const int64_t end = std::min(First + Count, Sectors());
  for (int64_t s = std::max<int64_t>(First, 0); s < end; ++s) state_[static_cast<size_t>(s)] = Status;
}

int64_t TRescueMap::Count(char Status, int64_t First, int64_t End) const {
  First = std::clamp<int64_t>(First, 0, Sectors());
  End = std::clamp<int64_t>(End, First, Sectors());
  return std::count(state_.begin() + First, state_.begin() + End, Status);
}

std::vector<TRescueMap::TRun> TRescueMap::Runs() const {
  std::vector<TRun> runs;
  for (int64_t s = 0; s < Sectors(); ++s) {
    const char status = At(s);
    if (!runs.empty() && runs.back().Status == status) ++runs.back().Count;
    else runs.push_back({s, 1, status});
  }
  return runs;
}

std::string TRescueMap::Text(const std::string& Comment) const {
  std::string text = "# " + Comment + "\n";
  text += Hex(Position * kSector) + "     " + CurrentStatus + "               " + std::to_string(Pass) + "\n";
  for (const TRun& run : Runs())
    text += Hex(run.First * kSector) + "  " + Hex(run.Count * kSector) + "  " + run.Status + "\n";
  return text;
}

bool TRescueMap::Load(const std::string& Path, bool& Exists, std::string& Error) {
  Reset(0);
  Exists = ::access(Path.c_str(), F_OK) == 0 || errno != ENOENT;
  if (!Exists) return false;
  std::ifstream in(Path);
  if (!in) {
    Error = Path + ": " + std::strerror(errno);
    return false;
  }
  const auto bad = [&](int line, const std::string& why) {
    Error = Path + ": line " + std::to_string(line) + ": " + why;
    Reset(0);
    return false;
  };
  std::vector<char> state;
  bool statusLine = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line[0] == '#' || line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::istringstream fields(line);
    std::string a, b, c;
    fields >> a >> b >> c;
    if (!statusLine) {  // current position, current status, [pass]
      int64_t pos = 0;
      if (!ParseNumber(a, pos) || b.size() != 1) return bad(number, "not a current-position line");
      Position = pos / kSector;
      CurrentStatus = b[0];
      if (int64_t pass = 0; ParseNumber(c, pass) && pass > 0 && pass < 1000) Pass = static_cast<int>(pass);
      statusLine = true;
      continue;
    }
    int64_t pos = 0, size = 0;
    if (!ParseNumber(a, pos) || !ParseNumber(b, size) || c.size() != 1 ||
        std::string("?*/-+").find(c[0]) == std::string::npos)
      return bad(number, "not a \"pos size status\" line");
    if (pos % kSector != 0 || size % kSector != 0 || size == 0)
      return bad(number, "not whole 2048-byte sectors");
    if (pos / kSector != static_cast<int64_t>(state.size()))
      return bad(number, "the blocks do not follow each other from 0");
    if (size / kSector > (int64_t{1} << 32)) return bad(number, "a block larger than any disc");
    // ddrescue's trimming and scraping states are areas not read yet.
    const char status = c[0] == '+' || c[0] == '-' ? c[0] : kNonTried;
    state.insert(state.end(), static_cast<size_t>(size / kSector), status);
    if (state.size() > (size_t{1} << 32)) return bad(number, "more sectors than any disc");
  }
  if (!statusLine || state.empty()) {
    Error = Path + ": no block in the mapfile";
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool TRescueMap::Save(const std::string& Path, const std::string& Comment, std::string& Error) const {
  const std::string temp = Path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0 && WriteAll(fd, Text(Comment)) && ::fsync(fd) == 0;
  const int why = errno;
  if (fd >= 0 && ::close(fd) != 0) written = false;
  if (!written || std::rename(temp.c_str(), Path.c_str()) != 0) {
    Error = std::string(kMapWriteFailedText) + " [" + Path + ": " + std::strerror(written ? errno : why) + "]";
    std::remove(temp.c_str());
    return false;
  }
  // The rename lasts once its folder is on the disk.
  const size_t slash = Path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : Path.substr(0, slash);
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}
