// A private system bus with python3-dbusmock's logind on it, for the jobs'
// sleep lock: started by the test, pointed at by DBUS_SYSTEM_BUS_ADDRESS while
// it lives, and asked over sd-bus which locks logind holds.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace rectest {

// Sets an environment variable for a scope, and puts back what was there.
class TEnvScope {
public:
  TEnvScope(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~TEnvScope() {
    if (old_) setenv(name_, old_->c_str(), 1);
    else unsetenv(name_);
  }

private:
  const char* name_;
  std::optional<std::string> old_;
};

struct TInhibitor {
  std::string What, Who, Why, Mode;
};

class TLogindMock {
public:
  explicit TLogindMock(const std::filesystem::path& dir)
      : address_("unix:path=" + (dir / "system_bus").string()), log_(dir / "logind.log") {
    bus_ = Spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                  "--address=" + address_});
    // Waits for the bus (bounded), then for logind's name on it.
    for (int i = 0; i < 400 && !LogindOwned(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    env_.emplace("DBUS_SYSTEM_BUS_ADDRESS", address_);
    mock_ = Spawn({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind",
                   "--logfile", log_.string()});
    for (int i = 0; i < 400 && !ready_; ++i) {
      ready_ = LogindOwned().value_or(false);
      if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  ~TLogindMock() {
    for (pid_t pid : {mock_, bus_}) {
      if (pid <= 0) continue;
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  // logind answers on the private bus.
  bool Ready() const { return ready_; }
  // The methods logind was called with, one line each as the mock logs them.
  std::string CallLog() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // The locks logind holds now (nullopt: it did not answer).
  std::optional<std::vector<TInhibitor>> Inhibitors() const {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return std::nullopt;
    sd_bus_message* reply = nullptr;
    std::optional<std::vector<TInhibitor>> held;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
      held.emplace();
      const char *what, *who, *why, *mode;
      uint32_t uid, pid;
      while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
        held->push_back({what, who, why, mode});
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return held;
  }
  // Asks until logind holds no lock: it notices a closed one in its own time.
  bool NoneHeldSoon() const {
    for (int i = 0; i < 400; ++i) {
      const auto held = Inhibitors();
      if (held && held->empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

private:
  static pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      ADD_FAILURE() << "cannot start " << args[0];
      return -1;
    }
    return pid;
  }
  // NameHasOwner("org.freedesktop.login1") on the private bus (nullopt: no bus).
  std::optional<bool> LogindOwned() const {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return std::nullopt;
    std::optional<bool> answer;
    int owned = 0;
    sd_bus_message* reply = nullptr;
    if (sd_bus_set_address(bus, address_.c_str()) >= 0 && sd_bus_set_bus_client(bus, 1) >= 0 &&
        sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           "org.freedesktop.login1") >= 0 &&
        sd_bus_message_read(reply, "b", &owned) >= 0)
      answer = owned != 0;
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return answer;
  }

  std::string address_;
  std::filesystem::path log_;
  pid_t bus_ = -1, mock_ = -1;
  bool ready_ = false;
  std::optional<TEnvScope> env_;
};

}  // namespace rectest
