// Recording: the recording start (VEZEZadira::StartRecording, StopRecording),
// the recording thread TThWrite and the disc recording sequence it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class VEZEZadira;
class TCacheThread;
