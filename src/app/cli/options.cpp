#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <sstream>

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

struct TCommandText {
  const char* Name;
  const char* Synopsis;
  const char* Summary;
};

constexpr TCommandText kCommands[] = {
    {"drives", "drives", "list the CD/DVD drives, one line per drive; a\nvirtual drive shows its image file"},
    {"disc", "disc [--drive DRIVE]",
     "show the disc in the drive: kind, status, recorded\nsessions, free sectors, next writable address"},
    {"burn", "burn FOLDER [options]",
     "record FOLDER onto the disc in the drive, leaving the\ndisc open for a further session unless --finalize"},
    {"write", "write IMAGE [options]",
     "record the image file IMAGE (made by `mburn image` or\nany other tool) as it is onto a blank disc, or\n"
     "over a DVD+RW, DVD-RAM or DVD-RW from its start"},
    {"erase", "erase [--full] [--drive DRIVE]",
     "erase a CD-RW or DVD-RW (blank), or a DVD+RW,\nDVD-RAM or BD-RE (format; quick: volume wiped)"},
    {"image", "image FOLDER -o FILE [options]",
     "write an ISO 9660 image file of FOLDER, as a recorder\nwould receive it"},
    {"verify", "verify [--drive DRIVE] [--session N] (--sha256 HEX | --image FILE)",
     "read a session of the disc back and compare it\nwith a SHA-256 digest or an image file"},
    {"read", "read -o FILE [--drive DRIVE] [--session N] [--retries N] [--map FILE]",
     "read the disc into an image file, zeros for\nsectors that cannot be read, naming the files\nthey belong to"},
    {"copy", "copy --drive SRC --to DST [options]",
     "copy a disc of one session: read it, record the\nimage onto a blank disc, verify it"},
    {"check", "check [--drive DRIVE] [--session N]",
     "read every file that the SHA256SUMS at the root of a\nsession lists back and compare it with its SHA-256"},
    {"plan", "plan FOLDER (--media MEDIA | --drive DRIVE) [options]",
     "show how many discs FOLDER takes and which files go\non which disc (record them with burn --span)"},
};

const TCommandText* CommandText(const std::string& name) {
  for (const TCommandText& c : kCommands)
    if (name == c.Name) return &c;
  return nullptr;
}

constexpr const char* kFooter =
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
    "Other commands: 0 done, 1 failed, 2 the command line was wrong.";

constexpr int kColumn = 30;

// The help in mburn's own layout, made from the definitions below: the
// synopsis, each command with its own options, then the options of every
// command. A command's long-only options line up after the "-o, " of a short one.
class THelpFormat : public CLI::Formatter {
 public:
  THelpFormat() { column_width(kColumn); }

  std::string make_option_name(const CLI::Option* opt, bool positional) const override {
    if (positional) return opt->get_name(true, false);
    const auto& shorts = opt->get_snames();
    const auto& longs = opt->get_lnames();
    std::string name;
    for (const std::string& s : shorts) name += "-" + s + ", ";
    for (const std::string& l : longs) name += "--" + l + ", ";
    name.resize(name.size() - 2);
    return shorts.empty() && !Common ? "    " + name : name;
  }
  std::string make_option_opts(const CLI::Option* opt) const override {
    return opt->get_type_size() == 0 ? std::string() : " " + opt->get_type_name();
  }

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    const CLI::App* top = app;
    while (top->get_parent()) top = top->get_parent();
    std::string text;
    if (app != top) {
      const TCommandText* c = CommandText(app->get_name());
      text = std::string("Usage: mburn ") + c->Synopsis + "\n\n" + Line(c->Name, c->Summary) + "\n";
      if (const std::string own = OptionsOf(app); !own.empty()) text += "Options:\n" + own + "\n";
      return text + "Options of every command:\n" + CommonOptions(top, false);
    }
    text = "Usage: mburn COMMAND [OPTIONS]\n\n" + app->get_description() + "\n\nCommands:\n";
    for (const CLI::App* sub : app->get_subcommands({})) {
      const TCommandText* c = CommandText(sub->get_name());
      text += Line(c->Synopsis, c->Summary) + OptionsOf(sub);
    }
    return text + "\nOptions of every command:\n" + CommonOptions(top, true) + "\n" +
           app->get_footer() + "\n";
  }

 private:
  std::string Line(const std::string& left, const std::string& right) const {
    std::ostringstream out;
    CLI::detail::format_help(out, left, right, kColumn);
    return out.str();
  }
  std::string OptionsOf(const CLI::App* app) const {
    std::string text;
    for (const CLI::Option* opt : app->get_options())
      if (opt != app->get_help_ptr() && !opt->get_group().empty() && !opt->get_positional())
        text += make_option(opt, false);
    return text;
  }
  // --version only where it works: before any command.
  std::string CommonOptions(const CLI::App* top, bool withVersion) const {
    Common = true;
    std::string text;
    for (const CLI::Option* opt : top->get_options())
      if (!opt->get_group().empty() && (withVersion || opt != top->get_version_ptr()))
        text += make_option(opt, false);
    Common = false;
    return text;
  }
  mutable bool Common = false;
};

// A number from Least to Most, refused naming the option and its range.
CLI::Validator Within(int Least, int Most) {
  return CLI::Validator(
      [Least, Most](std::string& text) {
        int value = -1;
        if (!ParseNumber(text, value)) return "needs a number, not \"" + text + "\"";
        if (value < Least || value > Most)
          return "is a number from " + std::to_string(Least) + " to " + std::to_string(Most) +
                 ", not " + text;
        return std::string();
      },
      "");
}

// Every command with its own options; Line receives the values.
class TDefinitions {
 public:
  explicit TDefinitions(TCommandLine& line) : L(line) {
    App.description(
        "Records a folder onto a writable CD or DVD as an ISO 9660 disc with a Joliet tree,\n"
        "records image files, erases rewritable discs, and reads discs back into image files.");
    App.footer(kFooter);
    App.formatter(std::make_shared<THelpFormat>());
    App.allow_extras();  // refused afterwards, naming the command they do not belong to
    App.add_option("--virtual", L.Virtual,
                   "use a virtual recorder whose disc is the file IMAGE;\n"
                   "a missing IMAGE is a blank disc of MEDIA (cd-r, cd-rw,\n"
                   "dvd-r, dvd-rw, dvd-rw-seq, dvd+r, dvd+rw, dvd-ram,\n"
                   "bd-r, bd-r-dl, bd-re, ...;\n"
                   "default cd-r). An IMAGE of your own is a closed\n"
                   "disc, never written (IMAGE:MEDIA,new blanks it).\n"
                   "Repeat for more drives.")
        ->type_name("IMAGE[:MEDIA]")
        ->expected(1)
        ->take_all()
        ->check(CLI::Validator(
            [](std::string& disc) {
              if (disc.empty() || disc.find(';') != std::string::npos)
                return std::string("needs IMAGE[:MEDIA], without ';'");
              std::string why;
              return VRecCheckConfig(disc, &why) ? std::string() : disc + ": " + why;
            },
            ""));
    App.add_flag("--debug", L.Debug, "print the burner's message trace to standard error");
    App.set_help_flag("-h,--help", "show this text");
    App.set_version_flag("--version", VersionText(), "show the version");

    Command("drives");
    CLI::App* c = Command("disc");
    Drive(c);

    c = Command("burn");
    c->add_option("FOLDER", L.Folder)->required();
    Drive(c);
    Mask(c);
    Speed(c);
    TestWrite(c);
    c->add_flag("--finalize", L.Finalize, "close the disc: no further session can be added");
    ImageOptions(c);
    c->add_option("--import-session", L.ImportSession,
                  "carry session N of the disc into the new session\n"
                  "(default: the last session, so earlier files stay)")
        ->type_name("N")
        ->check(Within(0, 255));
    c->add_flag("--no-import", L.NoImport, "do not carry the earlier sessions' files");
    Verify(c, "read the track back and compare it with what was sent");
    Eject(c, "eject the disc once the recording has ended");
    auto* span = c->add_flag("--span", L.Span,
                             "record a folder larger than one disc as a set of\n"
                             "discs, as `mburn plan` shows it: each disc closed,\n"
                             "with its share of the folder and MBURN-SET.txt");
    c->add_option("--from", L.From, "with --span: begin at disc N of the same plan")
        ->type_name("N")
        ->check(Within(1, 9999))
        ->needs(span);
    c->add_flag("--open", L.Open, "with --span: leave every disc open")->needs(span);
    Media(c, "with --span: plan for blank MEDIA (see plan) rather\nthan for the disc in the drive")
        ->needs(span);

    c = Command("write");
    c->add_option("IMAGE", L.Image)->required();
    Drive(c);
    Speed(c);
    TestWrite(c);
    c->add_flag("--finalize", L.Finalize, "close the disc: no further session can be added");
    Verify(c, "read the track back and compare it with the image");
    Eject(c, "eject the disc once the recording has ended");

    c = Command("erase");
    Drive(c);
    c->add_flag("--full", L.Full, "erase the whole disc (default: the quick erase)");
    Eject(c, "eject the disc once the erase has ended");

    c = Command("image");
    c->add_option("FOLDER", L.Folder)->required();
    c->add_option("-o,--output", L.Output, "the image file to write")->type_name("FILE")->required();
    Mask(c);
    ImageOptions(c);

    c = Command("verify");
    Drive(c);
    Session(c, "the session to check (default: the last one)");
    auto* sha = c->add_option("--sha256", L.Sha256,
                              "compare with this SHA-256 digest (64 hex digits), or")
                    ->type_name("HEX")
                    ->check(CLI::Validator(
                        [](std::string& hex) {
                          TSha256 digest{};
                          return ParseSha256Hex(hex, digest)
                                     ? std::string()
                                     : "needs 64 hexadecimal digits, not \"" + hex + "\"";
                        },
                        ""));
    c->add_option("--image", L.Image, "compare byte for byte with this image file")
        ->type_name("FILE")
        ->excludes(sha);

    c = Command("read");
    c->add_option("-o,--output", L.Output,
                  "the image file (- for standard output): sector n of\n"
                  "the disc at byte n x 2048, from the disc's start to\n"
                  "the end of the last session read, the gaps between\n"
                  "sessions holes; of one session an ordinary .iso")
        ->type_name("FILE")
        ->required();
    Drive(c);
    Session(c, "read up to session N (default: the last one)");
    Retries(c);
    c->add_option("--map", L.Map,
                  "keep a GNU ddrescue mapfile of what was read (bytes\n"
                  "of the disc); given again with the same -o, only\n"
                  "the sectors still missing are read (from this\n"
                  "drive or another one)")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](std::string& file) { return file.empty() ? "needs a FILE" : std::string(); }, ""));

    c = Command("copy");
    Drive(c);
    c->add_option("--to", L.To,
                  "the drive that records the copy (the same drive:\n"
                  "the disc is read, ejected, and a blank one asked for)")
        ->type_name("DRIVE")
        ->required();
    Retries(c);
    Speed(c);
    Eject(c, "eject the copy once it has been recorded");

    c = Command("check");
    Drive(c);
    Session(c, "the session whose files to check (default: the last one)");

    c = Command("plan");
    c->add_option("FOLDER", L.Folder)->required();
    Drive(c);
    Media(c, "plan for blank discs of MEDIA (cd-r, dvd+r, dvd-r,\n"
             "bd-r, bd-r-dl, ...) at their standard capacity;\n"
             "without it, for the blank disc in the drive");
    Mask(c);
    ImageOptions(c);
  }

  CLI::App App{"", "mburn"};

 private:
  CLI::App* Command(const char* name) {
    const TCommandText* text = CommandText(name);
    CLI::App* c = App.add_subcommand(text->Name, text->Summary);
    c->fallthrough();  // the options of every command may follow it
    return c;
  }
  void Drive(CLI::App* c) {
    c->add_option("--drive", L.Drive,
                  "the drive: its number in the list of `mburn drives`\n"
                  "(default 0), its node (/dev/sr0 or sr0) or its\n"
                  "address (1:0:0)")
        ->type_name("DRIVE");
  }
  CLI::Option* Media(CLI::App* c, const char* what) {
    return c->add_option("--media", L.Media, what)
        ->type_name("MEDIA")
        ->check(CLI::Validator(
            [](std::string& media) {
              int64_t sectors = 0;
              return StandardCapacity(media, sectors)
                         ? std::string()
                         : "names one of " + StandardMediaNames() + ", not \"" + media + "\"";
            },
            ""));
  }
  void Mask(CLI::App* c) {
    c->add_option("--mask", L.Mask, "only files matching MASK (wildcards * and ?, default *.*)")
        ->type_name("MASK");
  }
  void Speed(CLI::App* c) {
    c->add_option("--speed", L.Speed, "write speed in kilobytes per second (0 = maximum)")
        ->type_name("KBPS")
        ->check(Within(0, 65535));
  }
  void TestWrite(CLI::App* c) {
    c->add_flag("--test-write", L.TestWrite,
                "simulate, writing nothing (CD-R/RW, DVD-R, sequential DVD-RW)");
  }
  void Verify(CLI::App* c, const char* what) {
    c->add_flag("--verify", L.Verify, what)->excludes("--test-write");
  }
  void Eject(CLI::App* c, const char* what) { c->add_flag("--eject", L.Eject, what); }
  void Session(CLI::App* c, const char* what) {
    c->add_option("--session", L.Session, what)->type_name("N")->check(Within(1, 255));
  }
  void Retries(CLI::App* c) {
    c->add_option("--retries", L.Retries, "read the unreadable sectors again N times (default 3)")
        ->type_name("N")
        ->check(Within(0, 100));
  }
  void ImageOptions(CLI::App* c) {
    c->add_flag("--no-joliet", L.NoJoliet, "ISO 9660 names only, no Joliet tree");
    c->add_flag("--no-rock-ridge{false}", L.RockRidge,
                "leave out Rock Ridge (recorded by default: modes,\n"
                "owners, times, full names and symbolic links, kept\n"
                "as links, not followed)");
    // The default; kept for the command lines that give it.
    c->add_flag("--rock-ridge", L.RockRidge)->group("");
    c->add_flag("--keep-permissions", L.KeepPermissions,
                "record modes, owners and groups as they are (default:\n"
                "owner 0, readable by everyone, executable where\n"
                "anyone could execute, writable by nobody)");
    c->add_flag("--udf", L.UDF,
                "add a UDF 1.02 file system beside ISO 9660 and Joliet\n"
                "(a bridge disc): full names, times, modes and files\n"
                "of any size in one extent list, for every system");
    c->add_flag("--manifest", L.Manifest,
                "record SHA256SUMS at the root: every file's SHA-256,\n"
                "for `sha256sum -c` and `mburn check`");
    c->add_option("--volume-id", L.VolumeId,
                  "the volume identifier (at most 32 of A-Z, 0-9 and _)")
        ->type_name("TEXT");
  }

  TCommandLine& L;
};

// Which command's options name is one of; empty when none.
std::string CommandOf(const CLI::App& app, const std::string& name) {
  for (const CLI::App* sub : app.get_subcommands({}))
    for (const CLI::Option* opt : sub->get_options())
      if (!opt->get_positional() && opt->check_name(name)) return sub->get_name();
  return {};
}

}  // namespace

std::string CommandHelp(const std::string& Command) {
  TCommandLine ignored;
  TDefinitions d(ignored);
  for (const CLI::App* sub : d.App.get_subcommands({}))
    if (sub->get_name() == Command) return sub->help();
  return d.App.help();
}

std::string UsageLine(const std::string& Command) {
  if (const TCommandText* c = CommandText(Command))
    return std::string("Usage: mburn ") + c->Synopsis + "\nsee mburn " + c->Name + " --help\n";
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
  TDefinitions d(Line);
  auto chosen = [&] {
    for (const CLI::App* sub : d.App.get_subcommands({}))
      if (sub->parsed()) return sub->get_name();
    return std::string();
  };
  std::vector<std::string> reversed(Args.rbegin(), Args.rend());
  try {
    d.App.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    Line.Help = true;
    Line.Command = chosen();
    return true;
  } catch (const CLI::CallForVersion&) {
    Line.Version = true;
    return true;
  } catch (const CLI::ParseError& e) {
    Line.Command = chosen();
    Error = e.what();
    return false;
  }
  Line.Command = chosen();
  // What no command took: an option of another command, an unknown one, a
  // word where none belongs.
  for (const std::string& extra : d.App.remaining(true)) {
    if (extra.size() > 1 && extra[0] == '-') {
      const std::string name = extra.substr(0, extra.find('='));
      const std::string owner = CommandOf(d.App, name);
      if (owner.empty())
        Error = "unknown option " + name;
      else if (owner == Line.Command)
        Error = "option " + name + " goes after the command: mburn " + owner + " " + name;
      else
        Error = "option " + name + " does not apply to '" +
                (Line.Command.empty() ? "mburn" : Line.Command) + "'";
    } else {
      Error = Line.Command.empty() ? "unknown command " + extra : "unexpected argument " + extra;
    }
    return false;
  }
  if (Line.Command.empty()) {
    Error = "no command given";
    return false;
  }
  if (Line.Command == "verify" && Line.Sha256.empty() && Line.Image.empty()) {
    Error = "verify needs either --sha256 HEX or --image FILE";
    return false;
  }
  if (!Line.Sha256.empty()) ParseSha256Hex(Line.Sha256, Line.Digest);
  if (Line.Span && (Line.ImportSession >= 0 || Line.NoImport)) {
    Error = "--span records every disc as a blank one: nothing to import";
    return false;
  }
  if (Line.Command == "read" && !Line.Map.empty() && Line.Map == Line.Output) {
    Error = "--map and -o name the same file";
    return false;
  }
  return true;
}
