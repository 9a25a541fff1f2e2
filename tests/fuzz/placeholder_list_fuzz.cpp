// The attribute-list normalisation of the placeholder catalogue: any stored
// attribute list (split over the two fields of the general record) rebuilt
// into catalogue entries through TForm_main with Active Directory settings.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "app/Main.h"
#include "settings/SettingsStore.h"

namespace {

struct Setup {
  Setup() : dir(FuzzProgramDir()), main(dir, ui, ProgramKind::Service) { main.Wire({nullptr, &settings, nullptr}); }
  std::string dir;
  NullUserInterface ui;
  TForm_main main;
  // The records the catalogue reads; no directory (the fields come from the
  // attribute list).
  qm::SettingsStore settings;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  std::string list(reinterpret_cast<const char*>(data), size);
  GeneralSettings general;
  general.useAD = true;
  PutFieldNames(general, list);
  setup.settings.SetGeneralSettings(general);
  {
    std::unique_lock lk(setup.main.ProjectMutex());
    setup.main.LB_shortNames = {"logo.gif", "a.txt"};
  }
  setup.main.BuildPlaceholderList();
  const auto entries = setup.main.PlaceholderEntries();
  const std::string stored = GetFieldNames(setup.settings.GetGeneralSettings());
  std::size_t fields = 0;
  for (const auto& e : entries) {
    if (e.kind != PlaceholderEntry::Field) continue;
    ++fields;
    FUZZ_CHECK(e.name.find(' ') == std::string::npos, "no blanks in a field name");
    FUZZ_CHECK(e.name.find(',') == std::string::npos, "no commas in a field name");
    FUZZ_CHECK(e.name.find_first_of("\r\n") == std::string::npos, "no line ends in a field name");
    FUZZ_CHECK(e.name.size() <= stored.size(), "names come from the list");
  }
  FUZZ_CHECK(!entries.empty() && entries.back() == (PlaceholderEntry{"logo.gif", PlaceholderEntry::Image}),
             "image entries follow the fields");
  FUZZ_CHECK(fields + 1 == entries.size(), "one image entry");
  return 0;
}
