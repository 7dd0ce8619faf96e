// The framed Lm controls: label, edit box, memo, panel and the OK/Cancel
// button bar of the main window.
//
// The edit, memo and panel draw a thin flat frame instead of the sunken 3-D
// border; with HotTrack on (the default) the frame takes the highlight colour
// while the mouse is over the control (and, for the edit and memo, while
// they have the focus). The label highlights its text the same way when
// HotTrack is switched on.
//
// Texts cross this boundary as the program's ANSI (CP1252) strings and are
// shown through Qt as Unicode.
#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <functional>
#include <memory>
#include <string>

#include "framework/classes.h"

// Colours shared by every framed control.
struct TLmFrameColors {
  QColor frame = QColor(0x80, 0x80, 0x80);
  QColor hot = QColor(0x00, 0x78, 0xD7);
};

class TLmLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TLmLabel(QWidget* parent = nullptr);

  std::string Caption() const;
  void SetCaption(const std::string& caption);
  // With AutoSize the label fits its text whenever the caption changes;
  // without it the label keeps the size it was given ("fixed size").
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool value);
  void SetAlignment(Qt::Alignment alignment) { setAlignment(alignment); }
  // Off by default for labels.
  bool HotTrack() const { return hotTrack_; }
  void SetHotTrack(bool value);
  bool Hot() const { return hot_; }

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void Restyle();
  bool autoSize_ = false;
  bool hotTrack_ = false;
  bool hot_ = false;
  TLmFrameColors colors_;
};

class TLmEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TLmEdit(QWidget* parent = nullptr);

  std::string Text() const;
  void SetText(const std::string& text);
  bool HotTrack() const { return hotTrack_; }
  void SetHotTrack(bool value);
  bool Hot() const { return hot_; }
  // The colour the frame is drawn in right now.
  QColor CurrentFrameColor() const;

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void Restyle();
  bool hotTrack_ = true;
  bool hot_ = false;
  TLmFrameColors colors_;
};

class TLmMemo;

// The memo's lines as a string list: reading and editing go straight to the
// text in the control. A final empty line (text ending in a line break) is
// not counted, as in the framework's memo.
class TLmMemoLines : public TStrings {
 public:
  explicit TLmMemoLines(TLmMemo& memo) : memo_(memo) {}
  int Count() const override;
  void Insert(int index, const std::string& s) override;
  void Delete(int index) override;
  void Clear() override;

 protected:
  std::string Get(int index) const override;
  void Put(int index, const std::string& s) override;
  void SetUpdateState(bool updating) override;

 private:
  std::vector<std::string> Read() const;
  void Write(const std::vector<std::string>& lines);
  TLmMemo& memo_;
};

class TLmMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit TLmMemo(QWidget* parent = nullptr);
  ~TLmMemo() override;

  TStrings& Lines() { return *lines_; }
  const TStrings& Lines() const { return *lines_; }
  bool HotTrack() const { return hotTrack_; }
  void SetHotTrack(bool value);
  bool Hot() const { return hot_; }
  QColor CurrentFrameColor() const;

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void Restyle();
  std::unique_ptr<TLmMemoLines> lines_;
  bool hotTrack_ = true;
  bool hot_ = false;
  TLmFrameColors colors_;
};

class TLmPanel : public QFrame {
  Q_OBJECT
 public:
  enum class TBorder { None, Flat, FlatRounded, Raised, Lowered };

  explicit TLmPanel(QWidget* parent = nullptr);

  // Drawn centred, wrapped at word boundaries when it is too wide.
  std::string Caption() const;
  void SetCaption(const std::string& caption);
  TBorder OuterBorder() const { return border_; }
  void SetOuterBorder(TBorder border);
  bool HotTrack() const { return hotTrack_; }
  void SetHotTrack(bool value);
  bool Hot() const { return hot_; }
  QColor CurrentFrameColor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QString caption_;
  TBorder border_ = TBorder::Flat;
  bool hotTrack_ = true;
  bool hot_ = false;
  TLmFrameColors colors_;
};

// A bar with an OK and a Cancel button at its right end, as at the foot of a
// dialog. Button captions may carry an "&" mnemonic.
class TLmDialogButtons : public QFrame {
  Q_OBJECT
 public:
  explicit TLmDialogButtons(QWidget* parent = nullptr);

  std::string OkCaption() const;
  void SetOkCaption(const std::string& caption);
  std::string CancelCaption() const;
  void SetCancelCaption(const std::string& caption);
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }

  std::function<void(TLmDialogButtons* sender)> OnClickOk;
  std::function<void(TLmDialogButtons* sender)> OnClickCancel;

  // Button size and the gaps around them, in pixels.
  static constexpr int kButtonWidth = 75;
  static constexpr int kButtonHeight = 25;
  static constexpr int kMargin = 8;
  static constexpr int kSpacing = 6;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void PlaceButtons();
  QPushButton* ok_;
  QPushButton* cancel_;
};

// ANSI (CP1252) <-> QString.
QString AnsiToQString(const std::string& text);
std::string QStringToAnsi(const QString& text);
