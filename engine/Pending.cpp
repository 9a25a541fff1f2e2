// Temporary definitions of operations whose owners have not delivered them yet,
// so that everything that calls them links. Each owner deletes its block here
// in the same commit that adds the real definition. This file must be gone
// before the work is called done.

#include "Main.h"

// PENDING(settings-dialog): showing and applying the settings.
#include "USetting.h"
void TFSettings::SettingsToDialog() {}
