// The read-ahead cache: the exact stream for small trees, the capacity limit,
// ReadBlock's results, abort, and the failures that name a source file.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "iso/iso.h"
#include "stream/stream.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return b;
}

void Append(Bytes& to, const Bytes& what) { to.insert(to.end(), what.begin(), what.end()); }
void AppendZeros(Bytes& to, size_t n) { to.insert(to.end(), n, 0); }
size_t RoundUp(size_t n) { return (n + 2047) / 2048 * 2048; }

// Waits a bounded number of times for a block; a stuck cache fails the test
// instead of hanging it.
struct TDrained {
  Bytes Stream;
  std::vector<int32_t> Blocks;
  bool Ended = false;  // ReadBlock gave 0
};

// The sha256sum of bytes, from the tool.
std::string Sha256SumOf(const Bytes& data) {
  char name[] = "/tmp/mburn-cache-sum-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return "";
  const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  ::close(fd);
  std::string sum;
  if (written) {
    if (std::FILE* p = ::popen(("sha256sum " + std::string(name)).c_str(), "r")) {
      char hex[65] = {};
      if (std::fread(hex, 1, 64, p) == 64) sum = hex;
      ::pclose(p);
    }
  }
  ::unlink(name);
  return sum;
}

// The digest taken by pieces, and two at once where a file's bytes are also the
// track's, equals the crypto library's digest taken in one call: at the
// padding's edges (55, 56, 64 bytes), across blocks, with either stream ahead.
TEST(Sha256Stream, EqualsTheCryptoLibraryAtEveryLengthAndSplit) {
  auto reference = [](std::span<const uint8_t> data) {
    TSha256 digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return Sha256Hex(digest);
  };
  for (const size_t size : {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 1000, 65536 + 17}) {
    const Bytes data = Pattern(size, static_cast<uint8_t>(size));
    for (const size_t split : {0, 1, 63, 64, 100}) {
      const size_t at = std::min(split, size);
      const std::span<const uint8_t> all(data), head = all.first(at), tail = all.subspan(at);
      TSha256Stream one, a, b;
      one.Update(head);
      one.Update(tail);
      EXPECT_EQ(Sha256Hex(one.Final()), reference(all)) << size << " split at " << at;
      // a holds the head already; b starts with the tail (aligned or not).
      a.Update(head);
      TSha256Stream::UpdateBoth(a, b, tail);
      EXPECT_EQ(Sha256Hex(a.Final()), reference(all)) << size << " both at " << at;
      EXPECT_EQ(Sha256Hex(b.Final()), reference(tail)) << size << " both at " << at;
      a.Update(all);  // Final starts again empty
      EXPECT_EQ(Sha256Hex(a.Final()), reference(all));
    }
  }
}

// A stream that ended well has the checksums of every byte it gave; one that
// ended with a message, or was made without its digest, has none.
void ExpectChecksumsOf(TCacheThread& cache, const Bytes& stream, bool digest) {
  const auto sums = cache.Checksums();
  if (!cache.FMessage().empty() || !digest) {
    EXPECT_EQ(sums, nullptr) << cache.FMessage();
    return;
  }
  ASSERT_NE(sums, nullptr);
  EXPECT_TRUE(sums->Complete());
  EXPECT_EQ(sums->SectorCount() * 2048, static_cast<int64_t>(stream.size()));
  EXPECT_EQ(Sha256Hex(sums->Digest()), Sha256SumOf(stream));
}

// Every other block is taken as it is (TakeBlock) instead of copied out: both
// ways give the same stream.
TDrained Drain(TCacheThread& cache, size_t maxBlocks = SIZE_MAX, bool digest = true) {
  TDrained d;
  std::vector<uint8_t> buf(kCacheBlockBytes);
  int idle = 0;
  while (d.Blocks.size() < maxBlocks) {
    int32_t n = 0;
    if (d.Blocks.size() % 2 == 1) {
      std::unique_ptr<TCacheBlock> block = cache.TakeBlock(n);
      EXPECT_EQ(block != nullptr, n > 0);
      if (block) {
        EXPECT_EQ(block->Count, n);
        std::copy_n(block->Data.begin(), n, buf.begin());
      }
      cache.ReturnBlock(std::move(block));
    } else {
      n = cache.ReadBlock(buf);
    }
    if (n == 0) {
      d.Ended = true;
      break;
    }
    if (n < 0) {
      if (++idle > 600) {
        ADD_FAILURE() << "the cache delivers nothing";
        break;
      }
      cache.WaitForBlock(100);
      continue;
    }
    idle = 0;
    d.Blocks.push_back(n);
    d.Stream.insert(d.Stream.end(), buf.begin(), buf.begin() + n);
  }
  if (d.Ended) ExpectChecksumsOf(cache, d.Stream, digest);
  return d;
}

class CacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = (fs::path(MBURN_BINARY_DIR) / "cache-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    comp_ = std::make_unique<VEZEZadira>();  // resets the image tree
  }
  void TearDown() override {
    comp_.reset();
    fs::remove_all(dir_);
  }

  std::string WriteFile(const std::string& name, const Bytes& data) {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                             static_cast<std::streamsize>(data.size()));
    return p;
  }

  // An entry of (*comp_).FileTable set up as the tree and the layout leave it.
  TFEntry& AddEntry(const std::string& path, int64_t size, uint32_t attr = faArchive) {
    auto e = std::make_unique<TFEntry>();
    e->SetSourcePath(path);
    e->ISOSize = e->JolietSize = size;
    e->Attr = attr;
    (*comp_).FileTable.push_back(std::move(e));
    (*comp_).EntryCount = static_cast<int32_t>((*comp_).FileTable.size());
    return *(*comp_).FileTable.back();
  }
  TFEntry& AddFileEntry(const std::string& name, const Bytes& data) {
    return AddEntry(WriteFile(name, data), static_cast<int64_t>(data.size()));
  }
  void SetMetadata(const Bytes& m) {
    metadata_.Clear();
    metadata_.Write(m);
  }
  // The plan of the metadata and the table's files, each file after the one
  // before it, as the layout places them; ImageBytes as the layout promised.
  std::shared_ptr<const TImagePlan> MakePlan(int64_t imageBytes, bool pad) {
    auto plan = std::make_shared<TImagePlan>();
    plan->TrackLength = imageBytes / 2048;
    plan->PadToMinimum = pad;
    std::vector<uint8_t> bytes(static_cast<size_t>(metadata_.Size()));
    metadata_.Read(0, bytes);
    plan->MetadataStream.Write(bytes);
    int64_t at = Sectors(metadata_.Size());
    for (const auto& e : comp_->FileTable) {
      if (e == nullptr) {
        plan->Broken = true;
        break;
      }
      // What the layout leaves out: subdirectory entries, imported entries,
      // entries without a source and empty files.
      if ((e->Attr & faDirectory) || e->Imported || e->SourcePath.Empty() || e->ISOSize <= 0) continue;
      plan->Sources.Add({e->SourceText(), e->ISOSize, at});
      at += Sectors(e->ISOSize);
    }
    return plan;
  }

  fs::path dir_;
  std::unique_ptr<VEZEZadira> comp_;
  TMemoryStream metadata_;
};

constexpr int32_t k2MiB = 2097152;

TEST_F(CacheTest, StreamIsMetadataThenFilesOnSectorBoundariesWithZeroTails) {
  const Bytes meta = Pattern(16 * 2048, 1);
  const Bytes a = Pattern(3000, 2);
  const Bytes one = {0x5A};
  const Bytes c = Pattern(70000, 3);
  SetMetadata(meta);
  AddFileEntry("a.bin", a);
  TFEntry& dir = AddEntry("", 2048, faDirectory);  // a subdirectory entry
  dir.SubDir = comp_->RootDirectory();
  AddEntry(WriteFile("imported.bin", Pattern(5000, 9)), 5000).Imported = true;
  AddEntry(WriteFile("imported2.bin", Pattern(5000, 9)), 5000).SourcePath.Clear();
  AddFileEntry("empty.bin", {});
  AddFileEntry("one.bin", one);
  AddFileEntry("c.bin", c);

  Bytes expected = meta;
  Append(expected, a);
  AppendZeros(expected, RoundUp(a.size()) - a.size());
  Append(expected, one);
  AppendZeros(expected, 2047);
  Append(expected, c);
  AppendZeros(expected, RoundUp(c.size()) - c.size());

  // The plan is only read: a second stream of it carries the same bytes.
  const auto plan = MakePlan(static_cast<int64_t>(expected.size()), true);
  TCacheThread first(k2MiB, plan, comp_->StreamNotify());
  const TDrained once = Drain(first);
  TCacheThread cache(k2MiB, plan, comp_->StreamNotify());
  TDrained d = Drain(cache);
  EXPECT_TRUE(once.Ended);
  EXPECT_TRUE(once.Stream == d.Stream);
  EXPECT_TRUE(d.Ended);
  EXPECT_EQ(cache.FMessage(), "");
  // Shorter than 300 sectors: zeros up to 300, in blocks of their own.
  const size_t dataBytes = expected.size();
  AppendZeros(expected, 300 * 2048 - dataBytes);
  ASSERT_EQ(d.Stream.size(), expected.size());
  EXPECT_TRUE(d.Stream == expected);
  int64_t sum = 0;
  for (int32_t n : d.Blocks) {
    EXPECT_EQ(n % 2048, 0);
    EXPECT_LE(n, kCacheBlockBytes);
    EXPECT_GT(n, 0);
    sum += n;
    if (sum == static_cast<int64_t>(dataBytes)) {
      EXPECT_NE(n, kCacheBlockBytes);  // the partial last data block, then the padding
    }
  }
  std::vector<uint8_t> buf(kCacheBlockBytes);
  EXPECT_EQ(cache.ReadBlock(buf), 0);  // after the end: 0 every time
  EXPECT_EQ(cache.ReadBlock(buf), 0);
  EXPECT_TRUE(cache.FFinished);
  EXPECT_TRUE(cache.FPrimed);
}

// A checksum list as the plan's last source holds the digests of the files
// streamed before it, whichever blocks they crossed (the last one shares its
// block with nothing after it), with the lines that brought their digest;
// the smallest cache, whose producer waits at every block, gives the same.
TEST_F(CacheTest, ChecksumListHoldsTheDigestsOfTheFilesBeforeIt) {
  SetMetadata(Pattern(3 * 2048, 1));
  const std::vector<Bytes> files = {Pattern(3000, 2), Pattern(70000, 3), Pattern(65536, 4), {0x5A}};
  for (size_t i = 0; i < files.size(); ++i) AddFileEntry("f" + std::to_string(i), files[i]);
  auto manifest = std::make_shared<TPlanManifest>();
  std::string expected;
  for (size_t i = 0; i < files.size(); ++i) {
    manifest->Lines.push_back({static_cast<int64_t>(i), {}, "dir/f" + std::to_string(i), false});
    expected += Sha256SumOf(files[i]) + "  dir/f" + std::to_string(i) + "\n";
  }
  TPlanManifest::TLine known{-1, {}, "earlier\\nfile", true};
  known.Digest.fill(0xAB);
  manifest->Lines.push_back(known);
  std::string hex;
  for (int i = 0; i < 32; ++i) hex += "ab";
  expected += "\\" + hex + "  earlier\\nfile\n";
  ASSERT_EQ(manifest->Bytes(), static_cast<int64_t>(expected.size()));

  const auto base = MakePlan(0, false);
  auto plan = std::make_shared<TImagePlan>();
  std::vector<uint8_t> meta(static_cast<size_t>(base->MetadataStream.Size()));
  base->MetadataStream.Read(0, meta);
  plan->MetadataStream.Write(meta);
  int64_t end = 0;
  for (const TPlanSource& source : base->Sources) {
    plan->Sources.Add(source);
    end = source.FirstSector + Sectors(source.Size);
  }
  manifest->Source = plan->Sources.size();
  plan->Sources.Add({"SHA256SUMS", manifest->Bytes(), end});
  plan->Manifest = manifest;
  plan->TrackLength = end + Sectors(manifest->Bytes());
  plan->PadToMinimum = false;
  for (const int32_t size : {k2MiB, 2 * kCacheBlockBytes}) {
    SCOPED_TRACE(size);
    TCacheThread cache(size, plan, comp_->StreamNotify());
    const TDrained d = Drain(cache);
    ASSERT_TRUE(d.Ended);
    EXPECT_EQ(cache.FMessage(), "");
    ASSERT_EQ(d.Stream.size(), static_cast<size_t>(plan->TrackBytes()));
    const auto at = d.Stream.begin() + end * 2048;
    EXPECT_EQ(std::string(at, at + static_cast<std::ptrdiff_t>(expected.size())), expected);
  }
}

TEST_F(CacheTest, FileTailsAreZerosWhateverTheBlockHeldBefore) {
  // Many full blocks of non-zero data go through the cache; once it has been
  // full, the last, short files are staged where earlier data lay.
  SetMetadata(Pattern(65536, 4));
  const Bytes big(40 * 65536 + 2048 * 5, 0xEE);
  const Bytes small = Pattern(100, 5);
  AddFileEntry("big.bin", big);
  AddFileEntry("small.bin", small);
  AddFileEntry("small2.bin", small);
  AddEntry("", 0, faDirectory);  // the last entry is skipped: the final flush delivers
  const int64_t image = 65536 + static_cast<int64_t>(big.size()) + 2 * 2048;
  TCacheThread cache(k2MiB, MakePlan(image, true), comp_->StreamNotify());
  ASSERT_TRUE(cache.WaitPrimed(60000));
  TDrained d = Drain(cache);
  ASSERT_EQ(static_cast<int64_t>(d.Stream.size()), image);
  EXPECT_EQ(cache.FMessage(), "");
  for (int k = 0; k < 2; ++k) {
    const size_t at = 65536 + big.size() + k * 2048u;
    EXPECT_TRUE(std::equal(small.begin(), small.end(), d.Stream.begin() + at));
    for (size_t i = at + small.size(); i < at + 2048; ++i)
      ASSERT_EQ(d.Stream[i], 0) << "byte " << i - at << " of the sector of file " << k;
  }
  // The last block is the 5 sectors of big plus the two small files.
  EXPECT_EQ(d.Blocks.back(), 7 * 2048);
}

TEST_F(CacheTest, MetadataOfWholeBlocksLeavesTheFirstFileANewBlock) {
  const Bytes meta = Pattern(2 * 65536, 6);
  SetMetadata(meta);
  AddFileEntry("f.bin", Pattern(10, 7));
  TCacheThread cache(k2MiB, MakePlan(2 * 65536 + 2048, false), comp_->StreamNotify());
  TDrained d = Drain(cache);
  EXPECT_EQ(d.Blocks, (std::vector<int32_t>{65536, 65536, 2048}));
}

// The 150-sector image of an empty tree: 32, 32, 32, 32, 22 sectors of image
// and then the same of zeros; FRemaining starts at the image size and grows by
// the padding once the producer reaches the end, which it may already have done.
TEST_F(CacheTest, ShortImageIsPaddedTo300Sectors) {
  const Bytes meta = Pattern(150 * 2048, 8);
  SetMetadata(meta);
  TCacheThread cache(k2MiB, MakePlan(150 * 2048, true), comp_->StreamNotify());
  const int64_t atStart = cache.FRemaining();
  EXPECT_TRUE(atStart == 307200 || atStart == 614400) << atStart;
  TDrained d = Drain(cache);
  EXPECT_EQ(d.Blocks, (std::vector<int32_t>{65536, 65536, 65536, 65536, 22 * 2048, 65536, 65536,
                                            65536, 65536, 22 * 2048}));
  Bytes expected = meta;
  AppendZeros(expected, 150 * 2048);
  EXPECT_TRUE(d.Stream == expected);
  EXPECT_EQ(cache.FRemaining(), 0);
}

// Without the digest the stream is the same, with no checksums.
TEST_F(CacheTest, NoPaddingAt300SectorsOrWhenNotAsked) {
  for (const auto& [sectors, pad, digest] :
       {std::tuple{300, true, true}, std::tuple{150, false, true}, std::tuple{150, false, false}}) {
    SetMetadata(Pattern(sectors * 2048u, 9));
    TCacheThread cache(k2MiB, MakePlan(sectors * 2048LL, pad), comp_->StreamNotify(), digest);
    TDrained d = Drain(cache, SIZE_MAX, digest);
    EXPECT_EQ(d.Stream.size(), sectors * 2048u) << sectors;
    EXPECT_TRUE(d.Ended);
  }
}

TEST_F(CacheTest, HoldsAtMostCapacityLessOneBlocks) {
  SetMetadata(Pattern(65536, 10));
  const Bytes big(50 * 65536, 0x11);
  AddFileEntry("big.bin", big);
  const int64_t image = 51 * 65536;
  {
    TCacheThread cache(k2MiB, MakePlan(image, false), comp_->StreamNotify());
    EXPECT_EQ(cache.FCapacity(), 32);
    ASSERT_TRUE(cache.WaitPrimed(60000));
    // The producer stopped with 31 blocks queued, at idle priority.
    EXPECT_EQ(cache.QueuedBlocks(), 31);
    EXPECT_EQ(cache.FPriorityBand(), 0);
    TDrained d = Drain(cache);
    EXPECT_EQ(static_cast<int64_t>(d.Stream.size()), image);
  }
  SetMetadata(Pattern(65536, 10));
  TCacheThread cache(4194304, MakePlan(image, false), comp_->StreamNotify());
  EXPECT_EQ(cache.FCapacity(), 64);
  ASSERT_TRUE(cache.WaitPrimed(60000));
  EXPECT_EQ(cache.QueuedBlocks(), 51);  // all of it: primed because everything was read
}

TEST_F(CacheTest, ReadBlockGivesMinusOneUntilABlockIsReady) {
  // A pipe as the source lets the test decide when the producer gets data.
  static int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  SetSourceOpener([](const std::string&) { return ends[0]; });
  AddEntry("pipe", 4096);
  TCacheThread cache(k2MiB, MakePlan(4096, false), comp_->StreamNotify());
  std::vector<uint8_t> buf(kCacheBlockBytes);
  EXPECT_EQ(cache.ReadBlock(buf), -1);
  EXPECT_FALSE(cache.FPrimed);
  EXPECT_FALSE(cache.WaitForBlock(1));
  const Bytes data = Pattern(4096, 11);
  EXPECT_EQ(::write(ends[1], data.data(), data.size()), 4096);
  ::close(ends[1]);
  TDrained d = Drain(cache);
  SetSourceOpener(nullptr);
  EXPECT_EQ(d.Blocks, std::vector<int32_t>{4096});
  EXPECT_TRUE(d.Ended);
  EXPECT_EQ(cache.ReadBlock(buf), 0);
}

TEST_F(CacheTest, AbortMidStreamDropsTheQueueAndEndsTheStream) {
  SetMetadata(Pattern(65536, 12));
  AddFileEntry("big.bin", Bytes(60 * 65536, 0x22));
  TCacheThread cache(k2MiB, MakePlan(61 * 65536, false), comp_->StreamNotify());
  ASSERT_TRUE(cache.WaitPrimed(60000));
  TDrained first = Drain(cache, 3);
  EXPECT_EQ(first.Blocks.size(), 3u);
  cache.Abort();
  std::vector<uint8_t> buf(kCacheBlockBytes);
  EXPECT_EQ(cache.ReadBlock(buf), 0);  // nothing more after an abort
  // The producer takes its abort exit: the queue is freed, the text set.
  EXPECT_TRUE(cache.WaitFinished(60000));
  EXPECT_EQ(cache.QueuedBlocks(), 0);
  EXPECT_EQ(cache.FMessage(), "OPERATION ABORTED BY USER");
  EXPECT_EQ(cache.Checksums(), nullptr);
  EXPECT_EQ(cache.ReadBlock(buf), 0);
}

TEST_F(CacheTest, AbortKeepsAMessageTheRecorderSetFirst) {
  SetMetadata(Pattern(65536, 13));
  AddFileEntry("big.bin", Bytes(60 * 65536, 0x33));
  TCacheThread cache(k2MiB, MakePlan(61 * 65536, false), comp_->StreamNotify());
  ASSERT_TRUE(cache.WaitPrimed(60000));
  cache.SetMessage("WRITER ERROR [X]");
  cache.Abort();
  EXPECT_TRUE(cache.WaitFinished(60000));
  EXPECT_EQ(cache.FMessage(), "WRITER ERROR [X]");
  cache.SetMessage("SECOND");  // the first text stays
  EXPECT_EQ(cache.FMessage(), "WRITER ERROR [X]");
}

// A source gone, turned into a FIFO (whose open would wait for a writer
// forever), or failing as a disc does (reading /proc/self/mem at address 0
// fails with EIO): the stream ends before priming, naming the file and why.
TEST_F(CacheTest, UnusableSourceBeforePrimingIsNamed) {
  const std::string gone = WriteFile("gone.bin", Pattern(5000, 15));
  fs::remove(gone);
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string cantOpen = "\" OR FILE IS IN USES BY OTHER SOFTWARE";
  const struct {
    std::string path, message;
  } cases[] = {
      {gone, "CAN'T OPEN FILE \"" + gone + cantOpen},
      {fifo, "CAN'T OPEN FILE \"" + fifo + cantOpen},
      {"/proc/self/mem", "CAN'T READ FILE \"/proc/self/mem\": Input/output error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    SetMetadata(Pattern(2048, 14));
    AddEntry(c.path, 5000);
    TCacheThread cache(k2MiB, MakePlan(2048 + 6144, false), comp_->StreamNotify());
    EXPECT_FALSE(cache.WaitPrimed(60000));
    EXPECT_FALSE(cache.FPrimed);
    EXPECT_EQ(cache.FMessage(), c.message);
    EXPECT_TRUE(cache.WaitFinished(10000));
    (*comp_).FileTable.clear();
    (*comp_).EntryCount = 0;
  }
}

// The cache is full (primed) before it reaches the second file; the file is
// changed then, and the stream must end with a message naming it.
TEST_F(CacheTest, FileMissingOrShrunkMidStreamEndsWithItsName) {
  for (int shrink = 0; shrink < 2; ++shrink) {
    SetMetadata(Pattern(65536, 16));
    AddFileEntry("first.bin", Bytes(40 * 65536, 0x44));
    const Bytes second = Pattern(100000, 17);
    const std::string p = WriteFile("second.bin", second);
    AddEntry(p, static_cast<int64_t>(second.size()));
    TCacheThread cache(k2MiB, MakePlan(41 * 65536 + RoundUp(second.size()), false), comp_->StreamNotify());
    ASSERT_TRUE(cache.WaitPrimed(60000));
    if (shrink) fs::resize_file(p, 70000);
    else fs::remove(p);
    TDrained d = Drain(cache);
    const std::string msg = cache.FMessage();
    EXPECT_NE(msg.find("\"" + p + "\""), std::string::npos) << msg;
    if (!shrink) EXPECT_EQ(msg, "CAN'T OPEN FILE \"" + p + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
    else EXPECT_NE(msg.find("70000"), std::string::npos) << msg;
    // Never padded silently: nothing of the second file's missing part is delivered.
    EXPECT_LE(d.Stream.size(), 41u * 65536 + 65536);
    EXPECT_TRUE(d.Ended);
    (*comp_).FileTable.clear();
    (*comp_).EntryCount = 0;
  }
}

TEST_F(CacheTest, GrownFileKeepsItsLaidOutLengthAndIsReported) {
  const Bytes grown = Pattern(5000, 18);
  const std::string p = WriteFile("grown.bin", grown);
  AddEntry(p, 3000);  // laid out when it was 3000 bytes
  AddFileEntry("next.bin", Pattern(10, 19));
  std::vector<std::pair<std::string, uint8_t>> messages;
  std::vector<std::thread::id> threads;
  comp_->OnDebugMessage = [&](TObject*, const std::string& m, uint8_t kind) {
    messages.emplace_back(m, kind);
    threads.push_back(std::this_thread::get_id());
  };
  TCacheThread cache(k2MiB, MakePlan(4096 + 2048, false), comp_->StreamNotify());
  TDrained d = Drain(cache);
  Bytes expected(grown.begin(), grown.begin() + 3000);
  AppendZeros(expected, 4096 - 3000);
  Append(expected, Pattern(10, 19));
  AppendZeros(expected, 2038);
  EXPECT_TRUE(d.Stream == expected);
  EXPECT_EQ(cache.FMessage(), "");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].second, MSG_FILE);
  EXPECT_NE(messages[0].first.find("\"" + p + "\""), std::string::npos) << messages[0].first;
  EXPECT_EQ(threads[0], std::this_thread::get_id());  // reported on the consumer's thread
}

TEST_F(CacheTest, InconsistentTableOrSizeIsAnInternalError) {
  SetMetadata(Pattern(2048, 20));
  (*comp_).FileTable.push_back(nullptr);  // an entry the table no longer holds
  (*comp_).EntryCount = 1;
  {
    TCacheThread cache(k2MiB, MakePlan(2048, false), comp_->StreamNotify());
    TDrained d = Drain(cache);
    EXPECT_EQ(cache.FMessage(), "INTERNAL ERROR 0005");
  }
  (*comp_).FileTable.clear();
  (*comp_).EntryCount = 0;
  SetMetadata(Pattern(2048, 20));
  TCacheThread cache(k2MiB, MakePlan(4096, false), comp_->StreamNotify());  // the layout promised more
  TDrained d = Drain(cache);
  EXPECT_TRUE(d.Ended);
  EXPECT_EQ(cache.FMessage().rfind("INTERNAL ERROR 0005", 0), 0u) << cache.FMessage();
}

TEST_F(CacheTest, ReleasingARunningCacheStopsItsThread) {
  SetMetadata(Pattern(65536, 21));
  AddFileEntry("big.bin", Bytes(60 * 65536, 0x55));
  auto cache = std::make_shared<TCacheThread>(k2MiB, MakePlan(61 * 65536, false), comp_->StreamNotify());
  ASSERT_TRUE(cache->WaitPrimed(60000));
  auto consumer = cache;  // the recording thread's reference
  cache.reset();
  std::vector<uint8_t> buf(kCacheBlockBytes);
  EXPECT_EQ(consumer->ReadBlock(buf), kCacheBlockBytes);  // still readable
  consumer.reset();  // the last owner: aborts and joins the producer, stalled or not
}

// The lines of a sha256sum list as any tool writes them: text and binary
// mode, names escaped as sha256sum escapes them (and written back the same
// way), and lines that are none refused.
TEST(Sha256SumLines, ReadAndWrittenAsSha256sumDoes) {
  const std::string hex = std::string(62, 'a') + "0F";
  const struct {
    std::string Line;
    bool Ok;
    std::string Name;
    bool Same;  // written back, the name makes the same line
  } cases[] = {
      {hex + "  a b.txt", true, "a b.txt", true},
      {hex + " *binary.bin", true, "binary.bin", false},
      {"\\" + hex + "  new\\nline\\rand\\\\slash", true, "new\nline\rand\\slash", true},
      {hex + "  not\\nescaped", true, "not\\nescaped", false},  // no leading backslash: as it stands
      {"\\" + hex + "  bad\\tescape", false, "", false},
      {"\\" + hex + "  trailing\\", false, "", false},
      {hex + " name", false, "", false},
      {hex.substr(1) + "  short", false, "", false},
      {std::string(64, 'g') + "  nothex", false, "", false},
      {hex + "  ", false, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Line);
    TSha256 digest{};
    std::string name;
    ASSERT_EQ(ParseSha256SumLine(c.Line, digest, name), c.Ok);
    if (!c.Ok) continue;
    EXPECT_EQ(name, c.Name);
    EXPECT_EQ(digest[31], 0x0F);
    if (!c.Same) continue;
    bool escaped = false;
    const std::string written = Sha256SumName(name, escaped);
    EXPECT_EQ((escaped ? "\\" : "") + hex + "  " + written, c.Line);
  }
}

}  // namespace
