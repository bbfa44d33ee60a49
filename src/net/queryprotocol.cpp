#include "net/queryprotocol.h"

#include "net/httpget.h"
#include "storage/texthelpers.h"

#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

namespace {

constexpr double kKeySpan = 9000001.0;
constexpr double kKeyBase = 1000000.0;
// The largest single-precision value below 1.
constexpr float kLargestDraw = 1.0f - 1.0f / 16777216.0f;

// A fresh generator seeded from the clock, then one draw in [0, 1) at float resolution.
float DrawFromClock() {
    const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
    std::mt19937 generator(static_cast<std::mt19937::result_type>(now ^ (now >> 32)));
    // 24 random bits scaled by 2^-24: every value is exact in a float and below 1, unlike
    // generate_canonical<float>, which can round up to 1.
    return static_cast<float>(generator() >> 8) / 16777216.0f;
}

// x * 9000001 + 1000000 in double precision, with x kept inside [0, 1).
double KeyValue(float x) {
    const float draw = (x >= 0.0f) ? std::min(x, kLargestDraw) : 0.0f; // NaN ends up as 0
    return static_cast<double>(draw) * kKeySpan + kKeyBase;
}

QString ServiceFolder() {
    return MakerUrl() + QStringLiteral("/Calvren/Rivelo/");
}

} // namespace

QString MakerUrl() {
    QString url = qEnvironmentVariable("VALDANE_MAKER_URL");
    if (url.isEmpty())
        url = QStringLiteral(VALDANE_MAKER_URL);
    if (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

QString MakerHost() {
    return MakerUrl().remove(QStringLiteral("http://"));
}

int QueryKeyFromDraw(float x) {
    const double value = KeyValue(x);
    // Halves go to the even neighbour, whatever rounding mode the process runs in.
    const double below = std::floor(value);
    const double fraction = value - below;
    double rounded = below;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(below, 2.0) != 0.0))
        rounded = below + 1.0;
    return static_cast<int>(rounded);
}

int QueryKey() {
    return QueryKeyFromDraw(DrawFromClock());
}

QString QueryAddress(const QString& page, int key, const QString& target) {
    return ServiceFolder() + page + QStringLiteral("?sFrom=") + MakerHost() +
           QStringLiteral("&Key=") + QString::number(key) + QStringLiteral("&sUrl=") + target;
}

QString QueryPayload(const QString& address) {
    return GetBetween(HttpGet(address, QStringLiteral("gb2312")), kPayloadStart, kPayloadEnd);
}

QString AcceptedAnswer(const QString& payload, int values) {
    if (payload.size() > kMaxAnswerLength)
        return QString();
    for (const QChar c : payload) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            return QString();
    }
    qsizetype from = 0;
    qsizetype to = payload.size();
    while (from < to && payload.at(from) == u' ')
        ++from;
    while (to > from && payload.at(to - 1) == u' ')
        --to;
    QString answer = payload.mid(from, to - from).replace(u'|', u',');
    if (answer.size() < 2 * values - 1 || answer == QLatin1String("false") ||
        answer.indexOf(u',') < 1)
        return QString();
    const QStringList parts = answer.split(u',');
    if (parts.size() != values)
        return QString();
    for (const QString& part : parts) {
        if (part.size() > kMaxAnswerValue)
            return QString();
    }
    return answer;
}

bool IsMissingNumber(const QString& value) {
    bool ok = false;
    return value.trimmed().toDouble(&ok) < 0 && ok;
}

QString UpdateFileAddressFromDraw(float x) {
    const auto tn = static_cast<qint64>(std::floor(KeyValue(x)));
    return ServiceFolder() + QStringLiteral("Update.txt?tn=") + QString::number(tn);
}

QString UpdateFileAddress() {
    return UpdateFileAddressFromDraw(DrawFromClock());
}
