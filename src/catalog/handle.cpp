// The catalog handle's life and its lists: creation on first use, release, list replacement and
// the fetches, all under the environment lock.
#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "catalog/catalog.h"
#include "frame/frame.h"

namespace mdnio::catalog {

namespace {

// Copies a listed record into the caller's record.  The caller's buffer pointers and
// capacities are its own and stay; into each buffer it gave, at most its capacity of the
// listed contents is copied.  The lengths always tell how much the listed record holds, so a
// caller can see that its buffer was too small.
template <class Record>
void deliver(const Listed<Record>& from, Record* out) {
    char* a = out->bufferA;
    int32_t capacityA = out->bufferACapacity;
    char* b = out->bufferB;
    int32_t capacityB = out->bufferBCapacity;
    *out = from.record;
    out->bufferA = a;
    out->bufferACapacity = capacityA;
    out->bufferB = b;
    out->bufferBCapacity = capacityB;
    out->bufferALength = static_cast<int32_t>(from.bufferA.size());
    out->bufferBLength = static_cast<int32_t>(from.bufferB.size());
    auto copy = [](char* to, int32_t capacity, const std::vector<char>& contents) {
        if (!to || capacity <= 0 || contents.empty()) return;
        std::memcpy(to, contents.data(), std::min(contents.size(), static_cast<size_t>(capacity)));
    };
    copy(a, capacityA, from.bufferA);
    copy(b, capacityB, from.bufferB);
}

template <class Record>
int32_t fetchNext(MdkCatalog* handle, std::vector<Listed<Record>>& list, size_t& cursor,
                  Record* out) {
    if (!out) return 0;
    EnvLockHold lock(handle->env);
    if (cursor >= list.size()) {
        cursor = 0;  // the next fetch starts again with the first record
        return 0;
    }
    deliver(list[cursor], out);
    ++cursor;
    return 1;
}

}  // namespace

MdkCatalog* requestHandle(MdkEnv* env) {
    EnvLockHold lock(env);
    if (!env->catalog) {
        MdkCatalog* handle = new (std::nothrow) MdkCatalog();
        if (!handle) return nullptr;
        handle->env = env;
        env->catalog = handle;
    }
    return env->catalog;
}

void freeHandle(MdkCatalog* handle) noexcept {
    MdkEnv* env = handle->env;
    if (env) {
        EnvLockHold lock(env);
        if (env->catalog == handle) env->catalog = nullptr;
    }
    delete handle;
}

void installTables(MdkCatalog* handle, std::vector<TableEntry> tables, int32_t count) {
    std::vector<TableEntry> old;
    {
        EnvLockHold lock(handle->env);
        old.swap(handle->tables);
        handle->tables = std::move(tables);
        handle->tableCursor = 0;
        handle->tableCount = count;
    }
    // `old` is freed here, outside the lock.
}

void installColumns(MdkCatalog* handle, std::vector<ColumnEntry> columns) {
    std::vector<ColumnEntry> old;
    {
        EnvLockHold lock(handle->env);
        old.swap(handle->columns);
        handle->columns = std::move(columns);
        handle->columnCursor = 0;
    }
}

int32_t fetchTable(MdkCatalog* handle, MdkTableRecord* out) {
    return fetchNext(handle, handle->tables, handle->tableCursor, out);
}

int32_t fetchColumn(MdkCatalog* handle, MdkColumnRecord* out) {
    return fetchNext(handle, handle->columns, handle->columnCursor, out);
}

}  // namespace mdnio::catalog
