// The texts the producers of the stream report about source files, shared by
// the read-ahead cache and the image writer so that both say the same.
#pragma once

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

inline std::string CantOpenText(const std::string& path) {
  return "CAN'T OPEN FILE \"" + path + "\" OR FILE IS IN USES BY OTHER SOFTWARE";
}

inline std::string ShortFileText(const std::string& path, int64_t got, int64_t expected) {
  char tail[96];
  std::snprintf(tail, sizeof tail, "\" (%" PRId64 " OF %" PRId64 " BYTES)", got, expected);
  return "FILE SHRANK OR COULD NOT BE READ \"" + path + tail;
}

inline std::string CantReadText(const std::string& path, int error) {
  return "CAN'T READ FILE \"" + path + "\": " + std::strerror(error);
}

inline std::string GrownFileText(const std::string& path, int64_t recorded) {
  char tail[96];
  std::snprintf(tail, sizeof tail, "\" GREW AFTER PREPARATION: FIRST %" PRId64 " BYTES RECORDED",
                recorded);
  return "FILE \"" + path + tail;
}

inline std::string StreamLengthText(int64_t image, int64_t stream) {
  char text[128];
  std::snprintf(text, sizeof text,
                "INTERNAL ERROR 0005: IMAGE OF %" PRId64 " BYTES, STREAM OF %" PRId64 " BYTES",
                image, stream);
  return text;
}
