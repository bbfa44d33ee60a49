#pragma once

#include <QString>
#include <QStringList>

// Where files live that matter only while the program runs (the update check's scratch file,
// the single-instance socket): a folder of this user's that no other user can write into or
// swap out, so that nobody can plant a file, a link or a socket there.

// The first usable of "$XDG_RUNTIME_DIR/valdane", "<temp>/valdane-<uid>" and
// "<cache>/valdane-<uid>"; "" when none is.
QString PrivateRuntimeFolder();

// The first candidate that is private, creating a missing one (mode 0700, parent must exist);
// "" when none is.
QString FirstPrivateFolder(const QStringList& candidates);

// True for a real folder (not a link) owned by this user, closed to everyone else (no group
// or other permission bits), in a parent where nobody else can rename it away: one owned by
// this user or the super-user, writable by others only when sticky.
bool IsPrivateFolder(const QString& path);
