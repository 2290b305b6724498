// The window as it stands before anything happens: caption, geometry, every
// control with its place, texts, hints and fonts, the tab rules, and the
// component's settings.
#include <QDesktopServices>

#include "window_fixture.h"

namespace {

struct TPlace {
  const char* Name;
  QRect Geometry;
};

TEST_F(WindowTest, CaptionGeometryAndFrame) {
  TfrmMain w;
  EXPECT_EQ(w.windowTitle(), "Bramblewood Micro CD-Burner 2004");
  EXPECT_EQ(QApplication::applicationName(), "Bramblewood Micro Burner");
  // The client area is 427 x 163 below the menu bar, which spans the window.
  EXPECT_EQ(w.Client->geometry(), QRect(0, w.MainMenu->height(), 427, 163));
  EXPECT_EQ(w.MainMenu->geometry(), QRect(0, 0, 427, w.MainMenu->height()));
  EXPECT_GT(w.MainMenu->height(), 0);
  EXPECT_EQ(w.size(), QSize(427, 163 + w.MainMenu->height()));
  EXPECT_EQ(w.minimumSize(), w.size());
  EXPECT_EQ(w.maximumSize(), w.size());
  EXPECT_EQ(w.pos(), QPoint(271, 267));
  const Qt::WindowFlags flags = w.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(w.font().family(), "MS Sans Serif");
  EXPECT_EQ(w.font().pixelSize(), 11);
  EXPECT_FALSE(w.windowIcon().isNull());
  EXPECT_EQ(w.windowIcon().availableSizes().value(0), QSize(16, 16));
}

TEST_F(WindowTest, ControlsSitWhereTheyBelong) {
  TfrmMain w;
  const TPlace places[] = {
      {"cbDrives", {48, 79, 297, 21}},  {"eMask", {312, 102, 33, 21}},
      {"pb", {0, 127, 427, 17}},        {"eDirToBurn", {48, 102, 257, 21}},
      {"Label1", {2, 83, 41, 13}},      {"bBurn", {352, 80, 73, 45}},
      {"StatusBar1", {0, 144, 427, 19}}, {"Label2", {2, 107, 35, 13}},
      {"Image1", {1, 2, 424, 69}},      {"Bevel1", {0, 0, 427, 73}},
  };
  for (const auto& place : places) {
    auto* control = w.findChild<QWidget*>(place.Name);
    ASSERT_NE(control, nullptr) << place.Name;
    EXPECT_EQ(control->geometry(), place.Geometry) << place.Name;
  }
  // Declaration order is the stacking order: the bevel frames the banner from
  // above but lets its clicks through.
  const QObjectList& children = w.Client->children();
  EXPECT_LT(children.indexOf(w.cbDrives), children.indexOf(w.eMask));
  EXPECT_LT(children.indexOf(w.Image1), children.indexOf(w.Bevel1));
  EXPECT_TRUE(w.Bevel1->testAttribute(Qt::WA_TransparentForMouseEvents));
  EXPECT_EQ(w.Bevel1->frameShadow(), QFrame::Raised);
  EXPECT_EQ(w.StatusPanel->width(), 500);
  EXPECT_EQ(w.eDirToBurn->Button()->width(), 18);
}

TEST_F(WindowTest, TextsHintsAndFonts) {
  TfrmMain w;
  EXPECT_EQ(w.Label1->text(), "Volume  : ");
  EXPECT_EQ(w.Label2->text(), "Folder :");
  EXPECT_EQ(w.bBurn->text(), "BURN CD");
  EXPECT_TRUE(w.bBurn->font().bold());
  EXPECT_FALSE(w.Label1->font().bold());
  EXPECT_EQ(w.eMask->text(), "*.*");
  EXPECT_EQ(w.eDirToBurn->text(), "");
  EXPECT_EQ(w.eDirToBurn->DialogTitle, "Select Directory");
  EXPECT_EQ(w.StatusText(), "");
  EXPECT_TRUE(w.cbDrives->isEnabled());
  EXPECT_FALSE(w.cbDrives->isEditable());  // pick only

  EXPECT_EQ(w.cbDrives->toolTip(), "Select the station where your burner is");
  EXPECT_EQ(w.eMask->toolTip(), "Here you can filter out the files you want (*.*) means all files");
  EXPECT_EQ(w.eDirToBurn->toolTip(), "Folder to burn");
  EXPECT_EQ(w.bBurn->toolTip(), "Start burning the cd");
  EXPECT_EQ(w.StatusBar1->toolTip(), "To visit our site clik on picture");
  // The gauge has a hint that is not shown.
  EXPECT_EQ(w.pb->property("Hint").toString(), "Burning progress");
  EXPECT_TRUE(w.pb->toolTip().isEmpty());

  EXPECT_EQ(w.pb->MinValue(), 0);
  EXPECT_EQ(w.pb->MaxValue(), 100);
  EXPECT_EQ(w.pb->Progress(), 0);
  EXPECT_EQ(w.pb->PercentDone(), 0);
  EXPECT_EQ(w.Timer1->interval(), 1000);
  EXPECT_TRUE(w.Timer1->isActive());
  ASSERT_NE(w.Image1->pixmap().size(), QSize(0, 0));
  EXPECT_GE(w.Image1->pixmap().width(), 424);
  EXPECT_GE(w.Image1->pixmap().height(), 69);
  EXPECT_TRUE(w.Image1->hasScaledContents());
}

TEST_F(WindowTest, NoInputControlTakesPartInTabNavigation) {
  TfrmMain w;
  for (QWidget* control : {static_cast<QWidget*>(w.cbDrives), static_cast<QWidget*>(w.eMask),
                           static_cast<QWidget*>(w.eDirToBurn),
                           static_cast<QWidget*>(w.eDirToBurn->Edit())})
    EXPECT_FALSE(control->focusPolicy() & Qt::TabFocus) << control->objectName().toStdString();
  EXPECT_EQ(w.bBurn->focusPolicy(), Qt::NoFocus);
  EXPECT_EQ(w.eDirToBurn->Button()->focusPolicy(), Qt::NoFocus);
}

TEST_F(WindowTest, ComponentCarriesTheWindowsSettings) {
  TfrmMain w;
  VEZEZadira& c = *w.ecdb;
  EXPECT_TRUE(c.UnderrunProtection);
  EXPECT_TRUE(c.DoDebug);
  EXPECT_EQ(c.ReadSpeed, 0);
  EXPECT_EQ(c.WriteSpeed(), 0);
  EXPECT_FALSE(c.FinalizeDisc);
  EXPECT_FALSE(c.TestWrite);
  EXPECT_FALSE(c.ReplaceFile);  // until start-up
  EXPECT_FALSE(c.PerformOPC);
  EXPECT_EQ(c.CacheSize(), 4194304);
  EXPECT_TRUE(c.WritePostGap);
  EXPECT_EQ(c.DeviceBufferSize, 0u);
  EXPECT_EQ(c.DeviceFreeBufferSize, 0u);
  EXPECT_EQ(c.Version(), "1.20.RC6");
  EXPECT_EQ(c.ISOFileName, "");
  EXPECT_TRUE(static_cast<bool>(c.Dispatcher));
  EXPECT_TRUE(static_cast<bool>(c.OnWriteDone));
  EXPECT_TRUE(static_cast<bool>(c.OnFinalizingTrack));
}

TEST_F(WindowTest, BannerIsTheBundledJPEGAndItsClickOpensTheWebPage) {
  QString error;
  EXPECT_TRUE(DecodeJPEG(QByteArray("not a picture"), &error).isNull());
  EXPECT_FALSE(error.isEmpty());
  const QImage banner = BannerPicture();
  ASSERT_FALSE(banner.isNull());
  EXPECT_GE(banner.width(), 424);
  EXPECT_GE(banner.height(), 69);

  // The desktop's URL opener is replaced by a recorder of what it was asked.
  TUrlRecorder opener;
  QDesktopServices::setUrlHandler("https", &opener, "Open");
  TfrmMain w;
  w.show();
  QTest::mouseClick(w.Image1, Qt::LeftButton, {}, QPoint(200, 30));
  // The bevel lies over the banner but the banner gets the clicks.
  EXPECT_EQ(w.childAt(212, 40), w.Image1);
  QTest::mouseClick(w.Image1, Qt::RightButton, {}, QPoint(200, 30));  // not a click on it
  QTest::mouseClick(w.childAt(212, 40), Qt::LeftButton, {}, QPoint(10, 10));
  QDesktopServices::unsetUrlHandler("https");
  ASSERT_EQ(opener.Opened.size(), 2);
  EXPECT_EQ(opener.Opened[0], QUrl(kWebPage));
}

}  // namespace
