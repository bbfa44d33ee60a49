// Shows the main window as a user first sees it, with one panel selected, for looking at the
// layout by eye and for screenshots. Usage: valdane_preview [panel 0-6] [site lines...]
#include "controls/ctlbutton.h"
#include "controls/form_main.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QStringList>
#include <QTreeWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Form_Main form;
    form.setWindowTitle(QStringLiteral("Valdane V1.3 Beta"));
    const QStringList args = app.arguments().mid(1);
    form.CurrentPanel = args.isEmpty() ? 0 : qBound(0, args.first().toInt(), 6);
    const QStringList engines = {QStringLiteral("百度"), QStringLiteral("谷歌"),
                                 QStringLiteral("搜狗"), QStringLiteral("雅虎"),
                                 QStringLiteral("搜搜"), QStringLiteral("有道"),
                                 QStringLiteral("必应")};
    QTreeWidget* list = form.ListView1(0);
    QStringList headers = {QStringLiteral("  域名")};
    for (const QString& engine : engines)
        headers.append(QStringLiteral(" ") + engine);
    list->setHeaderLabels(headers);
    list->header()->resizeSection(0, TwipsToPixels(2049));
    for (const QString& site : args.mid(1)) {
        QStringList row = {site};
        for (int i = 0; i < engines.size(); ++i)
            row.append(QString::number((site.size() * 7919 + i * 104729) % 90000));
        list->addTopLevelItem(new QTreeWidgetItem(row));
    }
    form.Label1(0)->setText(QStringLiteral("2026年12月06日 星期日 18:30:00"));
    form.Label1(1)->setText(QStringLiteral("官方网站"));
    form.ShowPanel();
    form.show();
    return app.exec();
}
