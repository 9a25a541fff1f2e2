// Temporary definitions of operations whose owners have not delivered them yet,
// so that everything that calls them links. Each owner deletes its block here
// in the same commit that adds the real definition. This file must be gone
// before the work is called done.

#include "Main.h"
#include "UDBUtil.h"

// PENDING(directory): the directory object.
TFDBUtil* FDBUtil = nullptr;
struct TFDBUtil::Impl {};
TFDBUtil::TFDBUtil() { FDBUtil = this; }
TFDBUtil::~TFDBUtil() {
  if (FDBUtil == this) FDBUtil = nullptr;
}
void TFDBUtil::ConfigureConnection(const std::string&, const std::string&, const std::string&, const std::string&,
                                   const std::string&, const std::string&) {}
void TFDBUtil::CloseConnection() {}
bool TFDBUtil::FindUser(const std::string&) { return false; }
std::string TFDBUtil::GetFieldValue(const std::string&, const std::string&) { return {}; }
void TFDBUtil::GetOdbcDataSources(qm::TextList&) {}
void TFDBUtil::ListOdbcTables(qm::TextList&) {}
void TFDBUtil::ListOdbcColumns(const std::string&, qm::TextList&) {}

// PENDING(settings-dialog): showing and applying the settings.
#include "USetting.h"
void TFSettings::SettingsToDialog() {}
