// The plan of a set of discs, without a drive: every disc's image, as
// written, within the disc; every byte of every file on exactly one disc, in
// tree order; a file that fits a disc kept whole; each disc as full as the
// next file allows; the same folder, the same plan.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/discset.h"
#include "record/record_helpers.h"

namespace fs = std::filesystem;

namespace {

class SpanPlan : public ::testing::Test {
protected:
  rectest::TTempDir dir_;
};

TEST_F(SpanPlan, EveryDiscFitsFullAndEveryByteIsOnOneDiscInTreeOrder) {
  const fs::path folder = dir_ / "folder";
  rectest::MakeVariedFolder(folder, 3);  // a 5 MiB file among small ones
  rectest::WriteFile(folder / "big" / "nine.bin", rectest::Pattern(9 << 20, 4));
  rectest::WriteFile(folder / "big" / "three.bin", rectest::Pattern(3 << 20, 5));
  for (int i = 0; i < 300; ++i)
    rectest::WriteFile(folder / "many" / ("f" + std::to_string(i)), rectest::Pattern(3000, 6 + i));
  const struct {
    const char* Name;
    int64_t Capacity;  // sectors
    bool Joliet, RockRidge, UDF, Manifest;
  } cases[] = {
      {"4 MiB discs", 2048, true, true, false, false},
      {"UDF and SHA256SUMS", 2500, true, true, true, true},
      {"ISO 9660 alone", 1900, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TSetOptions o;
    o.Folder = folder.string();
    o.Capacity = c.Capacity;
    o.Joliet = c.Joliet;
    o.RockRidge = c.RockRidge;
    o.UDF = c.UDF;
    o.Manifest = c.Manifest;
    TDiscSet set, again;
    std::string error;
    ASSERT_TRUE(PlanDiscSet(o, set, error)) << error;
    ASSERT_TRUE(PlanDiscSet(o, again, error)) << error;
    EXPECT_EQ(set.PlanDigest, again.PlanDigest);
    ASSERT_EQ(set.Discs.size(), again.Discs.size());
    ASSERT_GE(set.Discs.size(), 5u);

    size_t file = 0;
    int64_t offset = 0;
    for (size_t d = 0; d < set.Discs.size(); ++d) {
      SCOPED_TRACE("disc " + std::to_string(d + 1));
      const TSetDisc& disc = set.Discs[d];
      ASSERT_FALSE(disc.Pieces.empty());
      EXPECT_EQ(disc.Pieces.size(), again.Discs[d].Pieces.size());
      for (const TSetPiece& p : disc.Pieces) {
        ASSERT_LT(file, set.Files.size());
        const TSetFile& f = set.Files[file];
        EXPECT_EQ(p.File, file);
        EXPECT_EQ(p.Offset, offset) << f.Path;
        // Only a file larger than a disc is cut.
        if (p.Part > 0) {
          EXPECT_GT(Sectors(f.Size), c.Capacity - 64) << f.Path;
        }
        offset += p.Size;
        if (offset == f.Size) ++file, offset = 0;
      }
      // The disc as it is recorded: its image is the size planned.
      const fs::path text = dir_ / "MBURN-SET.txt";
      {
        std::ofstream out(text, std::ios::binary | std::ios::trunc);
        out << SetFileText(set, d, "2026-01-02 03:04:05 UTC");
      }
      EXPECT_LE(static_cast<int64_t>(fs::file_size(text)), set.SetFileBytes);
      auto sectors = [&](const TDiscSet& of) {
        VEZEZadira component(kLargestEntries, kLargestDirs);
        ApplySetOptions(component, o);
        EXPECT_TRUE(FillDisc(component, of, d, text.string(), error)) << error;
        EXPECT_TRUE(component.PrepareImage(true, nullptr));
        const fs::path image = dir_ / "disc.iso";
        EXPECT_TRUE(WriteImageFile(component, image.string(), error)) << error;
        EXPECT_EQ(static_cast<int64_t>(fs::file_size(image)), component.ImageSectors() * kSectorSize);
        return component.ImageSectors();
      };
      EXPECT_EQ(sectors(set), disc.Sectors);
      EXPECT_LE(disc.Sectors, c.Capacity);
      // Full: the next file, or one more sector of the part, would not fit.
      if (d + 1 < set.Discs.size()) {
        TDiscSet more = set;
        TSetPiece next = set.Discs[d + 1].Pieces.front();
        std::vector<TSetPiece>& pieces = more.Discs[d].Pieces;
        if (next.Part > 0 && pieces.back().File == next.File)
          pieces.back().Size += std::min<int64_t>(kSectorSize, next.Size);
        else if (next.Part > 0)
          pieces.push_back({next.File, next.Part, next.Offset, std::min<int64_t>(kSectorSize, next.Size)});
        else
          pieces.push_back(next);
        EXPECT_GT(sectors(more), c.Capacity);
      }
    }
    EXPECT_EQ(file, set.Files.size());
    EXPECT_EQ(set.PartsOf[set.Files.size() - 1], 0);
  }
}

}  // namespace
