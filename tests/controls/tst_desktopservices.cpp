// The platform's desktop services where they can be watched: message boxes and the launcher.
#include "controls/desktopservices.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class TestDesktopServices : public QObject {
    Q_OBJECT

  private slots:
    void messageBoxSpeaksChineseAndShowsTextAsItIs() {
        QStringList buttons;
        Qt::TextFormat format = Qt::AutoText;
        QTimer::singleShot(0, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            for (QAbstractButton* button : box->buttons())
                buttons << button->text();
            format = box->textFormat();
            box->button(QMessageBox::Cancel)->click();
        });
        const auto answer = Desktop().messageBox(
            nullptr, QStringLiteral("无法打开 <img src=x>.com"), QStringLiteral("提示"),
            DesktopServices::Buttons::OkCancel, DesktopServices::Icon::Question);
        QCOMPARE(answer, DesktopServices::Answer::Cancel);
        buttons.sort();
        QCOMPARE(buttons, QStringList({QStringLiteral("取消"), QStringLiteral("确定")}));
        QCOMPARE(format, Qt::PlainText);
    }

    // The launcher's exit status decides, not merely that it started.
    void openHearsTheLauncher_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("opened");
        QTest::newRow("no browser known") << QByteArray("exit 3") << false;
        QTest::newRow("browser took it") << QByteArray("exit 0") << true;
    }
    void openHearsTheLauncher() {
        QFETCH(QByteArray, script);
        QFETCH(bool, opened);
        QTemporaryDir dir;
        QFile launcher(dir.filePath("xdg-open"));
        QVERIFY(launcher.open(QIODevice::WriteOnly));
        launcher.write("#!/bin/sh\nprintf %s \"$1\" > \"$(dirname \"$0\")/asked\"\n" + script +
                       "\n");
        launcher.close();
        launcher.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", dir.path().toUtf8() + ":/usr/bin:/bin");
        const bool result = Desktop().open(nullptr, QStringLiteral("http://example.invalid/a?b=c"),
                                           DesktopServices::ShowShow);
        qputenv("PATH", path);
        QCOMPARE(result, opened);
        QFile asked(dir.filePath("asked"));
        QVERIFY(asked.open(QIODevice::ReadOnly));
        QCOMPARE(asked.readAll(), QByteArray("http://example.invalid/a?b=c"));
    }
};

QTEST_MAIN(TestDesktopServices)
#include "tst_desktopservices.moc"
