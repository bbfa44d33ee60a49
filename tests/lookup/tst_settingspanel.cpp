#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/form_main.h"
#include "fixture.h"
#include "lookup/lookuppanels.h"
#include "lookup/settingspanel.h"
#include "net/httpget.h"
#include "storage/autostart.h"
#include "storage/inifile.h"
#include "tracking/sitetracking.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <memory>

namespace {

const QString kSetting = QStringLiteral("Setting");
const QByteArray kStoredConfig = "[Setting]\r\nSeoUrl=a.com;b.com\r\nAutoUpdate=1\r\n"
                                 "AutoGain=0\r\nAutoRecord=0\r\n"
                                 "[a.com]\r\nUrl_site=1,2,3,4,5,6,7\r\n"
                                 "[b.com]\r\nUrl_site=7,6,5,4,3,2,1\r\n";

void writeAll(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    PutContent(path, bytes);
}

} // namespace

class TestSettingsPanel : public QObject {
    Q_OBJECT
    std::unique_ptr<DesktopFixture> m_fx;
    Form_Main* m_form = nullptr;
    std::unique_ptr<SiteTracking> m_tracking;
    std::unique_ptr<LookupPanels> m_lookups;
    std::unique_ptr<SettingsPanel> m_settings;

    QString entryPath() const {
        return m_fx->path(QStringLiteral("xdg/autostart/valdane.desktop"));
    }

    QString entryProgram() const { return m_fx->path(QStringLiteral("bin/valdane")); }

    void save() { QTest::mouseClick(m_form->CMDSet(0), Qt::LeftButton); }

  private slots:
    void init() {
        m_fx = std::make_unique<DesktopFixture>(std::chrono::milliseconds(400));
        m_form = m_fx->form.get();
        SetAutostartProgramFile(entryProgram());
        qputenv("XDG_CONFIG_HOME", m_fx->path(QStringLiteral("xdg")).toUtf8());
        writeAll(m_form->ConfigPath, kStoredConfig);
        m_form->SiteList = QStringLiteral("a.com;b.com");
        m_tracking = std::make_unique<SiteTracking>(*m_form);
        m_lookups = std::make_unique<LookupPanels>(*m_form);
        m_settings = std::make_unique<SettingsPanel>(*m_form, *m_tracking, *m_lookups);
        m_form->show();
    }

    void cleanup() {
        m_settings.reset();
        m_lookups.reset();
        m_tracking.reset();
        m_fx.reset();
    }

    void menuButtonsSwitchPanels_data() {
        QTest::addColumn<int>("index");
        for (int i = 0; i < 7; ++i)
            QTest::addRow("%d", i) << i;
    }

    void menuButtonsSwitchPanels() {
        QFETCH(int, index);
        QApplication::setActiveWindow(m_form);
        QVERIFY(QTest::qWaitForWindowActive(m_form));
        for (int i = 0; i < 3; ++i)
            m_form->TextInPut(i)->setText(QStringLiteral("typed"));
        m_form->TxtMD5(0)->setText(QStringLiteral("old"));
        m_form->TextSet()->setPlainText(QStringLiteral("edited"));

        QTest::mouseClick(m_form->CmdMenu1(index), Qt::LeftButton);

        QCOMPARE(m_form->CurrentPanel, index);
        for (int i = 0; i < 7; ++i)
            QCOMPARE(m_form->Frame(i)->isVisible(), i == index);
        // Lookup panels take the typing focus; the digest panel starts empty and the settings
        // panel shows what is stored.
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_form->TextInPut(i)->hasFocus(), i == index - 3);
        QCOMPARE(m_form->TextInPut(2)->text().isEmpty(), index == 5);
        QCOMPARE(m_form->TxtMD5(0)->text().isEmpty(), index == 5);
        QCOMPARE(m_form->TextSet()->toPlainText(),
                 index == 6 ? QStringLiteral("a.com;b.com") : QStringLiteral("edited"));
    }

    void entryLoadsStoredState_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("ticked");
        QTest::newRow("one") << "1" << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("yes") << "yes" << false;
    }

    void entryLoadsStoredState() {
        QFETCH(QString, stored);
        QFETCH(bool, ticked);
        for (const char* key : {"AutoUpdate", "AutoGain", "AutoRecord"})
            WriteIni(kSetting, QString::fromLatin1(key), stored, m_form->ConfigPath);
        // Any entry counts, even an empty one.
        if (ticked)
            writeAll(entryPath(), QByteArray());

        m_settings->CmdMenu1Click(6);

        for (int i = 0; i < 4; ++i)
            QCOMPARE(m_form->CheckSet(i)->isChecked(), ticked);
        QCOMPARE(m_form->TextSet()->toPlainText(), QStringLiteral("a.com;b.com"));
    }

    void saveStoresCleanedList_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        const auto row = [](const char* name, const char* typed, const char* stored) {
            QTest::newRow(name) << QString(typed) << QString(stored);
        };
        row("unchanged", "a.com;b.com", "a.com;b.com");
        row("full-width separators and prefixes", "  http://a.com；http://c.com；b.com  ",
            "a.com;c.com;b.com");
        row("line break between entries", "a.com\nd.com;a.com", "a.com;d.com"); // as ";" does
        row("site removed", "a.com;c.com", "a.com;c.com");
    }

    // Saving stores what the panel shows, even when the file changed behind its back, then
    // reloads the lists and refreshes every site.
    void saveStoresCleanedList() {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        m_settings->CmdMenu1Click(6);
        m_form->TextSet()->setPlainText(typed);
        for (const char* key : {"SeoUrl", "AutoUpdate", "AutoGain", "AutoRecord"})
            WriteIni(kSetting, QString::fromLatin1(key), QStringLiteral("x"), m_form->ConfigPath);

        save();

        QCOMPARE(m_form->CurrentPanel, 0);
        if (stored == "a.com;b.com")
            QCOMPARE(ContentOf(m_form->ConfigPath), kStoredConfig);
        QCOMPARE(ReadIni(kSetting, "SeoUrl", m_form->ConfigPath), stored);
        QCOMPARE(ReadIni(kSetting, "AutoUpdate", m_form->ConfigPath), QStringLiteral("1"));
        QCOMPARE(ReadIni(kSetting, "AutoRecord", m_form->ConfigPath), QStringLiteral("0"));
        QCOMPARE(m_form->SiteList, stored);
        const QStringList sites = stored.split(';');
        QCOMPARE(m_form->ListView1(0)->topLevelItemCount(), sites.size());
        QStringList refreshed;
        for (const QString& request : m_fx->service.requests())
            refreshed << FakeQueryService::pageOf(request) + ' ' +
                             FakeQueryService::targetOf(request);
        for (const QString& site : sites)
            for (const char* page : {"sites.asp ", "links.asp ", "ranks.asp "})
                QVERIFY2(refreshed.contains(page + site), qPrintable(page + site));
        // Records of sites no longer listed go; those of kept sites stay.
        QCOMPARE(ContentOf(m_form->ConfigPath).contains("[b.com]"), sites.contains("b.com"));
        QCOMPARE(ReadIni("a.com", "Url_site", m_form->ConfigPath),
                 sites.contains("a.com") ? QStringLiteral("1,2,3,4,5,6,7") : QString());
        QVERIFY(!m_form->IsBusy);
        QVERIFY(m_fx->desktop.boxes.isEmpty());
        m_settings->CmdMenu1Click(6);
        QCOMPARE(m_form->TextSet()->toPlainText(), stored);
    }

    // A list without sites is refused with a box and stays as typed; the drop button leaves
    // for the overview. Either way nothing is stored, and the next entry shows the stored state.
    void nothingStored_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("button");
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("blanks") << "    " << 0;
        QTest::newRow("separators") << "；;；" << 0;
        QTest::newRow("invalid only") << "abc;.x;http://" << 0;
        QTest::newRow("dropped") << "z.com" << 1;
    }

    void nothingStored() {
        QFETCH(QString, typed);
        QFETCH(int, button);
        m_settings->CmdMenu1Click(6);
        m_form->TextSet()->setPlainText(typed);
        for (int i = 0; i < 4; ++i)
            m_form->CheckSet(i)->setChecked(!m_form->CheckSet(i)->isChecked());

        QTest::mouseClick(m_form->CMDSet(button), Qt::LeftButton);

        const bool refused = button == 0;
        QCOMPARE(m_fx->desktop.boxes.size(), refused ? 1 : 0);
        if (refused) {
            QCOMPARE(m_fx->desktop.boxes[0].text, QStringLiteral("输入错误"));
            QCOMPARE(m_fx->desktop.boxes[0].title, QStringLiteral("提示"));
            QCOMPARE(m_fx->desktop.boxes[0].buttons, DesktopServices::Buttons::Ok);
            QCOMPARE(m_form->TextSet()->toPlainText(), typed);
            QVERIFY(!m_form->CheckSet(0)->isChecked());
        }
        QCOMPARE(m_form->CurrentPanel, refused ? 6 : 0);
        QVERIFY(m_form->Frame(m_form->CurrentPanel)->isVisible());
        QCOMPARE(ContentOf(m_form->ConfigPath), kStoredConfig);
        QVERIFY(!QFile::exists(entryPath()));
        QCOMPARE(m_form->SiteList, QStringLiteral("a.com;b.com"));
        QVERIFY(m_fx->service.requests().isEmpty());

        m_settings->CmdMenu1Click(6);
        QCOMPARE(m_form->TextSet()->toPlainText(), QStringLiteral("a.com;b.com"));
        QVERIFY(m_form->CheckSet(0)->isChecked());
        QVERIFY(!m_form->CheckSet(2)->isChecked());
        QVERIFY(!m_form->CheckSet(3)->isChecked());
    }

    void autostartWrittenOnlyOnDisagreement_data() {
        // before: "none", "other" (an entry naming another program file) or "blocked" (the
        // autostart folder cannot be made below a plain file)
        QTest::addColumn<QString>("before");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<bool>("exists");
        QTest::newRow("other entry kept") << "other" << true << true;
        QTest::newRow("other entry removed") << "other" << false << false;
        QTest::newRow("entry written") << "none" << true << true;
        QTest::newRow("none wanted") << "none" << false << false;
        QTest::newRow("write fails quietly") << "blocked" << true << false;
    }

    void autostartWrittenOnlyOnDisagreement() {
        QFETCH(QString, before);
        QFETCH(bool, ticked);
        QFETCH(bool, exists);
        const QByteArray other = "[Desktop Entry]\nExec=/elsewhere/valdane -Min\n";
        if (before == "other")
            writeAll(entryPath(), other);
        if (before == "blocked") {
            writeAll(m_fx->path(QStringLiteral("not-a-folder")), "x");
            qputenv("XDG_CONFIG_HOME", m_fx->path(QStringLiteral("not-a-folder")).toUtf8());
        }
        m_settings->CmdMenu1Click(6);
        QCOMPARE(m_form->CheckSet(3)->isChecked(), before == "other");
        m_form->CheckSet(3)->setChecked(ticked);

        save();

        QCOMPARE(QFile::exists(entryPath()), exists);
        if (exists && before == "other")
            QCOMPARE(ContentOf(entryPath()), other);
        else if (exists)
            QVERIFY(ContentOf(entryPath()).contains((entryProgram() + " -Min").toUtf8()));
        QCOMPARE(ReadIni(kSetting, "SeoUrl", m_form->ConfigPath), QStringLiteral("a.com;b.com"));
        QVERIFY(m_fx->desktop.boxes.isEmpty());
        m_settings->CmdMenu1Click(6);
        QCOMPARE(m_form->CheckSet(3)->isChecked(), exists);
    }
};

QTEST_MAIN(TestSettingsPanel)
#include "tst_settingspanel.moc"
