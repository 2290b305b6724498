// The recording start and the recording thread.
#include "record/record.h"

#include "iso/iso.h"

bool VEZEZadira::StartRecording() { return false; }

void VEZEZadira::StopRecording() {}
