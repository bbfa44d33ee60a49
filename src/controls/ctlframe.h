#pragma once

#include <QFont>
#include <QString>
#include <QWidget>

class PropertyBag;

// The program's container panel: body colour, optional one-pixel outline, optional caption set
// into the top edge with a band of its own colour above it.
class CtlFrame : public QWidget {
    Q_OBJECT
  public:
    explicit CtlFrame(QWidget* parent = nullptr);

    QString Caption() const;
    void setCaption(const QString& caption);
    int BorderStyle() const;
    void setBorderStyle(int style);
    quint32 BorderColor() const; // OLE colour
    void setBorderColor(quint32 oleColor);
    QFont Font() const;
    void setFont(const QFont& font);
    quint32 ForeColor() const;
    void setForeColor(quint32 oleColor);
    quint32 BackColorMain() const;
    void setBackColorMain(quint32 oleColor);
    quint32 BackColorTop() const;
    void setBackColorTop(quint32 oleColor);

    void InitProperties();
    void ReadProperties(const PropertyBag& store);
    void WriteProperties(PropertyBag& store) const;

    // Geometry of the outline in twips, as the last layout placed it (line i = 0..4:
    // top-left, top-right, right, bottom, left), and the top-edge position T.
    struct Line {
        int x1, y1, x2, y2;
        bool visible;
    };
    Line lineTwips(int i) const;
    int topEdgeTwips() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void LayoutFrame();
    QSizeF captionSizeTwips() const;

    QString m_caption;
    int m_borderStyle = 1;
    quint32 m_borderColor = 0x80000011;
    QFont m_font;
    quint32 m_foreColor = 0x8000;
    quint32 m_backColorMain = 0x8000000F;
    quint32 m_backColorTop = 0x8000000F;
    Line m_lines[5] = {};
    int m_top = 0;
};
