// The 64-bit file streams: open modes, refused modes, failures that name the
// file, and positions past 4 GiB on a sparse file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "stream/stream.h"

namespace fs = std::filesystem;

namespace {

class FileStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = (fs::path(MBURN_BINARY_DIR) / "filestream-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string PathOf(const std::string& name) const { return (dir_ / name).string(); }

  fs::path dir_;
};

TEST_F(FileStreamTest, CreateWritesAndTruncates) {
  const std::string p = PathOf("a.bin");
  std::string error;
  {
    auto s = TFileStreamEx::Open(p, fmCreate, error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->Write("hello world", 11), 11);
    EXPECT_EQ(s->Seek(0, soFromBeginning), 0);
    char buf[16] = {};
    EXPECT_EQ(s->Read(buf, 16), 11);  // create opens for reading too
    EXPECT_EQ(std::string(buf, 11), "hello world");
    EXPECT_EQ(s->Read(buf, 16), 0);   // at the end
  }
  EXPECT_EQ(fs::file_size(p), 11u);
  auto again = TFileStreamEx::Open(p, fmCreate, error);
  ASSERT_TRUE(again);
  EXPECT_EQ(fs::file_size(p), 0u);
}

TEST_F(FileStreamTest, OpenModesMapToAccess) {
  const std::string p = PathOf("b.bin");
  std::string error;
  ASSERT_TRUE(TFileStreamEx::Open(p, fmCreate, error));
  char c = 'x';
  {
    auto r = TFileStreamEx::Open(p, fmOpenRead | fmShareDenyNone, error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->Write(&c, 1), 0);  // read-only: a failed write gives 0, never -1
  }
  {
    auto w = TFileStreamEx::Open(p, fmOpenWrite | fmShareExclusive, error);
    ASSERT_TRUE(w) << error;
    EXPECT_EQ(w->Write(&c, 1), 1);
    EXPECT_EQ(w->Seek(0, soFromBeginning), 0);
    EXPECT_EQ(w->Read(&c, 1), 0);   // write-only
  }
  for (uint16_t share : {fmShareCompat, fmShareExclusive, fmShareDenyWrite, fmShareDenyRead,
                         fmShareDenyNone}) {
    auto rw = TFileStreamEx::Open(p, fmOpenReadWrite | share, error);
    ASSERT_TRUE(rw) << "share " << share << ": " << error;
    EXPECT_EQ(rw->Read(&c, 1), 1);
    EXPECT_EQ(c, 'x');
  }
}

TEST_F(FileStreamTest, RefusedModesAndMissingFilesNameTheFile) {
  const std::string p = PathOf("c.bin");
  std::string error;
  ASSERT_TRUE(TFileStreamEx::Open(p, fmCreate, error));
  for (uint16_t mode : {uint16_t{0x0003}, uint16_t{0x0043}, uint16_t{0x0050}, uint16_t{0x0080},
                        uint16_t{0x00F0}}) {
    error.clear();
    EXPECT_FALSE(TFileStreamEx::Open(p, mode, error)) << "mode " << mode;
    EXPECT_NE(error.find("\"" + p + "\""), std::string::npos) << error;
  }
  const std::string missing = PathOf("missing.bin");
  error.clear();
  EXPECT_FALSE(TFileStreamEx::Open(missing, fmOpenRead | fmShareDenyNone, error));
  EXPECT_NE(error.find("\"" + missing + "\""), std::string::npos) << error;
  EXPECT_FALSE(fs::exists(missing));  // opening never creates
  error.clear();
  EXPECT_FALSE(TFileStreamEx::Open(dir_.string(), fmOpenRead, error));  // a directory
  EXPECT_NE(error.find(dir_.string()), std::string::npos);
}

TEST_F(FileStreamTest, ReadsAFileAnotherProgramHoldsOpenForWriting) {
  const std::string p = PathOf("held.bin");
  const int writer = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "data", 4), 4);
  std::string error;
  auto r = TFileStreamEx::Open(p, fmOpenRead | fmShareDenyNone, error);
  ASSERT_TRUE(r) << error;
  char buf[8];
  EXPECT_EQ(r->Read(buf, 8), 4);
  ::close(writer);
}

TEST_F(FileStreamTest, PositionsPast4GiBOnASparseFile) {
  const std::string p = PathOf("sparse.bin");
  std::string error;
  auto s = TFileStreamEx::Open(p, fmCreate, error);
  ASSERT_TRUE(s) << error;
  constexpr int64_t k5GiB = 5LL << 30;
  constexpr int64_t kPast4GiB = (4LL << 30) + 12345;
  ASSERT_TRUE(s->SetSize(k5GiB, error)) << error;
  EXPECT_EQ(s->Seek(0, soFromCurrent), k5GiB);  // left at the new end
  EXPECT_EQ(s->Seek(0, soFromEnd), k5GiB);
  EXPECT_EQ(s->Seek(kPast4GiB, soFromBeginning), kPast4GiB);
  EXPECT_EQ(s->Write("MARK", 4), 4);
  EXPECT_EQ(s->Seek(-8, soFromCurrent), kPast4GiB - 4);
  char buf[8];
  ASSERT_EQ(s->Read(buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), std::string("\0\0\0\0MARK", 8));
  EXPECT_EQ(s->Seek(-1, soFromEnd), k5GiB - 1);
  EXPECT_EQ(s->Read(buf, 8), 1);
  EXPECT_EQ(s->Read(buf, 8), 0);
  EXPECT_EQ(s->Seek(0, 7), -1);  // no such origin

  // The same bytes through a second stream, read as the cache reads.
  auto r = TFileStreamEx::Open(p, fmOpenRead | fmShareDenyNone, error);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->Seek(kPast4GiB, soFromBeginning), kPast4GiB);
  ASSERT_EQ(r->Read(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "MARK");
  EXPECT_EQ(fs::file_size(p), static_cast<uintmax_t>(k5GiB));
}

TEST_F(FileStreamTest, SetSizeFailureIsAResultWithTheSystemText) {
  const std::string p = PathOf("ro.bin");
  std::string error;
  ASSERT_TRUE(TFileStreamEx::Open(p, fmCreate, error));
  auto r = TFileStreamEx::Open(p, fmOpenRead, error);
  ASSERT_TRUE(r);
  error.clear();
  EXPECT_FALSE(r->SetSize(100, error));
  EXPECT_FALSE(error.empty());
  TStreamEx& base = *r;
  EXPECT_EQ(base.Seek(0, soFromEnd), 0);

  THandleStreamEx none(-1);  // no handle: every call fails softly
  char c;
  EXPECT_EQ(none.Read(&c, 1), 0);
  EXPECT_EQ(none.Write(&c, 1), 0);
  EXPECT_EQ(none.Seek(0, soFromBeginning), -1);
}

}  // namespace
