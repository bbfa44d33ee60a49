#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

// The HTML history report (SeoLog.htm): one table that grows by a block of rows per site and
// refresh. GBK text with CR LF line ends, ending in "</html>" + CR LF.

inline const QString kReportIndexedLabel = QStringLiteral("收录");
inline const QString kReportBacklinksLabel = QStringLiteral("反链");

// The text before the first marker when the marker starts at the third character or later of
// a text longer than two characters; otherwise the text unchanged.
QString CutBefore(const QString& text, const QString& marker);

// "MM-dd H:mm:ss", the time shown in every row.
QString ReportTime(const QDateTime& at);

// The text of a cell: "&", "<" and ">" as entities so that no stored value can end the table.
QString ReportCellText(const QString& text);

// What a new report holds: frame head, header row, frame foot (no final line end).
QString ReportFrameText();

// One block of rows, each line ended by CR LF: the separator row when asked for, then the row
// of site, time, label and the values.
QString ReportRowsText(const QString& site, const QString& time, const QString& label,
                       const QStringList& values, bool separator);

// "</table>", "</body>" and "</html>", the last without a line end.
QString ReportFootText();

// Writes the report. Appending keeps the file exactly as reading it whole, cutting it before
// its first "</table>", adding the rows and the foot and writing it whole would; after the
// first append of a run it only touches the end of the file, so the cost does not grow with
// the report. Nothing here shows a message; failures skip the write.
class HistoryReport {
  public:
    HistoryReport();

    // Makes sure path holds a report frame. A missing file gets a new frame; a readable file
    // lacking any of the six frame markers is first moved aside (SeoLog.htm.bak, or .bak2,
    // .bak3, ... when that name is taken) and then replaced. A file that cannot be read is
    // left as it is. True when path now holds a frame.
    bool InitReport(const QString& path);

    // Appends one block of rows for site. False, with the file untouched, when it cannot be
    // read or written.
    bool Append(const QString& path, const QString& site, const QString& label,
                const QStringList& values, bool separator);

    // The moment each row is stamped with; the local time unless a test sets its own.
    std::function<QDateTime()> clock;

  private:
    // What the last write of ours left in the file: enough to append without reading it.
    struct Known {
        QString path;
        qint64 size = -1;
        QDateTime modified;
        qint64 footAt = -1; // byte offset of the first "</table>"
        QByteArray tail;    // the bytes from footAt to the end
    };

    enum class EndAppend { Done, Failed, Unsuitable };

    bool isKnown(const QString& path) const;
    EndAppend appendAtEnd(const QString& path, const QByteArray& rows, const QByteArray& foot);
    bool rewrite(const QString& path, const QByteArray& head, const QByteArray& rows,
                 const QByteArray& foot);
    void remember(const QString& path, qint64 footAt, const QByteArray& tail);

    Known m_known;
};
