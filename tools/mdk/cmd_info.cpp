// mdk info: what the library describes of a file (MDDescribeFile, MDDescribeIndex) and the
// header facts a user asks first: kind, counts, size, block size, storage mode, separator,
// keys.  The depth of each key's tree is not in the public interface: the verifier measures the
// trees (only the trees, not the records), as `check` uses it.
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "mdk/commands.h"
#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/layout.h"
#include "mdnio_devtools.h"

namespace mdk {

namespace {

using nlohmann::ordered_json;

struct Options {
    std::string file;
    bool json = false;
    bool layout = false;
};

struct Description {
    MdkFileInfo file{};
    std::vector<MdkKeyInfo> keys;
    std::vector<MdkSegmentInfo> segments;
    long long bytes = 0;  // the file's size (with its segment files)
    unsigned files = 1;
    // Classic files: the shape of each key's tree, or why it could not be measured.
    std::vector<mdnio::devtools::KeyTreeShape> trees;
    std::string treesUnknown;
};

// The trees of a classic file, walked by the verifier without the record checks.  A damaged
// file (or one another process is changing) gives problems instead: the first is kept.
void measureTrees(const std::string& path, Description& d) {
    mdnio::devtools::VerifyOptions options;
    options.treesOnly = true;
    options.maxProblems = 1;
    const mdnio::devtools::VerifyReport report = mdnio::devtools::verifyClassicFile(path, options);
    d.bytes = report.bytes;
    d.files = report.files;
    if (report.ok()) {
        d.trees = report.trees;
    } else {
        d.treesUnknown = report.problems.front();
    }
}

long long fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

Description describe(OpenFile& f) {
    Description d;
    if (MDDescribeFile(f.get(), &d.file) != 1) f.fail(f.path() + ": describing the file");
    int32_t keyCount = 0, segmentCount = 0;
    if (f.kind() == FileKind::Indexed) {
        keyCount = segmentCount = 1;  // the record number; the counts are not reported
    } else if (MDDescribeIndex(f.get(), 0, &keyCount, &segmentCount, nullptr, nullptr) != 1) {
        f.fail(f.path() + ": counting the keys");
    }
    d.keys.resize(static_cast<size_t>(keyCount));
    d.segments.resize(static_cast<size_t>(segmentCount));
    if (MDDescribeIndex(f.get(), 0, &keyCount, &segmentCount, d.keys.data(), d.segments.data()) !=
        1) {
        f.fail(f.path() + ": describing the keys");
    }
    if (f.kind() == FileKind::Classic) {
        measureTrees(f.path(), d);
    } else {
        d.bytes = fileSize(f.path());
    }
    return d;
}

std::string kindName(const MdkFileInfo& info) {
    switch (info.formatCode) {
        case 1:
            return "indexed file";
        case 2:
            return "classic keyed file";
        case 3:
            return "extended keyed file";
        default:
            return fmt::format("file of format {}", info.formatCode);
    }
}

std::string separatorText(int separator) {
    if (separator < 0) return "none: fields are length-prefixed";
    return fmt::format("0x{:02x}{}", separator, separator == 0x8A ? " (the default)" : "");
}

std::string segmentText(const mdnio::devtools::Segment& s) {
    std::string where = s.field == mdnio::devtools::kKeyAreaField ? "key area"
                        : s.field == 0                            ? "whole data"
                                       : fmt::format("field {}", s.field);
    std::string text = fmt::format("{} bytes of {} from offset {}", s.length, where, s.offset);
    if (s.descending) text += ", descending";
    for (const SegmentOption& o : kSegmentOptions) {
        if (s.options & o.bit) text += fmt::format(", {}", o.name);
    }
    if (s.nullByte) text += fmt::format(", null byte 0x{:02x}", s.nullByte);
    return text;
}

// Each file of a classic file (the base file and every segment file) holds 512 bytes before its
// first block: the header, or the segment file's head.
constexpr long long kBeforeBlocks = 512;

// Block mode: the blocks of all the files; slot mode mixes blocks and record slots.
std::optional<long long> blockCount(const Description& d, const Layout& layout) {
    const auto& c = layout.classic;
    if (layout.kind != FileKind::Classic || !c.blockMode || c.blockSize == 0) return std::nullopt;
    return std::max(d.bytes - kBeforeBlocks * d.files, 0LL) / c.blockSize;
}

std::string sizeText(const Description& d, const Layout& layout) {
    std::string text = fmt::format("{} bytes", d.bytes);
    if (const auto blocks = blockCount(d, layout)) {
        text += fmt::format(", {} blocks of {} bytes", *blocks, layout.classic.blockSize);
    } else if (layout.kind == FileKind::Classic) {
        text += " (slot mode: key blocks and record slots side by side)";
    }
    if (d.files > 1) {
        text += fmt::format(", in the file and {} segment file{}", d.files - 1,
                            d.files == 2 ? "" : "s");
    }
    return text;
}

std::string plural(long long n, const char* one, const char* many) {
    return fmt::format("{} {}", n, n == 1 ? one : many);
}

std::string treeText(const mdnio::devtools::KeyTreeShape& t) {
    if (t.depth == 0) return "tree: empty";
    return fmt::format("tree: {} deep, {}, {}", plural(t.depth, "level", "levels"),
                       plural(t.blocks, "block", "blocks"), plural(t.entries, "entry", "entries"));
}

void printText(OpenFile& f, const Description& d, const Layout& layout) {
    const MdkFileInfo& i = d.file;
    const auto* header = reinterpret_cast<const char*>(MDGetEnvMode(f.get(), MDK_FILE_HEADER));
    fmt::print("{}\n", f.path());
    fmt::print("  kind         {} ({})\n", kindName(i), printable(std::string(header, 8)));
    fmt::print("  records      {}", i.recordCountLow);
    fmt::print("{}\n", i.capacityLow
                           ? fmt::format(" of at most {}", static_cast<uint32_t>(i.capacityLow))
                           : std::string(" (no maximum)"));
    if (layout.kind == FileKind::Indexed) {
        fmt::print("  record size  {} bytes\n", i.maxDataLength);
    } else {
        const auto& c = layout.classic;
        fmt::print("  storage      {} mode, {}-byte blocks{}\n", c.blockMode ? "block" : "slot",
                   c.blockSize,
                   c.blockMode ? fmt::format(", fill threshold {}%", c.fillPercent) : "");
        fmt::print("  record size  {} bytes of data, key area of {} bytes\n", i.maxDataLength,
                   f.keyAreaWidth());
        fmt::print("  compression  {}\n", c.compress ? "yes" : "no");
    }
    fmt::print("  size         {}\n", sizeText(d, layout));
    fmt::print("  separator    {}\n", separatorText(f.separator()));
    fmt::print("  keys         {}\n", d.keys.size());
    for (size_t k = 0; k < d.keys.size(); ++k) {
        const MdkKeyInfo& key = d.keys[k];
        std::string flags;
        if (key.keyFlags & MDK_KEY_UNIQUE) flags += ", unique";
        if (key.keyFlags & MDK_KEY_SEQUENCE) flags += ", ends in a sequence number";
        fmt::print("    {:<4} {} bytes{}\n", key.keyName, key.keyLength, flags);
        if (layout.kind == FileKind::Indexed) {
            fmt::print("         the record number, as 8 digits\n");
        } else if (k < layout.classic.keys.size()) {
            for (const mdnio::devtools::Segment& s : layout.classic.keys[k].segments)
                fmt::print("         {}\n", segmentText(s));
        }
        if (k < d.trees.size()) fmt::print("         {}\n", treeText(d.trees[k]));
    }
    if (!d.treesUnknown.empty()) {
        fmt::print("  trees        not measured: {} (mdk check tells more)\n", d.treesUnknown);
    }
}

void printJson(OpenFile& f, const Description& d, const Layout& layout) {
    const MdkFileInfo& i = d.file;
    const auto* header = reinterpret_cast<const char*>(MDGetEnvMode(f.get(), MDK_FILE_HEADER));
    ordered_json j;
    j["file"] = f.path();
    j["kind"] = layout.kind == FileKind::Indexed ? "indexed" : "classic";
    j["magic"] = printable(std::string(header, 8));
    j["records"] = i.recordCountLow;
    j["separator"] = f.separator();
    j["keyAreaWidth"] = f.keyAreaWidth();
    j["bytes"] = d.bytes;
    if (d.files > 1) j["segmentFiles"] = d.files - 1;
    if (const auto blocks = blockCount(d, layout)) j["blocks"] = *blocks;
    if (layout.kind == FileKind::Classic) {
        ordered_json trees = ordered_json::array();
        for (const mdnio::devtools::KeyTreeShape& t : d.trees)
            trees.push_back({{"depth", t.depth}, {"blocks", t.blocks}, {"entries", t.entries}});
        j["trees"] = trees;
        if (!d.treesUnknown.empty()) j["treesNotMeasured"] = d.treesUnknown;
    }
    ordered_json file;
    file["capacityLow"] = i.capacityLow;
    file["capacityHigh"] = i.capacityHigh;
    file["recordCountLow"] = i.recordCountLow;
    file["recordCountHigh"] = i.recordCountHigh;
    file["value5Low"] = i.value5Low;
    file["value5High"] = i.value5High;
    file["value7"] = i.value7;
    file["describeFlags"] = i.describeFlags;
    file["formatCode"] = i.formatCode;
    file["maxDataLength"] = i.maxDataLength;
    file["keyCount"] = i.keyCount;
    file["blockSizeCode"] = i.blockSizeCode;
    file["segmentCount"] = i.segmentCount;
    file["flagsC"] = i.flagsC;
    file["separator"] = i.separator;
    j["describeFile"] = file;
    ordered_json keys = ordered_json::array();
    size_t segment = 0;
    for (const MdkKeyInfo& key : d.keys) {
        ordered_json k;
        k["keyName"] = std::string(key.keyName, strnlen(key.keyName, sizeof key.keyName));
        k["keyLength"] = key.keyLength;
        k["segmentCount"] = key.segmentCount;
        k["keyFlags"] = key.keyFlags;
        ordered_json segments = ordered_json::array();
        for (int s = 0; s < key.segmentCount; ++s, ++segment) {
            const MdkSegmentInfo& si = d.segments[segment];
            segments.push_back({{"segLength", si.segLength},
                                {"segByte1", si.segByte1},
                                {"segFlags", si.segFlags},
                                {"segField", si.segField},
                                {"segValue", si.segValue}});
        }
        k["segments"] = segments;
        keys.push_back(k);
    }
    j["describeIndex"] = keys;
    j["layout"] = layoutToJson(layout);
    fmt::print("{}\n", j.dump(2));
}

void run(const Options& o) {
    Environment env;
    OpenFile f(env, o.file, Access::ReadOnly);
    if (f.kind() == FileKind::Other) {
        throw Failure(o.file + ": only classic keyed and indexed files can be described");
    }
    const Description d = describe(f);
    const Layout layout = layoutOfFile(f);
    if (o.layout) {
        fmt::print("{}\n", layoutToJson(layout).dump(2));
    } else if (o.json) {
        printJson(f, d, layout);
    } else {
        printText(f, d, layout);
    }
}

}  // namespace

void addInfo(CLI::App& app, int& status) {
    auto o = std::make_shared<Options>();
    CLI::App* command = app.add_subcommand(
        "info", "describe a data file: kind, record count, sizes, storage, separator and keys");
    addFileArgument(command, o->file);
    command->add_flag("--json", o->json,
                      "print JSON: the library's descriptions as they are, and the layout that "
                      "create --layout takes");
    command->add_flag("--layout", o->layout,
                      "print only the layout, as create --layout takes it (to make a file like "
                      "this one, edited)");
    command->footer(examples({"mdk info customers.dat", "mdk info customers.dat --json",
                              "mdk info customers.dat --layout > customers.json"}));
    command->callback([o, &status] {
        run(*o);
        status = kExitOk;
    });
}

}  // namespace mdk
