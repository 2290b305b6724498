// The gauge: percentage, clamping, repaint only on a change, and its pixels.
#include "window_fixture.h"

namespace {

const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kOlive = qRgb(128, 128, 0);
const QRgb kOliveInverted = qRgb(127, 127, 255);

QRgb At(const QImage& image, int x, int y) { return image.pixel(x, y) | 0xFF000000u; }

struct TCounts {
  int Olive = 0, White = 0, Black = 0, OliveInverted = 0, Other = 0;
};

TCounts Count(const QImage& image, QRect area) {
  TCounts c;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb p = At(image, x, y);
      if (p == kOlive) ++c.Olive;
      else if (p == kWhite) ++c.White;
      else if (p == kBlack) ++c.Black;
      else if (p == kOliveInverted) ++c.OliveInverted;
      else ++c.Other;
    }
  return c;
}

// The gauge as the screen shows it, through its paint event.
QImage Grab(TGauge& g) { return g.grab().toImage().convertToFormat(QImage::Format_RGB32); }

TEST(Gauge, PercentClampsAndEmptyRange) {
  TGauge g;
  g.SetMaxValue(3);
  g.SetProgress(2);
  EXPECT_EQ(g.PercentDone(), 66);  // truncated
  g.SetProgress(-5);
  EXPECT_EQ(g.Progress(), 0);
  g.SetProgress(99);
  EXPECT_EQ(g.Progress(), 3);
  EXPECT_EQ(g.PercentDone(), 100);
  g.SetMaxValue(0);
  EXPECT_EQ(g.PercentDone(), 0);  // MaxValue = MinValue
  // A DVD's worth of sectors does not overflow the arithmetic.
  g.SetMaxValue(2295104);
  g.SetProgress(2295103);
  EXPECT_EQ(g.PercentDone(), 99);
}

TEST(Gauge, RepaintsOnlyWhenThePercentageChanges) {
  TGauge g;
  g.SetMaxValue(1000);
  const int start = g.RepaintRequests();
  g.SetProgress(1);
  g.SetProgress(9);  // still 0 %
  EXPECT_EQ(g.RepaintRequests(), start);
  g.SetProgress(10);
  EXPECT_EQ(g.RepaintRequests(), start + 1);
  g.SetProgress(19);
  EXPECT_EQ(g.RepaintRequests(), start + 1);
  g.SetProgress(20);
  g.SetProgress(1000);
  EXPECT_EQ(g.RepaintRequests(), start + 3);
}

TEST(Gauge, PixelsAtHalfway) {
  TGauge g;
  g.resize(427, 17);
  g.SetMaxValue(200);
  g.SetProgress(100);
  const QImage image = Grab(g);
  ASSERT_EQ(image.size(), QSize(427, 17));
  // one-pixel border all round
  for (int x = 0; x < 427; ++x) {
    EXPECT_EQ(At(image, x, 0), kBlack) << x;
    EXPECT_EQ(At(image, x, 16), kBlack) << x;
  }
  for (int y = 0; y < 17; ++y) {
    EXPECT_EQ(At(image, 0, y), kBlack) << y;
    EXPECT_EQ(At(image, 426, y), kBlack) << y;
  }
  // inner width 425: the bar is 212 pixels, x = 1 .. 212
  const int bar = 425 * 50 / 100;
  const QRect barArea(1, 1, bar, 15);
  const QRect restArea(1 + bar, 1, 425 - bar, 15);
  EXPECT_EQ(At(image, 1, 1), kOlive);
  EXPECT_EQ(At(image, bar, 1), kOlive);
  EXPECT_EQ(At(image, bar + 1, 1), kWhite);
  EXPECT_EQ(At(image, 425, 15), kWhite);
  // "50%" sits in the middle, across the bar's end: inverted on both sides,
  // and no colour but the four.
  const TCounts onBar = Count(image, barArea);
  const TCounts onRest = Count(image, restArea);
  EXPECT_EQ(onBar.Other + onRest.Other, 0);
  EXPECT_EQ(onBar.White + onBar.Black, 0);
  EXPECT_GT(onBar.OliveInverted, 10);
  EXPECT_EQ(onRest.Olive + onRest.OliveInverted, 0);
  EXPECT_GT(onRest.Black, 10);
  // The text is centred: nothing drawn near either end.
  EXPECT_EQ(Count(image, QRect(1, 1, 150, 15)).OliveInverted, 0);
  EXPECT_EQ(Count(image, QRect(275, 1, 150, 15)).Black, 0);
}

TEST(Gauge, PixelsAtZeroAndFull) {
  TGauge g;
  g.resize(427, 17);
  QImage image = Grab(g);
  TCounts inner = Count(image, QRect(1, 1, 425, 15));
  EXPECT_EQ(inner.Olive + inner.OliveInverted + inner.Other, 0);
  EXPECT_GT(inner.Black, 10);  // "0%" in black on white
  g.SetProgress(100);
  image = Grab(g);
  inner = Count(image, QRect(1, 1, 425, 15));
  EXPECT_EQ(inner.White + inner.Black + inner.Other, 0);
  EXPECT_GT(inner.OliveInverted, 10);  // "100%" inverted on the bar
  // The widget paints what Render draws.
  EXPECT_EQ(g.Render(QSize(427, 17)).convertToFormat(QImage::Format_RGB32), image);
}

}  // namespace
