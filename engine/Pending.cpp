// Temporary definitions of operations whose owners have not delivered them yet,
// so that everything that calls them links. Each owner deletes its block here
// in the same commit that adds the real definition. This file must be gone
// before the work is called done.

#include "Main.h"

// PENDING(settings-dialog): showing and applying the settings.
#include "USetting.h"
void TFSettings::SettingsToDialog() {}

// PENDING(directory): walking the current result set.
int TFDBUtil::RecordCount() { return 0; }
void TFDBUtil::First() {}
void TFDBUtil::Next() {}
bool TFDBUtil::Eof() { return true; }
std::string TFDBUtil::FieldByName(const std::string&) { return {}; }
