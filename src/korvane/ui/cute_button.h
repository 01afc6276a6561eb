#pragma once

#include <QColor>
#include <QFrame>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

#include <QMenu>

namespace korvane {

class TCuteButton;

// The delay timer of a drop-down menu: started on a press, freed when it fires or when
// the press ends first. Carries its button. It is a single-shot child of the button (so
// the button's findChild sees it while it exists) and is owned by the button.
class TCuteButtonTimer : public QTimer {
  Q_OBJECT
public:
  explicit TCuteButtonTimer(TCuteButton* button);
  TCuteButton* FCuteButton;
};

// A flat, panel-style push button that shows its state through its outer bevel: none
// when idle, raised while the pointer is over it (or while it has the focus and
// TabFocusUp is set), lowered while pressed. It can drop a menu below itself, draw a
// disabled face in its own colour, and swallow clicks that arrive while its click
// handler is still running (EgnoreContClick).
//
// Keyboard: Space presses and clicks on release (another key while Space is held
// cancels), Enter clicks at once, and so does the accelerator character of the caption
// ("&X") while the button is enabled and its parent visible.
//
// Drop-down: a press (left button or Space) drops DropDownMenu at once, or after
// DropDownDelay milliseconds if the press is still held then; Enter drops it only when
// there is no delay. The menu is shown with QMenu::popup with its top-left corner at the
// button's bottom-left corner; the call returns while the menu is open and its actions
// run through the menu's own signals. The press that drops the menu ends there and
// makes no click.
class TCuteButton : public QFrame {
  Q_OBJECT
public:
  enum TBevel { bvNone, bvLowered, bvRaised };
  enum TTextLayout { tlTop, tlCenter, tlBottom };
  // Shift state bits passed to the mouse enter/leave events, in this order.
  enum TShiftBit { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32 };
  using TShiftState = int;
  using TNotifyEvent = std::function<void()>;
  using TMouseEvent = std::function<void(TShiftState shift, QPoint pos)>;

  explicit TCuteButton(QWidget* parent = nullptr);
  ~TCuteButton() override;

  // Caption; "&" marks the accelerator character ("&&" is a literal ampersand).
  QString Caption() const { return FCaption; }
  void SetCaption(const QString& caption);
  // Face colour (default: the palette's Button colour). The caption of an enabled button
  // is drawn in the palette's ButtonText colour.
  QColor Color() const { return FColor; }
  void SetColor(const QColor& colour);
  // Horizontal placement of the caption: Qt::AlignLeft, Qt::AlignHCenter (default) or Qt::AlignRight.
  Qt::Alignment Alignment() const { return FAlignment; }
  void SetAlignment(Qt::Alignment alignment);

  QColor BevelHighlightColor() const { return FBevelHighlightColor; }
  void SetBevelHighlightColor(const QColor& colour);
  QColor BevelShadowColor() const { return FBevelShadowColor; }
  void SetBevelShadowColor(const QColor& colour);
  // Width of each bevel ring; at least 1 (smaller values are stored as 1).
  int BevelWidth() const { return FBevelWidth; }
  void SetBevelWidth(int width);
  QColor DisabledColor() const { return FDisabledColor; }
  void SetDisabledColor(const QColor& colour);
  bool UseDisabledColor() const { return FUseDisabledColor; }
  void SetUseDisabledColor(bool use);
  // Not owned; a menu deleted elsewhere simply stops dropping.
  QMenu* DropDownMenu() const { return FDropDownMenu; }
  void SetDropDownMenu(QMenu* menu);
  // Negative delays are stored as 0 (drop at once).
  int DropDownDelay() const { return FDropDownDelay; }
  void SetDropDownDelay(int milliseconds);
  bool EgnoreContClick() const { return FEgnoreContClick; }
  void SetEgnoreContClick(bool ignore);
  bool Flat() const { return FFlat; }
  void SetFlat(bool flat);
  bool ShowFocusRect() const { return FShowFocusRect; }
  void SetShowFocusRect(bool show);
  bool TabFocusUp() const { return FTabFocusUp; }
  void SetTabFocusUp(bool up);
  TTextLayout Layout() const { return FLayout; }
  void SetLayout(TTextLayout layout);
  // Caption margin on the aligned side; -1 = none; values below -1 are stored as -1.
  int MarginX() const { return FMarginX; }
  void SetMarginX(int margin);
  int MarginY() const { return FMarginY; }
  void SetMarginY(int margin);

  // The current outer bevel (the state the user sees).
  TBevel BevelOuter() const { return FBevelOuter; }

  // Runs a click as the mouse or keyboard would (a pending menu drop swallows it).
  void Click();

  // The caption rectangle, as painting uses it (exposed for tests of the margin rules).
  QRect CaptionRect() const;

  // The default size, 75 x 25, so that layouts keep it.
  QSize sizeHint() const override;

  TNotifyEvent OnClick;
  TMouseEvent OnMouseEnter;
  TMouseEvent OnMouseLeave;

protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool event(QEvent* event) override;

private:
  void SetBevelOuter(TBevel bevel);
  void SetRest();
  void PressLeft();
  void ReleaseLeft(QPoint pos);
  void PressEnter();
  void ReleaseSpace();
  void StartDropDown(bool byKeyboard);
  void DropDown();
  void DelayTimerFired();
  void StopDelayTimer();
  void UpdateShortcut();
  TShiftState CurrentShiftState() const;

  QString FCaption;
  QColor FColor;
  Qt::Alignment FAlignment = Qt::AlignHCenter;
  QColor FBevelHighlightColor;
  QColor FBevelShadowColor;
  int FBevelWidth = 1;
  QColor FDisabledColor{128, 128, 128};
  bool FUseDisabledColor = false;
  QPointer<QMenu> FDropDownMenu;
  int FDropDownDelay = 0;
  bool FEgnoreContClick = false;
  bool FFlat = false;
  bool FShowFocusRect = false;
  bool FTabFocusUp = true;
  TTextLayout FLayout = tlCenter;
  int FMarginX = -1;
  int FMarginY = -1;
  TBevel FBevelOuter = bvNone;

  bool FMenuDropping = false;     // swallows the click that ends a menu drop
  bool FSpacePressed = false;
  bool FMenuByKeyboard = false;
  bool FMouseHeld = false;        // the left button went down here and is not yet released
  int FShortcutId = 0;            // the accelerator grabbed for the caption, 0 = none
  std::unique_ptr<TCuteButtonTimer> FTimer;  // only between a press and its drop or release
};

}  // namespace korvane
