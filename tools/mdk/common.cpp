// Option shapes and texts that several commands share.
#include <fmt/format.h>

#include "mdk/commands.h"
#include "mdk/failure.h"
#include "mdk/session.h"
#include "mdk/waiting.h"

namespace mdk {

std::string versionText() {
    // Asked of the library actually linked, not of the header this tool was built with.
    MdkEnv* env = MDK_AllocEnv();
    const long v = env ? static_cast<long>(MDGetEnvMode(env, MDK_MODE_VERSION)) : long{MDK_VERSION};
    if (env) MDK_DeAllocEnv(env);
    return fmt::format("mdk {} (library {}.{}.{})", MDK_TOOL_VERSION, v / 1000000, v / 1000 % 1000,
                       v % 1000);
}

void addFileArgument(CLI::App* command, std::string& file) {
    command->add_option("FILE", file, "the data file")->required();
}

void addFormatOption(CLI::App* command, std::string& format, const char* fallback) {
    format = fallback;
    command->add_option("--format", format, "output format")
        ->check(CLI::IsMember({"text", "jsonl", "csv"}))
        ->capture_default_str();
}

void addKeyNumberOption(CLI::App* command, int& keyNumber) {
    keyNumber = 1;
    command->add_option("--key", keyNumber, "the key, numbered from 1 as info lists them (#1...)")
        ->check(CLI::Range(1, 16))
        ->capture_default_str();
}

void addEncodingOption(CLI::App* command, std::string& encoding) {
    encoding = "utf-8";
    command
        ->add_option("--encoding", encoding,
                     "the text's encoding: utf-8 (the file's Windows-1252 letters as UTF-8), "
                     "cp1252 (the file's bytes as they are) or raw (ASCII, other bytes \\xHH)")
        ->check(CLI::IsMember({"utf-8", "utf8", "cp1252", "windows-1252", "raw"}))
        ->capture_default_str();
}

void addLimitAndCount(CLI::App* command, long& limit, bool& count) {
    limit = -1;
    command->add_option("--limit", limit, "stop after N records")
        ->type_name("N")
        ->check(CLI::NonNegativeNumber);
    command->add_flag("--count", count,
                      "print only the number of records (up to --limit), not the records");
}

void addWaitOptions(CLI::App* command) {
    CLI::Option* nowait = command->add_flag_callback(
        "--nowait", [] { setWaitPolicy(WaitPolicy{0}); },
        fmt::format("do not wait for a lock another process holds (an open transaction): exit "
                    "at once with status {}",
                    kExitBusy));
    command
        ->add_option_function<double>(
            "--timeout", [](const double& s) { setWaitPolicy(WaitPolicy{s}); },
            fmt::format("wait at most S seconds for a lock another process holds, then exit with "
                        "status {} (default {:g}; 0: as --nowait)",
                        kExitBusy, WaitPolicy::kDefaultSeconds))
        ->type_name("S")
        ->check(CLI::NonNegativeNumber)
        ->excludes(nowait);
}

std::string exitStatusText() {
    return fmt::format(
        "\n\nExit status:"
        "\n  {:<3} done"
        "\n  {:<3} the library or the file said no (with its message and code), a row was "
        "refused, or the file is not sound"
        "\n  {:<3} the command line, a layout, a condition or an input file is malformed"
        "\n  {:<3} get, del: no record has the key given"
        "\n  {:<3} check: the file could not be opened (missing, held, not readable), so "
        "nothing is known of its soundness"
        "\n  {:<3} a lock another process holds stayed busy (--nowait, --timeout): try again "
        "later"
        "\n  128+N  stopped by signal N (load: SIGINT 130, SIGTERM 143)",
        kExitOk, kExitFailure, kExitUsage, kExitNotFound, kExitCannotOpen, kExitBusy);
}

std::string examples(std::initializer_list<const char*> lines) {
    std::string text = "\nExample:";
    for (const char* line : lines)
        text += fmt::format("\n  {}", line);
    return text;
}

}  // namespace mdk
