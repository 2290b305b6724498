// CDB handling of the emulated recorder: the checks every command passes
// (busy, unit attention, medium present, becoming ready) and the commands about
// the drive itself: identification, sense, loading, mode pages, features, speeds.
#include <algorithm>
#include <cstring>

#include "common/common.h"
#include "vrecorder/vrec_internal.h"

namespace vrec {

void Reply(TCommand& c, std::span<const uint8_t> reply) {
  const size_t n = std::min(reply.size(), c.Data.size());
  if (n) std::memcpy(c.Data.data(), reply.data(), n);
}

namespace {

// Commands that need a disc in the drive, and that a drive busy with a long
// write, a format or a load refuses with NOT READY.
bool NeedsMedium(uint8_t op) {
  switch (op) {
    case 0x00: case 0x01: case 0x04: case 0x23: case 0x28: case 0x2A: case 0x35: case 0x43:
    case 0x51: case 0x52: case 0x53: case 0x54: case 0x5B: case 0xA1: case 0xBF:
      return true;
    default:
      return false;
  }
}

// The NOT READY reason of the moment, if any.
std::optional<TSense> NotReadyState(TVDrive& d) {
  if (d.Options.NotReady) return TSense{2, 0x04, 0x00};
  if (!d.Loaded) return TSense{2, 0x3A, 0x02};  // tray open
  if (d.Disc.Medium == TMedium::None) return TSense{2, 0x3A, 0x01};
  if (Clock().NowMs() < d.NotReadyUntil) return d.NotReadySense;
  return std::nullopt;
}

struct TSpeeds {
  uint16_t Read, Write;
};

TSpeeds MaxSpeeds(const TVDrive& d) {
  uint16_t read = 7056, write = 7056;  // 48x CD
  switch (d.Disc.Medium) {
    case TMedium::CdRw: write = 5645; break;  // 32x
    case TMedium::DvdRom: case TMedium::DvdR: case TMedium::DvdPlusR:
      read = write = 22160; break;             // 16x DVD
    case TMedium::DvdRw: case TMedium::DvdRwSeq: read = 22160; write = 8310; break;  // 6x
    case TMedium::DvdPlusRw: read = 22160; write = 11080; break;                     // 8x
    case TMedium::DvdRam: read = 22160; write = 6925; break;                         // 5x
    case TMedium::BdRom: case TMedium::BdR: case TMedium::BdRDl:
      read = write = 35960; break;                                                   // 8x BD
    case TMedium::BdRe: read = 35960; write = 8990; break;                           // 2x
    default: break;
  }
  if (IsBd(d.Disc.Medium)) {
    if (!d.BdWriter()) read = write = 0;
  } else if (!d.Disc.Info().Cd && d.Disc.Medium != TMedium::None && !d.Options.DvdWriter) {
    write = 0;
  }
  if (d.Options.WriteSpeed && write) write = uint16_t(std::min<uint32_t>(write, d.Options.WriteSpeed));
  return {read, write};
}

std::vector<uint8_t> CapabilitiesPage(const TVDrive& d) {
  std::vector<uint8_t> p(30, 0);
  const TSpeeds max = MaxSpeeds(d);
  p[0] = 0x2A;
  p[1] = 0x1C;
  p[2] = 0x3F;  // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R, DVD-RAM
  p[3] = 0x07 | (d.Options.DvdWriter ? 0x30 : 0x00);  // CD-R, CD-RW, test write, DVD-R, DVD-RAM
  p[4] = (d.Options.NoBufe ? 0x00 : 0x80) | 0x70;
  p[6] = 0x29 | (d.Prevent ? 0x02 : 0x00);  // tray, eject, lock
  Put16(&p[8], max.Read);
  Put16(&p[12], d.Options.BufferKb);
  Put16(&p[14], std::min(d.ReadSpeed, max.Read));
  Put16(&p[18], max.Write);
  Put16(&p[20], std::min(d.WriteSpeed, max.Write));
  Put16(&p[28], std::min(d.WriteSpeed, max.Write));
  return p;
}

TSense ModeSense(TVDrive& d, TCommand& c) {
  const uint8_t pc = c.Cdb[2] >> 6, page = c.Cdb[2] & 0x3F;
  if (pc == 3) return {5, 0x39, 0x00};  // saved values not supported
  std::vector<uint8_t> out(8, 0);
  auto add = [&](uint8_t code) {
    std::vector<uint8_t> p;
    if (code == 0x2A) {
      p = CapabilitiesPage(d);
      if (pc == 1) std::fill(p.begin() + 2, p.end(), 0);  // nothing changeable
    } else if (code == 0x05) {
      p.assign(d.WriteParams.begin(), d.WriteParams.end());
      if (pc == 2) {
        TVDrive fresh(d.Options);
        fresh.DefaultWriteParams();
        p.assign(fresh.WriteParams.begin(), fresh.WriteParams.end());
      } else if (pc == 1) {
        std::fill(p.begin() + 2, p.end(), 0);
        for (int i : {2, 3, 4, 5, 7, 8, 10, 11, 12, 13, 14, 15}) p[size_t(i)] = 0xFF;
      }
    } else if (code == 0x30) {
      p = {0x30, 0x02, 0x00, 0x00};
    }
    out.insert(out.end(), p.begin(), p.end());
  };
  if (page == 0x2A || page == 0x05) add(page);
  else if (page == 0x30 && d.Options.Page30) add(0x30);
  else if (page == 0x3F) {
    add(0x05);
    add(0x2A);
    if (d.Options.Page30) add(0x30);
  } else {
    return kInvalidField;
  }
  Put16(&out[0], uint32_t(out.size() - 2));
  c.Data = c.Data.first(std::min<size_t>(c.Data.size(), Get16(&c.Cdb[7])));
  Reply(c, out);
  return kOk;
}

TSense ModeSelect(TVDrive& d, TCommand& c) {
  const uint32_t length = Get16(&c.Cdb[7]);
  if (length == 0) return kOk;
  if (length > c.Data.size()) return kInvalidField;
  const uint8_t* p = c.Data.data();
  if (length < 8) return {5, 0x1A, 0x00};  // parameter list length error
  uint32_t pos = 8 + Get16(&p[6]);
  while (pos + 2 <= length) {
    const uint8_t code = p[pos] & 0x3F;
    const uint32_t pageLength = p[pos + 1] + 2u;
    if (pos + pageLength > length) return {5, 0x1A, 0x00};
    if (code != 0x05 || pageLength != d.WriteParams.size()) return kInvalidParam;
    const uint8_t writeType = p[pos + 2] & 0x0F, blockType = p[pos + 4] & 0x0F;
    if (writeType > 4) return kInvalidParam;
    if (!(blockType <= 3 || blockType == 8 || (blockType >= 10 && blockType <= 13))) return kInvalidParam;
    if (!d.Disc.Info().Cd && d.Disc.Medium != TMedium::None && writeType == 3) return kInvalidParam;
    std::memcpy(d.WriteParams.data(), p + pos, d.WriteParams.size());
    d.WriteParams[0] &= 0x3F;
    if (!d.TestWrite()) d.Simulation.reset();
    pos += pageLength;
  }
  return kOk;
}

TSense GetConfiguration(TVDrive& d, TCommand& c) {
  const uint8_t rt = c.Cdb[1] & 0x03;
  const uint32_t start = Get16(&c.Cdb[2]);
  const uint16_t profile = d.Loaded ? d.Disc.Info().Profile : 0;
  std::vector<uint8_t> out(8, 0);
  Put16(&out[6], profile);
  auto feature = [&](uint16_t code, bool current, std::vector<uint8_t> body, uint8_t version) {
    const bool wanted = rt == 2 ? code == start : (code >= start && (rt == 0 || current));
    if (!wanted) return;
    out.push_back(uint8_t(code >> 8));
    out.push_back(uint8_t(code));
    out.push_back(uint8_t(version << 2 | (code < 2 ? 0x02 : 0x00) | (current ? 0x01 : 0x00)));
    out.push_back(uint8_t(body.size()));
    out.insert(out.end(), body.begin(), body.end());
  };
  std::vector<uint8_t> profiles;
  std::vector<uint16_t> known = {0x001B, 0x001A, 0x0014, 0x0013, 0x0012, 0x0011, 0x0010, 0x000A, 0x0009, 0x0008};
  if (d.BdWriter()) known.insert(known.begin(), {0x0043, 0x0041, 0x0040});
  for (uint16_t p : known) {
    profiles.push_back(uint8_t(p >> 8));
    profiles.push_back(uint8_t(p));
    profiles.push_back(p == profile ? 0x01 : 0x00);
    profiles.push_back(0);
  }
  feature(0x0000, true, profiles, 0);
  feature(0x0001, true, {0, 0, 0, 1, 0, 0, 0, 0}, 1);  // core: SCSI
  const TMedium m = d.Loaded ? d.Disc.Medium : TMedium::None;
  if (d.Options.DvdWriter) {
    feature(0x002A, m == TMedium::DvdPlusRw, {0x01, 0x00, 0x00, 0x00}, 0);
    feature(0x002F, m == TMedium::DvdR || m == TMedium::DvdRw || m == TMedium::DvdRwSeq,
            {0x01, 0x00, 0x00, 0x00}, 1);
  }
  if (d.BdWriter()) {
    // BD Read: class 0 bitmaps of the BD-RE, BD-R and BD-ROM versions read;
    // BD Write: the BD-RE and BD-R versions written.
    std::vector<uint8_t> read(28, 0), write(20, 0);
    read[9] = read[17] = read[25] = 0x02;
    write[5] = write[13] = 0x02;
    feature(0x0040, IsBd(m), read, 0);
    feature(0x0041, m == TMedium::BdR || m == TMedium::BdRDl || m == TMedium::BdRe, write, 0);
  }
  Put32(&out[0], uint32_t(out.size() - 4));
  c.Data = c.Data.first(std::min<size_t>(c.Data.size(), Get16(&c.Cdb[7])));
  Reply(c, out);
  return kOk;
}

TSense Inquiry(TVDrive& d, TCommand& c) {
  if (c.Cdb[1] & 0x01) return kInvalidField;  // no vital product data pages
  std::array<uint8_t, 96> r{};
  r[0] = d.Options.DeviceType;
  r[1] = 0x80;  // removable
  r[2] = 0x05;
  r[3] = 0x32;
  r[4] = uint8_t(r.size() - 5);
  auto text = [&](size_t at, size_t width, const std::string& s) {
    for (size_t i = 0; i < width; ++i) r[at + i] = i < s.size() ? uint8_t(s[i]) : ' ';
  };
  text(8, 8, d.Options.Vendor);
  text(16, 16, d.Options.Product);
  text(32, 4, d.Options.Revision);
  c.Data = c.Data.first(std::min<size_t>(c.Data.size(), Get16(&c.Cdb[3])));
  Reply(c, r);
  return kOk;
}

TSense RequestSense(TVDrive& d, TCommand& c) {
  TSense s{};
  if (auto nr = NotReadyState(d)) s = *nr;
  else if (d.UnitAttention) {
    s = {6, 0x28, 0x00};
    d.UnitAttention = false;
  }
  std::array<uint8_t, 18> r{};
  r[0] = 0x70;
  r[2] = s.Key;
  r[7] = 10;
  r[12] = s.Asc;
  r[13] = s.Ascq;
  // An erase or a format in progress tells how far it is (SKSV, 1/65536 steps).
  const uint64_t now = Clock().NowMs();
  if (s.Key == 2 && s.Asc == 0x04 && (s.Ascq == 0x04 || s.Ascq == 0x07) &&
      d.NotReadyUntil > d.ProgressFrom && now >= d.ProgressFrom) {
    const uint64_t done = (now - d.ProgressFrom) * 65536 / (d.NotReadyUntil - d.ProgressFrom);
    r[15] = 0x80;
    Put16(&r[16], uint32_t(std::min<uint64_t>(done, 0xFFFF)));
  }
  c.Data = c.Data.first(std::min<size_t>(c.Data.size(), c.Cdb[4]));
  Reply(c, r);
  return kOk;
}

TSense StartStop(TVDrive& d, TCommand& c) {
  const bool loej = c.Cdb[4] & 0x02, start = c.Cdb[4] & 0x01;
  if (!loej) return kOk;
  if (!start) {
    if (d.Prevent) return {5, 0x53, 0x02};  // medium removal prevented
    if (d.Loaded) {
      d.Loaded = false;
      d.Simulation.reset();
      d.BufferFill = 0;
      d.Streaming = false;
      d.SaveDisc();
    }
    return kOk;
  }
  if (!d.Loaded) {
    d.Loaded = true;
    if (d.Disc.Medium != TMedium::None) {
      d.NotReadyUntil = Clock().NowMs() + d.Options.LoadMs;
      d.NotReadySense = {2, 0x04, 0x01};  // becoming ready
      d.UnitAttention = true;
    }
  }
  return kOk;
}

TSense SetStreaming(TVDrive& d, TCommand& c) {
  const uint8_t type = c.Cdb[8];
  const uint32_t length = Get16(&c.Cdb[9]);
  if (type == 5) return kOk;  // cache zone: nothing to keep
  if (type != 0 || length < 28 || c.Data.size() < 28) return kInvalidField;
  const uint8_t* p = c.Data.data();
  const uint32_t size = Get32(&p[20]), time = Get32(&p[24]);
  if (Get32(&p[8]) < Get32(&p[4])) return kInvalidParam;
  if (time > 0 && size > 0) d.WriteSpeed = uint16_t(std::min<uint64_t>(0xFFFF, uint64_t(size) * 1000 / time));
  return kOk;
}

TSense ReadBufferCapacity(TVDrive& d, TCommand& c) {
  if (c.Cdb[1] & 0x01) return kInvalidField;  // block form not supported
  d.Drain(Clock().NowMs());
  const uint32_t size = d.Options.BufferKb * 1024;
  std::array<uint8_t, 12> r{};
  Put16(&r[0], 10);
  Put32(&r[4], size);
  Put32(&r[8], uint32_t(size - std::min<uint64_t>(size, d.BufferFill)));
  c.Data = c.Data.first(std::min<size_t>(c.Data.size(), Get16(&c.Cdb[7])));
  Reply(c, r);
  return kOk;
}

TSense Dispatch(TVDrive& d, TCommand& c) {
  const uint8_t op = c.Cdb[0];
  switch (op) {
    case 0x12: return Inquiry(d, c);
    case 0x03: return RequestSense(d, c);
    case 0x46: return GetConfiguration(d, c);
    default: break;
  }
  if (d.UnitAttention) {
    d.UnitAttention = false;
    return {6, 0x28, 0x00};  // not ready to ready change, medium may have changed
  }
  if (NeedsMedium(op))
    if (auto nr = NotReadyState(d)) return *nr;
  switch (op) {
    case 0x00: return kOk;  // TEST UNIT READY
    case 0x01: return kOk;  // REZERO UNIT
    case 0x1B: return StartStop(d, c);
    case 0x1E: d.Prevent = c.Cdb[4] & 0x01; return kOk;
    case 0x55: return ModeSelect(d, c);
    case 0x5A: return ModeSense(d, c);
    case 0x5C: return ReadBufferCapacity(d, c);
    case 0xB6: return SetStreaming(d, c);
    case 0xBB:
      d.ReadSpeed = uint16_t(Get16(&c.Cdb[2]));
      d.WriteSpeed = uint16_t(Get16(&c.Cdb[4]));
      return kOk;
    default: break;
  }
  bool handled = false;
  const TSense s = ExecDiscCommand(d, c, &handled);
  return handled ? s : kInvalidOpcode;
}

}  // namespace

void Execute(TVDrive& d, TCommand& c) {
  std::lock_guard lock(d.Lock);
  d.Stats.Commands++;
  if (d.Options.Busy > 0) {
    d.Options.Busy--;
    c.TargetStatus = 0x08;
    return;
  }
  if (d.Options.Fail >= 0 && !c.Cdb.empty() && c.Cdb[0] == d.Options.Fail) {
    c.Sense = TSense{4, 0x44, 0x00};  // INTERNAL TARGET FAILURE
    c.TargetStatus = 0x02;
    return;
  }
  c.Sense = Dispatch(d, c);
  c.TargetStatus = c.Sense.Ok() ? 0x00 : 0x02;
}

}  // namespace vrec
