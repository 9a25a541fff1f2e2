#pragma once
// Shared pieces of the fuzz targets: a user interface that shows nothing and
// keeps nothing (a fuzz run calls it millions of times), a private program
// directory, and a check that aborts with a message, so that libFuzzer
// records the input as a crash.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/UserInterface.h"

class NullUserInterface : public UserInterface {
 public:
  ModalResult CaptionedMessageDlg(const std::string&, MsgDlgType, const std::vector<MsgDlgBtn>&,
                                  const std::vector<std::string>&) override {
    return ModalResult::Cancel;
  }
  void ShowMessage(const std::string&) override {}
  bool ConfirmYesNo(const std::string&) override { return false; }
  void ShowError(const std::string&) override {}
  std::optional<std::string> InputBox(const std::string&, const std::string&, const std::string&) override {
    return std::nullopt;
  }
  std::optional<std::string> OpenFileDialog(const FileDialogOptions&) override { return std::nullopt; }
  std::optional<std::string> SaveFileDialog(const FileDialogOptions&) override { return std::nullopt; }
  void SetTitle(const std::string&) override {}
  void SetLabel(const std::string&, const std::string&) override {}
  void AppendLogLine(const std::string&) override {}
  void TimerChanged(unsigned, bool) override {}
  void SetPageVisible(const std::string&, bool) override {}
  ModalResult ShowModalDialog(const std::string&) override { return ModalResult::Cancel; }
  void ShowWindow(const std::string&) override {}
  void Terminate() override {}
};

/// A fresh directory below $TMPDIR (or /tmp) with a trailing '/'; removed
/// with everything in it when the process ends normally.
std::string FuzzProgramDir();

/// Empties the file at path when it has grown past `limit` bytes (the event
/// log of a long run).
void TrimFile(const std::string& path, long limit = 1 << 20);

/// Aborts with the message when the condition does not hold.
#define FUZZ_CHECK(cond, what)                                                 \
  do {                                                                         \
    if (!(cond)) {                                                             \
      std::fprintf(stderr, "fuzz check failed: %s (%s)\n", (what), #cond);    \
      std::abort();                                                            \
    }                                                                          \
  } while (0)
