// The small conversions every writer of the image uses: sector arithmetic,
// byte orders, the ISO and Joliet text fields, names, and the two date forms.
#include <cstdio>
#include <cstring>

#include "iso/iso.h"

std::string ImageTooLargeText(int64_t EndSector) {
  return "THE IMAGE ENDS AT SECTOR " + std::to_string(EndSector) + ": AT MOST " +
         std::to_string(kLastAddressableSector) + " SECTORS CAN BE ADDRESSED";
}

int64_t Sectors(int64_t Bytes) {
  if (Bytes == 0) return 0;
  return Bytes / kSectorSize + (Bytes % kSectorSize != 0 ? 1 : 0);
}

uint16_t Swap16(uint16_t Value) { return static_cast<uint16_t>((Value >> 8) | (Value << 8)); }

uint32_t Swap32(uint32_t Value) {
  return (Value >> 24) | ((Value >> 8) & 0x0000FF00u) | ((Value << 8) & 0x00FF0000u) |
         (Value << 24);
}

void PutLE16(uint8_t* Dest, uint16_t Value) {
  Dest[0] = static_cast<uint8_t>(Value);
  Dest[1] = static_cast<uint8_t>(Value >> 8);
}

void PutBE16(uint8_t* Dest, uint16_t Value) {
  Dest[0] = static_cast<uint8_t>(Value >> 8);
  Dest[1] = static_cast<uint8_t>(Value);
}

void PutLE32(uint8_t* Dest, uint32_t Value) {
  for (int i = 0; i < 4; ++i) Dest[i] = static_cast<uint8_t>(Value >> (8 * i));
}

void PutBE32(uint8_t* Dest, uint32_t Value) {
  for (int i = 0; i < 4; ++i) Dest[i] = static_cast<uint8_t>(Value >> (8 * (3 - i)));
}

void PutBoth16(uint8_t* Dest, uint16_t Value) {
  PutLE16(Dest, Value);
  PutBE16(Dest + 2, Value);
}

void PutBoth32(uint8_t* Dest, uint32_t Value) {
  PutLE32(Dest, Value);
  PutBE32(Dest + 4, Value);
}

void PutISOText(const std::string& Text, uint8_t* Dest, size_t Width) {
  const size_t n = std::min(Text.size(), Width);
  std::memcpy(Dest, Text.data(), n);
  std::memset(Dest + n, ' ', Width - n);
}

namespace {

// Appends the UTF-16 units of the code point.
void AppendUnit(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view Text) {
  std::u16string out;
  out.reserve(Text.size());
  const auto* s = reinterpret_cast<const uint8_t*>(Text.data());
  const size_t n = Text.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1, cp = b & 0x1F, minimum = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2, cp = b & 0x0F, minimum = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3, cp = b & 0x07, minimum = 0x10000;
    } else {
      out.push_back(u'\uFFFD');  // a stray continuation or an impossible lead byte
      ++i;
      continue;
    }
    int k = 1;
    for (; k <= extra && i + k < n && (s[i + k] & 0xC0) == 0x80; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    if (k <= extra || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // A broken sequence: its lead byte is replaced, the rest is read anew.
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    AppendUnit(out, cp);
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view Text) {
  std::string out;
  out.reserve(Text.size());
  for (size_t i = 0; i < Text.size(); ++i) {
    char32_t cp = Text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 && Text[i + 1] <= 0xDFFF)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (Text[++i] - 0xDC00);
    else if (cp >= 0xD800 && cp <= 0xDFFF)
      cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

size_t Utf16Length(std::string_view Text) { return Utf8ToUtf16(Text).size(); }

std::string JolietBytes(std::string_view Text) {
  const std::u16string u = Utf8ToUtf16(Text);
  std::string out(u.size() * 2, '\0');
  for (size_t i = 0; i < u.size(); ++i) {
    out[2 * i] = static_cast<char>(u[i] >> 8);
    out[2 * i + 1] = static_cast<char>(u[i] & 0xFF);
  }
  return out;
}

void PutJolietText(const std::string& Text, uint8_t* Dest, size_t Width) {
  std::u16string u = Utf8ToUtf16(Text);
  if (u.size() * 2 < Width) u.append((Width - u.size() * 2 + 1) / 2, u' ');
  // A field that ends inside a surrogate pair ends with a space instead: half
  // a character is no character.
  if (const size_t last = Width / 2; last > 0 && last < u.size() && u[last - 1] >= 0xD800 && u[last - 1] <= 0xDBFF)
    u[last - 1] = u' ';
  for (size_t i = 0; i < Width; ++i) {
    const char16_t c = u[i / 2];
    Dest[i] = static_cast<uint8_t>(i % 2 == 0 ? c >> 8 : c & 0xFF);
  }
}

void PutRecordingDate(uint8_t* Record, TDateTime DateTime) {
  const TDateParts p = DecodeDateTime(DateTime);
  Record[18] = static_cast<uint8_t>((p.Year - 1900) & 0xFF);
  Record[19] = static_cast<uint8_t>(p.Month);
  Record[20] = static_cast<uint8_t>(p.Day);
  Record[21] = static_cast<uint8_t>(p.Hour);
  Record[22] = static_cast<uint8_t>(p.Minute);
  Record[23] = static_cast<uint8_t>(p.Second);
  Record[24] = static_cast<uint8_t>(TimeZoneOffset & 0xFF);
}

void PutDescriptorDate(uint8_t* Dest, TDateTime DateTime) {
  const TDateParts p = DecodeDateTime(DateTime);
  char ms[16];
  std::snprintf(ms, sizeof ms, "%02d", p.Millisecond);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%c%c", p.Year % 10000, p.Month, p.Day,
                p.Hour, p.Minute, p.Second, ms[0], ms[1]);
  std::memcpy(Dest, text, 16);
  Dest[16] = 0;
}

void PutNoDescriptorDate(uint8_t* Dest) {
  std::memset(Dest, '0', 16);
  Dest[16] = 0;
}

std::string UpperCase(std::string_view Text) {
  std::string out(Text);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string MakeShortName(const std::string& Text) {
  std::string out = UpperCase(std::string_view(Text).substr(0, 13));
  for (char& c : out) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x21 || b > 0x7A) c = '_';
  }
  return out;
}

namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// '*' and '?' glob, case-insensitive for a-z; iterative with one backtrack point.
bool Glob(std::string_view name, std::string_view mask) {
  size_t n = 0, m = 0, starM = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || Fold(mask[m]) == Fold(name[n]))) {
      ++n, ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(std::string_view Name, std::string_view Mask) {
  if (Mask.empty()) return true;
  if (Glob(Name, Mask)) return true;
  // Windows rules: a name without a dot matches as if it ended in "." ("*.*"
  // matches every name, "*." matches names without an extension).
  if (Name.find('.') == std::string_view::npos) {
    std::string dotted(Name);
    dotted += '.';
    if (Glob(dotted, Mask)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- packed DOS dates
int32_t DateTimeToFileDate(TDateTime DateTime) { return PackFileDate(DecodeDateTime(DateTime)); }

int32_t PackFileDate(TDateParts p) {
  if (p.Year < 1980) p = TDateParts{1980, 1, 1, 0, 0, 0, 0};
  if (p.Year > 2107) p = TDateParts{2107, 12, 31, 23, 59, 58, 0};
  const uint32_t date = (static_cast<uint32_t>(p.Year - 1980) << 9) |
                        (static_cast<uint32_t>(p.Month) << 5) | static_cast<uint32_t>(p.Day);
  const uint32_t time = (static_cast<uint32_t>(p.Hour) << 11) |
                        (static_cast<uint32_t>(p.Minute) << 5) |
                        static_cast<uint32_t>(p.Second / 2);
  return static_cast<int32_t>((date << 16) | time);
}

bool TryFileDateToDateTime(int32_t FileDate, TDateTime& DateTime) {
  const auto v = static_cast<uint32_t>(FileDate);
  TDateParts p;
  p.Year = static_cast<int>((v >> 25) & 0x7F) + 1980;
  p.Month = static_cast<int>((v >> 21) & 0x0F);
  p.Day = static_cast<int>((v >> 16) & 0x1F);
  p.Hour = static_cast<int>((v >> 11) & 0x1F);
  p.Minute = static_cast<int>((v >> 5) & 0x3F);
  p.Second = static_cast<int>(v & 0x1F) * 2;
  p.Millisecond = 0;
  if (!IsValidDateParts(p)) {
    DateTime = 0;
    return false;
  }
  DateTime = EncodeDateTime(p);
  return true;
}

TDateTime FileDateToDateTime(int32_t FileDate) {
  TDateTime t = 0;
  TryFileDateToDateTime(FileDate, t);
  return t;
}
