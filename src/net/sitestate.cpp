#include "net/sitestate.h"

#include "net/httpget.h"
#include "net/queryprotocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// A tooltip line, not a document: a hostile or broken service cannot make it any longer.
constexpr qsizetype kMaxReason = 160;
constexpr qsizetype kMaxCells = 16;

QString oneLine(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    }
    text = text.simplified();
    if (text.size() > kMaxReason)
        text = text.left(kMaxReason - 1) + u'…';
    return text;
}

QList<CellState> cellsOf(const QJsonValue& list) {
    QList<CellState> cells;
    const QJsonArray array = list.toArray();
    for (qsizetype i = 0; i < std::min(array.size(), kMaxCells); ++i) {
        const QJsonObject cell = array.at(i).toObject();
        cells.append({oneLine(cell.value(QLatin1String("status")).toString()),
                      oneLine(cell.value(QLatin1String("reason")).toString()),
                      cell.value(QLatin1String("value")).isDouble()});
    }
    return cells;
}

} // namespace

QString SiteStateAddress(const QString& site) {
    return MakerUrl() + QStringLiteral("/state.json?sUrl=") + site;
}

SiteState ParseSiteState(const QString& json) {
    SiteState state;
    const QJsonObject page = QJsonDocument::fromJson(json.toUtf8()).object();
    const QJsonValue pages = page.value(QLatin1String("pages"));
    if (!pages.isObject())
        return state;
    state.known = true;
    state.pending = page.value(QLatin1String("pending")).toBool();
    const QJsonValue ready = page.value(QLatin1String("ready_in_s"));
    if (ready.isDouble() && ready.toDouble() >= 0 && ready.toDouble() < 1e9)
        state.readyInSeconds = qint64(ready.toDouble());
    const char* names[] = {"sites", "links", "ranks"};
    for (std::size_t k = 0; k < state.pages.size(); ++k)
        state.pages[k] = cellsOf(pages.toObject().value(QLatin1String(names[k])));
    return state;
}

SiteState FetchSiteState(const QString& site) {
    return ParseSiteState(HttpGet(SiteStateAddress(site), QStringLiteral("utf-8")));
}
