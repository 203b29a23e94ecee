// What every engine of the benchmark does, the same way: load the data set, look records up
// by primary key, scan in primary-key order, scan by the name key, scan with a filter on the
// balance, update and remove records.  Each call returns a count the driver compares across
// engines, so that an engine that skips work shows up as a mismatch instead of a fast figure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dataset.h"

namespace bench {

class Engine {
  public:
    virtual ~Engine() = default;
    virtual std::string engine() const = 0;   // "mdnio", "sqlite", "bdb", "lmdb"
    virtual std::string variant() const = 0;  // the configuration, e.g. "block"

    // Ways this engine loads in bulk, measured one after the other on fresh files; the last one
    // leaves the files the other workloads use.  The name becomes the workload's name.
    virtual std::vector<std::string> loadModes() const { return {"bulk_load"}; }
    // Makes the engine's files in `directory` (removed and made anew by the driver) and opens
    // them.
    virtual void create(const std::string& directory) = 0;
    // Inserts records ds.shuffled(0..n-1, kLoadStream) in that order.
    virtual void load(const Dataset& ds, const std::string& mode) = 0;
    // Reads the record with this primary key; returns 1 when found with the expected key.
    virtual uint64_t lookup(const Record& r) = 0;
    // Reads every record in primary-key order; returns the number read.
    virtual uint64_t scanPrimary() = 0;
    // Reads every record in the order of the upper-cased name; returns the number read.
    virtual uint64_t scanName() = 0;
    // Returns the number of records whose balance is below kFilterLimit.
    virtual uint64_t scanFiltered() = 0;
    // The same, visiting the records in the order the engine stores them, as a query that asks
    // for no order may.  Engines that store records in key order (or whose filtered scan takes
    // the stored order already) have nothing else to offer; an engine that cannot read in stored
    // order answers false to hasStoredOrderScan and is not measured.
    virtual bool hasStoredOrderScan() const { return true; }
    virtual uint64_t scanFilteredStored() { return scanFiltered(); }
    // Replaces the record with r's key by r.
    virtual void update(const Record& r) = 0;
    // Removes the record with r's key.
    virtual void remove(const Record& r) = 0;
    // Closes the files.
    virtual void close() = 0;
};

inline constexpr uint32_t kLoadStream = 1;
inline constexpr uint32_t kLookupStream = 2;
inline constexpr uint32_t kUpdateStream = 3;
inline constexpr uint32_t kRemoveStream = 4;

// Each engine file's factory.  Failures throw std::runtime_error with the engine's message.
std::vector<std::unique_ptr<Engine>> mdnioEngines();
std::unique_ptr<Engine> sqliteEngine();
std::unique_ptr<Engine> bdbEngine();
std::unique_ptr<Engine> lmdbEngine();

}  // namespace bench
