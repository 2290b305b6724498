#include "cli/read_disc.h"

#include <iostream>

#include "app/workflow.h"
#include "cli/mainloop.h"
#include "cli/progress.h"
#include "stream/stream.h"

namespace {

enum : int { kExitOk = 0, kExitFailed = 1, kExitNothing = 2 };
constexpr size_t kRunsShown = 20;  // unread runs listed; the map holds them all

void Note(const std::string& text) {
  if (!text.empty()) std::cerr << "mburn: " << text << '\n';
}

std::string Range(int64_t first, int64_t count) {
  return count == 1 ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(first + count - 1);
}

// What stayed unread, where it lies on the disc and which files it belongs to.
void ReportUnread(const TReadResult& r, const TReadRequest& request) {
  Note(std::to_string(r.Unread) + " sector" + (r.Unread == 1 ? "" : "s") +
       " could not be read: zeros stand in their place in the image");
  for (size_t i = 0; i < r.UnreadRuns.size() && i < kRunsShown; ++i) {
    const auto& [first, count] = r.UnreadRuns[i];
    Note("unread: sector" + std::string(count == 1 ? " " : "s ") + Range(first, count));
  }
  if (r.UnreadRuns.size() > kRunsShown)
    Note("... and " + std::to_string(r.UnreadRuns.size() - kRunsShown) + " more runs of unread sectors");
  for (const TDamagedFile& f : r.DamagedFiles)
    Note("damaged file (" + f.Tree + "): " + f.Path + ": " + std::to_string(f.Missing) + " sector" +
         (f.Missing == 1 ? "" : "s") + " missing");
  if (!request.MapFile.empty())
    Note("the same command again, with the same --map and -o, reads only the sectors still "
         "missing (another drive may read them)");
}

}  // namespace

int ReadSession(VEZEZadira& c, const TReadRequest& request, const std::function<bool()>& stopAsked) {
  TMainLoop loop;
  c.Dispatcher = [&loop](const std::function<void()>& call) { loop.Post(call); };
  bool done = false;
  c.OnReadDone = [&done](TObject*) { done = true; };
  if (!c.ReadDisc(request)) {
    Note(c.LastRead.Outcome.Text);
    return kExitNothing;
  }
  std::cout << kTextReading << std::endl;
  TProgress progress;
  progress.SetReading(true);
  int32_t shownPass = 1;
  bool stopping = false;
  auto show = [&] {
    if (c.ReadPass != 1 || c.ReadToDo <= 0) return;
    const uint16_t kind = c.CurrentDiscKind;
    progress.SetMax(static_cast<int32_t>(c.ReadToDo));
    progress.SetDvd(kind >= DK_DVDROM && kind <= DK_DVDPLUSR);
    progress.SetBd(IsBDKind(kind));
    progress.Show(static_cast<int32_t>(c.ReadDone));
  };
  loop.Run([&done] { return done; },
           [&] {
             if (stopAsked() && !stopping) {
               stopping = true;
               progress.End();
               std::cerr << "mburn: stopping the read (once more leaves at once)" << std::endl;
               c.StopReading();
               return;
             }
             show();
             if (const int32_t pass = c.ReadPass; pass > shownPass) {
               shownPass = pass;
               progress.WriteLoopEnded();
               progress.End();
               Note("pass " + std::to_string(pass) + ": the " + std::to_string(c.ReadMissing.load()) +
                    " unread sectors once more");
             }
           },
           250);
  c.WaitForReading();
  if (shownPass == 1) show();
  progress.WriteLoopEnded();
  progress.End();

  const TReadResult& r = c.LastRead;
  if (r.Outcome.Code == TOutcomeCode::Refused && !r.Outcome.Ok()) {
    Note(r.Outcome.Text);
    return kExitNothing;
  }
  for (const std::string& note : r.Notes) Note(note);
  const bool whole = r.Outcome.Ok() && r.Unread == 0;
  std::cout << (whole ? kTextReadOk : kTextReadError) << std::endl;
  if (!r.Outcome.Ok()) std::cerr << r.Outcome.Text << std::endl;
  Note((request.Output == "-" ? std::string("standard output") : request.Output) + ": disc sectors " +
       Range(0, r.End) + (r.Session == 1 ? ", session 1" : ", sessions 1 to " + std::to_string(r.Session)) + " (" +
       std::to_string(r.Sectors) + " sectors" + (r.Sectors < r.End ? ", the gaps between them holes" : "") + ")" +
       (r.Resumed ? ", going on from the mapfile" : ""));
  if (r.Unread > 0) ReportUnread(r, request);
  Note(progress.Summary());
  if (r.HasDigest) std::cout << "sha256: " << Sha256Hex(r.Digest) << std::endl;
  return whole ? kExitOk : kExitFailed;
}
