#include "app/singleinstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

class TestSingleInstance : public QObject {
    Q_OBJECT

    static QString uniqueTitle() {
        return QStringLiteral("Valdane V1.3 Beta - test ") + QUuid::createUuid().toString();
    }

  private slots:
    void secondStartFindsTheFirst() {
        const QString title = uniqueTitle();
        SingleInstance first(title);
        QVERIFY(!first.notifyRunning());
        QVERIFY(first.listen());
        QSignalSpy shown(&first, &SingleInstance::showRequested);

        SingleInstance second(title);
        QVERIFY(second.notifyRunning());
        QVERIFY(shown.wait(2000));
        QCOMPARE(shown.size(), 1);
        // Another title is another program.
        QVERIFY(!SingleInstance(uniqueTitle()).notifyRunning());
    }

    void socketNameIsSafeAndStable() {
        const QString title = QStringLiteral("Valdane V1.3 Beta - 127.0.0.1:8936/x y");
        const QString name = SingleInstance::socketName(title);
        QCOMPARE(name, SingleInstance::socketName(title));
        QVERIFY(name != SingleInstance::socketName(title + QLatin1Char(' ')));
        for (QChar c : name)
            QVERIFY(c.isLetterOrNumber() || c == QLatin1Char('-'));
    }

    void leftoverSocketOfACrashedInstanceIsTakenOver() {
        const QString title = uniqueTitle();
        QFile stale(SingleInstance::socketPath(title));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();

        SingleInstance first(title);
        QVERIFY(!first.notifyRunning());
        QVERIFY(first.listen());
        SingleInstance second(title);
        QVERIFY(second.notifyRunning());
    }

    // The socket lies in the user's private folder, and goes when the instance ends, also by
    // a process end that skips destructors.
    void socketIsPrivateAndRemoved() {
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        const QString title = uniqueTitle();
        const QString path = SingleInstance::socketPath(title);
        QCOMPARE(QFileInfo(path).absolutePath(), runtime.filePath("valdane"));
        {
            SingleInstance first(title);
            QVERIFY(first.listen());
            QVERIFY(QFileInfo::exists(path));
        }
        QVERIFY(!QFileInfo::exists(path));
        SingleInstance again(title);
        QVERIFY(again.listen());
        SingleInstance::endListening();
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!SingleInstance(title).notifyRunning());
        qunsetenv("XDG_RUNTIME_DIR");
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_singleinstance.moc"
