#include "host/foreign_files_guard.h"

#include <vector>

#include "base/exception.h"
#include "env/env.h"
#include "messages/messages.h"

namespace tolvenar {

void RefuseFilesOfOtherAccounts(Env& env, const std::string& switch_text) {
  const std::string folder = env.ExecutableDir();
  // The files first: their owner is the account to run as.
  const std::optional<ForeignControl> hold = env.FindForeignControl(
      {folder + "TolvenarConnector.ini", folder + "TolvenarConnector.log", folder});
  if (!hold) return;
  const std::string program =
      folder + env.ExecutableName() + (switch_text.empty() ? "" : " " + switch_text);
  switch (hold->kind) {
    case ForeignControl::Kind::kOwner:
      throw Exception(
          FillMessage(kMsgRootRefusedOwner, {hold->path, hold->account, hold->account, program}));
    case ForeignControl::Kind::kGroupWritable:
      throw Exception(
          FillMessage(kMsgRootRefusedGroup, {hold->path, hold->account, hold->account, program}));
    case ForeignControl::Kind::kOtherWritable:
      throw Exception(
          FillMessage(kMsgRootRefusedOther, {hold->path, hold->path, "<conta>", program}));
  }
}

}  // namespace tolvenar
