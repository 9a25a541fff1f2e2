#pragma once
// The desktop program assembled: the Qt user interface, the main window and
// the dialogs, bound to the engine objects, which are created in the
// engine's order. main.cpp and the GUI tests both build the program this way.

#include <QObject>
#include <QString>
#include <memory>
#include <string>

class MainWindow;
class QtUserInterface;
class SettingsDialog;
class DBUtilWindow;
class InfoWindow;
class MailDialog;
class MailWorker;
namespace qm {
class Engine;
}

/// Qt's own texts (file dialogs, standard buttons, context menus) in
/// German, whatever the host's locale: loads Qt's German catalogue
/// (qtbase_de.qm from Qt's translation directory) into the running
/// application once and makes German the default locale. False when there
/// is no application or the catalogue cannot be loaded (its package is not
/// installed); Qt then speaks English. DesktopApp calls it.
bool InstallGermanQtTexts();

class DesktopApp {
 public:
  /// Creates the windows and the engine for a program directory and runs the
  /// engine's start-up steps, with Qt's own texts in German
  /// (InstallGermanQtTexts). The main window is not shown yet.
  explicit DesktopApp(const std::string& programDir);
  ~DesktopApp();
  DesktopApp(const DesktopApp&) = delete;
  DesktopApp& operator=(const DesktopApp&) = delete;

  /// True when start-up asked the program to end (another instance runs).
  bool TerminateRequested() const;

  /// Saves pictures of the main window, every settings page, the bulk-send
  /// dialog with the progress box of a send and the preview as PNG files
  /// into a directory.
  /// With a preview address, the preview page also as it shows that user.
  bool SaveScreenshots(const QString& dir, const QString& previewAddress = {});

  QtUserInterface& UI() { return *ui_; }
  MainWindow& Window() { return *window_; }
  SettingsDialog& Settings() { return *settings_; }
  DBUtilWindow& DBWindow() { return *dbWindow_; }
  InfoWindow& Info() { return *info_; }
  MailDialog& Mail() { return *mail_; }
  qm::Engine& Engine() { return *engine_; }
  MailWorker& Worker() { return *worker_; }

 private:
  /// "Nachrichten manuell abrufen" and each tick of Timer1: the poll runs on
  /// the mail worker and shows its progress in the status area. Left out
  /// while a send or another poll is under way.
  void Poll();

  // First, so that it outlives the windows that hold it.
  std::unique_ptr<MailWorker> worker_;
  std::unique_ptr<QtUserInterface> ui_;
  std::unique_ptr<MainWindow> window_;
  std::unique_ptr<SettingsDialog> settings_;
  std::unique_ptr<DBUtilWindow> dbWindow_;
  std::unique_ptr<InfoWindow> info_;
  std::unique_ptr<MailDialog> mail_;
  // Last, so that the engine is destroyed before the windows.
  std::unique_ptr<qm::Engine> engine_;
};
