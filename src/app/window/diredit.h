// The folder field: a one-line text field with a browse button at its right
// end. The button, or F4 in the field, opens the directory chooser next to it.
#pragma once

#include <QLineEdit>
#include <QRect>
#include <QToolButton>
#include <QWidget>

class QFileDialog;

class TDirectoryEdit : public QWidget {
  Q_OBJECT
public:
  explicit TDirectoryEdit(QWidget* parent = nullptr);

  QString text() const { return edit_->text(); }
  void setText(const QString& text) { edit_->setText(text); }
  QLineEdit* Edit() const { return edit_; }
  QToolButton* Button() const { return button_; }

  QString DialogTitle = "Select Directory";
  static constexpr int kButtonWidth = 18;

  // Where the chooser of this size goes: its top-left corner at the field's
  // bottom-left; moved left of the field when it would pass the screen's right
  // edge, above the field when it would pass the screen's bottom.
  static QPoint ChooserPosition(const QRect& field, const QSize& chooser, const QRect& screen);

public slots:
  // Opens the chooser; a confirmed folder other than the text replaces it.
  void Browse();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  QLineEdit* edit_;
  QToolButton* button_;
};
