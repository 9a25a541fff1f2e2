// The service program QuillmarkService.
//   QuillmarkService              run as the service "QuillmarkService1" when a
//                                 service manager started it, otherwise run the
//                                 engine in the foreground until SIGINT/SIGTERM
//   QuillmarkService /INSTALL     install the service for this executable
//   QuillmarkService /UNINSTALL   remove the service
//   /SILENT                       no success message
//   QuillmarkService /CONFIG [name=value ...]
//                                 print or change the active profile
// Messages go to standard error and the system log.

#include <signal.h>

#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "app/Engine.h"
#include "app/Main.h"
#include "base/DataDirectory.h"
#include "base/QuietUserInterface.h"
#include "ServiceConfig.h"
#include "ServiceLoop.h"
#include "ServiceMain.h"
#include "base/UUtils.h"
#include "platform/instance/InstanceLock.h"
#include "platform/scm/ServiceHost.h"

int main(int argc, char** argv) {
  // A client that goes away mid-answer must not end the service.
  ::signal(SIGPIPE, SIG_IGN);
  qm::LimitMemoryPools();
  const ServiceSwitches switches = ParseServiceSwitches(argc, argv);
  QuietUserInterface ui(TQuillmarkService1::kName);
  // The files live in the data directory; the executable's directory unless
  // QM_DATA_DIR or the setting file beside the program names another.
  const std::string exeDir = qm::ExecutableDirectory();
  const qm::DataDirectoryChoice data = qm::ResolveDataDirectory(exeDir);
  if (!data.error.empty()) {
    ui.ShowError(data.error);
    return 1;
  }
  qm::UseDataDirectory(data, exeDir);
  const std::string programDir = data.dir;
  if (switches.config) return RunConfigSwitch(programDir, switches.configPairs, std::cin, std::cout, std::cerr);

  // The instance lock of the directory comes before any engine object: while
  // another program of this installation runs the engine, nothing else runs.
  bool taken = false;
  std::string lockError;
  auto lock = qm::InstanceLock::Claim(qm::InstanceLockName(programDir), &taken, &lockError);
  if (!lock) {
    ui.ShowError(taken ? InstanceTakenMessage() : lockError);
    return 1;
  }

  qm::ServiceLoop loop;
  // SIGINT/SIGTERM end the loop from here on: the engine starts the HTTP
  // server, and a stop that arrives while it does must end the program the
  // normal way, not kill it half-started.
  if (!switches.install && !switches.uninstall) loop.QuitOnSignals();
  auto engine = std::make_unique<qm::Engine>(programDir, ui, ProgramKind::Service);
  auto service = std::make_unique<TQuillmarkService1>(ui, loop);

  int exitCode = 0;
  if (switches.install) {
    exitCode = service->Install(switches.silent);
  } else if (switches.uninstall) {
    exitCode = service->Uninstall(switches.silent);
  } else if (!ui.TerminateRequested()) {
    // SIGINT/SIGTERM end the loop until the dispatcher takes the signals
    // over; when no manager started the program, they keep doing so.
    loop.QuitOnSignals();
    std::thread dispatcher([&] {
      qm::scm::Error err;
      bool ran = qm::scm::RunServiceDispatcher(
          TQuillmarkService1::kName, [&](const std::vector<std::string>& args) { service->ServiceMain(args); }, &err);
      if (!ran && err.code == qm::scm::ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        loop.Post([&loop] { loop.QuitOnSignals(); });  // the foreground mode
        return;
      }
      if (!ran) {
        qm::scm::ReportEvent(TQuillmarkService1::kName, qm::scm::EventType::Error,
                             "Service fehlgeschlagen bei start:" + err.text);
        exitCode = 1;
      }
      loop.Quit();
    });
    // Each tick of the polling timer polls the request mailbox, on this
    // thread, whatever the service's state: a pause does not stop it.
    loop.Run([] { return Form_main ? Form_main->Timer1() : TimerState{}; },
             [] {
               if (Form_main) Form_main->Timer1Timer();
             });
    // A stop ends the process without the closing sequence: the program
    // state is not saved and the attachment store is not cleaned.
    engine.reset();
    lock.reset();
    service->EngineReleased();
    dispatcher.join();
  }
  service.reset();
  engine.reset();
  return exitCode;
}
