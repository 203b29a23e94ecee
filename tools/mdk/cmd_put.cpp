// mdk put: writes one record, given as its key and its fields.
#include <fmt/format.h>

#include "mdk/commands.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/rows.h"
#include "mdk/writer.h"

namespace mdk {

namespace {

struct Options {
    std::string file, key;
    std::vector<std::string> fields;
    std::string data, encoding;
    bool hasData = false;
    bool insert = false, update = false;
    bool truncate = false;
};

void run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadWrite);
    Row row{o.key, o.fields, std::nullopt};
    if (o.hasData) row.data = o.data;
    Record record;
    try {
        record = recordOf(row, textCodec(f, o.encoding, Format::Text), f.kind());
    } catch (const EncodingError& e) {  // well-formed, but not for this file
        throw Failure(fmt::format("{}: key \"{}\": {}", o.file, o.key, e.what()));
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("key \"{}\": {}", o.key, e.what()), kExitUsage);
    }
    const WriteMode mode = o.insert   ? WriteMode::Insert
                           : o.update ? WriteMode::Update
                                      : WriteMode::Either;
    const WriteOutcome outcome = writeRecord(f, record, mode, o.truncate);
    if (outcome.kind == WriteOutcome::Refused) {
        throw Failure(fmt::format("{}: key \"{}\": {}", o.file, o.key, outcome.why));
    }
    fmt::print("{}: {} key \"{}\"{}\n", o.file,
               outcome.kind == WriteOutcome::Inserted ? "inserted" : "updated", o.key,
               outcome.cut ? fmt::format(" (data cut to {} bytes)", f.maxDataLength()) : "");
}

}  // namespace

void addPut(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "put", "write one record: insert it, or replace the record with the same primary key");
    addFileArgument(command, o->file);
    command
        ->add_option("KEY", o->key,
                     "the key area's bytes (escaped as dump writes them); indexed files: the "
                     "record number")
        ->required();
    CLI::Option* fields =
        command->add_option("FIELD", o->fields, "the data fields, joined with the separator");
    CLI::Option* data =
        command->add_option("--data", o->data, "all the data bytes at once, instead of fields")
            ->excludes(fields);
    CLI::Option* insert = command->add_flag("--insert", o->insert, "refuse a key that exists");
    command->add_flag("--update", o->update, "refuse a key that does not exist")->excludes(insert);
    command->add_flag("--truncate", o->truncate,
                      "indexed files: store the first record-size bytes of longer data instead of "
                      "refusing the record");
    addEncodingOption(command, o->encoding);
    command->footer(examples({
        "mdk put customers.dat C00099 NO 'Acme Trading' Oslo 1250",
        "mdk put customers.dat C00099 --data 'NO\\x8aAcme' --update",
    }));
    command->callback([o, data, &status] {
        o->hasData = data->count() > 0;
        run(*o);
        status = kExitOk;
    });
}

}  // namespace mdk
