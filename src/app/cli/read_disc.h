// mburn read: the disc into an image file, with its progress,
// the sectors that stayed unread and the files that lost them.
#pragma once

#include <functional>

#include "iso/iso.h"

// Reads with the component's selected drive as Request says, following the
// read job on this thread; StopAsked tells when the user wants it stopped.
// Exit status: 0 every sector read, 1 sectors missing or the read failed,
// 2 nothing read. The result stays in the component's LastRead.
int ReadSession(VEZEZadira& Component, const TReadRequest& Request,
                const std::function<bool()>& StopAsked);
