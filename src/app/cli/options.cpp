#include "cli/options.h"

#include <charconv>
#include <set>

const char* const kUsage =
    "Usage: mburn COMMAND [OPTIONS]\n"
    "\n"
    "Records a folder onto a writable CD or DVD as an ISO 9660 disc with a Joliet tree.\n"
    "\n"
    "Commands:\n"
    "  drives                      list the CD/DVD drives, one line per drive\n"
    "  disc [--drive N]            show the disc in drive N: kind, status, recorded\n"
    "                              sessions, free sectors, next writable address\n"
    "  burn FOLDER [options]       record FOLDER onto the disc in the drive, leaving the\n"
    "                              disc open for a further session unless --finalize\n"
    "      --mask MASK             only files matching MASK (wildcards * and ?, default *.*)\n"
    "      --drive N               the drive's number in the list of `mburn drives` (0)\n"
    "      --speed KBPS            write speed in kilobytes per second (0 = maximum)\n"
    "      --test-write            simulate: the recorder writes nothing\n"
    "      --finalize              close the disc: no further session can be added\n"
    "      --no-joliet             ISO 9660 names only, no Joliet tree\n"
    "      --volume-id TEXT        the volume identifier\n"
    "      --import-session N      carry session N of the disc into the new session\n"
    "  image FOLDER -o FILE [--mask MASK] [--no-joliet] [--volume-id TEXT]\n"
    "                              write an ISO 9660 image file of FOLDER\n"
    "\n"
    "Options of every command:\n"
    "  --virtual IMAGE[:MEDIA]     use a virtual recorder whose disc is the file IMAGE;\n"
    "                              a missing IMAGE is a blank disc of MEDIA (cd-r, cd-rw,\n"
    "                              dvd-r, dvd-rw, dvd-rw-seq, dvd+r, dvd+rw, dvd-ram, ...;\n"
    "                              default cd-r). Repeat for more drives.\n"
    "  --debug                     print the burner's message trace to standard error\n"
    "  --help                      show this text\n"
    "\n"
    "Exit status of burn: 0 recorded, 1 the recording failed, 2 nothing was recorded.\n"
    "Other commands: 0 done, 1 failed, 2 the command line was wrong.\n";

namespace {

bool ParseNumber(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= 0;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& Args, TCommandLine& Line,
                      std::string& Error) {
  static const std::set<std::string> commands = {"drives", "disc", "burn", "image"};
  std::vector<std::string> positional;
  for (size_t i = 0; i < Args.size(); ++i) {
    std::string arg = Args[i];
    std::string value;
    bool inlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      if (const auto eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        inlineValue = true;
      }
    }
    auto takeValue = [&](std::string& out) {
      if (inlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= Args.size()) {
        Error = "option " + arg + " needs a value";
        return false;
      }
      out = Args[++i];
      return true;
    };
    auto takeNumber = [&](int& out) {
      std::string text;
      if (!takeValue(text)) return false;
      if (!ParseNumber(text, out)) {
        Error = "option " + arg + " needs a number, not \"" + text + "\"";
        return false;
      }
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      Line.Help = true;
    } else if (arg == "--debug") {
      Line.Debug = true;
    } else if (arg == "--virtual") {
      std::string disc;
      if (!takeValue(disc)) return false;
      if (disc.empty() || disc.find(';') != std::string::npos) {
        Error = "--virtual needs IMAGE[:MEDIA], without ';'";
        return false;
      }
      Line.Virtual.push_back(disc);
    } else if (arg == "--mask") {
      if (!takeValue(Line.Mask)) return false;
    } else if (arg == "--drive") {
      if (!takeNumber(Line.Drive)) return false;
    } else if (arg == "--speed") {
      if (!takeNumber(Line.Speed)) return false;
      if (Line.Speed > 65535) {
        Error = "--speed is at most 65535 KB/s";
        return false;
      }
    } else if (arg == "--test-write") {
      Line.TestWrite = true;
    } else if (arg == "--finalize") {
      Line.Finalize = true;
    } else if (arg == "--no-joliet") {
      Line.NoJoliet = true;
    } else if (arg == "--volume-id") {
      if (!takeValue(Line.VolumeId)) return false;
    } else if (arg == "--import-session") {
      if (!takeNumber(Line.ImportSession)) return false;
      if (Line.ImportSession > 255) {
        Error = "--import-session is at most 255";
        return false;
      }
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue(Line.Output)) return false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      Error = "unknown option " + arg;
      return false;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    if (Line.Help) return true;
    Error = "no command given";
    return false;
  }
  Line.Command = positional[0];
  if (!commands.count(Line.Command)) {
    Error = "unknown command " + Line.Command;
    return false;
  }
  const bool takesFolder = Line.Command == "burn" || Line.Command == "image";
  const size_t expected = takesFolder ? 2 : 1;
  if (positional.size() > expected) {
    Error = "unexpected argument " + positional[expected];
    return false;
  }
  if (takesFolder) {
    if (positional.size() < 2) {
      Error = Line.Command + " needs a FOLDER";
      return false;
    }
    Line.Folder = positional[1];
  }
  if (Line.Command == "image" && Line.Output.empty() && !Line.Help) {
    Error = "image needs -o FILE";
    return false;
  }
  return true;
}
