// mdk scan: the records that satisfy conditions, filtered inside the library by a restrict
// program: entries stored with MDK_PutRestrictInfo and read with MDK_RestrictedRead (mode 2),
// or with --packed one packed program given to MDK_read_FIRST and MDK_read_ODBC after it.
#include <fmt/format.h>

#include "mdk/columns.h"
#include "mdk/commands.h"
#include "mdk/condition.h"
#include "mdk/encoding.h"
#include "mdk/failure.h"
#include "mdk/rows.h"

namespace mdk {

namespace {

constexpr size_t kMaxEntries = 50;
constexpr size_t kMaxEndKey = 255;  // only the low 8 bits of the end key's length count

struct Options {
    std::string file, format, from, to, encoding;
    std::vector<std::string> where;
    int keyNumber = 1;
    bool packed = false;
    bool count = false;
    long limit = -1;  // -1: no limit
    TableChoice table;
};

std::string keyBytes(const std::string& text, const char* option, Encoding encoding) {
    try {
        return encodeText(text, encoding);
    } catch (const EscapeError& e) {
        throw Failure(fmt::format("{} {}: {}", option, text, e.what()), kExitUsage);
    }
}

// One restricted scan: the first read, then the following ones, each answering a record, -4 at
// the end of the range or of the file, or -1.
class Scan {
  public:
    Scan(OpenFile& file, const Options& o, Encoding e, const FieldNames& names)
        : file_(file), o_(o) {
        for (const std::string& text : o.where)
            conditions_.push_back(parseCondition(text, e, names));
        // A packed program without entries reads unfiltered and without the key range.
        if (o.packed && conditions_.empty()) {
            throw Failure("--packed sends the --where conditions as one program: it needs one",
                          kExitUsage);
        }
        if (conditions_.size() > kMaxEntries) {
            throw Failure(fmt::format("at most {} conditions", kMaxEntries), kExitUsage);
        }
        for (const Condition& c : conditions_) {
            entries_.push_back(restrictEntry(c, file.keyAreaWidth(), file.maxDataLength()));
        }
        const bool indexed = file.kind() == FileKind::Indexed;
        start_ = o.from.empty() ? std::string() : keyBytes(o.from, "--from", e);
        if (indexed && !start_.empty()) start_ = recordNumberKey(start_);
        if (!o.to.empty()) end_ = file.storedKey(keyBytes(o.to, "--to", e), o.keyNumber);
        if (end_.size() > kMaxEndKey) throw Failure("--to is longer than 255 bytes", kExitUsage);
        buffer_.resize(65536 + static_cast<size_t>(std::max(file.keyAreaWidth(), 0)));
    }

    // Reads the first matching record; its result as the restricted reads answer.
    int32_t first() {
        if (o_.packed) {
            const std::string program = packedProgram(entries_, start_, o_.keyNumber);
            // It installs the program and seeks again each time: a busy try is repeated whole.
            return whole(file_.patiently([&] {
                return MDK_read_FIRST(file_.get(), buffer_.data(), size(), MDK_READ_CURRENT,
                                      keyOut_, &keyLength_, endKey(), endLength(), program.data(),
                                      static_cast<int32_t>(program.size()));
            }));
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (MDK_PutRestrictInfo(file_.get(), static_cast<int32_t>(i), &entries_[i]) != 0) {
                file_.fail(fmt::format("--where \"{}\"", o_.where[i]));
            }
        }
        file_.seek(start_, o_.keyNumber);
        return whole(read(MDK_READ_CURRENT));
    }

    int32_t next() { return whole(read(MDK_READ_NEXT)); }

    const std::string& bytes() const { return buffer_; }

  private:
    int32_t read(int32_t option) {
        return stepPatiently(file_.get(), file_.path(), option,
                             [this](int32_t op) { return readOnce(op); });
    }

    int32_t readOnce(int32_t option) {
        if (o_.packed) {
            return MDK_read_ODBC(file_.get(), buffer_.data(), size(), option, keyOut_, &keyLength_,
                                 endKey(), endLength());
        }
        return MDK_RestrictedRead(file_.get(), buffer_.data(), size(), option, keyOut_, &keyLength_,
                                  endKey(), endLength(), MDK_RESTRICT_FILTER);
    }

    // The restricted reads filter only the bytes that fit in the buffer: a longer record was
    // judged on its start (answered -2), or lacked a field that lies further on (code 48).
    // Such a record is judged again, from the current position, with room for all of it.
    int32_t whole(int32_t n) {
        while (n == -2 || (n == -1 && MDK_geterrno(file_.get()) == MDK_E_NOFIELD)) {
            const int32_t length = file_.patiently(
                [&] { return MDK_ExtReadDirect(file_.get(), nullptr, 0, MDK_READ_CURRENT, 0, 0); });
            if (length <= size()) break;
            buffer_.resize(static_cast<size_t>(length));
            n = read(MDK_READ_CURRENT);
        }
        return n;
    }
    int32_t size() const { return static_cast<int32_t>(buffer_.size()); }
    const void* endKey() const { return end_.empty() ? nullptr : end_.data(); }
    int32_t endLength() const { return static_cast<int32_t>(end_.size()); }

    OpenFile& file_;
    const Options& o_;
    std::vector<Condition> conditions_;
    std::vector<MdkRestrictEntry> entries_;  // point into conditions_
    std::string start_, end_;
    std::string buffer_;
    char keyOut_[kMaxEndKey + 2] = {};  // the record's key, or the end key's length + 1
    uint8_t keyLength_ = 0;
};

int run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    const Format format = formatNamed(o.format);
    const FieldCodec codec = textCodec(f, o.encoding, format);
    const std::optional<Table> table = chosenTable(env, o.file, o.table);
    RecordPrinter printer(table, o.table, format, codec);
    FieldNames names;
    if (table) names = [&table](std::string_view name) { return table->place(name); };
    Scan scan(f, o, codec.encoding(), names);
    long matches = 0;
    const auto more = [&] { return o.limit < 0 || matches < o.limit; };
    for (int32_t n = more() ? scan.first() : -4; n != -4; n = more() ? scan.next() : -4) {
        if (n == -1) f.fail(o.file + ": scanning");
        ++matches;
        if (!o.count) printer.print(f.record(scan.bytes(), n));
    }
    if (o.count) fmt::print("{}\n", matches);
    return printer.finish();
}

}  // namespace

void addScan(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "scan",
        "print the records that satisfy every --where condition (all records without one), "
        "filtered inside the library, in key order within an optional key range");
    addFileArgument(command, o->file);
    command->add_option("--where,-w", o->where,
                        "FIELD[@OFFSET] OP VALUE [num] [scale=S] [width=W]; FIELD is key or a data "
                        "field from 1 (with a table: or a column name); OP = != <> < <= > >=; a "
                        "text VALUE is compared with as many bytes of the field as it has; num "
                        "compares numbers, scale=S for S implied decimals in the field");
    addKeyNumberOption(command, o->keyNumber);
    command->add_option("--from", o->from, "start at the first key at or after this one");
    command->add_option("--to", o->to, "stop after the keys that begin with at most this");
    command->add_flag("--packed", o->packed,
                      "send the conditions as one packed program (MDK_read_FIRST) instead of "
                      "entry by entry");
    addLimitAndCount(command, o->limit, o->count);
    addFormatOption(command, o->format, "text");
    addEncodingOption(command, o->encoding);
    addTableOptions(command, o->table, true);
    command->footer(examples({
        "mdk scan customers.dat --where '3 = Oslo'",
        "mdk scan customers.dat --from C00100 --limit 10",
        "mdk scan customers.dat --where '4 >= 1000.50 num' --where 'key@0 < C00020'",
        "mdk scan orders.dat --key 2 --from C00003 --to C00003 --where '2 > 5 num' --count",
        "mdk scan customers.dat --dict sales.ini --table CUSTOMERS --where 'CITY = Oslo'",
    }));
    command->callback([o, &status] { status = run(*o); });
}

}  // namespace mdk
