#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>
#include <QWidget>

class PropertyBag;

// The program's picture button: four state pictures (normal, pointer over, pressed, disabled)
// stretched onto the face, caption centred both ways, one Click event.
class CtlButton : public QWidget {
    Q_OBJECT
  public:
    explicit CtlButton(QWidget* parent = nullptr);

    int BorderStyle() const;
    void setBorderStyle(int style);
    QFont Font() const;
    void setFont(const QFont& font);
    quint32 ForeColor() const; // OLE colour
    void setForeColor(quint32 oleColor);
    QString Caption() const;
    void setCaption(const QString& caption);
    bool Enable() const;
    void setEnable(bool enable);
    QPixmap PictrueNormal() const;
    void setPictrueNormal(const QPixmap& picture);
    QPixmap PictureOver() const;
    void setPictureOver(const QPixmap& picture);
    QPixmap PictureClick() const;
    void setPictureClick(const QPixmap& picture);
    QPixmap PictureDisable() const;
    void setPictureDisable(const QPixmap& picture);

    void InitProperties();
    void ReadProperties(const PropertyBag& store);
    void WriteProperties(PropertyBag& store) const;

    // The state painted last: 0 normal, 1 over, 2 pressed, 3 disabled.
    int paintedState() const;

    // The program's own picture for state 0..3 (99 x 25 pixels); a null picture otherwise.
    static QPixmap BuiltInPicture(int state);

  signals:
    void Click();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void DrawButton(int state);
    bool isInside(const QPointF& pos) const;
    void releaseCapture();
    QFont ambientFont() const;

    int m_borderStyle = 0;
    QFont m_font;
    quint32 m_foreColor = 0x80000008;
    QString m_caption;
    bool m_enable = true;
    QPixmap m_pictures[4];
    int m_state = 0;
    bool m_pressedInside = false;
};
