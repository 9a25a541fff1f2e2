// The project file reader on arbitrary bytes. A file it accepts must come
// back unchanged through the writer: FormatProjectFile of the lists read
// gives a text that reads as the same lists.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "signature/USaveSig.h"
#include "base/UUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qm::TextList mail, signature, names;
  try {
    ParseProjectFile(bytes, mail, signature, names);
  } catch (const qm::EConvertError&) {
    FUZZ_CHECK(mail.empty() && signature.empty() && names.empty(), "a bad count touches no list");
    return 0;
  } catch (const qm::EListError&) {
    return 0;  // lines read so far are kept: nothing to compare
  }
  for (const auto* list : {&mail, &signature, &names})
    for (const auto& line : *list) {
      FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos, "a line holds no line end");
      FUZZ_CHECK(qm::IsValidUtf8(line), "lines are UTF-8 inside");
    }

  const std::string again = FormatProjectFile(mail, signature, names);
  qm::TextList mail2, signature2, names2;
  ParseProjectFile(again, mail2, signature2, names2);
  FUZZ_CHECK(mail2 == mail && signature2 == signature && names2 == names, "written lists read back the same");
  FUZZ_CHECK(FormatProjectFile(mail2, signature2, names2) == again, "writing is stable");
  return 0;
}
