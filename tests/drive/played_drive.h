// A drive played by the test, answering the commands of drive control from
// fields the test sets: mode pages placed where a drive of that kind places
// them, features and profile, ATIP, disc and track information, readiness.
#pragma once

#include <array>
#include <map>
#include <optional>

#include "fake_transport.h"

namespace drivetest {

inline void PutBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void PutBE32(uint8_t* p, uint32_t v) {
  PutBE16(p, static_cast<uint16_t>(v >> 16));
  PutBE16(p + 2, static_cast<uint16_t>(v));
}
inline uint16_t BE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct TPlayedDrive {
  // MODE SENSE: the page bytes from the page code on, and where the answer puts them.
  std::array<uint8_t, 128> capsDefault{}, capsCurrent{};
  bool capsDefaultOk = true, capsCurrentOk = true;
  std::array<uint8_t, 60> writePage{};
  bool writePageOk = true;
  bool page30 = false;
  int pageOffset = 8;
  std::vector<std::vector<uint8_t>> modeSelects;  // parameter lists received
  bool modeSelectOk = true;

  // GET CONFIGURATION: current profile and, per feature, its byte 4.
  bool configOk = true;
  uint16_t profile = 0;
  std::map<uint16_t, uint8_t> features;

  std::optional<std::array<uint8_t, 26>> atip;  // none: READ TOC fails
  std::optional<std::array<uint8_t, 56>> discInfo;
  std::map<uint8_t, std::array<uint8_t, 38>> tracks;

  int notReadyCommands = 0;  // medium commands failing NOT READY 04h/01h, counted down
  bool noMedium = false;
  std::optional<std::array<uint8_t, 18>> requestSense;  // none: 70h, no sense

  TPlayedDrive() {
    capsDefault[0] = capsCurrent[0] = 0x2A;
    capsDefault[1] = capsCurrent[1] = 0x1C;
    writePage[0] = 0x05;
    writePage[1] = 0x32;
  }

  TReply operator()(const SRB_ExecSCSICmd& srb, uint8_t* data) {
    const uint8_t* cdb = srb.CDBByte;
    const uint8_t op = cdb[0];
    const bool medium = op == 0x00 || op == 0x51 || op == 0x52 || op == 0x43;
    if (medium && noMedium) return TReply::Fail(2, 0x3A);
    if (medium && notReadyCommands > 0) {
      --notReadyCommands;
      return TReply::Fail(2, 0x04, 0x01);
    }
    switch (op) {
      case 0x00: return {};
      case 0x03: {
        std::array<uint8_t, 18> sense{};
        sense[0] = 0x70;
        if (requestSense) sense = *requestSense;
        std::memcpy(data, sense.data(), std::min<size_t>(srb.SRB_BufLen, sense.size()));
        return {};
      }
      case 0x5A: return ModeSense(cdb, data, srb.SRB_BufLen);
      case 0x55:
        modeSelects.emplace_back(data, data + srb.SRB_BufLen);
        return modeSelectOk ? TReply{} : TReply::Fail(5, 0x26);
      case 0x46: return Configuration(cdb, data, srb.SRB_BufLen);
      case 0x43:
        if (!atip) return TReply::Fail(5, 0x24);
        std::memcpy(data, atip->data(), std::min<size_t>(srb.SRB_BufLen, 26));
        return {};
      case 0x51:
        if (!discInfo) return TReply::Fail(5, 0x24);
        std::memcpy(data, discInfo->data(), std::min<size_t>(srb.SRB_BufLen, 56));
        return {};
      case 0x52: {
        auto it = tracks.find(cdb[5]);
        if (it == tracks.end()) return TReply::Fail(5, 0x24);
        std::memcpy(data, it->second.data(), std::min<size_t>(srb.SRB_BufLen, 38));
        return {};
      }
      default: return {};
    }
  }

  TReply ModeSense(const uint8_t* cdb, uint8_t* data, uint32_t length) {
    const uint8_t page = cdb[2] & 0x3F;
    const bool defaults = (cdb[2] & 0xC0) == 0x80;
    std::array<uint8_t, 600> answer{};
    const uint8_t* source = nullptr;
    size_t size = 0;
    if (page == 0x2A) {
      if (defaults ? !capsDefaultOk : !capsCurrentOk) return TReply::Fail(5, 0x24);
      source = defaults ? capsDefault.data() : capsCurrent.data();
      size = capsDefault.size();
    } else if (page == 0x05) {
      if (!writePageOk) return TReply::Fail(5, 0x24);
      source = writePage.data();
      size = writePage.size();
    } else if (page == 0x30 && page30) {
      static const std::array<uint8_t, 4> page30Bytes = {0x30, 0x02, 0, 0};
      source = page30Bytes.data();
      size = page30Bytes.size();
    } else {
      return TReply::Fail(5, 0x24);
    }
    std::memcpy(answer.data() + pageOffset, source, size);
    PutBE16(answer.data(), static_cast<uint16_t>(pageOffset + size - 2));
    if (pageOffset == 16) answer[7] = 8;  // block descriptor length
    std::memcpy(data, answer.data(), std::min<size_t>(length, answer.size()));
    return {};
  }

  TReply Configuration(const uint8_t* cdb, uint8_t* data, uint32_t length) {
    if (!configOk) return TReply::Fail(5, 0x20);
    std::array<uint8_t, 114> answer{};
    PutBE16(&answer[6], profile);
    size_t size = 8;
    const uint16_t start = cdb[3];
    auto it = features.find(start);
    if (cdb[1] == 2 && it != features.end()) {
      PutBE16(&answer[8], start);
      answer[10] = 0x01;  // current
      answer[11] = 4;
      answer[12] = it->second;
      size = 16;
    }
    PutBE32(&answer[0], static_cast<uint32_t>(size - 4));
    std::memcpy(data, answer.data(), std::min<size_t>(length, answer.size()));
    return {};
  }
};

// Disc information: status, last session state, erasable, sessions, last track.
inline std::array<uint8_t, 56> DiscInformation(uint8_t status, uint8_t lastSession, bool erasable,
                                               uint8_t sessions, uint8_t lastTrack) {
  std::array<uint8_t, 56> d{};
  PutBE16(&d[0], 32);
  d[2] = static_cast<uint8_t>(status | lastSession << 2 | (erasable ? 0x10 : 0));
  d[3] = 1;
  d[4] = sessions;
  d[5] = 1;
  d[6] = lastTrack;
  return d;
}

inline std::array<uint8_t, 38> TrackInformation(uint8_t track, uint32_t start, uint32_t next,
                                                uint32_t freeBlocks, uint32_t size) {
  std::array<uint8_t, 38> t{};
  PutBE16(&t[0], 36);
  t[2] = track;
  t[3] = 1;
  PutBE32(&t[8], start);
  PutBE32(&t[12], next);
  PutBE32(&t[16], freeBlocks);
  PutBE32(&t[20], 0);
  PutBE32(&t[24], size);
  PutBE32(&t[28], 0);
  return t;
}

}  // namespace drivetest
