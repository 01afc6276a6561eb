#include "korvane/ui/cute_button.h"

#include <QCoreApplication>
#include <QCursor>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QShortcutEvent>

#include <algorithm>
#include <utility>

namespace korvane {

namespace {

constexpr int kDefaultWidth = 75;
constexpr int kDefaultHeight = 25;
// How far the caption moves right and down while the button is pressed.
constexpr int kPressedShift = 2;
// Distance of the focus rectangle inside the caption rectangle.
constexpr int kFocusInset = 2;

// Draws `width` nested one-pixel rings inside `rect`, outermost first. The top row and
// the left column are drawn in `topLeft`; the right column and the bottom row, including
// the top-right and bottom-left corner pixels, in `bottomRight`.
void DrawFrame3D(QPainter& painter, QRect rect, const QColor& topLeft, const QColor& bottomRight,
                 int width) {
  for (int ring = 0; ring < width && rect.width() > 0 && rect.height() > 0; ++ring) {
    const int l = rect.left(), t = rect.top(), r = rect.right(), b = rect.bottom();
    painter.fillRect(QRect(QPoint(l, t), QPoint(std::max(l, r - 1), t)), topLeft);
    painter.fillRect(QRect(QPoint(l, t), QPoint(l, std::max(t, b - 1))), topLeft);
    painter.fillRect(QRect(QPoint(r, t), QPoint(r, b)), bottomRight);
    painter.fillRect(QRect(QPoint(l, b), QPoint(r, b)), bottomRight);
    rect.adjust(1, 1, -1, -1);
  }
}

// A dotted rectangle (every other pixel) in `colour`, the classic focus rectangle.
void DrawFocusFrame(QPainter& painter, const QRect& rect, const QColor& colour) {
  if (rect.width() <= 0 || rect.height() <= 0) return;
  for (int x = rect.left(); x <= rect.right(); x += 2) {
    painter.fillRect(x, rect.top(), 1, 1, colour);
    painter.fillRect(x, rect.bottom(), 1, 1, colour);
  }
  for (int y = rect.top(); y <= rect.bottom(); y += 2) {
    painter.fillRect(rect.left(), y, 1, 1, colour);
    painter.fillRect(rect.right(), y, 1, 1, colour);
  }
}

}  // namespace

TCuteButtonTimer::TCuteButtonTimer(TCuteButton* button) : QTimer(button), FCuteButton(button) {
  setSingleShot(true);
}

TCuteButton::TCuteButton(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::NoFrame);  // both bevels are painted by paintEvent
  setFocusPolicy(Qt::StrongFocus);
  setForegroundRole(QPalette::ButtonText);
  FColor = palette().color(QPalette::Button);
  FBevelHighlightColor = palette().color(QPalette::Light);
  FBevelShadowColor = palette().color(QPalette::Dark);
  resize(kDefaultWidth, kDefaultHeight);
}

// The timer goes with FTimer before QObject deletes the remaining children.
TCuteButton::~TCuteButton() = default;

QSize TCuteButton::sizeHint() const { return QSize(kDefaultWidth, kDefaultHeight); }

void TCuteButton::SetCaption(const QString& caption) {
  if (caption == FCaption) return;
  FCaption = caption;
  UpdateShortcut();
  update();
}

void TCuteButton::SetColor(const QColor& colour) {
  FColor = colour;
  update();
}

void TCuteButton::SetAlignment(Qt::Alignment alignment) {
  // Only three placements exist; anything else is centred.
  if (alignment & Qt::AlignLeft)
    FAlignment = Qt::AlignLeft;
  else if (alignment & Qt::AlignRight)
    FAlignment = Qt::AlignRight;
  else
    FAlignment = Qt::AlignHCenter;
  update();
}

void TCuteButton::SetBevelHighlightColor(const QColor& colour) {
  FBevelHighlightColor = colour;
  update();
}

void TCuteButton::SetBevelShadowColor(const QColor& colour) {
  FBevelShadowColor = colour;
  update();
}

void TCuteButton::SetBevelWidth(int width) {
  FBevelWidth = std::max(width, 1);
  update();
}

void TCuteButton::SetDisabledColor(const QColor& colour) {
  FDisabledColor = colour;
  update();
}

void TCuteButton::SetUseDisabledColor(bool use) {
  FUseDisabledColor = use;
  update();
}

void TCuteButton::SetDropDownMenu(QMenu* menu) {
  FDropDownMenu = menu;
  update();
}

void TCuteButton::SetDropDownDelay(int milliseconds) {
  FDropDownDelay = std::max(milliseconds, 0);
  update();
}

void TCuteButton::SetEgnoreContClick(bool ignore) {
  FEgnoreContClick = ignore;
  update();
}

void TCuteButton::SetFlat(bool flat) {
  FFlat = flat;
  update();
}

void TCuteButton::SetShowFocusRect(bool show) {
  FShowFocusRect = show;
  update();
}

void TCuteButton::SetTabFocusUp(bool up) {
  FTabFocusUp = up;
  update();
}

void TCuteButton::SetLayout(TTextLayout layout) {
  FLayout = layout;
  update();
}

void TCuteButton::SetMarginX(int margin) {
  FMarginX = std::max(margin, -1);
  update();
}

void TCuteButton::SetMarginY(int margin) {
  FMarginY = std::max(margin, -1);
  update();
}

void TCuteButton::SetBevelOuter(TBevel bevel) {
  if (bevel == FBevelOuter) return;
  FBevelOuter = bevel;
  update();
}

void TCuteButton::SetRest() { SetBevelOuter(FTabFocusUp ? bvRaised : bvNone); }

// The accelerator is Alt plus the character after "&", the platform's convention for
// mnemonics; it is re-grabbed whenever the caption changes.
void TCuteButton::UpdateShortcut() {
  if (FShortcutId != 0) {
    releaseShortcut(FShortcutId);
    FShortcutId = 0;
  }
  const QKeySequence mnemonic = QKeySequence::mnemonic(FCaption);
  if (!mnemonic.isEmpty()) FShortcutId = grabShortcut(mnemonic);
}

TCuteButton::TShiftState TCuteButton::CurrentShiftState() const {
  const Qt::KeyboardModifiers keys = QGuiApplication::queryKeyboardModifiers();
  const Qt::MouseButtons buttons = QGuiApplication::mouseButtons();
  TShiftState shift = 0;
  if (keys & Qt::ShiftModifier) shift |= ssShift;
  if (keys & Qt::AltModifier) shift |= ssAlt;
  if (keys & Qt::ControlModifier) shift |= ssCtrl;
  if (buttons & Qt::LeftButton) shift |= ssLeft;
  if (buttons & Qt::RightButton) shift |= ssRight;
  if (buttons & Qt::MiddleButton) shift |= ssMiddle;
  return shift;
}

QRect TCuteButton::CaptionRect() const {
  const int inset = FFlat ? FBevelWidth : 2 * FBevelWidth;
  QRect r = rect().adjusted(inset, inset, -inset, -inset);
  if (FMarginX != -1) {
    if (FAlignment & Qt::AlignLeft)
      r.setLeft(r.left() + FMarginX);
    else if (FAlignment & Qt::AlignRight)
      r.setRight(r.right() - FMarginX);
  }
  if (FMarginY != -1) {
    if (FLayout == tlTop)
      r.setTop(r.top() + FMarginY);
    else if (FLayout == tlBottom)
      r.setBottom(r.bottom() - FMarginY);
  }
  if (FBevelOuter == bvLowered) r.translate(kPressedShift, kPressedShift);
  return r;
}

void TCuteButton::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const bool enabled = isEnabled();
  painter.fillRect(rect(), FUseDisabledColor && !enabled ? FDisabledColor : FColor);

  // The outer ring always keeps its place, so the inner bevel and the caption do not
  // move when the outer bevel appears or disappears.
  if (FBevelOuter == bvRaised)
    DrawFrame3D(painter, rect(), FBevelHighlightColor, FBevelShadowColor, FBevelWidth);
  else if (FBevelOuter == bvLowered)
    DrawFrame3D(painter, rect(), FBevelShadowColor, FBevelHighlightColor, FBevelWidth);
  if (!FFlat) {
    const QRect inner = rect().adjusted(FBevelWidth, FBevelWidth, -FBevelWidth, -FBevelWidth);
    DrawFrame3D(painter, inner, FBevelHighlightColor, FBevelShadowColor, FBevelWidth);
  }

  const QRect captionRect = CaptionRect();
  Qt::Alignment vertical = Qt::AlignVCenter;
  if (FLayout == tlTop) vertical = Qt::AlignTop;
  if (FLayout == tlBottom) vertical = Qt::AlignBottom;
  const int flags = static_cast<int>(FAlignment | vertical | Qt::AlignAbsolute) |
                    Qt::TextSingleLine | Qt::TextShowMnemonic;
  painter.setFont(font());
  if (enabled) {
    painter.setPen(palette().color(QPalette::Active, QPalette::ButtonText));
    painter.drawText(captionRect, flags, FCaption);
  } else {
    // The embossed look of a disabled caption: a light copy one pixel down and right,
    // the dark copy in place on top of it.
    painter.setPen(FBevelHighlightColor);
    painter.drawText(captionRect.translated(1, 1), flags, FCaption);
    painter.setPen(FBevelShadowColor);
    painter.drawText(captionRect, flags, FCaption);
  }

  if (FShowFocusRect && hasFocus()) {
    const QRect focusRect =
        captionRect.adjusted(kFocusInset, kFocusInset, -kFocusInset, -kFocusInset);
    DrawFocusFrame(painter, focusRect, palette().color(QPalette::Active, QPalette::ButtonText));
  }
}

// A drag and drop delivers drag-enter events instead of this one, so no drag is in
// progress here. While a mouse button is down, the toolkit sends enter and leave events
// only to the widget that took the press, so the left button can be held here only by
// this button's own press.
void TCuteButton::enterEvent(QEnterEvent* event) {
  if (OnMouseEnter) OnMouseEnter(CurrentShiftState(), event->position().toPoint());
  SetBevelOuter(FMouseHeld ? bvLowered : bvRaised);
}

void TCuteButton::leaveEvent(QEvent* /*event*/) {
  if (OnMouseLeave) OnMouseLeave(CurrentShiftState(), mapFromGlobal(QCursor::pos()));
  SetBevelOuter(hasFocus() && FTabFocusUp ? bvRaised : bvNone);
}

void TCuteButton::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() == Qt::LeftButton) PressLeft();
  event->accept();
}

// A double click is only another press: two quick clicks are two clicks.
void TCuteButton::mouseDoubleClickEvent(QMouseEvent* event) { mousePressEvent(event); }

void TCuteButton::PressLeft() {
  FMouseHeld = true;
  SetBevelOuter(bvLowered);
  if (FDropDownMenu) StartDropDown(false);
}

void TCuteButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    ReleaseLeft(event->position().toPoint());
  } else {
    StopDelayTimer();
  }
  event->accept();
}

// The end of a left press, real or finishing a menu drop. The timer is stopped and the
// hold given up before the click, so that messages processed by the click handler cannot
// fire a drop for a press that has already ended.
void TCuteButton::ReleaseLeft(QPoint pos) {
  const bool inside = rect().contains(pos);
  const bool clicks = FMouseHeld && inside;
  StopDelayTimer();
  FMouseHeld = false;
  if (inside || (FTabFocusUp && window()->focusWidget() == this))
    SetBevelOuter(bvRaised);
  else
    SetBevelOuter(bvNone);
  if (clicks) Click();
}

void TCuteButton::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  const bool isEnter = key == Qt::Key_Return || key == Qt::Key_Enter;
  if (key != Qt::Key_Space && FSpacePressed) {
    // Another key cancels a Space press, Enter included (its key-up must not click).
    FSpacePressed = false;
    SetRest();
  }
  if (key == Qt::Key_Space && isEnabled()) {
    FSpacePressed = true;
    SetBevelOuter(bvLowered);
    if (FDropDownMenu) StartDropDown(true);
    event->accept();
  } else if (isEnter && isEnabled()) {
    PressEnter();
    event->accept();
  } else {
    QFrame::keyPressEvent(event);
  }
}

void TCuteButton::PressEnter() {
  QPointer<TCuteButton> self(this);
  SetBevelOuter(bvLowered);
  if (FDropDownMenu && FDropDownDelay == 0) {
    FMenuByKeyboard = true;
    DropDown();
  } else {
    Click();
  }
  if (self) SetRest();
}

void TCuteButton::keyReleaseEvent(QKeyEvent* event) {
  // Held keys repeat as release/press pairs on some platforms; only the real release ends
  // a press.
  if (event->isAutoRepeat()) {
    event->accept();
    return;
  }
  StopDelayTimer();
  if (event->key() == Qt::Key_Space) {
    ReleaseSpace();
    event->accept();
  } else {
    QFrame::keyReleaseEvent(event);
  }
}

void TCuteButton::ReleaseSpace() {
  StopDelayTimer();
  if (!FSpacePressed) return;
  FSpacePressed = false;
  QPointer<TCuteButton> self(this);
  Click();
  if (self) SetRest();
}

void TCuteButton::focusInEvent(QFocusEvent* event) {
  if (FTabFocusUp) SetBevelOuter(bvRaised);
  QFrame::focusInEvent(event);
}

void TCuteButton::focusOutEvent(QFocusEvent* event) {
  // A popup (the drop-down menu itself) takes the focus only for a while; any other loss
  // ends a Space press, whose key-up will go elsewhere.
  if (event->reason() != Qt::PopupFocusReason) FSpacePressed = false;
  SetBevelOuter(bvNone);
  QFrame::focusOutEvent(event);
}

void TCuteButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) update();
  QFrame::changeEvent(event);
}

bool TCuteButton::event(QEvent* event) {
  if (event->type() == QEvent::Shortcut) {
    auto* shortcut = static_cast<QShortcutEvent*>(event);
    if (FShortcutId == 0 || shortcut->shortcutId() != FShortcutId) return QFrame::event(event);
    const QWidget* parent = parentWidget();
    const bool parentVisible = parent != nullptr ? parent->isVisible() : isVisible();
    if (isEnabled() && parentVisible) {
      // Several controls with one accelerator: each press moves the focus to the next
      // of them instead of pressing one.
      if (shortcut->isAmbiguous())
        setFocus(Qt::ShortcutFocusReason);
      else
        PressEnter();
    }
    return true;
  }
  return QFrame::event(event);
}

void TCuteButton::Click() {
  if (FMenuDropping) {
    FMenuDropping = false;
    return;
  }
  if (!FEgnoreContClick) {
    // Run a copy: the handler may assign OnClick (or free the button) while it runs.
    if (OnClick) {
      const TNotifyEvent handler = OnClick;
      handler();
    }
    return;
  }
  // The handler is detached while it runs and while the messages queued meanwhile are
  // processed, so clicks made during that time reach no handler and are lost.
  QPointer<TCuteButton> self(this);
  TNotifyEvent handler = std::move(OnClick);
  OnClick = nullptr;
  struct TReattach {
    QPointer<TCuteButton>& Button;
    TNotifyEvent& Handler;
    // A handler assigned while detached wins over the one being put back.
    ~TReattach() {
      if (Button && !Button->OnClick) Button->OnClick = std::move(Handler);
    }
  } reattach{self, handler};
  if (handler) handler();
  if (!self) return;
  QCoreApplication::processEvents();
}

void TCuteButton::StartDropDown(bool byKeyboard) {
  FMenuByKeyboard = byKeyboard;
  if (FDropDownDelay == 0) {
    DropDown();
    return;
  }
  if (FTimer) return;  // one delay at a time
  FTimer = std::make_unique<TCuteButtonTimer>(this);
  FTimer->setInterval(FDropDownDelay);
  connect(FTimer.get(), &QTimer::timeout, this, &TCuteButton::DelayTimerFired);
  FTimer->start();
}

void TCuteButton::StopDelayTimer() {
  FTimer.reset();
  FMenuByKeyboard = false;
}

void TCuteButton::DelayTimerFired() {
  if (!FTimer) return;
  // The timer is running its own signal: it is stopped now and deleted later.
  FTimer->stop();
  FTimer.release()->deleteLater();
  if (FDropDownMenu && (FMouseHeld || FMenuByKeyboard)) DropDown();
  FMenuByKeyboard = false;
}

// Drops the menu with its top-left corner at the button's bottom-left corner and ends
// the press that started it; the click that ending the press would make is swallowed.
// The menu is shown with QMenu::popup: it stays open after this returns, and the action
// the user picks runs through the menu's own signals.
void TCuteButton::DropDown() {
  QPointer<TCuteButton> self(this);
  const bool byKeyboard = FMenuByKeyboard;
  FMenuDropping = true;
  QCoreApplication::processEvents();
  if (!self) return;
  if (FDropDownMenu) FDropDownMenu->popup(mapToGlobal(QPoint(0, height())));
  if (byKeyboard)
    ReleaseSpace();
  else
    ReleaseLeft(QPoint(0, 0));
  if (!self) return;
  FMenuDropping = false;
  FMenuByKeyboard = false;
}

}  // namespace korvane
