#pragma once
// An in-memory service-control backend for tests of the service steps: one
// scripted service whose answers and the calls made on it are recorded. And
// the test programs' default for the service steps, so that no test reaches
// the machine's service manager by accident.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/scm/ServiceControl.h"

class FakeServiceControl : public qm::scm::ServiceControl {
 public:
  bool managerReachable = true;
  bool installed = false;
  std::uint32_t startType = qm::scm::SERVICE_DEMAND_START;
  /// States answered by successive queries; the last one repeats. Empty:
  /// stopped.
  std::deque<std::uint32_t> states;
  /// Every call, in order: "connect", "open <name>", "control 1",
  /// "query", "starttype 2", "start", "close".
  std::vector<std::string> calls;

  std::unique_ptr<qm::scm::Manager> OpenManager(const std::string& machine, const std::string& database,
                                                std::uint32_t access, qm::scm::Error* err) override;
  std::string Kind() const override { return "fake"; }
  /// The number of calls equal to `call`.
  int Count(const std::string& call) const;
};

/// Makes the service steps of every controller created from now on (and of
/// StopRunningService / HandOverToService called without hooks) use a
/// manager that cannot be reached, sleeps that return at once and a launcher
/// that starts nothing. Every test program's main calls this before the
/// tests; a test that wants a real backend passes hooks of its own.
void UseFakeServiceControlByDefault();
