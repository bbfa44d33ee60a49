#include "fakedesktop.h"

#include <QTextDocument>

QString ShownTip(const QString& tip) {
    QTextDocument document;
    if (Qt::mightBeRichText(tip))
        document.setHtml(tip);
    else
        document.setPlainText(tip);
    return document.toPlainText();
}

FakeDesktop::FakeDesktop() {
    SetDesktop(this);
}

FakeDesktop::~FakeDesktop() {
    SetDesktop(nullptr);
}

DesktopServices::Answer FakeDesktop::messageBox(QWidget*, const QString& text, const QString& title,
                                                Buttons buttons, Icon icon) {
    boxes.append({text, title, buttons, icon});
    return nextAnswer;
}

bool FakeDesktop::open(QWidget*, const QString& target, int showCommand) {
    opened.append({target, showCommand});
    return openSucceeds;
}

void FakeDesktop::popup(QMenu* menu, const QPoint&) {
    popups.append(menu);
}
