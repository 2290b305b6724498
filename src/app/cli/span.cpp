#include "cli/span.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "app/discset.h"
#include "cli/copy_disc.h"
#include "stream/stream.h"

namespace {

enum : int { kExitOk = 0, kExitFailed = 1, kExitNothing = 2 };

void Note(const std::string& text) { std::cerr << "mburn: " << text << std::endl; }

std::string Mebibytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// The line of disc Disc: a virtual image whose name holds %d is a disc of its own.
TCommandLine DiscLine(const TCommandLine& line, int disc) {
  TCommandLine out = line;
  for (std::string& v : out.Virtual)
    for (size_t at = v.find("%d"); at != std::string::npos; at = v.find("%d", at))
      v.replace(at, 2, std::to_string(disc));
  return out;
}

bool ImagePerDisc(const TCommandLine& line) {
  for (const std::string& v : line.Virtual)
    if (v.find("%d") != std::string::npos) return true;
  return false;
}

}  // namespace

TSetOptions ImageOptionsOf(const TCommandLine& line) {
  TSetOptions o;
  o.Folder = line.Folder;
  o.Mask = line.Mask;
  o.Joliet = !line.NoJoliet;
  o.RockRidge = line.RockRidge;
  o.KeepPermissions = line.KeepPermissions;
  o.UDF = line.UDF;
  o.Manifest = line.Manifest;
  o.VolumeId = line.VolumeId;
  return o;
}

namespace {

// The room of one disc: the medium named, else the blank disc in the drive
// (for a set, the disc it begins with).
bool DiscCapacity(const TCommandLine& line, const TSpanSteps& steps, int64_t& sectors) {
  if (!line.Media.empty()) return StandardCapacity(line.Media, sectors);
  VEZEZadira c(kLargestEntries, kLargestDirs);
  if (!steps.Open(c, DiscLine(line, line.From))) return false;
  if (!c.TestUnitReady(10000)) c.WaitUntilReady(10000, 500);
  const uint16_t kind = c.DiscKind();
  const int status = c.DiscStatus();
  if (kind == DK_UNKNOWN || status < 0) {
    Note("no disc in drive " + line.Drive + " to plan for: insert a blank disc, or name the medium with --media");
    return false;
  }
  if (status != 0 && !IsOverwritable(kind, c.CurrentProfile)) {
    Note("the disc in drive " + line.Drive + " is not blank: a set is planned for blank discs (or name the medium with --media)");
    return false;
  }
  sectors = c.FreeSectors();
  return sectors > 0;
}

// The date a disc shows: SOURCE_DATE_EPOCH when set, else now; UTC.
std::string DiscDate() {
  std::time_t now = 0;
  if (!SourceDateEpoch(now)) now = std::time(nullptr);
  std::tm utc {};
  ::gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

// Where mburn keeps what it needs to go on with a set: its plan, per folder.
std::string StateFile(const std::string& folder) {
  std::string dir;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/')
    dir = state;
  else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/')
    dir = std::string(home) + "/.local/state";
  else
    return {};
  dir += "/mburn";
  char real[PATH_MAX];
  const std::string key = ::realpath(folder.c_str(), real) != nullptr ? real : folder;
  TSha256Stream sha;
  sha.Update(std::span(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
  return dir + "/set-" + Sha256Hex(sha.Final()).substr(0, 16);
}

// What a set's first run leaves for the runs that go on with it.
struct TSetState {
  std::string Folder, Plan;  // the digests
  int64_t Capacity = 0;      // the sectors of a disc it was planned for
};

void KeepState(const std::string& file, const TDiscSet& set) {
  if (file.empty()) return;
  // Every folder on the way, as mkdir -p makes them.
  for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
    ::mkdir(file.substr(0, slash).c_str(), 0700);
  std::ofstream out(file, std::ios::trunc);
  out << "folder " << set.FolderDigest << "\nplan " << set.PlanDigest << "\ncapacity "
      << set.Options.Capacity << "\n";
  if (!out) Note("what the set's next run needs cannot be kept in " + file + ": --from cannot tell a changed folder");
}

bool ReadState(const std::string& file, TSetState& state) {
  std::ifstream in(file);
  std::string folder, plan, capacity;
  return !file.empty() && in >> folder >> state.Folder >> plan >> state.Plan >> capacity >> state.Capacity &&
         folder == "folder" && plan == "plan" && capacity == "capacity" && state.Capacity > 0;
}

// With --from: is this the set that the earlier run began? False after saying why not.
bool SameSet(const TSetState* state, const TDiscSet& set, const TCommandLine& line) {
  if (state == nullptr) {
    Note("no record of the set's earlier discs: whether " + line.Folder +
         " has changed since cannot be told (plan " + set.PlanDigest + ")");
    return true;
  }
  if (state->Folder != set.FolderDigest) {
    Note(line.Folder + " has changed since the set's first discs were recorded (names, sizes or "
         "times of its files): the plan is no longer theirs. Put the folder back as it was, or "
         "record the set again from disc 1");
    return false;
  }
  if (state->Plan != set.PlanDigest) {
    Note("the medium or the image options are not those the set's first discs were recorded "
         "with: the plan differs. Give the same options, or record the set again from disc 1");
    return false;
  }
  return true;
}

// MBURN-SET.txt of one disc, gone with the recording.
class TSetFileOnDisk {
public:
  explicit TSetFileOnDisk(const std::string& text) {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/mburn-set-XXXXXX";
    const int fd = ::mkstemp(path_.data());
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < text.size();) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (!ok) {
      if (fd >= 0) ::unlink(path_.c_str());
      path_.clear();
    }
  }
  ~TSetFileOnDisk() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TSetFileOnDisk(const TSetFileOnDisk&) = delete;
  TSetFileOnDisk& operator=(const TSetFileOnDisk&) = delete;
  const std::string& Path() const { return path_; }

private:
  std::string path_;
};

// The plan of the set: kExitOk, kExitFailed when the drive could not say
// its disc's room, kExitNothing when the folder cannot be planned.
int Plan(const TCommandLine& line, const TSpanSteps& steps, TDiscSet& set, int64_t capacity = 0) {
  TSetOptions options = ImageOptionsOf(line);
  options.Capacity = capacity;
  if (capacity <= 0 && !DiscCapacity(line, steps, options.Capacity)) return kExitFailed;
  std::string error;
  if (!PlanDiscSet(options, set, error)) {
    Note(error);
    return kExitNothing;
  }
  return kExitOk;
}

std::string GoOnText(const TCommandLine& line, int disc) {
  return "to go on with a blank disc: mburn burn " + line.Folder + " --span --from " +
         std::to_string(disc) + " (and the other options as they were)";
}

}  // namespace

int RunPlan(const TCommandLine& line, const TSpanSteps& steps) {
  TDiscSet set;
  if (const int planned = Plan(line, steps, set); planned != kExitOk) return planned;
  const size_t count = set.Discs.size();
  std::cout << "Discs: " << count << "\n"
            << "Folder: " << line.Folder << ", " << set.Files.size() << " files, "
            << Mebibytes(set.Bytes) << "\n"
            << "Disc: " << set.Options.Capacity << " sectors ("
            << Mebibytes(set.Options.Capacity * kSectorSize) << ")"
            << (line.Media.empty() ? "" : ", " + line.Media) << "\n"
            << "Plan: " << set.PlanDigest << "\n";
  for (size_t d = 0; d < count; ++d) {
    const TSetDisc& disc = set.Discs[d];
    std::cout << "\nDisc " << d + 1 << " of " << count << ": " << disc.Pieces.size() << " files, "
              << disc.Sectors << " sectors\n";
    for (const TSetPiece& p : disc.Pieces) {
      const TSetFile& f = set.Files[p.File];
      if (p.Part == 0)
        std::cout << "  " << f.Path << "\n";
      else
        std::cout << "  " << PartName(f.Path, p.Part) << "  (part " << p.Part << " of "
                  << set.PartsOf[p.File] << ": bytes " << p.Offset << " to " << p.Offset + p.Size - 1
                  << ")\n";
    }
  }
  return kExitOk;
}

int RunSpan(const TCommandLine& line, const TSpanSteps& steps) {
  // Going on, the discs keep the size the set was planned for: a blank disc
  // of another make may offer a few sectors more or less, and each disc's
  // recording checks its own room.
  const std::string stateFile = StateFile(line.Folder);
  TSetState state;
  const bool known = line.From > 1 && ReadState(stateFile, state);
  TDiscSet set;
  if (Plan(line, steps, set, known && line.Media.empty() ? state.Capacity : 0) != kExitOk) return kExitNothing;
  const int count = static_cast<int>(set.Discs.size());
  const bool virtualDrive = !line.Virtual.empty();
  if (line.From > count) {
    Note("the set has " + std::to_string(count) + " disc(s): there is no disc " + std::to_string(line.From));
    return kExitNothing;
  }
  if (virtualDrive && count > 1 && !ImagePerDisc(line)) {
    Note("a set of " + std::to_string(count) + " discs needs an image per disc: put %d in the "
         "image's name (--virtual 'set-%d.img:bd-r')");
    return kExitNothing;
  }
  if (line.From == 1)
    KeepState(stateFile, set);
  else if (!SameSet(known ? &state : nullptr, set, line))
    return kExitNothing;
  std::cout << "Disc set: " << count << " disc(s), plan " << set.PlanDigest << std::endl;
  for (int disc = line.From; disc <= count; ++disc) {
    const std::string which = "disc " + std::to_string(disc) + " of " + std::to_string(count);
    if (steps.StopAsked()) {
      Note("stopped before " + which + "; " + GoOnText(line, disc));
      return kExitFailed;
    }
    if (!virtualDrive && disc > line.From) {
      VEZEZadira c(kLargestEntries, kLargestDirs);
      if (!steps.Open(c, line) ||
          !AwaitBlankDisc(c, "insert " + which + " (a blank one) into drive " + line.Drive, steps.StopAsked)) {
        Note(which + " was not recorded; " + GoOnText(line, disc));
        return kExitFailed;
      }
    }
    const TSetFileOnDisk setFile(SetFileText(set, static_cast<size_t>(disc - 1), DiscDate()));
    if (setFile.Path().empty()) {
      Note(std::string(kSetFileName) + " cannot be written in $TMPDIR (or /tmp): " + std::strerror(errno));
      return disc == line.From ? kExitNothing : kExitFailed;
    }
    TCommandLine discLine = DiscLine(line, disc);
    discLine.Finalize = !line.Open;
    discLine.Eject = line.Eject && disc == count;  // the discs before are ejected as the next is asked for
    std::cout << "Recording " << which << std::endl;
    const int status = steps.Burn(discLine, [&](VEZEZadira& c) {
      std::string error;
      ApplySetOptions(c, set.Options);
      if (FillDisc(c, set, static_cast<size_t>(disc - 1), setFile.Path(), error)) return true;
      Note(error);
      return false;
    });
    if (status != kExitOk) {
      Note(which + " failed" +
           (disc > 1 ? " (discs 1 to " + std::to_string(disc - 1) + " are recorded)" : std::string()) +
           "; " + GoOnText(line, disc));
      return disc == line.From && status == kExitNothing ? kExitNothing : kExitFailed;
    }
    std::cout << "Recorded " << which << std::endl;
  }
  return kExitOk;
}
