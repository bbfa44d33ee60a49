#include "tracking/report.h"

#include "storage/charset.h"
#include "storage/texthelpers.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstring>

#if defined(Q_OS_UNIX)
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QString kTableEnd = QStringLiteral("</table>");
const QByteArray kTableEndBytes = QByteArrayLiteral("</table>");
const QString kCharset = QStringLiteral("gb2312");

// A foot we keep in memory to compare against the file; anything longer is left to the
// whole-file path.
constexpr qint64 kMaxRememberedTail = 64 * 1024;

// Plain GBK is checked and decoded in pieces of this size, yielding to the event loop between
// them, so that a report of a hundred megabytes never holds up the window for long.
constexpr qsizetype kPieceBytes = 1 << 20;

QString lines(std::initializer_list<QString> items) {
    QString text;
    for (const QString& line : items)
        text += line + kCrLf;
    return text;
}

QString cell(const QString& text) {
    return QStringLiteral("    <td>") + text + QStringLiteral("</td>");
}

QDateTime modifiedTime(const QString& path) {
    return QFileInfo(path).lastModified();
}

const char* const kFrameMarkers[] = {"<body>",  "</body>", "<html>",
                                     "</html>", "<table",  "</table>"};

bool hasFrameMarkers(const QString& text) {
    for (const char* marker : kFrameMarkers) {
        if (!text.contains(QLatin1String(marker)))
            return false;
    }
    return true;
}

// Reads the whole file in pieces, yielding between them; false when it cannot be read.
bool readAll(const QString& path, QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bytes.clear();
    bytes.reserve(file.size());
    while (!file.atEnd()) {
        const QByteArray piece = file.read(kPieceBytes);
        if (file.error() != QFileDevice::NoError)
            return false;
        bytes += piece;
        PumpEvents();
    }
    return file.error() == QFileDevice::NoError;
}

// What one pass over the bytes, piece by piece, tells about them. They are plain GBK when
// decoding them and encoding the text again gives the same bytes; then every ASCII marker that
// starts with "<" (a byte that never continues a GBK character) lies in the bytes exactly where
// the text has it, so the bytes can be searched and cut instead of the text.
struct PlainScan {
    bool plain = true;
    std::array<qsizetype, std::size(kFrameMarkers)> markerAt{}; // first offset, -1 absent

    bool hasFrame() const {
        return std::all_of(markerAt.begin(), markerAt.end(), [](qsizetype at) { return at >= 0; });
    }

    // Where CutBefore(text, "</table>") cuts, as a byte offset; -1 when it keeps the text.
    qsizetype cutOffset(const QByteArray& bytes) const {
        const qsizetype at = markerAt.back();
        // The cut needs two characters before the marker; a GBK character has at most two bytes.
        if (at < 0 || at >= 4)
            return at;
        return DecodeGbk(QByteArrayView(bytes.constData(), at)).size() >= 2 ? at : -1;
    }
};

PlainScan scanPieces(const QByteArray& bytes) {
    PlainScan scan;
    scan.markerAt.fill(-1);
    const QByteArrayView all(bytes);
    qsizetype from = 0;
    while (from < bytes.size()) {
        qsizetype to = std::min(bytes.size(), from + kPieceBytes);
        // A byte below 0x40 ends every character it belongs to: a safe place to split.
        while (to < bytes.size() && static_cast<unsigned char>(bytes.at(to - 1)) >= 0x40)
            ++to;
        const QByteArrayView piece = all.sliced(from, to - from);
        const QByteArray again = ToGbk(DecodeGbk(piece));
        if (again.size() != piece.size() ||
            std::memcmp(again.constData(), piece.data(), size_t(piece.size())) != 0) {
            scan.plain = false;
            return scan;
        }
        for (std::size_t m = 0; m < std::size(kFrameMarkers); ++m) {
            if (scan.markerAt[m] >= 0)
                continue;
            // Reach a little past the piece so that a marker across its end is found.
            const QByteArrayView marker(kFrameMarkers[m]);
            const QByteArrayView window =
                all.sliced(from, std::min(bytes.size(), to + marker.size() - 1) - from);
            const qsizetype at = window.indexOf(marker);
            if (at >= 0)
                scan.markerAt[m] = from + at;
        }
        from = to;
        PumpEvents();
    }
    return scan;
}

// Puts the damaged report (its bytes given) beside itself under the first free backup name.
// A backup that holds the same bytes already keeps them: a report that cannot be replaced
// gains no new copy at every refresh.
bool moveAside(const QString& path, const QByteArray& bytes) {
    for (int n = 1; n <= 1000; ++n) {
        const QString backup =
            path + QStringLiteral(".bak") + (n == 1 ? QString() : QString::number(n));
        const QFileInfo info(backup);
        if (info.exists() || info.isSymLink()) {
            QByteArray kept;
            if (info.size() == bytes.size() && readAll(backup, kept) && kept == bytes)
                return true;
            continue;
        }
        return QFile::rename(path, backup) || QFile::copy(path, backup);
    }
    return false;
}

void syncData(QFile& file) {
    file.flush();
#if defined(Q_OS_UNIX)
    ::fdatasync(file.handle());
#elif defined(Q_OS_WIN)
    ::_commit(file.handle());
#endif
}

} // namespace

QString CutBefore(const QString& text, const QString& marker) {
    if (text.size() <= 2)
        return text;
    const qsizetype at = text.indexOf(marker);
    return at >= 2 ? text.left(at) : text;
}

QString ReportTime(const QDateTime& at) {
    return at.toString(QStringLiteral("MM-dd H:mm:ss"));
}

QString ReportCellText(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            escaped += QStringLiteral("&amp;");
        else if (c == u'<')
            escaped += QStringLiteral("&lt;");
        else if (c == u'>')
            escaped += QStringLiteral("&gt;");
        else
            escaped += c;
    }
    return escaped;
}

QString ReportFrameText() {
    return lines({
               QStringLiteral("<html>"),
               QStringLiteral("<head>"),
               // Without it a browser guesses the code page from its locale.
               QStringLiteral("  <meta http-equiv=\"Content-Type\" content=\"text/html; "
                              "charset=gb2312\">"),
               QStringLiteral("  <title>升级报告</title>"),
               QStringLiteral("  <style type=text/css>"),
               QStringLiteral("    body {font-family:微软雅黑,Arial,宋体;text-align:center;"
                              "padding:0px;margin:3px;}"),
               QStringLiteral("    div {height:40px;line-height:40px;}"),
               QStringLiteral("    table {width:100%;border-collapse:collapse;border-spacing:0px;"
                              "empty-cells:show;text-align:center;}"),
               QStringLiteral("    td {border-collapse:collapse;}"),
               QStringLiteral("    .FG {height:1px;font-size:0px;}"),
               QStringLiteral("  </style>"),
               QStringLiteral("</head>"),
               QStringLiteral("<body>"),
               QStringLiteral("<div>Valdane 数据更新报告</div>"),
               QStringLiteral("<table border=1 bordercolor=#c4c4c4>"),
               QStringLiteral("  <tr>"),
               cell(QStringLiteral("网站")),
               cell(QStringLiteral("时间")),
               cell(QStringLiteral("项目")),
               cell(QStringLiteral("百度")),
               cell(QStringLiteral("谷歌")),
               cell(QStringLiteral("搜狗")),
               cell(QStringLiteral("雅虎")),
               cell(QStringLiteral("搜搜")),
               cell(QStringLiteral("有道")),
               cell(QStringLiteral("必应")),
               QStringLiteral("  </tr>"),
           }) +
           ReportFootText();
}

QString ReportFootText() {
    return kTableEnd + kCrLf + QStringLiteral("</body>") + kCrLf + QStringLiteral("</html>");
}

QString ReportRowsText(const QString& site, const QString& time, const QString& label,
                       const QStringList& values, bool separator) {
    QString text;
    if (separator)
        text += QStringLiteral("  <tr class=FG><td colSpan=10>&nbsp;</td></tr>") + kCrLf;
    text += lines({QStringLiteral("  <tr>"), cell(ReportCellText(site)), cell(time), cell(label)});
    for (const QString& value : values) {
        text += cell(ReportCellText(value)) + kCrLf;
        PumpEvents();
    }
    text += QStringLiteral("  </tr>") + kCrLf;
    return text;
}

HistoryReport::HistoryReport() : clock([] { return QDateTime::currentDateTime(); }) {}

bool HistoryReport::InitReport(const QString& path) {
    RemoveStaleCopies(path);
    if (FileExists(path)) {
        if (isKnown(path))
            return true;
        QByteArray bytes;
        if (!readAll(path, bytes))
            return false;
        const PlainScan scan = scanPieces(bytes);
        if (scan.plain) {
            if (scan.hasFrame()) {
                const qint64 footAt = scan.cutOffset(bytes);
                if (footAt >= 0 && bytes.size() - footAt <= kMaxRememberedTail)
                    remember(path, footAt, bytes.mid(footAt));
                return true;
            }
        } else if (hasFrameMarkers(BytesToText(bytes, kCharset))) {
            return true;
        }
        if (!bytes.isEmpty() && !moveAside(path, bytes))
            return false;
    }
    const QByteArray frame = ToGbk(ReportFrameText()) + "\r\n";
    m_known = {};
    if (!ReplaceFileAtomically(path, frame))
        return false;
    const qint64 footAt = frame.indexOf(kTableEndBytes);
    remember(path, footAt, frame.mid(footAt));
    return true;
}

bool HistoryReport::Append(const QString& path, const QString& site, const QString& label,
                           const QStringList& values, bool separator) {
    // Built before the file is looked at: building yields to the event loop.
    const QString rowsText = ReportRowsText(site, ReportTime(clock()), label, values, separator);
    const QByteArray rows = ToGbk(rowsText);
    const QByteArray foot = ToGbk(ReportFootText()) + "\r\n";

    if (isKnown(path)) {
        switch (appendAtEnd(path, rows, foot)) {
        case EndAppend::Done:
            return true;
        case EndAppend::Failed:
            m_known = {};
            return false;
        case EndAppend::Unsuitable:
            m_known = {};
            break;
        }
    }

    QByteArray bytes;
    if (!readAll(path, bytes))
        return false;
    const PlainScan scan = scanPieces(bytes);
    if (scan.plain) {
        const qint64 cut = scan.cutOffset(bytes);
        if (cut >= 0)
            bytes.truncate(cut);
        return rewrite(path, bytes, rows, foot);
    }
    const QString kept = CutBefore(BytesToText(bytes, kCharset), kTableEnd);
    return rewrite(path, ToGbk(kept), rows, foot);
}

bool HistoryReport::isKnown(const QString& path) const {
    if (m_known.path.isEmpty() || m_known.path != path)
        return false;
    const QFileInfo info(path);
    return info.size() == m_known.size && info.lastModified() == m_known.modified;
}

// Replaces the old foot by rows + foot without ever leaving the file without its rows: the
// part of the new tail that lies beyond the old end of file is written (and synced) first, so
// until the last few dozen bytes overwrite the old foot the file still reads as it did, with
// the not yet linked bytes after its "</html>".
HistoryReport::EndAppend HistoryReport::appendAtEnd(const QString& path, const QByteArray& rows,
                                                    const QByteArray& foot) {
    QFile file(path);
    // Unbuffered: a failed write shows in its count, and nothing is left in a buffer that
    // would make the roll-back's resize flush it first and fail.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return EndAppend::Unsuitable;
    const qint64 oldSize = m_known.size;
    const qint64 footAt = m_known.footAt;
    if (file.size() != oldSize || !file.seek(footAt) || file.read(oldSize - footAt) != m_known.tail)
        return EndAppend::Unsuitable;

    const QByteArray tail = rows + foot;
    const qint64 overlap = oldSize - footAt;
    if (tail.size() < overlap)
        return EndAppend::Unsuitable;

    // The roll-back puts the old foot back as well, should the second write have torn it.
    const auto rollBack = [&] {
        if (file.seek(footAt))
            file.write(m_known.tail);
        file.resize(oldSize);
        return EndAppend::Failed;
    };
    const QByteArray beyond = tail.mid(overlap);
    if (!file.seek(oldSize) || file.write(beyond) != beyond.size())
        return rollBack();
    syncData(file);
    const QByteArray over = tail.left(overlap);
    if (!file.seek(footAt) || file.write(over) != over.size())
        return rollBack();
    file.close();
    remember(path, footAt + rows.size(), foot);
    return EndAppend::Done;
}

bool HistoryReport::rewrite(const QString& path, const QByteArray& head, const QByteArray& rows,
                            const QByteArray& foot) {
    if (!ReplaceFileAtomically(path, head + rows + foot))
        return false;
    // The head kept a "</table>" only when CutBefore refused to cut; then the next append has
    // to look at the whole text again.
    if (!head.contains(kTableEndBytes))
        remember(path, head.size() + rows.size(), foot);
    return true;
}

void HistoryReport::remember(const QString& path, qint64 footAt, const QByteArray& tail) {
    m_known.path = path;
    m_known.footAt = footAt;
    m_known.tail = tail;
    m_known.size = footAt + tail.size();
    m_known.modified = modifiedTime(path);
}
