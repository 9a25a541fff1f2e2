#include "servicecontrol/UServiceManager.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

#include "base/ULog.h"

using namespace qm::scm;

namespace {

std::mutex defaultHooksMutex;
ServiceControlHooks defaultHooks;

}  // namespace

void SetDefaultServiceControlHooks(ServiceControlHooks hooks) {
  std::lock_guard lk(defaultHooksMutex);
  defaultHooks = std::move(hooks);
}

ServiceControlHooks DefaultServiceControlHooks() {
  std::lock_guard lk(defaultHooksMutex);
  return defaultHooks;
}

ServiceControl& DefaultServiceBackend() {
  ServiceControl* scm = DefaultServiceControlHooks().scm;
  return scm ? *scm : DefaultServiceControl();
}

TServiceManager::TServiceManager(ServiceControl& scm) : scm_(scm) {}

TServiceManager::~TServiceManager() { Disconnect(); }

bool TServiceManager::Connect(const std::string& machineName, const std::string& databaseName,
                              std::uint32_t access) {
  Disconnect();
  manager_ = scm_.OpenManager(machineName, databaseName, access);
  return manager_ != nullptr;
}

void TServiceManager::Disconnect() {
  service_.reset();
  manager_.reset();
}

bool TServiceManager::SelectService(const std::string& name) {
  service_.reset();
  if (!manager_) return false;
  service_ = manager_->OpenService(name, SERVICE_ALL_ACCESS);
  return service_ != nullptr;
}

bool TServiceManager::SendStop() {
  bool accepted = service_ && service_->Control(SERVICE_CONTROL_STOP);
  WriteLog("Service beendet.", ltInformation);
  return accepted;
}

bool TServiceManager::StartWithArgs(int count, const std::string& arg) {
  if (!service_) return false;
  std::vector<std::string> args;
  if (count > 0) args.push_back(arg);
  return service_->Start(args);
}

bool TServiceManager::Start() { return StartWithArgs(0, ""); }

std::uint32_t TServiceManager::QueryState() {
  if (!service_) return 0;
  return service_->QueryState().value_or(0);
}

bool TServiceManager::IsStopped() {
  std::uint32_t state = QueryState();
  return state == 0 || state == SERVICE_STOPPED;
}

bool TServiceManager::SetAutoStart() { return service_ && service_->ChangeStartType(SERVICE_AUTO_START); }

namespace {

ServiceControl& Backend(const ServiceControlHooks& hooks) {
  return hooks.scm ? *hooks.scm : DefaultServiceControl();
}

void Sleep(const ServiceControlHooks& hooks, unsigned ms) {
  if (hooks.sleep)
    hooks.sleep(ms);
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool Launch(const ServiceControlHooks& hooks, const std::vector<std::string>& argv) {
  if (hooks.launch) return hooks.launch(argv);
  return LaunchDetached(argv) > 0;
}

}  // namespace

void StopRunningService(const ServiceControlHooks& hooks) {
  TServiceManager sm(Backend(hooks));
  if (!sm.Connect("", "", SC_MANAGER_ALL_ACCESS)) return;
  sm.SelectService(kServiceName);
  sm.SendStop();
  for (int i = 0; i < kStopQueries; ++i) {
    if (!sm.IsStopped()) Sleep(hooks, kStopQueryPauseMs);
  }
  sm.Disconnect();
}

void HandOverToService(const std::string& programDir, const ServiceControlHooks& hooks) {
  std::string dir = programDir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  {
    TServiceManager sm(Backend(hooks));
    if (sm.Connect("", "", SC_MANAGER_ALL_ACCESS)) {
      if (!sm.SelectService(kServiceName)) Launch(hooks, {dir + "QuillmarkService", "/INSTALL"});
      sm.Disconnect();
    }
  }
  Sleep(hooks, kInstallPauseMs);
  TServiceManager sm(Backend(hooks));
  if (sm.Connect("", "", SC_MANAGER_ALL_ACCESS)) {
    if (sm.SelectService(kServiceName)) {
      sm.SetAutoStart();
      sm.Start();
    }
    sm.Disconnect();
  }
}
