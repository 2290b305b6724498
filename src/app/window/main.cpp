// microburner: the window. Options: --virtual IMAGE[:MEDIA] (repeatable) puts
// the window on the virtual recorder; --debug prints the message trace;
// --help and --version.
#include <QApplication>
#include <QIcon>
#include <cstring>
#include <iostream>
#include <vector>

#include "window/mainwindow.h"

int main(int argc, char** argv) {
  // The options are read before the application starts, so that --help and
  // --version answer without a display.
  TWindowOptions options;
  std::vector<std::string> virtualDrives;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--virtual" && i + 1 < argc) {
      virtualDrives.push_back(argv[++i]);
    } else if (a.starts_with("--virtual=")) {
      virtualDrives.push_back(a.substr(10));
    } else if (a == "--debug") {
      options.Debug = true;
    } else if (a == "--help" || a == "-h") {
      std::cout << "Usage: microburner [OPTIONS]\n"
                   "\n"
                   "Records a folder onto a writable CD or DVD as an ISO 9660 disc with a\n"
                   "Joliet tree, in a small window. Its menus also write an image file,\n"
                   "erase a rewritable disc, verify after burning and eject.\n"
                   "\n"
                   "Options:\n"
                   "  --virtual IMAGE[:MEDIA]  record onto a virtual recorder whose disc is\n"
                   "                           IMAGE (a blank MEDIA disc when it does not\n"
                   "                           exist; MEDIA defaults to cd-r); repeatable\n"
                   "  --debug                  print the burner's message trace to stderr\n"
                   "  --help                   show this text\n"
                   "  --version                show the version\n"
                   "\n"
                   "The window also takes the options of Qt, such as -platform offscreen.\n";
      return 0;
    } else if (a == "--version") {
      std::cout << "microburner (Micro Burner) " << MicroBurnerVersion() << '\n';
      return 0;
    }
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(kApplicationTitle);
  QApplication::setWindowIcon(QIcon(":/microburner/microburner.png"));
  // What Qt did not take is ours or a mistake.
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == "--virtual" && i + 1 < args.size()) {
      ++i;
    } else if (!a.startsWith("--virtual=") && a != "--debug") {
      std::cerr << "microburner: unknown option " << a.toStdString() << " (try --help)\n";
      return 2;
    }
  }
  if (!virtualDrives.empty()) {
    SetVirtualRecorders(virtualDrives);
    options.LibraryPath = VirtualRecorderLibrary();
  }
  TfrmMain frmMain(options);
  frmMain.show();
  return app.exec();
}
