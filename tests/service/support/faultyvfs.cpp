#include "faultyvfs.h"

#include <sqlite3.h>

#include <map>
#include <memory>
#include <mutex>

namespace valdane::svc::test {
namespace {

Faults faults;
sqlite3_vfs* real = nullptr;
std::mutex mutex;
// The system's method tables, each with a copy whose xWrite can fail.
std::map<const sqlite3_io_methods*, std::unique_ptr<sqlite3_io_methods>> wrapped;
std::map<const sqlite3_io_methods*, const sqlite3_io_methods*> original;

int Write(sqlite3_file* file, const void* data, int n, sqlite3_int64 offset) {
    if (faults.disk_full)
        return SQLITE_FULL;
    const sqlite3_io_methods* own;
    {
        std::lock_guard<std::mutex> guard(mutex);
        own = original.at(file->pMethods);
    }
    return own->xWrite(file, data, n, offset);
}

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
    const bool main_db = flags & SQLITE_OPEN_MAIN_DB;
    if (name && (faults.read_only || (faults.read_only_file && main_db))) {
        int exists = 0;
        real->xAccess(real, name, SQLITE_ACCESS_EXISTS, &exists);
        if (!exists && faults.read_only)
            return SQLITE_CANTOPEN;
        // What SQLite's own VFS does when the file cannot be opened for writing.
        flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
    }
    const int rc = real->xOpen(real, name, file, flags, out_flags);
    if (rc == SQLITE_OK && file->pMethods) {
        std::lock_guard<std::mutex> guard(mutex);
        auto& copy = wrapped[file->pMethods];
        if (!copy) {
            copy = std::make_unique<sqlite3_io_methods>(*file->pMethods);
            copy->xWrite = Write;
            original[copy.get()] = file->pMethods;
        }
        file->pMethods = copy.get();
    }
    return rc;
}

} // namespace

Faults& Install() {
    static const bool once = [] {
        real = sqlite3_vfs_find(nullptr);
        static sqlite3_vfs vfs = *real;
        vfs.zName = kFaultyVfs;
        vfs.pNext = nullptr;
        vfs.xOpen = Open;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    (void)once;
    return faults;
}

} // namespace valdane::svc::test
