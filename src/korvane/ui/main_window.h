#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QString>

#include <array>
#include <map>

#include "korvane/training/trainer_controller.h"
#include "korvane/training/trainer_view.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTableView;
class QTimer;

namespace korvane {

class TCuteButton;
class TDataModule1;
class TPointLabel;
class TStatusBar;
class TWindowServices;

// The main window: the board on the left (a painted grid with one stone picture and
// one text label per point), lists, commentary and command buttons on the right, the
// menu and the status bar. It is the trainer's view: it forwards every press on a point,
// button press and screen command to its TTrainerController and shows what that tells
// it; the help menu, "終了" and the clock go to the window services.
//
// Controls are reachable by their names (QObject::objectName): "Image"n and "Label"n for
// the point controls, "DBGrid1", "CuteButton15", "StatusBar1", "Timer1", "N2" and so on.
class TForm2 : public QMainWindow, public TTrainerView {
  Q_OBJECT
public:
  // The store and the services outlive the window.
  TForm2(TDataModule1& store, TWindowServices& services, QWidget* parent = nullptr);
  ~TForm2() override;

  // --- Trainer view -----------------------------------------------------------------
  // Shows the stone picture ProgDir + "stB.bmp" (colour 1) or "stW.bmp" (any other).
  // Raises EKorvaneError when the picture cannot be read; the caller stops there.
  void ShowStone(int32_t point, int32_t colour) override;
  void ClearPoint(int32_t point) override;
  void SetPointText(int32_t point, const std::string& text) override;
  std::string GetPointText(int32_t point) const override;
  void SetPointTextColour(int32_t point, TPointTextColour colour) override;
  void ReportMessage(const std::string& text) override;
  void PlaySound(TSound sound) override;
  void ShowTrainingLayout() override;
  void ShowEditingLayout() override;
  void SetButtonCaption(TButton button, const std::string& caption) override;
  void SetHeadingText(const std::string& text) override;
  void ResetCommentaryColour() override;

  // The tick of Timer1 (every second): the clock text in status panel 2.
  void UpdateClock();

  TTrainerController& Controller() { return FController; }
  TPointLabel* PointLabel(int32_t point) const { return FLabels[point - 1]; }
  QLabel* PointImage(int32_t point) const { return FImages[point - 1]; }
  TCuteButton* Button(TButton button) const { return FButtons[static_cast<int>(button)]; }
  // The memo's text colour is the toolkit default (the "no colour" value) after ClearPosition.
  bool MemoColourIsDefault() const { return FMemoColourIsDefault; }

protected:
  void showEvent(QShowEvent* event) override;

private:
  void CreateBoard(QWidget* client);
  void CreateSidePanel(QWidget* client);
  void CreateButtons(QWidget* client);
  void CreateMenu();
  // The mouse-down handler of every point label: the point comes from where the label sits.
  void Label1MouseDown(TPointLabel& label, Qt::MouseButton button);
  const QPixmap& StonePicture(int32_t colour);

  TWindowServices& FServices;
  TTrainerController FController;

  std::array<QLabel*, kPointCount> FImages{};
  std::array<TPointLabel*, kPointCount> FLabels{};
  std::array<TCuteButton*, kButtonCount> FButtons{};
  QTableView* DBGrid1 = nullptr;
  QTableView* DBGrid2 = nullptr;
  QPlainTextEdit* DBMemo1 = nullptr;
  QLineEdit* DBEdit1 = nullptr;
  QLabel* Label362 = nullptr;
  QLabel* Label363 = nullptr;
  TStatusBar* StatusBar1 = nullptr;

  std::map<QString, QPixmap> FStonePictures;  // by file, scaled to the 28x28 point box
  bool FMemoColourIsDefault = true;
  bool FShownOnce = false;
};

}  // namespace korvane
