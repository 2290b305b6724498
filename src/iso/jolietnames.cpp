// Joliet names unique within their directory. The tree keeps long names apart
// by their bytes, but the readers of the Joliet tree do not: bytes that are
// not UTF-8 all become U+FFFD, and the Linux kernel and Windows compare names
// without case and without a trailing ".". Of two entries that end up with one
// name there, a reader opens the first for both or extracts one of them only.
// The later twin is written under a name of its own; the long name (and with
// it the ISO tree's Rock Ridge name) stays as it is.
#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "iso/iso.h"

namespace {

// The upper case of a UTF-16 unit, for the letters that those readers take
// as one: ASCII (the kernel) and, as Windows, Latin-1, Latin Extended-A and
// basic Greek and Cyrillic. Every other unit stays.
char16_t UpperUnit(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17E) {
    // Pairs, the capital first; the two runs from 0139h and 0179h start on an odd unit.
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x178) return c;
    const bool oddPairs = (c >= 0x139 && c <= 0x148) || c >= 0x179;
    return (c % 2 == 1) != oddPairs ? static_cast<char16_t>(c - 1) : c;
  }
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

// The name as those readers compare it.
std::u16string CompareKey(std::u16string name) {
  while (name.size() > 1 && name.back() == u'.') name.pop_back();
  for (char16_t& c : name) c = UpperUnit(c);
  return name;
}

// A hash of the key of a long name. Most names are ASCII: their key is
// hashed straight from the bytes, the same units without the conversion.
uint64_t KeyHash(const std::string& longName) {
  uint64_t h = 1469598103934665603ull;
  auto add = [&h](char16_t c) {
    h ^= c;
    h *= 1099511628211ull;
  };
  if (std::any_of(longName.begin(), longName.end(), [](char c) { return (c & 0x80) != 0; })) {
    for (const char16_t c : CompareKey(Utf8ToUtf16(longName))) add(c);
    return h;
  }
  size_t n = longName.size();
  while (n > 1 && longName[n - 1] == '.') --n;
  for (size_t i = 0; i < n; ++i) add(UpperUnit(static_cast<char16_t>(longName[i])));
  return h;
}

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// The N-th name to try for a twin: "~N" before a file's extension (kept when
// short), the stem cut so that the name is no longer than 64 units or, if it
// was longer, than it was; so it still fits its record.
std::u16string TwinName(const std::u16string& name, bool isDir, uint32_t n) {
  const size_t dot = isDir ? std::u16string::npos : name.rfind(u'.');
  const std::u16string ext = dot != std::u16string::npos && name.size() - dot <= 16 ? name.substr(dot) : u"";
  std::u16string stem = name.substr(0, name.size() - ext.size());
  std::u16string tail = u"~";
  for (const char c : std::to_string(n)) tail.push_back(static_cast<char16_t>(c));
  tail += ext;
  const size_t limit = std::max<size_t>(64, name.size());
  if (stem.size() + tail.size() > limit) {
    stem.resize(limit - tail.size());
    if (!stem.empty() && stem.back() >= 0xD800 && stem.back() <= 0xDBFF) stem.pop_back();  // no half pair
  }
  return stem + tail;
}

struct TName {
  std::u16string Key, Name;
  const TFEntry* Entry;
};

// Orders twins: by UTF-16 name (the directory's order), then by the bytes of
// the long name (all that tells apart names whose bytes are not UTF-8), then
// by creation; the first keeps its name.
bool NameLess(const TName& a, const TName& b) {
  if (a.Name != b.Name) return a.Name < b.Name;
  if (a.Entry->LongName != b.Entry->LongName) return a.Entry->LongName < b.Entry->LongName;
  return a.Entry->Serial < b.Entry->Serial;
}

// The item a message names: the source, or the path in the tree.
std::string ItemOf(const TDEntry& dir, const TFEntry& e) {
  if (e.SubDir != nullptr) return e.SubDir->Path;
  if (!e.SourcePath.Empty()) return e.SourceText();
  return (dir.Parent == &dir ? "" : dir.Path) + "\\" + e.LongName;
}

// Renames every twin of dir but the first of each name.
void RenameTwins(VEZEZadira& c, const TDEntry& dir) {
  std::vector<TName> names;
  for (const TFEntry* e = dir.Entries; e != nullptr; e = e->Next)
    if (!IsDotName(e->LongName)) {
      std::u16string name = Utf8ToUtf16(e->LongName);
      names.push_back({CompareKey(name), std::move(name), e});
    }
  std::sort(names.begin(), names.end(),
            [](const TName& a, const TName& b) { return a.Key != b.Key ? a.Key < b.Key : NameLess(a, b); });
  std::unordered_set<std::u16string> taken;
  std::vector<const TName*> later;
  for (size_t i = 0; i < names.size(); ++i) {
    taken.insert(names[i].Key);
    if (i > 0 && names[i].Key == names[i - 1].Key) later.push_back(&names[i]);
  }
  // In name order, so that cut stems that meet get their numbers alike every time.
  std::sort(later.begin(), later.end(), [](const TName* a, const TName* b) { return NameLess(*a, *b); });
  for (const TName* t : later) {
    const bool isDir = (t->Entry->Attr & faDirectory) != 0;
    for (uint32_t n = 1;; ++n) {
      const std::u16string candidate = TwinName(t->Name, isDir, n);
      if (!taken.insert(CompareKey(candidate)).second) continue;
      const std::string& renamed = c.JolietRenamed[t->Entry] = Utf16ToUtf8(candidate);
      c.DebugMessage("SAME JOLIET NAME AS ANOTHER ENTRY, WRITTEN AS " + renamed + ": " + ItemOf(dir, *t->Entry),
                     MSG_FILE);
      break;
    }
  }
}

}  // namespace

std::string_view VEZEZadira::JolietName(const TFEntry& Entry) const {
  if (JolietRenamed.empty()) return Entry.LongName;
  const auto it = JolietRenamed.find(&Entry);
  return it != JolietRenamed.end() ? std::string_view(it->second) : Entry.LongName.view();
}

std::string_view VEZEZadira::JolietName(const TDEntry& Dir) const {
  if (Dir.OwnEntry != nullptr && !JolietRenamed.empty())
    if (const auto it = JolietRenamed.find(Dir.OwnEntry); it != JolietRenamed.end()) return it->second;
  return Dir.LongName;
}

void VEZEZadira::MakeJolietNamesUnique() {
  JolietRenamed.clear();
  if (!JolietFileSystem) return;
  // Most directories hold no twins: a hash of each key finds those that may,
  // and only there are the keys themselves compared.
  std::vector<uint64_t> hashes;
  for (const auto& d : DirTable) {
    hashes.clear();
    for (const TFEntry* e = d->Entries; e != nullptr; e = e->Next)
      if (!IsDotName(e->LongName)) hashes.push_back(KeyHash(e->LongName));
    std::sort(hashes.begin(), hashes.end());
    if (std::adjacent_find(hashes.begin(), hashes.end()) != hashes.end()) RenameTwins(*this, *d);
  }
}
