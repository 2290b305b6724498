#include "window/banner.h"

#include <jpeglib.h>

#include <QFile>
#include <QMouseEvent>
#include <csetjmp>
#include <cstdio>

namespace {

// libjpeg reports fatal errors through error_exit, which must not return.
struct TJPEGError {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
  char Text[JMSG_LENGTH_MAX];
};

void OnJPEGError(j_common_ptr info) {
  auto* error = reinterpret_cast<TJPEGError*>(info->err);
  (*info->err->format_message)(info, error->Text);
  std::longjmp(error->Jump, 1);
}

}  // namespace

// Q_INIT_RESOURCE names a global function, so this stands outside the namespace.
static void InitResources() { Q_INIT_RESOURCE(window); }

namespace {

// The libjpeg part, free of C++ objects so that the error jump skips no destructor.
bool Decompress(const QByteArray& Data, QImage& Image, TJPEGError& error) {
  jpeg_decompress_struct info{};
  info.err = jpeg_std_error(&error.Manager);
  error.Manager.error_exit = OnJPEGError;
  if (setjmp(error.Jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(Data.constData()),
               static_cast<unsigned long>(Data.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  Image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                 QImage::Format_RGB888);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = Image.scanLine(static_cast<int>(info.output_scanline));
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

QImage DecodeJPEG(const QByteArray& Data, QString* Error) {
  QImage image;
  TJPEGError error{};
  if (!Decompress(Data, image, error)) {
    if (Error) *Error = QString::fromLocal8Bit(error.Text);
    return {};
  }
  return image;
}

QImage BannerPicture() {
  InitResources();
  QFile file(":/microburner/banner.jpg");
  if (!file.open(QIODevice::ReadOnly)) return {};
  return DecodeJPEG(file.readAll());
}

TBannerImage::TBannerImage(QWidget* parent) : QLabel(parent) { setScaledContents(true); }

void TBannerImage::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
  QLabel::mouseReleaseEvent(event);
}
