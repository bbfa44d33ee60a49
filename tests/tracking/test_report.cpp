#include "fixture.h"
#include "storage/charset.h"
#include "tracking/report.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>

#include <cstdio>

#if defined(Q_OS_LINUX)
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

const QDateTime kStamp(QDate(2026, 3, 5), QTime(9, 7, 2));
const QStringList kSeven = {"1", "2", "3", "4", "5", "6", "7"};
const QByteArray kFoot = "</table>\r\n</body>\r\n</html>\r\n";
const QByteArray kCharset =
    "  <meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">\r\n";
// The head of a new report, up to its table's end.
QByteArray frameHead() {
    const QString frame = ReportFrameText();
    return ToGbk(frame.left(frame.indexOf(QLatin1String("</table>"))));
}
QString rowsOf(const QString& site, const QString& label = kReportIndexedLabel,
               const QStringList& values = kSeven, bool separator = true) {
    return ReportRowsText(site, QStringLiteral("03-05 9:07:02"), label, values, separator);
}
// What reading the report whole, cutting it before its first "</table>" and writing it back
// with the new rows and the foot gives; written apart from the code under test.
QByteArray straightforwardAppend(const QByteArray& old, const QString& rows) {
    QString text = BytesToText(old, QStringLiteral("gb2312"));
    const qsizetype at = text.indexOf(QLatin1String("</table>"));
    if (text.size() > 2 && at >= 2)
        text.truncate(at);
    return ToGbk(text + rows + QStringLiteral("</table>\r\n</body>\r\n</html>")) + "\r\n";
}
// Appends as a refresh does until it is killed: a row for each site <prefix><n>.com, printing n
// once its append has returned.
int writeUntilKilled(const QString& path, const QString& prefix) {
    HistoryReport report;
    if (!report.InitReport(path))
        return 1;
    const QStringList values = {"1520", "3400", "87", "0", "112", "9", "230"};
    for (int row = 0;; ++row) {
        const QString site = prefix + QString::number(row) + QStringLiteral(".com");
        if (!report.Append(path, site, row % 2 ? kReportBacklinksLabel : kReportIndexedLabel,
                           values, row % 2 == 0))
            return 1;
        std::printf("%d\n", row);
        std::fflush(stdout);
    }
}

#if defined(Q_OS_LINUX)
// Root reads every file whatever its mode; drop that power for the calling thread.
bool setFileAccessOverride(bool on) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    const quint32 bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    data[0].effective =
        on ? (data[0].effective | (data[0].permitted & bits)) : (data[0].effective & ~bits);
    return syscall(SYS_capset, &header, data) == 0;
}
#else
bool setFileAccessOverride(bool) {
    return false;
}
#endif

} // namespace

class TestReport : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    HistoryReport m_report;
    // The report (0), then its backups .bak, .bak2, ...
    QString fileName(qsizetype i) const {
        return m_path + (i > 0 ? ".bak" + (i > 1 ? QString::number(i) : QString()) : QString());
    }

  private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(QStringLiteral("SeoLog.htm"));
        m_report = HistoryReport();
        m_report.clock = [] { return kStamp; };
    }
    // The report (null: none) and its backups, before and after the start of a run.
    void existingReportAtInit_data() {
        QTest::addColumn<QByteArrayList>("before");
        QTest::addColumn<QByteArrayList>("after");
        const QByteArray fresh = frameHead() + kFoot;
        const QByteArray noCharset = QByteArray(fresh).replace(kCharset, "");
        const QByteArray noBodyEnd = frameHead() + "</table>\r\n</html>\r\n";
        const QByteArray foreign =
            ToGbk("<html><body>旧<table><tr><td>x</td></tr></table></body></html>");
        using L = QByteArrayList;
        addRow("no file", L{{}}, L{fresh});
        addRow("empty", L{""}, L{fresh});
        addRow("foreign but whole", L{foreign}, L{foreign});
        addRow("earlier frame without the charset", L{noCharset}, L{noCharset});
        addRow("no body end", L{noBodyEnd}, L{fresh, noBodyEnd});
        addRow("damaged, backup taken", L{"hand-edited", "older"},
               L{fresh, "older", "hand-edited"});
        addRow("same damage kept once", L{"damaged", "other", "damaged"},
               L{fresh, "other", "damaged"});
    }
    void existingReportAtInit() {
        QFETCH(QByteArrayList, before);
        QFETCH(QByteArrayList, after);
        for (qsizetype i = 0; i < before.size(); ++i)
            if (!before.at(i).isNull())
                PutContent(fileName(i), before.at(i));
        QVERIFY(m_report.InitReport(m_path));
        // A new frame names its charset, so that browsers do not guess it from their locale.
        QVERIFY(frameHead().startsWith("<html>\r\n<head>\r\n" + kCharset));
        QByteArrayList found;
        for (qsizetype i = 0; QFileInfo::exists(fileName(i)); ++i)
            found.append(ContentOf(fileName(i)));
        QCOMPARE(found, after);
    }
    // A report that cannot be read or written is neither replaced, set aside nor created.
    void unusableReportIsLeftAlone_data() {
        QTest::addColumn<QString>("how");
        for (const char* how :
             {"removed after the start", "under a file", "a folder", "unreadable"})
            addRow(how, how);
    }
    void unusableReportIsLeftAlone() {
        QFETCH(QString, how);
        QString path = m_path;
        QByteArray before = "<unreadable>";
        bool dropped = false;
        const auto restore = [&] {
            if (dropped)
                dropped = !setFileAccessOverride(true);
            QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        };
        const auto restoreAtExit = qScopeGuard(restore);
        if (how == "removed after the start") {
            QVERIFY(m_report.InitReport(m_path) && QFile::remove(m_path));
        } else if (how == "under a file") {
            PutContent(m_path, before = "x");
            path += "/SeoLog.htm";
        } else if (how == "a folder") {
            QVERIFY(QDir().mkdir(m_path));
        } else {
            before = frameHead() + "  <tr><td>old</td></tr>\r\n" + kFoot;
            PutContent(m_path, before);
            QVERIFY(QFile::setPermissions(m_path, QFileDevice::WriteOwner));
            dropped = setFileAccessOverride(false);
            if (QFile(m_path).open(QIODevice::ReadOnly))
                QSKIP("the file stays readable for this user");
        }
        const bool initialised = how == "removed after the start" || m_report.InitReport(path);
        const bool appended = m_report.Append(path, "a.com", kReportIndexedLabel, kSeven, true);
        restore();
        QCOMPARE(ContentOf(m_path), before);
        QVERIFY(initialised == (how == "removed after the start") && !appended &&
                !QFileInfo::exists(m_path + ".bak"));
    }
    void appendsMatchWholeRewrite_data() {
        QTest::addColumn<QByteArray>("initial");
        QTest::addColumn<bool>("initialise");
        // Not empty: another program writes it over the report after the first append.
        QTest::addColumn<QByteArray>("edited");
        const auto row = [](const char* name, bool initialise, const QByteArray& initial,
                            const QByteArray& edited = {}) {
            QTest::newRow(name) << initial << initialise << edited;
        };
        row("new report", true, {});
        row("own report, no init", false, frameHead() + kFoot);
        row("foreign frame", true,
            ToGbk("<html><body>历史<table><tr><td>1</td></tr></table>\n</body></html>\n"));
        row("second table by hand", true,
            frameHead() +
                "</table>\r\n<table><tr><td>x</td></tr></table>\r\n</body>\r\n</html>\r\n");
        row("invalid GBK bytes", true,
            "<html><body><table><tr><td>\x81\x20\xFF</td></tr></table></body></html>");
        row("marker at the start", true, "</table><html><body><table></body></html>");
        row("no foot", false, "<tr><td>rows only</td></tr>\r\n");
        row("one character before the marker", false, ToGbk("中</table>x"));
        row("two characters before the marker", false, ToGbk("ab</table>x"));
        row("marker in upper case", false, "<table><tr></tr></TABLE></body>");
        row("megabytes without a line end", true,
            frameHead() + ToGbk(QString(700000, QChar(0x4E2D))) + "\r\n" + kFoot);
        row("marker across a piece end", true,
            "<html><body><table>" + QByteArray((1 << 20) - 1 - 19, ' ') + "</table></body></html>");
        row("lead byte at the end", false, "<html><body><table></table>\xB0");
        row("edited: row added by hand", true, {},
            frameHead() + "  <tr><td>hand</td></tr>\r\n" + kFoot);
        // As long as what the first append left, so that only the file's time tells.
        row("edited: earlier end of table, same size", true, {},
            frameHead().replace("  </tr>\r\n", " </table>") + ToGbk(rowsOf("a.com")) + kFoot);
        row("edited: foot removed", true, {}, frameHead());
    }
    void appendsMatchWholeRewrite() {
        QFETCH(QByteArray, initial);
        QFETCH(bool, initialise);
        QFETCH(QByteArray, edited);
        if (!initial.isEmpty())
            PutContent(m_path, initial);
        QByteArray expected = initial;
        if (initialise) {
            QVERIFY(m_report.InitReport(m_path) && !QFileInfo::exists(m_path + ".bak"));
            expected = ContentOf(m_path);
        }
        const std::tuple<QString, QString, QStringList, bool> blocks[] = {
            {"a.com", kReportIndexedLabel, kSeven, true},
            {"a.com", kReportBacklinksLabel, {"12", "0", "x", "", "5", "6", "7"}, false},
            {"中<文>.cn", kReportIndexedLabel, {"</table>", "&", "<", ">", "5", "6", "7"}, true},
            {"e.com", kReportBacklinksLabel, {"\U0001F600", "丂", "3", "4", "5", "6", "7"}, false},
        };
        for (const auto& [site, label, values, sep] : blocks) {
            expected = straightforwardAppend(expected, rowsOf(site, label, values, sep));
            QVERIFY(m_report.Append(m_path, site, label, values, sep));
            QCOMPARE(ContentOf(m_path), expected);
            if (!edited.isEmpty()) { // once, after the first append
                const QDateTime before = QFileInfo(m_path).lastModified();
                PutContent(m_path, edited);
                // Another program's edit carries its own time, even in the same millisecond.
                SetModified(m_path, before.addSecs(-3600));
                expected = std::exchange(edited, {});
            }
        }
        // Stored text never becomes markup that could end the table.
        QVERIFY(ContentOf(m_path).contains(
            ToGbk("<td>中&lt;文&gt;.cn</td>\r\n    <td>03-05 9:07:02</td>\r\n    <td>收录</td>\r\n"
                  "    <td>&lt;/table&gt;</td>\r\n    <td>&amp;</td>\r\n    <td>&lt;</td>\r\n"
                  "    <td>&gt;</td>\r\n")));
    }
    void killedWriterLosesNothingAcknowledged() {
        QList<int> done; // rows whose writes had returned, per round
        for (int round = 0; round < 30; ++round) {
            const QString prefix = QStringLiteral("r%1-").arg(round);
            QProcess writer;
            writer.start(QCoreApplication::applicationFilePath(), {"--write", m_path, prefix});
            QVERIFY(writer.waitForStarted());
            QByteArray printed;
            // Mostly while writing; now and then before the first row is through.
            if (round % 5 != 4)
                QTRY_VERIFY((printed += writer.readAllStandardOutput()).contains('\n'));
            // Kill times spread over the writes by a fixed rule, so a failing round comes back.
            QTest::qWait(round * 13 % 40);
            writer.kill();
            QVERIFY(writer.waitForFinished());
            printed = (printed + writer.readAllStandardOutput()).trimmed();
            done.append(printed.isEmpty() ? 0 : printed.split('\n').last().toInt() + 1);
            // The next run finds its frame and every row before the cut.
            QVERIFY(HistoryReport().InitReport(m_path) && !QFileInfo::exists(m_path + ".bak"));
            const QByteArray bytes = ContentOf(m_path);
            const QByteArray kept = bytes.left(bytes.indexOf("</table>"));
            QVERIFY(kept.startsWith(frameHead()));
            for (int r = 0; r <= round; ++r)
                for (int row = 0; row < done.at(r); ++row) {
                    const QString site = QStringLiteral("r%1-%2.com").arg(r).arg(row);
                    QVERIFY2(kept.contains("    <td>" + site.toLatin1() + "</td>\r\n"),
                             qPrintable(site));
                }
        }
    }
    void fullDiskRollsBackTheAppend() {
#if defined(Q_OS_LINUX)
        QVERIFY(m_report.InitReport(m_path));
        QVERIFY(m_report.Append(m_path, "a.com", kReportIndexedLabel, kSeven, true));
        const QByteArray before = ContentOf(m_path);
        {
            const ResourceLimit limit(RLIMIT_FSIZE, rlim_t(before.size() + 100));
            // Longer than the free end of the file's last page.
            const QStringList wide(7, QString(1000, u'9'));
            QVERIFY(!m_report.Append(m_path, "b.com", kReportIndexedLabel, wide, true));
            QCOMPARE(ContentOf(m_path), before);
        }
        QVERIFY(m_report.Append(m_path, "b.com", kReportIndexedLabel, kSeven, true));
        QCOMPARE(ContentOf(m_path), straightforwardAppend(before, rowsOf("b.com")));
#else
        QSKIP("needs a file size limit");
#endif
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--write") == 0) // the writer that the kill test kills
        return writeUntilKilled(app.arguments().at(2), app.arguments().at(3));
    TestReport test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_report.moc"
