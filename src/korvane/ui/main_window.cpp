#include "korvane/ui/main_window.h"

#include <QAction>
#include <QApplication>
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

#include "korvane/app_error.h"
#include "korvane/texts.h"
#include "korvane/ui/board_widget.h"
#include "korvane/ui/cute_button.h"
#include "korvane/ui/status_bar.h"
#include "korvane/ui/window_look.h"
#include "korvane/ui/window_services.h"

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

// The command buttons, in the order they are created (which is also the focus order).
// An invalid face keeps the control's own default face.
struct TButtonDesign {
  TButton Button;
  const char* Name;
  const char* Caption;
  int Left;
  int Top;
  QColor Face;
};
const TButtonDesign kButtonDesigns[kButtonCount] = {
    {TButton::ShowContents, "CuteButton15", texts::kShowContents, 720, 34, kMoneyGreen},
    {TButton::Commentary, "CuteButton7", texts::kShowCommentary, 720, 276, kMoneyGreen},
    {TButton::RequestRegistration, "CuteButton4", texts::kRequestRegistration, 550, 400, kRegisterColour},
    {TButton::ExecuteRegistration, "CuteButton1", texts::kExecuteRegistration, 635, 400, kRegisterColour},
    {TButton::DeleteThemeDiagram, "CuteButton2", texts::kDeleteThemeDiagram, 720, 400, kRegisterColour},
    {TButton::RegisterCorrectSequence, "CuteButton5", texts::kRegisterCorrectSequence, 550, 432, kSequenceColour},
    {TButton::RegisterWrongSequence, "CuteButton6", texts::kRegisterWrongSequence, 635, 432, kSequenceColour},
    {TButton::CancelRegistration, "CuteButton14", texts::kCancel, 720, 432, kRegisterColour},
    {TButton::Side, "CuteButton13", texts::kWhiteToPlay, 550, 464, QColor()},
    {TButton::DeleteSequence, "CuteButton3", texts::kDeleteSequence, 635, 464, kSequenceColour},
    {TButton::Clear, "CuteButton11", texts::kClear, 720, 464, QColor()},
    {TButton::OneMoveForward, "CuteButton8", texts::kOneMoveForward, 550, 496, QColor()},
    {TButton::OneMoveBack, "CuteButton9", texts::kOneMoveBack, 635, 496, QColor()},
    {TButton::OneSequenceBack, "CuteButton16", texts::kOneSequenceBack, 720, 496, QColor()},
};

// The editing buttons that only the editing screen shows.
constexpr TButton kEditingButtons[] = {TButton::DeleteThemeDiagram, TButton::DeleteSequence,
                                       TButton::RequestRegistration, TButton::RegisterCorrectSequence,
                                       TButton::RegisterWrongSequence};

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

QLabel* MakeCaption(QWidget* client, const char* name, const char* text, int left, int top) {
  auto* label = new QLabel(QString::fromUtf8(text), client);
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

// A menu item with its name, running action when chosen.
template <typename TAction>
QAction* AddItem(QWidget* menu, const char* name, const char* caption, QObject* context, TAction action) {
  auto* item = new QAction(QString::fromUtf8(caption), menu);
  item->setObjectName(QString::fromLatin1(name));
  QObject::connect(item, &QAction::triggered, context, action);
  menu->addAction(item);
  return item;
}

void MoveTop(QWidget* widget, int top) { widget->move(widget->x(), top); }
void SetHeight(QWidget* widget, int height) { widget->resize(widget->width(), height); }

}  // namespace

TForm2::TForm2(TDataModule1& store, TWindowServices& services, QWidget* parent)
    : QMainWindow(parent), FServices(services), FController(*this, store) {
  setObjectName(QStringLiteral("Form2"));
  setWindowTitle(QString::fromUtf8(texts::kTitle));
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

  auto* timer1 = new QTimer(this);
  timer1->setObjectName(QStringLiteral("Timer1"));
  timer1->setInterval(1000);
  connect(timer1, &QTimer::timeout, this, &TForm2::UpdateClock);
  timer1->start();

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
  auto* themeColumns = new QStandardItemModel(0, 2, this);
  themeColumns->setHorizontalHeaderLabels(
      {QString::fromUtf8(texts::kThemeNumberColumn), QString::fromUtf8(texts::kThemeTitleColumn)});
  themeColumns->horizontalHeaderItem(0)->setTextAlignment(Qt::AlignCenter);
  DBGrid1 = MakeGrid(client, "DBGrid1", themeColumns, QRect(550, 55, 235, 74));
  DBGrid1->setColumnWidth(0, 28);
  DBGrid1->setColumnWidth(1, 172);
  DBGrid1->setFont(WindowFont(12));
  SetTextColour(DBGrid1, kNavy);

  auto* sequenceColumns = new QStandardItemModel(0, 7, this);
  sequenceColumns->setHorizontalHeaderLabels({"TNB", "MNB", "TES", "COL", "PST", "BFR", "BTO"});
  DBGrid2 = MakeGrid(client, "DBGrid2", sequenceColumns, QRect(550, 168, 235, 97));
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

  Label362 = MakeCaption(client, "Label362", texts::kCommentCaption, 552, 370);
  Label363 = MakeCaption(client, "Label363", texts::kMiddleHeadingCaption, 552, 40);
  QLabel* label364 = MakeCaption(client, "Label364", texts::kTrainingScreen, 636, 16);
  QFont bold = WindowFont(12);
  bold.setBold(true);
  label364->setFont(bold);
  SetTextColour(label364, kNavy);
  label364->adjustSize();

  StatusBar1 = new TStatusBar(client);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setGeometry(0, 537, 780, 20);
  StatusBar1->setFont(bold);
  for (int i = 0; i < TStatusBar::kPanelCount; ++i) {
    StatusBar1->Panel(i)->setTextFormat(Qt::PlainText);
  }
}

void TForm2::CreateButtons(QWidget* client) {
  for (const TButtonDesign& design : kButtonDesigns) {
    auto* button = new TCuteButton(client);
    button->setObjectName(QString::fromLatin1(design.Name));
    button->SetCaption(QString::fromUtf8(design.Caption));
    button->setGeometry(design.Left, design.Top, 62, 20);
    button->setFont(WindowFont(12));
    if (design.Face.isValid()) button->SetColor(design.Face);
    FButtons[static_cast<int>(design.Button)] = button;
  }
  Button(TButton::Clear)->OnClick = [this] { FController.ClearPosition(); };
}

void TForm2::CreateMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  QMenu* n1 = bar->addMenu(QString::fromUtf8(texts::kSwitchScreenMenu));
  n1->setObjectName(QStringLiteral("N1"));
  AddItem(n1, "N2", texts::kTrainingScreen, this, [this] { FController.SwitchToTraining(); });
  AddItem(n1, "N3", texts::kEditingScreen, this, [this] { FController.SwitchToEditing(); });
  QMenu* help = bar->addMenu(QString::fromUtf8(texts::kHelpMenu));
  help->setObjectName(QStringLiteral("Help"));
  AddItem(help, "Allhelp", texts::kOnlineHelp, this, [this] { FServices.ShowHelp(); });
  AddItem(help, "Vinfo", texts::kVersionInformation, this, [this] { FServices.ShowVersion(); });
  AddItem(bar, "Apriend", texts::kExit, this, [this] { FServices.ExitProgram(); });
}

// --- Trainer view ------------------------------------------------------------------

const QPixmap& TForm2::StonePicture(int32_t colour) {
  const QString file =
      FServices.ProgDir() + QString::fromUtf8(colour == kBlack ? texts::kBlackStoneFile : texts::kWhiteStoneFile);
  auto it = FStonePictures.find(file);
  if (it == FStonePictures.end()) {
    const QImage image(file);
    if (image.isNull()) {
      throw EKorvaneError(QString::fromUtf8(texts::kPictureUnreadable).arg(file).toStdString());
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

void TForm2::ReportMessage(const std::string& text) { StatusBar1->SetPanelText(0, QString::fromStdString(text)); }

void TForm2::PlaySound(TSound sound) { FServices.PlaySound(sound); }

void TForm2::ShowTrainingLayout() {
  DBGrid1->setVisible(true);
  SetHeight(DBGrid1, 259);
  DBGrid2->setVisible(false);
  DBEdit1->setVisible(true);
  MoveTop(DBEdit1, 428);
  MoveTop(DBMemo1, 358);
  Button(TButton::ExecuteRegistration)->setVisible(false);
  Button(TButton::ExecuteRegistration)->setEnabled(false);
  for (TButton b : kEditingButtons) Button(b)->setVisible(false);
  Button(TButton::Commentary)->setVisible(true);
  MoveTop(Button(TButton::Commentary), 336);
  Button(TButton::OneMoveForward)->setEnabled(true);
  Button(TButton::Side)->setVisible(true);
  Button(TButton::CancelRegistration)->setVisible(false);
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
  Button(TButton::ExecuteRegistration)->setVisible(true);
  for (TButton b : kEditingButtons) Button(b)->setVisible(true);
  Button(TButton::Commentary)->setVisible(false);
  Button(TButton::Side)->setVisible(false);
  Button(TButton::CancelRegistration)->setVisible(true);
  MoveTop(Label362, 367);
}

void TForm2::SetButtonCaption(TButton button, const std::string& caption) {
  Button(button)->SetCaption(QString::fromStdString(caption));
}

void TForm2::SetHeadingText(const std::string& text) { Label363->setText(QString::fromStdString(text)); }

void TForm2::ResetCommentaryColour() {
  // The toolkit's own colour stands for the "no colour" value.
  SetTextColour(DBMemo1, QApplication::palette(DBMemo1).color(QPalette::Text));
  FMemoColourIsDefault = true;
}

// --- Events --------------------------------------------------------------------------

void TForm2::Label1MouseDown(TPointLabel& label, Qt::MouseButton button) {
  // The window does not scroll, so the label's position is its unscrolled one.
  const int32_t n = kBoardLines * ((label.x() - 7) / kCellSize) + (label.y() - 11) / kCellSize + 1;
  FController.PointPressed(n, button == Qt::LeftButton ? TPointerButton::Left : TPointerButton::Other);
}

void TForm2::showEvent(QShowEvent* event) {
  if (!FShownOnce) {
    // The first showing, before the window is first painted.
    FShownOnce = true;
    FController.ShowFirstState();
    UpdateClock();
    if (const QScreen* screen = QApplication::primaryScreen()) {
      const QRect frame = frameGeometry();
      move(screen->availableGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
  }
  QMainWindow::showEvent(event);
}

void TForm2::UpdateClock() { StatusBar1->SetPanelText(2, FServices.ClockText()); }

}  // namespace korvane
