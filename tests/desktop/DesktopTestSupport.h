#pragma once
// Helpers for the GUI tests: the offscreen application, answering modal
// dialogs as a person would, and finding widgets by object name.

#include <QApplication>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "DesktopApp.h"
#include "TestDir.h"

/// Handles the next modal dialog that opens (file dialogs, message boxes,
/// input boxes; progress boxes are passed over); `handle` must close it.
void OnNextModal(std::function<void(QWidget*)> handle);

/// Clicks the button captioned `caption` (ampersands ignored) of a dialog.
void ClickButton(QWidget* dialog, const QString& caption);

/// Chooses a file in a file dialog and confirms it.
void ChooseFile(QWidget* dialog, const std::string& path);

/// Lets posted events (labels, log lines, title) reach the widgets.
void ProcessEvents();

/// A widget of a window by object name; fails the test when it is missing.
template <typename T>
T* Find(QObject* root, const char* name) {
  T* w = root->findChild<T*>(QString::fromLatin1(name));
  if (!w) throw std::runtime_error(std::string("no widget ") + name);
  return w;
}

/// A desktop program over a temporary program directory.
struct DesktopFixture {
  TestDir dir;
  std::unique_ptr<DesktopApp> app;
  DesktopFixture();
  ~DesktopFixture();
  MainWindow& Window() { return app->Window(); }
  /// Opens the settings dialog through its menu entry and runs `handle` on
  /// it while it is shown; `handle` must close it.
  void OpenSettings(const std::function<void(QWidget*)>& handle);
  /// Users from an ODBC table (address column "mail", no directory server),
  /// stored in the program's settings and configured on its connection.
  void UseOdbcUsers(const std::string& dsn, const std::string& table = "users");
};
