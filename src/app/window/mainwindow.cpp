#include "window/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QUrl>
#include <iostream>

#include "record/record.h"

namespace {

// The window's own 16 x 16 icon: a small disc.
QIcon WindowIcon() {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QColor(60, 60, 60));
  p.setBrush(QColor(200, 210, 230));
  p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
  p.setBrush(QColor(128, 128, 0));
  p.drawEllipse(QRectF(5, 5, 6, 6));
  return QIcon(pixmap);
}

void SetHint(QWidget* w, const char* hint, bool shown) {
  w->setProperty("Hint", QString(hint));
  if (shown) w->setToolTip(hint);
}

}  // namespace

TfrmMain::TfrmMain(TWindowOptions Options, QWidget* parent)
    : QWidget(parent), options_(std::move(Options)) {
  setObjectName("frmMain");
  setWindowTitle(kWindowCaption);
  // Fixed size, single border, the close box only.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  move(271, 267);
  // The window's font is narrow; where it is missing, the narrowest of the
  // usual sans-serif faces keeps the labels inside their boxes.
  QFont::insertSubstitutions("MS Sans Serif", {"Microsoft Sans Serif", "Liberation Sans Narrow",
                                               "DejaVu Sans Condensed", "Liberation Sans"});
  QFont font("MS Sans Serif");
  font.setPixelSize(11);
  setFont(font);
  setWindowIcon(WindowIcon());

  CreateMenu();
  Client = new QWidget(this);
  Client->setObjectName("Client");
  const int menuHeight = MainMenu->sizeHint().height();
  Client->setGeometry(0, menuHeight, 427, 163);
  MainMenu->setGeometry(0, 0, 427, menuHeight);
  setFixedSize(427, 163 + menuHeight);

  cbDrives = new QComboBox(Client);
  cbDrives->setObjectName("cbDrives");
  cbDrives->setGeometry(48, 79, 297, 21);
  SetHint(cbDrives, "Select the station where your burner is", true);
  connect(cbDrives, &QComboBox::activated, this, &TfrmMain::cbDrivesChange);

  eMask = new QLineEdit("*.*", Client);
  eMask->setObjectName("eMask");
  eMask->setGeometry(312, 102, 33, 21);
  SetHint(eMask, "Here you can filter out the files you want (*.*) means all files", true);

  pb = new TGauge(Client);
  pb->setObjectName("pb");
  pb->setGeometry(0, 127, 427, 17);
  SetHint(pb, "Burning progress", false);

  eDirToBurn = new TDirectoryEdit(Client);
  eDirToBurn->setObjectName("eDirToBurn");
  eDirToBurn->setGeometry(48, 102, 257, 21);
  SetHint(eDirToBurn, "Folder to burn", true);
  eDirToBurn->Edit()->setToolTip("Folder to burn");

  Label1 = new QLabel("Volume  : ", Client);
  Label1->setObjectName("Label1");
  Label1->setGeometry(2, 83, 41, 13);

  bBurn = new QPushButton("BURN CD", Client);
  bBurn->setObjectName("bBurn");
  bBurn->setGeometry(352, 80, 73, 45);
  bBurn->setFocusPolicy(Qt::NoFocus);
  QFont bold = font;
  bold.setBold(true);
  bBurn->setFont(bold);
  SetHint(bBurn, "Start burning the cd", true);
  connect(bBurn, &QPushButton::clicked, this, &TfrmMain::bBurnClick);

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &TfrmMain::Timer1Timer);
  Timer1->start();

  // The burner component with the settings this window gives it.
  ecdb = std::make_unique<VEZEZadira>();
  ecdb->UnderrunProtection = true;
  ecdb->DoDebug = true;
  ecdb->ReadSpeed = 0;
  ecdb->FinalizeDisc = false;
  ecdb->TestWrite = false;
  ecdb->ReplaceFile = false;
  ecdb->PerformOPC = false;
  ecdb->SetCacheSize(4194304);
  ecdb->WritePostGap = true;
  ecdb->DeviceBufferSize = 0;
  ecdb->DeviceFreeBufferSize = 0;
  if (options_.Debug)
    ecdb->OnDebugMessage = [](TObject*, const std::string& message, uint8_t) {
      std::cerr << message << '\n';
    };
  // The recording thread reaches this thread through a queued call, and waits
  // for it in the component.
  ecdb->Dispatcher = [this](const std::function<void()>& call) { PostCall(call); };
  TBurnWorkflow::THooks hooks;
  hooks.Status = [this](const std::string& text) { SetStatus(text); };
  hooks.Message = [this](const std::string& text) { ShowMessage(text); };
  hooks.ProcessEvents = [] { QCoreApplication::processEvents(); };
  hooks.Post = [this](std::function<void()> call) { PostCall(std::move(call)); };
  hooks.SetGaugeMax = [this](int32_t max) {
    gaugeShowsErase_ = false;
    pb->SetMaxValue(max);
  };
  // BURN CD and the drive list come back once the recording thread has ended.
  hooks.Finished = [this](const std::string& error) {
    SetJobControls(true);
    emit BurnFinished(QString::fromStdString(error));
  };
  workflow_ = std::make_unique<TBurnWorkflow>(*ecdb, std::move(hooks));

  StatusBar1 = new QStatusBar(Client);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setGeometry(0, 144, 427, 19);
  SetHint(StatusBar1, "To visit our site clik on picture", true);
  StatusPanel = new QLabel(StatusBar1);
  StatusPanel->setObjectName("StatusPanel");
  StatusPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  StatusPanel->setGeometry(0, 2, 500, 17);
  StatusPanel->setToolTip("To visit our site clik on picture");

  Label2 = new QLabel("Folder :", Client);
  Label2->setObjectName("Label2");
  Label2->setGeometry(2, 107, 35, 13);

  Image1 = new TBannerImage(Client);
  Image1->setObjectName("Image1");
  Image1->setGeometry(1, 2, 424, 69);
  Image1->setPixmap(QPixmap::fromImage(BannerPicture()));
  connect(Image1, &TBannerImage::clicked, this, &TfrmMain::Image1Click);

  Bevel1 = new QFrame(Client);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Bevel1->setGeometry(0, 0, 427, 73);
  Bevel1->setAttribute(Qt::WA_TransparentForMouseEvents);

  // The three input controls are reached with the mouse only, never with Tab.
  cbDrives->setFocusPolicy(Qt::ClickFocus);
  eMask->setFocusPolicy(Qt::ClickFocus);
  eDirToBurn->setFocusPolicy(Qt::ClickFocus);
  eDirToBurn->Edit()->setFocusPolicy(Qt::ClickFocus);
}

TfrmMain::~TfrmMain() {
  // An erase still waited for ends here, its handler run while the window is
  // whole; the workflow waits for a recording still running before the window goes.
  ecdb->StopErase();
  workflow_.reset();
  ecdb.reset();
}

void TfrmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (shown_) return;
  shown_ = true;
  FormShow();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // Leaving in the middle of a recording would leave the disc unusable; nor
  // may the window go while BURN CD is still at work in it.
  if (inBurnClick_ || erasing_ || (workflow_ && workflow_->Recording())) {
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TfrmMain::FormShow() {
  std::string error;
  if (!WriteSettingsFile(options_.SettingsPath, error)) {
    ShowMessage(error);
    startupDone_ = true;
    return;
  }
  if (!InitRecorders(*ecdb, options_.LibraryPath)) {
    burnAllowed_ = false;
    SetJobControls(true);
    SetStatus(ASPIErrorText());
    startupDone_ = true;
    return;
  }
  ApplyStartupSettings(*ecdb);
  if (!ecdb->DeviceList.empty()) {
    cbDrives->clear();
    for (const auto& line : ecdb->DeviceList) cbDrives->addItem(QString::fromStdString(line));
  }
  if (cbDrives->count() > 0) {
    cbDrives->setCurrentIndex(0);
    cbDrivesChange();
  }
  startupDone_ = true;
}

void TfrmMain::cbDrivesChange() {
  SetStatus(SelectRecorder(*ecdb, cbDrives->currentText().toStdString()));
}

void TfrmMain::bBurnClick() {
  if (!bBurn->isEnabled()) return;
  // One recording at a time: the button stays off until this one has ended,
  // and so does the drive list (selecting sends commands to the recorder).
  SetJobControls(false);
  inBurnClick_ = true;
  const TBurnOutcome outcome =
      workflow_->BurnClick(eDirToBurn->text().toStdString(), eMask->text().toStdString());
  inBurnClick_ = false;
  if (outcome != TBurnOutcome::Started) SetJobControls(true);
}

void TfrmMain::CreateMenu() {
  MainMenu = new QMenuBar(this);
  MainMenu->setObjectName("MainMenu");
  MainMenu->setNativeMenuBar(false);  // drawn inside the window, as its fixed size expects
  mFile = MainMenu->addMenu("File");
  mFile->setObjectName("mFile");
  aWriteImage = mFile->addAction("Write Image File\u2026", this, &TfrmMain::WriteImageClick);
  aWriteImage->setObjectName("aWriteImage");
  mDisc = MainMenu->addMenu("Disc");
  mDisc->setObjectName("mDisc");
  aErase = mDisc->addAction("Erase Disc\u2026", this, &TfrmMain::EraseClick);
  aErase->setObjectName("aErase");
  aVerify = mDisc->addAction("Verify After Burning", this, &TfrmMain::VerifyClick);
  aVerify->setObjectName("aVerify");
  aVerify->setCheckable(true);
  aVerify->setChecked(false);
  aEject = mDisc->addAction("Eject", this, &TfrmMain::EjectClick);
  aEject->setObjectName("aEject");

  ChooseImageFile = [this] {
    return QFileDialog::getOpenFileName(this, "Write Image File", QString(),
                                        "Disc images (*.iso);;All files (*)");
  };
  ConfirmErase = [this] {
    return QMessageBox::question(this, QApplication::applicationName(),
                                 "Erase the disc in the selected drive? Everything on it is lost.") ==
           QMessageBox::Yes;
  };
}

void TfrmMain::SetJobControls(bool Enabled) {
  const bool drive = Enabled && burnAllowed_;
  bBurn->setEnabled(drive);
  cbDrives->setEnabled(Enabled);
  for (QAction* action : {aWriteImage, aErase, aEject}) action->setEnabled(drive);
  // The check item is read as the recording starts: changing it mid-job would
  // say something the job does not do.
  aVerify->setEnabled(Enabled);
}

void TfrmMain::WriteImageClick() {
  if (!aWriteImage->isEnabled()) return;
  const QString image = ChooseImageFile ? ChooseImageFile() : QString();
  if (image.isEmpty()) return;
  SetJobControls(false);
  inBurnClick_ = true;
  const TBurnOutcome outcome = workflow_->WriteImageClick(image.toStdString());
  inBurnClick_ = false;
  if (outcome != TBurnOutcome::Started) SetJobControls(true);
}

void TfrmMain::EraseClick() {
  if (!aErase->isEnabled()) return;
  if (!ConfirmErase || !ConfirmErase()) return;
  SetJobControls(false);
  erasing_ = true;
  eraseRefused_ = false;
  ecdb->OnEraseDone = [this](TObject*, bool withError) {
    SetStatus(withError ? kTextEraseError : kTextEraseOk);
    // The thread still ends after this handler: the controls come back then.
    PostCall([this, withError] {
      ecdb->WaitForErase();
      erasing_ = false;
      SetJobControls(true);
      if (eraseRefused_) {
        // Nothing was sent that changes the disc: the reason is the status.
        SetStatus(ecdb->EraseError);
      } else if (withError) {
        ShowMessage(ecdb->EraseError);
      } else {
        pb->SetProgress(100);
      }
      emit EraseFinished(withError);
    });
  };
  // Quick, as mburn erase without --full.
  if (!ecdb->EraseDisc(true)) {
    eraseRefused_ = true;  // OnEraseDone(True) has been raised or is on its way
    return;
  }
  SetStatus(kTextErasing);
  gaugeShowsErase_ = true;
  pb->SetMaxValue(100);
  pb->SetProgress(0);
}

void TfrmMain::VerifyClick() { ecdb->VerifyAfterWrite = aVerify->isChecked(); }

void TfrmMain::EjectClick() {
  if (!aEject->isEnabled()) return;
  if (!ecdb->LoadEject(true))
    SetStatus(std::string(kEjectFailedText) + " [" + ecdb->LastError + "]");
}

void TfrmMain::Timer1Timer() {
  // An erase's gauge stands in percent until the next recording sets its own.
  if (!gaugeShowsErase_)
    pb->SetProgress(workflow_->ProgressSectors());
  else if (erasing_)
    pb->SetProgress(ecdb->EraseProgress.load());
}

void TfrmMain::PostCall(std::function<void()> call) {
  {
    std::lock_guard lock(postedLock_);
    posted_.push_back(std::move(call));
  }
  QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

void TfrmMain::RunPosted() {
  std::function<void()> call;
  {
    std::lock_guard lock(postedLock_);
    if (posted_.empty()) return;
    call = std::move(posted_.front());
    posted_.pop_front();
  }
  call();
}

void TfrmMain::Image1Click() { QDesktopServices::openUrl(QUrl(kWebPage)); }

void TfrmMain::SetStatus(const std::string& text) {
  StatusPanel->setText(QString::fromStdString(text));
}

namespace {

// A message box centred on the screen once it knows its final size.
class TCentredMessageBox : public QMessageBox {
public:
  using QMessageBox::QMessageBox;

protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    if (const QScreen* screen = QApplication::primaryScreen()) {
      const QRect frame = frameGeometry();
      move(screen->geometry().center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
  }
};

}  // namespace

void TfrmMain::ShowMessage(const std::string& text) {
  TCentredMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                         QString::fromStdString(text), QMessageBox::Ok);
  box.setObjectName("MessageBox");
  box.exec();
}
