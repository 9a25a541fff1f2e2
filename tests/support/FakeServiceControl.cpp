#include "FakeServiceControl.h"

#include <algorithm>

#include "servicecontrol/UServiceManager.h"

using namespace qm::scm;

namespace {

class FakeService : public Service {
 public:
  explicit FakeService(FakeServiceControl& f) : f_(f) {}
  ~FakeService() override { f_.calls.push_back("close"); }
  bool Control(std::uint32_t control, Error* err) override {
    f_.calls.push_back("control " + std::to_string(control));
    if (Current() == SERVICE_STOPPED) {
      if (err) *err = MakeError(ERROR_SERVICE_NOT_ACTIVE);
      return false;
    }
    return true;
  }
  std::optional<std::uint32_t> QueryState(Error*) override {
    f_.calls.push_back("query");
    std::uint32_t s = Current();
    if (f_.states.size() > 1) f_.states.pop_front();
    return s;
  }
  bool ChangeStartType(std::uint32_t startType, Error*) override {
    f_.calls.push_back("starttype " + std::to_string(startType));
    f_.startType = startType;
    return true;
  }
  bool Start(const std::vector<std::string>& args, Error*) override {
    f_.calls.push_back("start" + std::string(args.empty() ? "" : " " + args[0]));
    f_.states = {SERVICE_RUNNING};
    return true;
  }
  bool Delete(Error*) override {
    f_.installed = false;
    return true;
  }
  std::optional<ServiceConfig> QueryConfig(Error*) override {
    return ServiceConfig{"QuillmarkService1", "QuillmarkService1", 0x110, f_.startType, 1, "/x"};
  }

 private:
  std::uint32_t Current() const { return f_.states.empty() ? SERVICE_STOPPED : f_.states.front(); }
  FakeServiceControl& f_;
};

class FakeManager : public Manager {
 public:
  explicit FakeManager(FakeServiceControl& f) : f_(f) {}
  std::unique_ptr<Service> OpenService(const std::string& name, std::uint32_t, Error* err) override {
    f_.calls.push_back("open " + name);
    if (!f_.installed || name != "QuillmarkService1") {
      if (err) *err = MakeError(ERROR_SERVICE_DOES_NOT_EXIST);
      return nullptr;
    }
    return std::make_unique<FakeService>(f_);
  }
  std::unique_ptr<Service> CreateService(const ServiceConfig&, std::uint32_t, Error* err) override {
    if (err) *err = MakeError(ERROR_ACCESS_DENIED);
    return nullptr;
  }

 private:
  FakeServiceControl& f_;
};

}  // namespace

std::unique_ptr<Manager> FakeServiceControl::OpenManager(const std::string&, const std::string&, std::uint32_t access,
                                                         Error* err) {
  calls.push_back("connect");
  if (!managerReachable || access != SC_MANAGER_ALL_ACCESS) {
    if (err) *err = MakeError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return std::make_unique<FakeManager>(*this);
}

int FakeServiceControl::Count(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

namespace {

// Stateless, so threads may share it.
class UnreachableServiceControl : public ServiceControl {
 public:
  std::unique_ptr<Manager> OpenManager(const std::string&, const std::string&, std::uint32_t, Error* err) override {
    if (err) *err = MakeError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  std::string Kind() const override { return "unreachable"; }
};

}  // namespace

void UseFakeServiceControlByDefault() {
  static UnreachableServiceControl unreachable;
  ServiceControlHooks hooks;
  hooks.scm = &unreachable;
  hooks.sleep = [](unsigned) {};
  hooks.launch = [](const std::vector<std::string>&) { return false; };
  SetDefaultServiceControlHooks(std::move(hooks));
}
