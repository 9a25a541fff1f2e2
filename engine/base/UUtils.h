#pragma once
// Shared engine utilities: the failure types the engine reports, the program
// directory, whole-file reading and writing, and the system's error texts.

#include <stdexcept>
#include <string>

#include "base/Texts.h"
#include "base/UText.h"

namespace qm {

/// The one rule for a TCP port that a setting names: 1-65535. Port 0 would
/// bind a random port and a larger number a wrapped-around one.
constexpr bool IsValidPort(long long port) { return port >= 1 && port <= 65535; }

/// A text that is not a whole number ("'%s' ist kein gültiger Integerwert").
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A list index past the end ("Listenindex überschreitet das Maximum (%d)").
class EListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// An input/output failure; what() is the operating system's message text.
class EInOutError : public std::runtime_error {
 public:
  EInOutError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

/// The operating system's message text for an error number (strerror_r).
std::string SysErrorMessage(int errnum);


/// What a failure adds after the system's own sentence. The engine and the
/// platform layer throw std::runtime_error and its kinds with their German
/// sentences: those give their text as it is. A library's failure gives its
/// message without the library's class name: Poco's message(), the system's
/// text of a std::system_error's error code. Any other failure (std::bad_alloc
/// and the like) carries nothing but a class name and gives "".
std::string FailureDetail(const std::exception& e);

/// The text a window shows for a failure that reaches the error display
/// without a sentence of its own: the engine's own failures as they are, a
/// library's failure as qm::text::kRuntimeError with the detail on a line of its
/// own (CR LF), or qm::text::kRuntimeError alone when there is no detail.
std::string FailureText(const std::exception& e);

/// Sets the program directory, where the programs keep their files: the
/// data directory in the programs (base/DataDirectory.h; the executable's
/// directory unless one is set), a temporary directory in tests. Stored with
/// a trailing '/'.
void SetProgramDirectory(const std::string& dir);

/// The program directory with its trailing '/'; empty until set.
std::string ProgramDirectory();

/// The directory of the files shipped with the programs (ResponsePage.htm,
/// the service program for the hand-over), with '/': the executable's
/// directory as set by the programs; the program directory when not set.
void SetInstallDirectory(const std::string& dir);
std::string InstallDirectory();

/// The path of a shipped file: the program directory's copy when there is
/// one (an administrator's own version), else the installed one.
std::string ShippedFile(const std::string& name);

/// Whether the program directory is a data directory shared through a group
/// (see base/DataDirectory.h); false unless set.
void SetSharedDataDirectory(bool shared);
bool SharedDataDirectory();

/// The mode of files holding passwords (the profiles): owner only (0600), or
/// owner and group (0660) in a shared data directory; never the world.
unsigned SecretFileMode();

/// The attachment store: the program directory followed by "temp/".
std::string AttachmentStore();

/// The directory of the running executable (from /proc/self/exe), with '/'.
std::string ExecutableDirectory();

/// True when a regular file (or a link to one) exists at path.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);

/// Reads a whole file. Throws EInOutError with the system's text on failure.
std::string ReadWholeFile(const std::string& path);

/// Creates or replaces a file with the bytes, all or nothing: on failure the
/// old file is left as it was. `mode` (less the process's umask) is used
/// for a new file; an existing one keeps its permissions. Throws EInOutError with the system's text on
/// failure.
void WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode = 0666);

/// Caps the C library's per-thread memory pools at two. Every HTTP
/// connection runs on a thread of its own; with one pool per thread the
/// process keeps the memory of whole-table reads long after the requests.
void LimitMemoryPools();

/// Deletes a file; returns false (and leaves errno) on failure.
bool DeleteFile(const std::string& path);

}  // namespace qm
