#include "app/workflow.h"

#include <cstring>

#include "record/record.h"

std::string NotEnoughSpaceText(int64_t ImageSectors, uint32_t FreeSectors) {
  const int64_t needKB = ImageSectors * 2048 / 1024;
  const int64_t freeKB = int64_t{FreeSectors} * 2048 / 1024;
  return "NOT ENOUGH SPACE. NEEDS " + std::to_string(needKB) + "KB ,  TILGJENGELIG " +
         std::to_string(freeKB) + "KB";
}

bool InitRecorders(VEZEZadira& Component, const std::string& LibraryPath) {
  Component.InitDevices(false, LibraryPath);
  return Component.ASPIInitialized();
}

void ApplyStartupSettings(VEZEZadira& Component) {
  Component.ImportSession = 0;
  Component.ReplaceFile = true;
  Component.JolietFileSystem = true;
  Component.FinalizeDisc = false;
}

std::string SelectRecorder(VEZEZadira& Component, const std::string& Line) {
  Component.SelectDevice(Line);
  return kTextVolumeSelected + Component.DeviceDescription;
}

bool NextWritableAddress(VEZEZadira& Component, uint32_t& Address) {
  Address = 0;
  const uint16_t kind = Component.DiscKind();
  if (Medium(kind, Component.CurrentProfile).NextAfterVolume) {
    // No sessions on these: the next session goes after the recorded volume.
    Address = Component.RecordedVolumeEnd();
    return true;
  }
  uint8_t track = 0;
  if (Component.RefreshDiscInformation())
    track = Component.Disc.LastTrackInLastSession;
  else
    track = static_cast<uint8_t>(Component.RecordedSessions() + 1);
  if (!Component.ReadTrackInformation(track)) return false;
  Address = Component.Track.NextWritable;
  if (Address > 0xFF000000u) Address = 0;
  return true;
}

const char* DiscStatusName(int Status) {
  switch (Status) {
    case 0: return "empty";
    case 1: return "appendable";
    case 2: return "complete";
    case 3: return "other";
    default: return "unreadable";
  }
}

// ---------------------------------------------------------------- the burn

TBurnWorkflow::TBurnWorkflow(VEZEZadira& Component, THooks Hooks)
    : component_(Component), hooks_(std::move(Hooks)) {
  component_.OnWriteDone = [this](TObject*, const std::string& Error) { WriteDone(Error); };
  // Raised on the recording thread: the status change belongs to the UI thread.
  component_.OnFinalizingTrack = [this](TObject*) {
    hooks_.Post([this] { hooks_.Status(kTextFinishing); });
  };
  component_.OnVerifying = [this](TObject*) {
    hooks_.Post([this] { hooks_.Status(kTextVerifying); });
  };
}

TBurnWorkflow::~TBurnWorkflow() {
  component_.StopRecording();  // the recording thread calls these handlers
  component_.OnWriteDone = nullptr;
  component_.OnFinalizingTrack = nullptr;
  component_.OnVerifying = nullptr;
}

TBurnOutcome TBurnWorkflow::BurnClick(const std::string& Folder, const std::string& Mask) {
  if (Folder.empty()) {
    hooks_.Message(kTextChooseFolder);
    return TBurnOutcome::NoFolder;
  }
  if (Refused()) return TBurnOutcome::Busy;
  if (!AddSource(Folder, Mask)) return TBurnOutcome::FolderProblem;
  return StartBurning();
}

bool TBurnWorkflow::Reporting(const std::function<bool()>& Call) {
  FirstProblem.clear();
  const TOnDebugMsg previous = component_.OnDebugMessage;
  component_.OnDebugMessage = [this, &previous](TObject* Sender, const std::string& Message,
                                                uint8_t mType) {
    if (FirstProblem.empty() && mType != MSG_INFO) FirstProblem = Message;
    if (previous) previous(Sender, Message, mType);
  };
  const bool result = Call();
  component_.OnDebugMessage = previous;
  return result;
}

bool TBurnWorkflow::AddSource(const std::string& Folder, const std::string& Mask) {
  // Everything the walk could not add is reported; the first report is what
  // the user sees, and an incomplete disc is never recorded.
  const bool added = Reporting([&] {
    return component_.AddFolder("\\", Folder, Mask, faAnyFile, true, false, false);
  });
  if (!added && !FirstProblem.empty()) {
    hooks_.Status(FirstProblem);
    return false;
  }
  return true;
}

bool TBurnWorkflow::Refused() {
  if (!component_.RecordingRuns() && !EraseRuns()) return false;
  hooks_.Status(EraseRuns() ? kAlreadyErasingText : kAlreadyRecordingText);
  return true;
}

TBurnOutcome TBurnWorkflow::StartBurning() {
  if (Refused()) return TBurnOutcome::Busy;
  component_.SetWriteSpeed(WriteSpeed);
  if (hooks_.ProcessEvents) hooks_.ProcessEvents();
  if (component_.DirectoryCount() == 0 && component_.FileCount() == 0)
    return TBurnOutcome::NothingToBurn;
  // A layout that failed (an earlier session that could not be carried in)
  // is never recorded.
  if (!Reporting([&] { return component_.PrepareImage(false, nullptr); })) {
    // A refusal is the reason, whatever the probing of the disc traced before it.
    if (component_.LastOutcome.Code == TOutcomeCode::Refused) FirstProblem = component_.LastOutcome.Text;
    hooks_.Status(FirstProblem.empty() ? kTextPrepareFailed : FirstProblem);
    return TBurnOutcome::PrepareFailed;
  }
  return StartPrepared();
}

TBurnOutcome TBurnWorkflow::WriteImageClick(const std::string& ImageFile) {
  if (Refused()) return TBurnOutcome::Busy;
  component_.SetWriteSpeed(WriteSpeed);
  if (const std::string refusal = component_.PrepareImageFile(ImageFile); !refusal.empty()) {
    FirstProblem = refusal;
    hooks_.Status(refusal);
    return TBurnOutcome::PrepareFailed;
  }
  return StartPrepared();
}

TBurnOutcome TBurnWorkflow::StartPrepared() {
  const uint32_t freeSectors = component_.FreeSectors();
  const int64_t imageSectors = component_.ImageSectors();
  if (imageSectors > int64_t{freeSectors}) {
    hooks_.Status(NotEnoughSpaceText(imageSectors, freeSectors));
    return TBurnOutcome::TooLarge;
  }
  hooks_.Status(kTextBurning);
  recording_ = true;
  LastError.clear();
  // The recording's file problems are counted for its outcome; the handler
  // goes back in WriteDone, while the recording thread waits for it.
  fileProblems_ = 0;
  outerMessage_ = component_.OnDebugMessage;
  component_.OnDebugMessage = [this](TObject* Sender, const std::string& Message, uint8_t mType) {
    if (mType == MSG_FILE) ++fileProblems_;
    if (outerMessage_) outerMessage_(Sender, Message, mType);
  };
  if (!component_.StartRecording()) {
    // The component has already raised OnWriteDone with the cache's message.
    recording_ = false;
    return TBurnOutcome::StartFailed;
  }
  hooks_.SetGaugeMax(static_cast<int32_t>(imageSectors));
  return TBurnOutcome::Started;
}

int32_t TBurnWorkflow::ProgressSectors() const {
  if (component_.Verifying) return static_cast<int32_t>(component_.BytesVerified.load() / 2048);
  return static_cast<int32_t>(component_.BytesWritten.load() / 2048);
}

void TBurnWorkflow::WriteDone(const std::string& Error) {
  // A start refused for a recording that has not ended leaves the drive to it.
  // Nor is a drive waited for whose disc has just been ejected.
  if (Error != kAlreadyRecordingText && Error != kAlreadyErasingText && !component_.Ejected)
    component_.WaitUntilReady(10000, 5000);
  LastError = Error;
  component_.OnDebugMessage = outerMessage_;
  if (!Error.empty())
    hooks_.Status(kTextDoneError);
  else if (fileProblems_ > 0)
    hooks_.Status(std::string(kTextDoneOk) + " - " + kTextShortenedFile);
  else
    hooks_.Status(kTextDoneOk);
  // The recording's outcome stands as it is; the verify's comes after it.
  VerifyRan = Error.empty() && component_.VerifyRan;
  VerifyError = VerifyRan ? component_.VerifyError : std::string();
  if (VerifyRan) hooks_.Status(VerifyError.empty() ? kTextVerifyOk : kTextVerifyError);
  // After this handler the recording thread still asks the drive once whether
  // it is ready: the end is told once the thread has ended.
  hooks_.Post([this, Error] {
    component_.WaitForRecording();
    recording_ = false;
    if (hooks_.Finished) hooks_.Finished(Error);
  });
}
