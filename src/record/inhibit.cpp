// The logind lock that keeps the machine from sleeping, shutting down or going
// idle while a drive job runs (see job.h).
#include "record/job.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>

namespace {

// What logind may refuse one by one (its policy decides): the widest first.
constexpr std::array<const char*, 3> kInhibitWhat = {"sleep:shutdown:idle", "sleep:idle", "sleep"};
constexpr const char* kInhibitWho = "Micro Burner";
constexpr const char* kInhibitWhy = "Recording a disc";
constexpr uint64_t kInhibitTimeoutUs = 5'000'000;

struct TBusUnref {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct TMessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};

bool Refused(const sd_bus_error& error) {
  return sd_bus_error_has_name(&error, SD_BUS_ERROR_ACCESS_DENIED) ||
         sd_bus_error_has_name(&error, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED);
}

}  // namespace

TSleepInhibitor::TSleepInhibitor() {
  sd_bus* raw = nullptr;
  if (const int r = sd_bus_open_system(&raw); r < 0) {
    failure_ = std::string("no system bus [") + std::strerror(-r) + "]";
    return;
  }
  const std::unique_ptr<sd_bus, TBusUnref> bus(raw);
  // A logind that does not answer must not hold up the job for long.
  sd_bus_set_method_call_timeout(bus.get(), kInhibitTimeoutUs);
  for (const char* what : kInhibitWhat) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager", "Inhibit", &error, &reply,
                                     "ssss", what, kInhibitWho, kInhibitWhy, "block");
    const std::unique_ptr<sd_bus_message, TMessageUnref> held(reply);
    if (r < 0) {
      const bool refused = Refused(error);
      failure_ = std::string("logind gave no lock [") +
                 (error.message ? error.message : std::strerror(-r)) + "]";
      sd_bus_error_free(&error);
      if (refused) continue;
      return;
    }
    int fd = -1;
    // The message owns the descriptor it carries: the lock lives in a copy.
    if (sd_bus_message_read(reply, "h", &fd) < 0 || (fd_ = fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) {
      failure_ = "logind's answer carried no lock";
      fd_ = -1;
      return;
    }
    failure_.clear();
    return;
  }
}

TSleepInhibitor::~TSleepInhibitor() {
  if (fd_ >= 0) close(fd_);
}
