#pragma once
// The settings of a profile as the command line names them ("name=value"):
// what `QuillmarkService /CONFIG` prints and changes on a host without the
// settings dialog. One table names every field once, with its record member,
// the values it takes and how it is shown.

#include <string>
#include <utility>
#include <vector>

#include "settings/USettingsRecords.h"

namespace qm {

/// The three records of one profile.
struct ProfileRecords {
  MailSettings mail;
  DirectorySettings directory;
  GeneralSettings general;
};

/// Every field as "name=value", one per field in record order (mail,
/// directory, general); passwords as "***" when set, "" when empty; flags as
/// "yes"/"no"; the attribute list as one value "fieldNames".
std::vector<std::string> DescribeProfile(const ProfileRecords& records);

/// True when `name` is a field of the command line.
bool IsConfigField(const std::string& name);
/// True when the field holds a password (it may be read from standard input).
bool IsConfigPassword(const std::string& name);

/// Checks every pair, then applies them all to `records`, or none: the
/// result lists one German line per refused pair ("<name>: <why>"), empty
/// when every pair was taken. Booleans take yes/no, true/false, 1/0; texts
/// must fit their stored field.
std::vector<std::string> ApplyConfig(const std::vector<std::pair<std::string, std::string>>& pairs,
                                     ProfileRecords& records);

}  // namespace qm
