// GetBetween on arbitrary text and markers: a result lies right after the first start marker
// and needs both markers. Input: start \0 end \0 text, as UTF-8.

#include "fuzzsupport.h"

#include "storage/texthelpers.h"

#include <QList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<QByteArray> parts = bytesOf(data, size).split('\0');
    if (parts.size() < 3)
        return 0;
    const QString start = QString::fromUtf8(parts[0]);
    const QString end = QString::fromUtf8(parts[1]);
    const QString text = QString::fromUtf8(parts[2]);
    const QString result = GetBetween(text, start, end);
    if (!result.isEmpty()) {
        const qsizetype from = text.indexOf(start);
        FUZZ_CHECK(from >= 0 && text.indexOf(end) >= 0);
        FUZZ_CHECK(text.mid(from + start.size(), result.size()) == result);
        FUZZ_CHECK(text.indexOf(end) >= from + start.size() + result.size());
    }
    return 0;
}
