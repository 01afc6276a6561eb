#include "korvane/ui/cute_button.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QFocusEvent>
#include <QFont>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
#include <QPointer>
#include <QTest>
#include <QTimerEvent>
#include <QWidget>

#include <limits>
#include <memory>
#include <vector>

using korvane::TCuteButton;
using korvane::TCuteButtonTimer;

namespace {

// One key event of a scripted key sequence.
struct TKeyStep {
  bool Press;
  int Key;
  bool AutoRepeat = false;
};

enum class TTrigger { MousePress, SpaceKey, EnterKey, Accelerator };

constexpr QColor kFace{255, 255, 255};
constexpr QColor kHighlight{255, 0, 0};
constexpr QColor kShadow{0, 0, 255};
constexpr QColor kText{0, 0, 0};
constexpr QColor kDisabledFace{0, 160, 0};
// Long enough never to fire on its own while a test runs; tests fire it explicitly.
constexpr int kLongDelay = 600000;

// A top-level window holding one button at (10, 10), shown and active so that focus and
// accelerators behave as they do for the user. Another control comes first in the tab
// order and so holds the focus when the window is activated. Clicks are counted.
struct TButtonWindow {
  QWidget Window;
  QWidget* FocusHolder;
  TCuteButton* Button;
  int Clicks = 0;

  TButtonWindow() : FocusHolder(new QWidget(&Window)), Button(new TCuteButton(&Window)) {
    Window.resize(300, 200);
    FocusHolder->setFocusPolicy(Qt::StrongFocus);
    FocusHolder->setGeometry(100, 100, 20, 20);
    Button->move(10, 10);
    Button->SetCaption("&OK");
    Button->OnClick = [this] { ++Clicks; };
  }

  bool ShowActive() {
    Window.show();
    Window.activateWindow();
    return QTest::qWaitForWindowActive(&Window) && FocusHolder->hasFocus();
  }
};

// Plain colours and a large bold font, so that painted pixels can be told apart exactly.
void UsePlainColours(TCuteButton& button) {
  button.SetColor(kFace);
  button.SetBevelHighlightColor(kHighlight);
  button.SetBevelShadowColor(kShadow);
  QPalette palette = button.palette();
  palette.setColor(QPalette::ButtonText, kText);
  button.setPalette(palette);
  QFont font = button.font();
  font.setPixelSize(14);
  font.setBold(true);
  button.setFont(font);
}

QImage Snapshot(TCuteButton& button) {
  return button.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Bounding box of the pixels inside `area` that are not the face colour `face`.
QRect InkBox(const QImage& image, const QRect& area, const QColor& face) {
  QRect box;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (image.pixelColor(x, y) != face) box |= QRect(x, y, 1, 1);
  return box;
}

// Counts pixels inside `area` for which `test` holds.
template <typename TTest>
int CountPixels(const QImage& image, const QRect& area, TTest test) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (test(image.pixelColor(x, y))) ++count;
  return count;
}

void SendKey(TCuteButton& button, const TKeyStep& step) {
  QKeyEvent event(step.Press ? QEvent::KeyPress : QEvent::KeyRelease, step.Key, Qt::NoModifier,
                  step.Key == Qt::Key_Space ? QStringLiteral(" ") : QString(), step.AutoRepeat);
  QCoreApplication::sendEvent(&button, &event);
}

void SendEnter(TCuteButton& button, QPoint pos) {
  QEnterEvent event(pos, button.mapTo(button.window(), pos), button.mapToGlobal(pos));
  QCoreApplication::sendEvent(&button, &event);
}

void SendLeave(TCuteButton& button) {
  QEvent event(QEvent::Leave);
  QCoreApplication::sendEvent(&button, &event);
}

// A timer cannot be told to emit timeout from outside; its expiry arrives as a timer
// event with its id, which is what this sends. Returns the timer that was fired.
TCuteButtonTimer* FireDelayTimer(TCuteButton& button) {
  auto* timer = button.findChild<TCuteButtonTimer*>();
  if (timer == nullptr || !timer->isActive()) return nullptr;
  QTimerEvent event(timer->timerId());
  QCoreApplication::sendEvent(timer, &event);
  return timer;
}

// Deletes what deleteLater scheduled.
void FlushDeferredDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

int LiveTimerCount(TCuteButton& button) {
  FlushDeferredDeletes();
  return static_cast<int>(button.findChildren<TCuteButtonTimer*>().size());
}

// Starts a press of the given kind (Enter and the accelerator press at once).
void Press(TButtonWindow& w, TTrigger trigger) {
  switch (trigger) {
    case TTrigger::MousePress:
      QTest::mousePress(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
      break;
    case TTrigger::SpaceKey:
      SendKey(*w.Button, {true, Qt::Key_Space});
      break;
    case TTrigger::EnterKey:
      SendKey(*w.Button, {true, Qt::Key_Return});
      break;
    case TTrigger::Accelerator:
      QTest::keyClick(&w.Window, Qt::Key_O, Qt::AltModifier);
      break;
  }
}

void Release(TButtonWindow& w, TTrigger trigger) {
  switch (trigger) {
    case TTrigger::MousePress:
      QTest::mouseRelease(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
      break;
    case TTrigger::SpaceKey:
      SendKey(*w.Button, {false, Qt::Key_Space});
      break;
    case TTrigger::EnterKey:
      SendKey(*w.Button, {false, Qt::Key_Return});
      break;
    case TTrigger::Accelerator:
      break;
  }
}

}  // namespace

Q_DECLARE_METATYPE(std::vector<TKeyStep>)
Q_DECLARE_METATYPE(TTrigger)
Q_DECLARE_METATYPE(TCuteButton::TBevel)
Q_DECLARE_METATYPE(TCuteButton::TTextLayout)

class TCuteButtonTest : public QObject {
  Q_OBJECT

private slots:
  void defaults();
  void marginsBelowMinusOneAreStoredAsMinusOne_data();
  void marginsBelowMinusOneAreStoredAsMinusOne();
  void mouseRelease_data();
  void mouseRelease();
  void otherButtonsNeitherPressNorClick();
  void doubleClickIsTwoClicks();
  void enterAndLeave_data();
  void enterAndLeave();
  void focusShowsRestBevel_data();
  void focusShowsRestBevel();
  void keyboard_data();
  void keyboard();
  void disabledButtonIgnoresInput();
  void accelerator_data();
  void accelerator();
  void ambiguousAcceleratorOnlyMovesFocus();
  void continuedClicks_data();
  void continuedClicks();
  void handlerMayReplaceItself_data();
  void handlerMayReplaceItself();
  void menuWithoutDelayReplacesClick_data();
  void menuWithoutDelayReplacesClick();
  void releaseBeforeDelayClicks_data();
  void releaseBeforeDelayClicks();
  void delayExpiryWhileHeldDropsMenu_data();
  void delayExpiryWhileHeldDropsMenu();
  void enterWithDelayClicks();
  void oneDelayTimerAtATime();
  void menuGoneBeforeDelayExpiryDropsNothing();
  void captionRect_data();
  void captionRect();
  void paintsBevels_data();
  void paintsBevels();
  void disabledFace_data();
  void disabledFace();
  void captionPlacement_data();
  void captionPlacement();
  void disabledCaptionIsEmbossed();
  void acceleratorIsUnderlined();
  void focusRectangle_data();
  void focusRectangle();
};

void TCuteButtonTest::defaults() {
  QWidget parent;
  auto* button = new TCuteButton(&parent);
  QCOMPARE(button->size(), QSize(75, 25));
  QCOMPARE(button->sizeHint(), QSize(75, 25));
  QCOMPARE(button->focusPolicy(), Qt::StrongFocus);
  QCOMPARE(button->BevelOuter(), TCuteButton::bvNone);
  QCOMPARE(button->BevelWidth(), 1);
  QCOMPARE(button->Color(), button->palette().color(QPalette::Button));
  QCOMPARE(button->BevelHighlightColor(), button->palette().color(QPalette::Light));
  QCOMPARE(button->BevelShadowColor(), button->palette().color(QPalette::Dark));
  QCOMPARE(button->DisabledColor(), QColor(128, 128, 128));
  QCOMPARE(button->UseDisabledColor(), false);
  QVERIFY(button->DropDownMenu() == nullptr);
  QCOMPARE(button->DropDownDelay(), 0);
  QCOMPARE(button->EgnoreContClick(), false);
  QCOMPARE(button->Flat(), false);
  QCOMPARE(button->ShowFocusRect(), false);
  QCOMPARE(button->TabFocusUp(), true);
  QCOMPARE(button->Layout(), TCuteButton::tlCenter);
  QCOMPARE(button->Alignment(), Qt::Alignment(Qt::AlignHCenter));
  QCOMPARE(button->MarginX(), -1);
  QCOMPARE(button->MarginY(), -1);
  QVERIFY(button->Caption().isEmpty());
}

void TCuteButtonTest::marginsBelowMinusOneAreStoredAsMinusOne_data() {
  QTest::addColumn<int>("value");
  QTest::addColumn<int>("stored");
  QTest::newRow("-5") << -5 << -1;
  QTest::newRow("-2") << -2 << -1;
  QTest::newRow("most negative") << std::numeric_limits<int>::min() << -1;
  QTest::newRow("-1") << -1 << -1;
  QTest::newRow("0") << 0 << 0;
  QTest::newRow("7") << 7 << 7;
}

void TCuteButtonTest::marginsBelowMinusOneAreStoredAsMinusOne() {
  QFETCH(int, value);
  QFETCH(int, stored);
  TCuteButton button;
  button.SetMarginX(value);
  button.SetMarginY(value);
  QCOMPARE(button.MarginX(), stored);
  QCOMPARE(button.MarginY(), stored);
}

void TCuteButtonTest::mouseRelease_data() {
  QTest::addColumn<bool>("tabFocusUp");
  QTest::addColumn<QPoint>("releaseAt");
  QTest::addColumn<TCuteButton::TBevel>("bevel");
  QTest::addColumn<int>("clicks");
  QTest::newRow("inside") << true << QPoint(30, 12) << TCuteButton::bvRaised << 1;
  QTest::newRow("inside, no focus bevel") << false << QPoint(30, 12) << TCuteButton::bvRaised << 1;
  QTest::newRow("outside, no focus bevel") << false << QPoint(200, 12) << TCuteButton::bvNone << 0;
  QTest::newRow("just outside the right edge") << false << QPoint(75, 12) << TCuteButton::bvNone << 0;
  // The press gave the button the focus, so it rests raised.
  QTest::newRow("outside, focused") << true << QPoint(30, 100) << TCuteButton::bvRaised << 0;
}

void TCuteButtonTest::mouseRelease() {
  QFETCH(bool, tabFocusUp);
  QFETCH(QPoint, releaseAt);
  QFETCH(TCuteButton::TBevel, bevel);
  QFETCH(int, clicks);
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  w.Button->SetTabFocusUp(tabFocusUp);
  QTest::mousePress(w.Button, Qt::LeftButton, {}, QPoint(30, 12));
  QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvLowered);
  QVERIFY(w.Button->hasFocus());
  QCOMPARE(w.Clicks, 0);
  QTest::mouseRelease(w.Button, Qt::LeftButton, {}, releaseAt);
  QCOMPARE(w.Button->BevelOuter(), bevel);
  QCOMPARE(w.Clicks, clicks);
}

void TCuteButtonTest::otherButtonsNeitherPressNorClick() {
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  w.Button->SetTabFocusUp(false);
  for (Qt::MouseButton mouseButton : {Qt::RightButton, Qt::MiddleButton}) {
    QTest::mousePress(w.Button, mouseButton, {}, QPoint(30, 12));
    QVERIFY(w.Button->hasFocus());
    QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvNone);
    QTest::mouseRelease(w.Button, mouseButton, {}, QPoint(30, 12));
    QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvNone);
  }
  QCOMPARE(w.Clicks, 0);
}

void TCuteButtonTest::doubleClickIsTwoClicks() {
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  const QPoint at(30, 12);
  QTest::mousePress(w.Button, Qt::LeftButton, {}, at);
  QTest::mouseRelease(w.Button, Qt::LeftButton, {}, at);
  QMouseEvent doubleClick(QEvent::MouseButtonDblClick, QPointF(at), w.Button->mapToGlobal(QPointF(at)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(w.Button, &doubleClick);
  QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvLowered);
  QTest::mouseRelease(w.Button, Qt::LeftButton, {}, at);
  QCOMPARE(w.Clicks, 2);
}

void TCuteButtonTest::enterAndLeave_data() {
  QTest::addColumn<bool>("tabFocusUp");
  QTest::addColumn<bool>("focused");
  QTest::addColumn<bool>("leftHeld");
  QTest::addColumn<bool>("enter");  // else leave
  QTest::addColumn<TCuteButton::TBevel>("bevel");
  QTest::newRow("enter") << true << false << false << true << TCuteButton::bvRaised;
  QTest::newRow("enter, no focus bevel") << false << false << false << true << TCuteButton::bvRaised;
  QTest::newRow("enter while held") << true << true << true << true << TCuteButton::bvLowered;
  QTest::newRow("leave") << true << false << false << false << TCuteButton::bvNone;
  QTest::newRow("leave focused") << true << true << false << false << TCuteButton::bvRaised;
  QTest::newRow("leave focused, no focus bevel") << false << true << false << false << TCuteButton::bvNone;
  QTest::newRow("leave while held") << true << true << true << false << TCuteButton::bvRaised;
  QTest::newRow("leave while held, no focus bevel") << false << true << true << false << TCuteButton::bvNone;
}

void TCuteButtonTest::enterAndLeave() {
  QFETCH(bool, tabFocusUp);
  QFETCH(bool, focused);
  QFETCH(bool, leftHeld);
  QFETCH(bool, enter);
  QFETCH(TCuteButton::TBevel, bevel);
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  w.Button->SetTabFocusUp(tabFocusUp);
  std::vector<QPoint> entered;
  int left = 0;
  w.Button->OnMouseEnter = [&](TCuteButton::TShiftState, QPoint pos) { entered.push_back(pos); };
  w.Button->OnMouseLeave = [&](TCuteButton::TShiftState, QPoint) { ++left; };
  if (focused) w.Button->setFocus();
  QCOMPARE(w.Button->hasFocus(), focused);
  if (leftHeld) QTest::mousePress(w.Button, Qt::LeftButton, {}, QPoint(5, 5));
  if (enter) {
    SendEnter(*w.Button, QPoint(7, 9));
    QCOMPARE(entered, std::vector<QPoint>{QPoint(7, 9)});
    QCOMPARE(left, 0);
  } else {
    SendLeave(*w.Button);
    QCOMPARE(left, 1);
    QVERIFY(entered.empty());
  }
  QCOMPARE(w.Button->BevelOuter(), bevel);
  if (leftHeld) QTest::mouseRelease(w.Button, Qt::LeftButton, {}, QPoint(5, 200));
  QCOMPARE(w.Clicks, 0);
}

void TCuteButtonTest::focusShowsRestBevel_data() {
  QTest::addColumn<bool>("tabFocusUp");
  QTest::addColumn<TCuteButton::TBevel>("focusedBevel");
  QTest::newRow("focus bevel") << true << TCuteButton::bvRaised;
  QTest::newRow("no focus bevel") << false << TCuteButton::bvNone;
}

void TCuteButtonTest::focusShowsRestBevel() {
  QFETCH(bool, tabFocusUp);
  QFETCH(TCuteButton::TBevel, focusedBevel);
  TButtonWindow w;
  auto* other = new TCuteButton(&w.Window);
  other->move(100, 10);
  QVERIFY(w.ShowActive());
  w.Button->SetTabFocusUp(tabFocusUp);
  w.Button->setFocus(Qt::TabFocusReason);
  QVERIFY(w.Button->hasFocus());
  QCOMPARE(w.Button->BevelOuter(), focusedBevel);
  SendEnter(*w.Button, QPoint(3, 3));
  QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvRaised);
  other->setFocus(Qt::TabFocusReason);
  QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvNone);
  QCOMPARE(w.Clicks, 0);
}

void TCuteButtonTest::keyboard_data() {
  QTest::addColumn<bool>("tabFocusUp");
  QTest::addColumn<std::vector<TKeyStep>>("steps");
  QTest::addColumn<int>("clicks");
  QTest::addColumn<TCuteButton::TBevel>("bevel");
  const int space = Qt::Key_Space;
  QTest::newRow("Space down") << true << std::vector<TKeyStep>{{true, space}} << 0
                              << TCuteButton::bvLowered;
  QTest::newRow("Space down and up")
      << true << std::vector<TKeyStep>{{true, space}, {false, space}} << 1 << TCuteButton::bvRaised;
  QTest::newRow("Space down and up, no focus bevel")
      << false << std::vector<TKeyStep>{{true, space}, {false, space}} << 1 << TCuteButton::bvNone;
  QTest::newRow("Space held, another key")
      << true << std::vector<TKeyStep>{{true, space}, {true, Qt::Key_A}} << 0 << TCuteButton::bvRaised;
  QTest::newRow("Space held, another key, Space up")
      << true
      << std::vector<TKeyStep>{{true, space}, {true, Qt::Key_A}, {false, Qt::Key_A}, {false, space}}
      << 0 << TCuteButton::bvRaised;
  QTest::newRow("Space held, Shift, no focus bevel")
      << false << std::vector<TKeyStep>{{true, space}, {true, Qt::Key_Shift}, {false, space}} << 0
      << TCuteButton::bvNone;
  QTest::newRow("Space repeating")
      << true
      << std::vector<TKeyStep>{{true, space}, {false, space, true}, {true, space, true}, {false, space, true}}
      << 0 << TCuteButton::bvLowered;
  QTest::newRow("Space repeating, then up")
      << true
      << std::vector<TKeyStep>{{true, space}, {false, space, true}, {true, space, true}, {false, space}}
      << 1 << TCuteButton::bvRaised;
  QTest::newRow("Space up alone") << true << std::vector<TKeyStep>{{false, space}} << 0
                                  << TCuteButton::bvNone;
  QTest::newRow("Return") << true << std::vector<TKeyStep>{{true, Qt::Key_Return}} << 1
                          << TCuteButton::bvRaised;
  QTest::newRow("Return, no focus bevel") << false << std::vector<TKeyStep>{{true, Qt::Key_Return}} << 1
                                          << TCuteButton::bvNone;
  QTest::newRow("keypad Enter") << true
                                << std::vector<TKeyStep>{{true, Qt::Key_Enter}, {false, Qt::Key_Enter}}
                                << 1 << TCuteButton::bvRaised;
  QTest::newRow("Return repeating")
      << true << std::vector<TKeyStep>{{true, Qt::Key_Return}, {true, Qt::Key_Return, true}} << 2
      << TCuteButton::bvRaised;
  // Enter clicks once; the Space press it interrupted must not click again.
  QTest::newRow("Space held, Return")
      << true
      << std::vector<TKeyStep>{{true, space}, {true, Qt::Key_Return}, {false, Qt::Key_Return}, {false, space}}
      << 1 << TCuteButton::bvRaised;
  QTest::newRow("other key") << true << std::vector<TKeyStep>{{true, Qt::Key_A}, {false, Qt::Key_A}} << 0
                             << TCuteButton::bvNone;
}

void TCuteButtonTest::keyboard() {
  QFETCH(bool, tabFocusUp);
  QFETCH(std::vector<TKeyStep>, steps);
  QFETCH(int, clicks);
  QFETCH(TCuteButton::TBevel, bevel);
  TButtonWindow w;
  w.Button->SetTabFocusUp(tabFocusUp);
  for (const TKeyStep& step : steps) SendKey(*w.Button, step);
  QCOMPARE(w.Clicks, clicks);
  QCOMPARE(w.Button->BevelOuter(), bevel);
}

void TCuteButtonTest::disabledButtonIgnoresInput() {
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  w.Button->setEnabled(false);
  for (int key : {Qt::Key_Space, Qt::Key_Return}) {
    SendKey(*w.Button, {true, key});
    SendKey(*w.Button, {false, key});
  }
  QTest::mouseClick(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(w.Clicks, 0);
  QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvNone);
}

void TCuteButtonTest::accelerator_data() {
  QTest::addColumn<QString>("caption");
  QTest::addColumn<int>("key");
  QTest::addColumn<bool>("enabled");
  QTest::addColumn<int>("clicks");
  QTest::newRow("first character") << "&OK" << int(Qt::Key_O) << true << 1;
  QTest::newRow("inner character") << "O&K" << int(Qt::Key_K) << true << 1;
  QTest::newRow("not the accelerator") << "&OK" << int(Qt::Key_K) << true << 0;
  QTest::newRow("literal ampersand") << "&&OK" << int(Qt::Key_O) << true << 0;
  QTest::newRow("disabled") << "&OK" << int(Qt::Key_O) << false << 0;
  QTest::newRow("after a literal ampersand") << "R&&&D" << int(Qt::Key_D) << true << 1;
}

void TCuteButtonTest::accelerator() {
  QFETCH(QString, caption);
  QFETCH(int, key);
  QFETCH(bool, enabled);
  QFETCH(int, clicks);
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  w.Button->SetCaption("&Zebra");  // replaced below: its accelerator must go with it
  w.Button->SetCaption(caption);
  w.Button->setEnabled(enabled);
  QTest::keyClick(&w.Window, Qt::Key_Z, Qt::AltModifier);
  QCOMPARE(w.Clicks, 0);
  QTest::keyClick(&w.Window, Qt::Key(key), Qt::AltModifier);
  QCOMPARE(w.Clicks, clicks);
  // Pressed as Enter: the button comes to rest, and the focus stays where it was.
  QCOMPARE(w.Button->BevelOuter(), clicks == 1 ? TCuteButton::bvRaised : TCuteButton::bvNone);
  QVERIFY(w.FocusHolder->hasFocus());
}

void TCuteButtonTest::ambiguousAcceleratorOnlyMovesFocus() {
  TButtonWindow w;
  auto* twin = new TCuteButton(&w.Window);
  twin->move(100, 10);
  twin->SetCaption("&Open");
  int twinClicks = 0;
  twin->OnClick = [&] { ++twinClicks; };
  QVERIFY(w.ShowActive());
  QTest::keyClick(&w.Window, Qt::Key_O, Qt::AltModifier);
  QCOMPARE(w.Clicks + twinClicks, 0);
  QVERIFY(w.Button->hasFocus() || twin->hasFocus());
}

void TCuteButtonTest::continuedClicks_data() {
  QTest::addColumn<bool>("egnoreContClick");
  QTest::addColumn<int>("handlerRuns");
  QTest::newRow("lost while the handler runs") << true << 1;
  QTest::newRow("delivered without EgnoreContClick") << false << 2;
}

// The handler queues a second click on its own button, as an impatient user would, and
// lets the application process it before it returns.
void TCuteButtonTest::continuedClicks() {
  QFETCH(bool, egnoreContClick);
  QFETCH(int, handlerRuns);
  TButtonWindow w;
  QVERIFY(w.ShowActive());
  w.Button->SetEgnoreContClick(egnoreContClick);
  int runs = 0;
  w.Button->OnClick = [&] {
    if (++runs > 1) return;
    const QPoint at(20, 10);
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      // postEvent takes ownership of the event.
      auto event = std::make_unique<QMouseEvent>(
          type, QPointF(at), w.Button->mapToGlobal(QPointF(at)), Qt::LeftButton,
          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
      QCoreApplication::postEvent(w.Button, event.release());
    }
    QCoreApplication::processEvents();
  };
  QTest::mouseClick(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(runs, handlerRuns);
  // Clicks queued after the handler finished reach it again: it was attached again.
  QTest::mouseClick(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(runs, handlerRuns + 1);
}

void TCuteButtonTest::handlerMayReplaceItself_data() {
  QTest::addColumn<bool>("egnoreContClick");
  QTest::newRow("plain") << false;
  QTest::newRow("EgnoreContClick") << true;
}

// A handler that assigns OnClick while it runs keeps running on its own captures (the
// sanitizer build catches a handler destroyed under its feet), and the new one is kept.
void TCuteButtonTest::handlerMayReplaceItself() {
  QFETCH(bool, egnoreContClick);
  TButtonWindow w;
  w.Button->SetEgnoreContClick(egnoreContClick);
  int first = 0, second = 0;
  w.Button->OnClick = [&w, &first, &second, step = std::make_shared<int>(1)] {
    w.Button->OnClick = [&second] { ++second; };
    first += *step;
  };
  SendKey(*w.Button, {true, Qt::Key_Return});
  SendKey(*w.Button, {true, Qt::Key_Return});
  QCOMPARE(first, 1);
  QCOMPARE(second, 1);
}

void TCuteButtonTest::menuWithoutDelayReplacesClick_data() {
  QTest::addColumn<TTrigger>("trigger");
  QTest::newRow("mouse") << TTrigger::MousePress;
  QTest::newRow("Space") << TTrigger::SpaceKey;
  QTest::newRow("Enter") << TTrigger::EnterKey;
  QTest::newRow("accelerator") << TTrigger::Accelerator;
}

void TCuteButtonTest::menuWithoutDelayReplacesClick() {
  QFETCH(TTrigger, trigger);
  TButtonWindow w;
  QMenu menu;
  menu.addAction("Item");
  w.Button->SetDropDownMenu(&menu);
  QVERIFY(w.ShowActive());
  Press(w, trigger);
  QVERIFY(menu.isVisible());
  QCOMPARE(menu.pos(), w.Button->mapToGlobal(QPoint(0, w.Button->height())));
  Release(w, trigger);
  QCOMPARE(w.Clicks, 0);
  QCOMPARE(LiveTimerCount(*w.Button), 0);
  menu.hide();
  // The press is over: the next one without a menu clicks.
  w.Button->SetDropDownMenu(nullptr);
  Press(w, trigger);
  Release(w, trigger);
  QCOMPARE(w.Clicks, 1);
}

void TCuteButtonTest::releaseBeforeDelayClicks_data() {
  QTest::addColumn<TTrigger>("trigger");
  QTest::newRow("mouse") << TTrigger::MousePress;
  QTest::newRow("Space") << TTrigger::SpaceKey;
}

void TCuteButtonTest::releaseBeforeDelayClicks() {
  QFETCH(TTrigger, trigger);
  TButtonWindow w;
  QMenu menu;
  menu.addAction("Item");
  w.Button->SetDropDownMenu(&menu);
  w.Button->SetDropDownDelay(kLongDelay);
  QVERIFY(w.ShowActive());
  Press(w, trigger);
  auto* timer = w.Button->findChild<TCuteButtonTimer*>();
  QVERIFY(timer != nullptr);
  QVERIFY(timer->isActive());
  QVERIFY(timer->isSingleShot());
  QCOMPARE(timer->interval(), kLongDelay);
  QCOMPARE(timer->FCuteButton, w.Button);
  QVERIFY(!menu.isVisible());
  Release(w, trigger);
  QCOMPARE(w.Clicks, 1);
  QVERIFY(!menu.isVisible());
  QCOMPARE(LiveTimerCount(*w.Button), 0);
}

void TCuteButtonTest::delayExpiryWhileHeldDropsMenu_data() { releaseBeforeDelayClicks_data(); }

void TCuteButtonTest::delayExpiryWhileHeldDropsMenu() {
  QFETCH(TTrigger, trigger);
  TButtonWindow w;
  QMenu menu;
  menu.addAction("Item");
  w.Button->SetDropDownMenu(&menu);
  w.Button->SetDropDownDelay(kLongDelay);
  QVERIFY(w.ShowActive());
  Press(w, trigger);
  QVERIFY(FireDelayTimer(*w.Button) != nullptr);
  QVERIFY(menu.isVisible());
  QCOMPARE(menu.pos(), w.Button->mapToGlobal(QPoint(0, w.Button->height())));
  QCOMPARE(LiveTimerCount(*w.Button), 0);
  Release(w, trigger);
  QCOMPARE(w.Clicks, 0);
  menu.hide();
}

void TCuteButtonTest::enterWithDelayClicks() {
  TButtonWindow w;
  QMenu menu;
  menu.addAction("Item");
  w.Button->SetDropDownMenu(&menu);
  w.Button->SetDropDownDelay(kLongDelay);
  SendKey(*w.Button, {true, Qt::Key_Return});
  QCOMPARE(w.Clicks, 1);
  QVERIFY(!menu.isVisible());
  QCOMPARE(LiveTimerCount(*w.Button), 0);
}

void TCuteButtonTest::oneDelayTimerAtATime() {
  TButtonWindow w;
  QMenu menu;
  menu.addAction("Item");
  w.Button->SetDropDownMenu(&menu);
  w.Button->SetDropDownDelay(kLongDelay);
  QVERIFY(w.ShowActive());
  SendKey(*w.Button, {true, Qt::Key_Space});
  auto* first = w.Button->findChild<TCuteButtonTimer*>();
  SendKey(*w.Button, {true, Qt::Key_Space, true});
  QTest::mousePress(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(LiveTimerCount(*w.Button), 1);
  QCOMPARE(w.Button->findChild<TCuteButtonTimer*>(), first);
  // The mouse release ends the press and clicks; the delay is over with it.
  QTest::mouseRelease(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(LiveTimerCount(*w.Button), 0);
  QCOMPARE(w.Clicks, 1);
  QVERIFY(!menu.isVisible());
}

void TCuteButtonTest::menuGoneBeforeDelayExpiryDropsNothing() {
  TButtonWindow w;
  auto menu = std::make_unique<QMenu>();
  menu->addAction("Item");
  w.Button->SetDropDownMenu(menu.get());
  w.Button->SetDropDownDelay(kLongDelay);
  QVERIFY(w.ShowActive());
  QTest::mousePress(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  menu.reset();
  QCOMPARE(w.Button->DropDownMenu(), nullptr);
  QVERIFY(FireDelayTimer(*w.Button) != nullptr);
  QCOMPARE(w.Button->BevelOuter(), TCuteButton::bvLowered);
  QTest::mouseRelease(w.Button, Qt::LeftButton, {}, QPoint(20, 10));
  QCOMPARE(w.Clicks, 1);
}

void TCuteButtonTest::captionRect_data() {
  QTest::addColumn<bool>("flat");
  QTest::addColumn<int>("bevelWidth");
  QTest::addColumn<int>("alignment");
  QTest::addColumn<TCuteButton::TTextLayout>("layout");
  QTest::addColumn<int>("marginX");
  QTest::addColumn<int>("marginY");
  QTest::addColumn<bool>("pressed");
  QTest::addColumn<QRect>("expected");
  const int left = Qt::AlignLeft, centre = Qt::AlignHCenter, right = Qt::AlignRight;
  const auto top = TCuteButton::tlTop, middle = TCuteButton::tlCenter, bottom = TCuteButton::tlBottom;
  QTest::newRow("default") << false << 1 << centre << middle << -1 << -1 << false << QRect(2, 2, 71, 21);
  QTest::newRow("flat") << true << 1 << centre << middle << -1 << -1 << false << QRect(1, 1, 73, 23);
  QTest::newRow("wide bevel") << false << 3 << centre << middle << -1 << -1 << false << QRect(6, 6, 63, 13);
  QTest::newRow("flat wide bevel") << true << 3 << centre << middle << -1 << -1 << false << QRect(3, 3, 69, 19);
  QTest::newRow("left margin") << false << 1 << left << middle << 5 << -1 << false << QRect(7, 2, 66, 21);
  QTest::newRow("left margin 0") << false << 1 << left << middle << 0 << -1 << false << QRect(2, 2, 71, 21);
  QTest::newRow("right margin") << false << 1 << right << middle << 5 << -1 << false << QRect(2, 2, 66, 21);
  QTest::newRow("centred ignores MarginX") << false << 1 << centre << middle << 5 << 4 << false
                                           << QRect(2, 2, 71, 21);
  QTest::newRow("top margin") << false << 1 << centre << top << -1 << 4 << false << QRect(2, 6, 71, 17);
  QTest::newRow("bottom margin") << false << 1 << centre << bottom << -1 << 4 << false << QRect(2, 2, 71, 17);
  QTest::newRow("top without margin") << false << 1 << centre << top << -1 << -1 << false << QRect(2, 2, 71, 21);
  QTest::newRow("both margins, flat") << true << 1 << right << bottom << 3 << 2 << false << QRect(1, 1, 70, 21);
  QTest::newRow("pressed") << false << 1 << centre << middle << -1 << -1 << true << QRect(4, 4, 71, 21);
  QTest::newRow("pressed with margins") << false << 1 << left << top << 5 << 4 << true << QRect(9, 8, 66, 17);
}

void TCuteButtonTest::captionRect() {
  QFETCH(bool, flat);
  QFETCH(int, bevelWidth);
  QFETCH(int, alignment);
  QFETCH(TCuteButton::TTextLayout, layout);
  QFETCH(int, marginX);
  QFETCH(int, marginY);
  QFETCH(bool, pressed);
  QFETCH(QRect, expected);
  TCuteButton button;
  button.SetFlat(flat);
  button.SetBevelWidth(bevelWidth);
  button.SetAlignment(Qt::Alignment(alignment));
  button.SetLayout(layout);
  button.SetMarginX(marginX);
  button.SetMarginY(marginY);
  if (pressed) QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(10, 10));
  QCOMPARE(button.CaptionRect(), expected);
  if (pressed) QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(10, 10));
}

void TCuteButtonTest::paintsBevels_data() {
  QTest::addColumn<TCuteButton::TBevel>("outer");
  QTest::addColumn<bool>("flat");
  QTest::addColumn<QPoint>("pixel");
  QTest::addColumn<QColor>("colour");
  const auto none = TCuteButton::bvNone, raised = TCuteButton::bvRaised, lowered = TCuteButton::bvLowered;
  QTest::newRow("idle: outer ring is face") << none << false << QPoint(0, 0) << kFace;
  QTest::newRow("idle: outer ring bottom-right is face") << none << false << QPoint(74, 24) << kFace;
  QTest::newRow("idle: inner ring top-left") << none << false << QPoint(1, 1) << kHighlight;
  QTest::newRow("idle: inner ring top") << none << false << QPoint(40, 1) << kHighlight;
  QTest::newRow("idle: inner ring left") << none << false << QPoint(1, 12) << kHighlight;
  QTest::newRow("idle: inner ring top-right") << none << false << QPoint(73, 1) << kShadow;
  QTest::newRow("idle: inner ring bottom-left") << none << false << QPoint(1, 23) << kShadow;
  QTest::newRow("idle: inner ring bottom-right") << none << false << QPoint(73, 23) << kShadow;
  QTest::newRow("idle: inside the rings") << none << false << QPoint(2, 2) << kFace;
  QTest::newRow("flat idle: no inner ring") << none << true << QPoint(1, 1) << kFace;
  QTest::newRow("raised: top-left") << raised << false << QPoint(0, 0) << kHighlight;
  QTest::newRow("raised: top") << raised << false << QPoint(40, 0) << kHighlight;
  QTest::newRow("raised: top-right") << raised << false << QPoint(74, 0) << kShadow;
  QTest::newRow("raised: right") << raised << false << QPoint(74, 12) << kShadow;
  QTest::newRow("raised: bottom") << raised << false << QPoint(40, 24) << kShadow;
  QTest::newRow("raised: inner ring stays") << raised << false << QPoint(1, 1) << kHighlight;
  QTest::newRow("flat raised: top-left") << raised << true << QPoint(0, 0) << kHighlight;
  QTest::newRow("flat raised: no inner ring") << raised << true << QPoint(1, 1) << kFace;
  QTest::newRow("lowered: top-left") << lowered << false << QPoint(0, 0) << kShadow;
  QTest::newRow("lowered: left") << lowered << false << QPoint(0, 12) << kShadow;
  QTest::newRow("lowered: bottom-right") << lowered << false << QPoint(74, 24) << kHighlight;
  QTest::newRow("lowered: inner ring stays raised") << lowered << false << QPoint(73, 23) << kShadow;
}

void TCuteButtonTest::paintsBevels() {
  QFETCH(TCuteButton::TBevel, outer);
  QFETCH(bool, flat);
  QFETCH(QPoint, pixel);
  QFETCH(QColor, colour);
  TCuteButton button;
  UsePlainColours(button);
  button.SetTabFocusUp(false);
  button.SetFlat(flat);
  if (outer == TCuteButton::bvRaised) SendEnter(button, QPoint(5, 5));
  if (outer == TCuteButton::bvLowered) QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(5, 5));
  QCOMPARE(button.BevelOuter(), outer);
  QCOMPARE(Snapshot(button).pixelColor(pixel), colour);
  if (outer == TCuteButton::bvLowered) QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(5, 5));
}

void TCuteButtonTest::disabledFace_data() {
  QTest::addColumn<bool>("useDisabledColor");
  QTest::addColumn<bool>("enabled");
  QTest::addColumn<QColor>("face");
  QTest::newRow("disabled, own colour") << true << false << kDisabledFace;
  QTest::newRow("disabled, normal colour") << false << false << kFace;
  QTest::newRow("enabled with a disabled colour set") << true << true << kFace;
}

void TCuteButtonTest::disabledFace() {
  QFETCH(bool, useDisabledColor);
  QFETCH(bool, enabled);
  QFETCH(QColor, face);
  TCuteButton button;
  UsePlainColours(button);
  button.SetCaption(QString());
  button.SetDisabledColor(kDisabledFace);
  button.SetUseDisabledColor(useDisabledColor);
  button.setEnabled(enabled);
  const QImage image = Snapshot(button);
  QCOMPARE(image.pixelColor(0, 0), face);
  QCOMPARE(image.pixelColor(37, 12), face);
  // Enabling again repaints with the normal face.
  button.setEnabled(true);
  QCOMPARE(Snapshot(button).pixelColor(37, 12), kFace);
}

void TCuteButtonTest::captionPlacement_data() {
  QTest::addColumn<int>("alignment");
  QTest::addColumn<TCuteButton::TTextLayout>("layout");
  QTest::addColumn<int>("marginX");
  QTest::addColumn<int>("marginY");
  QTest::addColumn<bool>("pressed");
  QTest::addColumn<QPoint>("shift");  // against the same placement without margins, idle
  const int left = Qt::AlignLeft, centre = Qt::AlignHCenter, right = Qt::AlignRight;
  const auto top = TCuteButton::tlTop, middle = TCuteButton::tlCenter, bottom = TCuteButton::tlBottom;
  QTest::newRow("left margin") << left << middle << 10 << -1 << false << QPoint(10, 0);
  QTest::newRow("right margin") << right << middle << 10 << -1 << false << QPoint(-10, 0);
  QTest::newRow("centred ignores margins") << centre << middle << 10 << 3 << false << QPoint(0, 0);
  QTest::newRow("top margin") << centre << top << -1 << 3 << false << QPoint(0, 3);
  QTest::newRow("bottom margin") << centre << bottom << -1 << 3 << false << QPoint(0, -3);
  QTest::newRow("pressed") << centre << middle << -1 << -1 << true << QPoint(2, 2);
  QTest::newRow("pressed, left and top margins") << left << top << 4 << 1 << true << QPoint(6, 3);
}

// Where the caption's ink lands, compared with the same button without margins and idle.
void TCuteButtonTest::captionPlacement() {
  QFETCH(int, alignment);
  QFETCH(TCuteButton::TTextLayout, layout);
  QFETCH(int, marginX);
  QFETCH(int, marginY);
  QFETCH(bool, pressed);
  QFETCH(QPoint, shift);
  auto make = [&](int mx, int my) {
    auto button = std::make_unique<TCuteButton>();
    UsePlainColours(*button);
    button->SetTabFocusUp(false);
    button->SetCaption("Wi");
    button->SetAlignment(Qt::Alignment(alignment));
    button->SetLayout(layout);
    button->SetMarginX(mx);
    button->SetMarginY(my);
    return button;
  };
  const QRect area(2, 2, 71, 21);
  auto baseline = make(-1, -1);
  const QRect reference = InkBox(Snapshot(*baseline), area, kFace);
  QVERIFY(!reference.isEmpty());
  auto button = make(marginX, marginY);
  if (pressed) QTest::mousePress(button.get(), Qt::LeftButton, {}, QPoint(5, 5));
  const QRect ink = InkBox(Snapshot(*button), area, kFace);
  QCOMPARE(ink, reference.translated(shift));
  if (pressed) QTest::mouseRelease(button.get(), Qt::LeftButton, {}, QPoint(5, 5));
  // The placement follows the alignment: left text starts near the left edge, right text
  // ends near the right edge.
  if (alignment == Qt::AlignLeft && !pressed) QVERIFY(reference.left() <= 4);
  if (alignment == Qt::AlignRight) QVERIFY(reference.right() >= 70);
  if (alignment == Qt::AlignHCenter) QVERIFY(qAbs((reference.left() - 2) - (72 - reference.right())) <= 2);
}

void TCuteButtonTest::disabledCaptionIsEmbossed() {
  TCuteButton button;
  UsePlainColours(button);
  button.SetTabFocusUp(false);
  button.SetCaption("Wi");
  const QRect area(2, 2, 71, 21);
  const QImage enabledImage = Snapshot(button);
  const QRect enabledInk = InkBox(enabledImage, area, kFace);
  QVERIFY(CountPixels(enabledImage, area, [](QColor c) { return c == kText; }) > 0);
  button.setEnabled(false);
  const QImage image = Snapshot(button);
  // The light copy one pixel right and down, the dark copy in place: together they
  // cover the enabled caption's box grown by one pixel to the right and down.
  QCOMPARE(InkBox(image, area, kFace), enabledInk.adjusted(0, 0, 1, 1));
  QVERIFY(CountPixels(image, area, [](QColor c) { return c == kHighlight; }) > 0);
  QVERIFY(CountPixels(image, area, [](QColor c) { return c == kShadow; }) > 0);
  // Nothing in the text colour, and the dark copy is on top wherever it is solid.
  QCOMPARE(CountPixels(image, area, [](QColor c) { return c.red() == c.green() && c.green() == c.blue() && c != kFace; }), 0);
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (enabledImage.pixelColor(x, y) == kText) QCOMPARE(image.pixelColor(x, y), kShadow);
}

void TCuteButtonTest::acceleratorIsUnderlined() {
  auto inkOf = [](const QString& caption) {
    TCuteButton button;
    UsePlainColours(button);
    button.SetCaption(caption);
    return InkBox(Snapshot(button), QRect(2, 2, 71, 21), kFace);
  };
  const QRect plain = inkOf("W");
  const QRect marked = inkOf("&W");
  const QRect literal = inkOf("&&W");
  QVERIFY(!plain.isEmpty());
  QVERIFY2(marked.bottom() > plain.bottom(), "the accelerator character is underlined");
  QVERIFY2(marked.width() < literal.width(), "the ampersand itself is not drawn");
}

void TCuteButtonTest::focusRectangle_data() {
  QTest::addColumn<bool>("showFocusRect");
  QTest::addColumn<bool>("focused");
  QTest::addColumn<bool>("drawn");
  QTest::newRow("shown when focused") << true << true << true;
  QTest::newRow("not without the focus") << true << false << false;
  QTest::newRow("not unless asked for") << false << true << false;
}

void TCuteButtonTest::focusRectangle() {
  QFETCH(bool, showFocusRect);
  QFETCH(bool, focused);
  QFETCH(bool, drawn);
  TButtonWindow w;
  UsePlainColours(*w.Button);
  w.Button->SetCaption(QString());
  w.Button->SetShowFocusRect(showFocusRect);
  QVERIFY(w.ShowActive());
  if (focused) w.Button->setFocus();
  QCOMPARE(w.Button->hasFocus(), focused);
  const QImage image = Snapshot(*w.Button);
  // Caption rectangle (2, 2)-(72, 22); the focus rectangle runs 2 pixels inside it.
  const QColor expected = drawn ? kText : kFace;
  QCOMPARE(image.pixelColor(4, 4), expected);
  QCOMPARE(image.pixelColor(70, 4), expected);
  QCOMPARE(image.pixelColor(4, 20), expected);
  QCOMPARE(image.pixelColor(6, 4), expected);
  QCOMPARE(image.pixelColor(5, 4), kFace);  // dotted
  QCOMPARE(image.pixelColor(5, 5), kFace);  // only the outline
  QCOMPARE(CountPixels(image, QRect(5, 5, 65, 15), [](QColor c) { return c != kFace; }), 0);
}

QTEST_MAIN(TCuteButtonTest)
#include "cute_button_test.moc"
