// mburn's command line: the command, its folder and its options.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct TCommandLine {
  std::string Command;       // drives, disc, burn, write, erase, image, verify, read, copy, check, plan;
                             // empty with --help alone
  std::string Folder;        // burn, image, plan
  std::string Output;        // image, read: -o FILE ("-": standard output)
  std::string Map;           // read: --map FILE, the GNU ddrescue mapfile
  int Retries = 3;           // read, copy: passes over the unreadable sectors
  std::string To;            // copy: the drive that records the copy
  std::string Mask = "*.*";
  std::string Drive = "0";  // the list's number, the node (/dev/sr0, sr0) or the address (1:0:0)
  int Speed = 0;             // write speed in KB/s, 0 = the drive's maximum
  bool TestWrite = false;
  bool Finalize = false;
  bool NoJoliet = false;
  bool RockRidge = true;     // burn, image: Rock Ridge fields in the ISO tree (--no-rock-ridge)
  bool KeepPermissions = false;  // burn, image: the sources' modes, owners and groups as they are
  bool UDF = false;          // burn, image: a UDF file system beside the ISO tree
  bool Manifest = false;     // burn, image: SHA256SUMS at the root
  std::string VolumeId;
  int ImportSession = -1;    // burn: -1 = the last session (when the disc holds one)
  bool NoImport = false;
  // verify: read the track back and compare it (burn --verify); the disc's
  // session to check and what to check it against (verify)
  bool Verify = false;
  bool Eject = false;        // burn, write, erase: eject the disc at the end
  bool Full = false;         // erase: the whole disc, not the quick erase
  int Session = 0;           // 0 = the last one
  std::string Sha256;        // 64 hex digits, as given
  std::array<uint8_t, 32> Digest{};  // ... and parsed
  std::string Image;         // an image file (verify --image, write IMAGE)
  std::vector<std::string> Virtual;  // IMAGE[:MEDIA], one per drive
  // A set of discs (plan, burn --span): the medium planned for instead of
  // the disc in the drive, the disc to start at, and discs left open.
  std::string Media;
  bool Span = false;
  int From = 1;
  bool Open = false;
  bool Debug = false;
  bool Help = false;
  bool Version = false;
};

// False with a message in Error when the line cannot be understood.
bool ParseCommandLine(const std::vector<std::string>& Args, TCommandLine& Line, std::string& Error);
// The help of one command (burn, image, ...); mburn's whole help for an empty or
// unknown one.
std::string CommandHelp(const std::string& Command);
// After a mistake: the usage line of Command (of mburn for an empty or unknown
// one) and where its help is, so the reason stays in sight.
std::string UsageLine(const std::string& Command);
// "mburn (Micro Burner) VERSION".
std::string VersionText();
// The line of DeviceList that Name means: its number in the list, its node
// (/dev/sr0 or sr0) or its address (1:0:0); -1 when none.
int FindDrive(const std::vector<std::string>& DeviceList, const std::string& Name);
