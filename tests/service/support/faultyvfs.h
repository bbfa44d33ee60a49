#pragma once

#include <atomic>

namespace valdane::svc::test {

// A SQLite VFS over the system's that fails on demand: store failures that file modes cannot
// cause for root, who runs the tests in CI. Set Env::store_vfs to kFaultyVfs after Install().
inline constexpr const char* kFaultyVfs = "valdane-faulty";

struct Faults {
    // Every write fails as on a full disk.
    std::atomic<bool> disk_full{false};
    // Nothing can be written or made: a read-only mount.
    std::atomic<bool> read_only{false};
    // The database file opens only for reading: its mode forbids writing.
    std::atomic<bool> read_only_file{false};
    // A -wal is never deleted: it stays beside the database, as a killed process leaves it.
    std::atomic<bool> keep_wal{false};
};

Faults& Install(); // registers the VFS once; the faults are shared by every test
} // namespace valdane::svc::test
