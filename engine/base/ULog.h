#pragma once
// The event log: one time-stamped line per message in "signatur.log" of the
// program directory and, in the desktop program, on the on-screen log.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class UserInterface;

/// Message types: 1 error, 2 warning, 3 information.
enum LogType : int { ltError = 1, ltWarning = 2, ltInformation = 3 };

class TEventLog {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  /// `programDir` ends in '/'; `ui` may be null (no on-screen log).
  TEventLog(std::string programDir, UserInterface* ui);

  /// Writes one line when the verbosity lets the type pass: screen line
  /// first (posted), then the file line, both under LogLock and both with the
  /// time of one clock reading. Callable from any thread. Never throws, so
  /// no report can end its caller's work: when "signatur.log" cannot be
  /// opened or written, the line still reaches the screen, and the failure
  /// itself is shown there once ("I/O Fehler: <system text> (<path>)") until
  /// a line reaches the file again. No retry, no other file; without a
  /// screen (the service) such a line is lost.
  void WriteLog(const std::string& message, int type) noexcept;

  /// Sets the filter: 0 all, 1 errors and warnings, 2 errors, 3+ nothing.
  void SetVerbosity(std::uint8_t value) { verbosity_.store(value, std::memory_order_relaxed); }
  std::uint8_t Verbosity() const { return verbosity_.load(std::memory_order_relaxed); }

  /// True when a message of this type passes the current verbosity.
  static bool Passes(std::uint8_t verbosity, int type);

  /// Formats "<date> <time>: <message>" for a moment (dd.mm.yyyy hh:nn:ss).
  static std::string FormatLine(std::chrono::system_clock::time_point when, const std::string& message);

  /// Replaces the clock (tests); it is read once per line.
  void SetClock(Clock clock) { clock_ = std::move(clock); }

  /// The path of the log file.
  std::string LogFilePath() const { return programDir_ + "signatur.log"; }

  std::recursive_mutex& LogLock() { return logLock_; }

 private:
  std::string programDir_;
  UserInterface* ui_;
  std::atomic<std::uint8_t> verbosity_{0};
  std::recursive_mutex logLock_;
  Clock clock_;
  bool fileFailureShown_ = false;  // under logLock_
};

/// The process's current log (the controller's); null before it exists.
TEventLog* CurrentLog();
void SetCurrentLog(TEventLog* log);

/// Writes through the current log; does nothing when there is none. Never
/// throws (see TEventLog::WriteLog).
void WriteLog(const std::string& message, int type) noexcept;
