// Binding of the ASPI entry points: the run-time library (dlopen) or the
// built-in pass-through layer, exactly one at a time, process-wide.
#include "transport/transport.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

// The whole binding. The entry points and the bound flag are read without the
// lock by the command path (which may run on the recording thread); the lock
// only keeps binding and unbinding from interleaving.
struct TASPIState {
  std::mutex Lock;
  std::atomic<bool> Initialized{false};
  std::atomic<TGetASPI32SupportInfo> SupportInfo{nullptr};
  std::atomic<TSendASPI32Command> SendCommand{nullptr};
  void* Library = nullptr;  // dlopen handle, nullptr when none
  std::string LayerName;
  // The layer bound (or last bound, while it is bound again) is the built-in
  // one: it can hold a drive exclusively. Set with LayerName by the binding.
  std::atomic<bool> BuiltIn{false};
  bool PreferBuiltIn = false;

  // Unit finalisation: close the built-in layer's drives and free the library.
  ~TASPIState() {
    SPTIShutdown();
    if (Initialized && Library) dlclose(Library);
    Library = nullptr;
    LayerName.clear();
    BuiltIn = false;
  }
};

TASPIState& State() {
  static TASPIState state;
  return state;
}

// Caller holds the lock.
void BindLocked(TASPIState& s, TGetASPI32SupportInfo support, TSendASPI32Command send,
                const char* name, bool builtIn) {
  s.SupportInfo = support;
  s.SendCommand = send;
  s.LayerName = name;
  s.BuiltIn = builtIn;
  s.Initialized = true;
}

void ForgetLayerLocked(TASPIState& s) {
  s.LayerName.clear();
  s.BuiltIn = false;
}

void UnbindEntriesLocked(TASPIState& s) {
  s.Initialized = false;
  s.SupportInfo = nullptr;
  s.SendCommand = nullptr;
}

void* OpenLibrary(const std::string& path) {
  if (path.empty()) return nullptr;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

enum class TLibraryBind { NotFound, Bound, Broken };

// Tries the library in the search order: the given path, the current
// directory, the dynamic loader's search. A library without both entry points
// is a broken installation: it is closed again and the start fails.
TLibraryBind BindLibraryLocked(TASPIState& s, const std::string& path) {
  void* lib = OpenLibrary(path);
  if (!lib) lib = OpenLibrary(std::string("./") + kLibraryFileName);
  if (!lib) lib = OpenLibrary(kLibraryFileName);
  if (!lib) return TLibraryBind::NotFound;
  auto support = reinterpret_cast<TGetASPI32SupportInfo>(dlsym(lib, "GetASPI32SupportInfo"));
  auto send = reinterpret_cast<TSendASPI32Command>(dlsym(lib, "SendASPI32Command"));
  if (!support || !send) {
    dlclose(lib);
    return TLibraryBind::Broken;
  }
  s.Library = lib;
  BindLocked(s, support, send, kLibraryLayerName, false);
  return TLibraryBind::Bound;
}

bool BindBuiltInLocked(TASPIState& s) {
  if (SPTIScanDrives() <= 0) return false;
  BindLocked(s, SPTIGetASPI32SupportInfo, SPTISendASPI32Command, kBuiltInLayerName, true);
  return true;
}

bool UnloadLocked(TASPIState& s) {
  if (!s.Initialized || !s.Library) return true;
  UnbindEntriesLocked(s);
  const bool freed = dlclose(s.Library) == 0;
  s.Library = nullptr;
  return freed;
}

bool InitLocked(TASPIState& s, bool preferBuiltIn, const std::string& path) {
  s.PreferBuiltIn = preferBuiltIn;
  // A built-in scan already run here is not repeated below: a second scan
  // returns 0 while the layer stays initialised.
  if (!s.Initialized && preferBuiltIn) BindBuiltInLocked(s);
  if (!s.Initialized && BindLibraryLocked(s, path) == TLibraryBind::Broken) return false;
  if (!s.Initialized) BindBuiltInLocked(s);
  if (s.Initialized) {
    if (auto support = s.SupportInfo.load()) support();
  }
  return s.Initialized;
}

}  // namespace

bool InitASPILayer(bool PreferBuiltIn, const std::string& LibraryPath) {
  TASPIState& s = State();
  std::lock_guard lock(s.Lock);
  return InitLocked(s, PreferBuiltIn, LibraryPath);
}

bool ReinitASPILayer() {
  TASPIState& s = State();
  std::lock_guard lock(s.Lock);
  if (s.BuiltIn) {
    UnbindEntriesLocked(s);
    SPTIShutdown();
  } else {
    UnloadLocked(s);
  }
  InitLocked(s, s.PreferBuiltIn, std::string());
  return true;
}

bool UnloadASPILibrary() {
  TASPIState& s = State();
  std::lock_guard lock(s.Lock);
  return UnloadLocked(s);
}

bool ASPIInitialized() { return State().Initialized.load(); }

std::string ASPILayerName() {
  TASPIState& s = State();
  std::lock_guard lock(s.Lock);
  return s.LayerName;
}

bool ASPICanHoldExclusive() { return State().BuiltIn.load(); }

bool ASPICompletesInCall() {
  return State().SendCommand.load() == &SPTISendASPI32Command;
}

uint32_t ASPIGetSupportInfo() {
  TASPIState& s = State();
  if (!s.Initialized) return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
  auto support = s.SupportInfo.load();
  return support ? support() : static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
}

uint32_t ASPISendCommand(void* srb) {
  TASPIState& s = State();
  auto send = s.Initialized ? s.SendCommand.load() : nullptr;
  if (!send) {
    // Nothing bound: the request fails at once instead of staying pending.
    if (srb) static_cast<SRB_Header*>(srb)->SRB_Status = SS_ERR;
    return SS_ERR;
  }
  return send(srb);
}

void BindASPIEntries(TGetASPI32SupportInfo support, TSendASPI32Command send) {
  TASPIState& s = State();
  std::lock_guard lock(s.Lock);
  UnloadLocked(s);
  UnbindEntriesLocked(s);
  if (s.BuiltIn) SPTIShutdown();
  ForgetLayerLocked(s);
  if (support && send) BindLocked(s, support, send, kLibraryLayerName, false);
}

void ResetASPILayer() {
  TASPIState& s = State();
  std::lock_guard lock(s.Lock);
  UnloadLocked(s);
  UnbindEntriesLocked(s);
  SPTIShutdown();
  ForgetLayerLocked(s);
  s.PreferBuiltIn = false;
}

// ---------------------------------------------------------------- exclusive hold
TExclusiveDriveHold::TExclusiveDriveHold(uint8_t HaId, uint8_t Target, uint8_t Lun)
    : haId_(HaId), target_(Target), lun_(Lun), applies_(ASPICanHoldExclusive()) {
  if (!applies_) return;
  held_ = SPTIHoldExclusive(haId_, target_, lun_, true);
  if (!held_) error_ = errno;
}

TExclusiveDriveHold::~TExclusiveDriveHold() {
  if (!applies_) return;
  if (held_) SPTIHoldExclusive(haId_, target_, lun_, false);
  // The drive is opened anew for the next one, by a fresh scan.
  ReinitASPILayer();
}
