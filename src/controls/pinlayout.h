#pragma once

#include <QLayout>
#include <QList>
#include <QPoint>

// Places labels that size themselves to their text at fixed points of their container: a
// left-anchored label grows to the right, a right-anchored one grows to the left. The labels are
// re-measured whenever their text changes; the container's other children are left alone.
class PinLayout final : public QLayout {
  public:
    enum class Anchor { Left, Right };

    explicit PinLayout(QWidget* container);
    ~PinLayout() override;

    // Places widget with its top edge at anchorTwips.y and its left (or right) edge at
    // anchorTwips.x, both in the container's twips.
    void pin(QWidget* widget, QPoint anchorTwips, Anchor anchor = Anchor::Left);

    void addItem(QLayoutItem* item) override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    int count() const override { return int(m_pins.size()); }
    QSize sizeHint() const override;
    void setGeometry(const QRect& rect) override;

  private:
    struct Pin {
        QLayoutItem* item;
        QPoint anchorTwips;
        Anchor anchor;
    };
    QList<Pin> m_pins;
};
