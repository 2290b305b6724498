// Rock Ridge over SUSP: the system use fields of the ISO tree's directory
// records (SP, ER, PX, TF, NM, SL, CE), their placement in the record and in
// continuation areas, and their reading back from an earlier session.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "iso/rockridge_private.h"

namespace {

constexpr size_t kFieldMax = 255;   // a SUSP entry's length byte
constexpr size_t kCELength = 28;
constexpr int kMaxContinuations = 32;  // links of a chain the import follows

std::string Field(const char* Sig, std::string_view Data) {
  std::string f;
  f += Sig[0];
  f += Sig[1];
  f += static_cast<char>(4 + Data.size());
  f += '\1';
  f.append(Data);
  return f;
}

std::string Both32(uint32_t v) {
  uint8_t b[8];
  PutBoth32(b, v);
  return std::string(reinterpret_cast<const char*>(b), 8);
}

// Local TDateTime -> seconds since 1970, for entries that brought no times.
// Asking the system costs a look at the zone's file each time, and a tree
// asks once an entry: the offset from local time is kept for the quarter
// hour of local time it was asked for, as zones change their offsets on
// quarter hours only, and for as long as TZ names the same zone.
int64_t UnixSeconds(TDateTime t) {
  const TDateParts p = DecodeDateTime(t);
  const int64_t local = CivilSeconds(p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second);
  const int64_t slot = local >= 0 ? local / 900 : (local - 899) / 900;
  thread_local int64_t quarter = INT64_MIN, offset = 0;
  thread_local std::string zone;
  const char* tz = std::getenv("TZ");
  if (slot == quarter && zone == (tz != nullptr ? tz : "\n")) return local - offset;
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  tm.tm_isdst = -1;
  const auto seconds = static_cast<int64_t>(std::mktime(&tm));
  if (seconds != -1) {  // -1 may be a failure: not kept
    quarter = slot;
    offset = local - seconds;
    zone = tz != nullptr ? tz : "\n";  // no TZ: the system's zone
  }
  return seconds;
}

std::tm Utc(int64_t Seconds) {
  const auto t = static_cast<std::time_t>(Seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

// The 7-byte form holds the years 1900-2155.
bool FitsShortForm(int64_t Seconds) {
  const std::tm tm = Utc(Seconds);
  return tm.tm_year >= 0 && tm.tm_year <= 255;
}

std::string TimeBytes(int64_t Seconds, bool Long) {
  std::tm tm = Utc(Seconds);
  if (!Long)
    return std::string{static_cast<char>(tm.tm_year), static_cast<char>(tm.tm_mon + 1),
                       static_cast<char>(tm.tm_mday), static_cast<char>(tm.tm_hour),
                       static_cast<char>(tm.tm_min), static_cast<char>(tm.tm_sec), '\0'};
  const int year = std::clamp(tm.tm_year + 1900, 0, 9999);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d00", year, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return std::string(text, 16) + '\0';
}

std::string TFField(int64_t Modify, int64_t Access, int64_t Change) {
  const bool longForm = !FitsShortForm(Modify) || !FitsShortForm(Access) || !FitsShortForm(Change);
  std::string data(1, static_cast<char>(0x02 | 0x04 | 0x08 | (longForm ? 0x80 : 0)));
  for (const int64_t t : {Modify, Access, Change}) data += TimeBytes(t, longForm);
  return Field("TF", data);
}

// Splits Text into entries of Sig with the continue flag on all but the last.
void AppendNM(std::vector<std::string>& Out, const std::string& Name) {
  constexpr size_t kPiece = kFieldMax - 5;
  for (size_t at = 0; at < Name.size(); at += kPiece) {
    const bool more = at + kPiece < Name.size();
    Out.push_back(Field("NM", std::string(1, more ? '\1' : '\0') + Name.substr(at, kPiece)));
  }
}

// SL: the target as component records, packed into as few entries as fit.
// Where an entry ends inside a name, that component carries the continue
// flag and the rest follows in the next entry: readers differ in whether a
// new SL entry starts a new component, but all join a continued one.
void AppendSL(std::vector<std::string>& Out, const std::string& Target) {
  constexpr size_t kRoom = kFieldMax - 5;  // component bytes of one entry
  std::vector<std::string> entries(1);
  size_t last = std::string::npos;  // where the last component of the entry starts
  // A new entry; when the last one would end with a whole name, its last
  // byte moves over, so that the name continues into the new entry.
  auto newEntry = [&entries, &last] {
    std::string moved;
    if (last != std::string::npos) {
      std::string& e = entries.back();
      if (e[last] == '\0' && static_cast<uint8_t>(e[last + 1]) >= 2) {
        moved = std::string{'\0', '\1', e.back()};
        e.pop_back();
        e[last] = '\1';
        e[last + 1] = static_cast<char>(e[last + 1] - 1);
      }
    }
    entries.push_back(moved);
    last = moved.empty() ? std::string::npos : 0;
  };
  auto component = [&](char flags, std::string_view text) {
    if (kRoom - entries.back().size() < 2 + text.size()) newEntry();
    last = entries.back().size();
    entries.back() += std::string{flags, static_cast<char>(text.size())};
    entries.back() += text;
  };
  size_t at = 0;
  if (Target.starts_with('/')) {
    component('\x08', {});
    at = Target.find_first_not_of('/');
  }
  while (at != std::string::npos && at < Target.size()) {
    const size_t end = std::min(Target.find('/', at), Target.size());
    std::string_view part = std::string_view(Target).substr(at, end - at);
    if (part == ".") {
      component('\x02', {});
    } else if (part == "..") {
      component('\x04', {});
    } else {
      // A long name is cut where the entry ends, each piece but the last continued.
      while (true) {
        if (kRoom - entries.back().size() < 3) newEntry();
        const size_t n = std::min({part.size(), kRoom - entries.back().size() - 2, size_t{255}});
        component(n < part.size() ? '\x01' : '\0', part.substr(0, n));
        if (n == part.size()) break;
        part.remove_prefix(n);
      }
    }
    at = Target.find_first_not_of('/', end);
  }
  for (size_t i = 0; i < entries.size(); ++i)
    Out.push_back(Field("SL", std::string(1, i + 1 < entries.size() ? '\1' : '\0') + entries[i]));
}

std::string ERField() {
  static const std::string id = "IEEE_P1282";
  static const std::string text = "THE IEEE P1282 PROTOCOL PROVIDES SUPPORT FOR POSIX FILE SYSTEM SEMANTICS.";
  static const std::string source =
      "PLEASE CONTACT THE IEEE STANDARDS DEPARTMENT, PISCATAWAY, NJ, USA FOR THE P1282 STANDARD.";
  std::string data{static_cast<char>(id.size()), static_cast<char>(text.size()),
                   static_cast<char>(source.size()), '\1'};
  return Field("ER", data + id + text + source);
}

}  // namespace

int64_t CivilSeconds(int64_t Year, int Month, int Day, int Hour, int Minute, int Second) {
  const int64_t y = Month <= 2 ? Year - 1 : Year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (Month + (Month > 2 ? -3 : 9)) + 2) / 5 + Day - 1;
  const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  return days * 86400 + int64_t{Hour} * 3600 + Minute * 60 + Second;
}

int64_t RockRidgeSeconds(TDateTime Local) { return UnixSeconds(Local); }

std::vector<std::string> RockRidgeFields(const TRockRidgeRecord& Record) {
  std::vector<std::string> out;
  if (Record.RootSelf) out.push_back(Field("SP", std::string{'\xBE', '\xEF', '\0'}));
  const bool present = Record.RR != nullptr && Record.RR->Present;
  const bool link = present && !Record.RR->Link.empty() && !Record.Directory;
  uint32_t mode = Record.Directory ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  if (present) {
    // The type is what the record is; the permission bits are the source's.
    const uint32_t type = Record.Directory ? S_IFDIR : link ? S_IFLNK : S_IFREG;
    mode = type | (Record.RR->Mode & 07777);
  }
  out.push_back(Field("PX", Both32(mode) + Both32(Record.Links) + Both32(present ? Record.RR->Uid : 0) +
                                Both32(present ? Record.RR->Gid : 0) + Both32(Record.Serial)));
  if (present) {
    out.push_back(TFField(Record.RR->Modify, Record.RR->Access, Record.RR->Change));
  } else {
    const int64_t t = UnixSeconds(Record.DateTime);
    out.push_back(TFField(t, t, t));
  }
  if (!Record.DotRecord) AppendNM(out, present && !Record.RR->Name.empty() ? Record.RR->Name : Record.Name);
  if (link) AppendSL(out, Record.RR->Link);
  if (Record.RootSelf) out.push_back(ERField());
  return out;
}

std::string PlaceSystemUse(const std::vector<std::string>& Fields, size_t Room, TContinuation& Cont) {
  size_t total = 0;
  for (const std::string& f : Fields) total += f.size();
  std::string inlined;
  size_t next = 0;
  if (total <= Room) {
    for (const std::string& f : Fields) inlined += f;
    next = Fields.size();
  } else {
    while (next < Fields.size() && inlined.size() + Fields[next].size() + kCELength <= Room)
      inlined += Fields[next++];
  }
  // The pieces: each as many fields as a sector holds, a CE to the next.
  std::vector<std::string> pieces;
  while (next < Fields.size()) {
    std::string piece;
    size_t rest = 0;
    for (size_t i = next; i < Fields.size(); ++i) rest += Fields[i].size();
    const size_t limit = rest <= static_cast<size_t>(kSectorSize) ? kSectorSize : kSectorSize - kCELength;
    while (next < Fields.size() && piece.size() + Fields[next].size() <= limit) piece += Fields[next++];
    pieces.push_back(std::move(piece));
  }
  // Their places, a piece never crossing a sector, and the CE of each link.
  std::vector<int64_t> at(pieces.size());
  std::vector<size_t> length(pieces.size());
  int64_t used = Cont.Used;
  for (size_t i = 0; i < pieces.size(); ++i) {
    length[i] = pieces[i].size() + (i + 1 < pieces.size() ? kCELength : 0);
    const int64_t left = kSectorSize - used % kSectorSize;
    if (static_cast<int64_t>(length[i]) > left) used += left;
    at[i] = used;
    used += static_cast<int64_t>(length[i]);
  }
  auto ce = [&Cont, &at, &length](size_t i) {
    return Field("CE", Both32(Cont.Base + static_cast<uint32_t>(at[i] / kSectorSize)) +
                           Both32(static_cast<uint32_t>(at[i] % kSectorSize)) +
                           Both32(static_cast<uint32_t>(length[i])));
  };
  if (!pieces.empty()) inlined += ce(0);
  if (Cont.Out != nullptr) {
    int64_t pos = Cont.Used;
    for (size_t i = 0; i < pieces.size(); ++i) {
      Cont.Out->WriteZeros(static_cast<size_t>(at[i] - pos));
      Cont.Out->Write(pieces[i].data(), pieces[i].size());
      if (i + 1 < pieces.size()) {
        const std::string link = ce(i + 1);
        Cont.Out->Write(link.data(), link.size());
      }
      pos = at[i] + static_cast<int64_t>(length[i]);
    }
  }
  Cont.Used = used;
  if (inlined.size() % 2 != 0) inlined += '\0';
  return inlined;
}

// ---------------------------------------------------------------- reading
namespace {

uint32_t LE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

int64_t ShortTime(const uint8_t* p) {
  std::tm tm{};
  tm.tm_year = p[0];
  tm.tm_mon = std::clamp<int>(p[1], 1, 12) - 1;
  tm.tm_mday = std::clamp<int>(p[2], 1, 31);
  tm.tm_hour = std::min<int>(p[3], 23);
  tm.tm_min = std::min<int>(p[4], 59);
  tm.tm_sec = std::min<int>(p[5], 59);
  const auto offset = static_cast<int8_t>(p[6]);
  return static_cast<int64_t>(timegm(&tm)) - int64_t{offset} * 900;
}

int64_t LongTime(const uint8_t* p) {
  auto number = [p](int from, int count) {
    int v = 0;
    for (int i = from; i < from + count; ++i) v = v * 10 + (p[i] >= '0' && p[i] <= '9' ? p[i] - '0' : 0);
    return v;
  };
  std::tm tm{};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = std::clamp(number(4, 2), 1, 12) - 1;
  tm.tm_mday = std::clamp(number(6, 2), 1, 31);
  tm.tm_hour = std::min(number(8, 2), 23);
  tm.tm_min = std::min(number(10, 2), 59);
  tm.tm_sec = std::min(number(12, 2), 59);
  const auto offset = static_cast<int8_t>(p[16]);
  return static_cast<int64_t>(timegm(&tm)) - int64_t{offset} * 900;
}

void ReadTF(std::span<const uint8_t> d, TRockRidge& rr) {
  if (d.empty()) return;
  const uint8_t flags = d[0];
  const size_t width = (flags & 0x80) != 0 ? 17 : 7;
  size_t at = 1;
  for (int bit = 0; bit < 7; ++bit) {
    if ((flags & (1 << bit)) == 0) continue;
    if (at + width > d.size()) return;
    const int64_t t = width == 17 ? LongTime(&d[at]) : ShortTime(&d[at]);
    if (bit == 1) rr.Modify = t;
    if (bit == 2) rr.Access = t;
    if (bit == 3) rr.Change = t;
    at += width;
  }
}

// SL components appended to the target being rebuilt; Open tells that the
// last element continues in the next component.
void ReadSL(std::span<const uint8_t> d, std::string& target, bool& open) {
  size_t at = 1;
  while (at + 2 <= d.size()) {
    const uint8_t flags = d[at];
    const size_t n = d[at + 1];
    if (at + 2 + n > d.size()) return;
    const bool join = open;
    if (!join && !target.empty() && target.back() != '/') target += '/';
    if ((flags & 0x08) != 0) target = "/";
    else if ((flags & 0x02) != 0) target += ".";
    else if ((flags & 0x04) != 0) target += "..";
    else target.append(reinterpret_cast<const char*>(&d[at + 2]), n);
    open = (flags & 0x01) != 0;
    at += 2 + n;
    if (target.size() > 4096) return;
  }
}

}  // namespace

TRockRidgeRead ParseSystemUse(std::span<const uint8_t> Area,
                              const std::function<bool(uint32_t, std::vector<uint8_t>&)>& ReadSector) {
  TRockRidgeRead out;
  bool linkOpen = false, any = false;
  std::vector<uint8_t> sector;
  std::span<const uint8_t> area = Area;
  for (int links = 0; links <= kMaxContinuations; ++links) {
    uint32_t ceBlock = 0, ceOffset = 0, ceLength = 0;
    bool ce = false;
    size_t at = 0;
    while (at + 4 <= area.size()) {
      const uint8_t* f = &area[at];
      const size_t length = f[2];
      if (length < 4 || at + length > area.size()) break;
      const std::span<const uint8_t> data = area.subspan(at + 4, length - 4);
      const std::string sig(reinterpret_cast<const char*>(f), 2);
      if (sig == "ST") break;
      if (sig == "SP" && data.size() >= 3 && data[0] == 0xBE && data[1] == 0xEF) {
        out.HasSP = true;
        out.SkipOut = data[2];
      } else if (sig == "CE" && data.size() >= 24) {
        ce = true;
        ceBlock = LE32(&data[0]);
        ceOffset = LE32(&data[8]);
        ceLength = LE32(&data[16]);
      } else if (sig == "PX" && data.size() >= 32) {
        any = true;
        out.RR.Mode = LE32(&data[0]);
        out.RR.Uid = LE32(&data[16]);
        out.RR.Gid = LE32(&data[24]);
      } else if (sig == "TF") {
        any = out.HasTimes = true;
        ReadTF(data, out.RR);
      } else if (sig == "NM" && !data.empty() && (data[0] & 0x06) == 0) {
        if (out.RR.Name.size() + data.size() <= 1024)
          out.RR.Name.append(reinterpret_cast<const char*>(data.data()) + 1, data.size() - 1);
      } else if (sig == "SL" && !data.empty()) {
        ReadSL(data, out.RR.Link, linkOpen);
        if (out.RR.Link.empty()) out.RR.Link = ".";  // a link to nothing recognisable
      }
      at += length;
    }
    if (!ce) break;
    // The continuation: one sector, the piece inside it.
    if (ceOffset >= kSectorSize || ceLength > kSectorSize - ceOffset || !ReadSector(ceBlock, sector) ||
        sector.size() < static_cast<size_t>(kSectorSize)) {
      out.Failed = true;
      break;
    }
    area = std::span<const uint8_t>(sector).subspan(ceOffset, ceLength);
  }
  out.RR.Present = any;
  return out;
}
