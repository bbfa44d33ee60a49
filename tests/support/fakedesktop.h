#pragma once

#include "controls/desktopservices.h"

#include <QList>
#include <QString>
#include <QTextDocument>

// A tooltip as the user reads it: Qt shows text that looks like markup as markup.
inline QString ShownTip(const QString& tip) {
    QTextDocument document;
    Qt::mightBeRichText(tip) ? document.setHtml(tip) : document.setPlainText(tip);
    return document.toPlainText();
}

// Records every desktop request instead of acting on it; message boxes answer `nextAnswer`,
// opens `openSucceeds`. It stands in for the platform's services while it lives.
class FakeDesktop final : public DesktopServices {
  public:
    struct Box {
        QString text, title;
        Buttons buttons;
        Icon icon;
    };
    struct Notice {
        QString title, text;
    };
    struct Opened {
        QString target;
        int showCommand;
    };
    FakeDesktop() { SetDesktop(this); }
    ~FakeDesktop() override { SetDesktop(nullptr); }
    Answer messageBox(QWidget*, const QString& text, const QString& title, Buttons buttons,
                      Icon icon) override {
        boxes.append({text, title, buttons, icon});
        return nextAnswer;
    }
    bool open(QWidget*, const QString& target, int showCommand) override {
        opened.append({target, showCommand});
        return openSucceeds;
    }
    void popup(QMenu* menu, const QPoint&) override { popups.append(menu); }
    bool trayAvailable() override { return tray; }
    void notify(QWidget*, const QString& a, const QString& b) override { notices.append({a, b}); }
    void endProcess() override { ++endCount; }
    Answer nextAnswer = Answer::Ok;
    bool openSucceeds = true, tray = true;
    QList<Box> boxes;
    QList<Opened> opened;
    QList<QMenu*> popups;
    QList<Notice> notices;
    int endCount = 0;
};
