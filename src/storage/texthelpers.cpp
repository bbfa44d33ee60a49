#include "storage/texthelpers.h"

#include "storage/charset.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {

// Config.ini is GBK, where a character it lacks becomes "?", so that two names of equal length
// would share one section. Such a name is kept in its ASCII form: the host as punycode
// ("xn--..."), a path percent-encoded as UTF-8. Names GBK holds stay as they are.
bool gbkHolds(const QString& text) {
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    return ascii || DecodeGbk(ToGbk(text)) == text;
}

QString storableSiteName(const QString& entry) {
    if (gbkHolds(entry))
        return entry;
    const qsizetype slash = entry.indexOf(u'/');
    const QString host = (slash < 0 ? entry : entry.left(slash)).trimmed();
    const QByteArray ace = QUrl::toAce(host);
    if (ace.isEmpty())
        return entry;
    QString stored = QString::fromLatin1(ace);
    if (slash >= 0) {
        const QString path = entry.mid(slash);
        stored += gbkHolds(path)
                      ? path
                      : QString::fromLatin1(QUrl::toPercentEncoding(path, "!$&'()*+,=:@/?#%[]"));
    }
    return stored;
}

} // namespace

QString GetBetween(const QString& text, const QString& startMarker, const QString& endMarker) {
    if (text.isEmpty())
        return QString();
    // 1-based positions; the end marker is searched from the text's start on purpose, so an end
    // marker in front of the start marker yields "". A page that lost either marker holds no
    // payload, whatever lies near the other.
    const qsizetype p1 = text.indexOf(startMarker) + 1;
    const qsizetype p2 = text.indexOf(endMarker) + 1;
    if (p1 == 0 || p2 == 0)
        return QString();
    const qsizetype markerLength = startMarker.size();
    const qsizetype from = p1 + markerLength;
    const qsizetype count = p2 - p1 - markerLength;
    if (count < 0 || from < 1)
        return QString();
    if (from - 1 >= text.size())
        return QString();
    return text.mid(from - 1, count);
}

bool IsValidDomain(const QString& text) {
    if (text.size() < 4)
        return false;
    if (text.indexOf(u'.') < 1)
        return false;
    const QChar first = text.front();
    if (first == u'/' || first == u'\\' || first == u'.')
        return false;
    const QChar last = text.back();
    return last != u'\\' && last != u'.';
}

QString NormalizeSiteList(const QString& text) {
    QString list = text;
    list.remove(QStringLiteral("http://"));
    list.replace(QChar(0xFF1B), u';'); // full-width semicolon
    list.remove(QStringLiteral("\r\n"));
    if (list.isEmpty())
        return QString();
    if (!list.contains(u';')) {
        list = storableSiteName(list);
        return IsValidDomain(list) ? list : QString();
    }

    const QStringList entries = list.split(u';');
    QString accepted;
    // Every earlier entry counts for the duplicate test, accepted or not.
    QSet<QString> seen;
    seen.reserve(entries.size());
    for (const QString& raw : entries) {
        const QString entry = storableSiteName(raw.trimmed());
        const bool duplicate = seen.contains(entry);
        if (!duplicate) {
            seen.insert(entry);
            if (IsValidDomain(entry)) {
                if (accepted.size() < 4)
                    accepted = entry;
                else
                    accepted += u';' + entry;
            }
        }
        PumpEvents();
    }
    return accepted;
}

bool FileExists(const QString& path) {
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isFile() && !info.isHidden();
}

void PumpEvents() {
    // Long loops call this once per step; handling queued input every ~15 ms keeps the window
    // responsive while a call in between costs one clock read.
    constexpr qint64 intervalMs = 15;
    if (QCoreApplication::instance() == nullptr)
        return;
    thread_local QElapsedTimer sinceLastPump;
    if (sinceLastPump.isValid() && sinceLastPump.elapsed() < intervalMs)
        return;
    sinceLastPump.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QString WeekdayText(const QDate& date) {
    static const char16_t* const names[] = {u"星期一", u"星期二", u"星期三", u"星期四",
                                            u"星期五", u"星期六", u"星期日"};
    if (!date.isValid())
        return QString();
    return QString::fromUtf16(names[date.dayOfWeek() - 1]);
}

QString ClockText(const QDateTime& now) {
    const QDate date = now.date();
    const QTime time = now.time();
    return QStringLiteral("%1年%2月%3日 %4 %5:%6:%7")
        .arg(date.year(), 4, 10, QLatin1Char('0'))
        .arg(date.month(), 2, 10, QLatin1Char('0'))
        .arg(date.day(), 2, 10, QLatin1Char('0'))
        .arg(WeekdayText(date))
        .arg(time.hour())
        .arg(time.minute(), 2, 10, QLatin1Char('0'))
        .arg(time.second(), 2, 10, QLatin1Char('0'));
}
