#include "cli/options.h"

#include <charconv>
#include <set>

#include "app/discset.h"
#include "app/workflow.h"
#include "stream/stream.h"
#include "vrecorder/vrecorder.h"

namespace {

bool ParseNumber(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && value >= 0;
}

constexpr const char* kCommonOptions =
    "Options of every command:\n"
    "  --virtual IMAGE[:MEDIA]     use a virtual recorder whose disc is the file IMAGE;\n"
    "                              a missing IMAGE is a blank disc of MEDIA (cd-r, cd-rw,\n"
    "                              dvd-r, dvd-rw, dvd-rw-seq, dvd+r, dvd+rw, dvd-ram,\n"
    "                              bd-r, bd-r-dl, bd-re, ...;\n"
    "                              default cd-r). An IMAGE of your own is a closed\n"
    "                              disc, never written (IMAGE:MEDIA,new blanks it).\n"
    "                              Repeat for more drives.\n"
    "  --debug                     print the burner's message trace to standard error\n"
    "  --help                      show this text\n";

constexpr const char* kDriveOption =
    "      --drive DRIVE           the drive: its number in the list of `mburn drives`\n"
    "                              (default 0), its node (/dev/sr0 or sr0) or its\n"
    "                              address (1:0:0)\n";

constexpr const char* kBurnOptions =
    "      --mask MASK             only files matching MASK (wildcards * and ?, default *.*)\n"
    "      --speed KBPS            write speed in kilobytes per second (0 = maximum)\n"
    "      --test-write            simulate, writing nothing (CD-R/RW, DVD-R, sequential DVD-RW)\n"
    "      --finalize              close the disc: no further session can be added\n"
    "      --no-joliet             ISO 9660 names only, no Joliet tree\n"
    "      --no-rock-ridge         leave out Rock Ridge (recorded by default: modes,\n"
    "                              owners, times, full names and symbolic links, kept\n"
    "                              as links, not followed)\n"
    "      --keep-permissions      record modes, owners and groups as they are (default:\n"
    "                              owner 0, readable by everyone, executable where\n"
    "                              anyone could execute, writable by nobody)\n"
    "      --udf                   add a UDF 1.02 file system beside ISO 9660 and Joliet\n"
    "                              (a bridge disc): full names, times, modes and files\n"
    "                              of any size in one extent list, for every system\n"
    "      --manifest              record SHA256SUMS at the root: every file's SHA-256,\n"
    "                              for `sha256sum -c` and `mburn check`\n"
    "      --volume-id TEXT        the volume identifier (at most 32 of A-Z, 0-9 and _)\n"
    "      --import-session N      carry session N of the disc into the new session\n"
    "                              (default: the last session, so earlier files stay)\n"
    "      --no-import             do not carry the earlier sessions' files\n"
    "      --verify                read the track back and compare it with what was sent\n"
    "      --eject                 eject the disc once the recording has ended\n"
    "      --span                  record a folder larger than one disc as a set of\n"
    "                              discs, as `mburn plan` shows it: each disc closed,\n"
    "                              with its share of the folder and MBURN-SET.txt\n"
    "      --from N                with --span: begin at disc N of the same plan\n"
    "      --open                  with --span: leave every disc open\n"
    "      --media MEDIA           with --span: plan for blank MEDIA (see plan) rather\n"
    "                              than for the disc in the drive\n";

constexpr const char* kPlanOptions =
    "      --media MEDIA           plan for blank discs of MEDIA (cd-r, dvd+r, dvd-r,\n"
    "                              bd-r, bd-r-dl, ...) at their standard capacity;\n"
    "                              without it, for the blank disc in the drive\n"
    "      --mask MASK             only files matching MASK (wildcards * and ?, default *.*)\n"
    "      --no-joliet, --no-rock-ridge, --keep-permissions, --udf, --manifest,\n"
    "      --volume-id TEXT        as for burn: the images are measured with them\n";

constexpr const char* kWriteOptions =
    "      --speed KBPS            write speed in kilobytes per second (0 = maximum)\n"
    "      --test-write            simulate, writing nothing (CD-R/RW, DVD-R, sequential DVD-RW)\n"
    "      --finalize              close the disc: no further session can be added\n"
    "      --verify                read the track back and compare it with the image\n"
    "      --eject                 eject the disc once the recording has ended\n";

constexpr const char* kEraseOptions =
    "      --full                  erase the whole disc (default: the quick erase)\n"
    "      --eject                 eject the disc once the erase has ended\n";

constexpr const char* kVerifyOptions =
    "      --session N             the session to check (default: the last one)\n"
    "      --sha256 HEX            compare with this SHA-256 digest (64 hex digits), or\n"
    "      --image FILE            compare byte for byte with this image file\n";

constexpr const char* kReadOptions =
    "      -o, --output FILE       the image file (- for standard output): sector n of\n"
    "                              the disc at byte n x 2048, from the disc's start to\n"
    "                              the end of the last session read, the gaps between\n"
    "                              sessions holes; of one session an ordinary .iso\n"
    "      --session N             read up to session N (default: the last one)\n"
    "      --retries N             read the unreadable sectors again N times (default 3)\n"
    "      --map FILE              keep a GNU ddrescue mapfile of what was read (bytes\n"
    "                              of the disc); given again with the same -o, only\n"
    "                              the sectors still missing are read (from this\n"
    "                              drive or another one)\n";

constexpr const char* kCopyOptions =
    "      --to DRIVE              the drive that records the copy (the same drive:\n"
    "                              the disc is read, ejected, and a blank one asked for)\n"
    "      --retries N             read the unreadable sectors again N times (default 3)\n"
    "      --speed KBPS            write speed in kilobytes per second (0 = maximum)\n"
    "      --eject                 eject the copy once it has been recorded\n";

constexpr const char* kCheckOptions =
    "      --session N             the session whose files to check (default: the last one)\n";

constexpr const char* kImageOptions =
    "      -o, --output FILE       the image file to write\n"
    "      --mask MASK             only files matching MASK (wildcards * and ?, default *.*)\n"
    "      --no-joliet             ISO 9660 names only, no Joliet tree\n"
    "      --no-rock-ridge         leave out Rock Ridge (recorded by default: modes,\n"
    "                              owners, times, full names and symbolic links, kept\n"
    "                              as links, not followed)\n"
    "      --keep-permissions      record modes, owners and groups as they are (default:\n"
    "                              owner 0, readable by everyone, executable where\n"
    "                              anyone could execute, writable by nobody)\n"
    "      --udf                   add a UDF 1.02 file system beside ISO 9660 and Joliet\n"
    "                              (a bridge disc): full names, times, modes and files\n"
    "                              of any size in one extent list, for every system\n"
    "      --manifest              record SHA256SUMS at the root: every file's SHA-256,\n"
    "                              for `sha256sum -c` and `mburn check`\n"
    "      --volume-id TEXT        the volume identifier (at most 32 of A-Z, 0-9 and _)\n";

struct TCommandText {
  const char* Name;
  const char* Synopsis;
  const char* Summary;
};

constexpr TCommandText kCommands[] = {
    {"drives", "drives", "list the CD/DVD drives, one line per drive; a\n"
                         "                              virtual drive shows its image file"},
    {"disc", "disc [--drive DRIVE]", "show the disc in the drive: kind, status, recorded\n"
                                     "                              sessions, free sectors, "
                                     "next writable address"},
    {"burn", "burn FOLDER [options]", "record FOLDER onto the disc in the drive, leaving the\n"
                                      "                              disc open for a further "
                                      "session unless --finalize"},
    {"write", "write IMAGE [options]",
     "record the image file IMAGE (made by `mburn image` or\n"
     "                              any other tool) as it is onto a blank disc, or\n"
     "                              over a DVD+RW, DVD-RAM or DVD-RW from its start"},
    {"erase", "erase [--full] [--drive DRIVE]",
     "erase a CD-RW or DVD-RW (blank), or a DVD+RW,\n"
     "                              DVD-RAM or BD-RE (format; quick: volume wiped)"},
    {"image", "image FOLDER -o FILE [options]",
     "write an ISO 9660 image file of FOLDER, as a recorder\n"
     "                              would receive it"},
    {"verify", "verify [--drive DRIVE] [--session N] (--sha256 HEX | --image FILE)",
     "read a session of the disc back and compare it\n"
     "                              with a SHA-256 digest or an image file"},
    {"read", "read -o FILE [--drive DRIVE] [--session N] [--retries N] [--map FILE]",
     "read the disc into an image file, zeros for\n"
     "                              sectors that cannot be read, naming the files\n"
     "                              they belong to"},
    {"copy", "copy --drive SRC --to DST [options]",
     "copy a disc of one session: read it, record the\n"
     "                              image onto a blank disc, verify it"},
    {"check", "check [--drive DRIVE] [--session N]",
     "read every file that the SHA256SUMS at the root of a\n"
     "                              session lists back and compare it with its SHA-256"},
    {"plan", "plan FOLDER (--media MEDIA | --drive DRIVE) [options]",
     "show how many discs FOLDER takes and which files go\n"
     "                              on which disc (record them with burn --span)"},
};

// The commands that use each option ("*": all of them). The others refuse it:
// an option that would be ignored means the line asks for something else.
struct TOptionUse {
  const char* Name;
  const char* Commands;
};

constexpr TOptionUse kOptionUses[] = {
    {"--help", "*"},
    {"-h", "*"},
    {"--version", "*"},
    {"--debug", "*"},
    {"--virtual", "*"},
    {"--drive", "disc burn write erase verify read copy check plan"},
    {"--mask", "burn image plan"},
    {"--speed", "burn write copy"},
    {"--test-write", "burn write"},
    {"--finalize", "burn write"},
    {"--no-joliet", "burn image plan"},
    {"--rock-ridge", "burn image plan"},
    {"--no-rock-ridge", "burn image plan"},
    {"--keep-permissions", "burn image plan"},
    {"--udf", "burn image plan"},
    {"--volume-id", "burn image plan"},
    {"--manifest", "burn image plan"},
    {"--import-session", "burn"},
    {"--no-import", "burn"},
    {"--verify", "burn write"},
    {"--eject", "burn write erase copy"},
    {"--full", "erase"},
    {"--session", "verify read check"},
    {"--retries", "read copy"},
    {"--map", "read"},
    {"--to", "copy"},
    {"--sha256", "verify"},
    {"--image", "verify"},
    {"-o", "image read"},
    {"--output", "image read"},
    {"--media", "burn plan"},
    {"--span", "burn"},
    {"--from", "burn"},
    {"--open", "burn"},
};

bool Applies(const std::string& option, const std::string& command) {
  for (const TOptionUse& use : kOptionUses) {
    if (option != use.Name) continue;
    const std::string commands = std::string(" ") + use.Commands + " ";
    return commands == " * " || commands.find(" " + command + " ") != std::string::npos;
  }
  return false;
}

std::string Column(const std::string& left, const char* right) {
  std::string line = "  " + left;
  if (line.size() < 30) line.resize(30, ' ');
  else line += "\n" + std::string(30, ' ');
  return line + right + "\n";
}

std::string OptionsOf(const std::string& command) {
  if (command == "disc") return kDriveOption;
  if (command == "burn") return std::string(kDriveOption) + kBurnOptions;
  if (command == "image") return kImageOptions;
  if (command == "write") return std::string(kDriveOption) + kWriteOptions;
  if (command == "erase") return std::string(kDriveOption) + kEraseOptions;
  if (command == "verify") return std::string(kDriveOption) + kVerifyOptions;
  if (command == "read") return std::string(kDriveOption) + kReadOptions;
  if (command == "copy") return std::string(kDriveOption) + kCopyOptions;
  if (command == "check") return std::string(kDriveOption) + kCheckOptions;
  if (command == "plan") return std::string(kDriveOption) + kPlanOptions;
  return {};
}

std::string FullUsage() {
  std::string text =
      "Usage: mburn COMMAND [OPTIONS]\n"
      "\n"
      "Records a folder onto a writable CD or DVD as an ISO 9660 disc with a Joliet tree,\n"
      "records image files, erases rewritable discs, and reads discs back into image files.\n"
      "\n"
      "Commands:\n";
  for (const TCommandText& c : kCommands) {
    text += Column(c.Synopsis, c.Summary);
    if (std::string(c.Name) == "burn") text += OptionsOf("burn");
    if (std::string(c.Name) == "image") text += OptionsOf("image");
    if (std::string(c.Name) == "write") text += kWriteOptions;
    if (std::string(c.Name) == "erase") text += kEraseOptions;
    if (std::string(c.Name) == "verify") text += kVerifyOptions;
    if (std::string(c.Name) == "read") text += kReadOptions;
    if (std::string(c.Name) == "copy") text += kCopyOptions;
    if (std::string(c.Name) == "check") text += kCheckOptions;
    if (std::string(c.Name) == "plan") text += kPlanOptions;
  }
  return text + "\n" + kCommonOptions +
         "  --version                   show the version\n"
         "\n"
         "`mburn COMMAND --help` shows the help of one command.\n"
         "burn, write, image and verify print the track's SHA-256 on their last line (sha256: HEX).\n"
         "Exit status of burn and write: 0 recorded, 1 the recording failed, 2 nothing was\n"
         "recorded. Of erase: 0 erased, 1 the erase failed, 2 nothing was erased.\n"
         "Of verify (and burn --verify): 1 also when the track differs or cannot be read.\n"
         "Of read and copy: 0 every sector read (and copied), 1 sectors missing or the\n"
         "read, recording or verify failed, 2 nothing was read.\n"
         "Of check: 0 every listed file matches, 1 any differs, cannot be read or is\n"
         "missing, 2 there is no SHA256SUMS or no disc.\n"
         "Of burn --span: 1 also when a disc of the set failed (it names the disc to go on from).\n"
         "Other commands: 0 done, 1 failed, 2 the command line was wrong.\n";
}

const std::string gUsage = FullUsage();

}  // namespace

const char* const kUsage = gUsage.c_str();

std::string CommandHelp(const std::string& Command) {
  for (const TCommandText& c : kCommands) {
    if (Command != c.Name) continue;
    return std::string("Usage: mburn ") + c.Synopsis + "\n\n" + Column(c.Name, c.Summary) +
           "\n" + (OptionsOf(Command).empty() ? "" : "Options:\n" + OptionsOf(Command) + "\n") +
           kCommonOptions;
  }
  return kUsage;
}

std::string UsageLine(const std::string& Command) {
  for (const TCommandText& c : kCommands)
    if (Command == c.Name)
      return std::string("Usage: mburn ") + c.Synopsis + "\nsee mburn " + c.Name + " --help\n";
  return "Usage: mburn COMMAND [OPTIONS]\nsee mburn --help\n";
}

std::string VersionText() { return std::string("mburn (Micro Burner) ") + MicroBurnerVersion(); }

int FindDrive(const std::vector<std::string>& DeviceList, const std::string& Name) {
  // A line is "h:t:l,sr0: IDENTIFICATION" ("?:" when no node is known).
  const std::string node = Name.rfind("/dev/", 0) == 0 ? Name.substr(5) : Name;
  // "?:" stands for no node at all, so "?" names none.
  const bool byNode = !node.empty() && node.find_first_of("?:") == std::string::npos;
  int number = -1;
  const bool numeric = ParseNumber(Name, number);
  for (size_t i = 0; i < DeviceList.size(); ++i) {
    const std::string& line = DeviceList[i];
    const auto comma = line.find(',');
    if (comma == std::string::npos) continue;
    if (numeric && static_cast<size_t>(number) == i) return static_cast<int>(i);
    if (!numeric && (line.compare(0, comma, Name) == 0 ||
                     (byNode && line.compare(comma + 1, node.size() + 1, node + ":") == 0)))
      return static_cast<int>(i);
  }
  return -1;
}

bool ParseCommandLine(const std::vector<std::string>& Args, TCommandLine& Line,
                      std::string& Error) {
  static const std::set<std::string> commands = {"drives", "disc",   "burn", "write", "erase",
                                                 "image",  "verify", "read", "copy",  "check", "plan"};
  std::vector<std::string> positional;
  std::vector<std::string> given;  // the options, checked once the command is known
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
    // A number from 0 (or Least) to Most; Range says what the option takes.
    auto takeNumber = [&](int& out, int Most, const char* Range, int Least = 0) {
      std::string text;
      if (!takeValue(text)) return false;
      if (!ParseNumber(text, out)) {
        Error = "option " + arg + " needs a number, not \"" + text + "\"";
        return false;
      }
      if (out < Least || out > Most) {
        Error = Range;
        return false;
      }
      return true;
    };
    if (arg.size() > 1 && arg[0] == '-') given.push_back(arg);
    if (arg == "--help" || arg == "-h") {
      Line.Help = true;
    } else if (arg == "--version") {
      Line.Version = true;
    } else if (arg == "--debug") {
      Line.Debug = true;
    } else if (arg == "--virtual") {
      std::string disc;
      if (!takeValue(disc)) return false;
      if (disc.empty() || disc.find(';') != std::string::npos) {
        Error = "--virtual needs IMAGE[:MEDIA], without ';'";
        return false;
      }
      if (std::string why; !VRecCheckConfig(disc, &why)) {
        Error = "--virtual " + disc + ": " + why;
        return false;
      }
      Line.Virtual.push_back(disc);
    } else if (arg == "--mask") {
      if (!takeValue(Line.Mask)) return false;
    } else if (arg == "--drive") {
      if (!takeValue(Line.Drive)) return false;
    } else if (arg == "--speed") {
      if (!takeNumber(Line.Speed, 65535, "--speed is at most 65535 KB/s")) return false;
    } else if (arg == "--test-write") {
      Line.TestWrite = true;
    } else if (arg == "--finalize") {
      Line.Finalize = true;
    } else if (arg == "--no-joliet") {
      Line.NoJoliet = true;
    } else if (arg == "--rock-ridge") {
      Line.RockRidge = true;  // the default; kept for the command lines that give it
    } else if (arg == "--no-rock-ridge") {
      Line.RockRidge = false;
    } else if (arg == "--keep-permissions") {
      Line.KeepPermissions = true;
    } else if (arg == "--udf") {
      Line.UDF = true;
    } else if (arg == "--manifest") {
      Line.Manifest = true;
    } else if (arg == "--volume-id") {
      if (!takeValue(Line.VolumeId)) return false;
    } else if (arg == "--import-session") {
      if (!takeNumber(Line.ImportSession, 255, "--import-session is at most 255")) return false;
    } else if (arg == "--no-import") {
      Line.NoImport = true;
    } else if (arg == "--eject") {
      Line.Eject = true;
    } else if (arg == "--full") {
      Line.Full = true;
    } else if (arg == "--verify") {
      Line.Verify = true;
    } else if (arg == "--session") {
      if (!takeNumber(Line.Session, 255, "--session is a session number from 1 to 255", 1)) return false;
    } else if (arg == "--retries") {
      if (!takeNumber(Line.Retries, 100, "--retries is at most 100")) return false;
    } else if (arg == "--map") {
      if (!takeValue(Line.Map)) return false;
      if (Line.Map.empty()) {
        Error = "--map needs a FILE";
        return false;
      }
    } else if (arg == "--to") {
      if (!takeValue(Line.To)) return false;
    } else if (arg == "--sha256") {
      if (!takeValue(Line.Sha256)) return false;
    } else if (arg == "--image") {
      if (!takeValue(Line.Image)) return false;
    } else if (arg == "--media") {
      if (!takeValue(Line.Media)) return false;
      if (int64_t sectors = 0; !StandardCapacity(Line.Media, sectors)) {
        Error = "--media names one of " + StandardMediaNames() + ", not \"" + Line.Media + "\"";
        return false;
      }
    } else if (arg == "--span") {
      Line.Span = true;
    } else if (arg == "--from") {
      if (!takeNumber(Line.From, 9999, "--from is a disc number from 1 to 9999", 1)) return false;
    } else if (arg == "--open") {
      Line.Open = true;
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue(Line.Output)) return false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      Error = "unknown option " + arg;
      return false;
    } else {
      // Known early, so that a later mistake shows this command's usage.
      if (positional.empty()) Line.Command = arg;
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    if (Line.Help || Line.Version) return true;
    Error = "no command given";
    return false;
  }
  if (!commands.count(Line.Command)) {
    Error = "unknown command " + Line.Command;
    return false;
  }
  // `mburn burn --help` is a question about burn, not a burn without its folder.
  if (Line.Help) return true;
  for (const std::string& option : given)
    if (!Applies(option, Line.Command)) {
      Error = "option " + option + " does not apply to '" + Line.Command + "'";
      return false;
    }
  const bool takesFolder = Line.Command == "burn" || Line.Command == "image" || Line.Command == "plan";
  const bool takesImage = Line.Command == "write";
  const size_t expected = takesFolder || takesImage ? 2 : 1;
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
  if (takesImage) {
    if (positional.size() < 2) {
      Error = "write needs an IMAGE file";
      return false;
    }
    Line.Image = positional[1];
  }
  const bool spanOnly = Line.From != 1 || Line.Open || (Line.Command == "burn" && !Line.Media.empty());
  if (!Line.Span && spanOnly) {
    Error = "--from, --open and --media of burn go with --span";
    return false;
  }
  if (Line.Span && (Line.ImportSession >= 0 || Line.NoImport)) {
    Error = "--span records every disc as a blank one: nothing to import";
    return false;
  }
  if (Line.Verify && Line.TestWrite) {
    Error = "--verify cannot check a --test-write: nothing is recorded";
    return false;
  }
  if (Line.Command == "verify" && Line.Sha256.empty() == Line.Image.empty()) {
    Error = "verify needs either --sha256 HEX or --image FILE";
    return false;
  }
  if (!Line.Sha256.empty() && !ParseSha256Hex(Line.Sha256, Line.Digest)) {
    Error = "--sha256 needs 64 hexadecimal digits, not \"" + Line.Sha256 + "\"";
    return false;
  }
  if ((Line.Command == "image" || Line.Command == "read") && Line.Output.empty()) {
    Error = Line.Command + " needs -o FILE";
    return false;
  }
  if (Line.Command == "read" && !Line.Map.empty() && Line.Map == Line.Output) {
    Error = "--map and -o name the same file";
    return false;
  }
  if (Line.Command == "copy" && Line.To.empty()) {
    Error = "copy needs --to DRIVE (the drive that records the copy)";
    return false;
  }
  return true;
}
