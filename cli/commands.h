// The commands of q55x. Each registers its options on the parser and runs with the context.
#pragma once
#include <CLI/CLI.hpp>

#include <functional>

#include "cli/context.h"

namespace cli {

using Runner = std::function<int(Context&)>;

// Each returns the function that runs the command once the parser has filled its options.
Runner addRawCommand(CLI::App& app);
Runner addSimCommand(CLI::App& app);
Runner addListCommand(CLI::App& app);
Runner addInfoCommand(CLI::App& app);
Runner addImageCommand(CLI::App& app);
Runner addUpdateCommand(CLI::App& app);
Runner addFlashCommand(CLI::App& app);
Runner addRecoverCommand(CLI::App& app);
Runner addJournalCommand(CLI::App& app);
Runner addBackupCommand(CLI::App& app);
Runner addVerifyCommand(CLI::App& app);

// q55x recover with no journal open: the bank recovery of the QVR256 and QVR253.
int runBankRecovery(Context& ctx);

}  // namespace cli
