// Parsing of the drive list: drives separated by ';', each
// IMAGE[:MEDIA][,key=value...], and the keys that set a drive's options.
#include <charconv>

#include "vrecorder/vrec_internal.h"

namespace vrec {

namespace {

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

template <typename T>
bool Number(const std::string& v, T* out, int base = 10) {
  T n{};
  const char* end = v.data() + v.size();
  auto [p, ec] = std::from_chars(v.data(), end, n, base);
  if (ec != std::errc() || p != end || v.empty()) return false;
  *out = n;
  return true;
}

bool Flag(const std::string& v, bool* out) {
  if (v == "1" || v == "yes" || v == "on" || v == "true") return *out = true, true;
  if (v == "0" || v == "no" || v == "off" || v == "false") return *out = false, true;
  return false;
}

// A key that clears with -1 or an empty value.
bool Address(const std::string& v, int64_t* out) {
  if (v.empty() || v == "-1") return *out = -1, true;
  uint32_t n = 0;
  if (!Number(v, &n)) return false;
  *out = n;
  return true;
}

// read-error: FIRST[-LAST] ranges joined by '+'; -1 or empty clears.
bool SectorRanges(const std::string& v, std::vector<std::pair<uint32_t, uint32_t>>* out) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  if (!v.empty() && v != "-1") {
    for (size_t at = 0; at <= v.size();) {
      size_t plus = v.find('+', at);
      if (plus == std::string::npos) plus = v.size();
      const std::string item = v.substr(at, plus - at);
      at = plus + 1;
      const size_t dash = item.find('-');
      uint32_t first = 0, last = 0;
      if (!Number(item.substr(0, dash), &first)) return false;
      last = first;
      if (dash != std::string::npos && (!Number(item.substr(dash + 1), &last) || last < first)) return false;
      ranges.emplace_back(first, last);
    }
  }
  *out = std::move(ranges);
  return true;
}

}  // namespace

bool ApplyOption(TDriveOptions& o, const std::string& key, const std::string& value,
                 std::string* error) {
  bool ok = true;
  if (key == "vendor") o.Vendor = value.substr(0, 8);
  else if (key == "product") o.Product = value.substr(0, 16);
  else if (key == "revision") o.Revision = value.substr(0, 4);
  else if (key == "type") {
    ok = Number(value, &o.DeviceType) && (o.DeviceType == 4 || o.DeviceType == 5);
  } else if (key == "dvd-writer") ok = Flag(value, &o.DvdWriter);
  else if (key == "bd-writer") {
    bool v = false;
    ok = Flag(value, &v);
    if (ok) o.BdWriter = v;
  }
  else if (key == "page30") ok = Flag(value, &o.Page30);
  else if (key == "sync") ok = Flag(value, &o.Sync);
  else if (key == "direct") ok = Flag(value, &o.Direct);
  else if (key == "load-ms") ok = Number(value, &o.LoadMs);
  else if (key == "long-write-ms") ok = Number(value, &o.LongWriteMs);
  else if (key == "format-ms") ok = Number(value, &o.FormatMs);
  else if (key == "erase-ms") ok = Number(value, &o.EraseMs);
  else if (key == "buffer-kb") ok = Number(value, &o.BufferKb) && o.BufferKb >= 64 && o.BufferKb <= 1048576;
  else if (key == "write-speed") ok = Number(value, &o.WriteSpeed);
  else if (key == "busy") ok = Number(value, &o.Busy);
  else if (key == "not-ready") ok = Flag(value, &o.NotReady);
  else if (key == "write-error") ok = Address(value, &o.WriteError);
  else if (key == "read-error") ok = SectorRanges(value, &o.ReadErrors);
  else if (key == "read-retries") ok = Number(value, &o.ReadRetries);
  else if (key == "capacity") ok = Number(value, &o.Capacity) && o.Capacity > 0;
  else if (key == "corrupt-at") ok = Address(value, &o.CorruptAt);
  else if (key == "hang") {
    if (value.empty() || value == "-1") o.Hang = -1;
    else ok = Number(value, &o.Hang, 16) && o.Hang >= 0 && o.Hang <= 0xFF;
  } else if (key == "hang-count") ok = Number(value, &o.HangCount);
  else if (key == "fail") {
    if (value.empty() || value == "-1") o.Fail = -1;
    else ok = Number(value, &o.Fail, 16) && o.Fail >= 0 && o.Fail <= 0xFF;
  } else if (key == "new") ok = Flag(value, &o.New);
  else if (key == "no-bufe") ok = Flag(value, &o.NoBufe);
  else if (key == "slow-drain") ok = Number(value, &o.SlowDrain);
  else if (key == "log") o.LogPath = value;
  else return Fail(error, "unknown virtual drive key \"" + key + "\"");
  if (!ok) return Fail(error, "invalid value \"" + value + "\" for virtual drive key \"" + key + "\"");
  return true;
}

bool ParseDriveList(const std::string& config, std::vector<TDriveOptions>* drives,
                    std::string* error) {
  drives->clear();
  size_t pos = 0;
  while (pos <= config.size()) {
    size_t semi = config.find(';', pos);
    if (semi == std::string::npos) semi = config.size();
    const std::string item = Trim(config.substr(pos, semi - pos));
    pos = semi + 1;
    if (item.empty()) continue;
    TDriveOptions o;
    const size_t comma = item.find(',');
    std::string head = Trim(item.substr(0, comma));
    const size_t colon = head.rfind(':');
    if (colon != std::string::npos) {
      const std::string medium = head.substr(colon + 1);
      auto m = MediumByName(medium);
      if (!m) return Fail(error, "unknown medium \"" + medium + "\" for virtual drive \"" + head + "\"");
      o.Medium = m;
      head = head.substr(0, colon);
    }
    if (head.empty()) return Fail(error, "virtual drive without an image: \"" + item + "\"");
    o.Image = head;
    size_t kv = comma;
    while (kv != std::string::npos) {
      size_t next = item.find(',', kv + 1);
      const std::string pair = Trim(item.substr(kv + 1, next == std::string::npos ? std::string::npos : next - kv - 1));
      kv = next;
      if (pair.empty()) continue;
      const size_t eq = pair.find('=');
      // A bare "new" asks for a blank disc, as "new=1" does.
      if (pair == "new") {
        o.New = true;
        continue;
      }
      if (eq == std::string::npos)
        return Fail(error, "virtual drive option without a value: \"" + pair + "\"");
      if (!ApplyOption(o, Trim(pair.substr(0, eq)), Trim(pair.substr(eq + 1)), error)) return false;
    }
    if (drives->size() >= 8) return Fail(error, "at most 8 virtual drives (targets 0 to 7)");
    drives->push_back(std::move(o));
  }
  return true;
}

}  // namespace vrec

bool VRecCheckConfig(const std::string& config, std::string* error) {
  std::vector<vrec::TDriveOptions> drives;
  return vrec::ParseDriveList(config, &drives, error);
}
