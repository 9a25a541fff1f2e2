#pragma once
// TFrm_Info: the about window's model. The programs show it through
// UserInterface::ShowWindow("TFrm_Info"); its texts live here so both the Qt
// window and the tests read the same values.

#include <functional>
#include <string>
#include <vector>

class TFrm_Info {
 public:
  /// Shows nothing.
  TFrm_Info();
  ~TFrm_Info();
  TFrm_Info(const TFrm_Info&) = delete;
  TFrm_Info& operator=(const TFrm_Info&) = delete;

  /// Creation steps: the program name and version.
  void FormCreate();

  /// The window's title.
  std::string Caption = "Information";
  /// The program name and version, set by FormCreate.
  std::string Lbl_product;
  /// The maker's web address shown by the link label.
  std::string Lbl_webLink = "https://quillmark.example/";
  /// The caption of the button that closes the window.
  std::string Btn_close = "Fenster schließen";

  /// A click on the link: starts the desktop's web browser opener
  /// ("xdg-open") with the web address, without waiting. Without an opener
  /// nothing happens.
  void Lbl_webLinkClick();
  /// Starts a program without waiting (tests replace it).
  using Launcher = std::function<bool(const std::vector<std::string>& argv)>;
  void SetLauncher(Launcher launcher) { launcher_ = std::move(launcher); }

 private:
  Launcher launcher_;
};

/// The process's one about window, set by the engine assembly for the
/// programs' edges; null outside its lifetime.
extern TFrm_Info* Frm_Info;
