// mburn's verify of a disc recorded earlier, and the digest line that burn,
// image and verify end with.
#pragma once

#include <cstdint>
#include <functional>

#include "cli/options.h"
#include "iso/iso.h"

// "sha256: HEX" of the last stream the component produced whole, on standard
// output; nothing when there is none.
void PrintTrackDigest(const VEZEZadira& Component);

// Reads session Line.Session (0: the last) of the disc in the selected drive
// back and compares it with Line.Digest or the image file Line.Image.
// Exit status: 0 it matches, 1 it differs or cannot be read, 2 nothing checked.
struct TProgressView {
  std::function<void(int32_t)> SetMax;
  std::function<void(int32_t)> Show;  // sectors done
  std::function<void()> End;          // before a status line
};
int VerifyDisc(VEZEZadira& Component, const TCommandLine& Line, const TProgressView& Progress);

// The session a read-back command asked for (Asked, 0: the last), once the
// drive is ready and the disc's kind known; 0 with the reason on standard
// error when the disc holds no such session.
int ChosenSession(VEZEZadira& Component, int Asked);
