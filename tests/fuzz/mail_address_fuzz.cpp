// The sender of a request mail: the raw From field of any message, the bare
// address taken from it, and ExtractAddress on any text. A sender that comes
// out is a usable address (an '@', no blanks, brackets, quotes or control
// characters) and passes ExtractAddress unchanged, so the address looked up
// is the address answered.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "mail/UMailTools.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view message(reinterpret_cast<const char*>(data), size);
  const std::string from = qm::RawFromHeader(message);
  FUZZ_CHECK(from.size() <= size, "the From value comes from the message");
  const std::string sender = qm::BareAddress(from);
  if (!sender.empty()) {
    FUZZ_CHECK(sender.find('@') != std::string::npos, "an address has an '@'");
    for (unsigned char c : sender) {
      FUZZ_CHECK(c >= 0x20 && c != 0x7f, "no control characters in an address");
      FUZZ_CHECK(c != ' ' && c != '\t' && c != '<' && c != '>' && c != '"', "no blanks, brackets or quotes");
    }
    FUZZ_CHECK(TFMailTools::ExtractAddress(sender) == sender, "the sender passes ExtractAddress unchanged");
  }
  const std::string text(message);
  const std::string extracted = TFMailTools::ExtractAddress(text);
  FUZZ_CHECK(extracted.size() <= text.size(), "extraction never grows");
  return 0;
}
