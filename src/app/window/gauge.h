// The progress gauge: a horizontal bar with its percentage, drawn the way the
// window has always shown progress, and repainted only when the percentage moves.
#pragma once

#include <QColor>
#include <QWidget>

class TGauge : public QWidget {
  Q_OBJECT
public:
  explicit TGauge(QWidget* parent = nullptr);

  int MinValue() const { return minValue_; }
  int MaxValue() const { return maxValue_; }
  int Progress() const { return progress_; }
  void SetMinValue(int value);
  void SetMaxValue(int value);
  // Clamped into [MinValue, MaxValue].
  void SetProgress(int value);
  // truncate((Progress - MinValue) x 100 / (MaxValue - MinValue)), 0 when the range is empty.
  int PercentDone() const;

  QColor ForeColor{128, 128, 0};   // olive bar
  QColor BackColor{255, 255, 255};
  // Paint requests made so far: a progress step that leaves the percentage
  // unchanged must not cost a repaint.
  int RepaintRequests() const { return repaintRequests_; }

  // Draws the gauge as it would appear at this size (the widget paints this).
  QImage Render(QSize size) const;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  void Changed(int oldPercent);

  int minValue_ = 0;
  int maxValue_ = 100;
  int progress_ = 0;
  int repaintRequests_ = 0;
};
