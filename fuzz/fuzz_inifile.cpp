// Writes one key into arbitrary file bytes: the value reads back, and the bytes outside the one
// line that changed stay as they were. An empty key with an empty value deletes the section
// instead: only bytes go, and none of the section's keys reads back afterwards.
// Input: section \0 key \0 value \0 file bytes.

#include "fuzzsupport.h"

#include "storage/charset.h"
#include "storage/inifile.h"

#include <QFile>
#include <QList>

namespace {

// Whether `part` is `whole` with some bytes left out.
bool isSubsequence(const QByteArray& part, const QByteArray& whole) {
    qsizetype at = 0;
    for (const char byte : whole) {
        if (at < part.size() && part[at] == byte)
            ++at;
    }
    return at == part.size();
}

void checkSectionDeleted(const QString& section, const QByteArray& before, const QByteArray& after,
                         const QString& path) {
    FUZZ_CHECK(isSubsequence(after, before));
    if (section.trimmed().isEmpty()) {
        FUZZ_CHECK(after == before);
        return;
    }
    // Every name before an "=" in the old file is a key the section may have held.
    const bool utf8 = before.startsWith("\xEF\xBB\xBF");
    for (const QByteArray& line : before.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray name = line.first(equals);
        const QString key = utf8 ? QString::fromUtf8(name) : DecodeGbk(name);
        if (!key.trimmed().isEmpty())
            FUZZ_CHECK(ReadIni(section, key, path).isEmpty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ensureApplication();
    const QList<QByteArray> parts = bytesOf(data, size).split('\0');
    if (parts.size() < 4)
        return 0;
    const QString section = DecodeGbk(parts[0]);
    const QString key = DecodeGbk(parts[1]);
    const QString value = DecodeGbk(parts[2]);
    const QByteArray before =
        bytesOf(data, size).mid(parts[0].size() + parts[1].size() + parts[2].size() + 3);
    const QString path = scratchFile("Config.ini");
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(before) == before.size());
    }
    WriteIni(section, key, value, path);
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    const QByteArray after = file.readAll();

    if (key.isEmpty() && value.isEmpty()) {
        checkSectionDeleted(section, before, after, path);
        return 0;
    }

    // One splice: what lies between the common start and the common end is at most one line.
    qsizetype head = 0;
    const qsizetype shorter = std::min(before.size(), after.size());
    while (head < shorter && before[head] == after[head])
        ++head;
    qsizetype tail = 0;
    while (tail < shorter - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    const QByteArray removed = before.mid(head, before.size() - head - tail);
    FUZZ_CHECK(removed.count('\n') <= 1);

    // A value that the reader gives back unchanged (no blanks or quotes at its ends, no zero
    // byte, GBK holds it) reads back when it was stored.
    const QString trimmedValue = value.trimmed();
    const bool plain = !value.isEmpty() && trimmedValue == value && !value.startsWith(u'"') &&
                       !value.startsWith(u'\'') && !value.contains(QChar(0)) &&
                       DecodeGbk(ToGbk(value)) == value;
    if (plain && after != before)
        FUZZ_CHECK(ReadIni(section, key, path) == value);
    return 0;
}
