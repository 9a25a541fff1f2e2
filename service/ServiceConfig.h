#pragma once
// "QuillmarkService /CONFIG": the active profile of an installation read and
// changed from the command line, for hosts without the settings dialog.

#include <iosfwd>
#include <string>
#include <vector>

/// Without pairs: prints every field of the active profile as "name=value"
/// to `out` and returns 0. With pairs ("name=value"; a password given as
/// "name=-" is read as one line from `in`): checks every pair first; any
/// refused pair is named with its reason on `err` and gives 2 with nothing
/// written; otherwise saves the active profile like the settings dialog
/// (same file, owner only) and returns 0, or 1 when it cannot be written.
/// While another program of the installation runs, the change is saved and
/// `out` says that it takes effect at that program's next start.
int RunConfigSwitch(const std::string& programDir, const std::vector<std::string>& pairs, std::istream& in,
                    std::ostream& out, std::ostream& err);
