// AcceptedAnswer on arbitrary payloads: what it accepts has the asked number of values, each
// short, no control character, and is stored by the INI layer as it is. Input: UTF-8 payload.

#include "fuzzsupport.h"

#include "net/queryprotocol.h"
#include "storage/charset.h"
#include "storage/inifile.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ensureApplication();
    const QString payload = QString::fromUtf8(bytesOf(data, size));
    for (const int values : {2, 7}) {
        const QString answer = AcceptedAnswer(payload, values);
        if (answer.isEmpty())
            continue;
        FUZZ_CHECK(answer.size() <= kMaxAnswerLength);
        const QStringList parts = answer.split(u',');
        FUZZ_CHECK(parts.size() == values);
        for (const QString& part : parts)
            FUZZ_CHECK(part.size() <= kMaxAnswerValue);
        for (const QChar c : answer)
            FUZZ_CHECK(c.category() != QChar::Other_Control);
        if (DecodeGbk(ToGbk(answer)) == answer && answer.trimmed() == answer &&
            !answer.startsWith(u'"') && !answer.startsWith(u'\'')) {
            const QString path = scratchFile("Config.ini");
            WriteIni(QStringLiteral("a.com"), QStringLiteral("Url_site"), answer, path);
            FUZZ_CHECK(ReadIni(QStringLiteral("a.com"), QStringLiteral("Url_site"), path) ==
                       answer);
        }
    }
    return 0;
}
