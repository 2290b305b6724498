// Import of an earlier session's directory tree (multisession discs).
// Placeholder: nothing is imported yet, so the new session holds only the
// files added to the tree.
#include "iso/iso.h"

bool VEZEZadira::ImportPreviousSession(int8_t /*Session*/, TDEntry* /*Directory*/) {
  return false;
}
