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
                           const std::string& item, bool walk);

// AddFile; `walk` also names the refusals that the plain operation leaves
// silent (a name of 128 characters or more, a name already present from
// another source, a full table), because the folder walk must account for
// every item it was asked to add. `imported` marks the entry Imported even
// with existing sector 0 (an empty file of an earlier session recorded so).
TAddOutcome AddFileImpl(VEZEZadira& c, TDEntry* dir, const TSearchRec& found,
                        const std::string& fullPath, int32_t existingSector, bool walk,
                        bool imported = false);
