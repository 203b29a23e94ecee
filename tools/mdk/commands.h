// The commands of mdk, one file each.  Every add* function adds its subcommand to the program
// and gives it a callback that does the work; the callback stores the exit status in `status`
// or throws Failure.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace mdk {

void addCreate(CLI::App& app, int& status);
void addInfo(CLI::App& app, int& status);
void addDump(CLI::App& app, int& status);
void addLoad(CLI::App& app, int& status);
void addGet(CLI::App& app, int& status);
void addPut(CLI::App& app, int& status);
void addDel(CLI::App& app, int& status);
void addScan(CLI::App& app, int& status);
void addCheck(CLI::App& app, int& status);
void addTables(CLI::App& app, int& status);
void addColumns(CLI::App& app, int& status);
void addVersion(CLI::App& app, int& status);
void addServe(CLI::App& app, int& status);

// "mdk 4.2.0 (library 4.2.0)": the tool's version and the library's own (environment mode 10).
std::string versionText();

// Shared option shapes.
void addFileArgument(CLI::App* command, std::string& file);
void addFormatOption(CLI::App* command, std::string& format, const char* fallback);
void addKeyNumberOption(CLI::App* command, int& keyNumber);
void addEncodingOption(CLI::App* command, std::string& encoding);
// --limit N (stored in `limit`; -1 when not given) and --count, for the commands that list
// records.
void addLimitAndCount(CLI::App* command, long& limit, bool& count);
// --nowait and --timeout S: how long the command waits for a lock another process holds.
void addWaitOptions(CLI::App* command);

// The exit statuses, for the program's --help (and so its manual page).
std::string exitStatusText();

// "Example:" followed by the lines, for a command's --help.
std::string examples(std::initializer_list<const char*> lines);

}  // namespace mdk
