// The file tree: records, look-ups, the folder walk and removal, against real
// folders in a temporary directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "iso/iso.h"

namespace fs = std::filesystem;

namespace {

struct TMessage {
  std::string Text;
  uint8_t Kind;
};

class TreeTest : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/isotree-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    c_.OnDebugMessage = [this](TObject*, const std::string& m, uint8_t k) {
      messages_.push_back({m, k});
    };
  }
  void TearDown() override {
    std::error_code ec;
    for (auto& p : fs::recursive_directory_iterator(root_, ec))
      fs::permissions(p.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(root_, ec);
  }

  std::string P(const std::string& rel) const { return root_ + "/" + rel; }
  void File(const std::string& rel, size_t size = 0) {
    fs::create_directories(fs::path(P(rel)).parent_path());
    std::ofstream(P(rel), std::ios::binary) << std::string(size, 'x');
  }
  void Dir(const std::string& rel) { fs::create_directories(P(rel)); }

  bool AddAll(const std::string& rel, const std::string& mask = "*.*") {
    return c_.AddFolder("\\", P(rel), mask, faAnyFile, true, false, false);
  }

  std::vector<std::string> Names(const TDEntry* d) const {
    std::vector<std::string> out;
    for (const TFEntry* e = d->Entries; e; e = e->Next) out.push_back(e->LongName);
    return out;
  }

  bool HasMessage(const std::string& part, uint8_t kind) const {
    for (const auto& m : messages_)
      if (m.Kind == kind && m.Text.find(part) != std::string::npos) return true;
    return false;
  }

  // Every entry in c_.FileTable once and in one list; every list in c_.FileTable;
  // the three directory tables hold the same records; counts agree; the
  // list links run both ways.
  void CheckInvariants() {
    ASSERT_EQ(static_cast<size_t>(c_.DirCount), c_.DirTable.size());
    ASSERT_EQ(static_cast<size_t>(c_.EntryCount), c_.FileTable.size());
    ASSERT_EQ(c_.ISOPathOrder.size(), c_.DirTable.size());
    ASSERT_EQ(c_.JolietPathOrder.size(), c_.DirTable.size());
    std::set<const TDEntry*> dirs;
    for (const auto& d : c_.DirTable) dirs.insert(d.get());
    EXPECT_EQ(std::set<const TDEntry*>(c_.ISOPathOrder.begin(), c_.ISOPathOrder.end()), dirs);
    EXPECT_EQ(std::set<const TDEntry*>(c_.JolietPathOrder.begin(), c_.JolietPathOrder.end()), dirs);
    EXPECT_EQ(c_.DirTable[0]->Parent, c_.DirTable[0].get());
    std::set<const TFEntry*> table;
    for (const auto& e : c_.FileTable) table.insert(e.get());
    ASSERT_EQ(table.size(), c_.FileTable.size());
    size_t listed = 0;
    size_t subdirs = 0;
    for (const auto& d : c_.DirTable) {
      const TFEntry* prev = nullptr;
      for (const TFEntry* e = d->Entries; e; e = e->Next) {
        EXPECT_TRUE(table.count(e));
        EXPECT_EQ(e->Prev, prev);
        if (e->SubDir) {
          ++subdirs;
          EXPECT_TRUE(dirs.count(e->SubDir));
          EXPECT_EQ(e->SubDir->Parent, d.get());
        }
        prev = e;
        ++listed;
      }
      EXPECT_EQ(d->LastEntry, prev);
      if (d.get() != c_.DirTable[0].get()) {
        EXPECT_EQ(c_.FindDirectory(d->Path), d.get()) << d->Path;
      }
    }
    EXPECT_EQ(listed, c_.FileTable.size());
    EXPECT_EQ(subdirs + 1, c_.DirTable.size());
  }

  VEZEZadira c_;
  std::string root_;
  std::vector<TMessage> messages_;
};

TEST_F(TreeTest, NamesOfFilesWithAndWithoutDot) {
  File("src/README", 5);
  File("src/a.txt", 3000);
  ASSERT_TRUE(AddAll("src"));
  const TDEntry* root = c_.RootDirectory();
  const TFEntry* readme = c_.FindEntry(c_.RootDirectory(), "README.");
  ASSERT_NE(readme, nullptr);
  EXPECT_EQ(readme->LongName, "README.");
  EXPECT_EQ(readme->ISOName, "README.");
  EXPECT_TRUE(readme->SourceIs(P("src/README")));
  EXPECT_EQ(readme->SourceText(), P("src/README"));
  EXPECT_FALSE(readme->SourceIs(P("src/READM")));
  EXPECT_FALSE(readme->SourceIs(P("src/README.")));
  EXPECT_FALSE(readme->SourceIs(P("src/READMEE")));
  EXPECT_EQ(readme->ISOSize, 5);
  EXPECT_EQ(readme->JolietSize, 5);
  EXPECT_FALSE(readme->Imported);
  EXPECT_EQ(readme->Attr & (faArchive | faDirectory), static_cast<uint32_t>(faArchive));
  const TFEntry* a = c_.FindEntry(c_.RootDirectory(), "a.txt");
  ASSERT_NE(a, nullptr);
  // The files of one folder keep its path once.
  EXPECT_EQ(a->SourceText(), P("src/a.txt"));
  EXPECT_EQ(a->SourcePath.Folder(), readme->SourcePath.Folder());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->LongName, "a.txt");
  EXPECT_EQ(a->ISOName, "A.TXT");
  EXPECT_EQ(a->ISOSize, 3000);
  EXPECT_EQ(Names(root).size(), 2u);
  EXPECT_EQ(c_.FileCount(), 2);
  EXPECT_EQ(c_.DirectoryCount(), 0);
  // The date is the modification time in local time, to two seconds.
  struct stat st {};
  ASSERT_EQ(::stat(P("src/a.txt").c_str(), &st), 0);
  EXPECT_NEAR(a->DateTime, FromUnixTimeLocal(st.st_mtime), 2.5 / 86400);
  CheckInvariants();
}

TEST_F(TreeTest, SubfoldersBecomeDirectoriesWithPaths) {
  File("src/Docs/Letters/one.txt", 1);
  File("src/Docs/two.txt", 2);
  File("src/top.bin", 3);
  ASSERT_TRUE(AddAll("src"));
  EXPECT_EQ(c_.DirectoryCount(), 2);
  const TDEntry* docs = c_.FindDirectory("\\Docs\\");
  ASSERT_NE(docs, nullptr);
  EXPECT_EQ(c_.FindDirectory("\\docs"), nullptr);  // paths compare exactly
  EXPECT_EQ(docs->Path, "\\Docs");
  EXPECT_EQ(docs->LongName, "Docs");
  EXPECT_EQ(docs->ISOName, "DOCS");
  EXPECT_EQ(docs->Parent, c_.RootDirectory());
  const TDEntry* letters = c_.FindDirectory("\\Docs\\Letters");
  ASSERT_NE(letters, nullptr);
  EXPECT_EQ(letters->Path, "\\Docs\\Letters");
  EXPECT_EQ(letters->Parent, docs);
  const TFEntry* docsEntry = c_.FindEntry(c_.RootDirectory(), "Docs");
  ASSERT_NE(docsEntry, nullptr);
  EXPECT_EQ(docsEntry->SubDir, docs);
  EXPECT_EQ(docsEntry->Attr & faDirectory, static_cast<uint32_t>(faDirectory));
  EXPECT_EQ(docsEntry->SourceText(), "");
  // Subfolders are walked before the files of their folder.
  std::vector<std::string> order;
  for (const auto& e : c_.FileTable) order.push_back(e->LongName);
  EXPECT_EQ(order, (std::vector<std::string>{"Docs", "Letters", "one.txt", "two.txt", "top.bin"}));
  EXPECT_EQ(c_.FindDirectory(""), c_.RootDirectory());
  EXPECT_EQ(c_.FindDirectory("\\"), c_.RootDirectory());
  EXPECT_EQ(c_.FindDirectory("\\Docs\\Nothing"), nullptr);
  CheckInvariants();
}

TEST_F(TreeTest, FoldersThatContributeNothingArePruned) {
  File("src/keep/a.txt");
  File("src/filtered/b.doc");
  File("src/filtered/deeper/c.doc");
  Dir("src/empty/emptier/emptiest");
  File("src/d.txt");
  ASSERT_TRUE(AddAll("src", "*.txt"));
  EXPECT_EQ(c_.DirectoryCount(), 1);
  EXPECT_NE(c_.FindDirectory("\\keep"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\filtered"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\filtered\\deeper"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\empty"), nullptr);
  EXPECT_EQ(c_.FileCount(), 3);  // keep, a.txt, d.txt
  CheckInvariants();
}

TEST_F(TreeTest, HandlerSkipsAreNotFailuresAndTheWalkGoesOn) {
  File("src/a/first.txt");
  File("src/a/last.txt");
  File("src/b/other.txt");
  File("src/root.txt");
  Dir("src/skipme/x");
  File("src/skipme/y.txt");
  c_.OnAddFile = [](TObject*, const std::string& path, std::string&, std::string&, TDateTime&,
                    int32_t, int64_t, bool& skip) { skip = path.ends_with("last.txt"); };
  c_.OnAddDir = [](TObject*, std::string& longName, std::string&, bool& skip) {
    skip = longName == "skipme";
  };
  EXPECT_TRUE(AddAll("src"));
  EXPECT_NE(c_.FindEntry(c_.FindDirectory("\\a"), "first.txt"), nullptr);
  EXPECT_EQ(c_.FindEntry(c_.FindDirectory("\\a"), "last.txt"), nullptr);
  EXPECT_NE(c_.FindEntry(c_.FindDirectory("\\b"), "other.txt"), nullptr);
  EXPECT_NE(c_.FindEntry(c_.RootDirectory(), "root.txt"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\skipme"), nullptr);
  for (const auto& m : messages_) EXPECT_NE(m.Kind, MSG_FILE) << m.Text;
  CheckInvariants();
}

// A handler that leaves a name no entry can carry: refused, naming the source.
TEST_F(TreeTest, HandlersLeavingImpossibleNamesAreRefused) {
  File("src/sub/in.txt");
  File("src/file.txt");
  for (const std::string bad : {"", ".", "..", "a/b", "a\\b"}) {
    messages_.clear();
    c_.OnAddFile = [&](TObject*, const std::string&, std::string& longName, std::string&, TDateTime&,
                       int32_t, int64_t, bool&) { longName = bad; };
    c_.OnAddDir = [&](TObject*, std::string& longName, std::string&, bool&) { longName = bad; };
    EXPECT_FALSE(AddAll("src")) << bad;
    EXPECT_TRUE(HasMessage(P("src/file.txt"), MSG_FILE) && HasMessage(P("src/sub"), MSG_FILE)) << bad;
    EXPECT_EQ(c_.FileCount(), 0) << bad;
  }
}

TEST_F(TreeTest, HandlersMayRenameAndRedate) {
  File("src/sub/file.txt", 7);
  const TDateTime when = EncodeDateTime({2004, 3, 4, 5, 6, 7, 0});
  c_.OnAddDir = [](TObject*, std::string& longName, std::string& shortName, bool&) {
    longName = "Renamed Dir";
    shortName = "RENAMED";
  };
  c_.OnAddFile = [&](TObject* sender, const std::string& path, std::string& longName,
                     std::string& shortName, TDateTime& date, int32_t attr, int64_t size, bool&) {
    EXPECT_EQ(sender, &c_);
    EXPECT_EQ(path, P("src/sub/file.txt"));
    EXPECT_EQ(longName, "file.txt");
    EXPECT_EQ(shortName, "FILE.TXT");
    EXPECT_EQ(size, 7);
    EXPECT_EQ(attr & faArchive, faArchive);
    longName = "New Name.txt";
    shortName = "new.txt";
    date = when;
  };
  ASSERT_TRUE(AddAll("src"));
  TDEntry* d = c_.FindDirectory("\\Renamed Dir");
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->ISOName, "RENAMED");
  const TFEntry* e = c_.FindEntry(d, "New Name.txt");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ISOName, "NEW.TXT");  // upper-cased after the handler
  EXPECT_EQ(e->DateTime, when);
  EXPECT_EQ(e->SourceText(), P("src/sub/file.txt"));  // read under its own name
  EXPECT_TRUE(e->SourceIs(P("src/sub/file.txt")));
  EXPECT_FALSE(e->SourceIs(P("src/sub/New Name.txt")));
  CheckInvariants();
}

// Linux names are case-sensitive: names differing only in case are two
// entries (files) or two directories (folders, also from two calls), each with
// an ISO name of its own; the same name again is found again.
TEST_F(TreeTest, NamesDifferingInCaseAreTwo) {
  File("one/Docs/a.txt");
  File("one/Makefile");
  File("one/makefile");
  File("one/ok.txt");
  File("two/DOCS/b.txt");
  File("two/Docs/c.txt");
  ASSERT_TRUE(AddAll("one"));
  ASSERT_TRUE(AddAll("two"));
  EXPECT_EQ(c_.DirectoryCount(), 2);
  EXPECT_EQ(Names(c_.FindDirectory("\\Docs")), (std::vector<std::string>{"a.txt", "c.txt"}));
  EXPECT_EQ(Names(c_.FindDirectory("\\DOCS")), (std::vector<std::string>{"b.txt"}));
  EXPECT_EQ(c_.FindDirectory("\\docs"), nullptr);
  std::map<std::string, std::string> iso;
  for (const TFEntry* e = c_.RootDirectory()->Entries; e != nullptr; e = e->Next) iso[e->LongName] = e->ISOName;
  EXPECT_EQ(iso, (std::map<std::string, std::string>{{"DOCS", "DOCS_1"}, {"Docs", "DOCS"},
                                                     {"Makefile.", "MAKEFILE."}, {"makefile.", "MAKEFI_1."},
                                                     {"ok.txt", "OK.TXT"}}));
  CheckInvariants();
}

// Generated 8.3 names count up per stem; a name freed by a removal is taken
// by the next file that needs one, and a long name that is itself a valid 8.3
// name in use gets a generated one too.
TEST_F(TreeTest, GeneratedNamesSkipTheNamesInUseAndReuseFreedOnes) {
  for (int i = 1; i <= 3; ++i) File("one/Holiday photo " + std::to_string(i) + ".jpeg");
  File("two/Holiday photo 4.jpeg");
  File("three/HOLIDA_3.JPE");
  File("three/Holiday photo 5.jpeg");
  auto iso = [&] {
    std::map<std::string, std::string> names;
    for (const TFEntry* e = c_.RootDirectory()->Entries; e != nullptr; e = e->Next) names[e->LongName] = e->ISOName;
    return names;
  };
  ASSERT_TRUE(AddAll("one"));
  EXPECT_EQ(iso(), (std::map<std::string, std::string>{{"Holiday photo 1.jpeg", "HOLIDA_1.JPE"},
                                                       {"Holiday photo 2.jpeg", "HOLIDA_2.JPE"},
                                                       {"Holiday photo 3.jpeg", "HOLIDA_3.JPE"}}));
  ASSERT_TRUE(c_.RemoveEntryByName("\\", "Holiday photo 1.jpeg"));
  ASSERT_TRUE(AddAll("two"));
  EXPECT_EQ(iso()["Holiday photo 4.jpeg"], "HOLIDA_1.JPE");
  ASSERT_TRUE(AddAll("three"));
  EXPECT_EQ(iso()["HOLIDA_3.JPE"], "HOLIDA_4.JPE");
  EXPECT_EQ(iso()["Holiday photo 5.jpeg"], "HOLIDA_5.JPE");
  CheckInvariants();
}

TEST_F(TreeTest, AddingTheSameFolderTwice) {
  File("src/sub/a.txt", 10);
  File("src/b.txt", 20);
  ASSERT_TRUE(AddAll("src"));
  std::vector<const TFEntry*> before;
  for (const auto& e : c_.FileTable) before.push_back(e.get());

  // Without ReplaceFile every file is refused as already there: no change, no failure.
  ASSERT_TRUE(AddAll("src"));
  ASSERT_EQ(c_.FileTable.size(), before.size());

  // With ReplaceFile every file replaces its own entry where it stands.
  c_.ReplaceFile = true;
  std::ofstream(P("src/b.txt"), std::ios::binary) << std::string(99, 'y');
  ASSERT_TRUE(AddAll("src"));
  ASSERT_EQ(c_.FileTable.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(c_.FileTable[i].get(), before[i]);
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "b.txt")->ISOSize, 99);
  CheckInvariants();
}

TEST_F(TreeTest, SameNameFromAnotherSourceIsReportedAndFails) {
  File("one/same.txt", 1);
  File("two/same.txt", 2);
  File("two/other.txt", 3);
  ASSERT_TRUE(AddAll("one"));
  EXPECT_FALSE(AddAll("two"));
  EXPECT_TRUE(HasMessage(P("two/same.txt"), MSG_FILE));
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "same.txt")->ISOSize, 1);
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "other.txt"), nullptr);  // taken back with the call
  CheckInvariants();
}

// A refused call of AddFolder takes back every entry, directory and replacement it made.
TEST_F(TreeTest, ARefusedCallLeavesTheTreeAsItWas) {
  File("one/a.txt", 1);
  File("one/sub/b.txt", 2);
  for (const char* f : {"two/a.txt", "two/sub/c.txt", "two/new/deep/d.txt"}) File(f, 3);
  File("two/" + std::string(130, 'z') + ".txt", 6);  // refused
  c_.ReplaceFile = true;
  ASSERT_TRUE(AddAll("one"));
  auto state = [this] {
    std::vector<std::string> out;
    for (const auto& e : c_.FileTable) out.push_back(e->LongName + e->ISOName + e->SourceText() + std::to_string(e->ISOSize));
    for (const auto& d : c_.DirTable) out.push_back(d->Path);
    return out;
  };
  const auto before = state();
  EXPECT_FALSE(AddAll("two"));
  EXPECT_EQ(state(), before);
  CheckInvariants();
}

TEST_F(TreeTest, ReplaceKeepsTheNameIndexRight) {
  TSearchRec found;
  found.Name = "x.dat";
  found.Size = 1;
  found.Time = DateTimeToFileDate(EncodeDateTime({2004, 1, 1, 0, 0, 0, 0}));
  TDEntry* root = c_.RootDirectory();
  ASSERT_TRUE(c_.AddFile(root, found, "/src/x.dat", 0));
  EXPECT_FALSE(c_.AddFile(root, found, "/src/x.dat", 0));  // present, ReplaceFile off
  c_.ReplaceFile = true;
  c_.OnAddFile = [](TObject*, const std::string&, std::string& longName, std::string&, TDateTime&,
                    int32_t, int64_t, bool&) { longName = "y.dat"; };
  ASSERT_TRUE(c_.AddFile(root, found, "/src/x2.dat", 1234));
  EXPECT_EQ(c_.FindEntry(root, "x.dat"), nullptr);
  const TFEntry* e = c_.FindEntry(root, "y.dat");
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->Imported);
  EXPECT_EQ(e->ISOExtent, 1234);
  EXPECT_EQ(e->JolietExtent, 1234);
  EXPECT_EQ(c_.FileCount(), 1);
  CheckInvariants();
}

// A part of a file keeps its offset beside the entry: a replacing walk that
// is refused gives it back, one that is kept drops it, and so does removal.
TEST_F(TreeTest, APartsOffsetFollowsItsEntry) {
  File("whole/p.bin", 5);
  File("refused/p.bin", 5);
  File("refused/" + std::string(130, 'r') + ".txt");
  TDEntry* root = c_.RootDirectory();
  TSearchRec found;
  found.Name = "p.bin";
  found.Size = 2048;
  ASSERT_TRUE(c_.AddFilePart(root, found, "/src/big.bin", 4096));
  TFEntry* e = c_.FindEntry(root, "p.bin");
  ASSERT_NE(e, nullptr);
  c_.ReplaceFile = true;
  const struct {
    const char* Folder;
    bool Added;
    bool Part;
    int64_t Offset;
  } steps[] = {{"refused", false, true, 4096}, {"whole", true, false, 0}};
  for (const auto& s : steps) {
    EXPECT_EQ(AddAll(s.Folder), s.Added) << s.Folder;
    ASSERT_EQ(c_.FindEntry(root, "p.bin"), e);
    EXPECT_EQ(e->SourcePart, s.Part) << s.Folder;
    EXPECT_EQ(c_.SourceOffset(*e), s.Offset) << s.Folder;
    EXPECT_EQ(c_.SourceOffsets.size(), s.Part ? 1u : 0u) << s.Folder;
  }
  ASSERT_TRUE(c_.AddFilePart(root, found, "/src/big.bin", 8192));
  EXPECT_EQ(c_.SourceOffset(*e), 8192);
  c_.RemoveEntry(root, e);
  EXPECT_TRUE(c_.SourceOffsets.empty());
  CheckInvariants();
}

TEST_F(TreeTest, AFolderEntryIsNeverReplacedByAFile) {
  TDEntry* root = c_.RootDirectory();
  ASSERT_NE(c_.ForcePath("\\data.bin"), nullptr);
  c_.ReplaceFile = true;
  TSearchRec found;
  found.Name = "data.bin";
  found.Size = 5;
  EXPECT_FALSE(c_.AddFile(root, found, "/x/data.bin", 0));
  EXPECT_NE(c_.FindEntry(root, "data.bin")->SubDir, nullptr);
  CheckInvariants();
}

TEST_F(TreeTest, LongNamesOfOneHundredTwentyEightCharactersAreRefused) {
  TDEntry* root = c_.RootDirectory();
  TSearchRec found;
  found.Name = std::string(127, 'n');  // a dot is appended: 128
  EXPECT_FALSE(c_.AddFile(root, found, "", 0));
  EXPECT_TRUE(messages_.empty());  // silent outside a folder walk

  // A handler may accept such a name; the record limits then still apply.
  c_.OnAddFile = [](TObject*, const std::string&, std::string& longName, std::string& shortName,
                    TDateTime&, int32_t, int64_t, bool& skip) {
    skip = false;
    longName = "short.txt";
    shortName = "SHORT.TXT";
  };
  EXPECT_TRUE(c_.AddFile(root, found, "", 0));
  c_.OnAddFile = nullptr;

  File("src/" + std::string(130, 'q') + ".txt");
  File("src/fine.txt");
  EXPECT_FALSE(AddAll("src"));
  EXPECT_TRUE(HasMessage(std::string(130, 'q'), MSG_FILE));
  EXPECT_EQ(c_.FindEntry(root, "fine.txt"), nullptr);  // taken back with the refused call
}

TEST_F(TreeTest, NamesTooLongForTheirRecordsAreRefused) {
  TDEntry* root = c_.RootDirectory();
  TSearchRec found;
  // Joliet: (units + 2) x 2 + 33 + 1 <= 255 allows 108 units for a file.
  found.Name = std::string(104, 'j') + ".txt";
  EXPECT_TRUE(c_.AddFile(root, found, "", 0));
  found.Name = std::string(105, 'k') + ".txt";
  EXPECT_FALSE(c_.AddFile(root, found, "", 0));
  EXPECT_TRUE(HasMessage(std::string(105, 'k'), MSG_FILE));
  // Counted in UTF-16 units, not bytes: 60 two-byte characters are 60 units.
  std::string accents;
  for (int i = 0; i < 60; ++i) accents += "\xC3\xA9";
  found.Name = accents + ".txt";
  EXPECT_TRUE(c_.AddFile(root, found, "", 0));
  std::string japanese;  // 43 characters, 129 bytes
  for (int i = 0; i < 43; ++i) japanese += "\xE6\x97\xA5";
  found.Name = japanese + ".txt";
  EXPECT_TRUE(c_.AddFile(root, found, "", 0));
  // ISO: the short name a handler gives must fit too (219 bytes + ";1").
  c_.OnAddFile = [](TObject*, const std::string&, std::string&, std::string& shortName, TDateTime&,
                    int32_t, int64_t, bool&) { shortName = std::string(220, 'S'); };
  found.Name = "iso.txt";
  EXPECT_FALSE(c_.AddFile(root, found, "", 0));
  EXPECT_TRUE(HasMessage("\\iso.txt", MSG_FILE));
  c_.OnAddFile = nullptr;
  // Directories carry no ";1": 110 units fit, 111 do not.
  found.Attr = faDirectory;
  found.Name = std::string(110, 'd');
  EXPECT_NE(c_.AddDirectory(root, found, found.Name, UpperCase(found.Name)), nullptr);
  found.Name = std::string(111, 'e');
  EXPECT_EQ(c_.AddDirectory(root, found, found.Name, UpperCase(found.Name)), nullptr);
  EXPECT_TRUE(HasMessage(std::string(111, 'e'), MSG_FILE));
  CheckInvariants();
}

// Files of 4 GiB or more are added (recorded in several extents) and laid
// out as one run of sectors each, in the order the cache streams them.
TEST_F(TreeTest, FilesOfFourGibibytesAreAddedAsOneRun) {
  File("src/ok.bin");
  File("src/big.bin");
  File("src/edge.bin");
  ASSERT_EQ(::truncate(P("src/big.bin").c_str(), 4294967296ll), 0);
  ASSERT_EQ(::truncate(P("src/edge.bin").c_str(), 4294967295ll), 0);
  ASSERT_TRUE(AddAll("src"));
  const TFEntry* big = c_.FindEntry(c_.RootDirectory(), "big.bin");
  const TFEntry* edge = c_.FindEntry(c_.RootDirectory(), "edge.bin");
  ASSERT_NE(big, nullptr);
  ASSERT_NE(edge, nullptr);
  EXPECT_EQ(big->ISOSize, 4294967296ll);
  EXPECT_EQ(edge->ISOSize, 4294967295ll);
  ASSERT_TRUE(c_.PrepareImage(true, nullptr));
  EXPECT_EQ(edge->ISOExtent - big->ISOExtent, 2097152);  // big.bin's sectors, then edge.bin's
  EXPECT_EQ(c_.FileSectors, 2097152 + 2097152);
  EXPECT_NE(c_.FindEntry(c_.RootDirectory(), "ok.bin"), nullptr);
}

TEST_F(TreeTest, DirectoryLimit) {
  for (int i = 1; i < 8191; ++i) ASSERT_NE(c_.ForcePath("\\D" + std::to_string(i)), nullptr);
  ASSERT_EQ(c_.DirCount, 8191);
  File("src/late/a.txt");
  File("src/b.txt");
  EXPECT_FALSE(AddAll("src"));
  EXPECT_TRUE(HasMessage(">>> MAXIMUM DIRECTORIES CAN BE 8191", MSG_LIMIT));
  EXPECT_TRUE(HasMessage(P("src/late"), MSG_FILE));
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "b.txt"), nullptr);
  EXPECT_EQ(c_.DirectoryCount(), 8190);
  CheckInvariants();
  // A tree of the largest capacities holds what ISO 9660's path tables can
  // number, and refuses the 65,536th directory with the same message.
  VEZEZadira big(kLargestEntries, kLargestDirs);
  std::vector<std::string> said;
  big.OnDebugMessage = [&said](TObject*, const std::string& m, uint8_t) { said.push_back(m); };
  for (int i = 1; i < 65535; ++i) ASSERT_NE(big.ForcePath("\\D" + std::to_string(i)), nullptr) << i;
  EXPECT_EQ(big.ForcePath("\\one more"), nullptr);
  EXPECT_EQ(said, std::vector<std::string>{">>> MAXIMUM DIRECTORIES CAN BE 65535"});
}

TEST_F(TreeTest, EntryLimit) {
  TDEntry* root = c_.RootDirectory();
  TSearchRec found;
  for (int i = 0; i < 65535; ++i) {
    found.Name = "f" + std::to_string(i);
    ASSERT_TRUE(c_.AddFile(root, found, "", 0));
  }
  found.Name = "one.more";
  EXPECT_FALSE(c_.AddFile(root, found, "", 0));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Text, "MAXIMUM FILES CAN BE 65535");
  EXPECT_EQ(messages_[0].Kind, MSG_LIMIT);
  // A directory needs an entry too: its record is given back.
  EXPECT_EQ(c_.ForcePath("\\NEWDIR"), nullptr);
  EXPECT_EQ(c_.DirCount, 1);
  EXPECT_EQ(c_.FileCount(), 65535);
  // The last name is found through the index.
  EXPECT_NE(c_.FindEntry(root, "f65534."), nullptr);
}

TEST_F(TreeTest, InvalidDestination) {
  File("src/a.txt");
  EXPECT_FALSE(c_.AddFolder("\\nowhere", P("src"), "*.*", faAnyFile, true, false, false));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Text, "INVALID DESTINATION PATH");
  EXPECT_EQ(messages_[0].Kind, MSG_FILE);
  EXPECT_EQ(c_.FileCount(), 0);
}

TEST_F(TreeTest, AddingIntoASubdirectory) {
  ASSERT_NE(c_.ForcePath("\\Target\\Deep"), nullptr);
  File("src/a.txt");
  ASSERT_TRUE(c_.AddFolder("\\Target\\Deep\\", P("src"), "", faAnyFile, false, false, false));
  EXPECT_NE(c_.FindEntry(c_.FindDirectory("\\Target\\Deep"), "a.txt"), nullptr);
  // ForcePath makes unique 8.3 names of d-characters, as the folder walk does.
  ASSERT_NE(c_.ForcePath("\\my folder{1}.tmp"), nullptr);
  ASSERT_NE(c_.ForcePath("\\MYFOLD"), nullptr);
  ASSERT_NE(c_.ForcePath("\\my folder{2}"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\my folder{1}.tmp")->ISOName, "MYFOLD_1");
  EXPECT_EQ(c_.FindDirectory("\\MYFOLD")->ISOName, "MYFOLD");
  EXPECT_EQ(c_.FindDirectory("\\my folder{2}")->ISOName, "MYFOLD_2");
  EXPECT_EQ(c_.FindDirectory("\\my folder{1}.tmp")->LongName, "my folder{1}.tmp");
  CheckInvariants();
}

TEST_F(TreeTest, KeepSourcePathForms) {
  // Network form: the server and share are dropped. On Linux "//tmp/x" is "/tmp/x",
  // so the first two names of the temporary folder play server and share.
  File("srv/A/B/f.txt");
  const std::string network = "/" + P("srv/A/B");
  ASSERT_TRUE(c_.AddFolder("\\", network, "*.*", faAnyFile, true, true, false));
  const std::string rest = P("srv/A/B").substr(std::string("/tmp/").size());  // past server "tmp"
  const std::string kept = rest.substr(rest.find('/'));                       // past the share
  std::string treePath = kept;
  std::replace(treePath.begin(), treePath.end(), '/', '\\');
  const TDEntry* b = c_.FindDirectory(treePath);
  ASSERT_NE(b, nullptr) << treePath;
  EXPECT_NE(c_.FindEntry(const_cast<TDEntry*>(b), "f.txt"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\tmp"), nullptr);

  // A plain path keeps every folder, under the destination's own path.
  ASSERT_NE(c_.ForcePath("\\Dest"), nullptr);
  ASSERT_TRUE(c_.AddFolder("\\Dest", P("srv/A"), "*.*", faAnyFile, true, true, false));
  std::string full = "\\Dest" + P("srv/A");
  std::replace(full.begin(), full.end(), '/', '\\');
  ASSERT_NE(c_.FindDirectory(full + "\\B"), nullptr) << full;

  // Drive form: "C:" is dropped. The folder cannot be read here, so the
  // directories made for its path are taken back with the refused call.
  ASSERT_NE(c_.ForcePath("\\Win"), nullptr);
  EXPECT_FALSE(c_.AddFolder("\\", "C:\\Win\\Folder", "*.*", faAnyFile, true, true, false));
  EXPECT_NE(c_.FindDirectory("\\Win"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\Win\\Folder"), nullptr);
  EXPECT_TRUE(HasMessage("C:\\Win\\Folder", MSG_FILE));
  CheckInvariants();
}

TEST_F(TreeTest, AttributeMaskAndHiddenNames) {
  File("src/.hidden");
  File("src/plain.txt");
  File("src/locked.txt");
  ::chmod(P("src/locked.txt").c_str(), 0444);
  ASSERT_TRUE(c_.AddFolder("\\", P("src"), "*.*", faArchive | faReadOnly, false, false, false));
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), ".hidden"), nullptr);
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "locked.txt")->Attr & faReadOnly,
            static_cast<uint32_t>(faReadOnly));
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "plain.txt")->Attr & faReadOnly, 0u);
  ASSERT_TRUE(AddAll("src"));
  const TFEntry* hidden = c_.FindEntry(c_.RootDirectory(), ".hidden");
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(hidden->Attr & faHidden, static_cast<uint32_t>(faHidden));
}

TEST_F(TreeTest, WithoutRecurseOnlyTheFilesOfTheFolder) {
  File("src/sub/a.txt");
  File("src/b.txt");
  ASSERT_TRUE(c_.AddFolder("\\", P("src"), "*.*", faAnyFile, false, false, false));
  EXPECT_EQ(c_.DirectoryCount(), 0);
  EXPECT_EQ(Names(c_.RootDirectory()), std::vector<std::string>{"b.txt"});
}

TEST_F(TreeTest, LinksAreFollowedAndLoopsSkipped) {
  File("src/real/data.bin", 100);
  fs::create_symlink(P("src/real/data.bin"), P("src/link.bin"));
  fs::create_directory_symlink(P("src"), P("src/real/loop"));
  fs::create_directory_symlink(P("src/real"), P("src/again"));
  ASSERT_TRUE(AddAll("src"));
  const TFEntry* link = c_.FindEntry(c_.RootDirectory(), "link.bin");
  ASSERT_NE(link, nullptr);
  EXPECT_EQ(link->ISOSize, 100);
  EXPECT_EQ(c_.FindDirectory("\\real\\loop"), nullptr);
  ASSERT_NE(c_.FindDirectory("\\again"), nullptr);  // a second way in, not a loop
  EXPECT_EQ(c_.FindDirectory("\\again\\loop"), nullptr);
  CheckInvariants();
}

TEST_F(TreeTest, SpecialFilesAreSkipped) {
  File("src/a.txt");
  ASSERT_EQ(::mkfifo(P("src/pipe").c_str(), 0644), 0);
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock = P("src/sock");
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock.c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_TRUE(AddAll("src"));
  ::close(s);
  EXPECT_EQ(Names(c_.RootDirectory()), std::vector<std::string>{"a.txt"});
}

// Links that lead nowhere (dangling, or a loop of links) hold nothing to lose:
// each is skipped with a message naming it, and the folder is added whole.
TEST_F(TreeTest, LinksThatLeadNowhereAreSkippedAndTheWalkGoesOn) {
  File("src/a.txt");
  File("src/z.txt");
  fs::create_symlink(P("src/missing"), P("src/dangling.txt"));
  fs::create_symlink(P("src/loop2"), P("src/loop1"));
  fs::create_symlink(P("src/loop1"), P("src/loop2"));
  fs::create_symlink(P("src/gone"), P("src/danglingdir"));
  EXPECT_TRUE(AddAll("src"));
  for (const char* link : {"src/dangling.txt", "src/loop1", "src/loop2", "src/danglingdir"})
    EXPECT_TRUE(HasMessage(P(link), MSG_FILE)) << link;
  EXPECT_EQ(messages_.size(), 4u);
  EXPECT_EQ(c_.FileCount(), 2);
  // A source folder that does not exist.
  messages_.clear();
  EXPECT_FALSE(AddAll("nothing-here"));
  EXPECT_TRUE(HasMessage(P("nothing-here"), MSG_FILE));
}

TEST_F(TreeTest, UnreadableFoldersAndFilesWithoutPrivileges) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  File("src/closed/inside.txt");
  File("src/secret.txt");
  File("src/open.txt");
  ::chmod(P("src/closed").c_str(), 0);
  ::chmod(P("src/secret.txt").c_str(), 0);
  EXPECT_FALSE(AddAll("src"));
  EXPECT_TRUE(HasMessage(P("src/closed"), MSG_FILE));
  EXPECT_TRUE(HasMessage(P("src/secret.txt"), MSG_FILE));
  EXPECT_EQ(c_.FindEntry(c_.RootDirectory(), "open.txt"), nullptr);  // taken back with the call
  EXPECT_EQ(c_.FindDirectory("\\closed"), nullptr);
}

TEST_F(TreeTest, FolderNamesWithABackslashAreRefused) {
  File("src/a\\b/c.txt");
  File("src/d.txt");
  EXPECT_FALSE(AddAll("src"));
  EXPECT_TRUE(HasMessage(P("src/a\\b"), MSG_FILE));
  EXPECT_EQ(c_.DirectoryCount(), 0);
  EXPECT_EQ(c_.FileCount(), 0);  // d.txt was taken back with the refused call
  // Not even when the path it would give exists: its files must not land there.
  ASSERT_NE(c_.ForcePath("\\A\\B"), nullptr);
  EXPECT_FALSE(AddAll("src"));
  EXPECT_EQ(c_.FindDirectory("\\A\\B")->Entries, nullptr);
}

TEST_F(TreeTest, Removal) {
  File("src/a/b/c/deep.txt");
  File("src/a/side.txt");
  File("src/z/zz.txt");
  File("src/top.txt");
  ASSERT_TRUE(AddAll("src"));
  ASSERT_EQ(c_.DirectoryCount(), 4);
  ASSERT_EQ(c_.FileCount(), 8);
  TDEntry* root = c_.RootDirectory();
  EXPECT_FALSE(c_.RemoveDirectory(root));
  EXPECT_EQ(root, c_.RootDirectory());

  TDEntry* b = c_.FindDirectory("\\a\\b");
  ASSERT_TRUE(c_.RemoveDirectory(b));
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(c_.FindDirectory("\\a\\b"), nullptr);
  EXPECT_EQ(c_.FindDirectory("\\a\\b\\c"), nullptr);
  EXPECT_EQ(c_.DirectoryCount(), 2);
  EXPECT_EQ(c_.FileCount(), 5);
  EXPECT_EQ(Names(c_.FindDirectory("\\a")), std::vector<std::string>{"side.txt"});
  CheckInvariants();

  EXPECT_FALSE(c_.RemoveEntryByName("\\", "TOP.TXT"));
  EXPECT_TRUE(c_.RemoveEntryByName("\\", "top.txt"));
  EXPECT_FALSE(c_.RemoveEntryByName("\\", "top.txt"));
  EXPECT_FALSE(c_.RemoveEntryByName("\\nothing", "zz.txt"));
  EXPECT_TRUE(c_.RemoveEntryByName("\\", "a"));
  EXPECT_EQ(c_.DirectoryCount(), 1);
  EXPECT_EQ(Names(root), std::vector<std::string>{"z"});
  std::vector<std::string> order;
  for (const auto& e : c_.FileTable) order.push_back(e->LongName);
  EXPECT_EQ(order, (std::vector<std::string>{"z", "zz.txt"}));
  CheckInvariants();

  // The tree takes new records after removals.
  File("more/n.txt");
  ASSERT_TRUE(AddAll("more"));
  EXPECT_EQ(Names(root), (std::vector<std::string>{"z", "n.txt"}));
  CheckInvariants();
}

TEST_F(TreeTest, RemovalAfterReordering) {
  ASSERT_NE(c_.ForcePath("\\B\\D"), nullptr);
  ASSERT_NE(c_.ForcePath("\\A\\C"), nullptr);
  // Reorder the path tables as a layout would.
  std::reverse(c_.ISOPathOrder.begin() + 1, c_.ISOPathOrder.end());
  std::reverse(c_.JolietPathOrder.begin() + 1, c_.JolietPathOrder.end());
  TDEntry* b = c_.FindDirectory("\\B");
  ASSERT_TRUE(c_.RemoveDirectory(b));
  ASSERT_EQ(c_.ISOPathOrder.size(), 3u);
  EXPECT_EQ(c_.ISOPathOrder[1]->Path, "\\A\\C");
  EXPECT_EQ(c_.ISOPathOrder[2]->Path, "\\A");
  CheckInvariants();
}

}  // namespace
