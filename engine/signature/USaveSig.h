#pragma once
// The project file (.qm): three decimal counts, then the lines of the mail
// text, the signature template and the attachment list, every line ended by
// CR LF. These functions work on any three lists; TForm_main calls them on
// its own lists under ProjectMutex().

#include <string>
#include <string_view>

#include "base/UText.h"

/// The file's bytes for three lists: the counts, then the lines in order.
std::string FormatProjectFile(const qm::TextList& mailText, const qm::TextList& signature,
                              const qm::TextList& shortNames);

/// Reads a project file's text (bytes as stored: UTF-8, else Windows-1252;
/// lines end at CR LF, CR or LF; a NUL ends the text). Fewer than three lines
/// change nothing. All three counts are converted first: a count that is not
/// a whole number, or is negative, throws qm::EConvertError
/// ("'%s' ist kein gültiger Integerwert") with no list touched. Then the mail
/// text and the template are replaced and the attachment names appended; a
/// count reaching past the end throws qm::EListError
/// ("Listenindex überschreitet das Maximum (%d)", the zero-based index of
/// the first missing line) with the lines read so far kept. Lines after the
/// last section are ignored. Never reads outside the text.
void ParseProjectFile(std::string_view bytes, qm::TextList& mailText, qm::TextList& signature,
                      qm::TextList& shortNames);

/// Reads the project file at path into the lists as ParseProjectFile does.
/// An empty path or a missing file changes nothing and reports nothing; a
/// file that exists but cannot be read throws qm::EInOutError.
void LoadProjectFile(const std::string& path, qm::TextList& mailText, qm::TextList& signature,
                     qm::TextList& shortNames);

/// Creates or overwrites the project file at path. Throws qm::EInOutError
/// with the system's text when it cannot be written.
void SaveProjectFile(const std::string& path, const qm::TextList& mailText, const qm::TextList& signature,
                     const qm::TextList& shortNames);
