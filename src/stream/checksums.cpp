// Checksums of the recorded stream: SHA-256 from the system's crypto library,
// and the per-sector tags (a fast non-cryptographic hash, truncated) that
// locate a difference when the track is read back.
#include <openssl/evp.h>
#include <xxhash.h>

#include <new>

#include "stream/stream.h"

namespace {
constexpr size_t kSector = 2048;
}  // namespace

TSha256Stream::TSha256Stream() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

TSha256Stream::~TSha256Stream() { EVP_MD_CTX_free(ctx_); }

void TSha256Stream::Update(std::span<const uint8_t> Data) {
  if (!Data.empty()) EVP_DigestUpdate(ctx_, Data.data(), Data.size());
}

TSha256 TSha256Stream::Final() {
  TSha256 digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx_, digest.data(), &length);
  EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr);
  return digest;
}

std::string Sha256Hex(const TSha256& Digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : Digest) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  return text;
}

bool ParseSha256Hex(const std::string& Text, TSha256& Digest) {
  if (Text.size() != 64) return false;
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < 32; ++i) {
    const int hi = nibble(Text[2 * i]), lo = nibble(Text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    Digest[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

std::string Sha256SumName(std::string_view Name, bool& Escaped) {
  std::string out;
  out.reserve(Name.size());
  Escaped = false;
  for (const char c : Name) {
    const char* escape = c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
    if (escape == nullptr) {
      out += c;
      continue;
    }
    out += escape;
    Escaped = true;
  }
  return out;
}

bool ParseSha256SumLine(std::string_view Line, TSha256& Digest, std::string& Name) {
  const bool escaped = Line.starts_with('\\');
  if (escaped) Line.remove_prefix(1);
  // "<64 hex> <mode><name>": the mode a space (text) or "*" (binary).
  if (Line.size() < 67 || Line[64] != ' ' || (Line[65] != ' ' && Line[65] != '*')) return false;
  if (!ParseSha256Hex(std::string(Line.substr(0, 64)), Digest)) return false;
  const std::string_view name = Line.substr(66);
  Name.clear();
  for (size_t i = 0; i < name.size(); ++i) {
    if (!escaped || name[i] != '\\') {
      Name += name[i];
      continue;
    }
    if (++i == name.size()) return false;
    switch (name[i]) {
      case '\\': Name += '\\'; break;
      case 'n': Name += '\n'; break;
      case 'r': Name += '\r'; break;
      default: return false;
    }
  }
  return !Name.empty();
}

int64_t TPlanManifest::Bytes() const {
  int64_t bytes = 0;
  for (const TLine& line : Lines) bytes += static_cast<int64_t>(LineBytes(line));
  return bytes;
}

std::string TPlanManifest::Text(const std::vector<TSha256>& SourceDigests) const {
  std::string text;
  text.reserve(static_cast<size_t>(Bytes()));
  for (const TLine& line : Lines) {
    const bool streamed = line.Source >= 0 && static_cast<size_t>(line.Source) < SourceDigests.size();
    if (line.Escaped) text += '\\';
    text += Sha256Hex(streamed ? SourceDigests[static_cast<size_t>(line.Source)] : line.Digest);
    text += "  ";
    text += line.Name;
    text += '\n';
  }
  return text;
}

uint8_t TTrackChecksums::TagOf(std::span<const uint8_t> Sector) {
  return static_cast<uint8_t>(XXH3_64bits(Sector.data(), Sector.size()));
}

void TTrackChecksums::Add(std::span<const uint8_t> Sectors) {
  sha_.Update(Sectors);
  for (size_t at = 0; at + kSector <= Sectors.size(); at += kSector)
    tags_.push_back(TagOf(Sectors.subspan(at, kSector)));
}
