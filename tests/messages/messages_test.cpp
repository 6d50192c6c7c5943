// The operator's messages: filled as written, and each one in the guide's
// table, so the guide cannot drift from the program.
#include "messages/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

namespace tolvenar {
namespace {

TEST(MessagesTest, PlaceholdersAreFilledInOrderAndValuesAreNotReread) {
  EXPECT_EQ(FillMessage(kMsgResultRefused, {"7", "500"}),
            "Falha ao devolver comando 7 (HTTP 500).");
  EXPECT_EQ(FillMessage(kMsgCommunicationFailure, {"<status> fica como veio"}),
            "Falha de comunicacao: <status> fica como veio");
  EXPECT_EQ(FillMessage(kMsgResultRefused, {"7"}), "Falha ao devolver comando 7 (HTTP <status>).");
  EXPECT_EQ(FillMessage("a < b <> <C> <x", {"1"}), "a < b <> <C> <x");
  EXPECT_EQ(MessagePrefix(kMsgPollRefused), "Servidor de conexao respondeu HTTP ");
  EXPECT_EQ(MessagePrefix(kMsgEnrolled), kMsgEnrolled);
}

// The kind of each activity-log message, pinned: the journal's priority of
// its entries and whether -check counts it a failure follow from it. A new
// log message must be added here with the kind it is meant to have.
TEST(MessagesTest, EachLogMessageHasItsKind) {
  const std::pair<std::string_view, MessageKind> pinned[] = {
      {kMsgInsecureRefused, MessageKind::kFailure},
      {kMsgCommunicationFailure, MessageKind::kFailure},
      {kMsgEnrollRefused, MessageKind::kWarning},
      {kMsgEnrolled, MessageKind::kNotice},
      {kMsgPollRefused, MessageKind::kWarning},
      {kMsgResultRefused, MessageKind::kWarning},
  };
  size_t log_messages = 0;
  for (const OperatorMessage& message : kOperatorMessages) {
    if (message.where != "log") continue;
    ++log_messages;
    const auto* row = std::find_if(std::begin(pinned), std::end(pinned),
                                   [&](const auto& p) { return p.first == message.text; });
    ASSERT_NE(row, std::end(pinned)) << "log message without a pinned kind: " << message.text;
    EXPECT_EQ(message.kind, row->second) << message.text;
  }
  EXPECT_EQ(log_messages, std::size(pinned));
}

// An entry as the worker writes it, filled with sample values, possibly
// followed by more lines, leads back to its message; nothing else does.
TEST(MessagesTest, FindLogMessageFindsTheMessageAnEntryWasWrittenFrom) {
  for (const OperatorMessage& message : kOperatorMessages) {
    if (message.where != "log") continue;
    const std::string entry = FillMessage(message.text, {"7", "500"});
    EXPECT_EQ(FindLogMessage(entry), &message) << entry;
    EXPECT_EQ(FindLogMessage(entry + "\r\nsegunda linha"), &message) << entry;
    // Cut inside its prefix, the entry is no longer the message's.
    const std::string_view prefix = MessagePrefix(message.text);
    EXPECT_EQ(FindLogMessage(prefix.substr(0, prefix.size() - 1)), nullptr) << entry;
  }
  const std::string others[] = {
      "",
      "x",
      " " + FillMessage(kMsgCommunicationFailure, {"x"}),
      // Messages of the event log and the console are no log entries, even
      // one whose text starts with a placeholder.
      FillMessage(kMsgStartFailure, {"x"}),
      FillMessage(kMsgHistoryEntry, {"2026-12-10 09:05:07", "3 s", "x"}),
      FillMessage(kMsgHistoryFailure, {"3 s", FillMessage(kMsgCommunicationFailure, {"x"})}),
  };
  for (const std::string& entry : others) EXPECT_EQ(FindLogMessage(entry), nullptr) << entry;
}

// The guide's message table: rows whose first cell is a message in
// backticks, exactly as the connector writes it.
std::string GuideTableCells() {
  std::ifstream file(TC_SOURCE_DIR "/docs/LEIAME.md", std::ios::binary);
  std::string cells;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("| `", 0) == 0) cells += line.substr(0, line.find("` |") + 3) + "\n";
  }
  return cells;
}

TEST(MessagesTest, EveryOperatorMessageIsInTheGuidesTable) {
  const std::string cells = GuideTableCells();
  ASSERT_FALSE(cells.empty()) << "docs/LEIAME.md has no message table";
  for (const OperatorMessage& message : kOperatorMessages) {
    // A "|" in a message is written "\|" in a Markdown table.
    std::string cell;
    for (const char c : message.text) {
      if (c == '|') cell += '\\';
      cell += c;
    }
    EXPECT_NE(cells.find("| `" + cell + "` |\n"), std::string::npos)
        << "docs/LEIAME.md lacks a row for this " << message.where << " message:\n| `" << cell
        << "` | ... |";
  }
}

}  // namespace
}  // namespace tolvenar
