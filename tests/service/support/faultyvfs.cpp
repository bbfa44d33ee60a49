#include "faultyvfs.h"

#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string_view>

namespace valdane::svc::test {
namespace {

Faults faults;
sqlite3_vfs* real = nullptr;
std::mutex mutex;
// SQLite's own VFS gives databases and journals different methods: a copy of each whose
// xWrite can fail, and the original it stands for.
std::map<const sqlite3_io_methods*, sqlite3_io_methods> copies;
std::map<const sqlite3_io_methods*, const sqlite3_io_methods*> originals;

int Write(sqlite3_file* file, const void* data, int n, sqlite3_int64 offset) {
    if (faults.disk_full)
        return SQLITE_FULL;
    std::unique_lock<std::mutex> guard(mutex);
    const sqlite3_io_methods* own = originals.at(file->pMethods);
    guard.unlock();
    return own->xWrite(file, data, n, offset);
}

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
    if (name && (faults.read_only || (faults.read_only_file && (flags & SQLITE_OPEN_MAIN_DB)))) {
        int exists = 0;
        real->xAccess(real, name, SQLITE_ACCESS_EXISTS, &exists);
        if (!exists && faults.read_only)
            return SQLITE_CANTOPEN;
        // What SQLite's own VFS does when the file cannot be opened for writing.
        flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
    }
    const int rc = real->xOpen(real, name, file, flags, out_flags);
    if (rc != SQLITE_OK || !file->pMethods)
        return rc;
    std::lock_guard<std::mutex> guard(mutex);
    auto [copy, made] = copies.try_emplace(file->pMethods, *file->pMethods);
    if (made) {
        copy->second.xWrite = Write;
        originals[&copy->second] = file->pMethods;
    }
    file->pMethods = &copy->second;
    return rc;
}

int Delete(sqlite3_vfs*, const char* name, int sync_dir) {
    const bool wal = std::string_view(name).ends_with("-wal");
    return faults.keep_wal && wal ? SQLITE_OK : real->xDelete(real, name, sync_dir);
}

} // namespace

Faults& Install() {
    static const bool once = [] {
        real = sqlite3_vfs_find(nullptr);
        static sqlite3_vfs vfs = *real;
        vfs.zName = kFaultyVfs;
        vfs.pNext = nullptr;
        vfs.xOpen = Open;
        vfs.xDelete = Delete;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    (void)once;
    return faults;
}

} // namespace valdane::svc::test
