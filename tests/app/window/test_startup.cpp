// Start-up: the settings file, binding the transport, listing and selecting
// the recorders; the folder chooser.
#include <sys/stat.h>

#include <QDir>
#include <fstream>
#include <sstream>

#include "transport/fake_platform.h"
#include "window_fixture.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST_F(WindowTest, NoTransportDisablesBurning) {
  struct stat st {};
  if (stat("/dev/sr0", &st) == 0) GTEST_SKIP() << "this machine has an optical drive";
  TfrmMain& w = ShowWindow({});
  EXPECT_EQ(w.StatusText(), "Error while initializing ASPI Layer");
  EXPECT_FALSE(w.bBurn->isEnabled());
  EXPECT_EQ(w.cbDrives->count(), 0);
  EXPECT_FALSE(w.ecdb->ASPIInitialized());
  // The start-up stopped before the component's settings.
  EXPECT_FALSE(w.ecdb->ReplaceFile);
  // The settings file was written all the same: it comes first.
  EXPECT_EQ(ReadFile("ZEVodidoz.ini"), "[CDBurner]\nFiles=*.*\n");
  // The timer keeps the gauge at the component's counter: nothing yet.
  w.Timer1Timer();
  EXPECT_EQ(w.pb->PercentDone(), 0);
}

TEST_F(WindowTest, NodesThatCannotBeOpenedAreNamedAfterTheSystemsText) {
  TFakePlatform os;
  os.Add(2, 0, 0, 0).Opens = false;
  TFakeDrive& busy = os.Add(3, 0, 1, 0);
  busy.Opens = false;
  busy.OpenError = EBUSY;
  SetSPTIPlatform(&os);
  TfrmMain& w = ShowWindow({});
  SetSPTIPlatform(nullptr);
  EXPECT_EQ(w.StatusText(),
            "Error while initializing ASPI Layer - /dev/sr0: permission denied: only members "
            "of group cdrom may use it (sudo adduser $USER cdrom, then log in again)");
  EXPECT_FALSE(w.bBurn->isEnabled());
}

TEST_F(WindowTest, TwoVirtualRecordersTheFirstSelected) {
  TfrmMain& w = ShowWindow({"first.iso:cd-r", "second.iso:dvd+r"});
  ASSERT_TRUE(w.StartupDone());
  ASSERT_EQ(w.cbDrives->count(), 2);
  EXPECT_EQ(w.cbDrives->currentIndex(), 0);
  const std::string first = w.cbDrives->itemText(0).toStdString();
  const std::string second = w.cbDrives->itemText(1).toStdString();
  EXPECT_EQ(first.rfind("0:0:0,", 0), 0u) << first;
  EXPECT_EQ(second.rfind("0:1:0,", 0), 0u) << second;
  EXPECT_EQ(w.StatusText().toStdString(), "VOLUME SELECTED " + first);
  EXPECT_EQ(w.ecdb->DeviceDescription, first);
  EXPECT_TRUE(w.bBurn->isEnabled());
  // The start-up settings of the component.
  EXPECT_TRUE(w.ecdb->ReplaceFile);
  EXPECT_TRUE(w.ecdb->JolietFileSystem);
  EXPECT_FALSE(w.ecdb->FinalizeDisc);
  EXPECT_EQ(w.ecdb->ImportSession, 0);

  // Picking the second recorder selects it.
  w.cbDrives->setCurrentIndex(1);
  emit w.cbDrives->activated(1);
  EXPECT_EQ(w.StatusText().toStdString(), "VOLUME SELECTED " + second);
  EXPECT_EQ(w.ecdb->Target, 1);
}

TEST_F(WindowTest, SettingsFileKeepsWhatElseItHolds) {
  {
    std::ofstream out("ZEVodidoz.ini");
    out << "[Other]\nKey=1\n[cdburner]\nFiles=old\nMore=2\n";
  }
  ShowWindow({"disc.iso:cd-r"});
  EXPECT_EQ(ReadFile("ZEVodidoz.ini"), "[Other]\nKey=1\n[cdburner]\nFiles=*.*\nMore=2\n");
}

TEST_F(WindowTest, UnwritableSettingsFileStopsTheStartUp) {
  // A directory where the file should be: no one can write it, root included.
  ASSERT_TRUE(QDir().mkdir("ZEVodidoz.ini"));
  TModalCatcher catcher;
  TfrmMain& w = ShowWindow({"disc.iso:cd-r"});
  ASSERT_EQ(catcher.Caught.size(), 1u);
  EXPECT_EQ(catcher.Caught[0].Kind, "message");
  EXPECT_EQ(catcher.Caught[0].Text, "Unable to write to ./ZEVodidoz.ini");
  // Nothing else of the start-up happened, and the window stays usable.
  EXPECT_EQ(w.cbDrives->count(), 0);
  EXPECT_FALSE(w.ecdb->ASPIInitialized());
  EXPECT_TRUE(w.bBurn->isEnabled());
  EXPECT_EQ(w.StatusText(), "");
}

TEST_F(WindowTest, ChooserOpensBesideTheFieldWithF4AndTheButton) {
  TfrmMain& w = ShowWindow({});
  TModalCatcher catcher;
  w.eDirToBurn->setText(QString::fromStdString(kSampleDir) + "/");
  QTest::keyClick(w.eDirToBurn->Edit(), Qt::Key_F4, Qt::ControlModifier);
  QTest::keyClick(w.eDirToBurn->Edit(), Qt::Key_F4, Qt::AltModifier);
  EXPECT_TRUE(catcher.Caught.empty());
  QTest::keyClick(w.eDirToBurn->Edit(), Qt::Key_F4);
  ASSERT_EQ(catcher.Caught.size(), 1u);
  const TCaught& chooser = catcher.Caught[0];
  EXPECT_EQ(chooser.Kind, "chooser");
  EXPECT_EQ(chooser.Title, "Select Directory");
  // The field's text without its trailing slash is the starting folder.
  EXPECT_EQ(chooser.Text, QDir(QString::fromStdString(kSampleDir)).absolutePath());
  const QRect field(w.eDirToBurn->mapToGlobal(QPoint(0, 0)), w.eDirToBurn->size());
  // Within the frame margins, which the platform may report only after the
  // dialog is placed.
  const QPoint expected =
      TDirectoryEdit::ChooserPosition(field, chooser.Frame.size(), w.screen()->geometry());
  EXPECT_LE((chooser.Frame.topLeft() - expected).manhattanLength(), 4)
      << chooser.Frame.x() << "," << chooser.Frame.y() << " vs " << expected.x() << ","
      << expected.y();
  // With room beside it, the chooser hangs from the field's bottom-left corner.
  w.move(0, 0);
  QTest::keyClick(w.eDirToBurn->Edit(), Qt::Key_F4, Qt::ShiftModifier);
  ASSERT_EQ(catcher.Caught.size(), 2u);
  if (w.eDirToBurn->mapToGlobal(QPoint(0, 0)).x() + catcher.Caught[1].Frame.width() <=
      w.screen()->geometry().right() + 1) {
    const QPoint corner = w.eDirToBurn->mapToGlobal(QPoint(0, w.eDirToBurn->height()));
    EXPECT_LE((catcher.Caught[1].Frame.topLeft() - corner).manhattanLength(), 4);
  }
  catcher.Caught.clear();

  // A confirmed folder replaces the text.
  catcher.ChooserAnswer = QString::fromStdString(kSampleDir) + "/notes";
  w.eDirToBurn->Button()->click();
  ASSERT_EQ(catcher.Caught.size(), 1u);
  EXPECT_EQ(w.eDirToBurn->text(), catcher.ChooserAnswer);
  // An empty field starts at the current directory.
  w.eDirToBurn->setText("");
  catcher.ChooserAnswer.clear();
  w.eDirToBurn->Button()->click();
  ASSERT_EQ(catcher.Caught.size(), 2u);
  EXPECT_EQ(catcher.Caught[1].Text, QDir::currentPath());
  EXPECT_EQ(w.eDirToBurn->text(), "");
}

TEST(ChooserPlacement, MovesLeftAndAboveAtTheScreensEdges) {
  const QRect screen(0, 0, 1024, 768);
  const QSize chooser(400, 300);
  // room below and to the right: under the field
  EXPECT_EQ(TDirectoryEdit::ChooserPosition({100, 100, 257, 21}, chooser, screen),
            QPoint(100, 121));
  // would pass the right edge: its right edge meets the field's left edge
  EXPECT_EQ(TDirectoryEdit::ChooserPosition({700, 100, 257, 21}, chooser, screen),
            QPoint(300, 121));
  // would pass the bottom: above the field
  EXPECT_EQ(TDirectoryEdit::ChooserPosition({100, 600, 257, 21}, chooser, screen),
            QPoint(100, 300));
  // exactly touching the edges still fits
  EXPECT_EQ(TDirectoryEdit::ChooserPosition({624, 447, 257, 21}, chooser, screen),
            QPoint(624, 468));
}

}  // namespace
