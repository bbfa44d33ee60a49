#pragma once

#include <QString>

// MD5 (RFC 1321) of the text's GBK bytes, the same digest a web site computes from the same GBK
// text. width 32 gives the whole digest in hexadecimal, width 16 its digits 9 to 24; any other
// width gives "". upper picks "A"-"F" over "a"-"f". Long texts let queued input be handled while
// they are digested, so callers must expect re-entry.
QString Md5Text(const QString& text, int width, bool upper);
