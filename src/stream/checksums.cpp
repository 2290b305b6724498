// Checksums of the recorded stream: SHA-256 from the system's crypto library,
// and the per-sector tags (a fast non-cryptographic hash, truncated) that
// locate a difference when the track is read back.
#include <openssl/evp.h>
#include <xxhash.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>

#include "stream/stream.h"

namespace {
constexpr size_t kSector = 2048;

// SHA-256 with the processor's SHA instructions (x86-64), two streams at once
// where they take the same bytes; the crypto library where there are none.
#if defined(__x86_64__)
#define MBURN_SHA_INSTRUCTIONS 1
#define MBURN_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

alignas(16) constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

bool HasShaInstructions() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_SSE4_1) || !(c & bit_SSSE3)) return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
  }();
  return has;
}

// The eight words as the rounds instruction holds them: ABEF and CDGH.
struct TLane {
  __m128i Abef, Cdgh;
};

MBURN_SHA_TARGET TLane LoadLane(const uint32_t* Words) {
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Words)), 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Words + 4)), 0x1B);
  return {_mm_alignr_epi8(dcba, efgh, 8), _mm_blend_epi16(efgh, dcba, 0xF0)};
}

MBURN_SHA_TARGET void StoreLane(const TLane& Lane, uint32_t* Words) {
  const __m128i feba = _mm_shuffle_epi32(Lane.Abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(Lane.Cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(Words), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(Words + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Count 64-byte blocks into Lanes streams of words at once.
template <int Lanes>
MBURN_SHA_TARGET void HashBlocks(uint32_t* const (&Words)[Lanes], const uint8_t* Data, size_t Count) {
  const __m128i bigEndian = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  TLane lane[Lanes];
  for (int n = 0; n < Lanes; ++n) lane[n] = LoadLane(Words[n]);
  for (; Count > 0; --Count, Data += 64) {
    TLane before[Lanes];
    for (int n = 0; n < Lanes; ++n) before[n] = lane[n];
    __m128i w[4];  // the last sixteen words of the schedule
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i& m = w[g & 3];
      if (g < 4)
        m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Data + 16 * g)), bigEndian);
      else
        m = _mm_sha256msg2_epu32(_mm_add_epi32(_mm_sha256msg1_epu32(m, w[(g + 1) & 3]),
                                               _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4)),
                                 w[(g + 3) & 3]);
      const __m128i k = _mm_add_epi32(m, _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g)));
      const __m128i high = _mm_shuffle_epi32(k, 0x0E);
      for (int n = 0; n < Lanes; ++n) lane[n].Cdgh = _mm_sha256rnds2_epu32(lane[n].Cdgh, lane[n].Abef, k);
      for (int n = 0; n < Lanes; ++n) lane[n].Abef = _mm_sha256rnds2_epu32(lane[n].Abef, lane[n].Cdgh, high);
    }
    for (int n = 0; n < Lanes; ++n) {
      lane[n].Abef = _mm_add_epi32(lane[n].Abef, before[n].Abef);
      lane[n].Cdgh = _mm_add_epi32(lane[n].Cdgh, before[n].Cdgh);
    }
  }
  for (int n = 0; n < Lanes; ++n) StoreLane(lane[n], Words[n]);
}
#else
bool HasShaInstructions() { return false; }
#endif

constexpr std::array<uint32_t, 8> kInitialWords = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

TSha256Stream::TSha256Stream() {
  if (HasShaInstructions()) {
    words_ = kInitialWords;
    return;
  }
  ctx_ = EVP_MD_CTX_new();
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx_);
    throw std::bad_alloc();
  }
}

TSha256Stream::~TSha256Stream() { EVP_MD_CTX_free(ctx_); }

void TSha256Stream::Restart() {
  words_ = kInitialWords;
  length_ = 0;
}

void TSha256Stream::Update(std::span<const uint8_t> Data) {
  if (Data.empty()) return;
  if (ctx_) {
    EVP_DigestUpdate(ctx_, Data.data(), Data.size());
    return;
  }
#if MBURN_SHA_INSTRUCTIONS
  uint32_t* const words[1] = {words_.data()};
  size_t begun = length_ % 64;
  length_ += Data.size();
  if (begun > 0) {
    const size_t n = std::min(Data.size(), 64 - begun);
    std::memcpy(block_.data() + begun, Data.data(), n);
    Data = Data.subspan(n);
    if (begun + n < 64) return;
    HashBlocks<1>(words, block_.data(), 1);
  }
  HashBlocks<1>(words, Data.data(), Data.size() / 64);
  const size_t rest = Data.size() % 64;
  if (rest > 0) std::memcpy(block_.data(), Data.data() + Data.size() - rest, rest);
#endif
}

TSha256 TSha256Stream::Final() {
  TSha256 digest{};
  if (ctx_) {
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx_, digest.data(), &length);
    EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr);
    return digest;
  }
  // 0x80, zeros up to 8 bytes before a block's end, the length in bits.
  const uint64_t bits = length_ * 8;
  std::array<uint8_t, 72> padding{};
  padding[0] = 0x80;
  const size_t zeros = (119 - length_ % 64) % 64;
  for (int i = 0; i < 8; ++i) padding[1 + zeros + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(std::span<const uint8_t>(padding.data(), 1 + zeros + 8));
  for (size_t i = 0; i < 8; ++i)
    for (size_t b = 0; b < 4; ++b) digest[4 * i + b] = static_cast<uint8_t>(words_[i] >> (24 - 8 * b));
  Restart();
  return digest;
}

void TSha256Stream::UpdateBoth(TSha256Stream& A, TSha256Stream& B, std::span<const uint8_t> Data) {
#if MBURN_SHA_INSTRUCTIONS
  if (!A.ctx_ && !B.ctx_ && A.length_ % 64 == 0 && B.length_ % 64 == 0) {
    const size_t whole = Data.size() / 64;
    uint32_t* const words[2] = {A.words_.data(), B.words_.data()};
    HashBlocks<2>(words, Data.data(), whole);
    A.length_ += whole * 64;
    B.length_ += whole * 64;
    Data = Data.subspan(whole * 64);
  }
#endif
  A.Update(Data);
  B.Update(Data);
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

void TPlanManifest::AppendLine(const TLine& Line, const std::vector<TSha256>& SourceDigests,
                               std::string& Text) {
  const bool streamed = Line.Source >= 0 && static_cast<size_t>(Line.Source) < SourceDigests.size();
  if (Line.Escaped) Text += '\\';
  Text += Sha256Hex(streamed ? SourceDigests[static_cast<size_t>(Line.Source)] : Line.Digest);
  Text += "  ";
  Text += Line.Name;
  Text += '\n';
}

uint8_t TTrackChecksums::TagOf(std::span<const uint8_t> Sector) {
  return static_cast<uint8_t>(XXH3_64bits(Sector.data(), Sector.size()));
}

void TTrackChecksums::Add(std::span<const uint8_t> Sectors) {
  sha_.Update(Sectors);
  AddTags(Sectors);
}

void TTrackChecksums::AddTags(std::span<const uint8_t> Sectors) {
  for (size_t at = 0; at + kSector <= Sectors.size(); at += kSector)
    tags_.push_back(TagOf(Sectors.subspan(at, kSector)));
}
