// vrecorder: makes, describes and records virtual discs.
#include <cstdio>
#include <cstring>
#include <string>

#include "vrecorder/vrecorder.h"

namespace {

void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: vrecorder new IMAGE MEDIA           make a blank disc\n"
               "       vrecorder info IMAGE                describe a disc\n"
               "       vrecorder write IMAGE FILE.iso [--close-disc]\n"
               "                                           record an ISO image as the next session\n"
               "       vrecorder --help | --version\n\n%s",
               VRecKeysHelp());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  std::string error;
  if (command == "--help" || command == "-h" || command == "help") {
    Usage(stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("vrecorder (Micro Burner) %s\n", MBURN_VERSION);
    return 0;
  }
  if (command == "new" && argc == 4) {
    if (!VRecCreateDisc(argv[2], argv[3], &error)) {
      std::fprintf(stderr, "vrecorder: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s: blank %s disc\n", argv[2], argv[3]);
    return 0;
  }
  if (command == "info" && argc == 3) {
    TVRecDiscInfo info;
    if (!VRecReadDiscInfo(argv[2], &info, &error)) {
      std::fprintf(stderr, "vrecorder: %s\n", error.c_str());
      return 1;
    }
    std::fputs(VRecFormatDiscInfo(info).c_str(), stdout);
    return 0;
  }
  if (command == "write" && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--close-disc") == 0))) {
    uint32_t start = 0;
    if (!VRecWriteImage(argv[2], argv[3], argc == 5, &start, &error)) {
      std::fprintf(stderr, "vrecorder: %s\n", error.c_str());
      return 1;
    }
    std::printf("start sector: %u\n", start);
    return 0;
  }
  Usage(stderr);
  return 2;
}
