// The LibreOffice backend of the word-processor layer. Every instance runs
// its own soffice with a private throw-away profile (instances that share a
// profile lose outputs) and converts with the Writer RTF filter named
// explicitly: a plain "rtf" target opens an .htm in Writer/Web, which has no
// RTF export and writes nothing while still exiting 0. Success is judged by
// the file that exists afterwards.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/process/Process.h"
#include "platform/wordproc/WordProcessor.h"

namespace qm::wordproc {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(int e) { return std::strerror(e); }

bool IsExecutable(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// file:// URL of an absolute path, with everything but unreserved characters
// and '/' percent-encoded.
std::string FileUrl(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string LastLines(const std::string& text, std::size_t maxLines) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  std::string out;
  std::size_t from = lines.size() > maxLines ? lines.size() - maxLines : 0;
  for (std::size_t i = from; i < lines.size(); ++i) {
    if (!out.empty()) out += " ";
    out += lines[i];
  }
  return out;
}

class LibreOfficeApplication : public Application {
 public:
  LibreOfficeApplication(std::string soffice, std::chrono::milliseconds timeout)
      : soffice_(std::move(soffice)), timeout_(timeout) {
    std::string tmpl = (fs::temp_directory_path() / "qm-soffice-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
      int e = errno;
      throw WordProcessorError("Das Arbeitsverzeichnis für LibreOffice kann nicht angelegt werden: " + ErrnoText(e));
    }
    workDir_ = tmpl;
  }

  ~LibreOfficeApplication() override {
    std::error_code ec;
    fs::remove_all(workDir_, ec);
  }

  void DocumentsOpen(const std::string& fileName) override {
    int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      int e = errno;
      throw WordProcessorError("Die Datei kann nicht geöffnet werden: " + fileName + " (" + ErrnoText(e) + ")");
    }
    struct stat st {};
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) throw WordProcessorError("Die Datei kann nicht geöffnet werden: " + fileName);
    document_ = fs::absolute(fileName).string();
  }

  void ActiveDocumentSaveAs(const std::string& fileName, int fileFormat) override {
    if (document_.empty()) throw WordProcessorError("Kein Dokument geöffnet.");
    if (fileFormat != kFormatRtf)
      throw WordProcessorError("Dateiformat " + std::to_string(fileFormat) + " wird nicht unterstützt.");

    const std::string outDir = workDir_ + "/out";
    std::error_code ec;
    fs::remove_all(outDir, ec);
    fs::create_directories(outDir, ec);
    if (ec) throw WordProcessorError("Das Ausgabeverzeichnis kann nicht angelegt werden: " + ec.message());

    std::string output;
    int status = Run({soffice_, "--headless", "--norestore", "--nolockcheck",
                      "-env:UserInstallation=" + FileUrl(workDir_ + "/profile"), "--convert-to",
                      "rtf:Rich Text Format", "--outdir", outDir, document_},
                     output);
    if (status == -1)
      throw WordProcessorError("LibreOffice hat nach " + std::to_string(timeout_.count()) +
                               " ms nicht geantwortet und wurde beendet.");
    if (status != 0)
      throw WordProcessorError("LibreOffice ist mit dem Status " + std::to_string(status) +
                               " beendet worden: " + LastLines(output, 3));

    // soffice names its output after the input, with the last extension
    // replaced; take whatever .rtf it wrote and move it where it was asked.
    std::string produced;
    for (const auto& entry : fs::directory_iterator(outDir, ec))
      if (entry.path().extension() == ".rtf") produced = entry.path().string();
    if (produced.empty())
      throw WordProcessorError("LibreOffice hat keine RTF-Datei geschrieben: " + LastLines(output, 3));
    MoveFile(produced, fileName);
  }

  void ActiveDocumentClose(int /*saveChanges*/) override {
    // Each SaveAs ran a complete soffice; nothing stays open to discard.
    if (document_.empty()) throw WordProcessorError("Kein Dokument geöffnet.");
    document_.clear();
  }

  void Quit() override {
    std::error_code ec;
    fs::remove_all(workDir_ + "/profile", ec);
  }

 private:
  // Runs a program in its own process group with stdout and stderr captured;
  // returns its exit status, or -1 after killing the group on time-out.
  int Run(const std::vector<std::string>& args, std::string& output) {
    const std::string logPath = workDir_ + "/soffice.out";
    process::SpawnOptions options;
    options.argv = args;
    options.searchPath = false;  // the program found or configured, as it is
    options.in = process::Stream::Null();
    options.out = process::Stream::File(logPath, 0600);
    options.err = process::Stream::ToStdout();
    options.ownProcessGroup = true;
    process::Child child;
    try {
      child = process::Spawn(options);
    } catch (const process::SpawnError& e) {
      throw WordProcessorError("LibreOffice kann nicht gestartet werden: " + ErrnoText(e.Errno()));
    }

    // The end is seen without reaping, so that the process group still
    // exists when whatever soffice started is killed with it.
    std::optional<process::ExitStatus> ended = child.WaitFor(timeout_);
    process::ExitStatus status = child.Kill(process::Scope::Group);

    std::ifstream in(logPath, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    output = ss.str();
    if (!ended) return -1;
    return status.ShellStatus();
  }

  static void MoveFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    int e = errno;
    if (e != EXDEV) throw WordProcessorError("Die Datei kann nicht geschrieben werden: " + to + " (" + ErrnoText(e) + ")");
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
      fs::remove(to);
      throw WordProcessorError("Die Datei kann nicht geschrieben werden: " + to + " (" + ec.message() + ")");
    }
  }

  std::string soffice_;
  std::chrono::milliseconds timeout_;
  std::string workDir_;
  std::string document_;
};

}  // namespace

std::string FindSoffice(const LibreOfficeOptions& options) {
  if (!options.sofficePath.empty()) return IsExecutable(options.sofficePath) ? options.sofficePath : std::string();
  if (const char* path = std::getenv("PATH")) {
    std::istringstream in(path);
    for (std::string dir; std::getline(in, dir, ':');) {
      if (dir.empty()) continue;
      std::string candidate = dir + "/soffice";
      if (IsExecutable(candidate)) return candidate;
    }
  }
  const char* known = "/usr/lib/libreoffice/program/soffice";
  return IsExecutable(known) ? std::string(known) : std::string();
}

std::unique_ptr<Application> CreateLibreOfficeApplication(const LibreOfficeOptions& options) {
  std::string soffice = FindSoffice(options);
  if (soffice.empty()) {
    std::string where = options.sofficePath.empty() ? std::string("soffice") : options.sofficePath;
    throw WordProcessorError("LibreOffice ist nicht installiert: " + where +
                             " wurde nicht gefunden (Debian-Paket libreoffice-writer-nogui).");
  }
  return std::make_unique<LibreOfficeApplication>(std::move(soffice), options.timeout);
}

}  // namespace qm::wordproc
