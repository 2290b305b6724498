// mburn's check of a disc against the SHA256SUMS at the root of a session.
#pragma once

#include "cli/options.h"
#include "cli/verify_disc.h"
#include "iso/iso.h"

// Reads the list of session Line.Session (0: the last) of the disc in the
// selected drive, then every file it names through the session's tree, in
// disc order, and names each one that differs, cannot be read or is missing.
// Exit status: 0 every file matches, 1 any does not, 2 no list or no disc.
int CheckDisc(VEZEZadira& Component, const TCommandLine& Line, const TProgressView& Progress);
