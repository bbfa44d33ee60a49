#include "mainwindow.h"

#include "app/configfiles.h"
#include "app/modmin.h"
#include "app/servicelauncher.h"
#include "app/singleinstance.h"
#include "controls/ctlbutton.h"
#include "controls/desktopservices.h"
#include "lookup/lookuppanels.h"
#include "lookup/settingspanel.h"
#include "net/queryprotocol.h"
#include "net/webpage.h"
#include "storage/inifile.h"
#include "storage/runtimefolder.h"
#include "storage/texthelpers.h"
#include "tracking/sitetracking.h"

#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QSessionManager>
#include <QTimer>

namespace {

const QString kAppName = QStringLiteral("Valdane");
const QString kScratchName = QStringLiteral("~TMPDF9ED8.tmp");
const QString kMyQQ = QStringLiteral("88936");
const QString kMyEmail = QStringLiteral("support@valdane.example");

bool isWebAddress(const QString& address) {
    return address.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
           address.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

} // namespace

MainWindow::MainWindow(const QString& programFolder, const QStringList& arguments, QWidget* parent)
    : Form_Main(parent), m_programFolder(QDir::cleanPath(programFolder)), m_arguments(arguments),
      m_tracking(std::make_unique<SiteTracking>(*this)),
      m_lookups(std::make_unique<LookupPanels>(*this)),
      m_settings(std::make_unique<SettingsPanel>(*this, *m_tracking, *m_lookups)),
      m_service(std::make_unique<ServiceLauncher>(ServiceLauncher::ForThisProgram())) {
    m_tracking->closeRequest = [this] { CloseRequest(); };
    m_tracking->runFinished = [this] { checkConfigWritable(); };
    connect(MenuShow(), &QAction::triggered, this,
            [this] { TrayMessage(*this, TrayMessages::LeftDoubleClick); });
    connect(MenuQuit(), &QAction::triggered, this, [this] { CloseRequest(); });
    // The session manager asks every program to save when the user logs off; the question
    // during a refresh needs its leave, and staying cancels the log-off.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager& manager) {
        const bool mayAsk = IsBusy && manager.allowsInteraction();
        if (CloseRequest(mayAsk))
            return;
        manager.release();
        manager.cancel();
    });
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { CloseRequest(false); });
    Label1(1)->setCursor(Qt::PointingHandCursor);
    Label1(1)->installEventFilter(this);
}

MainWindow::~MainWindow() = default;

QString MainWindow::Title() {
    return kAppName + QLatin1Char(' ') + kProgramVersion + QStringLiteral(" - ") + MakerHost();
}

QString MainWindow::TrayTip() {
    return kAppName + QStringLiteral("  ") + kProgramVersion + QStringLiteral("\r\n") + MakerUrl();
}

void MainWindow::Load() {
    setWindowTitle(Title());
    TrayAdd(*this, TrayTip());
    Label1(0)->setText(ClockText(QDateTime::currentDateTime()));
    Label1(1)->setText(MakerUrl());
    Label1(1)->setToolTip(QStringLiteral("访问作者网站"));
    Timer1(0)->start();
    DotTicks = 0;
    AutoGainTicks = 0;
    WebTicks = 0;

    const FilePlaces places = LocateFiles(m_programFolder);
    LogPath = places.log;
    ConfigPath = places.config;
    // Private, so that no other user can plant the update notice or a link in its place.
    const QString runtime = PrivateRuntimeFolder();
    TempPath = runtime.isEmpty() ? QString() : runtime + QLatin1Char('/') + kScratchName;
    if (FileExists(TempPath))
        QFile::remove(TempPath);

    const QString info = QStringLiteral("Info");
    WriteIni(info, QStringLiteral("AppName"), kAppName, ConfigPath);
    WriteIni(info, QStringLiteral("AppVersion"), kProgramVersion, ConfigPath);
    WriteIni(info, QStringLiteral("WorkPath"), QDir::toNativeSeparators(m_programFolder),
             ConfigPath);
    WriteIni(info, QStringLiteral("MyQQ"), kMyQQ, ConfigPath);
    WriteIni(info, QStringLiteral("MyEmail"), kMyEmail, ConfigPath);
    WriteIni(info, QStringLiteral("MyUrl"), MakerUrl(), ConfigPath);

    for (int i = 0; i <= 4; ++i) {
        CmdMenu2(i)->setPictrueNormal(PicBox(0)->pixmap());
        CmdMenu2(i)->setPictureOver(PicBox(1)->pixmap());
        CmdMenu2(i)->setPictureClick(PicBox(2)->pixmap());
        CmdMenu2(i)->setPictureDisable(PicBox(3)->pixmap());
        PumpEvents();
    }

    m_tracking->SetupColumns();

    const QString setting = QStringLiteral("Setting");
    const QString autoUpdate = ReadIni(setting, QStringLiteral("AutoUpdate"), ConfigPath);
    if (autoUpdate != QLatin1String("0") && autoUpdate != QLatin1String("1"))
        WriteIni(setting, QStringLiteral("AutoUpdate"), QStringLiteral("1"), ConfigPath);

    const QString stored = ReadIni(setting, QStringLiteral("SeoUrl"), ConfigPath);
    SiteList = NormalizeSiteList(stored);
    if (SiteList.size() != stored.size())
        WriteIni(setting, QStringLiteral("SeoUrl"), SiteList, ConfigPath);

    if (SiteList.isEmpty()) {
        CmdMenu2(1)->setEnable(false);
        m_settings->CmdMenu1Click(6);
    } else {
        m_tracking->LoadSiteLists();
        m_settings->CmdMenu1Click(0);
        CmdMenu2(1)->setEnable(true);
    }

    WEB1()->Navigate(MakerUrl());
    Timer1(4)->start();
}

bool MainWindow::startsMinimised() const {
    return m_arguments.join(QLatin1Char(' ')) == QLatin1String("-Min");
}

void MainWindow::Start() {
    if (startsMinimised() && Desktop().trayAvailable() && TrayPresent()) {
        // Never mapped: a window that the window manager minimises while still mapping it
        // comes back minimised again at the first restore.
        setWindowState(windowState() | Qt::WindowMinimized);
        m_activated = true;
        QTimer::singleShot(0, this, &MainWindow::Activate);
        return;
    }
    show();
}

void MainWindow::Activate() {
    if (startsMinimised())
        setWindowState(windowState() | Qt::WindowMinimized);
    checkConfigWritable();
    // The hidden page asked at load, before the service was there.
    if (m_service->EnsureRunning())
        WEB1()->Navigate(MakerUrl());
    m_lookups->UpdateCheck();
    if (ReadIni(QStringLiteral("Setting"), QStringLiteral("AutoGain"), ConfigPath) ==
        QLatin1String("1"))
        m_tracking->UpdateSites(QStringLiteral("All"));
}

bool MainWindow::CloseRequest(bool mayAsk) {
    if (m_ending)
        return true;
    if (IsBusy && mayAsk) {
        const auto answer = Desktop().messageBox(
            this, QStringLiteral("正在获取数据，确定要退出？ \r\n"),
            kAppName + QStringLiteral("提示"), DesktopServices::Buttons::OkCancel,
            DesktopServices::Icon::Question);
        if (answer != DesktopServices::Answer::Ok)
            return false;
    }
    IsBusy = false;
    m_ending = true;
    if (FileExists(TempPath))
        QFile::remove(TempPath);
    m_tracking->SaveColumnWidths();
    TrayRemove();
    m_service->Stop();
    SingleInstance::endListening();
    Desktop().endProcess();
    return true;
}

void MainWindow::RestoreFromElsewhere() {
    Restore();
}

void MainWindow::checkConfigWritable() {
    if (m_configWarned)
        return;
    const QString problem = IniWriteProblem(ConfigPath);
    if (problem.isEmpty())
        return;
    m_configWarned = true;
    Desktop().messageBox(this,
                         QStringLiteral("设置文件 \"") + QDir::toNativeSeparators(ConfigPath) +
                             QStringLiteral("\" 无法写入：") + problem +
                             QStringLiteral("\r\n设置和查询结果将不能保存。"),
                         QStringLiteral("提示"), DesktopServices::Buttons::Ok,
                         DesktopServices::Icon::None);
}

void MainWindow::showEvent(QShowEvent* event) {
    Form_Main::showEvent(event);
    if (m_activated)
        return;
    m_activated = true;
    // Activation follows the first show once the window is on screen.
    QTimer::singleShot(0, this, &MainWindow::Activate);
}

void MainWindow::changeEvent(QEvent* event) {
    Form_Main::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // Without a notification area nothing could bring a hidden window back but a second
    // start, so the window then stays minimised on the task bar.
    if (!Desktop().trayAvailable() || !TrayPresent())
        return;
    QTimer::singleShot(0, this, [this] {
        if (isMinimized())
            hide();
    });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (CloseRequest())
        event->accept();
    else
        event->ignore();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Label1(1) && event->type() == QEvent::MouseButtonRelease) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton &&
            Label1(1)->rect().contains(mouse->position().toPoint()))
            openLinkLine();
    }
    return Form_Main::eventFilter(watched, event);
}

void MainWindow::openLinkLine() {
    // The download address arrives over plain HTTP; anything but a web address could make
    // the system's "open" start a local program, so it leads to the maker's site instead.
    const QString target =
        UpdateUrl.size() >= 2 && isWebAddress(UpdateUrl) ? UpdateUrl : MakerUrl();
    m_tracking->OpenMinimised(target, DesktopServices::ShowShow);
}
