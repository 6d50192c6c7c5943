#include "messages/messages.h"

namespace tolvenar {

namespace {

// Length of the placeholder at `at` ("<" lower-case letters or "_" ">"), 0
// when there is none.
size_t PlaceholderLength(std::string_view text, size_t at) {
  if (text[at] != '<') return 0;
  size_t end = at + 1;
  while (end < text.size() && ((text[end] >= 'a' && text[end] <= 'z') || text[end] == '_')) ++end;
  return end > at + 1 && end < text.size() && text[end] == '>' ? end + 1 - at : 0;
}

}  // namespace

std::string FillMessage(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string out;
  const std::string_view* next = values.begin();
  for (size_t i = 0; i < text.size();) {
    const size_t length = next != values.end() ? PlaceholderLength(text, i) : 0;
    if (length == 0) {
      out.push_back(text[i++]);
      continue;
    }
    out.append(*next++);
    i += length;
  }
  return out;
}

const OperatorMessage* FindLogMessage(std::string_view entry) {
  const OperatorMessage* found = nullptr;
  for (const OperatorMessage& message : kOperatorMessages) {
    if (message.where != "log") continue;
    const std::string_view prefix = MessagePrefix(message.text);
    // A text that starts with a placeholder would begin every entry.
    if (prefix.empty() || entry.substr(0, prefix.size()) != prefix) continue;
    if (found == nullptr || prefix.size() > MessagePrefix(found->text).size()) found = &message;
  }
  return found;
}

}  // namespace tolvenar
