#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QString>

#include <array>
#include <map>

#include "korvane/board/board_model.h"
#include "korvane/board/board_view.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QStandardItemModel;
class QTableView;
class QTimer;

namespace korvane {

class TBoardWidget;
class TClock;
class TCuteButton;
class TDialogs;
class THelpWindow;
class TPointLabel;
class TSoundPlayer;
class TStatusBar;

// What the window needs from its surroundings: the time, the sound output and the modal
// boxes. The program passes the real ones, tests fakes.
struct TShellServices {
  TClock& Clock;
  TSoundPlayer& Sound;
  TDialogs& Dialogs;
};

// The main window: the board on the left (a painted grid with one stone picture and
// one text label per point), lists, commentary and command buttons on the right, the
// menu and the status bar. It is the board model's view, and it holds the window state
// that the training, editing and stepping screens share.
//
// Controls are reachable by their names (QObject::objectName): "Image"n and "Label"n for
// the point controls, "DBGrid1", "CuteButton15", "StatusBar1" and so on.
class TForm2 : public QMainWindow, public TBoardView {
  Q_OBJECT
public:
  explicit TForm2(TShellServices services, QWidget* parent = nullptr);
  ~TForm2() override;

  // --- Board view -------------------------------------------------------------------
  // Shows the stone picture ProgDir + "stB.bmp" (colour 1) or "stW.bmp" (any other).
  // Raises EKorvaneError when the picture cannot be read; the caller stops there.
  void ShowStone(int32_t point, int32_t colour) override;
  void ClearPoint(int32_t point) override;
  void SetPointText(int32_t point, const std::string& text) override;
  std::string GetPointText(int32_t point) const override;
  void SetPointTextColour(int32_t point, TPointTextColour colour) override;

  // --- Window operations ------------------------------------------------------------
  // Clears the board model and the registration state, hides the commentary (ExpShown
  // = 2) and gives the commentary memo back its default text colour.
  void ClearPosition();
  // Wherever a point is empty on the board, removes its picture and text (marks and
  // numbers left from stepping), then empties the message panel. Covers every point.
  void ClearEmptyMarks();
  void ShowTrainingLayout();
  void ShowEditingLayout();
  // The mouse-down handler of every point label: a "●" chooses the marked continuation,
  // anything else plays a move by hand (left button black, any other white).
  void Label1MouseDown(TPointLabel& label, Qt::MouseButton button);
  // Writes a message to the message panel (status panel 0); it stays until replaced.
  void ReportMessage(const QString& text);

  // --- Shell ------------------------------------------------------------------------
  // The first showing of the window (runs before it is first painted).
  void ShowMainWindow();
  void ShowHelp();
  void ShowVersion();
  // Asks before ending the program; No leaves everything as it was.
  void ExitProgram();
  void UpdateClock();
  // Plays sound 1 (the ordinary click, "Oto1.wav") or 2 (end of a line, "Oto2.wav").
  void PlaySound(int kind);

  // --- Screens ----------------------------------------------------------------------
  void SwitchToTraining();
  void SwitchToEditing();

  TBoardModel& Board() { return FBoard; }
  TPointLabel* PointLabel(int32_t point) const { return FLabels[point - 1]; }
  QLabel* PointImage(int32_t point) const { return FImages[point - 1]; }
  THelpWindow* HelpWindow() const { return FHelpWindow; }
  // The memo's text colour is the toolkit default (the "no colour" value) after ClearPosition.
  bool MemoColourIsDefault() const { return FMemoColourIsDefault; }

  // Window state shared by the screens.
  int32_t Screen = 1;       // 1 training, 2 editing
  int32_t CurMNB = 0;       // theme diagram on the board
  int32_t Side = 2;         // side chosen for training: 1 black, 2 white
  int32_t ExpShown = 2;     // commentary: 1 shown, 2 hidden
  int32_t Registering = 0;  // 1 while a new theme diagram is being registered
  int32_t EditMNB = 0;      // working value of a registration
  QString ProgDir;          // directory of the program, with a trailing separator
  QString HelpFile;         // ProgDir + "Korvane.hlp"

  // Controls, by their names.
  QTableView* DBGrid1 = nullptr;
  QTableView* DBGrid2 = nullptr;
  QPlainTextEdit* DBMemo1 = nullptr;
  QLineEdit* DBEdit1 = nullptr;
  QLabel* Label362 = nullptr;
  QLabel* Label363 = nullptr;
  QLabel* Label364 = nullptr;
  TStatusBar* StatusBar1 = nullptr;
  QTimer* Timer1 = nullptr;
  TCuteButton* CuteButton1 = nullptr;
  TCuteButton* CuteButton2 = nullptr;
  TCuteButton* CuteButton3 = nullptr;
  TCuteButton* CuteButton4 = nullptr;
  TCuteButton* CuteButton5 = nullptr;
  TCuteButton* CuteButton6 = nullptr;
  TCuteButton* CuteButton7 = nullptr;
  TCuteButton* CuteButton8 = nullptr;
  TCuteButton* CuteButton9 = nullptr;
  TCuteButton* CuteButton11 = nullptr;
  TCuteButton* CuteButton13 = nullptr;
  TCuteButton* CuteButton14 = nullptr;
  TCuteButton* CuteButton15 = nullptr;
  TCuteButton* CuteButton16 = nullptr;
  QMenu* N1 = nullptr;
  QAction* N2 = nullptr;
  QAction* N3 = nullptr;
  QMenu* Help = nullptr;
  QAction* Allhelp = nullptr;
  QAction* Vinfo = nullptr;
  QAction* Apriend = nullptr;

protected:
  void showEvent(QShowEvent* event) override;

  // Hooks the training screen fills: the start-up listing, the step taken when a marked
  // continuation is clicked, and the report after a step. Empty until then.
  virtual void ShowFirstListing() {}
  virtual void ChooseMarkedContinuation(int32_t /*point*/) {}
  virtual void ReportAfterStep() {}

private:
  void CreateBoard(QWidget* client);
  void CreateSidePanel(QWidget* client);
  void CreateButtons(QWidget* client);
  void CreateMenu();
  TCuteButton* MakeButton(QWidget* client, const char* name, const QString& caption, int left, int top,
                          const QColor& face);
  const QPixmap& StonePicture(int32_t colour);

  TShellServices FServices;
  TBoardModel FBoard;
  std::array<QLabel*, kPointCount> FImages{};
  std::array<TPointLabel*, kPointCount> FLabels{};
  QStandardItemModel* FThemeColumns = nullptr;
  QStandardItemModel* FSequenceColumns = nullptr;
  THelpWindow* FHelpWindow = nullptr;
  std::map<QString, QPixmap> FStonePictures;  // by file, scaled to the 28x28 point box
  bool FMemoColourIsDefault = true;
  bool FShownOnce = false;
};

}  // namespace korvane
