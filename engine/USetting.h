#pragma once
// TFSettings: holder of the three settings records and of the settings
// profiles (<name>.config, one 6,952-byte record each). Other parts read the
// records through copy accessors; copies are taken under a lock, so a reader
// on another thread never sees a record half replaced.

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "USettingsRecords.h"
#include "UText.h"

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
/// Decodes a profile record, passwords unscrambled.
void DecodeProfile(const std::uint8_t* bytes, MailSettings& mail, DirectorySettings& dir, GeneralSettings& general);

class TFSettings {
 public:
  TFSettings();
  ~TFSettings();
  TFSettings(const TFSettings&) = delete;
  TFSettings& operator=(const TFSettings&) = delete;

  /// Copies of the whole records; callable from any thread.
  MailSettings GetMailSettings() const;
  DirectorySettings GetDirectorySettings() const;
  GeneralSettings GetGeneralSettings() const;
  /// "mail" with Active Directory, else the configured address column.
  std::string GetAddressField() const;

  /// Replace the records (main thread).
  void SetMailSettings(const MailSettings& s);
  void SetDirectorySettings(const DirectorySettings& s);
  void SetGeneralSettings(const GeneralSettings& s);

 private:
  mutable std::mutex recordsMutex_;
  MailSettings mail_;
  DirectorySettings directory_;
  GeneralSettings general_;
};

/// The process's one settings holder; null outside its lifetime.
extern TFSettings* FSettings;
