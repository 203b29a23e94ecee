#include "mdk/layout.h"

#include <fmt/format.h>

#include <cstring>
#include <set>
#include <type_traits>
#include <vector>

#include "mdk/escape.h"
#include "mdk/failure.h"
#include "mdk/fields.h"

namespace mdk {

namespace dt = mdnio::devtools;
using dt::ClassicLayout;
using dt::IndexedLayout;
using nlohmann::json;
using nlohmann::ordered_json;

const SegmentOption kSegmentOptions[11] = {
    {"upper", MDK_SEG_UPPER},
    {"lower", MDK_SEG_LOWER},
    {"fold-accents", MDK_SEG_FOLD_ACCENTS},
    {"reverse", MDK_SEG_REVERSE},
    {"null", MDK_SEG_NULL},
    {"null-counting", MDK_SEG_NULL_COUNTING},
    {"auto-number", MDK_SEG_AUTO_NUMBER},
    {"stop-at-zero", MDK_SEG_STOP_AT_ZERO},
    {"auto-number-text-zero", MDK_SEG_AUTO_TEXT_ZERO},
    {"auto-number-text", MDK_SEG_AUTO_TEXT},
    {"flip-sign", MDK_SEG_FLIP_SIGN},
};

namespace {

// Classic header bytes the description does not carry.
constexpr size_t kHeaderFlagsA = 241;
constexpr size_t kHeaderFill = 242;
constexpr uint8_t kFlagCounterCheck = 0x40;

[[noreturn]] void refuse(const std::string& where, const std::string& why) {
    throw Failure(fmt::format("layout: {}: {}", where, why), kExitUsage);
}

// Reads the members of one JSON object, refusing members it was not asked about: a misspelt
// member must not silently leave a default in place.
class Members {
  public:
    Members(const json& object, std::string where) : object_(object), where_(std::move(where)) {
        if (!object_.is_object()) refuse(where_, "must be a JSON object");
    }
    // Refuses the members no one asked for.
    void done() const {
        for (const auto& [name, value] : object_.items()) {
            if (!seen_.count(name)) refuse(where_, fmt::format("unknown member \"{}\"", name));
        }
    }

    const json* find(const char* name) {
        seen_.insert(name);
        auto it = object_.find(name);
        return it == object_.end() ? nullptr : &*it;
    }
    std::string at(const char* name) const { return where_ + "." + name; }

    long integer(const char* name, long fallback, long low, long high) {
        const json* v = find(name);
        if (!v) return fallback;
        if (!v->is_number_integer()) refuse(at(name), "must be a whole number");
        const long n = v->get<long>();
        if (n < low || n > high) refuse(at(name), fmt::format("{} is not in {}..{}", n, low, high));
        return n;
    }
    bool flag(const char* name, bool fallback) {
        const json* v = find(name);
        if (!v) return fallback;
        if (!v->is_boolean()) refuse(at(name), "must be true or false");
        return v->get<bool>();
    }
    std::string text(const char* name, const std::string& fallback) {
        const json* v = find(name);
        if (!v) return fallback;
        if (!v->is_string()) refuse(at(name), "must be a string");
        return v->get<std::string>();
    }
    const std::string& where() const { return where_; }

  private:
    const json& object_;
    std::string where_;
    std::set<std::string> seen_;
};

// "default", "length-prefixed"/"none", a one-byte string or a number: the separator as
// MDGetEnvMode answers it (-1 none), or -2 for the default.
constexpr int kDefaultSeparator = -2;

int separatorFrom(Members& m) {
    const json* v = m.find("separator");
    if (!v) return kDefaultSeparator;
    if (v->is_number_integer()) {
        const long n = v->get<long>();
        if (n < 0 || n > 255) refuse(m.at("separator"), fmt::format("{} is not a byte", n));
        return static_cast<int>(n);
    }
    if (!v->is_string()) refuse(m.at("separator"), "must be a string or a number");
    const std::string text = v->get<std::string>();
    if (text == "default") return kDefaultSeparator;
    if (text == "length-prefixed" || text == "none") return FieldCodec::kLengthPrefixed;
    std::string bytes;
    try {
        bytes = unescape(text);
    } catch (const EscapeError& e) {
        refuse(m.at("separator"), e.what());
    }
    if (bytes.size() != 1) {
        refuse(m.at("separator"),
               "must be \"default\", \"length-prefixed\", one byte (\"|\", \"\\\\x01\") or a "
               "number");
    }
    return static_cast<uint8_t>(bytes[0]);
}

uint16_t optionsFrom(Members& m) {
    const json* v = m.find("options");
    if (!v) return 0;
    if (!v->is_array()) refuse(m.at("options"), "must be an array of option names");
    uint16_t bits = 0;
    for (const json& name : *v) {
        const SegmentOption* found = nullptr;
        if (name.is_string()) {
            for (const SegmentOption& o : kSegmentOptions) {
                if (name.get<std::string>() == o.name) found = &o;
            }
        }
        if (!found) {
            std::string known;
            for (const SegmentOption& o : kSegmentOptions)
                known += std::string(" ") + o.name;
            refuse(m.at("options"),
                   fmt::format("{} is not an option; options:{}", name.dump(), known));
        }
        bits |= found->bit;
    }
    return bits;
}

dt::Segment segmentFrom(const json& j, const std::string& where) {
    Members m(j, where);
    dt::Segment s;
    const json* field = m.find("field");
    if (!field) refuse(where, "needs \"field\": \"key\" or a field number");
    if (field->is_string() && field->get<std::string>() == "key") {
        s.field = dt::kKeyAreaField;
    } else if (field->is_number_integer() && field->get<long>() >= 0 && field->get<long>() <= 254) {
        s.field = static_cast<uint16_t>(field->get<long>());
    } else {
        refuse(m.at("field"), "must be \"key\" (the key area) or a field number 0..254");
    }
    s.offset = static_cast<uint16_t>(m.integer("offset", 0, 0, 4095));
    if (!m.find("length")) refuse(where, "needs \"length\"");
    s.length = static_cast<uint8_t>(m.integer("length", 0, 1, 127));
    s.descending = m.flag("descending", false);
    s.options = optionsFrom(m);
    s.nullByte = static_cast<uint8_t>(m.integer("null", 0, 0, 255));
    m.done();
    return s;
}

// The keys of a layout, at most `most`; with `names`, each key may carry a "name".
std::vector<dt::Key> keysFrom(Members& top, size_t most, std::vector<std::string>* names) {
    const json* keys = top.find("keys");
    if (!keys || !keys->is_array() || keys->empty() || keys->size() > most) {
        refuse(top.at("keys"), fmt::format("needs an array of 1 to {} keys", most));
    }
    std::vector<dt::Key> out;
    for (size_t k = 0; k < keys->size(); ++k) {
        const std::string where = fmt::format("{}[{}]", top.at("keys"), k);
        Members m((*keys)[k], where);
        dt::Key key;
        if (m.flag("unique", false)) {
            if (k == 0) refuse(m.at("unique"), "the primary key (the first) is always unique");
            key.unique = true;
        }
        if (m.flag("sequence", false)) {
            if (k != 0) refuse(m.at("sequence"), "only the primary key (the first) takes one");
            key.sequence = true;
        }
        if (names) names->push_back(m.text("name", ""));
        const json* segments = m.find("segments");
        if (!segments || !segments->is_array() || segments->empty()) {
            refuse(m.at("segments"), "needs an array of segments");
        }
        for (size_t i = 0; i < segments->size(); ++i) {
            key.segments.push_back(
                segmentFrom((*segments)[i], fmt::format("{}[{}]", m.at("segments"), i)));
        }
        out.push_back(key);
        m.done();
    }
    return out;
}

Layout classicFrom(Members& m) {
    Layout out;
    out.kind = FileKind::Classic;
    ClassicLayout& l = out.classic;
    const std::string storage = m.text("storage", "block");
    if (storage != "block" && storage != "slot") refuse(m.at("storage"), "must be block or slot");
    l.blockMode = storage == "block";
    l.blockSize = static_cast<int>(m.integer("blockSize", 4096, 1024, 131072));
    l.recordSize = static_cast<int>(m.integer("recordSize", 0, 0, 32767));
    l.keyAreaSize = static_cast<int>(m.integer("keyAreaSize", 0, 0, 127));
    l.maxRecords = static_cast<uint32_t>(m.integer("maxRecords", 0, 0, 0xFFFFFFFFL));
    l.compress = m.flag("compress", false);
    l.fillPercent = static_cast<int>(m.integer("fillPercent", 10, 0, 100));
    const int separator = separatorFrom(m);
    if (separator == FieldCodec::kLengthPrefixed) {
        l.separator = ClassicLayout::Separator::LengthPrefixed;
    } else if (separator >= 0) {
        l.separator = ClassicLayout::Separator::Byte;
        l.separatorByte = static_cast<uint8_t>(separator);
    }
    l.padSignificant = m.flag("padSignificant", false);
    l.counterCheck = m.flag("counterCheck", false);
    l.newRecordOnUpdate = m.flag("newRecordOnUpdate", false);
    const std::string magic = m.text("magic", "[Mdnkey]");
    if (magic != "[Mdnkey]" && magic != "[Tjwkey]") {
        refuse(m.at("magic"), "must be [Mdnkey] or [Tjwkey]");
    }
    l.tjwMagic = magic == "[Tjwkey]";
    l.keys = keysFrom(m, 16, nullptr);
    m.done();
    return out;
}

Layout indexedFrom(Members& m) {
    Layout out;
    out.kind = FileKind::Indexed;
    if (!m.find("recordSize")) refuse(m.where(), "an indexed file needs \"recordSize\"");
    IndexedLayout& l = out.indexed;
    l.recordSize = static_cast<int>(m.integer("recordSize", 0, 1, 32767));
    l.maxRecords = static_cast<uint32_t>(m.integer("maxRecords", 0, 0, 0xFFFFFFFFL));
    const int separator = separatorFrom(m);
    if (separator == FieldCodec::kLengthPrefixed) {
        l.separator = IndexedLayout::Separator::None;
    } else if (separator >= 0) {
        l.separator = IndexedLayout::Separator::Byte;
        l.separatorByte = static_cast<uint8_t>(separator);
    }
    m.done();
    return out;
}

Layout extendedFrom(Members& m) {
    Layout out;
    out.kind = FileKind::Extended;
    dt::ExtendedLayout& l = out.extended;
    l.blockSize = static_cast<int>(m.integer("blockSize", 4096, 4096, 65536));
    l.maxDataLength = static_cast<int>(m.integer("maxDataLength", 0, 0, 32767));
    l.keyAreaSize = static_cast<int>(m.integer("keyAreaSize", 0, 0, 127));
    l.maxRecords = static_cast<uint64_t>(m.integer("maxRecords", 0, 0, 0x7FFFFFFFFFFFFFFFL));
    l.compress = m.flag("compress", false);
    const int separator = separatorFrom(m);
    if (separator == FieldCodec::kLengthPrefixed) {
        l.separator = dt::ExtendedLayout::Separator::LengthCoded;
    } else if (separator >= 0) {
        l.separator = dt::ExtendedLayout::Separator::Byte;
        l.separatorByte = static_cast<uint8_t>(separator);
    }
    l.fullLengthKeys = m.flag("fullLengthKeys", false);
    l.newRecordOnUpdate = m.flag("newRecordOnUpdate", false);
    l.stepBackIgnoringSuffixOnly = m.flag("stepBackIgnoringSuffixOnly", false);
    l.largeFile = m.flag("largeFile", false);
    l.emptyGroups = static_cast<unsigned>(m.integer("emptyGroups", 0, 0, 65535));
    std::vector<std::string> names;
    const std::vector<dt::Key> keys = keysFrom(m, 255, &names);
    for (size_t k = 0; k < keys.size(); ++k) {
        dt::ExtendedKey key;
        static_cast<dt::Key&>(key) = keys[k];
        key.name = names[k];
        l.keys.push_back(key);
    }
    m.done();
    return out;
}

ordered_json separatorJson(int separator, bool indexed) {
    if (separator == kDefaultSeparator) return "default";
    if (separator == FieldCodec::kLengthPrefixed) return indexed ? "none" : "length-prefixed";
    return escape(std::string(1, static_cast<char>(separator)));
}

ordered_json optionsJson(uint16_t bits) {
    ordered_json names = ordered_json::array();
    for (const SegmentOption& o : kSegmentOptions) {
        if (bits & o.bit) names.push_back(o.name);
    }
    return names;
}

ordered_json keyJson(const dt::Key& key) {
    ordered_json kj;
    kj["unique"] = key.unique;
    kj["sequence"] = key.sequence;
    ordered_json segments = ordered_json::array();
    for (const dt::Segment& s : key.segments) {
        ordered_json sj;
        if (s.field == dt::kKeyAreaField) {
            sj["field"] = "key";
        } else {
            sj["field"] = s.field;
        }
        sj["offset"] = s.offset;
        sj["length"] = s.length;
        sj["descending"] = s.descending;
        sj["options"] = optionsJson(s.options);
        sj["null"] = s.nullByte;
        segments.push_back(sj);
    }
    kj["segments"] = segments;
    return kj;
}

template <typename K>
ordered_json keysJson(const std::vector<K>& keys) {
    ordered_json out = ordered_json::array();
    for (const K& key : keys) {
        ordered_json kj = keyJson(key);
        if constexpr (std::is_same_v<K, dt::ExtendedKey>) kj["name"] = key.name;
        out.push_back(kj);
    }
    return out;
}

ordered_json classicJson(const ClassicLayout& l) {
    ordered_json j;
    j["kind"] = "classic";
    j["storage"] = l.blockMode ? "block" : "slot";
    j["blockSize"] = l.blockSize;
    j["recordSize"] = l.recordSize;
    j["keyAreaSize"] = l.keyAreaSize;
    j["maxRecords"] = l.maxRecords;
    j["compress"] = l.compress;
    j["fillPercent"] = l.fillPercent;
    int separator = kDefaultSeparator;
    if (l.separator == ClassicLayout::Separator::Byte) separator = l.separatorByte;
    if (l.separator == ClassicLayout::Separator::LengthPrefixed) {
        separator = FieldCodec::kLengthPrefixed;
    }
    j["separator"] = separatorJson(separator, false);
    j["padSignificant"] = l.padSignificant;
    j["counterCheck"] = l.counterCheck;
    j["newRecordOnUpdate"] = l.newRecordOnUpdate;
    j["magic"] = l.tjwMagic ? "[Tjwkey]" : "[Mdnkey]";
    j["keys"] = keysJson(l.keys);
    return j;
}

ordered_json indexedJson(const IndexedLayout& l) {
    ordered_json j;
    j["kind"] = "indexed";
    j["recordSize"] = l.recordSize;
    j["maxRecords"] = l.maxRecords;
    int separator = kDefaultSeparator;
    if (l.separator == IndexedLayout::Separator::Byte) separator = l.separatorByte;
    if (l.separator == IndexedLayout::Separator::None) separator = FieldCodec::kLengthPrefixed;
    j["separator"] = separatorJson(separator, true);
    return j;
}

ordered_json extendedJson(const dt::ExtendedLayout& l) {
    ordered_json j;
    j["kind"] = "extended";
    j["blockSize"] = l.blockSize;
    j["maxDataLength"] = l.maxDataLength;
    j["keyAreaSize"] = l.keyAreaSize;
    j["maxRecords"] = l.maxRecords;
    j["compress"] = l.compress;
    int separator = kDefaultSeparator;
    if (l.separator == dt::ExtendedLayout::Separator::Byte) separator = l.separatorByte;
    if (l.separator == dt::ExtendedLayout::Separator::LengthCoded) {
        separator = FieldCodec::kLengthPrefixed;
    }
    j["separator"] = separatorJson(separator, false);
    j["fullLengthKeys"] = l.fullLengthKeys;
    j["newRecordOnUpdate"] = l.newRecordOnUpdate;
    j["stepBackIgnoringSuffixOnly"] = l.stepBackIgnoringSuffixOnly;
    j["largeFile"] = l.largeFile;
    j["emptyGroups"] = l.emptyGroups;
    j["keys"] = keysJson(l.keys);
    return j;
}

// The layout member the builder found at fault, named as in the JSON: "layout.keys[1]" or
// "layout.keys[1].segments[0]".
std::string memberAt(const dt::LayoutFault& fault) {
    std::string member = fmt::format("layout.keys[{}]", fault.key);
    if (fault.segment >= 0) member += fmt::format(".segments[{}]", fault.segment);
    return member;
}

}  // namespace

Layout layoutFromJson(const json& j) {
    Members m(j, "layout");
    const std::string kind = m.text("kind", "classic");
    if (kind == "classic") return classicFrom(m);
    if (kind == "indexed") return indexedFrom(m);
    if (kind == "extended") return extendedFrom(m);
    refuse(m.at("kind"), "must be classic, indexed or extended");
}

ordered_json layoutToJson(const Layout& layout) {
    switch (layout.kind) {
        case FileKind::Indexed:
            return indexedJson(layout.indexed);
        case FileKind::Extended:
            return extendedJson(layout.extended);
        default:
            return classicJson(layout.classic);
    }
}

Layout layoutOfFile(OpenFile& file) {
    MdkFileInfo info{};
    if (MDDescribeFile(file.get(), &info) != 1) file.fail(file.path() + ": describing the file");
    Layout out;
    if (info.formatCode == MDK_FORMAT_INDEXED) {
        out.kind = FileKind::Indexed;
        IndexedLayout& l = out.indexed;
        l.recordSize = info.maxDataLength;
        l.maxRecords = static_cast<uint32_t>(info.capacityLow);
        if (info.describeFlags & MDK_DESCRIBE_NO_SEPARATOR) {
            l.separator = IndexedLayout::Separator::None;
        } else if (info.describeFlags & MDK_DESCRIBE_SEPARATOR_BYTE) {
            l.separator = IndexedLayout::Separator::Byte;
            l.separatorByte = info.separator;
        }
        return out;
    }
    if (file.kind() != FileKind::Classic) {
        throw Failure(file.path() + ": only classic keyed and indexed files have a layout here");
    }
    ClassicLayout& l = out.classic;
    const auto* header =
        reinterpret_cast<const uint8_t*>(MDGetEnvMode(file.get(), MDK_FILE_HEADER));
    l.blockMode = info.describeFlags & MDK_DESCRIBE_BLOCK_MODE;
    l.blockSize = info.blockSizeCode * 1024;
    l.recordSize = info.maxDataLength;
    l.keyAreaSize = file.keyAreaWidth();
    l.maxRecords = static_cast<uint32_t>(info.capacityLow);
    l.compress = info.describeFlags & MDK_DESCRIBE_COMPRESSED;
    l.fillPercent = header[kHeaderFill];
    if (info.describeFlags & MDK_DESCRIBE_NO_SEPARATOR) {
        l.separator = ClassicLayout::Separator::LengthPrefixed;
    } else if (info.describeFlags & MDK_DESCRIBE_SEPARATOR_BYTE) {
        l.separator = ClassicLayout::Separator::Byte;
        l.separatorByte = info.separator;
    }
    l.padSignificant = info.describeFlags & MDK_DESCRIBE_PAD_SIGNIFICANT;
    l.counterCheck = header[kHeaderFlagsA] & kFlagCounterCheck;
    l.newRecordOnUpdate = info.describeFlags & MDK_DESCRIBE_NEW_RECORD_ON_UPDATE;
    l.tjwMagic = std::memcmp(header, "[Tjwkey]", 8) == 0;

    int32_t keyCount = 0, segmentCount = 0;
    if (MDDescribeIndex(file.get(), 0, &keyCount, &segmentCount, nullptr, nullptr) != 1) {
        file.fail(file.path() + ": describing the keys");
    }
    std::vector<MdkKeyInfo> keys(static_cast<size_t>(keyCount));
    std::vector<MdkSegmentInfo> segments(static_cast<size_t>(segmentCount));
    segmentCount = 0;
    if (MDDescribeIndex(file.get(), 0, &keyCount, &segmentCount, keys.data(), segments.data()) !=
        1) {
        file.fail(file.path() + ": describing the keys");
    }
    size_t next = 0;
    for (const MdkKeyInfo& k : keys) {
        dt::Key key;
        key.unique = next > 0 && (k.keyFlags & MDK_KEY_UNIQUE);  // key 0 is unique by nature
        key.sequence = k.keyFlags & MDK_KEY_SEQUENCE;
        for (int i = 0; i < k.segmentCount; ++i, ++next) {
            const MdkSegmentInfo& si = segments[next];
            dt::Segment s;
            s.field = si.segField == MDK_SEGMENT_KEY_AREA ? dt::kKeyAreaField
                                                          : static_cast<uint16_t>(si.segField);
            s.offset = static_cast<uint16_t>(si.segValue);
            s.length = static_cast<uint8_t>(si.segLength & 0x7F);
            s.descending = si.segFlags & MDK_SEG_DESCENDING;
            // The unique and sequence bits travel on segment options but belong to the key.
            s.options = static_cast<uint16_t>(si.segFlags & ~MDK_SEG_DESCENDING &
                                              ~(MDK_KEY_UNIQUE | MDK_KEY_SEQUENCE));
            s.nullByte = si.segByte1;
            key.segments.push_back(s);
        }
        l.keys.push_back(key);
    }
    return out;
}

void buildFile(const std::string& path, const Layout& layout) {
    std::string why;
    int code = 0;
    if (layout.kind == FileKind::Indexed) {
        code = dt::createIndexedFile(path, layout.indexed, &why);
    } else {
        dt::LayoutFault fault;
        code = layout.kind == FileKind::Extended
                   ? dt::createExtendedFile(path, layout.extended, &why, &fault)
                   : dt::createClassicFile(path, layout.classic, &why, &fault);
        if (fault.key >= 0) why = fmt::format("{}: {}", memberAt(fault), fault.reason);
    }
    if (code != 0) throw Failure(fmt::format("{}: {}: {}", path, why, codeText(code)));
}

}  // namespace mdk
