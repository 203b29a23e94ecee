// mdk check: the library's integrity verifier on a file.  The exit status is 0 only when the
// file is sound, 1 when it is not (each broken invariant is printed), and kExitCannotOpen when
// the file cannot be opened or locked: that says nothing about its soundness.
#include <fmt/format.h>

#include <fstream>
#include <vector>

#include "mdk/commands.h"
#include "mdk/failure.h"
#include "mdk/session.h"
#include "mdnio_devtools.h"

namespace mdk {

namespace {

struct Options {
    std::string file;
};

struct Verdict {
    std::vector<std::string> problems;  // as listed: the last line may count the others
    size_t count = 0;                   // every problem found, listed or not
    std::string counted;                // what a sound file holds, for the report
};

Verdict verify(FileKind kind, const std::string& path) {
    Verdict v;
    if (kind == FileKind::Indexed) {
        v.problems = mdnio::devtools::verifyIndexedFile(path).problems;
        v.count = v.problems.size();
        return v;
    }
    const mdnio::devtools::VerifyReport report = kind == FileKind::Extended
                                                     ? mdnio::devtools::verifyExtendedFile(path)
                                                     : mdnio::devtools::verifyClassicFile(path);
    v.problems = report.problems;
    v.count = report.count();
    v.counted = fmt::format(", {} record{}", report.records, report.records == 1 ? "" : "s");
    return v;
}

// Open failures that tell nothing of the file's content: it is missing, held by another opener,
// locked, or out of this process's reach.  Any other code is the library's word on the file,
// which the verifier then explains.
bool accessFailure(int code) {
    switch (code) {
        case MDK_E_OPEN:
        case MDK_E_MEMORY:
        case MDK_E_BUSY:
        case MDK_E_NOFILE:
        case MDK_E_HEADERBUSY:
        case MDK_E_HANDLES:
            return true;
        default:
            return false;
    }
}

// The kind a file's magic names, for a file the library will not open: an extended keyed file,
// or else (most likely) a damaged classic keyed file.
FileKind kindByMagic(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char magic[8] = {};
    in.read(magic, sizeof magic);
    return in && std::string(magic, sizeof magic) == "[Mdnky2]" ? FileKind::Extended
                                                                : FileKind::Classic;
}

std::string kindText(FileKind kind) {
    switch (kind) {
        case FileKind::Indexed:
            return "indexed";
        case FileKind::Extended:
            return "extended keyed";
        default:
            return "classic keyed";
    }
}

[[noreturn]] void cannotCheck(const std::string& path, int code) {
    throw Failure(fmt::format("{}: cannot be checked: {}", path, openFailureText(path, code, true)),
                  kExitCannotOpen, code);
}

int run(const Options& o) {
    // The kind decides the verifier: asked of the library, which recognises it at open.  For a
    // file the library will not open the magic decides; the verifier says what is wrong with it.
    FileKind kind = FileKind::Classic;
    std::string openFailure;
    {
        Environment env;
        try {
            OpenFile f(env, o.file, Access::ReadOnly);
            kind = f.kind();
        } catch (const Failure& e) {
            if (e.code() < 0 || e.exitStatus() == kExitBusy) throw;
            if (accessFailure(e.code())) cannotCheck(o.file, e.code());
            openFailure = codeText(e.code());
            kind = kindByMagic(o.file);
        }
    }
    if (kind == FileKind::Other) {
        throw Failure(o.file + ": only keyed and indexed files can be checked");
    }
    const Verdict v = verify(kind, o.file);
    if (!openFailure.empty())
        fmt::print("{}: the library does not open it: {}\n", o.file, openFailure);
    for (const std::string& p : v.problems)
        fmt::print("{}: {}\n", o.file, p);
    if (v.problems.empty() && openFailure.empty()) {
        fmt::print("{}: sound ({} file{})\n", o.file, kindText(kind), v.counted);
        return kExitOk;
    }
    const size_t count = v.count + (openFailure.empty() ? 0 : 1);
    fmt::print("{}: not sound: {} problem{}\n", o.file, count, count == 1 ? "" : "s");
    return kExitFailure;
}

}  // namespace

void addCheck(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "check",
        "verify the integrity of a file: header, key trees, records, block maps and "
        "chains; exit status 0 only when it is sound, 1 when it is not (each broken "
        "invariant is named), 4 when it cannot be opened or locked");
    addFileArgument(command, o->file);
    command->footer(examples({"mdk check customers.dat || echo damaged"}));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
