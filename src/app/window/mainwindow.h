// The main window: a menu bar over the client area, which holds one recorder
// list, a folder, a mask, one button, the progress gauge and the status bar,
// over one burner component.
#pragma once

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/workflow.h"
#include "window/banner.h"
#include "window/diredit.h"
#include "window/gauge.h"

struct TWindowOptions {
  // The transport library InitDevices tries first: the virtual recorder's
  // when --virtual was given, else empty.
  std::string LibraryPath;
  std::string SettingsPath = kSettingsFileName;
  bool Debug = false;  // the component's message trace to standard error
};

class TfrmMain : public QWidget {
  Q_OBJECT
public:
  explicit TfrmMain(TWindowOptions Options = {}, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // The menu bar, and the 427 x 163 client area below it that holds the rest.
  QMenuBar* MainMenu;
  QMenu* mFile;
  QMenu* mDisc;
  QAction* aWriteImage;
  QAction* aErase;
  QAction* aVerify;  // checked: VerifyAfterWrite
  QAction* aEject;
  QWidget* Client;
  // Controls, in declaration order.
  QComboBox* cbDrives;
  QLineEdit* eMask;
  TGauge* pb;
  TDirectoryEdit* eDirToBurn;
  QLabel* Label1;
  QPushButton* bBurn;
  QTimer* Timer1;
  std::unique_ptr<VEZEZadira> ecdb;
  QStatusBar* StatusBar1;
  QLabel* StatusPanel;  // panel 0, 500 pixels wide: every status message
  QLabel* Label2;
  TBannerImage* Image1;
  QFrame* Bevel1;

  QString StatusText() const { return StatusPanel->text(); }
  TBurnWorkflow& Workflow() { return *workflow_; }
  bool StartupDone() const { return startupDone_; }
  // The image file chosen for Write Image File (empty: none), and the answer
  // to the erase question; dialogs unless replaced.
  std::function<QString()> ChooseImageFile;
  std::function<bool()> ConfirmErase;

public slots:
  void cbDrivesChange();
  void bBurnClick();
  void Timer1Timer();
  void Image1Click();
  void WriteImageClick();
  void EraseClick();
  void VerifyClick();
  void EjectClick();

signals:
  // The end of a recording, after the status shows the outcome.
  void BurnFinished(const QString& error);
  // The end of an erase, after the status shows the outcome.
  void EraseFinished(bool withError);

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private slots:
  // Runs the oldest call handed over by PostCall.
  void RunPosted();

private:
  void FormShow();
  void CreateMenu();
  // BURN CD, the drive list and the menu's drive actions: off while a job
  // runs, back when it has ended.
  void SetJobControls(bool Enabled);
  void SetStatus(const std::string& text);
  void ShowMessage(const std::string& text);
  // Hands the call to this window's thread, from any thread, without waiting.
  // The call travels in posted_ under postedLock_; Qt's queued event only says
  // that one waits. ThreadSanitizer cannot see Qt's own locks: a call handed
  // through Qt itself is reported as a race with the thread that made it.
  void PostCall(std::function<void()> call);

  std::mutex postedLock_;
  std::deque<std::function<void()>> posted_;

  TWindowOptions options_;
  std::unique_ptr<TBurnWorkflow> workflow_;
  bool shown_ = false;
  bool startupDone_ = false;
  bool burnAllowed_ = true;
  bool inBurnClick_ = false;  // false in the no-transport state
  bool erasing_ = false;      // from the erase's start to its thread's end
  bool eraseRefused_ = false; // the erase was refused before it touched the disc
  bool gaugeShowsErase_ = false;
};
