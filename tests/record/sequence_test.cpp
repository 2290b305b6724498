// The conversation with the recorder, read from the recorder's command log:
// preparation, the writes with their addresses and lengths, the flush, the
// closing by disc kind and the reset of the drive's settings.
#include "record/record_helpers.h"

namespace rectest {
namespace {

// ---------------------------------------------------------------- a fault shim
// Sits in front of the virtual recorder and fails the next Count commands of
// one operation code with a CHECK CONDITION of the given sense, without
// passing them on; everything else goes through.
struct TShim {
  std::atomic<int> Op{-1};
  std::atomic<int> Count{0};
  std::atomic<int> Failed{0};
  uint8_t Key = 0, Asc = 0, Ascq = 0;
};
TShim gShim;

uint32_t ShimSend(void* p) {
  auto* srb = static_cast<SRB_ExecSCSICmd*>(p);
  if (srb->SRB_Cmd == SC_EXEC_SCSI_CMD && srb->CDBByte[0] == gShim.Op && gShim.Count > 0) {
    --gShim.Count;
    ++gShim.Failed;
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = STATUS_CHKCOND;
    std::memset(srb->SenseArea, 0, sizeof srb->SenseArea);
    srb->SenseArea[0] = 0x70;
    srb->SenseArea[2] = gShim.Key;
    srb->SenseArea[7] = 10;
    srb->SenseArea[12] = gShim.Asc;
    srb->SenseArea[13] = gShim.Ascq;
    srb->SRB_Status = SS_ERR;
    return SS_ERR;
  }
  return VRecSendASPI32Command(p);
}

void FailNext(uint8_t op, int count, uint8_t key, uint8_t asc, uint8_t ascq) {
  gShim.Key = key;
  gShim.Asc = asc;
  gShim.Ascq = ascq;
  gShim.Failed = 0;
  gShim.Count = count;
  gShim.Op = op;
}

struct TShimScope {
  TShimScope() { BindASPIEntries(&VRecGetASPI32SupportInfo, &ShimSend); }
  ~TShimScope() {
    gShim.Op = -1;
    gShim.Count = 0;
    BindASPIEntries(&VRecGetASPI32SupportInfo, &VRecSendASPI32Command);
  }
};

// ---------------------------------------------------------------- helpers
// A folder of 2 MiB and a bit: enough blocks for several capacity queries.
void Folder(const fs::path& dir) {
  WriteFile(dir / "a.bin", Pattern(2 * 1024 * 1024 + 5000, 21));
  WriteFile(dir / "b.txt", Pattern(100, 22));
}

// The stream writes, as indices into the log: every WRITE (10) but the
// descriptor write to LBA 0 of overwritable DVDs (the one followed at once by
// SYNCHRONIZE CACHE, before any other write).
std::vector<size_t> StreamWriteIndices(const std::vector<TLogged>& log) {
  std::vector<size_t> out;
  bool first = true;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].Op() != 0x2A) continue;
    const bool descriptors = first && i + 1 < log.size() && log[i + 1].Op() == 0x35 &&
                             log[i].Lba() == 0 && log[i].Count() == 32;
    first = false;
    if (!descriptors) out.push_back(i);
  }
  return out;
}

std::vector<TLogged> StreamWrites(const std::vector<TLogged>& log) {
  std::vector<TLogged> out;
  for (size_t i : StreamWriteIndices(log)) out.push_back(log[i]);
  return out;
}

struct TKindCase {
  const char* Medium;
  const char* Name;       // DiscKindNames
  const char* Landmarks;  // with PerformOPC on
};

void PrintTo(const TKindCase& k, std::ostream* os) { *os << k.Medium; }

class PerKind : public ::testing::TestWithParam<TKindCase> {};

TEST_P(PerKind, SendsTheSequenceOfItsDiscKind) {
  const TKindCase k = GetParam();
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(Folder, k.Medium));
  VEZEZadira& c = *s.Component;
  c.PerformOPC = true;
  TRecorderRun run(c);
  const TOutcome out = run.Record();
  ASSERT_EQ(out.Error, "");
  const auto log = s.Recorder->Log();
  EXPECT_EQ(Landmarks(log), k.Landmarks);

  // The start message names the medium and the speed.
  const std::string head = std::string(">>> STARTING WRITE PROCESS ON ") + k.Name + " AT ";
  bool named = false;
  for (const auto& m : out.Messages) {
    if (m.rfind(head, 0) != 0 || !m.ends_with(" KB/s")) continue;
    const std::string speed = m.substr(head.size(), m.size() - head.size() - 5);
    named = named || (!speed.empty() && std::all_of(speed.begin(), speed.end(), ::isdigit));
  }
  EXPECT_TRUE(named);
  EXPECT_FALSE(run.MessageSeen(">>> TEST/DUMMY WRITE"));

  // One WRITE (10) per block, at consecutive addresses from StartAddress.
  const auto writes = StreamWrites(log);
  ASSERT_FALSE(writes.empty());
  uint32_t next = c.StartAddress;
  int64_t total = 0;
  for (size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(writes[i].Lba(), next) << "write " << i;
    EXPECT_TRUE(writes[i].Count() == 32 || i + 1 == writes.size() ||
                total + writes[i].Count() == c.TrackLength)
        << "write " << i << " of " << writes[i].Count();
    next += writes[i].Count();
    total += writes[i].Count();
  }
  EXPECT_EQ(total, c.ImageSectors());

  // READ BUFFER CAPACITY before the 6th, 11th, 16th ... block and no other.
  const auto indices = StreamWriteIndices(log);
  for (size_t b = 1; b < indices.size(); ++b) {
    bool queried = false;
    for (size_t i = indices[b - 1] + 1; i < indices[b]; ++i) queried = queried || log[i].Op() == 0x5C;
    EXPECT_EQ(queried, (b + 1) % 5 == 1) << "block " << b + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Media, PerKind,
    ::testing::Values(
        TKindCase{"cd-r", "CD-R", "1B 01 BB 54 2A* 35 5B BB 01 1E 1B 01 01"},
        TKindCase{"cd-rw", "CD-RW", "1B 01 BB 54 2A* 35 5B BB 01 1E 1B 01 01"},
        TKindCase{"dvd-r", "DVD-R", "1B 01 BB B6 BF 53 54 2A* 35 5B 5B 5B BB 01 1E 1B 01"},
        TKindCase{"dvd-rw", "DVD-RW_RO", "1B 01 BB 04 54 2A* 35 5B BB 01 1E 1B 01"},
        TKindCase{"dvd-rw-seq", "DVD-RW_RO", "1B 01 BB 04 54 2A* 35 5B BB 01 1E 1B 01"},
        TKindCase{"dvd+r", "DVD+R", "1B 01 BB 54 2A* 35 5B 5B BB 01 1E 1B 01 01"},
        TKindCase{"dvd+rw", "DVD+RW", "1B BB 54 2A* 35 5B BB 01 1E 1B 01"},
        // The new volume's descriptors at LBA 0 first, as on DVD+RW.
        TKindCase{"dvd-ram", "DVD-RAM", "1B 01 BB 2A* 35 BB 01 1E 1B 01"},
        // No write parameters page; a new BD-RE is formatted, then written as DVD+RW.
        TKindCase{"bd-r", "BD-R", "1B 01 BB 54 2A* 35 5B 5B BB 01 1E 1B 01 01"},
        TKindCase{"bd-re", "BD-RE", "1B 01 BB 04 54 2A* 35 BB 01 1E 1B 01 01"}),
    [](const auto& info) {
      std::string n = info.param.Medium;
      std::replace(n.begin(), n.end(), '-', '_');
      std::replace(n.begin(), n.end(), '+', 'p');
      return n;
    });

// Closing commands byte for byte, and what the DVD-R preparation sends.
TEST(Sequence, ClosingCommandsCarryTheirFunctionAndTrack) {
  struct TCase {
    const char* Medium;
    std::vector<std::array<uint8_t, 3>> Close;  // CDB bytes 1, 2, 5
    uint8_t SyncByte1;                          // of the flush
    bool Finalize = false;
  };
  const TCase cases[] = {
      {"cd-r", {{0x01, 0x02, 0x00}}, 0x00},  // Immed = CloseTrackImmediate
      {"dvd-r", {{0x00, 0x01, 0x01}, {0x00, 0x01, 0x02}, {0x00, 0x02, 0x03}}, 0x02},
      {"dvd-rw", {{0x01, 0x02, 0x00}}, 0x02},
      {"dvd+r", {{0x00, 0x01, 0x01}, {0x00, 0x02, 0xFF}}, 0x00},
      {"dvd+rw", {{0x00, 0x03, 0xFF}}, 0x00},
      {"bd-r", {{0x00, 0x01, 0x01}, {0x00, 0x02, 0x00}}, 0x00},
      {"bd-r", {{0x00, 0x01, 0x01}, {0x00, 0x06, 0x00}}, 0x00, true},  // finalised
      {"bd-re", {}, 0x00},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Medium);
    TSetup s;
    ASSERT_TRUE(s.Open(k.Medium));
    Folder(s.Tmp / "src");
    ASSERT_TRUE(s.Prepare(s.Tmp / "src"));
    VEZEZadira& c = *s.Component;
    c.FinalizeDisc = k.Finalize;
    TRecorderRun run(c);
    ASSERT_EQ(run.Record().Error, "");
    const auto log = s.Recorder->Log();
    // The recording (from its load on) sends BD drives no write parameters page.
    const auto load = std::find_if(log.begin(), log.end(), [](const TLogged& l) { return l.Op() == 0x1B; });
    EXPECT_EQ(std::any_of(load, log.end(), [](const TLogged& l) { return l.Op() == 0x55; }), k.Medium[0] != 'b');
    const auto close = Only(log, 0x5B);
    ASSERT_EQ(close.size(), k.Close.size());
    for (size_t i = 0; i < close.size(); ++i) {
      EXPECT_EQ(close[i].Cdb[1] & 0x1F, k.Close[i][0]) << i;
      EXPECT_EQ(close[i].Cdb[2], k.Close[i][1]) << i;
      EXPECT_EQ(close[i].Cdb[5], k.Close[i][2]) << i;
    }
    const auto sync = Only(log, 0x35);
    ASSERT_FALSE(sync.empty());
    EXPECT_EQ(sync.back().Cdb[1] & 0x1F, k.SyncByte1);
    if (std::string(k.Medium) == "dvd-r") {
      const auto reserve = Only(log, 0x53);
      ASSERT_EQ(reserve.size(), 1u);
      const uint32_t size = uint32_t{reserve[0].Cdb[5]} << 24 | uint32_t{reserve[0].Cdb[6]} << 16 |
                            uint32_t{reserve[0].Cdb[7]} << 8 | reserve[0].Cdb[8];
      EXPECT_EQ(size, c.ImageSectors());
      const auto streaming = Only(log, 0xB6);
      ASSERT_EQ(streaming.size(), 1u);
      EXPECT_EQ(streaming[0].Cdb[9] << 8 | streaming[0].Cdb[10], 28);
      const auto stamp = Only(log, 0xBF);
      ASSERT_EQ(stamp.size(), 1u);
      EXPECT_EQ(stamp[0].Cdb[7], 0x0F);
      EXPECT_EQ(stamp[0].Cdb[8] << 8 | stamp[0].Cdb[9], 22);
      EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
    }
  }
}

// An image of 150 sectors is padded to 300: five writes of image, five of zeros.
TEST(Sequence, MetadataOnlyImageIsWrittenInBlocksAndPaddedWithZeros) {
  TSetup s;
  ASSERT_TRUE(s.Open("cd-r"));
  fs::create_directories(s.Tmp / "empty");
  ASSERT_TRUE(s.Prepare(s.Tmp / "empty"));
  VEZEZadira& c = *s.Component;
  ASSERT_EQ(c.TrackLength, 150);
  ASSERT_EQ(c.ImageSectors(), 300);
  TRecorderRun run(c);
  const TOutcome out = run.Record();
  ASSERT_EQ(out.Error, "");
  EXPECT_EQ(out.BytesWritten, 300 * 2048);
  const auto writes = StreamWrites(s.Recorder->Log());
  std::vector<uint16_t> counts;
  std::vector<uint32_t> lbas;
  for (const auto& w : writes) {
    counts.push_back(w.Count());
    lbas.push_back(w.Lba());
  }
  EXPECT_EQ(counts, (std::vector<uint16_t>{32, 32, 32, 32, 22, 32, 32, 32, 32, 22}));
  EXPECT_EQ(lbas, (std::vector<uint32_t>{0, 32, 64, 96, 128, 150, 182, 214, 246, 278}));
  const auto image = ReadFile(s.Image());
  ASSERT_GE(image.size(), 300u * 2048);
  EXPECT_EQ(std::memcmp(&image[16 * 2048 + 1], "CD001", 5), 0);
  EXPECT_TRUE(std::all_of(image.begin() + 150 * 2048, image.begin() + 300 * 2048,
                          [](uint8_t b) { return b == 0; }));
}

// On a DVD+RW the new image's descriptors go to sectors 0-31 first, so that a
// reader of the disc finds the newest volume at sector 16.
TEST(Sequence, DvdPlusRwGetsTheNewDescriptorsAtSectorZeroAfterTheVolume) {
  TSetup s;
  ASSERT_TRUE(s.Open("dvd+rw"));
  Folder(s.Tmp / "one");
  ASSERT_TRUE(s.Prepare(s.Tmp / "one"));
  {
    TRecorderRun run(*s.Component);
    ASSERT_EQ(run.Record().Error, "");
  }
  // The second session, from a fresh tree.
  s.Component.reset();
  s.Component = std::make_unique<VEZEZadira>();
  ASSERT_TRUE(SelectFirstDrive(*s.Component));
  WriteFile(s.Tmp / "two" / "c.txt", Pattern(5000, 23));
  ASSERT_TRUE(s.Prepare(s.Tmp / "two"));
  VEZEZadira& c = *s.Component;
  const uint32_t start = c.StartAddress;
  ASSERT_GT(start, 0u);
  TRecorderRun run(c);
  ASSERT_EQ(run.Record().Error, "");
  const auto log = s.Recorder->Log();
  const auto writes = Only(log, 0x2A);
  ASSERT_GE(writes.size(), 2u);
  // The volume first, then its start: until then the disc shows the first one.
  EXPECT_EQ(writes[0].Lba(), start);
  EXPECT_EQ(writes.back().Lba(), 0u);
  EXPECT_EQ(writes.back().Count(), 32);

  const auto image = ReadFile(s.Image());
  ASSERT_GE(image.size(), (start + 32) * 2048u);
  const size_t descriptors = static_cast<size_t>(c.Plan->DescriptorCopySize);
  ASSERT_EQ(descriptors, 19u * 2048) << "system area, primary, Joliet, terminator";
  EXPECT_EQ(std::memcmp(&image[0], &image[start * 2048], descriptors), 0);
  EXPECT_TRUE(std::all_of(image.begin() + descriptors, image.begin() + 32 * 2048,
                          [](uint8_t b) { return b == 0xFF; }));
}

TEST(Sequence, FinalizeDiscOnClosesTheCd) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(Folder, "cd-r"));
  s.Component->FinalizeDisc = true;
  TRecorderRun run(*s.Component);
  ASSERT_EQ(run.Record().Error, "");
  EXPECT_EQ(s.Recorder->Disc().Status, "complete");
}

// A CD whose close answers NOT READY twice: three CLOSE TRACK/SESSION, 1,000 ms apart.
TEST(Sequence, CdCloseAnsweredNotReadyIsRetried) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(Folder, "cd-r"));
  TShimScope shim;
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  AtFinalizing(c, [&] {
    s.Clock.Clock.ResetCounts();
    FailNext(0x5B, 2, 2, 0x04, 0x08);
  });
  ASSERT_EQ(run.Record().Error, "");
  EXPECT_EQ(gShim.Failed, 2);
  EXPECT_EQ(Only(s.Recorder->Log(), 0x5B).size(), 1u) << "the third reached the drive";
  EXPECT_EQ(s.Clock.Clock.Sleeps(kCloseRetryMs), 2);
  EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
}

// A close that fails for another reason is sent once more, and that is all:
// the session stays open, and the recording says so.
TEST(Sequence, CdCloseFailingOtherwiseIsSentOnceMore) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(Folder, "cd-r"));
  TShimScope shim;
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  AtFinalizing(c, [&] {
    s.Clock.Clock.ResetCounts();
    FailNext(0x5B, 5, 5, 0x24, 0x00);
  });
  EXPECT_EQ(run.Record().Error, "CLOSING THE SESSION FAILED [ILLEGAL REQUEST (INVALID FIELD IN CDB)]");
  EXPECT_EQ(s.Recorder->Disc().Sessions.back().Tracks.back().State, "incomplete");
  EXPECT_EQ(gShim.Failed, 2);
  EXPECT_EQ(s.Clock.Clock.Sleeps(kCloseRetryMs), 0);
}

// When the first READ BUFFER CAPACITY fails, the write loop never asks again.
TEST(Sequence, CapacityQueryThatFailsFirstIsNeverRepeatedInTheLoop) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(Folder, "cd-r"));
  TShimScope shim;
  FailNext(0x5C, 1, 5, 0x20, 0x00);
  TRecorderRun run(*s.Component);
  ASSERT_EQ(run.Record().Error, "");
  const auto log = s.Recorder->Log();
  const auto writes = StreamWrites(log);
  ASSERT_GT(writes.size(), 10u);
  // No query between the first and the last stream write.
  bool inLoop = false;
  int queries = 0;
  for (const auto& l : log) {
    if (l.Op() == 0x2A) inLoop = l.Lba() != writes.back().Lba();
    if (inLoop && l.Op() == 0x5C) ++queries;
  }
  EXPECT_EQ(queries, 0);
}

// A flush without Immed that fails is sent again with Immed.
TEST(Sequence, FailedFlushIsRepeatedWithImmed) {
  TSetup s;
  ASSERT_TRUE(s.OpenAndPrepare(Folder, "cd-r"));
  TShimScope shim;
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  AtFinalizing(c, [&] {
    FailNext(0x35, 1, 3, 0x0C, 0x00);
  });
  ASSERT_EQ(run.Record().Error, "");
  const auto sync = Only(s.Recorder->Log(), 0x35);
  ASSERT_EQ(sync.size(), 1u);
  EXPECT_EQ(sync[0].Cdb[1] & 0x02, 0x02);
}

}  // namespace
}  // namespace rectest
