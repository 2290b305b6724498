// Inside the image builder: the Rock Ridge system use fields (SUSP entries) of
// the ISO tree, as the directory writer places them and the import reads them.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "iso/iso.h"

// What a directory record stands for, which decides its fields.
struct TRockRidgeRecord {
  const TRockRidge* RR = nullptr;  // nil: derived from the rest
  bool Directory = false;
  bool RootSelf = false;   // the root's "." record: SP and ER come first
  bool DotRecord = false;  // "." or "..": no name of its own
  uint32_t Links = 1;
  uint32_t Serial = 0;
  TDateTime DateTime = 0;  // used when RR is nil or not present
  std::string Name;        // used when RR holds no name
};

// A calendar date and time counted as if it were UTC: seconds since 1970 by
// the proleptic Gregorian calendar.
int64_t CivilSeconds(int64_t Year, int Month, int Day, int Hour, int Minute, int Second);

// A local TDateTime as seconds since 1970 (the times of an entry without its own).
int64_t RockRidgeSeconds(TDateTime Local);

// The fields of one record, each a whole SUSP entry, in the order written.
std::vector<std::string> RockRidgeFields(const TRockRidgeRecord& Record);

// Where the continuation pieces of one directory go: sector Base of the
// disc holds byte 0 of the directory's continuation area, Used bytes of it
// are taken; Out (nil while measuring) receives the bytes.
struct TContinuation {
  uint32_t Base = 0;
  int64_t Used = 0;
  TMemoryStream* Out = nullptr;
};

// Places the fields: those that fit Room bytes stay in the record (returned,
// padded to an even length); the rest go to continuation pieces, chained by
// CE entries, none crossing a sector of the continuation area.
std::string PlaceSystemUse(const std::vector<std::string>& Fields, size_t Room, TContinuation& Cont);

// Reads the Rock Ridge fields of one record's system use area (after Skip
// bytes). ReadSector fetches a continuation sector; false when it cannot.
// Fields are bounds-checked; a continuation chain is followed at most a few
// links. HasSP reports an SP entry (the root's "." record of a session that
// carries the extensions), and SkipOut its skip count.
struct TRockRidgeRead {
  TRockRidge RR;
  bool HasSP = false;
  uint8_t SkipOut = 0;
  bool Failed = false;  // a continuation could not be read
  bool HasTimes = false;  // a TF entry was there
};
TRockRidgeRead ParseSystemUse(std::span<const uint8_t> Area,
                              const std::function<bool(uint32_t, std::vector<uint8_t>&)>& ReadSector);
