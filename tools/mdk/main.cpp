// mdk: the command-line tool of the mdnio library.  It works on data files through the public
// C interface; only `create` (the file builder), `check` (the integrity verifier) and `info`
// (the verifier's walk of the key trees) use the library's internal C++ interfaces, which the
// public one does not offer.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "mdk/commands.h"
#include "mdk/failure.h"
#include "mdk/waiting.h"

int main(int argc, char** argv) {
    CLI::App app{"mdk - look inside, load, export, check and filter mdnio data files", "mdk"};
    app.require_subcommand(1, 1);
    app.set_version_flag("--version", mdk::versionText());
    const std::string examples = mdk::examples({
        "mdk create customers.dat --layout customers.json",
        "mdk load customers.dat --input customers.jsonl",
        "mdk dump customers.dat --key 2 --format csv",
        "mdk scan customers.dat --where '3 = Oslo' --where '4 >= 100 num scale=2'",
        "mdk check customers.dat",
        "mdk <command> --help   shows each command's options and an example",
    });
    app.footer(examples + mdk::exitStatusText());

    int status = mdk::kExitOk;
    for (auto add : {mdk::addCreate, mdk::addInfo, mdk::addDump, mdk::addLoad, mdk::addGet,
                     mdk::addPut, mdk::addDel, mdk::addScan, mdk::addCheck, mdk::addTables,
                     mdk::addColumns, mdk::addVersion, mdk::addServe}) {
        add(app, status);
    }
    // Every command that opens a file may meet a lock another process holds.
    for (CLI::App* command : app.get_subcommands({})) {
        if (command->get_name() != "version" && command->get_name() != "serve")
            mdk::addWaitOptions(command);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);  // prints the help, the version or the complaint
        return code == 0 ? mdk::kExitOk : mdk::kExitUsage;
    } catch (const mdk::Failure& e) {
        std::fflush(stdout);
        fmt::print(stderr, "mdk: {}\n", e.what());
        return e.exitStatus();
    } catch (const std::exception& e) {
        // Not a refusal of the library or of the input: memory, or a fault of the tool.
        std::fflush(stdout);
        fmt::print(stderr, "mdk: {}\n", e.what());
        return mdk::kExitFailure;
    }
    return status;
}
