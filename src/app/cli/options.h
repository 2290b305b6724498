// mburn's command line: the command, its folder and its options.
#pragma once

#include <string>
#include <vector>

struct TCommandLine {
  std::string Command;       // drives, disc, burn, image; empty with --help alone
  std::string Folder;        // burn, image
  std::string Output;        // image: -o FILE
  std::string Mask = "*.*";
  int Drive = 0;             // index into the drive list
  int Speed = 0;             // write speed in KB/s, 0 = the drive's maximum
  bool TestWrite = false;
  bool Finalize = false;
  bool NoJoliet = false;
  std::string VolumeId;
  int ImportSession = 0;
  std::vector<std::string> Virtual;  // IMAGE[:MEDIA], one per drive
  bool Debug = false;
  bool Help = false;
};

// False with a message in Error when the line cannot be understood.
bool ParseCommandLine(const std::vector<std::string>& Args, TCommandLine& Line, std::string& Error);
extern const char* const kUsage;
