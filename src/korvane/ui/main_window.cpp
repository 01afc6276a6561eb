#include "korvane/ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPalette>
#include <QPlainTextEdit>
#include <QScreen>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>

#include "korvane/shell/app_error.h"
#include "korvane/shell/clock.h"
#include "korvane/shell/dialogs.h"
#include "korvane/shell/help_window.h"
#include "korvane/shell/korvane_application.h"
#include "korvane/shell/sound_player.h"
#include "korvane/ui/board_widget.h"
#include "korvane/ui/cute_button.h"
#include "korvane/ui/status_bar.h"

namespace korvane {
namespace {

// Client area: the board (536 x 536) and the side panel, the status bar below them.
constexpr int kClientWidth = 794;
constexpr int kClientHeight = 557;

const QColor kWindowColour(240, 240, 255);
const QColor kNavy(0, 0, 128);
const QColor kCream(255, 251, 240);
const QColor kMoneyGreen(192, 220, 192);
const QColor kRegisterColour(250, 220, 130);
const QColor kSequenceColour(130, 255, 185);

const QString kCandidateMark = QStringLiteral("●");
const QString kExitQuestion = QStringLiteral("「Korvane」を終了していいですか？");
const QString kVersionText = QStringLiteral("Korvane\r\nVersion 3.3\r\n詰碁の練習と問題作りのために");
const QString kMovesFull = QStringLiteral("これ以上は石を置けません（手で置けるのは50手までです）");

QColor TextColour(TPointTextColour colour) {
  switch (colour) {
    case TPointTextColour::Red: return QColor(255, 0, 0);
    case TPointTextColour::White: return QColor(255, 255, 255);
    case TPointTextColour::Black: return QColor(0, 0, 0);
    case TPointTextColour::Green: return QColor(55, 255, 55);
  }
  return QColor(0, 0, 0);
}

void SetTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  palette.setColor(QPalette::Text, colour);
  widget->setPalette(palette);
}

QLabel* MakeCaption(QWidget* client, const char* name, const QString& text, int left, int top) {
  auto* label = new QLabel(text, client);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QTableView* MakeGrid(QWidget* client, const char* name, QStandardItemModel* columns, QRect geometry) {
  auto* grid = new QTableView(client);
  grid->setObjectName(QString::fromLatin1(name));
  grid->setGeometry(geometry);
  grid->setModel(columns);
  grid->verticalHeader()->setDefaultSectionSize(16);
  grid->verticalHeader()->setFixedWidth(11);  // the row indicator column
  grid->horizontalHeader()->setFixedHeight(17);
  grid->horizontalHeader()->setHighlightSections(false);
  grid->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                        QAbstractItemView::AnyKeyPressed);
  grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  grid->setSelectionMode(QAbstractItemView::SingleSelection);
  return grid;
}

void MoveTop(QWidget* widget, int top) { widget->move(widget->x(), top); }
void SetHeight(QWidget* widget, int height) { widget->resize(widget->width(), height); }

}  // namespace

TForm2::TForm2(TShellServices services, QWidget* parent)
    : QMainWindow(parent), FServices(services), FBoard(*this) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QStringLiteral("Korvane"));
  setFont(WindowFont(12));

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("Client"));
  client->setFixedSize(kClientWidth, kClientHeight);
  client->setAutoFillBackground(true);
  QPalette palette = client->palette();
  palette.setColor(QPalette::Window, kWindowColour);
  client->setPalette(palette);
  setCentralWidget(client);

  CreateBoard(client);
  CreateSidePanel(client);
  CreateButtons(client);
  CreateMenu();

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &TForm2::UpdateClock);
  Timer1->start();

  FHelpWindow = new THelpWindow(this);
  setFixedSize(sizeHint());
}

TForm2::~TForm2() = default;

void TForm2::CreateBoard(QWidget* client) {
  new TBoardWidget(client);
  // Pictures first, labels after them: each label lies above its own picture. Only
  // the labels take the mouse; a press on a picture's margin or a grid line does nothing.
  for (int32_t n = 1; n <= kPointCount; ++n) {
    const int c = (n - 1) / kBoardLines;
    const int r = (n - 1) % kBoardLines;
    auto* image = new QLabel(client);
    image->setObjectName(QStringLiteral("Image%1").arg(n));
    image->setGeometry(2 + kCellSize * c, 2 + kCellSize * r, kCellSize, kCellSize);
    image->setScaledContents(true);
    image->setAttribute(Qt::WA_TransparentForMouseEvents);
    FImages[n - 1] = image;
  }
  const QFont labelFont = WindowFont(12);
  for (int32_t n = 1; n <= kPointCount; ++n) {
    const int c = (n - 1) / kBoardLines;
    const int r = (n - 1) % kBoardLines;
    auto* label = new TPointLabel(client, [this](TPointLabel& l, Qt::MouseButton b) { Label1MouseDown(l, b); });
    label->setObjectName(QStringLiteral("Label%1").arg(n));
    label->setGeometry(7 + kCellSize * c, 11 + kCellSize * r, 20, 12);
    label->setAlignment(Qt::AlignCenter);
    label->setTextFormat(Qt::PlainText);
    label->setFont(labelFont);
    SetTextColour(label, Qt::black);
    FLabels[n - 1] = label;
  }
}

void TForm2::CreateSidePanel(QWidget* client) {
  FThemeColumns = new QStandardItemModel(0, 2, this);
  FThemeColumns->setHorizontalHeaderLabels({QStringLiteral("項番"), QStringLiteral("テーマ図")});
  FThemeColumns->horizontalHeaderItem(0)->setTextAlignment(Qt::AlignCenter);
  DBGrid1 = MakeGrid(client, "DBGrid1", FThemeColumns, QRect(550, 55, 235, 74));
  DBGrid1->setColumnWidth(0, 28);
  DBGrid1->setColumnWidth(1, 172);
  DBGrid1->setFont(WindowFont(12));
  SetTextColour(DBGrid1, kNavy);

  FSequenceColumns = new QStandardItemModel(0, 7, this);
  FSequenceColumns->setHorizontalHeaderLabels({"TNB", "MNB", "TES", "COL", "PST", "BFR", "BTO"});
  DBGrid2 = MakeGrid(client, "DBGrid2", FSequenceColumns, QRect(550, 168, 235, 97));
  for (int i = 0; i < 7; ++i) DBGrid2->setColumnWidth(i, 28);

  DBMemo1 = new QPlainTextEdit(client);
  DBMemo1->setObjectName(QStringLiteral("DBMemo1"));
  DBMemo1->setGeometry(550, 296, 235, 49);

  DBEdit1 = new QLineEdit(client);
  DBEdit1->setObjectName(QStringLiteral("DBEdit1"));
  DBEdit1->setGeometry(600, 367, 185, 20);
  QPalette editPalette = DBEdit1->palette();
  editPalette.setColor(QPalette::Base, kCream);
  editPalette.setColor(QPalette::Text, kNavy);
  DBEdit1->setPalette(editPalette);

  Label362 = MakeCaption(client, "Label362", QStringLiteral("コメント"), 552, 370);
  Label363 = MakeCaption(client, "Label363", QStringLiteral("中項目"), 552, 40);
  Label364 = MakeCaption(client, "Label364", QStringLiteral("道場画面"), 636, 16);
  QFont bold = WindowFont(12);
  bold.setBold(true);
  Label364->setFont(bold);
  SetTextColour(Label364, kNavy);
  Label364->adjustSize();

  StatusBar1 = new TStatusBar(client);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setGeometry(0, 537, 780, 20);
  StatusBar1->setFont(bold);
  for (int i = 0; i < TStatusBar::kPanelCount; ++i) {
    StatusBar1->Panel(i)->setTextFormat(Qt::PlainText);
  }
}

TCuteButton* TForm2::MakeButton(QWidget* client, const char* name, const QString& caption, int left, int top,
                                const QColor& face) {
  auto* button = new TCuteButton(client);
  button->setObjectName(QString::fromLatin1(name));
  button->SetCaption(caption);
  button->setGeometry(left, top, 62, 20);
  button->setFont(WindowFont(12));
  if (face.isValid()) button->SetColor(face);
  return button;
}

void TForm2::CreateButtons(QWidget* client) {
  const QColor standard;  // the control's own default face
  CuteButton15 = MakeButton(client, "CuteButton15", QStringLiteral("目次表示"), 720, 34, kMoneyGreen);
  CuteButton7 = MakeButton(client, "CuteButton7", QStringLiteral("解説表示"), 720, 276, kMoneyGreen);
  CuteButton4 = MakeButton(client, "CuteButton4", QStringLiteral("登録要求"), 550, 400, kRegisterColour);
  CuteButton1 = MakeButton(client, "CuteButton1", QStringLiteral("登録実行"), 635, 400, kRegisterColour);
  CuteButton2 = MakeButton(client, "CuteButton2", QStringLiteral("削除"), 720, 400, kRegisterColour);
  CuteButton5 = MakeButton(client, "CuteButton5", QStringLiteral("正手順登録"), 550, 432, kSequenceColour);
  CuteButton6 = MakeButton(client, "CuteButton6", QStringLiteral("悪手順登録"), 635, 432, kSequenceColour);
  CuteButton14 = MakeButton(client, "CuteButton14", QStringLiteral("キャンセル"), 720, 432, kRegisterColour);
  CuteButton13 = MakeButton(client, "CuteButton13", QStringLiteral("白番"), 550, 464, standard);
  CuteButton3 = MakeButton(client, "CuteButton3", QStringLiteral("手順削除"), 635, 464, kSequenceColour);
  CuteButton11 = MakeButton(client, "CuteButton11", QStringLiteral("クリア"), 720, 464, standard);
  CuteButton8 = MakeButton(client, "CuteButton8", QStringLiteral("1手進む"), 550, 496, standard);
  CuteButton9 = MakeButton(client, "CuteButton9", QStringLiteral("１手戻す"), 635, 496, standard);
  CuteButton16 = MakeButton(client, "CuteButton16", QStringLiteral("１手順戻す"), 720, 496, standard);

  CuteButton11->OnClick = [this] { ClearPosition(); };
}

void TForm2::CreateMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  N1 = bar->addMenu(QStringLiteral("画面切替"));
  N1->setObjectName(QStringLiteral("N1"));
  N2 = N1->addAction(QStringLiteral("道場画面"), this, &TForm2::SwitchToTraining);
  N2->setObjectName(QStringLiteral("N2"));
  N3 = N1->addAction(QStringLiteral("編集画面"), this, &TForm2::SwitchToEditing);
  N3->setObjectName(QStringLiteral("N3"));
  Help = bar->addMenu(QStringLiteral("ヘルプ"));
  Help->setObjectName(QStringLiteral("Help"));
  Allhelp = Help->addAction(QStringLiteral("オンラインヘルプ"), this, &TForm2::ShowHelp);
  Allhelp->setObjectName(QStringLiteral("Allhelp"));
  Vinfo = Help->addAction(QStringLiteral("バージョン情報"), this, &TForm2::ShowVersion);
  Vinfo->setObjectName(QStringLiteral("Vinfo"));
  Apriend = bar->addAction(QStringLiteral("終了"));
  Apriend->setObjectName(QStringLiteral("Apriend"));
  connect(Apriend, &QAction::triggered, this, &TForm2::ExitProgram);
}

// --- Board view ------------------------------------------------------------------

const QPixmap& TForm2::StonePicture(int32_t colour) {
  const QString file = ProgDir + (colour == kBlack ? QStringLiteral("stB.bmp") : QStringLiteral("stW.bmp"));
  auto it = FStonePictures.find(file);
  if (it == FStonePictures.end()) {
    const QImage image(file);
    if (image.isNull()) {
      throw EKorvaneError(QStringLiteral("画像ファイルを読み込めません: %1").arg(file).toStdString());
    }
    // Scaled once, shared by every point that shows this stone.
    const QPixmap picture = QPixmap::fromImage(
        image.scaled(kCellSize, kCellSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    it = FStonePictures.emplace(file, picture).first;
  }
  return it->second;
}

void TForm2::ShowStone(int32_t point, int32_t colour) { FImages[point - 1]->setPixmap(StonePicture(colour)); }

void TForm2::ClearPoint(int32_t point) {
  FImages[point - 1]->clear();
  FLabels[point - 1]->clear();
}

void TForm2::SetPointText(int32_t point, const std::string& text) {
  FLabels[point - 1]->setText(QString::fromStdString(text));
}

std::string TForm2::GetPointText(int32_t point) const { return FLabels[point - 1]->text().toStdString(); }

void TForm2::SetPointTextColour(int32_t point, TPointTextColour colour) {
  SetTextColour(FLabels[point - 1], TextColour(colour));
}

// --- Window operations -------------------------------------------------------------

void TForm2::ClearPosition() {
  FBoard.ClearBoard();
  Registering = 0;
  ExpShown = 2;
  // The memo's text goes back to the toolkit's own colour (the "no colour" value).
  SetTextColour(DBMemo1, QApplication::palette(DBMemo1).color(QPalette::Text));
  FMemoColourIsDefault = true;
}

void TForm2::ClearEmptyMarks() {
  // Every point: a mark left on the right-hand columns would otherwise stay clickable.
  for (int32_t p = 1; p <= kPointCount; ++p) {
    if (FBoard.PointColour(p) == kEmpty) ClearPoint(p);
  }
  ReportMessage(QString());
}

void TForm2::ShowTrainingLayout() {
  DBGrid1->setVisible(true);
  SetHeight(DBGrid1, 259);
  DBGrid2->setVisible(false);
  DBEdit1->setVisible(true);
  MoveTop(DBEdit1, 428);
  MoveTop(DBMemo1, 358);
  CuteButton1->setVisible(false);
  CuteButton1->setEnabled(false);
  for (TCuteButton* b : {CuteButton2, CuteButton3, CuteButton4, CuteButton5, CuteButton6}) b->setVisible(false);
  CuteButton7->setVisible(true);
  MoveTop(CuteButton7, 336);
  CuteButton8->setEnabled(true);
  CuteButton13->setVisible(true);
  CuteButton13->SetCaption(Side == 1 ? QStringLiteral("黒番") : QStringLiteral("白番"));
  CuteButton14->setVisible(false);
  MoveTop(Label362, 432);
}

void TForm2::ShowEditingLayout() {
  DBGrid1->setVisible(true);
  SetHeight(DBGrid1, 106);
  DBGrid2->setVisible(true);
  MoveTop(DBGrid2, 240);
  SetHeight(DBGrid2, 105);
  DBEdit1->setVisible(true);
  MoveTop(DBEdit1, 365);
  MoveTop(DBMemo1, 175);
  for (TCuteButton* b : {CuteButton1, CuteButton2, CuteButton3, CuteButton4, CuteButton5, CuteButton6}) {
    b->setVisible(true);
  }
  CuteButton7->setVisible(false);
  CuteButton13->setVisible(false);
  CuteButton14->setVisible(true);
  MoveTop(Label362, 367);
}

void TForm2::Label1MouseDown(TPointLabel& label, Qt::MouseButton button) {
  ReportMessage(QString());
  // The point comes from where the label sits; the window does not scroll.
  const int32_t n = kBoardLines * ((label.x() - 7) / kCellSize) + (label.y() - 11) / kCellSize + 1;
  if (label.text() == kCandidateMark) {
    ChooseMarkedContinuation(n);
    ClearEmptyMarks();
    ReportAfterStep();
    return;
  }
  if (!FBoard.PlayUserMove(n, button == Qt::LeftButton ? kBlack : kWhite)) ReportMessage(kMovesFull);
}

void TForm2::ReportMessage(const QString& text) { StatusBar1->SetPanelText(0, text); }

// --- Shell -------------------------------------------------------------------------

void TForm2::showEvent(QShowEvent* event) {
  if (!FShownOnce) {
    FShownOnce = true;
    ShowMainWindow();
  }
  QMainWindow::showEvent(event);
}

void TForm2::ShowMainWindow() {
  ProgDir = QCoreApplication::applicationDirPath() + QLatin1Char('/');
  HelpFile = ProgDir + QStringLiteral("Korvane.hlp");
  Screen = 1;
  ClearPosition();
  Side = 2;
  ExpShown = 2;
  Label363->clear();
  CuteButton7->SetCaption(QStringLiteral("解説表示"));
  ShowTrainingLayout();
  Screen = 1;
  ShowFirstListing();
  UpdateClock();
  if (const QScreen* screen = QApplication::primaryScreen()) {
    const QRect frame = frameGeometry();
    move(screen->availableGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2));
  }
}

void TForm2::ShowHelp() {
  if (!FHelpWindow->ShowContents(HelpFile)) {
    FServices.Dialogs.Error(QStringLiteral("ヘルプファイルを開けません: %1").arg(HelpFile));
  }
}

void TForm2::ShowVersion() { FServices.Dialogs.Information(kVersionText); }

void TForm2::ExitProgram() {
  if (!FServices.Dialogs.Confirm(kExitQuestion)) return;
  // Nothing to release for sockets on this platform; the data module closes its
  // queries when the program's main function destroys it after this window.
  close();
  QCoreApplication::quit();
}

void TForm2::UpdateClock() { StatusBar1->SetPanelText(2, FormatClockText(FServices.Clock.Now())); }

void TForm2::PlaySound(int kind) {
  FServices.Sound.Play(ProgDir + (kind == 1 ? QStringLiteral("Oto1.wav") : QStringLiteral("Oto2.wav")));
}

// --- Screens -----------------------------------------------------------------------

void TForm2::SwitchToTraining() {
  ShowTrainingLayout();
  Screen = 1;
}

void TForm2::SwitchToEditing() {
  ShowEditingLayout();
  Screen = 2;
}

}  // namespace korvane
