// The banner at the top of the window: the project's JPEG picture, decoded
// with libjpeg, and a click that opens the project's web page.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QLabel>
#include <QString>

// Decodes a JPEG held in memory; a null image when the data is not one.
QImage DecodeJPEG(const QByteArray& Data, QString* Error = nullptr);
// The banner picture bundled with the program.
QImage BannerPicture();

// A picture stretched into its box that reports clicks.
class TBannerImage : public QLabel {
  Q_OBJECT
public:
  explicit TBannerImage(QWidget* parent = nullptr);
signals:
  void clicked();

protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};
