// An operating system with CD/DVD drives made to order, for the built-in layer.
#pragma once

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "transport/transport.h"

struct TFakeDrive {
  bool Opens = true;
  int OpenError = EACCES;  // errno when it does not open
  std::string Group = "cdrom";
  bool AnswersInquiry = true;
  bool HasAddress = true;
  uint8_t Port = 0, Target = 0, Lun = 0;
  std::array<uint8_t, 96> Inquiry{};
  // The answer to every other command.
  bool CallSucceeds = true;
  uint8_t ScsiStatus = 0;
  uint8_t HostStatus = 0;
  std::vector<uint8_t> Sense;
  std::function<void()> During;  // runs inside the call, as the drive works on it
};

class TFakePlatform : public TSPTIPlatform {
public:
  std::map<int, TFakeDrive> Drives;  // by drive index (3 = D)
  std::map<int, int> OpenHandles;    // handle -> drive index
  std::vector<TPassThrough> Requests;
  std::vector<int> RequestHandles;
  int Opens = 0;
  int Closes = 0;
  int NextHandle = 100;

  TFakeDrive& Add(int index, uint8_t port, uint8_t target, uint8_t lun) {
    TFakeDrive& d = Drives[index];
    d.Port = port;
    d.Target = target;
    d.Lun = lun;
    d.Inquiry[0] = 0x05;
    const std::string ident = "VENDOR" + std::to_string(index);
    std::memset(&d.Inquiry[8], ' ', 28);
    std::memcpy(&d.Inquiry[8], ident.data(), ident.size());
    for (size_t i = 36; i < d.Inquiry.size(); ++i) d.Inquiry[i] = 0xEE;
    return d;
  }

  bool IsCDDrive(int index) override { return Drives.count(index) > 0; }
  int Open(int index) override {
    auto it = Drives.find(index);
    if (it == Drives.end()) return -1;
    if (!it->second.Opens) {
      errno = it->second.OpenError;
      return -1;
    }
    ++Opens;
    OpenHandles[NextHandle] = index;
    return NextHandle++;
  }
  bool CloseFails = false;  // close() reports an error, yet the descriptor is gone (Linux)
  bool Close(int handle) override {
    ++Closes;
    return OpenHandles.erase(handle) > 0 && !CloseFails;
  }
  bool PassThrough(int handle, TPassThrough& request) override {
    auto it = OpenHandles.find(handle);
    if (it == OpenHandles.end()) return false;
    Requests.push_back(request);
    RequestHandles.push_back(handle);
    const TFakeDrive& d = Drives[it->second];
    if (request.Cdb[0] == 0x12) {
      if (!d.AnswersInquiry) return false;
      std::memcpy(request.Data, d.Inquiry.data(), std::min<size_t>(request.Length, 96));
      request.ScsiStatus = 0;
      request.SenseLength = 0;
      return true;
    }
    if (d.During) d.During();
    request.ScsiStatus = d.ScsiStatus;
    request.HostStatus = d.HostStatus;
    const size_t n = std::min<size_t>(d.Sense.size(), request.SenseLength);
    if (n > 0) std::memcpy(request.Sense, d.Sense.data(), n);
    request.SenseLength = static_cast<uint8_t>(n);
    return d.CallSucceeds;
  }
  std::string NodeGroup(int index) override {
    auto it = Drives.find(index);
    return it == Drives.end() ? std::string() : it->second.Group;
  }
  bool GetAddress(int handle, uint8_t& port, uint8_t& target, uint8_t& lun) override {
    const TFakeDrive& d = Drives[OpenHandles.at(handle)];
    if (!d.HasAddress) return false;
    port = d.Port;
    target = d.Target;
    lun = d.Lun;
    return true;
  }
};

// Runs each test in an empty working directory, so that no transport library
// is found there unless a test puts one in.
class TScratchDir {
public:
  TScratchDir() {
    char tmpl[] = "/tmp/mburn-transport-XXXXXX";
    Dir = ::mkdtemp(tmpl);
    Previous = std::filesystem::current_path();
    std::filesystem::current_path(Dir);
  }
  ~TScratchDir() {
    std::filesystem::current_path(Previous);
    std::error_code ec;
    std::filesystem::remove_all(Dir, ec);
  }
  std::filesystem::path Dir;
  std::filesystem::path Previous;
};
