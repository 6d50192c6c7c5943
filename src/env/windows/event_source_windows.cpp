#include "env/windows/env_windows.h"
#include "env/windows/service_windows.h"

namespace tolvenar {

namespace {

// Each event carries its text as its only insertion string. The setup names
// the executable as the sources' message file; its message 0 is that string.
class WindowsEventSource : public EventSource {
 public:
  explicit WindowsEventSource(const std::string& source_name)
      : handle_(RegisterEventSourceW(nullptr, Utf8ToWide(source_name).c_str())) {}
  ~WindowsEventSource() override {
    if (handle_) DeregisterEventSource(handle_);
  }

  void Report(uint16_t event_type, uint16_t category, uint32_t event_id,
              const std::string& message) override {
    const std::wstring text = Utf8ToWide(message);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(handle_, event_type, category, event_id, nullptr, 1, 0, strings, nullptr);
  }

 private:
  HANDLE handle_;
};

}  // namespace

std::unique_ptr<EventSource> WindowsServicePlatform::OpenEventSource(
    const std::string& source_name) {
  return std::make_unique<WindowsEventSource>(source_name);
}

}  // namespace tolvenar
