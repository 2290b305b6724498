#include "window/diredit.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <functional>

TDirectoryEdit::TDirectoryEdit(QWidget* parent)
    : QWidget(parent), edit_(new QLineEdit(this)), button_(new QToolButton(this)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(edit_);
  layout->addWidget(button_);
  button_->setFixedWidth(kButtonWidth);
  button_->setText("...");
  button_->setFocusPolicy(Qt::NoFocus);
  connect(button_, &QToolButton::clicked, this, &TDirectoryEdit::Browse);
  edit_->installEventFilter(this);
  setFocusProxy(edit_);
}

bool TDirectoryEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_F4 &&
        !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
      Browse();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

QPoint TDirectoryEdit::ChooserPosition(const QRect& field, const QSize& chooser,
                                       const QRect& screen) {
  QPoint at(field.left(), field.bottom() + 1);
  if (at.x() + chooser.width() > screen.right() + 1) at.setX(field.left() - chooser.width());
  if (at.y() + chooser.height() > screen.bottom() + 1) at.setY(field.top() - chooser.height());
  return at;
}

namespace {

class TPlaceOnShow : public QObject {
public:
  explicit TPlaceOnShow(std::function<void()> place) : place_(std::move(place)) {}

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    // Placed when shown, and again when the dialog settles on another size.
    if (event->type() == QEvent::Show || event->type() == QEvent::Resize) place_();
    return false;
  }

private:
  std::function<void()> place_;
};

}  // namespace

void TDirectoryEdit::Browse() {
  QString start = edit_->text();
  while (start.size() > 1 && (start.endsWith('/') || start.endsWith('\\'))) start.chop(1);
  if (start.isEmpty()) start = QDir::currentPath();

  QFileDialog dialog(window(), DialogTitle, start);
  dialog.setObjectName("DirectoryChooser");
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  // Qt's own dialog, so that it can be placed beside the field.
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  // Placed once it is shown, when its size is known.
  const QRect field(mapToGlobal(QPoint(0, 0)), size());
  const QScreen* screen = this->screen();
  const QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
  TPlaceOnShow placer([&] { dialog.move(ChooserPosition(field, dialog.frameGeometry().size(), area)); });
  dialog.installEventFilter(&placer);
  if (dialog.exec() != QDialog::Accepted) return;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return;
  const QString path = QDir::toNativeSeparators(chosen.first());
  if (path != edit_->text()) edit_->setText(path);
}
