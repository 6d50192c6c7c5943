// The operator's messages: filled as written, and each one in the guide's
// table, so the guide cannot drift from the program.
#include "messages/messages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

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
