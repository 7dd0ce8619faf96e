#include "widgets/LmControls.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTextBlock>
#include <QTextDocument>

#include "platform/text.h"

QString AnsiToQString(const std::string& text) { return QString::fromStdString(platform::AnsiToUtf8(text)); }

std::string QStringToAnsi(const QString& text) { return platform::Utf8ToAnsi(text.toStdString()); }

namespace {

// Style sheet of a flat-framed text control in the given frame colour.
QString FrameSheet(const char* cls, const QColor& color) {
  return QStringLiteral("%1 { border: 1px solid %2; background: palette(base); padding: 1px; }")
      .arg(QLatin1String(cls), color.name());
}

}  // namespace

// ---- TLmLabel ----

TLmLabel::TLmLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

std::string TLmLabel::Caption() const { return QStringToAnsi(text()); }

void TLmLabel::SetCaption(const std::string& caption) {
  setText(AnsiToQString(caption));
  if (autoSize_) adjustSize();
}

void TLmLabel::SetAutoSize(bool value) {
  autoSize_ = value;
  if (autoSize_) adjustSize();
}

void TLmLabel::SetHotTrack(bool value) {
  hotTrack_ = value;
  Restyle();
}

void TLmLabel::enterEvent(QEnterEvent* event) {
  hot_ = true;
  Restyle();
  QLabel::enterEvent(event);
}

void TLmLabel::leaveEvent(QEvent* event) {
  hot_ = false;
  Restyle();
  QLabel::leaveEvent(event);
}

void TLmLabel::Restyle() {
  QPalette p = palette();
  QColor color = parentWidget() ? parentWidget()->palette().color(QPalette::WindowText)
                                : QPalette().color(QPalette::WindowText);
  p.setColor(QPalette::WindowText, hotTrack_ && hot_ ? colors_.hot : color);
  setPalette(p);
}

// ---- TLmEdit ----

TLmEdit::TLmEdit(QWidget* parent) : QLineEdit(parent) { Restyle(); }

std::string TLmEdit::Text() const { return QStringToAnsi(text()); }

void TLmEdit::SetText(const std::string& text) { setText(AnsiToQString(text)); }

void TLmEdit::SetHotTrack(bool value) {
  hotTrack_ = value;
  Restyle();
}

QColor TLmEdit::CurrentFrameColor() const {
  return hotTrack_ && (hot_ || hasFocus()) ? colors_.hot : colors_.frame;
}

void TLmEdit::Restyle() { setStyleSheet(FrameSheet("TLmEdit", CurrentFrameColor())); }

void TLmEdit::enterEvent(QEnterEvent* event) {
  hot_ = true;
  Restyle();
  QLineEdit::enterEvent(event);
}

void TLmEdit::leaveEvent(QEvent* event) {
  hot_ = false;
  Restyle();
  QLineEdit::leaveEvent(event);
}

void TLmEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  Restyle();
}

void TLmEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  Restyle();
}

// ---- TLmMemo and its lines ----

TLmMemo::TLmMemo(QWidget* parent) : QPlainTextEdit(parent), lines_(std::make_unique<TLmMemoLines>(*this)) {
  setLineWrapMode(QPlainTextEdit::NoWrap);
  Restyle();
}

TLmMemo::~TLmMemo() = default;

void TLmMemo::SetHotTrack(bool value) {
  hotTrack_ = value;
  Restyle();
}

QColor TLmMemo::CurrentFrameColor() const {
  return hotTrack_ && (hot_ || hasFocus()) ? colors_.hot : colors_.frame;
}

void TLmMemo::Restyle() { setStyleSheet(FrameSheet("TLmMemo", CurrentFrameColor())); }

void TLmMemo::enterEvent(QEnterEvent* event) {
  hot_ = true;
  Restyle();
  QPlainTextEdit::enterEvent(event);
}

void TLmMemo::leaveEvent(QEvent* event) {
  hot_ = false;
  Restyle();
  QPlainTextEdit::leaveEvent(event);
}

void TLmMemo::focusInEvent(QFocusEvent* event) {
  QPlainTextEdit::focusInEvent(event);
  Restyle();
}

void TLmMemo::focusOutEvent(QFocusEvent* event) {
  QPlainTextEdit::focusOutEvent(event);
  Restyle();
}

std::vector<std::string> TLmMemoLines::Read() const {
  std::vector<std::string> lines;
  const QTextDocument* doc = memo_.document();
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) lines.push_back(QStringToAnsi(b.text()));
  // One empty block is an empty memo; a trailing empty block is the line
  // break after the last line, not a line of its own.
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

void TLmMemoLines::Write(const std::vector<std::string>& lines) {
  QString text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) text += QLatin1Char('\n');
    text += AnsiToQString(lines[i]);
  }
  memo_.setPlainText(text);
  if (OnChange && UpdateCount() == 0) OnChange(this);
}

int TLmMemoLines::Count() const { return static_cast<int>(Read().size()); }

std::string TLmMemoLines::Get(int index) const {
  std::vector<std::string> lines = Read();
  if (index < 0 || index >= static_cast<int>(lines.size())) IndexError(index);
  return lines[static_cast<size_t>(index)];
}

void TLmMemoLines::Put(int index, const std::string& s) {
  std::vector<std::string> lines = Read();
  if (index < 0 || index >= static_cast<int>(lines.size())) IndexError(index);
  lines[static_cast<size_t>(index)] = s;
  Write(lines);
}

void TLmMemoLines::Insert(int index, const std::string& s) {
  std::vector<std::string> lines = Read();
  if (index < 0 || index > static_cast<int>(lines.size())) IndexError(index);
  // A line holding a line break becomes several lines, as in the control.
  TStringList split;
  split.SetText(s);
  if (split.Count() == 0) split.Add("");
  for (int i = 0; i < split.Count(); ++i) lines.insert(lines.begin() + index + i, split[i]);
  Write(lines);
}

void TLmMemoLines::Delete(int index) {
  std::vector<std::string> lines = Read();
  if (index < 0 || index >= static_cast<int>(lines.size())) IndexError(index);
  lines.erase(lines.begin() + index);
  Write(lines);
}

void TLmMemoLines::Clear() { Write({}); }

void TLmMemoLines::SetUpdateState(bool updating) {
  memo_.setUpdatesEnabled(!updating);
  if (!updating && OnChange) OnChange(this);
}

// ---- TLmPanel ----

TLmPanel::TLmPanel(QWidget* parent) : QFrame(parent) { setAttribute(Qt::WA_Hover, true); }

std::string TLmPanel::Caption() const { return QStringToAnsi(caption_); }

void TLmPanel::SetCaption(const std::string& caption) {
  caption_ = AnsiToQString(caption);
  update();
}

void TLmPanel::SetOuterBorder(TBorder border) {
  border_ = border;
  update();
}

void TLmPanel::SetHotTrack(bool value) {
  hotTrack_ = value;
  update();
}

QColor TLmPanel::CurrentFrameColor() const { return hotTrack_ && hot_ ? colors_.hot : colors_.frame; }

void TLmPanel::enterEvent(QEnterEvent* event) {
  hot_ = true;
  update();
  QFrame::enterEvent(event);
}

void TLmPanel::leaveEvent(QEvent* event) {
  hot_ = false;
  update();
  QFrame::leaveEvent(event);
}

void TLmPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  switch (border_) {
    case TBorder::None:
      break;
    case TBorder::Flat:
      p.setPen(CurrentFrameColor());
      p.drawRect(r);
      break;
    case TBorder::FlatRounded: {
      p.setRenderHint(QPainter::Antialiasing, true);
      p.setPen(QPen(CurrentFrameColor(), 1));
      p.drawRoundedRect(r, 5, 5);
      p.setRenderHint(QPainter::Antialiasing, false);
      break;
    }
    case TBorder::Raised:
    case TBorder::Lowered: {
      QColor light = palette().color(QPalette::Light), dark = palette().color(QPalette::Dark);
      if (border_ == TBorder::Lowered) std::swap(light, dark);
      QRect ir = rect().adjusted(0, 0, -1, -1);
      p.setPen(light);
      p.drawLine(ir.topLeft(), ir.topRight());
      p.drawLine(ir.topLeft(), ir.bottomLeft());
      p.setPen(dark);
      p.drawLine(ir.bottomLeft(), ir.bottomRight());
      p.drawLine(ir.topRight(), ir.bottomRight());
      break;
    }
  }
  if (!caption_.isEmpty()) {
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect().adjusted(4, 2, -4, -2), Qt::AlignCenter | Qt::TextWordWrap, caption_);
  }
}

// ---- TLmDialogButtons ----

TLmDialogButtons::TLmDialogButtons(QWidget* parent)
    : QFrame(parent),
      ok_(new QPushButton(QStringLiteral("OK"), this)),
      cancel_(new QPushButton(QStringLiteral("Cancel"), this)) {
  // The buttons are Qt children: the bar owns and frees them.
  ok_->setObjectName(QStringLiteral("btnOk"));
  cancel_->setObjectName(QStringLiteral("btnCancel"));
  ok_->setAutoDefault(true);
  connect(ok_, &QPushButton::clicked, this, [this] {
    if (OnClickOk) OnClickOk(this);
  });
  connect(cancel_, &QPushButton::clicked, this, [this] {
    if (OnClickCancel) OnClickCancel(this);
  });
  setTabOrder(ok_, cancel_);
  PlaceButtons();
}

std::string TLmDialogButtons::OkCaption() const { return QStringToAnsi(ok_->text()); }
void TLmDialogButtons::SetOkCaption(const std::string& caption) { ok_->setText(AnsiToQString(caption)); }
std::string TLmDialogButtons::CancelCaption() const { return QStringToAnsi(cancel_->text()); }
void TLmDialogButtons::SetCancelCaption(const std::string& caption) {
  cancel_->setText(AnsiToQString(caption));
}

void TLmDialogButtons::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  PlaceButtons();
}

void TLmDialogButtons::PlaceButtons() {
  int top = (height() - kButtonHeight) / 2;
  if (top < 0) top = 0;
  int cancelLeft = width() - kMargin - kButtonWidth;
  cancel_->setGeometry(cancelLeft, top, kButtonWidth, kButtonHeight);
  ok_->setGeometry(cancelLeft - kSpacing - kButtonWidth, top, kButtonWidth, kButtonHeight);
}
