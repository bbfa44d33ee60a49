#pragma once

#include <QByteArray>
#include <QString>

// Text files of the program are GBK ("gb2312" names the same code page here), with CR LF ends.

// Makes the file anew with text + CR LF in GBK, readable by this user only. Whatever was at
// path (a file, a symbolic link) is removed first, never written through; a failed write
// leaves no file and gives false.
bool WriteTextFile(const QString& path, const QString& text);

// Decodes bytes with the named charset; "0" on any failure or an unknown charset.
QString BytesToText(const QByteArray& bytes, const QString& charset);

// Reads a whole local file and decodes it with BytesToText; "0" when it cannot be read.
QString ReadTextFile(const QString& path, const QString& charset);

// Decodes GBK bytes; malformed sequences become U+FFFD.
QString DecodeGbk(QByteArrayView bytes);

// GBK bytes of text (characters without a GBK code become "?").
QByteArray ToGbk(const QString& text);

// Writes bytes beside path, flushes, then renames over path; the new file keeps the old one's
// owner and permission bits (also when the super-user writes it). False (old file untouched)
// on any failure.
bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes);

// Removes the copies ReplaceFileAtomically leaves beside path when the process dies between
// writing and renaming: path + "." + six letters or digits, plain files of this user that
// have not changed for longer than any write takes.
void RemoveStaleCopies(const QString& path);
