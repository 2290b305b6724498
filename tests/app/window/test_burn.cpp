// The burn workflow in the window: the folder check, a recording on the
// virtual recorder, the space check and its figures, the mended cases.
#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <fstream>

#include "window_fixture.h"

namespace {

TEST_F(WindowTest, ChooseAFolderFirstEachTime) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  const QString before = w.StatusText();
  TModalCatcher catcher;
  w.bBurn->click();
  w.bBurn->click();
  ASSERT_EQ(catcher.Caught.size(), 2u);
  for (const TCaught& box : catcher.Caught) {
    EXPECT_EQ(box.Kind, "message");
    EXPECT_EQ(box.Text, "Choose a folder first");
    EXPECT_EQ(box.Title, "Bramblewood Micro Burner");
    EXPECT_EQ(box.Buttons, 1);
    const QRect screen = QApplication::primaryScreen()->geometry();
    EXPECT_LE(std::abs(box.Frame.center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(box.Frame.center().y() - screen.center().y()), 1);
  }
  EXPECT_EQ(w.StatusText(), before);
  EXPECT_EQ(w.ecdb->FileCount(), 0);
  EXPECT_TRUE(w.bBurn->isEnabled());
}

TEST_F(WindowTest, BurnOnTheVirtualRecorderEndsSuccessfullyAtFullGauge) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  QObject context;
  bool finished = false;
  QString error = "not called";
  QObject::connect(&w, &TfrmMain::BurnFinished, &context, [&](const QString& e) {
    finished = true;
    error = e;
  });
  w.bBurn->click();
  // The recording runs: the button is off so that no second one starts, and
  // the window does not close under it.
  EXPECT_EQ(w.StatusText(), "Burning CD - Please wait");
  EXPECT_FALSE(w.bBurn->isEnabled());
  EXPECT_FALSE(w.cbDrives->isEnabled());
  EXPECT_FALSE(w.close());
  const int64_t image = w.ecdb->ImageSectors();
  EXPECT_EQ(w.pb->MaxValue(), image);
  ASSERT_TRUE(WaitUntil([&] { return finished; })) << w.StatusText().toStdString();
  EXPECT_EQ(error, "");
  EXPECT_EQ(w.StatusText(), "Burning Done - Sucsessfull");
  EXPECT_TRUE(w.bBurn->isEnabled());
  EXPECT_TRUE(w.cbDrives->isEnabled());
  // The next tick of the timer brings the gauge to the end.
  ASSERT_TRUE(WaitUntil([&] { return w.pb->PercentDone() == 100; }, 5000));
  EXPECT_EQ(w.pb->Progress(), image);
  EXPECT_EQ(w.ecdb->BytesWritten.load(), image * 2048);
  // The disc holds a session now and is still open.
  EXPECT_EQ(w.ecdb->DiscStatus(), 1);
  EXPECT_EQ(w.ecdb->RecordedSessions(), 1);
}

TEST_F(WindowTest, WriteErrorEndsWithError) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r,write-error=40"});
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  QObject context;
  QString error;
  bool finished = false;
  QObject::connect(&w, &TfrmMain::BurnFinished, &context, [&](const QString& e) {
    finished = true;
    error = e;
  });
  w.bBurn->click();
  ASSERT_TRUE(WaitUntil([&] { return finished; }));
  EXPECT_EQ(w.StatusText(), "Burning done - With error");
  EXPECT_TRUE(error.startsWith("WRITER ERROR [")) << error.toStdString();
  EXPECT_TRUE(w.bBurn->isEnabled());
  EXPECT_TRUE(w.close());
}

// While a recording ends (its end handler runs, its thread still has a
// command to send) a press is refused with a status text; BURN CD comes back
// once the thread has ended, and a press then records normally.
TEST_F(WindowTest, PressDuringTheEndingIsRefusedAndTheNextRecords) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  TBurnOutcome during = TBurnOutcome::Started;
  const TWriteDoneEvent handler = w.ecdb->OnWriteDone;
  w.ecdb->OnWriteDone = [&, handler](TObject* sender, const std::string& error) {
    handler(sender, error);
    w.bBurn->click();  // the button is still off: nothing happens
    during = w.Workflow().BurnClick(kSampleDir, "*.*");
  };
  BurnAndWait(w);
  EXPECT_EQ(during, TBurnOutcome::Busy);
  EXPECT_EQ(w.StatusText(), "A RECORDING IS ALREADY RUNNING");
  EXPECT_TRUE(w.bBurn->isEnabled());
  w.ecdb->OnWriteDone = handler;
  BurnAndWait(w);
  EXPECT_EQ(w.StatusText(), "Burning Done - Sucsessfull");
  EXPECT_EQ(w.ecdb->RecordedSessions(), 2);
}

TEST_F(WindowTest, ClosedDiscHasNoSpace) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  // Close the disc with a first recording.
  w.ecdb->FinalizeDisc = true;
  BurnAndWait(w);
  ASSERT_EQ(w.StatusText(), "Burning Done - Sucsessfull");
  ASSERT_EQ(w.ecdb->DiscStatus(), 2);
  // Now nothing more fits: the message with both figures, nothing recorded.
  w.ecdb->FinalizeDisc = false;
  w.bBurn->click();
  const int64_t image = w.ecdb->ImageSectors();
  ASSERT_GT(image, 0);
  EXPECT_EQ(w.StatusText().toStdString(),
            "NOT ENOUGH SPACE. NEEDS " + std::to_string(image * 2) + "KB ,  TILGJENGELIG 0KB");
  EXPECT_TRUE(w.bBurn->isEnabled());
}

TEST_F(WindowTest, SpaceMessageShowsMoreThanFourGigabytesOfFreeSpace) {
  // Two sparse files of 2.4 GB: more than a blank DVD+R takes, without using
  // the disk space; nothing is read because the space check stops the burn.
  ASSERT_TRUE(QDir().mkdir("big"));
  for (const char* name : {"big/one.bin", "big/two.bin"}) {
    const int fd = ::open(name, O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, int64_t{2400} * 1000 * 1000), 0);
    ::close(fd);
  }
  TfrmMain& w = ShowWindow({"dvd.iso:dvd+r"});
  w.eDirToBurn->setText(QDir::current().absoluteFilePath("big"));
  w.bBurn->click();
  const uint32_t freeSectors = w.ecdb->FreeSectors();
  ASSERT_GT(freeSectors, 1u << 21);
  const int64_t image = w.ecdb->ImageSectors();
  // A blank single-layer DVD: 2,295,104 sectors, 4,590,208 KB.
  EXPECT_EQ(freeSectors, 2295104u);
  EXPECT_EQ(w.StatusText().toStdString(), "NOT ENOUGH SPACE. NEEDS " + std::to_string(image * 2) +
                                              "KB ,  TILGJENGELIG 4590208KB");
  EXPECT_EQ(w.ecdb->DiscStatus(), 0);
}

TEST_F(WindowTest, NoDiscOrNoRecorderStillReachesTheSpaceCheck) {
  {
    TfrmMain& w = ShowWindow({"none.iso:none"});
    w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
    w.bBurn->click();
    EXPECT_TRUE(w.StatusText().startsWith("NOT ENOUGH SPACE. NEEDS ")) << w.StatusText().toStdString();
    EXPECT_TRUE(w.StatusText().endsWith("KB ,  TILGJENGELIG 0KB"));
  }
  // A working transport without any recorder: nothing listed, nothing selected.
  window_.reset();
  ResetASPILayer();
  setenv("MBURN_VIRTUAL", "", 1);
  TWindowOptions options;
  options.LibraryPath = VirtualLibraryCopy();
  window_ = std::make_unique<TfrmMain>(options);
  window_->show();
  TfrmMain& w = *window_;
  ASSERT_TRUE(w.ecdb->ASPIInitialized());
  EXPECT_EQ(w.cbDrives->count(), 0);
  EXPECT_EQ(w.StatusText(), "");
  EXPECT_TRUE(w.bBurn->isEnabled());
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  w.bBurn->click();
  EXPECT_TRUE(w.StatusText().endsWith("KB ,  TILGJENGELIG 0KB")) << w.StatusText().toStdString();
}

TEST_F(WindowTest, EveryPressAddsToTheSameTree) {
  // A pressed disc takes nothing, so each press stops at the space check.
  TfrmMain& w = ShowWindow({"rom.iso:cd-rom"});
  const QString sample = QString::fromStdString(kSampleDir);
  w.eDirToBurn->setText(sample + "/data");
  w.bBurn->click();
  EXPECT_TRUE(w.StatusText().startsWith("NOT ENOUGH SPACE")) << w.StatusText().toStdString();
  EXPECT_EQ(w.ecdb->FileCount(), 2);  // numbers.csv, random.bin
  w.bBurn->click();                   // the same folder again adds nothing new
  EXPECT_EQ(w.ecdb->FileCount(), 2);
  w.eDirToBurn->setText(sample + "/pictures");
  w.bBurn->click();
  EXPECT_EQ(w.ecdb->FileCount(), 3);  // both folders' files together
  EXPECT_EQ(w.ecdb->DirectoryCount(), 0);
}

TEST_F(WindowTest, MaskMatchingNothingDoesNothing) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  const QString before = w.StatusText();
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir) + "/pictures");
  w.eMask->setText("*.none");
  w.bBurn->click();
  EXPECT_EQ(w.StatusText(), before);
  EXPECT_EQ(w.ecdb->FileCount(), 0);
  EXPECT_TRUE(w.bBurn->isEnabled());
}

TEST_F(WindowTest, FolderThatCannotBeAddedWholeIsNotRecorded) {
  // A name of 130 characters is refused by the tree; the walk reports it.
  ASSERT_TRUE(QDir().mkdir("src"));
  std::ofstream("src/ok.txt") << "fine\n";
  std::ofstream("src/" + std::string(130, 'n') + ".txt") << "too long a name\n";
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  w.eDirToBurn->setText(QDir::current().absoluteFilePath("src"));
  w.bBurn->click();
  // The status names the file that was left out; nothing was recorded.
  EXPECT_TRUE(w.StatusText().endsWith(QString::fromStdString(std::string(130, 'n') + ".txt")))
      << w.StatusText().toStdString();
  EXPECT_FALSE(w.StatusText().startsWith("Burning"));
  EXPECT_TRUE(w.bBurn->isEnabled());
  EXPECT_EQ(w.ecdb->DiscStatus(), 0);  // still blank
  // The refused press left nothing in the tree: the next press records only its own folder.
  EXPECT_EQ(w.ecdb->FileCount(), 0);
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir) + "/pictures");
  BurnAndWait(w);
  EXPECT_EQ(w.StatusText().toStdString(), "Burning Done - Sucsessfull");
  EXPECT_EQ(w.ecdb->FileCount(), 1);  // gauge.png
  QProcess tar;
  tar.start("bsdtar", {"-tf", "disc.iso"});
  ASSERT_TRUE(tar.waitForFinished(60000));
  EXPECT_EQ(QString(tar.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts), (QStringList{".", "gauge.png"}));
}

TEST(SpaceMessage, FiguresInKilobytesWithoutWrapping) {
  EXPECT_EQ(NotEnoughSpaceText(1000, 600),
            "NOT ENOUGH SPACE. NEEDS 2000KB ,  TILGJENGELIG 1200KB");
  EXPECT_EQ(NotEnoughSpaceText(301, 0), "NOT ENOUGH SPACE. NEEDS 602KB ,  TILGJENGELIG 0KB");
  EXPECT_EQ(NotEnoughSpaceText(int64_t{5000000}, 4294967295u),
            "NOT ENOUGH SPACE. NEEDS 10000000KB ,  TILGJENGELIG 8589934590KB");
}

}  // namespace
