#pragma once
// The settings store: the three settings records and the settings profiles
// (<name>.config, one 6,952-byte record each). Other parts read the records
// through copy accessors; copies are taken under a lock, so a reader on
// another thread never sees a record half replaced. The settings dialog
// model (TFSettings) shows and edits what this store holds.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "directory/UDBUtil.h"
#include "settings/USettingsRecords.h"

/// Size of a profile file and the file offsets of the three records.
inline constexpr std::size_t kProfileSize = 6952;
inline constexpr std::size_t kMailOffset = 0;
inline constexpr std::size_t kDirectoryOffset = 2304;
inline constexpr std::size_t kGeneralOffset = 3584;

/// The one-byte key that scrambles the stored passwords (XOR).
inline constexpr std::uint8_t kScrambleKey = 0x0E;

/// Encodes the three records as one profile record, passwords scrambled.
std::array<std::uint8_t, kProfileSize> EncodeProfile(const MailSettings& mail, const DirectorySettings& dir,
                                                     const GeneralSettings& general);
/// Decodes a profile record of kProfileSize bytes, passwords unscrambled.
/// Texts that are not UTF-8 are taken as Windows-1252; padding and reserved
/// bytes of the general record are kept so that a save writes them back.
void DecodeProfile(const std::uint8_t* bytes, MailSettings& mail, DirectorySettings& dir, GeneralSettings& general);

/// Stores an attribute name list in the two fields of the general record:
/// its first 254 bytes in fieldNames1, the following 255 in fieldNames2 (cut
/// at character boundaries); anything beyond is dropped.
void PutFieldNames(GeneralSettings& general, const std::string& list);
/// The attribute name list: fieldNames1 and fieldNames2 joined.
std::string GetFieldNames(const GeneralSettings& general);

/// True when a profile name may name a file in the program directory: it
/// contains no '/', '\' or NUL and is not "." or "..".
bool IsSafeProfileName(const std::string& name);

namespace qm {

class SettingsStore {
 public:
  /// Copies of the whole records; callable from any thread.
  MailSettings GetMailSettings() const;
  DirectorySettings GetDirectorySettings() const;
  GeneralSettings GetGeneralSettings() const;
  /// "mail" with Active Directory, else the configured address column.
  std::string GetAddressField() const;
  /// What the directory reads for a lookup (its settings source).
  DirectoryLookupSettings GetLookupSettings() const;

  /// Replace the records.
  void SetMailSettings(const MailSettings& s);
  void SetDirectorySettings(const DirectorySettings& s);
  void SetGeneralSettings(const GeneralSettings& s);

  /// The profile file of a name: program directory + name + ".config".
  static std::string ProfilePath(const std::string& name);

  /// Reads a profile file and makes its records current. A missing file
  /// logs "Die Datei wurde nicht gefunden: " + path and changes nothing; a
  /// file shorter than one record yields all-zero records. Failures are
  /// logged, never thrown; false when nothing was read.
  bool ReadProfile(const std::string& path);
  /// Writes the records (passwords scrambled) to the profile of a name,
  /// readable by the owner only. Failures (an unwritable file, a name that
  /// would leave the program directory) log "I/O Fehler: " + the system's
  /// text and give false.
  bool WriteProfile(const std::string& name) const;

 private:
  mutable std::mutex mutex_;
  MailSettings mail_;
  DirectorySettings directory_;
  GeneralSettings general_;
};

}  // namespace qm

/// The directory's settings source reading the records of `store`, which
/// must outlive the directory.
inline DirectorySettingsSource SettingsSourceOf(const qm::SettingsStore& store) {
  return [&store] { return store.GetLookupSettings(); };
}
