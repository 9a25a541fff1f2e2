// Connection strings: any text split into its key/value pairs; a value put
// in quotes comes back whole, so a password holding ';' or '=' cannot add a
// key of its own.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/dataaccess/DataAccess.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto pairs = qm::data::ParseConnectionString(text);
  for (const auto& [key, value] : pairs) {
    FUZZ_CHECK(!key.empty(), "no empty key");
    FUZZ_CHECK(key.size() + value.size() <= text.size(), "pairs come from the text");
  }
  (void)qm::data::ConnectionValue(pairs, "Provider");

  // The text as a quoted password between two other keys.
  for (char quote : {'"', '\''}) {
    if (text.find(quote) != std::string::npos) continue;
    const std::string built =
        "Provider=MSDASQL.1;Password=" + std::string(1, quote) + text + std::string(1, quote) + ";User ID=u";
    const auto got = qm::data::ParseConnectionString(built);
    FUZZ_CHECK(qm::data::ConnectionValue(got, "Password") == text, "a quoted value comes back whole");
    FUZZ_CHECK(qm::data::ConnectionValue(got, "User ID") == "u", "the next key is still there");
    FUZZ_CHECK(qm::data::ConnectionValue(got, "Provider") == "MSDASQL.1", "the first key is still there");
  }
  return 0;
}
