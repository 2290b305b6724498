// Shared pieces of the window tests: a fresh working directory per test (the
// settings file goes there), a catcher for modal dialogs, and a window on
// virtual recorders.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/transport.h"
#include "window/mainwindow.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

inline const std::string kVirtualLibrary = MBURN_BINARY_DIR "/libmburn-vrecorder.so";
inline const std::string kSampleDir = MBURN_SOURCE_DIR "/sample";

// Processes events until the condition holds; false when the limit passed
// first (the limit only keeps a broken build from hanging the run).
inline bool WaitUntil(const std::function<bool()>& condition, int limitMs = 300000) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > limitMs) return false;
    QTest::qWait(20);
  }
  return true;
}

// What a modal dialog showed before the catcher closed it.
struct TCaught {
  QString Kind;  // "message" or "chooser"
  QString Title;
  QString Text;
  QRect Frame;
  int Buttons = 0;
};

// Watches for modal dialogs and closes each one, remembering what it showed.
// A chooser is answered with ChooserAnswer (empty: cancelled).
class TModalCatcher {
public:
  TModalCatcher() {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start();
  }
  std::vector<TCaught> Caught;
  QString ChooserAnswer;

private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    TCaught c;
    c.Title = modal->windowTitle();
    c.Frame = modal->frameGeometry();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      c.Kind = "message";
      c.Text = box->text();
      c.Buttons = static_cast<int>(box->buttons().size());
      Caught.push_back(c);
      box->accept();
    } else if (auto* chooser = qobject_cast<QFileDialog*>(modal)) {
      if (chooser != answering_) {
        c.Kind = "chooser";
        c.Text = chooser->directory().absolutePath();
        Caught.push_back(c);
        if (ChooserAnswer.isEmpty()) return chooser->reject();
        answering_ = chooser;
        looks_ = 0;
      }
      // The dialog lists the folder on a thread of its own; on a busy machine
      // the answer may not be selectable at once. Accept once the dialog
      // reports it (or after 30 s, and let the test see what it got).
      chooser->setDirectory(ChooserAnswer);
      chooser->selectFile(ChooserAnswer);
      if (chooser->selectedFiles().value(0) == ChooserAnswer || ++looks_ >= 3000) {
        answering_ = nullptr;
        static_cast<QDialog*>(chooser)->accept();
      }
    }
  }
  QTimer timer_;
  QFileDialog* answering_ = nullptr;  // the chooser being given ChooserAnswer
  int looks_ = 0;
};

// Stands in for the desktop's URL opener.
class TUrlRecorder : public QObject {
  Q_OBJECT
public:
  QList<QUrl> Opened;
public slots:
  void Open(const QUrl& url) { Opened.push_back(url); }
};

// Each test runs in a working directory of its own, with no transport bound.
class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldCwd_ = cwd;
    ASSERT_EQ(chdir(dir_.path().toLocal8Bit().constData()), 0);
    ResetASPILayer();
    unsetenv("MBURN_VIRTUAL");
  }
  void TearDown() override {
    window_.reset();
    ResetASPILayer();
    unsetenv("MBURN_VIRTUAL");
    EXPECT_EQ(chdir(oldCwd_.c_str()), 0);
  }
  std::string Path(const std::string& name) const {
    return dir_.path().toStdString() + "/" + name;
  }
  // A window on virtual recorders with these discs (IMAGE:MEDIA, relative to
  // the test's directory), shown and started up.
  TfrmMain& ShowWindow(const std::vector<std::string>& discs) {
    TWindowOptions options;
    if (!discs.empty()) {
      std::vector<std::string> specs;
      for (const auto& d : discs) specs.push_back(Path(d));
      SetVirtualRecorders(specs);
      options.LibraryPath = VirtualLibraryCopy();
    }
    window_ = std::make_unique<TfrmMain>(options);
    window_->show();
    return *window_;
  }
  // The recorder library reads its drives once per load, and a library once
  // loaded stays in the process: each test loads a copy of its own.
  std::string VirtualLibraryCopy() {
    const std::string copy = Path("libmburn-vrecorder.so");
    if (!QFile::exists(QString::fromStdString(copy))) {
      EXPECT_TRUE(
          QFile::copy(QString::fromStdString(kVirtualLibrary), QString::fromStdString(copy)));
    }
    return copy;
  }
  // Presses BURN CD and waits for the end of the recording it starts.
  void BurnAndWait(TfrmMain& w) {
    bool finished = false;
    QObject context;
    QObject::connect(&w, &TfrmMain::BurnFinished, &context, [&] { finished = true; });
    w.bBurn->click();
    ASSERT_TRUE(WaitUntil([&] { return finished; })) << w.StatusText().toStdString();
  }

  QTemporaryDir dir_;
  std::string oldCwd_;
  std::unique_ptr<TfrmMain> window_;
};
