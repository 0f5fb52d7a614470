// Each command of the tool as a function of its parsed command line: it reads the options
// its row of the table declares, turns them into the command's own options and runs it.
// Each returns the process's exit status.
#pragma once

#include "cli/command_table.h"

namespace korvane {

int RunFlash(const Invocation& call);
int RunList(const Invocation& call);
int RunIdentify(const Invocation& call);
int RunUnprotect(const Invocation& call);
int RunPack(const Invocation& call);
int RunJournal(const Invocation& call);
int RunPorts(const Invocation& call);
int RunJournalServe(const Invocation& call);

}  // namespace korvane
