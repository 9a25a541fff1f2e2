#include "base/UProgState.h"
#include "base/Texts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "base/ULog.h"
#include "base/UUtils.h"

namespace {

// The raw table; slot text bytes beyond a length carry no meaning and are kept
// as they were, so a loaded file's leftovers are written back unchanged.
std::array<std::uint8_t, kStateFileSize> g_table{};
std::recursive_mutex g_stateLock;

std::uint8_t* Slot(int i) { return g_table.data() + static_cast<std::size_t>(i) * kStateSlotSize; }

// Raw bytes of a slot's name (no decoding: names are compared byte-wise, ASCII
// letters without regard to case).
std::string RawName(int i) {
  const std::uint8_t* p = Slot(i);
  return std::string(reinterpret_cast<const char*>(p + 1), p[0]);
}

int FindSlotLocked(const std::string& name) {
  std::string wanted = qm::LowerAscii(qm::CutUtf8(name, qm::kFixedTextMax));
  int found = -1;
  for (int i = 0; i < kStateSlots; ++i)
    if (qm::LowerAscii(RawName(i)) == wanted) found = i;
  return found;
}

void SetLocked(const std::string& name, const std::string& value) {
  int i = FindSlotLocked(name);
  if (i == -1) {
    for (int k = 0; k < kStateSlots; ++k) {
      if (Slot(k)[0] == 0) {
        i = k;
        break;
      }
    }
    if (i == -1) {
      WriteLog("Zu viele Werte in der Configurationsdatei. Bitte wenden Sie sich an den Hersteller.", ltError);
      return;
    }
  }
  qm::PutFixedText(Slot(i), name);
  qm::PutFixedText(Slot(i) + 256, value);
}

}  // namespace

int FindStateSlot(const std::string& name) {
  std::lock_guard lk(g_stateLock);
  return FindSlotLocked(name);
}

void SetStateValue(const std::string& name, const std::string& value) {
  std::lock_guard lk(g_stateLock);
  SetLocked(name, value);
}

std::string GetStateValue(const std::string& name) {
  std::lock_guard lk(g_stateLock);
  int i = FindSlotLocked(name);
  return i < 0 ? std::string() : qm::GetFixedText(Slot(i) + 256);
}

std::string AddToStateCounter(const std::string& name, long long delta) {
  std::lock_guard lk(g_stateLock);
  int i = FindSlotLocked(name);
  long long v = 0;
  if (i >= 0) {
    std::string cur = qm::GetFixedText(Slot(i) + 256);
    v = qm::StrToIntDef(cur, 0);
  }
  std::string text = std::to_string(v + delta);
  SetLocked(name, text);
  return text;
}

void SaveState(const std::string& fileName) {
  std::string path = qm::ProgramDirectory() + (fileName.empty() ? std::string("progstate.qms") : fileName);
  std::array<std::uint8_t, kStateFileSize> copy;
  {
    std::lock_guard lk(g_stateLock);
    copy = g_table;
  }
  try {
    qm::WriteWholeFile(path, std::string(reinterpret_cast<const char*>(copy.data()), copy.size()));
  } catch (const qm::EInOutError& e) {
    WriteLog(std::string(qm::text::kIoErrorPrefix) + e.what(), ltError);
  } catch (const std::exception&) {
    WriteLog(qm::text::kRuntimeError, ltError);
  }
}

void LoadState(const std::string& path) {
  std::string p = path.empty() ? std::string("progstate.qms") : path;
  if (!qm::FileExists(p)) return;
  try {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw qm::EInOutError(qm::SysErrorMessage(errno), errno);
    std::array<std::uint8_t, kStateFileSize> buf{};
    std::size_t got = 0;
    int err = 0;
    while (got < buf.size()) {
      ssize_t n = ::read(fd, buf.data() + got, buf.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (err) throw qm::EInOutError(qm::SysErrorMessage(err), err);
    // Only a whole unit is taken over; a read that failed or came up short
    // leaves the table as it was.
    if (got == buf.size()) {
      std::lock_guard lk(g_stateLock);
      g_table = buf;
    }
  } catch (const qm::EInOutError&) {
    WriteLog(qm::text::kFileReadFailurePrefix + p, ltError);
  } catch (const std::exception&) {
    WriteLog(qm::text::kRuntimeError, ltError);
  }
}

void ClearState() {
  std::lock_guard lk(g_stateLock);
  g_table.fill(0);
}

std::array<std::uint8_t, kStateFileSize> StateImage() {
  std::lock_guard lk(g_stateLock);
  return g_table;
}
