// microburner: the window. Options: --virtual IMAGE[:MEDIA] (repeatable) puts
// the window on the virtual recorder; --debug prints the message trace.
#include <QApplication>
#include <cstring>
#include <iostream>
#include <vector>

#include "window/mainwindow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(kApplicationTitle);

  TWindowOptions options;
  std::vector<std::string> virtualDrives;
  const QStringList args = QApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == "--virtual" && i + 1 < args.size()) {
      virtualDrives.push_back(args[++i].toStdString());
    } else if (a.startsWith("--virtual=")) {
      virtualDrives.push_back(a.mid(10).toStdString());
    } else if (a == "--debug") {
      options.Debug = true;
    } else if (a == "--help" || a == "-h") {
      std::cout << "Usage: microburner [--virtual IMAGE[:MEDIA]]... [--debug]\n"
                   "  --virtual IMAGE[:MEDIA]  record onto a virtual recorder whose disc is\n"
                   "                           IMAGE (a blank MEDIA disc when it does not\n"
                   "                           exist; MEDIA defaults to cd-r); repeatable\n"
                   "  --debug                  print the burner's message trace to stderr\n";
      return 0;
    } else {
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
