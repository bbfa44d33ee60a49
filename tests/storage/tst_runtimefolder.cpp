#include "storage/runtimefolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestRuntimeFolder : public QObject {
    Q_OBJECT
  private:
    QTemporaryDir dir;

  private slots:
    // Each row plants its first candidate; the second, missing, is created when the first fails.
    void candidates_data() {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("firstTaken");
        QTest::newRow("missing, created") << "" << true;
        QTest::newRow("own, closed") << "own" << true;
        QTest::newRow("group may write") << "0770" << false;
        QTest::newRow("others may read") << "0704" << false;
        QTest::newRow("link to an own closed folder") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
        QTest::newRow("another user's") << "foreign" << false;
        QTest::newRow("in a folder anyone may rename in") << "open parent" << false;
    }

    void candidates() {
        QFETCH(QString, plant);
        QFETCH(bool, firstTaken);
        QTemporaryDir base;
        QVERIFY(QFile::setPermissions(base.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QString first = base.filePath("first");
        const QByteArray name = QFile::encodeName(first);
        if (plant == "own" || plant == "0770" || plant == "0704" || plant == "foreign") {
            QCOMPARE(mkdir(name.constData(), 0700), 0);
            if (plant.startsWith('0'))
                QCOMPARE(chmod(name.constData(), mode_t(plant.toInt(nullptr, 8))), 0);
        } else if (plant == "link") {
            QCOMPARE(mkdir(QFile::encodeName(base.filePath("real")).constData(), 0700), 0);
            QVERIFY(QFile::link(base.filePath("real"), first));
        } else if (plant == "file") {
            QFile file(first);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (plant == "open parent") {
            QVERIFY(QDir(base.path()).mkdir("shared"));
            QCOMPARE(chmod(QFile::encodeName(base.filePath("shared")).constData(), 0777), 0);
            first = base.filePath("shared/first");
        }
        if (plant == "foreign") {
            if (geteuid() != 0)
                QSKIP("only the super-user can give a folder away");
            QCOMPARE(chown(name.constData(), 65534, 65534), 0);
        }
        const QString second = base.filePath("second");
        const QString chosen = FirstPrivateFolder({first, second});
        QCOMPARE(chosen, firstTaken ? first : second);
        struct stat info {};
        QCOMPARE(lstat(QFile::encodeName(chosen).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(info.st_mode & 0777, mode_t(0700));
        QCOMPARE(info.st_uid, geteuid());
        QVERIFY(IsPrivateFolder(chosen));
        QCOMPARE(FirstPrivateFolder({"relative/folder", base.filePath("none/deeper")}), QString());
    }

    void environment() {
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        QCOMPARE(PrivateRuntimeFolder(), runtime.filePath("valdane"));
        // An unusable runtime folder gives way to one under the temporary folder.
        QCOMPARE(chmod(QFile::encodeName(runtime.filePath("valdane")).constData(), 0755), 0);
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
        QCOMPARE(PrivateRuntimeFolder(), dir.filePath(QStringLiteral("valdane-%1").arg(geteuid())));
        qunsetenv("XDG_RUNTIME_DIR");
        qunsetenv("TMPDIR");
    }
};

QTEST_GUILESS_MAIN(TestRuntimeFolder)
#include "tst_runtimefolder.moc"
