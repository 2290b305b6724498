#include "window/gauge.h"

#include <QImage>
#include <QPainter>
#include <algorithm>

TGauge::TGauge(QWidget* parent) : QWidget(parent) {
  // The percentage text is inverted pixel by pixel; smoothed glyph edges would
  // turn into stray colours, so the gauge draws its text without antialiasing.
  QFont f = font();
  f.setStyleStrategy(QFont::NoAntialias);
  setFont(f);
}

int TGauge::PercentDone() const {
  if (maxValue_ == minValue_) return 0;
  return static_cast<int>((int64_t{progress_} - minValue_) * 100 /
                          (int64_t{maxValue_} - minValue_));
}

void TGauge::SetMinValue(int value) {
  const int old = PercentDone();
  minValue_ = value;
  if (maxValue_ < minValue_) maxValue_ = minValue_;
  progress_ = std::clamp(progress_, minValue_, maxValue_);
  Changed(old);
}

void TGauge::SetMaxValue(int value) {
  const int old = PercentDone();
  maxValue_ = value;
  if (minValue_ > maxValue_) minValue_ = maxValue_;
  progress_ = std::clamp(progress_, minValue_, maxValue_);
  Changed(old);
}

void TGauge::SetProgress(int value) {
  const int old = PercentDone();
  progress_ = std::clamp(value, minValue_, maxValue_);
  Changed(old);
}

void TGauge::Changed(int oldPercent) {
  if (PercentDone() == oldPercent) return;
  ++repaintRequests_;
  update();
}

QImage TGauge::Render(QSize size) const {
  QImage image(size, QImage::Format_RGB32);
  QPainter p(&image);
  // single border, then the white background inside it
  p.fillRect(image.rect(), Qt::black);
  const QRect inner = image.rect().adjusted(1, 1, -1, -1);
  if (inner.isEmpty()) return image;
  p.fillRect(inner, BackColor);
  const int n = PercentDone();
  const int barWidth = static_cast<int>(int64_t{inner.width()} * n / 100);
  if (barWidth > 0) p.fillRect(QRect(inner.left(), inner.top(), barWidth, inner.height()), ForeColor);
  // The text inverts whatever lies beneath it: black on the white part, the
  // complement of the bar colour on the bar.
  p.setClipRect(inner);
  p.setFont(font());
  p.setPen(Qt::white);
  p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  p.drawText(inner, Qt::AlignCenter, QString("%1%").arg(n));
  return image;
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawImage(0, 0, Render(size()));
}
