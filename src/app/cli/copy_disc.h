// mburn copy: a disc of one session read into a temporary image, recorded
// onto a blank disc with the write command's recording and verified.
#pragma once

#include <functional>

#include "cli/options.h"
#include "iso/iso.h"

// What copy borrows from mburn's other commands.
struct TCopySteps {
  // Binds the transport and selects the drive Line.Drive; false after saying why.
  std::function<bool(VEZEZadira&, const TCommandLine&)> Open;
  // `mburn write` as Line says: its exit status.
  std::function<int(const TCommandLine&)> Write;
  std::function<bool()> StopAsked;
};

// One drive: the disc in it ejected and a blank one asked for with Prompt
// ("insert a blank disc"). On a terminal the user says when (Enter);
// otherwise the drive is watched for a bounded time. False after saying why.
bool AwaitBlankDisc(VEZEZadira& Component, const std::string& Prompt,
                    const std::function<bool()>& StopAsked);

// Exit status: 0 copied and verified, 1 sectors unreadable or the recording or
// its verify failed, 2 nothing was read.
int CopyDisc(const TCommandLine& Line, const TCopySteps& Steps);
