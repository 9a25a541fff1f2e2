// The desktop program Quillmark: the engine behind the Qt main window.
//   Quillmark                     runs the program
//   Quillmark --screenshot <dir> [--preview-address <address>]
//                                 starts, saves pictures of the windows as PNG
//                                 files into <dir> (with the preview page of
//                                 that user's signature) and ends

#include <csignal>

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QStringList>

#include "DesktopApp.h"
#include "app/Main.h"
#include "base/DataDirectory.h"
#include "MainWindow.h"
#include "base/UUtils.h"
#include "Widgets.h"

int main(int argc, char** argv) {
  // A peer (HTTP client, mail server) that goes away while we write to it
  // must not end the program; the write fails with EPIPE instead.
  std::signal(SIGPIPE, SIG_IGN);
  qm::LimitMemoryPools();
  QApplication app(argc, argv);
  QApplication::setApplicationName("Quillmark");
  QApplication::setWindowIcon(ProgramIcon());
  // Minimised, the main window is hidden; closing another window then must
  // not end the program. The program ends when the main window closes.
  QApplication::setQuitOnLastWindowClosed(false);

  QString screenshotDir;
  QStringList args = QApplication::arguments();
  if (qsizetype i = args.indexOf("--screenshot"); i >= 0 && i + 1 < args.size()) screenshotDir = args[i + 1];
  QString previewAddress;
  if (qsizetype i = args.indexOf("--preview-address"); i >= 0 && i + 1 < args.size()) previewAddress = args[i + 1];

  // The files live in the data directory; the executable's directory unless
  // QM_DATA_DIR or the setting file beside the program names another.
  const std::string exeDir = qm::ExecutableDirectory();
  const qm::DataDirectoryChoice data = qm::ResolveDataDirectory(exeDir);
  if (!data.error.empty()) {
    QMessageBox::critical(nullptr, QApplication::applicationName(), QString::fromStdString(data.error));
    return 1;
  }
  qm::UseDataDirectory(data, exeDir);
  DesktopApp desktop(data.dir);
  // Another program of this installation holds the instance lock: the
  // message was shown during start-up; end without the closing sequence.
  if (desktop.TerminateRequested()) return 0;

  if (!screenshotDir.isEmpty()) return desktop.SaveScreenshots(screenshotDir, previewAddress) ? 0 : 1;

  desktop.Window().onClosed = [] { QApplication::quit(); };
  desktop.Window().show();
  return QApplication::exec();
}
