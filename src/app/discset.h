// A folder larger than one disc, as a set of discs: which files go on which
// disc, measured with the images the discs will hold. Every disc is an
// ordinary disc holding its share of the folder at the same paths and
// MBURN-SET.txt at its root; a file larger than a disc is cut into parts
// (NAME.part001, ...) that `cat` joins again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "iso/iso.h"

inline constexpr const char* kSetFileName = "MBURN-SET.txt";

// What the images of the set are made of: the folder and the image options.
struct TSetOptions {
  std::string Folder;
  std::string Mask = "*.*";
  bool Joliet = true;
  bool RockRidge = true;
  bool KeepPermissions = false;
  bool UDF = false;
  bool Manifest = false;
  std::string VolumeId;
  int64_t Capacity = 0;  // sectors one disc takes
};

// A file of the folder, in tree order (a folder's subfolders, then its files).
struct TSetFile {
  std::string Path;     // relative to the folder, "/" between the names
  std::string Source;   // the path the folder walk read it from
  std::string TreeDir;  // its folder in the image tree ("\" the root)
  std::string Name;     // its own name
  int64_t Size = 0;
  int64_t Mtime = 0;    // seconds since 1970
};

// What one disc takes of a file: the whole file (Part 0) or one of its parts.
struct TSetPiece {
  size_t File = 0;
  int Part = 0;  // 1, 2, ...: NAME.part001, NAME.part002, ...
  int64_t Offset = 0;
  int64_t Size = 0;
};

struct TSetDisc {
  std::vector<TSetPiece> Pieces;
  int64_t Sectors = 0;  // the disc's image, as measured
};

struct TDiscSet {
  TSetOptions Options;
  std::vector<TSetFile> Files;
  std::vector<TSetDisc> Discs;
  std::vector<int> PartsOf;  // per file: how many parts it was cut into, 0 when whole
  // Hex digests: of every file's path, size and modification time; and of
  // that, the capacity and the options. The same folder and options give the
  // same plan.
  std::string FolderDigest;
  std::string PlanDigest;
  int64_t SetFileBytes = 0;  // the room kept on every disc for MBURN-SET.txt
  int64_t Bytes = 0;         // of every file together
};

// NAME.part001 for part 1.
std::string PartName(const std::string& Name, int Part);
// The sectors a blank disc of Media (cd-r, dvd+r, bd-r, ...) offers; false for
// a medium it does not know.
bool StandardCapacity(const std::string& Media, int64_t& Sectors);
// The media StandardCapacity knows, for a message.
std::string StandardMediaNames();

// Plans the set: false with a readable Error when the folder cannot be read
// whole, or a disc cannot take even the set's own file.
bool PlanDiscSet(const TSetOptions& Options, TDiscSet& Set, std::string& Error);

// Sets the options that shape the image (trees, Rock Ridge, UDF, manifest,
// volume name) on a component that is still empty.
void ApplyImageOptions(VEZEZadira& Component, const TSetOptions& Options);
// The same for a disc of the set, which is always a blank disc of its own.
void ApplySetOptions(VEZEZadira& Component, const TSetOptions& Options);
// Adds disc Disc's share (0 = the first disc) to the empty tree of Component,
// and MBURN-SET.txt read from SetFile. False with Error when the folder no
// longer gives what was planned.
bool FillDisc(VEZEZadira& Component, const TDiscSet& Set, size_t Disc, const std::string& SetFile,
              std::string& Error);
// The text of MBURN-SET.txt on disc Disc (0 = the first); Date as it is to
// be shown, 23 characters ("2026-12-10 10:20:54 UTC"). Every disc's text has
// the same length, at most Set.SetFileBytes.
std::string SetFileText(const TDiscSet& Set, size_t Disc, const std::string& Date);
// The set's name: the volume identifier, else the folder's own name.
std::string SetName(const TSetOptions& Options);
