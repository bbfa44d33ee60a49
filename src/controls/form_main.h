#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

class CtlButton;
class CtlFrame;
class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QTreeWidget;
class WebPage;

// Twips (1/1440 inch) to logical pixels: 15 twips per pixel at 96 dpi; Qt scales for others.
int TwipsToPixels(int twips);
double PixelsToTwips(double pixels);
// An OLE colour (&H800000nn = system colour nn of the palette, else &H00BBGGRR) as a QColor.
class QColor;
QColor OleColor(quint32 ole);
// The program's font, 宋体 at pointSize, falling back to an installed CJK face.
class QFont;
QFont ProgramFont(qreal pointSize);

// The program's one window: every control by its name and index, and the window's state.
// The behaviour lives in the tracking, lookup and app layers, which drive these controls.
class Form_Main : public QWidget {
    Q_OBJECT
  public:
    explicit Form_Main(QWidget* parent = nullptr);
    ~Form_Main() override;

    // Window state, initialised by the load step.
    QString ConfigPath;
    QString LogPath;
    QString TempPath;
    QString SiteList;
    int CurrentPanel = 0;
    bool IsBusy = false;
    QString UpdateUrl;
    QString UpdateName;
    QString UpdateVersion;
    int DotTicks = 0;
    int AutoGainTicks = 0;
    int WebTicks = 0;

    // Shows Frame(CurrentPanel) in the content rectangle, hides the others and draws
    // CmdMenu1(CurrentPanel) pressed.
    void ShowPanel();
    // Brings the window back from minimised or hidden, in front and focused.
    void Restore();

    CtlFrame* FrameBox() const;
    CtlFrame* Frame(int i) const; // 0..6
    CtlFrame* CtlFrame1() const;  // status bar
    QTimer* Timer1(int i) const;  // 0..4
    QLabel* PicBox(int i) const;  // hidden picture stores: normal, over, pressed, disabled
    QIcon ImageList1() const;
    WebPage* WEB1() const;
    CtlButton* CmdMenu1(int i) const;    // 0..6
    CtlButton* CmdMenu2(int i) const;    // 0..4
    QTreeWidget* ListView1(int i) const; // 0..2
    QLabel* Label1(int i) const;         // 0 status line, 1 link line

    // Lookup panels 3, 4, 5.
    QFrame* Shape1(int i) const; // 0..6
    QLineEdit* TextInPut(int i) const;
    CtlButton* CmdSend(int i) const;
    QFrame* Line3() const;
    QFrame* Line4() const;
    QFrame* Line5() const;
    QLabel* LabYM() const;
    QLabel* LabPM() const;
    CtlFrame* FrameYM() const;
    CtlFrame* FramePM() const;
    QPlainTextEdit* TextYM() const;
    QPlainTextEdit* TextPM() const;
    QLabel* LabMD5(int i) const;
    QLineEdit* TxtMD5(int i) const;

    // Settings panel 6.
    QLabel* LabSet(int i) const; // 0..4
    QFrame* LinSet(int i) const; // 0..4
    QPlainTextEdit* TextSet() const;
    QCheckBox* CheckSet(int i) const; // 0..3
    QPushButton* CMDSet(int i) const; // 0..1

    // Pop-up menus.
    QMenu* MenuFile1() const;
    QAction* MenuShowMore() const;
    QAction* MenuUpdate() const;
    QMenu* MenuFile2() const;
    QAction* MenuShow() const;
    QAction* MenuQuit() const;

  private:
    struct Controls;
    Controls* d;
};
