#include "support/fake_env.h"

#include "base/exception.h"

namespace tolvenar::testing {

namespace {
constexpr const char* kMarker = "PROT:";
}

std::string FakeProtector::Protect(const std::string& plain) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_;
  if (fail_protect_) throw EOSError(13, "Permission denied");
  return kMarker + plain;
}

std::string FakeProtector::Unprotect(const std::string& blob) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++calls_;
  if (blob.rfind(kMarker, 0) != 0) throw EOSError(13, "The data is invalid.");
  return blob.substr(5);
}

class FakeTransport : public HttpTransport {
 public:
  explicit FakeTransport(FakeHttp* owner) : owner_(owner) {}
  HttpResponse Send(const HttpRequest& request) override { return owner_->Handle(request); }

 private:
  FakeHttp* owner_;
};

void FakeHttp::SetHandler(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<HttpRequest> FakeHttp::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void FakeHttp::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
}

std::unique_ptr<HttpTransport> FakeHttp::NewTransport() {
  return std::make_unique<FakeTransport>(this);
}

HttpResponse FakeHttp::Handle(const HttpRequest& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    handler = handler_;
  }
  if (!handler) throw Exception("Error sending data: (7) Couldn't connect to server");
  return handler(request);
}

FakeEnv::FakeEnv(std::string dir) : EnvWrapper(Env::Default()), dir_(std::move(dir)) {}

void FakeEnv::SleepMs(int milliseconds) {
  std::function<void(int)> on_sleep;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sleeps_.push_back(milliseconds);
    on_sleep = on_sleep_;
  }
  if (on_sleep) on_sleep(milliseconds);
}

std::vector<int> FakeEnv::Sleeps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

}  // namespace tolvenar::testing
