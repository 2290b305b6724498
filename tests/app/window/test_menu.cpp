// The menu bar on virtual drives: an image file written, a CD-RW erased and
// ejected, a verified burn with the verify's outcome; every drive action off
// while a job runs; and the pictures of the open menus.
#include <QPainter>

#include "window_fixture.h"

namespace {

// BURN CD, the drive list and the menu's items, as the user can reach them now.
std::vector<bool> JobControls(const TfrmMain& w) {
  return {w.bBurn->isEnabled(), w.cbDrives->isEnabled(), w.aWriteImage->isEnabled(),
          w.aErase->isEnabled(), w.aVerify->isEnabled(), w.aEject->isEnabled()};
}
const std::vector<bool> kAllOn(6, true), kAllOff(6, false);

TEST_F(WindowTest, WriteImageFileRecordsTheChosenImageWithTheBurnTexts) {
  // The image is made in process: a child started through Qt before the
  // window's threads leaves ThreadSanitizer blind to the locks taken after it.
  const QString image = QString::fromStdString(Path("sample.iso"));
  {
    VEZEZadira maker;
    ASSERT_TRUE(maker.AddFolder("\\", kSampleDir, "*.*", faAnyFile, true, false, false));
    ASSERT_TRUE(maker.PrepareImage(true, nullptr));
    std::string error;
    ASSERT_TRUE(WriteImageFile(maker, image.toStdString(), error)) << error;
  }
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  EXPECT_EQ(w.mFile->title(), "File");
  EXPECT_EQ(w.aWriteImage->text(), "Write Image File\u2026");
  w.ChooseImageFile = [&] { return image; };
  bool finished = false;
  QObject context;
  QObject::connect(&w, &TfrmMain::BurnFinished, &context, [&] { finished = true; });
  w.aWriteImage->trigger();
  EXPECT_EQ(w.StatusText(), "Burning CD - Please wait");
  EXPECT_EQ(JobControls(w), kAllOff);
  EXPECT_EQ(w.pb->MaxValue(), w.ecdb->ImageSectors());
  ASSERT_TRUE(WaitUntil([&] { return finished; })) << w.StatusText().toStdString();
  EXPECT_EQ(w.StatusText(), "Burning Done - Sucsessfull");
  EXPECT_EQ(JobControls(w), kAllOn);
  // The track starts at sector 0 of the virtual disc: the image, byte for byte.
  QFile disc(QString::fromStdString(Path("disc.iso"))), source(image);
  ASSERT_TRUE(disc.open(QIODevice::ReadOnly) && source.open(QIODevice::ReadOnly));
  EXPECT_TRUE(disc.read(source.size()) == source.readAll());
}

TEST_F(WindowTest, EraseDiscAsksThenErasesTheCdRwAndEjectOpensTheTray) {
  TfrmMain& w = ShowWindow({"rw.iso:cd-rw"});
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  BurnAndWait(w);
  ASSERT_EQ(w.ecdb->RecordedSessions(), 1);
  w.ConfirmErase = [] { return false; };
  w.aErase->trigger();
  EXPECT_EQ(w.StatusText(), "Burning Done - Sucsessfull");  // declined: nothing happens

  w.ConfirmErase = [] { return true; };
  bool finished = false, withError = true;
  QObject context;
  QObject::connect(&w, &TfrmMain::EraseFinished, &context, [&](bool e) {
    finished = true;
    withError = e;
  });
  w.aErase->trigger();
  EXPECT_EQ(w.StatusText(), "ERASING - PLEASE WAIT");
  EXPECT_EQ(JobControls(w), kAllOff);
  EXPECT_FALSE(w.close());
  ASSERT_TRUE(WaitUntil([&] { return finished; })) << w.StatusText().toStdString();
  EXPECT_FALSE(withError) << w.ecdb->EraseError;
  EXPECT_EQ(w.StatusText(), "Erasing Done - Successful");
  EXPECT_EQ(JobControls(w), kAllOn);
  EXPECT_EQ(w.ecdb->DiscStatus(), 0);  // blank again

  w.aEject->trigger();
  EXPECT_FALSE(w.ecdb->TestUnitReady(1000));  // no disc in the open tray
}

TEST_F(WindowTest, VerifyAfterBurningIsOffAtFirstAndShowsTheVerifysOutcome) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  EXPECT_TRUE(w.aVerify->isCheckable());
  EXPECT_FALSE(w.aVerify->isChecked());
  EXPECT_FALSE(w.ecdb->VerifyAfterWrite);
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  w.aVerify->trigger();
  EXPECT_TRUE(w.ecdb->VerifyAfterWrite);
  BurnAndWait(w);
  EXPECT_EQ(w.StatusText(), "Verify Done - Every Sector Matches");
  EXPECT_TRUE(w.Workflow().VerifyRan);
  EXPECT_EQ(w.Workflow().LastError, "");
}

// The open menus over the window, and the window after burning the sample,
// saved into MBURN_SCREENSHOTS when it names a folder (the README's pictures).
TEST_F(WindowTest, OpenMenusCanBePictured) {
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  ASSERT_TRUE(WaitUntil([&] { return w.StartupDone(); }));
  const QString folder = qEnvironmentVariable("MBURN_SCREENSHOTS");
  for (QMenu* menu : {w.mFile, w.mDisc}) {
    w.MainMenu->setActiveAction(menu->menuAction());
    ASSERT_TRUE(WaitUntil([&] { return menu->isVisible(); }, 10000));
    QPixmap picture = w.grab();
    QPainter(&picture).drawPixmap(w.MainMenu->actionGeometry(menu->menuAction()).bottomLeft(),
                                  menu->grab());
    if (!folder.isEmpty()) {
      EXPECT_TRUE(picture.save(folder + "/window-menu-" + menu->title().toLower() + ".png"));
    }
    menu->hide();
  }
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir));
  BurnAndWait(w);
  if (!folder.isEmpty()) {
    EXPECT_TRUE(w.grab().save(folder + "/window-after-burn.png"));
  }
}

}  // namespace
