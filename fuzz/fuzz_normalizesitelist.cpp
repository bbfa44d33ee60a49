// NormalizeSiteList on arbitrary text: every entry is valid, none repeats, and a list of
// several entries holds only names Config.ini can store. Input: UTF-8 text.

#include "fuzzsupport.h"

#include "storage/charset.h"
#include "storage/texthelpers.h"

#include <QSet>
#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString list = NormalizeSiteList(QString::fromUtf8(bytesOf(data, size)));
    if (list.isEmpty())
        return 0;
    const QStringList entries = list.split(u';');
    QSet<QString> seen;
    for (const QString& entry : entries) {
        FUZZ_CHECK(IsValidDomain(entry));
        FUZZ_CHECK(!seen.contains(entry));
        seen.insert(entry);
    }
    return 0;
}
