#include "lookup/lookuppanels.h"

#include "controls/ctlbutton.h"
#include "controls/ctlframe.h"
#include "controls/form_main.h"
#include "lookup/md5.h"
#include "net/queryprotocol.h"
#include "storage/charset.h"
#include "storage/inifile.h"
#include "storage/texthelpers.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextDocument>

namespace {

const QString kFieldSeparator = QStringLiteral("|||");
const QString kLineBreak = QStringLiteral("\r\n");
// The service sends -1 for a number it could not get; it says why on its home page.
const QString kNotObtained = QStringLiteral("—（暂无数据，原因见查询服务主页）");

// The service answers "false" or "0" when it has nothing, and too short an answer cannot be
// a real one.
bool isFailedPayload(const QString& payload) {
    return payload.size() < 4 || payload == QLatin1String("0") || payload == QLatin1String("false");
}

} // namespace

QString TrimSpaces(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' '))
        ++first;
    while (last > first && text.at(last - 1) == QLatin1Char(' '))
        --last;
    return text.mid(first, last - first);
}

LookupPanels::LookupPanels(Form_Main& form, QObject* parent) : QObject(parent), m_form(form) {
    for (int i = 0; i < 3; ++i) {
        connect(m_form.CmdSend(i), &CtlButton::Click, this, [this, i] { Lookup(i); });
        // returnPressed leaves the key event to the box, which passes it on as usual.
        connect(m_form.TextInPut(i), &QLineEdit::returnPressed, this, [this, i] { Lookup(i); });
    }
}

void LookupPanels::Lookup(int index) {
    if (index < 0 || index > 2)
        return;
    // A disabled button marks a lookup of this slot still waiting; Enter must not start another.
    if (!m_form.CmdSend(index)->Enable())
        return;

    const QString text = TrimSpaces(m_form.TextInPut(index)->text());
    if (text.isEmpty()) {
        for (int i = 0; i < 4; ++i)
            m_form.TxtMD5(i)->clear();
        return;
    }
    switch (index) {
    case 0:
        lookupWhois(text);
        break;
    case 1:
        lookupRanking(text);
        break;
    default:
        lookupDigest(text);
        break;
    }
}

void LookupPanels::lookupWhois(QString domain) {
    domain.remove(QStringLiteral("http://"));
    domain.remove(QStringLiteral("www."));
    lookupOnService(
        0, domain, QStringLiteral("whois.asp"), QStringLiteral(" 的WHOIS信息..."),
        [](const QString& payload) { return isFailedPayload(payload) ? QString() : payload; });
}

void LookupPanels::lookupRanking(QString domain) {
    // "www." stays: the ranking is asked for the host as typed.
    domain.remove(QStringLiteral("http://"));
    lookupOnService(1, domain, QStringLiteral("alexa.asp"), QStringLiteral(" 的综合排名信息..."),
                    [&domain](const QString& payload) { return RankingText(domain, payload); });
}

void LookupPanels::lookupOnService(int slot, const QString& domain, const QString& page,
                                   const QString& busySuffix,
                                   const std::function<QString(const QString&)>& display) {
    QLabel* status = slot == 0 ? m_form.LabYM() : m_form.LabPM();
    CtlFrame* frame = slot == 0 ? m_form.FrameYM() : m_form.FramePM();
    QPlainTextEdit* result = slot == 0 ? m_form.TextYM() : m_form.TextPM();
    if (!IsValidDomain(domain)) {
        status->hide();
        frame->hide();
        return;
    }

    setBusy(slot, true);
    status->setText(QStringLiteral("正在查询 ") + domain + busySuffix);
    status->show();
    frame->hide();

    const QString shown = display(QueryPayload(QueryAddress(page, QueryKey(), domain)));
    if (shown.isEmpty()) {
        status->setText(QStringLiteral("网络超时"));
        result->clear();
    } else {
        status->clear();
        status->hide();
        result->setPlainText(shown);
        frame->show();
    }
    setBusy(slot, false);
}

QString LookupPanels::RankingText(const QString& domain, const QString& payload) {
    if (isFailedPayload(payload) || payload.indexOf(kFieldSeparator) < 1)
        return QString();
    const QStringList fields = payload.split(kFieldSeparator);
    if (fields.size() != 9)
        return QString();

    // -1 is how the service marks a trend it could not compute (a fall of exactly one place
    // reads the same); other negative trends are falls.
    const QString trendField = fields[5].isEmpty() ? QStringLiteral("0") : fields[5];
    const QString trend =
        QLatin1Char('[') +
        (trendField.trimmed() == QLatin1String("-1") ? QStringLiteral("—") : trendField) +
        QLatin1Char(']');
    const QString rank = IsMissingNumber(fields[2]) ? kNotObtained : fields[2] + trend;
    const QString backlinks = IsMissingNumber(fields[3]) ? kNotObtained : fields[3];
    QString text = kLineBreak + QLatin1Char(' ') + domain + QStringLiteral(" 的综合排名为 ") + rank;
    const std::pair<const char16_t*, QString> rows[] = {
        {u"站点名称：", fields[0]}, {u"排名趋势：", rank},      {u"反链数目：", backlinks},
        {u"收录时间：", fields[4]}, {u"网站站长：", fields[6]}, {u"电子信箱：", fields[8]},
        {u"详细地址：", fields[7]}, {u"网站简介：", fields[1]},
    };
    for (const auto& [label, value] : rows)
        text += kLineBreak + kLineBreak + QLatin1Char(' ') + QString::fromUtf16(label) + value;
    return text;
}

void LookupPanels::lookupDigest(const QString& text) {
    // One pass gives all four forms: the short form is the middle of the long one.
    const QString digest = Md5Text(text, 32, false);
    m_form.TxtMD5(0)->setText(digest.mid(8, 16));
    m_form.TxtMD5(1)->setText(digest.mid(8, 16).toUpper());
    m_form.TxtMD5(2)->setText(digest);
    m_form.TxtMD5(3)->setText(digest.toUpper());
}

void LookupPanels::setBusy(int index, bool busy) {
    m_form.CmdSend(index)->setEnable(!busy);
    m_form.TextInPut(index)->setReadOnly(busy);
}

void LookupPanels::EnterPanel(int panel) {
    switch (panel) {
    case 3:
        m_form.TextInPut(0)->setFocus();
        break;
    case 4:
        m_form.TextInPut(1)->setFocus();
        break;
    case 5:
        m_form.TextInPut(2)->clear();
        for (int i = 0; i < 4; ++i)
            m_form.TxtMD5(i)->clear();
        m_form.TextInPut(2)->setFocus();
        break;
    default:
        break;
    }
}

void LookupPanels::UpdateCheck() {
    if (ReadIni(QStringLiteral("Setting"), QStringLiteral("AutoUpdate"), m_form.ConfigPath) !=
        QLatin1String("1"))
        return;

    const QString payload = QueryPayload(UpdateFileAddress());
    if (payload == QLatin1String("0") || payload.size() <= 5)
        return;

    // The description is an INI document; the INI layer reads it from the scratch file.
    const QString section = QStringLiteral("ConFig");
    // Without the scratch file there is no description to read: an empty version read back
    // would announce a "new version" that nobody published.
    if (!WriteTextFile(m_form.TempPath, payload))
        return;
    m_form.UpdateVersion = ReadIni(section, QStringLiteral("Version"), m_form.TempPath);
    if (m_form.UpdateVersion == kProgramVersion)
        return;

    m_form.UpdateName = ReadIni(section, QStringLiteral("Name"), m_form.TempPath);
    m_form.UpdateUrl = ReadIni(section, QStringLiteral("Url"), m_form.TempPath);
    m_form.Label1(1)->setText(QStringLiteral("发现新版本 ") + m_form.UpdateVersion +
                              QStringLiteral(" 请更新"));
    // Qt takes a tip that looks like markup for markup; the name comes from the server.
    m_form.Label1(1)->setToolTip(Qt::convertFromPlainText(
        QStringLiteral("点击下载最新版") + m_form.UpdateName, Qt::WhiteSpaceNoWrap));
}
