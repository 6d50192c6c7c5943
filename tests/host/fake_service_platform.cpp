#include "host/fake_service_platform.h"

#include "base/exception.h"
#include "env/env.h"

namespace tolvenar::testing {

namespace {

class FakeManager : public ServiceManagerConnection {
 public:
  explicit FakeManager(FakeServicePlatform* owner) : owner_(owner) { ++owner_->manager_opened; }
  ~FakeManager() override { ++owner_->manager_closed; }
  void InstallService(const ServiceInstallRequest& request) override {
    if (!owner_->install_error.empty()) throw EOSError(1073, owner_->install_error);
    owner_->installed.push_back(request);
  }
  void RemoveService(const std::string& name) override {
    if (!owner_->remove_error.empty()) throw EOSError(1060, owner_->remove_error);
    owner_->removed.push_back(name);
  }

 private:
  FakeServicePlatform* owner_;
};

class FakeStatusHandle : public ServiceStatusHandle {
 public:
  explicit FakeStatusHandle(FakeServicePlatform* owner) : owner_(owner) {}
  bool SetStatus(const ServiceStatusRecord& record, std::string* error_text) override {
    owner_->AddRecord(record);
    if (!owner_->set_status_fails) return true;
    *error_text = "status refused";
    return false;
  }

 private:
  FakeServicePlatform* owner_;
};

class FakeEventSource : public EventSource {
 public:
  FakeEventSource(FakeServicePlatform* owner, std::string source)
      : owner_(owner), source_(std::move(source)) {}
  void Report(uint16_t event_type, uint16_t category, uint32_t event_id,
              const std::string& message) override {
    owner_->AddEvent({source_, event_type, category, event_id, message});
  }

 private:
  FakeServicePlatform* owner_;
  std::string source_;
};

}  // namespace

FakeServicePlatform::FakeServicePlatform() : real_(NewServicePlatform(*Env::Default())) {}

FakeServicePlatform::~FakeServicePlatform() = default;

std::vector<ServiceStatusRecord> FakeServicePlatform::Records() {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

std::vector<Report> FakeServicePlatform::Reports() {
  std::vector<Report> reports;
  for (const ServiceStatusRecord& r : Records()) {
    reports.push_back({r.current_state, r.check_point, r.controls_accepted});
  }
  return reports;
}

std::vector<Event> FakeServicePlatform::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

bool FakeServicePlatform::WaitForReports(size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A deadline only against a hang; never reached when the host works.
  return changed_.wait_for(lock, std::chrono::seconds(30),
                           [&] { return records_.size() >= count; });
}

void FakeServicePlatform::AddRecord(const ServiceStatusRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back(record);
  changed_.notify_all();
}

void FakeServicePlatform::AddEvent(Event event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::unique_ptr<ServiceManagerConnection> FakeServicePlatform::OpenServiceManager() {
  if (manager_fails) throw EOSError(5, "Access denied.");
  return std::make_unique<FakeManager>(this);
}

uint32_t FakeServicePlatform::RunDispatcher(const std::vector<std::string>& service_names,
                                            ServiceMainFn service_main, LoopErrorFn on_loop_error) {
  dispatched_names = service_names;
  if (on_dispatch) on_dispatch(service_main, on_loop_error);
  return dispatch_result;
}

std::unique_ptr<ServiceStatusHandle> FakeServicePlatform::RegisterControlHandler(
    const std::string& name, ControlHandlerFn control_handler, std::string* error_text) {
  registered_name = name;
  if (register_fails) {
    *error_text = "handler refused";
    return nullptr;
  }
  handler = control_handler;
  return std::make_unique<FakeStatusHandle>(this);
}

std::unique_ptr<ControlQueueThread> FakeServicePlatform::CreateControlQueueThread(
    std::function<void()> body) {
  return real_->CreateControlQueueThread(std::move(body));
}

std::unique_ptr<EventSource> FakeServicePlatform::OpenEventSource(const std::string& source_name) {
  return std::make_unique<FakeEventSource>(this, source_name);
}

}  // namespace tolvenar::testing
