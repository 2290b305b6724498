// Inside the image builder: the add operations with the item named in
// refusals, shared by the tree (tree.cpp) and the folder walk (folder.cpp).
#pragma once

#include <string>

#include "iso/iso.h"

enum class TAddOutcome { Added, Skipped, Duplicate, Refused };

// Reports why an item was not added (kind 4): "<reason>: <item>".
void Refuse(VEZEZadira& c, const std::string& reason, const std::string& item);

// AddDirectory with the item named in refusals; `walk` adds the kind-4 line
// for a capacity limit (the folder walk names every item it cannot add).
TDEntry* AddDirectoryNamed(VEZEZadira& c, TDEntry* parent, const TSearchRec& found,
                           const std::string& longName, const std::string& shortName,
                           const std::string& item, bool walk, const TRockRidge* rr = nullptr);

// AddFile; `walk` also names the refusals that the plain operation leaves
// silent (a name of 128 characters or more, a name already present from
// another source, a full table), because the folder walk must account for
// every item it was asked to add. `imported` marks the entry Imported even
// with existing sector 0 (an empty file of an earlier session recorded so).
TAddOutcome AddFileImpl(VEZEZadira& c, TDEntry* dir, const TSearchRec& found,
                        const std::string& fullPath, int32_t existingSector, bool walk,
                        bool imported = false, const TRockRidge* rr = nullptr);

// The long (Joliet) name for a full name that a Rock Ridge entry carries: the
// name itself when Joliet can hold it, else a shortened one, unique in dir,
// that keeps a short extension.
std::string FittedLongName(VEZEZadira& c, TDEntry* dir, const std::string& name, bool isDir);

// The 8.3 alternate name the directory search gives a long name about to be
// added to dir: empty when the long name is itself a valid 8.3 name of
// d-characters whose upper-cased form is free in dir; otherwise a name made
// of A-Z, 0-9 and "_" (a short stem, "_" and a counter, the extension from
// the last "."), unique among dir's ISO names. An entry of that exact long
// name already in dir keeps its ISO name (it is found again or replaced).
std::string AlternateNameFor(VEZEZadira& c, TDEntry* dir, const std::string& longName, bool isDir);

// Names no entry can carry: empty, ".", "..", or holding "/" or "\".
bool IsImpossibleName(const std::string& name);

// While a folder walk runs, what it changed, so that a call that could not
// add its folder whole can take everything back.
class TTreeJournal {
public:
  explicit TTreeJournal(VEZEZadira& c);
  ~TTreeJournal();
  TTreeJournal(const TTreeJournal&) = delete;
  TTreeJournal& operator=(const TTreeJournal&) = delete;
  // Removes every entry and directory added since the journal began and puts
  // back the fields of every entry replaced meanwhile.
  void RollBack();

private:
  VEZEZadira& c_;
  bool owner_ = false;  // the outermost journal of nested walks keeps the record
};
