// The settings file and the choice of recorders: the parts of the start-up
// that touch the process's surroundings rather than the component.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/workflow.h"

namespace {

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Sets Key = Value in [Section] of the INI text, as the profile functions do:
// section and key names compare without regard to case, everything else stays.
std::string SetProfileString(const std::string& Text, const std::string& Section,
                             const std::string& Key, const std::string& Value) {
  std::vector<std::string> lines;
  std::istringstream in(Text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  const std::string entry = Key + "=" + Value;
  bool inSection = false;
  size_t sectionEnd = lines.size();  // where a missing key is inserted
  bool sectionFound = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string t = Trimmed(lines[i]);
    if (!t.empty() && t.front() == '[') {
      if (inSection) break;
      inSection = SameText(Trimmed(t.substr(1, t.find(']') - 1)), Section);
      if (inSection) {
        sectionFound = true;
        sectionEnd = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    const auto eq = t.find('=');
    if (eq != std::string::npos && SameText(Trimmed(t.substr(0, eq)), Key)) {
      lines[i] = entry;
      sectionEnd = std::string::npos;  // done
      break;
    }
    if (!t.empty()) sectionEnd = i + 1;
  }
  if (!sectionFound) {
    lines.push_back("[" + Section + "]");
    lines.push_back(entry);
  } else if (sectionEnd != std::string::npos) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), entry);
  }
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

}  // namespace

bool WriteSettingsFile(const std::string& Path, std::string& Error) {
  std::string text;
  std::error_code ec;
  if (std::filesystem::is_regular_file(Path, ec)) {
    std::ifstream in(Path, std::ios::binary);
    if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string updated = SetProfileString(text, kSettingsSection, kSettingsKey, kSettingsValue);
  std::ofstream out(Path, std::ios::binary | std::ios::trunc);
  if (out) out << updated;
  if (out) out.close();
  if (!out) {
    Error = "Unable to write to " + Path;
    return false;
  }
  return true;
}

void SetVirtualRecorders(const std::vector<std::string>& Discs) {
  std::string joined;
  for (const auto& disc : Discs) {
    if (!joined.empty()) joined += ';';
    joined += disc;
  }
  setenv("MBURN_VIRTUAL", joined.c_str(), 1);
}

std::string VirtualRecorderLibrary() {
  constexpr const char* kName = "libmburn-vrecorder.so";
  std::string exe(4096, '\0');
  const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
  if (n <= 0) return kName;
  exe.resize(static_cast<size_t>(n));
  const std::string dir = exe.substr(0, exe.rfind('/') + 1);
  for (const std::string& candidate :
       {dir + kName, dir + MBURN_PLUGIN_DIR_FROM_BIN + "/" + kName}) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
  }
  return kName;
}

std::vector<std::string> RecorderProblems() {
  std::vector<std::string> lines;
  for (const TSPTINodeProblem& p : SPTINodeProblems()) {
    std::string line = p.Node + ": ";
    if (p.Error == EACCES || p.Error == EPERM) {
      line += p.Group.empty()
                  ? "permission denied"
                  : "permission denied: only members of group " + p.Group +
                        " may use it (sudo adduser $USER " + p.Group + ", then log in again)";
    } else if (p.Error == EBUSY) {
      line += "busy: another program holds it open exclusively";
    } else if (p.Error == 0) {
      line += "the drive did not answer";
    } else {
      line += std::strerror(p.Error);
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string ASPIErrorText() {
  const std::vector<std::string> problems = RecorderProblems();
  return problems.empty() ? std::string(kTextASPIError)
                          : std::string(kTextASPIError) + " - " + problems.front();
}

const char* MicroBurnerVersion() { return MBURN_VERSION; }
