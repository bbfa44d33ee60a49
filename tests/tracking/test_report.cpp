#include "fixture.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "tracking/report.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#if defined(Q_OS_LINUX)
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

const QDateTime kStamp(QDate(2026, 3, 5), QTime(9, 7, 2));
const QStringList kSeven = {"1", "2", "3", "4", "5", "6", "7"};

QByteArray gbk(const char* utf8) {
    return ToGbk(QString::fromUtf8(utf8));
}

// The head of a new report, up to its table's end; the charset keeps browsers from guessing.
QByteArray frameHead() {
    const QString frame = ReportFrameText();
    return ToGbk(frame.left(frame.indexOf(QLatin1String("</table>"))));
}
const QByteArray kMetaLine =
    "  <meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">\r\n";
const char* const kFoot = "</table>\r\n</body>\r\n</html>\r\n";

// What reading the report whole, cutting it before its first "</table>" and writing it back
// with the new rows and the foot gives; written apart from the code under test.
QByteArray straightforwardAppend(const QByteArray& old, const QString& rows) {
    QString text = BytesToText(old, QStringLiteral("gb2312"));
    const qsizetype at = text.indexOf(QLatin1String("</table>"));
    if (text.size() > 2 && at >= 2)
        text.truncate(at);
    return ToGbk(text + rows + QStringLiteral("</table>\r\n</body>\r\n</html>")) + "\r\n";
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
#endif

} // namespace

class TestReport : public QObject {
    Q_OBJECT

  private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    HistoryReport m_report;

  private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(QStringLiteral("SeoLog.htm"));
        m_report = HistoryReport();
        m_report.clock = [] { return kStamp; };
    }

    void firstRunWritesFrameAndRows() {
        QVERIFY(m_report.InitReport(m_path));
        QCOMPARE(ContentOf(m_path), frameHead() + kFoot);

        const QStringList values = {"1520", "3400", "87", "0", "112", "9", "230"};
        QVERIFY(m_report.Append(m_path, "a.com", kReportIndexedLabel, values, true));
        QVERIFY(m_report.Append(m_path, "a.com", kReportBacklinksLabel, values, false));
        QVERIFY(m_report.Append(m_path, "b<i>.cn", kReportIndexedLabel,
                                {"</table>", "&", "3", "4", "5", "6", "7"}, true));

        QVERIFY(frameHead().startsWith("<html>\r\n<head>\r\n" + kMetaLine));
        // Stored values are text, never markup that could end the table.
        const QByteArray separator = "  <tr class=FG><td colSpan=10>&nbsp;</td></tr>\r\n";
        const QByteArray expected =
            frameHead() +
            ToGbk(ReportRowsText("a.com", "03-05 9:07:02", kReportIndexedLabel, values, true) +
                  ReportRowsText("a.com", "03-05 9:07:02", kReportBacklinksLabel, values, false)) +
            separator + "  <tr>\r\n    <td>b&lt;i&gt;.cn</td>\r\n    <td>03-05 9:07:02</td>\r\n" +
            gbk("    <td>收录</td>\r\n") +
            "    <td>&lt;/table&gt;</td>\r\n    <td>&amp;</td>\r\n    <td>3</td>\r\n    "
            "<td>4</td>\r\n"
            "    <td>5</td>\r\n    <td>6</td>\r\n    <td>7</td>\r\n  </tr>\r\n" +
            kFoot;
        QCOMPARE(ContentOf(m_path), expected);

        // The next program start finds its own frame and keeps every row, also when it reads the
        // file whole and cuts it before the table's end.
        HistoryReport later;
        later.clock = m_report.clock;
        QVERIFY(later.InitReport(m_path));
        QCOMPARE(ContentOf(m_path), expected);
        QVERIFY(later.Append(m_path, "c.com", kReportBacklinksLabel, kSeven, false));
        QCOMPARE(
            ContentOf(m_path),
            straightforwardAppend(expected, ReportRowsText("c.com", "03-05 9:07:02",
                                                           kReportBacklinksLabel, kSeven, false)));
    }

    void existingReportAtInit_data() {
        QTest::addColumn<QByteArray>("existing");
        QTest::addColumn<QByteArray>("oldBackup"); // empty: none
        QTest::addColumn<bool>("keptAside");
        QTest::newRow("foreign but whole")
            << gbk("<html><body>旧<table><tr><td>x</td></tr></table></body></html>") << QByteArray()
            << false;
        QTest::newRow("empty") << QByteArray() << QByteArray() << false;
        QTest::newRow("earlier frame without the charset")
            << frameHead().remove(frameHead().indexOf("  <meta"), kMetaLine.size()) + kFoot
            << QByteArray() << false;
        QTest::newRow("no body end") << frameHead() + "</table>\r\n</html>\r\n"
                                     << QByteArray() << true;
        QTest::newRow("damaged, backup taken")
            << QByteArray("hand-edited") << QByteArray("older") << true;
    }

    void existingReportAtInit() {
        QFETCH(QByteArray, existing);
        QFETCH(QByteArray, oldBackup);
        QFETCH(bool, keptAside);
        PutContent(m_path, existing);
        if (!oldBackup.isEmpty())
            PutContent(m_path + ".bak", oldBackup);
        QVERIFY(m_report.InitReport(m_path));
        const QByteArray frame = frameHead() + kFoot;
        QCOMPARE(ContentOf(m_path), keptAside || existing.isEmpty() ? frame : existing);
        if (!oldBackup.isEmpty())
            QCOMPARE(ContentOf(m_path + ".bak"), oldBackup);
        const QString backup = m_path + (oldBackup.isEmpty() ? ".bak" : ".bak2");
        QCOMPARE(QFileInfo::exists(backup), keptAside);
        if (keptAside)
            QCOMPARE(ContentOf(backup), existing);
    }

    void sameDamageKeepsOneCopy() {
        for (const QByteArray damage : {"damaged", "damaged", "damaged otherwise", "damaged"}) {
            PutContent(m_path, damage);
            QVERIFY(HistoryReport().InitReport(m_path));
        }
        QCOMPARE(ContentOf(m_path + ".bak"), QByteArray("damaged"));
        QCOMPARE(ContentOf(m_path + ".bak2"), QByteArray("damaged otherwise"));
        QVERIFY(!QFileInfo::exists(m_path + ".bak3"));
    }

    void unreadableReportIsLeftAlone() {
#if defined(Q_OS_LINUX)
        const QByteArray history = frameHead() + "  <tr><td>old</td></tr>\r\n" + kFoot;
        PutContent(m_path, history);
        QVERIFY(QFile::setPermissions(m_path, QFileDevice::WriteOwner));
        const bool dropped = setFileAccessOverride(false);
        QFile probe(m_path);
        if (probe.open(QIODevice::ReadOnly)) {
            setFileAccessOverride(true);
            QSKIP("the file stays readable for this user");
        }
        const bool initialised = m_report.InitReport(m_path);
        const bool appended = m_report.Append(m_path, "a.com", kReportIndexedLabel, kSeven, true);
        if (dropped)
            QVERIFY(setFileAccessOverride(true));
        QVERIFY(QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QVERIFY(!initialised);
        QVERIFY(!appended);
        QCOMPARE(ContentOf(m_path), history);
        QVERIFY(!QFileInfo::exists(m_path + ".bak"));
#else
        QSKIP("needs a way to make a file unreadable");
#endif
    }

    void missingFileOrFolder() {
        // A report removed after the start: the row is skipped, not written into a new file.
        QVERIFY(m_report.InitReport(m_path));
        QVERIFY(QFile::remove(m_path));
        QVERIFY(!m_report.Append(m_path, "a.com", kReportIndexedLabel, kSeven, true));
        QVERIFY(!QFileInfo::exists(m_path));

        const QString notAFolder = m_dir->filePath(QStringLiteral("file"));
        PutContent(notAFolder, "x");
        const QString path = notAFolder + QStringLiteral("/SeoLog.htm");
        QVERIFY(!m_report.InitReport(path));
        QVERIFY(!m_report.Append(path, "a.com", kReportIndexedLabel, kSeven, true));
        QCOMPARE(ContentOf(notAFolder), QByteArray("x"));
    }

    void appendsMatchWholeRewrite_data() {
        QTest::addColumn<QByteArray>("initial");
        QTest::addColumn<bool>("initialise");
        QTest::newRow("new report") << QByteArray() << true;
        QTest::newRow("own report, no init") << frameHead() + kFoot << false;
        QTest::newRow("foreign frame")
            << gbk("<html><body>历史<table><tr><td>1</td></tr></table>\n</body></html>\n") << true;
        QTest::newRow("second table by hand")
            << frameHead() +
                   "</table>\r\n<table><tr><td>x</td></tr></table>\r\n</body>\r\n</html>\r\n"
            << true;
        QTest::newRow("invalid GBK bytes")
            << QByteArray("<html><body><table><tr><td>\x81\x20\xFF</td></tr></table></body></html>")
            << true;
        QTest::newRow("marker at the start")
            << QByteArray("</table><html><body><table></body></html>") << true;
        QTest::newRow("no foot") << QByteArray("<tr><td>rows only</td></tr>\r\n") << false;
        QTest::newRow("one character before the marker") << gbk("中</table>x") << false;
        QTest::newRow("two characters before the marker") << gbk("ab</table>x") << false;
        QTest::newRow("marker in upper case")
            << QByteArray("<table><tr></tr></TABLE></body>") << false;
        QTest::newRow("megabytes without a line end")
            << frameHead() + ToGbk(QString(700000, QChar(0x4E2D))) + "\r\n" + kFoot << true;
        QTest::newRow("marker across a piece end")
            << QByteArray("<html><body><table>") + QByteArray((1 << 20) - 1 - 19, ' ') +
                   "</table></body></html>"
            << true;
        QTest::newRow("lead byte at the end")
            << QByteArray("<html><body><table></table>\xB0") << false;
    }

    void appendsMatchWholeRewrite() {
        QFETCH(QByteArray, initial);
        QFETCH(bool, initialise);
        if (!initial.isEmpty())
            PutContent(m_path, initial);
        QByteArray expected = initial;
        if (initialise) {
            QVERIFY(m_report.InitReport(m_path));
            QVERIFY(!QFileInfo::exists(m_path + ".bak"));
            expected = ContentOf(m_path);
        }
        struct Block {
            QString site;
            QString label;
            QStringList values;
            bool separator;
        };
        const QList<Block> blocks = {
            {"a.com", kReportIndexedLabel, kSeven, true},
            {"a.com", kReportBacklinksLabel, {"12", "0", "x", "", "5", "6", "7"}, false},
            {"中文.cn", kReportIndexedLabel, {"</table>", "&", "<", ">", "5", "6", "7"}, true},
            {"e.com", kReportBacklinksLabel, {"\U0001F600", "丂", "3", "4", "5", "6", "7"}, false},
        };
        for (const Block& b : blocks) {
            const QString rows =
                ReportRowsText(b.site, ReportTime(kStamp), b.label, b.values, b.separator);
            expected = straightforwardAppend(expected, rows);
            QVERIFY(m_report.Append(m_path, b.site, b.label, b.values, b.separator));
            QCOMPARE(ContentOf(m_path), expected);
        }
    }

    void killedWriterLosesNothingAcknowledged() {
        const QString ini = m_dir->filePath(QStringLiteral("Config.ini"));
        QList<int> done; // rows whose writes had returned, per round
        for (int round = 0; round < 30; ++round) {
            const QString prefix = QStringLiteral("r%1-").arg(round);
            QProcess writer;
            writer.start(QStringLiteral(KILL_WRITER), {m_path, ini, prefix});
            QVERIFY(writer.waitForStarted());
            QByteArray printed;
            // Mostly while writing; now and then before the first row is through.
            if (round % 5 != 4)
                QTRY_VERIFY((printed += writer.readAllStandardOutput()).contains('\n'));
            // Kill times spread over the writes by a fixed rule, so a failing round comes back.
            QTest::qWait(round * 13 % 40);
            writer.kill();
            QVERIFY(writer.waitForFinished());
            printed += writer.readAllStandardOutput();
            const QList<QByteArray> lines = printed.trimmed().split('\n');
            done.append(printed.trimmed().isEmpty() ? 0 : lines.last().toInt() + 1);

            // The next run finds its frame, every row before the cut and every setting.
            HistoryReport next;
            QVERIFY(next.InitReport(m_path));
            QVERIFY(!QFileInfo::exists(m_path + ".bak"));
            const QByteArray bytes = ContentOf(m_path);
            const QByteArray kept = bytes.left(bytes.indexOf("</table>"));
            QVERIFY(kept.startsWith(frameHead()));
            for (int r = 0; r <= round; ++r) {
                const QString roundPrefix = QStringLiteral("r%1-").arg(r);
                if (done.at(r) > 0)
                    QVERIFY(ReadIni(roundPrefix, "Last", ini).toInt() >= done.at(r) - 1);
                for (int row = 0; row < done.at(r); ++row) {
                    const QString site = roundPrefix + QString::number(row) + ".com";
                    QVERIFY2(kept.contains("    <td>" + site.toLatin1() + "</td>\r\n"),
                             qPrintable(site));
                    QCOMPARE(ReadIni(site, "Url_site", ini), QString("1520,3400,87,0,112,9,230"));
                }
            }
        }
    }

    void fullDiskRollsBackTheAppend_data() {
        QTest::addColumn<bool>("fileSystem"); // else a file size limit
        QTest::newRow("file size limit") << false;
        QTest::newRow("full file system") << true;
    }

    void fullDiskRollsBackTheAppend() {
#if defined(Q_OS_LINUX)
        QFETCH(bool, fileSystem);
        const QString folder = m_dir->filePath("small");
        QVERIFY(QDir(m_dir->path()).mkdir("small"));
        const QByteArray where = QFile::encodeName(folder);
        if (fileSystem && mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("mounting a small file system is not permitted here");
        const auto unmount = qScopeGuard([&] {
            if (fileSystem)
                umount(where.constData());
        });
        const QString path = folder + "/SeoLog.htm";
        QVERIFY(m_report.InitReport(path));
        QVERIFY(m_report.Append(path, "a.com", kReportIndexedLabel, kSeven, true));
        const QByteArray before = ContentOf(path);
        // Longer than the free end of the file's last page.
        const QStringList wide(7, QString(1000, u'9'));
        {
            std::unique_ptr<ResourceLimit> limit;
            if (fileSystem) {
                QFile filler(folder + "/filler");
                QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
                while (filler.write(QByteArray(4096, 'f')) == 4096) {
                }
            } else {
                limit = std::make_unique<ResourceLimit>(RLIMIT_FSIZE, rlim_t(before.size() + 100));
            }
            QVERIFY(!m_report.Append(path, "b.com", kReportIndexedLabel, wide, true));
            QCOMPARE(ContentOf(path), before);
            QFile::remove(folder + "/filler");
        }
        QVERIFY(m_report.Append(path, "b.com", kReportIndexedLabel, kSeven, true));
        QCOMPARE(ContentOf(path),
                 straightforwardAppend(before, ReportRowsText("b.com", ReportTime(kStamp),
                                                              kReportIndexedLabel, kSeven, true)));
#else
        QSKIP("needs a file size limit");
#endif
    }

    void editBehindOurBackIsSeen_data() {
        QTest::addColumn<QByteArray>("edited");
        QTest::newRow("row added by hand") << frameHead() + "  <tr><td>hand</td></tr>\r\n" + kFoot;
        QTest::newRow("earlier end of table, same size")
            << frameHead().replace("  </tr>\r\n", " </table>") + kFoot;
        QTest::newRow("foot removed") << frameHead();
    }

    void editBehindOurBackIsSeen() {
        QFETCH(QByteArray, edited);
        QVERIFY(m_report.InitReport(m_path));
        QVERIFY(m_report.Append(m_path, "a.com", kReportIndexedLabel, kSeven, true));
        const QDateTime before = QFileInfo(m_path).lastModified();
        PutContent(m_path, edited);
        // Another program's edit carries its own time even when it lands in the same millisecond.
        SetModified(m_path, before.addSecs(-3600));

        const QString rows =
            ReportRowsText("b.com", ReportTime(kStamp), kReportBacklinksLabel, kSeven, false);
        QVERIFY(m_report.Append(m_path, "b.com", kReportBacklinksLabel, kSeven, false));
        QCOMPARE(ContentOf(m_path), straightforwardAppend(edited, rows));
    }
};

QTEST_GUILESS_MAIN(TestReport)
#include "test_report.moc"
