// Every writable medium, end to end: a varied folder is recorded and verified
// on the virtual recorder and read back by two independent readers, then a
// second folder is recorded onto the same disc as a new session.
#include "record/record_helpers.h"

namespace rectest {
namespace {

struct TSession {
  uint32_t Start = 0;
  int64_t Sectors = 0;      // recorded, padding included
  int64_t TrackLength = 0;  // the image itself
  uint32_t Free = 0;        // FreeSectors before the recording
  TOutcome Outcome;
  bool VerifyRan = false;
  std::string VerifyError = "not run";
  int64_t BytesVerified = 0;
  std::string Digest;       // SHA-256 of the stream, as the cache took it
};

// Records `folder` as a new session with a fresh component (the image tree is
// one per process, so a new component starts from an empty tree).
TSession RecordFolder(const fs::path& folder) {
  TSession s;
  VEZEZadira c;
  if (!SelectFirstDrive(c)) {
    ADD_FAILURE() << "no drive";
    return s;
  }
  EXPECT_TRUE(c.AddFolder("\\", folder.string(), "*.*", faAnyFile, true, false, false));
  EXPECT_TRUE(c.PrepareImage(false, nullptr));
  s.Start = c.StartAddress;
  s.Sectors = c.ImageSectors();
  s.TrackLength = c.TrackLength;
  c.VerifyAfterWrite = true;
  s.Free = c.FreeSectors();
  TRecorderRun run(c);
  s.Outcome = run.Record();
  s.VerifyRan = c.VerifyRan;
  s.VerifyError = c.VerifyError;
  s.BytesVerified = c.BytesVerified;
  if (c.TrackChecksums) s.Digest = Sha256Hex(c.TrackChecksums->Digest());
  return s;
}

// The volume space size of the primary descriptor of the session at start.
uint32_t VolumeSpaceSize(const fs::path& image, uint32_t start) {
  std::ifstream f(image, std::ios::binary);
  std::array<uint8_t, 2048> pvd{};
  f.seekg(static_cast<std::streamoff>(start + 16) * 2048);
  f.read(reinterpret_cast<char*>(pvd.data()), pvd.size());
  if (pvd[0] != 1 || std::memcmp(&pvd[1], "CD001", 5) != 0) return 0;
  return uint32_t{pvd[80]} | uint32_t{pvd[81]} << 8 | uint32_t{pvd[82]} << 16 |
         uint32_t{pvd[83]} << 24;
}

void ExpectSuccess(const TSession& s) {
  EXPECT_TRUE(s.Outcome.Started);
  EXPECT_EQ(s.Outcome.WriteDoneCalls, 1);
  EXPECT_EQ(s.Outcome.Error, "");
  EXPECT_EQ(s.Outcome.FinalizingCalls, 1);
  EXPECT_EQ(s.Outcome.BytesWritten, s.Sectors * 2048);
  EXPECT_TRUE(s.VerifyRan);
  EXPECT_EQ(s.VerifyError, "");
  EXPECT_EQ(s.BytesVerified, s.Sectors * 2048);
  EXPECT_GE(int64_t{s.Free}, s.Sectors) << "the disc had room for it";
}

// sha256sum of the track as it lies in the disc image.
std::string DigestOnDisc(const fs::path& image, const TSession& s) {
  std::string out;
  Shell("dd if=" + Quote(image.string()) + " bs=2048 skip=" + std::to_string(s.Start) +
            " count=" + std::to_string(s.Sectors) + " status=none | sha256sum",
        &out);
  return out.substr(0, out.find(' '));
}

// Both readers extract the session at start; both must give the folder back.
void ExpectReadsBack(const TTempDir& tmp, const fs::path& image, uint32_t start,
                     const fs::path& source, const std::string& tag) {
  const fs::path x = tmp / (tag + "-xorriso");
  ASSERT_EQ(ExtractWithXorriso(image, start, x), "");
  EXPECT_EQ(CompareTrees(source, x), "") << "xorriso, " << tag;

  fs::path view = image;
  if (start != 0) {
    view = tmp / (tag + "-view.img");
    ASSERT_EQ(SessionView(image, start, view), "");
  }
  const fs::path b = tmp / (tag + "-bsdtar");
  ASSERT_EQ(ExtractWithBsdtar(view, b), "");
  EXPECT_EQ(CompareTrees(source, b, true), "") << "bsdtar, " << tag;
}

class EveryMedium : public ::testing::TestWithParam<const char*> {};

TEST_P(EveryMedium, RecordsTwoSessionsThatReadBackByteForByte) {
  TClockScope clock;
  TTempDir tmp;
  MakeVariedFolder(tmp / "first", 11);
  MakeVariedFolder(tmp / "second", 77, false);
  WriteFile(tmp / "second" / "only in the second session.txt", Pattern(4321, 5));
  const fs::path image = tmp / "disc.img";
  TVirtualRecorder recorder(image, GetParam());
  ASSERT_TRUE(recorder.Ok()) << recorder.Error();

  const TSession first = RecordFolder(tmp / "first");
  ExpectSuccess(first);
  EXPECT_EQ(first.Digest, DigestOnDisc(image, first));
  EXPECT_EQ(first.Start, 0u);
  EXPECT_EQ(VolumeSpaceSize(image, first.Start), first.Start + first.TrackLength);
  ExpectReadsBack(tmp, image, first.Start, tmp / "first", "first");

  // Where the drive says the next session goes: its next writable address on
  // media with sessions, the end of the recorded volume on overwritable media.
  const std::string medium = GetParam();
  const bool overwritable = medium == "dvd+rw" || medium == "dvd-ram" || medium == "dvd-rw" || medium == "bd-re";
  const TVRecDiscInfo before = recorder.Disc();
  if (!overwritable) {
    ASSERT_EQ(before.Status, "appendable") << "the first session closed the disc";
  }
  const uint32_t expected = overwritable || !before.HasNextWritable ? VolumeSpaceSize(image, 0)
                                                                    : before.NextWritable;

  const TSession second = RecordFolder(tmp / "second");
  ExpectSuccess(second);
  EXPECT_EQ(second.Digest, DigestOnDisc(image, second));
  EXPECT_EQ(second.Start, expected);
  EXPECT_GE(second.Start, first.Start + first.Sectors);
  EXPECT_EQ(VolumeSpaceSize(image, second.Start), second.Start + second.TrackLength);
  ExpectReadsBack(tmp, image, second.Start, tmp / "second", "second");
  if (!overwritable) return;

  // Overwritable media: every new volume is the one readers find at sector 16.
  WriteFile(tmp / "third" / "third.txt", Pattern(7000, 6));
  const TSession third = RecordFolder(tmp / "third");
  ExpectSuccess(third);
  EXPECT_GE(third.Start, VolumeSpaceSize(image, second.Start));
  const fs::path direct = tmp / "third-direct";
  ASSERT_EQ(ExtractWithBsdtar(image, direct), "");
  EXPECT_EQ(CompareTrees(tmp / "third", direct, true), "");
}

INSTANTIATE_TEST_SUITE_P(Media, EveryMedium,
                         ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd-rw-seq",
                                           "dvd+r", "dvd+rw", "dvd-ram", "bd-r", "bd-r-dl", "bd-re"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           std::replace(n.begin(), n.end(), '+', 'p');
                           return n;
                         });

}  // namespace
}  // namespace rectest
