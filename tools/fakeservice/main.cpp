// A stand-alone query service for trying the program by hand:
//   valdane_fake_service [port]      (default 8936; 0 picks a free port)
//   valdane_fake_service --listen 127.0.0.1:PORT   (as the program starts its service)
// Prints the port it listens on as the first line, then serves until killed. Every site gets
// plausible numbers derived from its name, so repeated refreshes show stable values, with two
// kinds of exception for trying the empty cells: a site whose name starts with "nodata." has
// no values (-1, and its state page says why), and one starting with "slow." is measured for
// kSlowSeconds after it was first asked for (-1 meanwhile, its state page saying "measuring").

#include "fakequeryservice.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>

namespace {

// A stable pseudo-random stream per site and page.
class SiteNumbers {
  public:
    SiteNumbers(const QString& page, const QString& site)
        : m_digest(QCryptographicHash::hash((page + QLatin1Char('|') + site).toUtf8(),
                                            QCryptographicHash::Sha256)) {}

    quint32 next(quint32 bound) {
        quint32 value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | static_cast<quint8>(m_digest.at((m_at + i) % m_digest.size()));
        m_at += 4;
        return value % bound;
    }

  private:
    QByteArray m_digest;
    int m_at = 0;
};

constexpr qint64 kSlowSeconds = 40;
const QString kNoDataReason = QStringLiteral("网络错误（无法解析主机名）");

// Seconds until a "slow." site's values are there; 0 for every other site.
qint64 secondsToWait(const QString& site) {
    static QHash<QString, QElapsedTimer> asked;
    if (!site.startsWith(QLatin1String("slow.")))
        return 0;
    if (!asked.contains(site))
        asked[site].start();
    return std::max<qint64>(0, kSlowSeconds - asked[site].elapsed() / 1000);
}

bool hasNoValues(const QString& site) {
    return site.startsWith(QLatin1String("nodata.")) || secondsToWait(site) > 0;
}

QString stateOf(const QString& site) {
    const qint64 wait = secondsToWait(site);
    const bool noData = site.startsWith(QLatin1String("nodata."));
    QJsonObject pages;
    const std::pair<const char*, int> lists[] = {{"sites", 7}, {"links", 7}, {"ranks", 2}};
    for (const auto& [name, columns] : lists) {
        QJsonArray cells;
        for (int c = 0; c < columns; ++c) {
            const QString status = noData ? "network-error" : wait > 0 ? "measuring" : "ok";
            cells.append(QJsonObject{{"column", c},
                                     {"value", noData || wait > 0 ? QJsonValue() : QJsonValue(1)},
                                     {"status", status},
                                     {"stale", false},
                                     {"source", "fake"},
                                     {"reason", noData ? kNoDataReason : QString()}});
        }
        pages.insert(QLatin1String(name), cells);
    }
    const QJsonObject state{{"site", site},
                            {"pending", wait > 0},
                            {"ready_in_s", wait > 0 ? QJsonValue(wait) : QJsonValue()},
                            {"pages", pages}};
    return QString::fromUtf8(QJsonDocument(state).toJson(QJsonDocument::Compact));
}

FakeQueryService::Generated plausible(const QString& page, const QString& site) {
    SiteNumbers numbers(page, site);
    if (page == QLatin1String("state.json"))
        return {true, stateOf(site), true};
    const bool none = hasNoValues(site);
    if (page == QLatin1String("sites.asp") || page == QLatin1String("links.asp")) {
        const quint32 scale = page == QLatin1String("sites.asp") ? 250000 : 40000;
        QStringList fields;
        for (int engine = 0; engine < 7; ++engine)
            fields << (none ? QStringLiteral("-1") : QString::number(numbers.next(scale)));
        return {true, fields.join(QLatin1Char('|'))};
    }
    if (page == QLatin1String("ranks.asp") && none)
        return {true, QStringLiteral("-1|-1")};
    if (page == QLatin1String("ranks.asp"))
        return {true, QStringLiteral("%1|%2").arg(numbers.next(11)).arg(numbers.next(11))};
    if (page == QLatin1String("whois.asp")) {
        const int year = 1998 + static_cast<int>(numbers.next(25));
        return {true, QStringLiteral("Domain Name: %1\r\n"
                                     "Registrar: Example Registrar Ltd.\r\n"
                                     "Creation Date: %2-0%3-1%4\r\n"
                                     "Expiration Date: %5-0%3-1%4\r\n"
                                     "Name Server: NS1.%1\r\n"
                                     "Name Server: NS2.%1\r\n"
                                     "Status: clientTransferProhibited")
                          .arg(site.toUpper())
                          .arg(year)
                          .arg(1 + numbers.next(9))
                          .arg(numbers.next(9))
                          .arg(year + 10)};
    }
    if (page == QLatin1String("alexa.asp") && none)
        return {true, QStringLiteral(
                          "未公开|||未公开|||-1|||-1|||未公开|||-1|||未公开|||未公开|||未公开")};
    if (page == QLatin1String("alexa.asp")) {
        const QStringList fields{
            site,
            QStringLiteral("%1 的网站简介").arg(site),
            QString::number(1 + numbers.next(2000000)),
            QString::number(numbers.next(90000)),
            QStringLiteral("%1-05-20").arg(2000 + numbers.next(20)),
            QStringLiteral("%1%2").arg(numbers.next(2) ? "+" : "-").arg(numbers.next(5000)),
            QStringLiteral("张先生"),
            QStringLiteral("北京市海淀区"),
            QStringLiteral("webmaster@%1").arg(site)};
        return {true, fields.join(QStringLiteral("|||"))};
    }
    if (page == QLatin1String("Update.txt"))
        return {true, QStringLiteral("0")};
    return {};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool ok = true;
    const bool listen = args.size() > 2 && args.at(1) == QLatin1String("--listen");
    const QString portText = listen ? args.at(2).section(u':', -1) : args.value(1);
    const uint port = args.size() > 1 ? portText.toUInt(&ok) : 8936;
    if (!ok || port > 65535) {
        std::fprintf(stderr, "usage: valdane_fake_service [port | --listen 127.0.0.1:PORT]\n");
        return 2;
    }
    FakeQueryService service;
    service.setGenerator(plausible);
    if (!service.start(static_cast<quint16>(port))) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("%u\n", static_cast<unsigned>(service.port()));
    std::fflush(stdout);
    return app.exec();
}
