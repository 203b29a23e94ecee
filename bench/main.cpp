// mdnio_bench: runs one workload on mdnio and on the stores users would pick instead (SQLite,
// Berkeley DB, LMDB), in one run, and prints operations per second side by side with the ratio
// mdnio / peer.  Beside them stands the physical limit: reading the file with pread.
//
// Every engine configuration runs in a child process of its own, so that its peak memory is its
// own and a crash or a leak of one does not colour the figures of the next.  The children report
// over a pipe; the parent takes the median of --runs runs.
#include <fcntl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "dataset.h"
#include "engine.h"

namespace bench {

namespace {

namespace fs = std::filesystem;

struct Options {
    uint32_t records = 1000000;
    int runs = 1;
    std::string json;
    std::string dir;
    std::set<std::string> engines = {"mdnio", "sqlite", "bdb", "lmdb", "limit"};
};

struct Row {
    std::string workload, engine, variant;
    double opsPerSec = 0;
    long peakRssKb = 0;
    uint64_t check = 0;  // the count the workload returned, compared across engines
};

// ---- memory
// --------------------------------------------------------------------------------------

// Starts a new peak: the kernel's high-water mark of the resident set drops to the current size.
void resetPeakRss() {
    int fd = ::open("/proc/self/clear_refs", O_WRONLY);
    if (fd < 0) return;
    ssize_t ignored = ::write(fd, "5", 1);
    (void)ignored;
    ::close(fd);
}

long peakRssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// ---- one engine, in the child ------------------------------------------------------------------

class Recorder {
  public:
    Recorder(std::string engine, std::string variant)
        : engine_(std::move(engine)), variant_(std::move(variant)) {}

    // Times fn, which does `ops` operations and returns its check count.
    void measure(const std::string& workload, uint64_t ops, const std::function<uint64_t()>& fn) {
        resetPeakRss();
        auto start = std::chrono::steady_clock::now();
        uint64_t check = fn();
        double elapsed = std::max(seconds(start), 1e-9);
        add(workload, static_cast<double>(ops) / elapsed, check);
    }
    void add(const std::string& workload, double ops, uint64_t check) {
        long rss = peakRssKb();
        peak_ = std::max(peak_, rss);
        rows_.push_back({workload, engine_, variant_, ops, rss, check});
    }
    // Replaces the check count of the last workload.
    void setLastCheck(uint64_t check) { rows_.back().check = check; }
    void finish() { rows_.push_back({"peak_memory", engine_, variant_, 0, peak_, 0}); }
    const std::vector<Row>& rows() const { return rows_; }

  private:
    std::string engine_, variant_;
    long peak_ = 0;
    std::vector<Row> rows_;
};

void freshDirectory(const std::string& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
}

std::vector<Row> runEngine(Engine& e, const Dataset& ds, const std::string& dir) {
    Recorder rec(e.engine(), e.variant());
    const uint32_t n = ds.count();
    const uint32_t changes = std::max<uint32_t>(1, n / 10);
    std::vector<std::string> modes = e.loadModes();
    for (const std::string& mode : modes) {
        e.close();
        freshDirectory(dir);
        e.create(dir);
        rec.measure(mode, n, [&] {
            e.load(ds, mode);
            return uint64_t{n};
        });
    }
    rec.measure("lookup", n, [&] {
        uint64_t found = 0;
        for (uint32_t i = 0; i < n; i++)
            found += e.lookup(ds.record(ds.shuffled(i, kLookupStream)));
        return found;
    });
    rec.measure("scan_primary", n, [&] { return e.scanPrimary(); });
    rec.measure("scan_name", n, [&] { return e.scanName(); });
    rec.measure("scan_filtered", n, [&] { return e.scanFiltered(); });
    if (e.hasStoredOrderScan())
        rec.measure("scan_filtered_stored", n, [&] { return e.scanFilteredStored(); });
    rec.measure("update", changes, [&] {
        for (uint32_t i = 0; i < changes; i++)
            e.update(ds.record(ds.shuffled(i, kUpdateStream), 1));
        return uint64_t{changes};
    });
    rec.measure("remove", changes, [&] {
        for (uint32_t i = 0; i < changes; i++)
            e.remove(ds.record(ds.shuffled(i, kRemoveStream)));
        return uint64_t{changes};
    });
    // Not timed: what is left must be what the removes left, and the updates must show.
    rec.setLastCheck(e.scanPrimary() * 1000003 + e.scanFiltered());
    rec.finish();
    e.close();
    return rec.rows();
}

// The physical limit: the file the block-mode keyed engine left, read sequentially in 1 MiB
// preads (records per second at the file's bytes per record, and bytes per second), and the
// rate of single 256-byte preads at scattered offsets.
std::vector<Row> runLimit(const Dataset& ds, const std::string& file) {
    Recorder rec("limit", "pread");
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) throw std::runtime_error("limit: cannot open " + file);
    off_t size = ::lseek(fd, 0, SEEK_END);
    std::vector<char> chunk(1 << 20);
    // Once to bring the file into the page cache, as the engines' files are.
    for (off_t at = 0; at < size; at += static_cast<off_t>(chunk.size()))
        if (::pread(fd, chunk.data(), chunk.size(), at) < 0) break;
    uint64_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    int passes = 0;
    do {
        for (off_t at = 0; at < size; at += static_cast<off_t>(chunk.size())) {
            ssize_t got = ::pread(fd, chunk.data(), chunk.size(), at);
            if (got <= 0) break;
            bytes += static_cast<uint64_t>(got);
        }
        passes++;
    } while (seconds(start) < 0.2);
    double elapsed = seconds(start);
    double perRecord = static_cast<double>(size) / ds.count();
    rec.add("scan_primary", static_cast<double>(bytes) / perRecord / elapsed, 0);
    rec.add("seq_read_bytes", static_cast<double>(bytes) / elapsed, 0);
    char small[256];
    uint64_t reads = std::max<uint64_t>(ds.count(), 100000);
    uint64_t span = size > 256 ? static_cast<uint64_t>(size) - 256 : 1;
    start = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < reads; i++) {
        off_t at = static_cast<off_t>((i * 2654435761u) % span);
        if (::pread(fd, small, sizeof small, at) < 0) break;
    }
    rec.add("lookup", static_cast<double>(reads) / seconds(start), 0);
    ::close(fd);
    (void)passes;
    return rec.rows();
}

// ---- children and pipes -------------------------------------------------------------------------

std::string encode(const std::vector<Row>& rows) {
    std::ostringstream out;
    for (const Row& r : rows)
        out << r.workload << '\t' << r.engine << '\t' << r.variant << '\t' << r.opsPerSec << '\t'
            << r.peakRssKb << '\t' << r.check << '\n';
    return out.str();
}

std::vector<Row> decode(const std::string& text) {
    std::vector<Row> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        Row r;
        std::string ops, rss, check;
        std::getline(f, r.workload, '\t');
        std::getline(f, r.engine, '\t');
        std::getline(f, r.variant, '\t');
        std::getline(f, ops, '\t');
        std::getline(f, rss, '\t');
        std::getline(f, check, '\t');
        r.opsPerSec = std::strtod(ops.c_str(), nullptr);
        r.peakRssKb = std::strtol(rss.c_str(), nullptr, 10);
        r.check = std::strtoull(check.c_str(), nullptr, 10);
        rows.push_back(r);
    }
    return rows;
}

// Runs fn in a child process and returns the rows it reported; throws when the child failed.
std::vector<Row> inChild(const std::string& label, const std::function<std::vector<Row>()>& fn) {
    int pipes[2];
    if (::pipe(pipes) != 0) throw std::runtime_error("pipe");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::close(pipes[0]);
        int status = 0;
        try {
            std::string text = encode(fn());
            for (size_t done = 0; done < text.size();) {
                ssize_t w = ::write(pipes[1], text.data() + done, text.size() - done);
                if (w <= 0) break;
                done += static_cast<size_t>(w);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", label.c_str(), e.what());
            status = 1;
        }
        ::close(pipes[1]);
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(pipes[1]);
    std::string text;
    char buf[4096];
    ssize_t got;
    while ((got = ::read(pipes[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(got));
    ::close(pipes[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error(label + " failed");
    return decode(text);
}

// ---- report
// --------------------------------------------------------------------------------------

using Key = std::tuple<std::string, std::string, std::string>;  // workload, engine, variant

const std::vector<std::string> kWorkloads = {
    "bulk_load",     "bulk_load_no_tx",      "lookup", "scan_primary", "scan_name",
    "scan_filtered", "scan_filtered_stored", "update", "remove"};

const char* describe(const std::string& w) {
    static const std::map<std::string, const char*> text = {
        {"bulk_load", "bulk load (mdnio in one transaction)"},
        {"bulk_load_no_tx", "bulk load (mdnio, no transaction)"},
        {"lookup", "random lookup by primary key"},
        {"scan_primary", "scan in primary-key order"},
        {"scan_name", "scan by the name key"},
        {"scan_filtered", "filtered scan, 1% (records/s)"},
        {"scan_filtered_stored", "filtered scan, 1%, stored order"},
        {"update", "random update"},
        {"remove", "random remove"}};
    auto it = text.find(w);
    return it == text.end() ? w.c_str() : it->second;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::string machine() {
    std::string model = "unknown cpu";
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    struct utsname u {};
    ::uname(&u);
    long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    return model + ", " + std::to_string(cores) + " cores, " + u.sysname + " " + u.release;
}

std::string today() {
    std::time_t t = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", std::gmtime(&t));
    return buf;
}

std::string jsonText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

void report(const Options& o, const std::vector<Row>& medians,
            std::vector<std::pair<std::string, std::string>> columns) {
    std::map<Key, const Row*> at;
    for (const Row& r : medians)
        at[{r.workload, r.engine, r.variant}] = &r;
    auto figure = [&](const std::string& w,
                      const std::pair<std::string, std::string>& c) -> const Row* {
        auto it = at.find({w, c.first, c.second});
        return it == at.end() ? nullptr : it->second;
    };
    // The peers measure one bulk load; mdnio's load without a transaction stands beside it.
    auto peerWorkload = [](const std::string& w) {
        return w == "bulk_load_no_tx" ? std::string("bulk_load") : w;
    };
    std::printf("\nmdnio_bench  %s  records %u  median of %d run(s)\n%s\n\n", today().c_str(),
                o.records, o.runs, machine().c_str());
    std::printf("%-38s", "thousand operations per second");
    for (const auto& c : columns)
        std::printf(" %12s", c.first == "mdnio" ? c.second.c_str() : c.first.c_str());
    std::printf("   best mdnio / sqlite   bdb   lmdb\n");
    for (const std::string& w : kWorkloads) {
        std::printf("%-38s", describe(w));
        double best = 0;
        std::string bestVariant;
        for (const auto& c : columns) {
            const Row* r = figure(c.first == "mdnio" ? w : peerWorkload(w), c);
            if (c.first == "mdnio" && r && r->opsPerSec > best) {
                best = r->opsPerSec;
                bestVariant = c.second;
            }
            if (r && !(c.first != "mdnio" && w == "bulk_load_no_tx"))
                std::printf(" %12.1f", r->opsPerSec / 1000);
            else
                std::printf(" %12s", "-");
        }
        std::printf("   %-12s", bestVariant.c_str());
        for (const char* peer : {"sqlite", "bdb", "lmdb"}) {
            const Row* p = nullptr;
            for (const auto& c : columns)
                if (c.first == peer) p = figure(peerWorkload(w), c);
            if (p && p->opsPerSec > 0 && best > 0)
                std::printf(" %5.2f", best / p->opsPerSec);
            else
                std::printf(" %5s", "-");
        }
        std::printf("\n");
    }
    std::printf("%-38s", "peak memory (MiB)");
    for (const auto& c : columns) {
        const Row* r = figure("peak_memory", c);
        if (r && c.first != "limit")
            std::printf(" %12.1f", static_cast<double>(r->peakRssKb) / 1024);
        else
            std::printf(" %12s", "-");
    }
    std::printf("\n");
    for (const auto& c : columns) {
        if (c.first != "limit") continue;
        if (const Row* r = figure("seq_read_bytes", c))
            std::printf(
                "limit: sequential pread %.0f MiB/s (scan column: records/s at the keyed "
                "file's bytes per record); lookup column: 256-byte preads\n",
                r->opsPerSec / (1 << 20));
    }
    if (o.json.empty()) return;
    std::ofstream out(o.json);
    out << "{\n  \"date\": " << jsonText(today()) << ",\n  \"machine\": " << jsonText(machine())
        << ",\n  \"records\": " << o.records << ",\n  \"runs\": " << o.runs
        << ",\n  \"results\": [\n";
    for (size_t i = 0; i < medians.size(); i++) {
        const Row& r = medians[i];
        out << "    {\"workload\": " << jsonText(r.workload)
            << ", \"engine\": " << jsonText(r.engine) << ", \"variant\": " << jsonText(r.variant)
            << ", \"ops_per_sec\": " << r.opsPerSec << ", \"peak_rss_kb\": " << r.peakRssKb << "}"
            << (i + 1 < medians.size() ? "," : "") << "\n";
    }
    out << "  ]\n}\n";
    if (!out) throw std::runtime_error("cannot write " + o.json);
}

// Every engine must return the same counts for the same workload in one run.
bool consistent(const std::vector<Row>& rows) {
    std::map<std::string, std::pair<uint64_t, std::string>> first;
    bool ok = true;
    for (const Row& r : rows) {
        if (r.engine == "limit" || r.workload == "peak_memory") continue;
        auto [it, fresh] = first.try_emplace(r.workload, r.check, r.engine + " " + r.variant);
        if (!fresh && it->second.first != r.check) {
            std::fprintf(
                stderr, "mismatch in %s: %s gave %llu, %s gave %llu\n", r.workload.c_str(),
                it->second.second.c_str(), static_cast<unsigned long long>(it->second.first),
                (r.engine + " " + r.variant).c_str(), static_cast<unsigned long long>(r.check));
            ok = false;
        }
    }
    return ok;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--records") {
            o.records = static_cast<uint32_t>(std::stoul(value()));
        } else if (a == "--runs") {
            o.runs = std::stoi(value());
        } else if (a == "--json") {
            o.json = value();
        } else if (a == "--dir") {
            o.dir = value();
        } else if (a == "--engines") {
            o.engines.clear();
            std::stringstream list(value());
            std::string name;
            while (std::getline(list, name, ','))
                o.engines.insert(name);
        } else {
            throw std::runtime_error(
                "usage: mdnio_bench [--records N] [--runs R] [--json FILE] [--dir DIR] "
                "[--engines mdnio,sqlite,bdb,lmdb,limit]");
        }
    }
    if (o.records < 100 || o.runs < 1) throw std::runtime_error("--records >= 100, --runs >= 1");
    return o;
}

int run(int argc, char** argv) {
    Options o = parse(argc, argv);
    bool ownDir = o.dir.empty();
    if (ownDir) {
        std::string pattern = (fs::temp_directory_path() / "mdnio-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a work directory");
        o.dir = pattern;
    }
    Dataset ds(o.records);
    std::vector<std::pair<std::string, std::string>> columns;
    std::map<Key, std::vector<double>> ops;
    std::map<Key, long> rss;
    bool ok = true;
    for (int run = 0; run < o.runs; run++) {
        std::vector<Row> rows;
        auto take = [&](Engine& e) {
            std::string dir = o.dir + "/" + e.engine() + "-" + std::to_string(columns.size());
            std::fprintf(stderr, "run %d: %s %s\n", run + 1, e.engine().c_str(),
                         e.variant().c_str());
            std::vector<Row> got =
                inChild(e.engine() + " " + e.variant(), [&] { return runEngine(e, ds, dir); });
            rows.insert(rows.end(), got.begin(), got.end());
            if (run == 0) columns.emplace_back(e.engine(), e.variant());
            return dir;
        };
        std::string keyedFile;
        if (o.engines.count("mdnio")) {
            for (auto& e : mdnioEngines()) {
                std::string dir = take(*e);
                if (keyedFile.empty()) keyedFile = dir + "/customers.dat";
            }
        }
        if (o.engines.count("sqlite")) take(*sqliteEngine());
        if (o.engines.count("bdb")) take(*bdbEngine());
        if (o.engines.count("lmdb")) take(*lmdbEngine());
        if (o.engines.count("limit") && !keyedFile.empty()) {
            std::vector<Row> got = inChild("limit", [&] { return runLimit(ds, keyedFile); });
            rows.insert(rows.end(), got.begin(), got.end());
            if (run == 0) columns.emplace_back("limit", "pread");
        }
        ok = consistent(rows) && ok;
        for (const Row& r : rows) {
            Key k{r.workload, r.engine, r.variant};
            ops[k].push_back(r.opsPerSec);
            rss[k] = std::max(rss[k], r.peakRssKb);
        }
        fs::remove_all(o.dir);
        fs::create_directories(o.dir);
    }
    if (ownDir) fs::remove_all(o.dir);
    std::vector<Row> medians;
    for (auto& [k, v] : ops)
        medians.push_back({std::get<0>(k), std::get<1>(k), std::get<2>(k), median(v), rss[k], 0});
    report(o, medians, columns);
    if (!ok) std::fprintf(stderr, "the engines disagree: see the mismatches above\n");
    return ok ? 0 : 1;
}

}  // namespace

}  // namespace bench

int main(int argc, char** argv) {
    try {
        return bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mdnio_bench: %s\n", e.what());
        return 2;
    }
}
