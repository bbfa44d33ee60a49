// Appends a block of rows to an arbitrary report: every byte before the table's end stays.
// Input: one value \0 report bytes.

#include "fuzzsupport.h"

#include "storage/charset.h"
#include "tracking/report.h"

#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ensureApplication();
    const QByteArray input = bytesOf(data, size);
    const qsizetype zero = input.indexOf('\0');
    if (zero < 0)
        return 0;
    const QString value = DecodeGbk(input.left(zero));
    const QString path = scratchFile("SeoLog.htm");
    QFile::remove(path + QStringLiteral(".bak")); // a damaged input is moved aside there
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        const QByteArray old = input.mid(zero + 1);
        FUZZ_CHECK(file.write(old) == old.size());
    }
    HistoryReport report;
    if (!report.InitReport(path))
        return 0;
    const auto contents = [&] {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::ReadOnly));
        return file.readAll();
    };
    for (int round = 0; round < 2; ++round) {
        const QByteArray before = contents();
        FUZZ_CHECK(report.Append(path, QStringLiteral("a.com"), kReportIndexedLabel,
                                 {value, value, value, value, value, value, value}, round == 0));
        const QByteArray after = contents();
        // Bytes GBK gives back unchanged are kept as bytes up to the cut before "</table>".
        if (ToGbk(DecodeGbk(before)) == before) {
            const QString text = DecodeGbk(before);
            const QByteArray kept = ToGbk(CutBefore(text, QStringLiteral("</table>")));
            FUZZ_CHECK(after.startsWith(kept));
        }
        FUZZ_CHECK(after.endsWith("</html>\r\n"));
    }
    return 0;
}
