#pragma once

#include <QByteArray>
#include <QString>

// Text files of the program are GBK ("gb2312" names the same code page here), with CR LF ends.

// Replaces the file's content with text + CR LF in GBK. Atomic: a failed write leaves the old
// file as it was.
void WriteTextFile(const QString& path, const QString& text);

// Decodes bytes with the named charset; "0" on any failure or an unknown charset.
QString BytesToText(const QByteArray& bytes, const QString& charset);

// Reads a whole local file and decodes it with BytesToText; "0" when it cannot be read.
QString ReadTextFile(const QString& path, const QString& charset);

// Decodes GBK bytes; malformed sequences become U+FFFD.
QString DecodeGbk(QByteArrayView bytes);

// GBK bytes of text (characters without a GBK code become "?").
QByteArray ToGbk(const QString& text);

// Writes bytes beside path, flushes, then renames over path. False (old file untouched) on
// any failure.
bool ReplaceFileAtomically(const QString& path, const QByteArray& bytes);
