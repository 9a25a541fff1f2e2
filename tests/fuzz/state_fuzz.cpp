// The program-state file reader: arbitrary bytes as progstate.qms, read,
// queried, changed and written back. A file of a whole unit must load as its
// image; reading and writing never go outside the table.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "base/ULog.h"
#include "base/UProgState.h"
#include "base/UUtils.h"

namespace {

struct Setup {
  Setup() : dir(FuzzProgramDir()), log(dir, nullptr) {
    qm::SetProgramDirectory(dir);
    SetCurrentLog(&log);
  }
  std::string dir;
  TEventLog log;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  TrimFile(setup.log.LogFilePath());
  const std::string path = setup.dir + "in.qms";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  ClearState();
  LoadState(path);
  const auto image = StateImage();
  if (size >= kStateFileSize)
    FUZZ_CHECK(std::memcmp(image.data(), data, kStateFileSize) == 0, "a whole unit loads as it is");
  else
    for (auto b : image) FUZZ_CHECK(b == 0, "a short file changes nothing");

  // Every stored name is found again and yields its value.
  for (int i = 0; i < kStateSlots; ++i) {
    const std::uint8_t* slot = image.data() + static_cast<std::size_t>(i) * kStateSlotSize;
    std::string name(reinterpret_cast<const char*>(slot + 1), slot[0]);
    if (name.empty()) continue;
    int found = FindStateSlot(name);
    FUZZ_CHECK(found >= i && found < kStateSlots, "a stored name is found at its slot or a later one");
    (void)GetStateValue(name);
  }
  (void)AddToStateCounter("LStatusHTTP", 1);
  SetStateValue("profilename", std::string(reinterpret_cast<const char*>(data), size < 300 ? size : 300));

  const auto changed = StateImage();
  SaveState("out.qms");
  ClearState();
  LoadState(setup.dir + "out.qms");
  FUZZ_CHECK(StateImage() == changed, "the saved table loads back unchanged");
  return 0;
}
