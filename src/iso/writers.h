// Inside the image builder: the layout of a session as a sequence of area
// writers, and the generators they share. Each writer measures its area from
// the address it is offered, is placed there, and later writes its bytes into
// the plan. The layout asks them in order and knows nothing else of them: a
// new format is a new writer in SessionWriters.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "iso/iso.h"

enum class TImageTree { ISO, Joliet };
enum class TPathTableType { L, M };  // little-endian, big-endian

class TAreaWriter {
public:
  virtual ~TAreaWriter() = default;
  virtual const char* Name() const = 0;
  // Sectors the area takes when it starts at sector At; may lay out what it holds.
  virtual int64_t Measure(int64_t At) = 0;
  // Records where the area starts, for the writers that point into it.
  virtual void Place(int64_t At) = 0;
  // Appends its metadata to the plan, or its sources (file data).
  virtual void Write(TImagePlan& Plan) = 0;
};

// The writers of a new session on c's tree, in the order of their areas.
std::vector<std::unique_ptr<TAreaWriter>> SessionWriters(VEZEZadira& c);

// Path-table order of the directories, and their numbers.
void OrderDirectories(VEZEZadira& c);

// ---- generators (descriptors.cpp, dirrecords.cpp)
void WritePrimaryDescriptor(const VEZEZadira& c, TMemoryStream& Out);
void WriteJolietDescriptor(const VEZEZadira& c, TMemoryStream& Out);
void WriteTerminator(TMemoryStream& Out);
int64_t MeasurePathTable(const VEZEZadira& C, TImageTree Tree);
void WritePathTable(const VEZEZadira& C, TImageTree Tree, uint32_t Base, TPathTableType Type,
                    TMemoryStream& Out);
// The bytes of a directory's extent; with Continuation, also those of its
// Rock Ridge continuation area (ISO tree with RockRidge on).
int64_t MeasureDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir,
                         int64_t* Continuation = nullptr);
// Appends the directory's extent to Out and its continuation area (if any)
// to Continuation.
void WriteDirectory(const VEZEZadira& C, TImageTree Tree, const TDEntry& Dir, uint32_t Base,
                    uint32_t FirstFile, TMemoryStream& Out, TMemoryStream* Continuation = nullptr);
