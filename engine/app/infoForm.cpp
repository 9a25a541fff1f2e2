#include "app/infoForm.h"

#include <unistd.h>

#include <cstdlib>

#include "app/Main.h"
#include "platform/scm/ServiceControl.h"

TFrm_Info* Frm_Info = nullptr;

TFrm_Info::TFrm_Info() = default;

TFrm_Info::~TFrm_Info() = default;

// Both programs show the desktop program's name and version here.
void TFrm_Info::FormCreate() { Lbl_product = kDesktopTitle; }

namespace {

// The desktop's opener for web addresses, when one is installed.
std::string FindOpener() {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t pos = 0;
  while (pos <= p.size()) {
    std::size_t end = p.find(':', pos);
    if (end == std::string::npos) end = p.size();
    std::string candidate = p.substr(pos, end - pos) + "/xdg-open";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    pos = end + 1;
  }
  return {};
}

}  // namespace

void TFrm_Info::Lbl_webLinkClick() {
  std::string opener = FindOpener();
  if (opener.empty()) return;  // no opener: nothing happens
  if (launcher_)
    launcher_({opener, Lbl_webLink});
  else
    qm::scm::LaunchDetached({opener, Lbl_webLink});
}
