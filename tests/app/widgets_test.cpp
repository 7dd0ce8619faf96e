#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QPushButton>

#include "qt_app.h"
#include "widgets/LmControls.h"

namespace {
void Hover(QWidget* w, bool inside) {
  if (inside) {
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(w, &enter);
  } else {
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(w, &leave);
  }
}
}  // namespace

TEST(LmControlsTest, FramesFollowTheMouseWhenHotTracking) {
  TestApp();
  QWidget host;
  TLmEdit edit(&host);
  TLmMemo memo(&host);
  TLmPanel panel(&host);
  TLmLabel label(&host);
  const QColor normal = TLmFrameColors().frame, hot = TLmFrameColors().hot;

  EXPECT_EQ(edit.CurrentFrameColor(), normal);
  Hover(&edit, true);
  EXPECT_TRUE(edit.Hot());
  EXPECT_EQ(edit.CurrentFrameColor(), hot);
  Hover(&edit, false);
  EXPECT_EQ(edit.CurrentFrameColor(), normal);

  Hover(&memo, true);
  EXPECT_EQ(memo.CurrentFrameColor(), hot);
  memo.SetHotTrack(false);
  EXPECT_EQ(memo.CurrentFrameColor(), normal);

  Hover(&panel, true);
  EXPECT_EQ(panel.CurrentFrameColor(), hot);
  Hover(&panel, false);
  EXPECT_EQ(panel.CurrentFrameColor(), normal);

  label.SetHotTrack(true);
  Hover(&label, true);
  EXPECT_EQ(label.palette().color(QPalette::WindowText), hot);
  Hover(&label, false);
  EXPECT_NE(label.palette().color(QPalette::WindowText), hot);
}

TEST(LmControlsTest, TextsAreAnsiAndAutoSizeFitsTheCaption) {
  TestApp();
  TLmEdit edit;
  edit.SetText("Caf\xE9");  // CP1252 e acute
  EXPECT_EQ(edit.text(), QString::fromUtf8("Caf\xC3\xA9"));
  EXPECT_EQ(edit.Text(), "Caf\xE9");

  TLmLabel label;
  label.setGeometry(0, 0, 10, 10);
  label.SetCaption("A rather long caption");
  EXPECT_EQ(label.width(), 10);  // fixed size
  label.SetAutoSize(true);
  EXPECT_GT(label.width(), 10);

  TLmPanel panel;
  panel.SetCaption("12 Files Backed Up.");
  EXPECT_EQ(panel.Caption(), "12 Files Backed Up.");
}

TEST(LmControlsTest, MemoLinesEditTheControlText) {
  TestApp();
  TLmMemo memo;
  TStrings& lines = memo.Lines();
  EXPECT_EQ(lines.Count(), 0);
  lines.Add("CUSTOMER.DBF");
  lines.Add("CUSTOMER.FPT");
  lines.Insert(0, "ORDERS.DBF");
  EXPECT_EQ(memo.toPlainText(), "ORDERS.DBF\nCUSTOMER.DBF\nCUSTOMER.FPT");
  EXPECT_EQ(lines.Text(), "ORDERS.DBF\r\nCUSTOMER.DBF\r\nCUSTOMER.FPT\r\n");
  lines.Delete(1);
  EXPECT_EQ(lines[1], "CUSTOMER.FPT");
  EXPECT_THROW(lines.Strings(2), EListError);
  EXPECT_THROW(lines.Delete(5), EListError);
  // Typed text ending in a line break has no empty last line.
  memo.setPlainText("a\nb\n");
  EXPECT_EQ(lines.Count(), 2);
  lines.SetStrings(0, "x");
  EXPECT_EQ(memo.toPlainText(), "x\nb");
  lines.Add("two\r\nlines");
  EXPECT_EQ(lines.Count(), 4);
  lines.Clear();
  EXPECT_EQ(memo.toPlainText(), "");
  EXPECT_EQ(lines.Count(), 0);
}

TEST(LmControlsTest, ButtonBarRaisesItsEventsWithItselfAsSender) {
  TestApp();
  TLmDialogButtons bar;
  bar.resize(556, 35);
  bar.show();
  bar.SetOkCaption("Start");
  bar.SetCancelCaption("&Close");
  EXPECT_EQ(bar.OkButton()->text(), "Start");
  EXPECT_EQ(bar.CancelButton()->text(), "&Close");
  std::vector<std::string> got;
  bar.OnClickOk = [&](TLmDialogButtons* s) { got.push_back(s == &bar ? "ok" : "?"); };
  bar.OnClickCancel = [&](TLmDialogButtons* s) { got.push_back(s == &bar ? "cancel" : "?"); };
  bar.OkButton()->click();
  bar.CancelButton()->click();
  EXPECT_EQ(got, (std::vector<std::string>{"ok", "cancel"}));
  // Both buttons sit at the right end, OK first.
  EXPECT_EQ(bar.CancelButton()->geometry().right(), 556 - TLmDialogButtons::kMargin - 1);
  EXPECT_LT(bar.OkButton()->geometry().right(), bar.CancelButton()->geometry().left());
  // No handler: a press does nothing.
  bar.OnClickOk = nullptr;
  bar.OkButton()->click();
  EXPECT_EQ(got.size(), 2u);
}
