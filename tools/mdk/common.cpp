// Option shapes and texts that several commands share.
#include <fmt/format.h>

#include "mdk/commands.h"
#include "mdk/session.h"

namespace mdk {

std::string versionText() {
    // Asked of the library actually linked, not of the header this tool was built with.
    MdkEnv* env = MDK_AllocEnv();
    const long v = env ? static_cast<long>(MDGetEnvMode(env, 10)) : long{MDK_VERSION};
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

std::string examples(std::initializer_list<const char*> lines) {
    std::string text = "\nExample:";
    for (const char* line : lines)
        text += fmt::format("\n  {}", line);
    return text;
}

}  // namespace mdk
