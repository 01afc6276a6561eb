#include "korvane/ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "korvane/app_error.h"
#include "korvane/store/data_module.h"
#include "korvane/ui/board_widget.h"
#include "korvane/ui/cute_button.h"
#include "korvane/ui/status_bar.h"
#include "korvane/ui/window_look.h"
#include "testing/korvane_fakes.h"
#include "testing/trainer_fakes.h"

using namespace korvane;
using testing_support::TRecordingWindowServices;

namespace {

constexpr int32_t Pt(int32_t column, int32_t row) { return kBoardLines * column + row + 1; }

// The window position of the centre of a point's label.
QPoint LabelCentre(int32_t point) {
  const int c = (point - 1) / kBoardLines;
  const int r = (point - 1) % kBoardLines;
  return QPoint(7 + kCellSize * c + 10, 11 + kCellSize * r + 6);
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

  TDataModule1 FStore;
  TRecordingWindowServices FServices;
  std::unique_ptr<TForm2> FForm;

  TForm2& Form() { return *FForm; }
  TTrainerController& Controller() { return FForm->Controller(); }
  TTrainerState& State() { return TTrainerControllerProbe::State(Controller()); }
  TBoardModel& Board() { return Controller().Board(); }
  TStatusBar* StatusBar() { return Child<TStatusBar>("StatusBar1"); }
  template <typename T>
  T* Child(const QString& name) {
    T* child = FForm->findChild<T*>(name);
    if (child == nullptr) qFatal("no control named %s", qPrintable(name));
    return child;
  }
  // A press delivered to the window at a point of the client area: it reaches whatever
  // control lies there, as a real click would.
  void ClickClient(QPoint at, Qt::MouseButton button) {
    const QPoint inWindow = FForm->centralWidget()->mapTo(FForm.get(), at);
    QTest::mousePress(FForm->windowHandle(), button, {}, inWindow);
    QTest::mouseRelease(FForm->windowHandle(), button, {}, inWindow);
  }

private slots:
  void init() {
    FServices = TRecordingWindowServices();
    FForm = std::make_unique<TForm2>(FStore, FServices);
    FForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(FForm.get()));
  }
  void cleanup() { FForm.reset(); }

  void WindowShape() {
    QCOMPARE(Form().windowTitle(), QStringLiteral("Korvane"));
    QCOMPARE(Form().centralWidget()->size(), QSize(794, 557));
    QCOMPARE(Child<TBoardWidget>("Board")->geometry(), QRect(0, 0, 536, 536));
    QCOMPARE(Child<TStatusBar>("StatusBar1")->geometry(), QRect(0, 537, 780, 20));
    QCOMPARE(Child<TStatusBar>("StatusBar1")->Panel(0)->width(), 450);
    QCOMPARE(Child<TStatusBar>("StatusBar1")->Panel(1)->width(), 140);
    QCOMPARE(Child<QLabel>("Label364")->text(), QStringLiteral("道場画面"));
    QVERIFY(Child<QLabel>("Label364")->font().bold());
    // The window face resolves to an installed Japanese Gothic face, not a Latin fallback.
    QCOMPARE(QFontInfo(WindowFont()).family(), QStringLiteral("IPAPGothic"));
  }

  void PointControlsByName_data() {
    QTest::addColumn<int>("point");
    QTest::addColumn<QRect>("image");
    QTest::addColumn<QRect>("label");
    QTest::newRow("1 top-left") << 1 << QRect(2, 2, 28, 28) << QRect(7, 11, 20, 12);
    QTest::newRow("19 bottom-left") << 19 << QRect(2, 506, 28, 28) << QRect(7, 515, 20, 12);
    QTest::newRow("343 top-right") << 343 << QRect(506, 2, 28, 28) << QRect(511, 11, 20, 12);
    QTest::newRow("361 bottom-right") << 361 << QRect(506, 506, 28, 28) << QRect(511, 515, 20, 12);
    QTest::newRow("181 centre") << 181 << QRect(254, 254, 28, 28) << QRect(259, 263, 20, 12);
  }
  void PointControlsByName() {
    QFETCH(int, point);
    QFETCH(QRect, image);
    QFETCH(QRect, label);
    QCOMPARE(Child<QLabel>(QStringLiteral("Image%1").arg(point))->geometry(), image);
    auto* pointLabel = Child<QLabel>(QStringLiteral("Label%1").arg(point));
    QCOMPARE(pointLabel->geometry(), label);
    QVERIFY(pointLabel->text().isEmpty());
    QCOMPARE(pointLabel, static_cast<QLabel*>(Form().PointLabel(point)));
  }

  void ButtonsAndMenu() {
    struct Button {
      const char* name;
      const char* caption;
      int left, top;
    };
    const Button buttons[] = {
        {"CuteButton15", "目次表示", 720, 34},   {"CuteButton4", "登録要求", 550, 400},
        {"CuteButton1", "登録実行", 635, 400},   {"CuteButton2", "削除", 720, 400},
        {"CuteButton5", "正手順登録", 550, 432}, {"CuteButton6", "悪手順登録", 635, 432},
        {"CuteButton14", "キャンセル", 720, 432}, {"CuteButton13", "白番", 550, 464},
        {"CuteButton3", "手順削除", 635, 464},   {"CuteButton11", "クリア", 720, 464},
        {"CuteButton8", "1手進む", 550, 496},    {"CuteButton9", "１手戻す", 635, 496},
        {"CuteButton16", "１手順戻す", 720, 496},
    };
    for (const Button& b : buttons) {
      auto* button = Child<TCuteButton>(b.name);
      QCOMPARE(button->Caption(), QString::fromUtf8(b.caption));
      QCOMPARE(button->geometry(), QRect(b.left, b.top, 62, 20));
    }
    QCOMPARE(Child<TCuteButton>("CuteButton15")->Color(), QColor(192, 220, 192));
    QCOMPARE(Child<TCuteButton>("CuteButton4")->Color(), QColor(250, 220, 130));
    QCOMPARE(Child<TCuteButton>("CuteButton3")->Color(), QColor(130, 255, 185));

    QCOMPARE(Child<QMenu>("N1")->title(), QStringLiteral("画面切替"));
    QCOMPARE(Child<QAction>("N2")->text(), QStringLiteral("道場画面"));
    QCOMPARE(Child<QAction>("N3")->text(), QStringLiteral("編集画面"));
    QCOMPARE(Child<QMenu>("Help")->title(), QStringLiteral("ヘルプ"));
    QCOMPARE(Child<QAction>("Allhelp")->text(), QStringLiteral("オンラインヘルプ"));
    QCOMPARE(Child<QAction>("Vinfo")->text(), QStringLiteral("バージョン情報"));
    QCOMPARE(Child<QAction>("Apriend")->text(), QStringLiteral("終了"));
    QVERIFY(Child<QAction>("Apriend")->menu() == nullptr);  // a top-level command, not a submenu
    QCOMPARE(Child<QMenu>("N1")->actions(), (QList<QAction*>{Child<QAction>("N2"), Child<QAction>("N3")}));
    QCOMPARE(Child<QMenu>("Help")->actions(), (QList<QAction*>{Child<QAction>("Allhelp"), Child<QAction>("Vinfo")}));
    QCOMPARE(Form().menuBar()->actions(), (QList<QAction*>{Child<QMenu>("N1")->menuAction(),
                                                          Child<QMenu>("Help")->menuAction(), Child<QAction>("Apriend")}));
  }

  // What the controller names a button by is the control of that name.
  void ButtonsByMeaning() {
    const std::pair<TButton, const char*> buttons[] = {
        {TButton::ShowContents, "CuteButton15"},          {TButton::Commentary, "CuteButton7"},
        {TButton::RequestRegistration, "CuteButton4"},    {TButton::ExecuteRegistration, "CuteButton1"},
        {TButton::DeleteThemeDiagram, "CuteButton2"},     {TButton::RegisterCorrectSequence, "CuteButton5"},
        {TButton::RegisterWrongSequence, "CuteButton6"},  {TButton::CancelRegistration, "CuteButton14"},
        {TButton::Side, "CuteButton13"},                  {TButton::DeleteSequence, "CuteButton3"},
        {TButton::Clear, "CuteButton11"},                 {TButton::OneMoveForward, "CuteButton8"},
        {TButton::OneMoveBack, "CuteButton9"},            {TButton::OneSequenceBack, "CuteButton16"},
    };
    static_assert(std::size(buttons) == kButtonCount);
    for (const auto& [button, name] : buttons) {
      QCOMPARE(Form().Button(button), Child<TCuteButton>(name));
      Form().SetButtonCaption(button, "黒番");
      QCOMPARE(Child<TCuteButton>(name)->Caption(), QStringLiteral("黒番"));
    }
  }

  void GridColumns() {
    auto* grid1 = Child<QTableView>("DBGrid1");
    auto* grid2 = Child<QTableView>("DBGrid2");
    auto* themes = qobject_cast<QStandardItemModel*>(grid1->model());
    QVERIFY(themes);
    QCOMPARE(themes->columnCount(), 2);
    QCOMPARE(themes->headerData(0, Qt::Horizontal).toString(), QStringLiteral("項番"));
    QCOMPARE(themes->headerData(1, Qt::Horizontal).toString(), QStringLiteral("テーマ図"));
    QCOMPARE(grid1->columnWidth(0), 28);
    QCOMPARE(grid1->columnWidth(1), 172);
    const QStringList fields = {"TNB", "MNB", "TES", "COL", "PST", "BFR", "BTO"};
    for (int i = 0; i < fields.size(); ++i) {
      QCOMPARE(grid2->model()->headerData(i, Qt::Horizontal).toString(), fields[i]);
      QCOMPARE(grid2->columnWidth(i), 28);
    }
  }

  void FirstShowingState() {
    QCOMPARE(Controller().State().Screen, 1);
    QCOMPARE(Controller().State().Side, 2);
    QCOMPARE(Controller().State().ExpShown, 2);
    QCOMPARE(Controller().State().Registering, 0);
    QVERIFY(Child<QLabel>("Label363")->text().isEmpty());
    QCOMPARE(Child<TCuteButton>("CuteButton7")->Caption(), QStringLiteral("解説表示"));
    QCOMPARE(Child<TCuteButton>("CuteButton13")->Caption(), QStringLiteral("白番"));
    QCOMPARE(StatusBar()->PanelText(2), QStringLiteral("03/07  02:05 PM"));
    QVERIFY(Child<QTimer>("Timer1")->isActive());
    QCOMPARE(Child<QTimer>("Timer1")->interval(), 1000);
  }

  // Visible controls and positions of both screens. Controls not listed for a screen
  // keep their design position.
  void Layouts() {
    struct Expect {
      const char* name;
      bool visible;
      int top;     // -1: not checked
      int height;  // -1: not checked
    };
    const Expect training[] = {
        {"DBGrid1", true, 55, 259},     {"DBGrid2", false, -1, -1},     {"DBEdit1", true, 428, -1},
        {"DBMemo1", true, 358, -1},     {"CuteButton1", false, -1, -1}, {"CuteButton2", false, -1, -1},
        {"CuteButton3", false, -1, -1}, {"CuteButton4", false, -1, -1}, {"CuteButton5", false, -1, -1},
        {"CuteButton6", false, -1, -1}, {"CuteButton7", true, 336, -1}, {"CuteButton13", true, 464, -1},
        {"CuteButton14", false, -1, -1}, {"Label362", true, 432, -1},   {"Label364", true, 16, -1},
        {"CuteButton8", true, 496, -1}, {"CuteButton9", true, 496, -1}, {"CuteButton11", true, 464, -1},
        {"CuteButton15", true, 34, -1}, {"CuteButton16", true, 496, -1},
    };
    const Expect editing[] = {
        {"DBGrid1", true, 55, 106},      {"DBGrid2", true, 240, 105},     {"DBEdit1", true, 365, -1},
        {"DBMemo1", true, 175, -1},      {"CuteButton1", true, 400, -1},  {"CuteButton2", true, 400, -1},
        {"CuteButton3", true, 464, -1},  {"CuteButton4", true, 400, -1},  {"CuteButton5", true, 432, -1},
        {"CuteButton6", true, 432, -1},  {"CuteButton7", false, -1, -1},  {"CuteButton13", false, -1, -1},
        {"CuteButton14", true, 432, -1}, {"Label362", true, 367, -1},     {"Label364", true, 16, -1},
        {"CuteButton8", true, 496, -1},  {"CuteButton9", true, 496, -1},  {"CuteButton11", true, 464, -1},
        {"CuteButton15", true, 34, -1},  {"CuteButton16", true, 496, -1},
    };
    auto check = [this](const char* screen, const auto& expects) {
      for (const Expect& e : expects) {
        QWidget* w = Child<QWidget>(e.name);
        const QString where = QStringLiteral("%1: %2").arg(screen, e.name);
        QVERIFY2(w->isVisible() == e.visible, qPrintable(where));
        if (e.top >= 0) QVERIFY2(w->y() == e.top, qPrintable(where + QStringLiteral(" top %1").arg(w->y())));
        if (e.height >= 0) QVERIFY2(w->height() == e.height, qPrintable(where));
      }
    };
    check("training", training);
    QVERIFY(!Child<TCuteButton>("CuteButton1")->isEnabled());
    Child<QAction>("N3")->trigger();
    QCOMPARE(Controller().State().Screen, 2);
    check("editing", editing);
    QVERIFY(!Child<TCuteButton>("CuteButton1")->isEnabled());  // the editing layout leaves enabled states alone
    State().Side = 1;
    Child<QAction>("N2")->trigger();
    QCOMPARE(Controller().State().Screen, 1);
    check("training again", training);
    QCOMPARE(Child<TCuteButton>("CuteButton13")->Caption(), QStringLiteral("黒番"));
  }

  void ClickRouting_data() {
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<int>("colour");
    QTest::newRow("left") << Qt::LeftButton << int(kBlack);
    QTest::newRow("right") << Qt::RightButton << int(kWhite);
    QTest::newRow("middle") << Qt::MiddleButton << int(kWhite);
  }
  void ClickRouting() {
    QFETCH(Qt::MouseButton, button);
    QFETCH(int, colour);
    Form().ReportMessage("old message");
    for (int32_t point : {1, 181, 361, Pt(14, 3)}) {
      ClickClient(LabelCentre(point), button);
      QCOMPARE(Board().PointColour(point), colour);
      QVERIFY(!Form().PointImage(point)->pixmap().isNull());
    }
    QVERIFY(StatusBar()->PanelText(0).isEmpty());
    QVERIFY(FServices.Sounds.empty());  // hand moves make no sound
    QCOMPARE(Board().PendingCount(), 4);
  }

  void PressOutsideLabelsDoesNothing() {
    // On the horizontal grid line of row 3, between the labels of columns 3 and 4; on a
    // picture's margin above a label; on the board's edge.
    for (QPoint at : {QPoint(16 + 28 * 3 + 14, 16 + 28 * 3), QPoint(16 + 28 * 5, 4 + 28 * 5), QPoint(1, 1)}) {
      ClickClient(at, Qt::LeftButton);
    }
    QCOMPARE(Board().PendingCount(), 0);
    for (int32_t p = 1; p <= kPointCount; ++p) QCOMPARE(Board().PointColour(p), kEmpty);
  }

  void CandidateMarkNeverPlaysAHandMove() {
    Form().SetPointText(200, "●");
    Form().SetPointTextColour(200, TPointTextColour::Green);
    Form().SetPointText(40, "●");
    ClickClient(LabelCentre(200), Qt::LeftButton);
    QCOMPARE(Board().PointColour(200), kEmpty);
    QCOMPARE(Board().PendingCount(), 0);
    // The marks on empty points are cleared after the choice.
    QVERIFY(Form().PointLabel(200)->text().isEmpty());
    QVERIFY(Form().PointLabel(40)->text().isEmpty());
  }

  void ClearEmptyMarksCoversEveryColumn() {
    Board().PlaceStone(3, kBlack, 300, pmNumbered, 0);
    Form().ReportMessage("message");
    for (int32_t p : {5, 247, 248, 350, 361}) Form().SetPointText(p, "●");
    Controller().ClearEmptyMarks();
    for (int32_t p : {5, 247, 248, 350, 361}) QVERIFY2(Form().PointLabel(p)->text().isEmpty(), qPrintable(QString::number(p)));
    QCOMPARE(Form().PointLabel(300)->text(), QStringLiteral("3"));  // a stone keeps its number
    QVERIFY(!Form().PointImage(300)->pixmap().isNull());
    QVERIFY(StatusBar()->PanelText(0).isEmpty());
    // A mark on the right-hand side no longer blocks a hand move there.
    Form().SetPointText(355, "●");
    Board().PlayUserMove(10, kBlack);  // the first hand move clears every text
    QVERIFY(Form().PointLabel(355)->text().isEmpty());
    ClickClient(LabelCentre(355), Qt::RightButton);
    QCOMPARE(Board().PointColour(355), kWhite);
  }

  void ClearButtonClearsThePosition() {
    ClickClient(LabelCentre(100), Qt::LeftButton);
    State().Registering = 1;
    State().ExpShown = 1;
    QTest::mouseClick(Child<TCuteButton>("CuteButton11"), Qt::LeftButton);
    QCOMPARE(Board().PointColour(100), kEmpty);
    QVERIFY(Form().PointImage(100)->pixmap().isNull());
    QCOMPARE(Controller().State().Registering, 0);
    QCOMPARE(Controller().State().ExpShown, 2);
    QVERIFY(Form().MemoColourIsDefault());
  }

  void PointTextColours() {
    Form().SetPointText(12, "7");
    const struct {
      TPointTextColour colour;
      QColor rgb;
    } cases[] = {{TPointTextColour::Red, QColor(255, 0, 0)},
                 {TPointTextColour::White, QColor(255, 255, 255)},
                 {TPointTextColour::Black, QColor(0, 0, 0)},
                 {TPointTextColour::Green, QColor(55, 255, 55)}};
    for (const auto& c : cases) {
      Form().SetPointTextColour(12, c.colour);
      QCOMPARE(Form().PointLabel(12)->palette().color(QPalette::WindowText), c.rgb);
    }
    QCOMPARE(Form().GetPointText(12), std::string("7"));
  }

  void MissingStonePictureRaisesAndStops() {
    QTemporaryDir empty;
    FServices.Dir = empty.path() + "/";
    QVERIFY_THROWS_EXCEPTION(EKorvaneError, Form().ShowStone(5, kBlack));
    QVERIFY(Form().PointImage(5)->pixmap().isNull());
  }

  void FiftyFirstHandMoveIsRefusedWithAMessage() {
    for (int32_t p = 1; p <= kMaxPendingMoves; ++p) Board().PlayUserMove(p * 7, kBlack);
    ClickClient(LabelCentre(2), Qt::LeftButton);
    QCOMPARE(Board().PointColour(2), kEmpty);
    QVERIFY(!StatusBar()->PanelText(0).isEmpty());
  }

  // The help menu and "終了" go to the shell's services; the window's state stays.
  void MenuCommandsGoToTheServices() {
    ClickClient(LabelCentre(50), Qt::LeftButton);
    Child<QAction>("Allhelp")->trigger();
    Child<QAction>("Vinfo")->trigger();
    Child<QAction>("Apriend")->trigger();
    QCOMPARE(FServices.Commands, (QStringList{"help", "version", "exit"}));
    QVERIFY(Form().isVisible());
    QCOMPARE(Board().PointColour(50), kBlack);
    QCOMPARE(Controller().State().Screen, 1);
  }

  void SoundsGoToTheServices() {
    Form().PlaySound(TSound::Click);
    Form().PlaySound(TSound::LineEnd);
    QCOMPARE(FServices.Sounds, (std::vector<TSound>{TSound::Click, TSound::LineEnd}));
  }

  void ClockTick() {
    FServices.Clock = QStringLiteral("12/31  12:09 AM");
    Form().UpdateClock();
    QCOMPARE(StatusBar()->PanelText(2), QStringLiteral("12/31  12:09 AM"));
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  PrepareApplication(app);
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
