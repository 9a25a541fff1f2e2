// The profile record decoder on arbitrary bytes (padded or cut to one
// record). Decoding, encoding and decoding again must give the same records,
// except that a text which grew past the 255 bytes of its field when taken
// from Windows-1252 into UTF-8 is cut at a character boundary; a second save
// changes nothing.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "settings/USetting.h"
#include "base/UText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, kProfileSize> record{};
  std::memcpy(record.data(), data, size < record.size() ? size : record.size());

  MailSettings mail;
  DirectorySettings dir;
  GeneralSettings general;
  DecodeProfile(record.data(), mail, dir, general);
  const std::vector<std::string*> texts = {&mail.pop3Host, &mail.pop3Login, &mail.pop3Password, &mail.senderName, &mail.subject,
                               &mail.smtpHost, &mail.smtpUserId, &mail.smtpPassword, &mail.senderAddress,
                               &dir.odbcSource, &dir.table, &dir.dbUserId, &dir.dbPassword, &dir.mailField,
                               &general.altText, &general.adPath, &general.adUserId, &general.adPassword,
                               &general.fieldNames1, &general.fieldNames2, &general.sendAs, &general.tlsCaFile,
                               &general.httpsCertFile, &general.httpsKeyFile};
  for (const std::string* s : texts) FUZZ_CHECK(qm::IsValidUtf8(*s), "decoded texts are UTF-8");

  const auto encoded = EncodeProfile(mail, dir, general);
  MailSettings mail2;
  DirectorySettings dir2;
  GeneralSettings general2;
  DecodeProfile(encoded.data(), mail2, dir2, general2);
  // What a save keeps: every text cut to the field's 255 bytes.
  for (std::string* s : texts) *s = qm::CutUtf8(*s, qm::kFixedTextMax);
  FUZZ_CHECK(mail2 == mail, "mail record survives a save");
  FUZZ_CHECK(dir2 == dir, "directory record survives a save");
  FUZZ_CHECK(general2 == general, "general record survives a save");
  FUZZ_CHECK(EncodeProfile(mail2, dir2, general2) == encoded, "encoding is stable");

  // The attribute list split over its two fields and joined again.
  GeneralSettings g3 = general;
  PutFieldNames(g3, GetFieldNames(general));
  FUZZ_CHECK(qm::IsValidUtf8(g3.fieldNames1) && qm::IsValidUtf8(g3.fieldNames2), "split at character boundaries");
  FUZZ_CHECK(g3.fieldNames1.size() <= 254 && g3.fieldNames2.size() <= 255, "split within the field sizes");
  return 0;
}
