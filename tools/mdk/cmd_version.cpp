// mdk version: the versions of the tool and of the library it runs on.
#include <fmt/format.h>

#include "mdk/commands.h"

namespace mdk {

void addVersion(CLI::App& app, int& status) {
    CLI::App* command = app.add_subcommand("version", "print the versions of mdk and the library");
    command->footer(examples({"mdk version"}));
    command->callback([&status] {
        fmt::print("{}\n", versionText());
        status = 0;
    });
}

}  // namespace mdk
