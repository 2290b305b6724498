// Layout of a new session: area addresses, file extents, the path-table order
// of the directories, image-only mode and the start address on a disc.
#include <gtest/gtest.h>

#include <map>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "iso/image_helpers.h"
#include "iso/iso.h"
#include "transport/transport.h"
#include "vrecorder/vrecorder.h"

using namespace isotest;

namespace {

struct TMessage {
  std::string Text;
  uint8_t Kind;
};

class LayoutTest : public ::testing::Test {
protected:
  void SetUp() override {
    c_.OnDebugMessage = [this](TObject*, const std::string& m, uint8_t k) {
      messages_.push_back({m, k});
    };
  }
  TDEntry* Root() { return c_.RootDirectory(); }

  VEZEZadira c_;
  std::vector<TMessage> messages_;
};

TEST_F(LayoutTest, RootOnlyWithJoliet) {
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(c_.StartAddress, 0u);
  EXPECT_EQ(c_.PathTableSize, 10u);
  EXPECT_EQ(c_.JolietPathTableSize, 10u);
  EXPECT_EQ(c_.PathTableL, 19u);
  EXPECT_EQ(c_.PathTableM, 20u);
  EXPECT_EQ(c_.JolietPathTableL, 21u);
  EXPECT_EQ(c_.JolietPathTableM, 22u);
  EXPECT_EQ(c_.DirArea, 23u);
  EXPECT_EQ(c_.JolietDirArea, 24u);
  EXPECT_EQ(c_.DirAreaSize, 2048u);
  EXPECT_EQ(c_.JolietDirAreaSize, 2048u);
  EXPECT_EQ(c_.PadSectors, 125);
  EXPECT_EQ(c_.FirstFileSector, 150u);
  EXPECT_EQ(c_.FileSectors, 0);
  EXPECT_EQ(c_.EndSector, 150);
  EXPECT_EQ(c_.TrackLength, 150);
  EXPECT_EQ(c_.ImageSectors(), 300);
  c_.WritePostGap = false;
  EXPECT_EQ(c_.ImageSectors(), 150);
  // The stream holds exactly the sectors before the first file.
  EXPECT_EQ(MetadataOf(c_).Size(), 150 * 2048);
  EXPECT_EQ(Root()->Number, 1);
  EXPECT_EQ(Root()->ISODirSize, 2048);
  EXPECT_EQ(Root()->JolietDirSize, 2048);
}

TEST_F(LayoutTest, RootOnlyWithoutJoliet) {
  c_.JolietFileSystem = false;
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(c_.PathTableL, 18u);
  EXPECT_EQ(c_.PathTableM, 19u);
  EXPECT_EQ(c_.JolietPathTableL, 20u);
  EXPECT_EQ(c_.DirArea, 20u);
  EXPECT_EQ(c_.PadSectors, 129);
  EXPECT_EQ(c_.FirstFileSector, 150u);
  EXPECT_EQ(c_.EndSector, 150);
  EXPECT_EQ(MetadataOf(c_).Size(), 150 * 2048);
}

TEST_F(LayoutTest, OneFileInTheRoot) {
  ASSERT_TRUE(AddFileEntry(c_, Root(), "data.bin", 3000));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(c_.FileSectors, 2);
  EXPECT_EQ(c_.EndSector, 152);
  EXPECT_EQ(c_.TrackLength, 152);
  const TFEntry& e = *c_.FileTable[0];
  EXPECT_EQ(e.ISOExtent, 0);
  EXPECT_EQ(e.JolietSize, 3000);
  // The records give the absolute extent 150 in both trees.
  for (uint32_t area : {c_.DirArea, c_.JolietDirArea}) {
    const auto recs = ParseDirectory(MetaSector(c_, area), 2048);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[2].Extent(), 150u);
    EXPECT_EQ(recs[2].DataLength(), 3000u);
  }
}

// Sector addresses are 32 bits: an image that ends past the last one (8 TiB,
// as sparse files may lay out) is refused before any metadata exists.
TEST(Layout, ImageEndingPastTheLastAddressableSectorIsRefused) {
  const int64_t last = kLastAddressableSector;
  for (const int64_t endSector : {last, last + 1, last + 3 * 150}) {
    SCOPED_TRACE(endSector);
    VEZEZadira c;
    std::vector<std::string> errors;
    c.OnDebugMessage = [&](TObject*, const std::string& m, uint8_t k) {
      if (k == MSG_ERROR) errors.push_back(m);
    };
    const int64_t first = (endSector - 150) / 3 * 2048;
    ASSERT_TRUE(AddFileEntry(c, c.RootDirectory(), "a.bin", first));
    ASSERT_TRUE(AddFileEntry(c, c.RootDirectory(), "b.bin", (endSector - 150) * 2048 - first));
    EXPECT_EQ(c.PrepareImage(true, nullptr), endSector <= last);
    if (endSector > last) {
      EXPECT_EQ(errors, std::vector<std::string>{ImageTooLargeText(endSector)});
      EXPECT_EQ(MetadataOf(c).Size(), 0);
    }
  }
}

TEST_F(LayoutTest, FilesFollowFileTableOrderAndSkipEmptyAndImported) {
  TDEntry* sub = AddDir(c_, Root(), "sub");
  ASSERT_NE(sub, nullptr);
  ASSERT_TRUE(AddFileEntry(c_, sub, "one.bin", 1));       // 1 sector
  ASSERT_TRUE(AddFileEntry(c_, Root(), "empty.bin", 0));  // none
  ASSERT_TRUE(c_.AddFile(Root(), Found("old.bin", 5000), "", 777));  // already on the disc
  ASSERT_TRUE(AddFileEntry(c_, Root(), "two.bin", 2049));  // 2 sectors
  ASSERT_TRUE(AddFileEntry(c_, sub, "three.bin", 2048));   // 1 sector
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  auto entry = [this](const std::string& name) {
    for (const auto& e : c_.FileTable)
      if (e->LongName == name) return e.get();
    return static_cast<TFEntry*>(nullptr);
  };
  EXPECT_EQ(entry("one.bin")->ISOExtent, 0);
  EXPECT_EQ(entry("empty.bin")->ISOExtent, 0);
  EXPECT_EQ(entry("empty.bin")->ISOSize, 0);
  EXPECT_EQ(entry("old.bin")->ISOExtent, 777);
  EXPECT_TRUE(entry("old.bin")->Imported);
  EXPECT_EQ(entry("two.bin")->ISOExtent, 1);
  EXPECT_EQ(entry("three.bin")->ISOExtent, 3);
  EXPECT_EQ(entry("three.bin")->JolietExtent, 3);
  EXPECT_EQ(c_.FileSectors, 4);
  // The subdirectory entry carries its directory's values.
  const TFEntry* subEntry = entry("sub");
  EXPECT_EQ(subEntry->ISOExtent, sub->ISODirOffset);
  EXPECT_EQ(subEntry->ISOSize, 2048);
  EXPECT_EQ(subEntry->JolietExtent, sub->JolietDirOffset);
  EXPECT_EQ(c_.EndSector, 154);
  // The plan streams exactly the files with data of their own, at their sectors.
  std::vector<std::pair<std::string, int64_t>> sources;
  for (const TPlanSource& source : c_.Plan->Sources)
    sources.emplace_back(fs::path(source.Path).filename().string(), source.FirstSector);
  EXPECT_EQ(sources, (std::vector<std::pair<std::string, int64_t>>{{"one.bin", 150}, {"two.bin", 151}, {"three.bin", 153}}));
  EXPECT_FALSE(c_.Plan->Broken);
}

// Every area follows the one before it without a gap, from the session's first
// sector to its end; the metadata fills every area before the file data, and
// each area starts where the component's layout results say.
TEST_F(LayoutTest, PlanAreasFollowOneAnother) {
  for (const bool joliet : {true, false})
    for (const bool rockRidge : {false, true}) {
      VEZEZadira c;
      c.JolietFileSystem = joliet;
      c.RockRidge = rockRidge;
      TDEntry* dir = AddDir(c, c.RootDirectory(), "folder");
      for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(AddFileEntry(c, i % 2 ? dir : c.RootDirectory(), "file-with-a-long-name-" + std::to_string(i) + ".txt", 10 + i));
      ASSERT_TRUE(c.PrepareImage(true, nullptr));
      const TImagePlan& plan = *c.Plan;
      const std::string what = std::string(joliet ? "joliet" : "iso") + (rockRidge ? "+rr" : "");
      std::map<std::string, int64_t> at;
      int64_t pos = plan.StartAddress;
      for (const TPlanArea& area : plan.Areas) {
        EXPECT_EQ(area.Start, pos) << what << ": " << area.Name;
        at[area.Name] = area.Start;
        pos += area.Sectors;
      }
      EXPECT_EQ(pos, c.EndSector) << what;
      EXPECT_EQ(plan.TrackLength, c.TrackLength) << what;
      EXPECT_EQ(plan.Areas.back().Name, "file data") << what;
      EXPECT_EQ(at["path tables"], c.PathTableL) << what;
      EXPECT_EQ(at["directories"], c.DirArea) << what;
      EXPECT_EQ(at["file data"], c.FirstFileSector) << what;
      if (rockRidge) {
        EXPECT_EQ(at["Rock Ridge continuation areas"], c.ContinuationArea) << what;
      }
      if (joliet) {
        EXPECT_EQ(at["Joliet path tables"], c.JolietPathTableL) << what;
        EXPECT_EQ(at["Joliet directories"], c.JolietDirArea) << what;
      }
      EXPECT_EQ(plan.MetadataStream.Size(), (int64_t{c.FirstFileSector} - plan.StartAddress) * 2048) << what;
      EXPECT_EQ(plan.Sources.size(), 300u) << what;
    }
}

TEST_F(LayoutTest, DirectoriesInPathTableOrderExtentsInCreationOrder) {
  TDEntry* b = AddDir(c_, Root(), "B");
  TDEntry* a = AddDir(c_, Root(), "A");
  TDEntry* ac = AddDir(c_, a, "C");
  TDEntry* bd = AddDir(c_, b, "D");
  TDEntry* ae = AddDir(c_, a, "E");
  ASSERT_TRUE(b && a && ac && bd && ae);
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  const std::vector<TDEntry*> expected = {Root(), a, b, ac, ae, bd};
  ASSERT_EQ(c_.ISOPathOrder, expected);
  EXPECT_EQ(c_.JolietPathOrder, expected);
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i]->Number, int(i + 1));
  // Extents: root, B, A, A\C, B\D, A\E, one sector each.
  const std::vector<TDEntry*> creation = {Root(), b, a, ac, bd, ae};
  for (size_t i = 0; i < creation.size(); ++i) {
    EXPECT_EQ(creation[i]->ISODirOffset, int(i));
    EXPECT_EQ(creation[i]->JolietDirOffset, int(i));
  }
  // The path table lists them in path-table order with those extents.
  const uint8_t* t = MetaSector(c_, c_.PathTableL);
  size_t off = 10;
  for (size_t i = 1; i < expected.size(); ++i) {
    EXPECT_EQ(LE32(t + off + 2), c_.DirArea + expected[i]->ISODirOffset);
    EXPECT_EQ(LE16(t + off + 6), expected[i]->Parent->Number);
    off += 10;  // one-letter names: 8 + 1 + pad
  }
  // Each tree ranks siblings by its own identifiers (ISO A1 < Z1, Joliet alpha < zeta).
  TDEntry* z = c_.AddDirectory(bd, Found("zeta", 0, faDirectory), "zeta", "A1");
  TDEntry* y = c_.AddDirectory(bd, Found("alpha", 0, faDirectory), "alpha", "Z1");
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(std::vector<TDEntry*>(c_.ISOPathOrder.end() - 2, c_.ISOPathOrder.end()), (std::vector<TDEntry*>{z, y}));
  EXPECT_EQ(std::vector<TDEntry*>(c_.JolietPathOrder.end() - 2, c_.JolietPathOrder.end()), (std::vector<TDEntry*>{y, z}));
}

// The ordering as the original builder computed it: a Shell sort of keys made
// of the parent's number and the ISO name, repeated until the parents' numbers
// no longer decrease. The layout may use any method with the same result.
std::vector<TDEntry*> ReferenceOrder(const VEZEZadira& c) {
  std::vector<TDEntry*> order;
  for (const auto& d : c.DirTable) order.push_back(d.get());
  for (size_t i = 0; i < order.size(); ++i) order[i]->Number = int(i + 1);
  const size_t n = order.size() - 1;
  auto key = [](const TDEntry* d) {
    char num[16];
    std::snprintf(num, sizeof num, "%04d ", d->Parent->Number);
    return std::string(num) + d->ISOName;
  };
  for (;;) {
    size_t gap = n;
    while (gap > 1) {
      gap /= 2;
      for (bool swapped = true; swapped;) {
        swapped = false;
        for (size_t i = 1; i + gap <= n; ++i)
          if (key(order[i]) > key(order[i + gap])) {
            std::swap(order[i], order[i + gap]);
            swapped = true;
          }
      }
    }
    for (size_t i = 0; i < order.size(); ++i) order[i]->Number = int(i + 1);
    bool sorted = true;
    for (size_t i = 2; i <= n; ++i)
      if (order[i]->Parent->Number < order[i - 1]->Parent->Number) sorted = false;
    if (sorted) return order;
  }
}

TEST_F(LayoutTest, OrderingMatchesTheShellSortOnARandomTree) {
  std::mt19937 rng(7);
  std::vector<TDEntry*> dirs = {Root()};
  // Names with bytes above 7Fh and shared prefixes, so that signed or
  // length-first comparisons would order differently.
  const std::vector<std::string> pieces = {"A", "AB", "B", "\xC3\x89T\xC3\x89", "Z_1", "a", "_", "0"};
  for (int i = 0; i < 400; ++i) {
    TDEntry* parent = dirs[rng() % dirs.size()];
    std::string name = pieces[rng() % pieces.size()] + pieces[rng() % pieces.size()] + std::to_string(i);
    TDEntry* d = c_.AddDirectory(parent, Found(name, 0, faDirectory), name, name);
    ASSERT_NE(d, nullptr);
    dirs.push_back(d);
  }
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  const std::vector<TDEntry*> ours = c_.ISOPathOrder;
  const std::vector<TDEntry*> reference = ReferenceOrder(c_);
  EXPECT_EQ(ours, reference);
}

TEST_F(LayoutTest, DirectoryAreasBeyondSector150) {
  // 130 directories, one sector of records each in both trees.
  for (int i = 0; i < 130; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "D%03d", i);
    ASSERT_NE(AddDir(c_, Root(), name), nullptr);
  }
  ASSERT_TRUE(AddFileEntry(c_, Root(), "last.bin", 10));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  const int64_t afterDirs = int64_t{c_.JolietDirArea} + c_.JolietDirAreaSize / 2048;
  ASSERT_GT(afterDirs, 150);
  EXPECT_EQ(c_.FirstFileSector, afterDirs);
  EXPECT_EQ(c_.PadSectors, 150 - afterDirs);
  EXPECT_EQ(MetadataOf(c_).Size(), afterDirs * 2048);
  EXPECT_EQ(c_.EndSector, afterDirs + 1);
}

TEST_F(LayoutTest, PreparationTurnsDebugOnAndCanBeRepeated) {
  c_.DoDebug = false;
  ASSERT_TRUE(AddFileEntry(c_, Root(), "a.txt", 5));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_TRUE(c_.DoDebug);
  const std::vector<uint8_t> first = MetaBytes(MetadataOf(c_));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(MetadataOf(c_).Size(), static_cast<int64_t>(first.size()));
  EXPECT_EQ(c_.EndSector, 151);
  // A file added after a preparation is placed by the next one.
  ASSERT_TRUE(AddFileEntry(c_, Root(), "b.txt", 5000));
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(c_.EndSector, 154);
}

TEST_F(LayoutTest, NoDriveReportsTheAddressErrorAndStartsAtZero) {
  // Nothing is selected: the disc cannot be asked.
  TInstantClock clock;
  TClockScope scope(&clock);
  ASSERT_TRUE(c_.PrepareImage(false, nullptr));
  EXPECT_EQ(c_.StartAddress, 0u);
  EXPECT_EQ(c_.FirstFileSector, 150u);
  const bool reported = std::any_of(messages_.begin(), messages_.end(), [](const TMessage& m) {
    return m.Text == ">>> ERROR GETTING NEXT WRITABLE ADDRESS" && m.Kind == 0;
  });
  EXPECT_TRUE(reported);
}

}  // namespace

// ---------------------------------------------------------------- on a disc
namespace {

class DiscLayoutTest : public ::testing::Test {
protected:
  void TearDown() override {
    c_.reset();
    ResetASPILayer();
    VRecShutdown();
  }

  // A recorded session: `Sectors` sectors with a primary descriptor at 16
  // giving `VolumeSize` as the volume space size (0: no descriptor).
  void Record(const std::string& Medium, uint32_t Sectors, uint32_t VolumeSize) {
    std::string error;
    ASSERT_TRUE(VRecCreateDisc((tmp_ / "disc.img").string(), Medium, &error)) << error;
    std::string data(static_cast<size_t>(Sectors) * 2048, '\0');
    if (VolumeSize != 0) {
      uint8_t* pvd = reinterpret_cast<uint8_t*>(data.data()) + 16 * 2048;
      pvd[0] = 1;
      std::memcpy(pvd + 1, "CD001", 5);
      pvd[6] = 1;
      for (int i = 0; i < 4; ++i) pvd[80 + i] = static_cast<uint8_t>(VolumeSize >> (8 * i));
      uint8_t* term = pvd + 2048;
      term[0] = 0xFF;
      std::memcpy(term + 1, "CD001", 5);
      term[6] = 1;
    }
    WriteFile(tmp_ / "session.iso", data);
    uint32_t start = 0;
    ASSERT_TRUE(VRecWriteImage((tmp_ / "disc.img").string(), (tmp_ / "session.iso").string(), false,
                               &start, &error))
        << error;
  }

  void Start(const std::string& Medium) {
    std::string error;
    ASSERT_TRUE(VRecConfigure((tmp_ / "disc.img").string() + ":" + Medium + ",sync=1", &error)) << error;
    BindASPIEntries(&VRecGetASPI32SupportInfo, &VRecSendASPI32Command);
    c_ = std::make_unique<VEZEZadira>();
    c_->OnDebugMessage = [this](TObject*, const std::string& m, uint8_t k) { messages_.push_back({m, k}); };
    ASSERT_EQ(c_->DeviceList.size(), 1u);
    c_->SelectDevice(c_->DeviceList[0]);
  }

  TInstantClock clock_;
  TClockScope clockScope_{&clock_};
  TTempDir tmp_{"isolayout-disc"};
  std::unique_ptr<VEZEZadira> c_;
  std::vector<TMessage> messages_;
};

TEST_F(DiscLayoutTest, BlankCDStartsAtZero) {
  Start("cd-r");
  ASSERT_TRUE(c_->PrepareImage(false, nullptr));
  EXPECT_EQ(c_->CurrentDiscKind, DK_CDR);
  EXPECT_EQ(c_->StartAddress, 0u);
  EXPECT_EQ(c_->DirArea, 23u);
  EXPECT_EQ(c_->FirstFileSector, 150u);
  EXPECT_EQ(c_->TrackLength, 150);
  EXPECT_EQ(c_->ImageSectors(), 300);
  for (const TMessage& m : messages_) EXPECT_NE(m.Kind, 0) << m.Text;
}

TEST_F(DiscLayoutTest, AppendableDiscStartsAtItsNextWritableAddress) {
  // First session of 8,600 sectors: the next one starts after lead-out,
  // lead-in and pre-gap, 11,400 sectors later.
  Record("cd-r", 8600, 0);
  Start("cd-r");
  TVRecDiscInfo disc;
  ASSERT_TRUE(VRecGetDiscInfo(0, &disc));
  ASSERT_EQ(disc.NextWritable, 20000u);
  ASSERT_TRUE(AddFileEntry(*c_, c_->RootDirectory(), "a.bin", 5000));
  ASSERT_TRUE(c_->PrepareImage(false, nullptr));
  EXPECT_EQ(c_->StartAddress, 20000u);
  EXPECT_EQ(c_->PathTableL, 20019u);
  EXPECT_EQ(c_->DirArea, 20023u);
  EXPECT_LT(c_->PadSectors, 0);
  EXPECT_EQ(c_->FirstFileSector, 20025u);  // right after the two directory areas
  EXPECT_EQ(c_->EndSector, 20028);
  EXPECT_EQ(c_->TrackLength, 28);
  EXPECT_EQ(c_->ImageSectors(), 300);
  // The stream starts at the session's first sector.
  EXPECT_EQ(MetadataOf(*c_).Size(), 25 * 2048);
  const uint8_t* pvd = MetaSector(*c_, 20016);
  EXPECT_EQ(pvd[0], 1);
  EXPECT_EQ(LE32(pvd + 80), 20028u);
  EXPECT_EQ(LE32(pvd + 140), 20019u);
  EXPECT_EQ(LE32(pvd + 158), 20023u);
  const auto recs = ParseDirectory(MetaSector(*c_, c_->DirArea), 2048);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(recs[2].Extent(), 20025u);
}

TEST_F(DiscLayoutTest, DvdPlusRwGoesAfterTheVolumeItCarries) {
  Record("dvd+rw", 100, 50000);
  Start("dvd+rw");
  ASSERT_TRUE(c_->PrepareImage(false, nullptr));
  EXPECT_EQ(c_->CurrentDiscKind, DK_DVDPLUSRW);
  EXPECT_EQ(c_->StartAddress, 50000u);
  EXPECT_EQ(c_->DirArea, 50023u);
  EXPECT_EQ(c_->FirstFileSector, 50025u);
}

TEST_F(DiscLayoutTest, BlankDvdPlusRwStartsAtZero) {
  Start("dvd+rw");
  ASSERT_TRUE(c_->PrepareImage(false, nullptr));
  EXPECT_EQ(c_->StartAddress, 0u);
  EXPECT_EQ(c_->FirstFileSector, 150u);
}

TEST_F(DiscLayoutTest, ImageOnlyDoesNotAskTheDisc) {
  Record("cd-r", 8600, 0);
  Start("cd-r");
  const uint32_t before = VRecGetDriveStats(0).Commands;
  ASSERT_TRUE(c_->PrepareImage(true, nullptr));
  EXPECT_EQ(VRecGetDriveStats(0).Commands, before);
  EXPECT_EQ(c_->StartAddress, 0u);
}

}  // namespace
