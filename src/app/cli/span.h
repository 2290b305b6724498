// mburn plan and burn --span: a folder larger than one disc, planned and
// recorded as a set of discs.
#pragma once

#include <functional>

#include "app/discset.h"
#include "cli/options.h"
#include "iso/iso.h"

// What the set borrows from mburn's other commands.
struct TSpanSteps {
  // Binds the transport and selects the drive Line.Drive; false after saying why.
  std::function<bool(VEZEZadira&, const TCommandLine&)> Open;
  // `mburn burn` as Line says, its tree made by Fill: its exit status.
  std::function<int(const TCommandLine&, const std::function<bool(VEZEZadira&)>& Fill)> Burn;
  std::function<bool()> StopAsked;
};

// The folder, mask and image options the command line gives.
TSetOptions ImageOptionsOf(const TCommandLine& Line);

// plan FOLDER: how many discs, and what goes on each. 0 planned, 1 the drive
// could not say its disc's room, 2 nothing to plan.
int RunPlan(const TCommandLine& Line, const TSpanSteps& Steps);
// burn FOLDER --span: the discs of the plan, from disc Line.From on. 0 every
// disc recorded, 1 a disc failed (named, with how to go on), 2 nothing recorded.
int RunSpan(const TCommandLine& Line, const TSpanSteps& Steps);
