#pragma once
// The system's own texts and names that more than one place uses: messages
// of the event log and the dialogs, the status labels with the program-state
// keys of their counters, state keys, file names and the window names the
// user interface opens. Each is written here once; every user names the
// constant.

namespace qm::text {

// ---- messages --------------------------------------------------------------
inline constexpr const char* kRuntimeError = "Ein Laufzeitfehler ist aufgetreten!";
/// Followed by the system's text of an input/output failure.
inline constexpr const char* kIoErrorPrefix = "I/O Fehler: ";
inline constexpr const char* kDataSourceFailure = "Quillmark konnte sich nicht mit der Datenquelle verbinden.";
/// Followed by the path.
inline constexpr const char* kFileReadFailurePrefix = "Fehler beim Auslesen der Datei ";
/// Followed by the path.
inline constexpr const char* kFileNotFoundPrefix = "Die Datei wurde nicht gefunden: ";
/// Followed by a failure's own text.
inline constexpr const char* kErrorDetailsPrefix = "Fehlerdetails: ";

// ---- status labels and the state keys of their counters ---------------------
inline constexpr const char* kLabelHttp = "LStatusHTTP";          // also its counter's key
inline constexpr const char* kLabelSent = "LStatusGesand";        // also its counter's key
inline constexpr const char* kLabelReceived = "LStatusempfangen";
inline constexpr const char* kReceivedCounter = "LStatusEmpfangen";  // the key differs in case
inline constexpr const char* kLabelTimer = "LStatusTimer";
/// Whether the HTTP server listens: "Port <n>", "aus" or "nicht gestartet".
inline constexpr const char* kLabelHttpServer = "LStatusHTTPServer";

// ---- program-state keys ------------------------------------------------------
inline constexpr const char* kStateLastOpenedFile = "lastOpenedFile";
/// Written as "profilename", read as "profileName": keys are matched
/// without regard to case.
inline constexpr const char* kStateProfileNameWritten = "profilename";
inline constexpr const char* kStateProfileNameRead = "profileName";

// ---- windows the user interface opens ------------------------------------------
inline constexpr const char* kWindowBulkSend = "TFrm_Mail";
inline constexpr const char* kWindowSettings = "TFSettings";
inline constexpr const char* kWindowConnectionTest = "TFDBUtil";
inline constexpr const char* kWindowInfo = "TFrm_Info";

}  // namespace qm::text
