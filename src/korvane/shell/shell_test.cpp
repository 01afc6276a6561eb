#include <QAction>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <stdexcept>

#include "korvane/app_error.h"
#include "korvane/shell/clock.h"
#include "korvane/shell/help_window.h"
#include "korvane/shell/korvane_application.h"
#include "korvane/shell/shell_services.h"
#include "korvane/shell/sound_player.h"
#include "korvane/store/data_module.h"
#include "korvane/ui/main_window.h"
#include "korvane/ui/status_bar.h"
#include "testing/korvane_fakes.h"

using namespace korvane;
using testing_support::TFixedClock;
using testing_support::TRecordingSound;
using testing_support::TScriptedDialogs;

namespace {

// An object whose event handler fails, as a handler with an unhandled error would.
class TFailingObject : public QObject {
public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw EKorvaneError("画像ファイルを読み込めません: x.bmp");
    return QObject::event(event);
  }
};

}  // namespace

class ShellTest : public QObject {
  Q_OBJECT

  TFixedClock FClock;
  TRecordingSound FSound;
  TScriptedDialogs FDialogs;
  TDataModule1 FStore;
  std::unique_ptr<TShellServices> FShell;
  std::unique_ptr<TForm2> FForm;

  // The program's own arrangement: the shell's services for a window attached to them,
  // with the program directory given (the real one unless a test says otherwise).
  void ShowWindow(const QString& progDir = TShellServices::ProgramDirectory()) {
    FForm.reset();
    FShell = std::make_unique<TShellServices>(FClock, FSound, FDialogs, progDir);
    FForm = std::make_unique<TForm2>(FStore, *FShell);
    FShell->AttachWindow(FForm.get());
    FForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(FForm.get()));
  }
  QAction* Menu(const char* name) { return FForm->findChild<QAction*>(QString::fromLatin1(name)); }
  QString ClockPanel() { return FForm->findChild<TStatusBar*>(QStringLiteral("StatusBar1"))->PanelText(2); }

private slots:
  void init() {
    FDialogs = TScriptedDialogs();
    FSound.Played.clear();
    FClock.Time = TFixedClock().Time;
  }
  void cleanup() {
    FForm.reset();
    FShell.reset();
  }

  void ClockText_data() {
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("text");
    QTest::newRow("afternoon") << QDateTime(QDate(2024, 3, 7), QTime(14, 5)) << "03/07  02:05 PM";
    QTest::newRow("midnight") << QDateTime(QDate(2024, 1, 1), QTime(0, 0)) << "01/01  12:00 AM";
    QTest::newRow("noon") << QDateTime(QDate(2024, 12, 25), QTime(12, 0)) << "12/25  12:00 PM";
    QTest::newRow("morning") << QDateTime(QDate(2024, 10, 10), QTime(9, 59, 59)) << "10/10  09:59 AM";
    QTest::newRow("last minute") << QDateTime(QDate(2024, 2, 29), QTime(23, 59)) << "02/29  11:59 PM";
  }
  void ClockText() {
    QFETCH(QDateTime, time);
    QFETCH(QString, text);
    QCOMPARE(FormatClockText(time), text);
  }

  void UncaughtErrorGoesToTheErrorBoxAndTheProgramGoesOn() {
    auto* app = qobject_cast<TKorvaneApplication*>(QCoreApplication::instance());
    QVERIFY(app);
    TScriptedDialogs dialogs;
    app->SetErrorDialogs(&dialogs);
    TFailingObject failing;
    QEvent event(QEvent::User);
    QVERIFY(QCoreApplication::sendEvent(&failing, &event));
    QCOMPARE(dialogs.Errors, QStringList{QStringLiteral("画像ファイルを読み込めません: x.bmp")});
    // Later events are handled as usual.
    QEvent other(QEvent::User);
    QCoreApplication::sendEvent(&failing, &other);
    QCOMPARE(dialogs.Errors.size(), 2);
  }

  void MissingSoundFileIsAnError() {
    QTemporaryDir dir;
    TQtSoundPlayer player;
    QVERIFY_THROWS_EXCEPTION(EKorvaneError, player.Play(dir.filePath("Oto1.wav")));
    QVERIFY_THROWS_EXCEPTION(EKorvaneError, player.Play(dir.path()));  // a directory is no sound
  }

  void PlayingReturnsAtOnceWithoutAnAudioDevice() {
    const QString wav = QCoreApplication::applicationDirPath() + "/Oto1.wav";
    QVERIFY(QFile::exists(wav));
    TQtSoundPlayer player;
    player.Preload(wav);
    player.Play(wav);
    player.Play(wav);  // a second click while the first may still be sounding
  }

  // Started from another working directory, the program still finds the files beside
  // it (and would look for its problem database in the working directory).
  void FilesFoundFromAnotherWorkingDirectory() {
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    ShowWindow();
    QCOMPARE(FShell->ProgDir(), QCoreApplication::applicationDirPath() + "/");
    FForm->ShowStone(1, kBlack);
    FForm->ShowStone(2, kWhite);
    QVERIFY(!FForm->PointImage(1)->pixmap().isNull());
    QVERIFY(!FForm->PointImage(2)->pixmap().isNull());
    // The black and white pictures differ.
    QVERIFY(FForm->PointImage(1)->pixmap().toImage() != FForm->PointImage(2)->pixmap().toImage());
    FShell->ShowHelp();
    QVERIFY(FDialogs.Errors.isEmpty());
    QVERIFY(FShell->HelpWindow()->isVisible());
    QVERIFY(QDir::setCurrent(before));
  }

  void ExitAnsweredNoChangesNothing() {
    ShowWindow();
    FForm->Controller().PointPressed(50, TPointerButton::Left);
    FDialogs.Answer = false;
    Menu("Apriend")->trigger();
    QCOMPARE(FDialogs.Questions, QStringList{QStringLiteral("「Korvane」を終了していいですか？")});
    QVERIFY(FForm->isVisible());
    QCOMPARE(FForm->Controller().Board().PointColour(50), kBlack);
    QCOMPARE(FForm->Controller().State().Screen, 1);
    FDialogs.Answer = true;
    Menu("Apriend")->trigger();
    QCOMPARE(FDialogs.Questions.size(), 2);
    QVERIFY(!FForm->isVisible());
  }

  void VersionHelpAndSounds() {
    ShowWindow();
    Menu("Vinfo")->trigger();
    QCOMPARE(FDialogs.Informations.size(), 1);
    QVERIFY(FDialogs.Informations[0].startsWith(QStringLiteral("Korvane\r\nVersion 3.3")));

    Menu("Allhelp")->trigger();
    QVERIFY(FDialogs.Errors.isEmpty());
    QVERIFY(FShell->HelpWindow()->isVisible());
    QCOMPARE(FShell->HelpWindow()->parentWidget(), FForm.get());  // one help window per main window
    QVERIFY(FShell->HelpWindow()->Text().contains(QStringLiteral("道場画面")));
    QCOMPARE(FShell->HelpFile(), FShell->ProgDir() + "Korvane.hlp");

    FForm->PlaySound(TSound::Click);
    FForm->PlaySound(TSound::LineEnd);
    QCOMPARE(FSound.Played, (QStringList{FShell->ProgDir() + "Oto1.wav", FShell->ProgDir() + "Oto2.wav"}));
  }

  void MissingHelpFileGoesToTheErrorBox() {
    QTemporaryDir empty;
    ShowWindow(empty.path() + "/");
    Menu("Allhelp")->trigger();
    QCOMPARE(FDialogs.Errors, QStringList{QStringLiteral("ヘルプファイルを開けません: %1/Korvane.hlp").arg(empty.path())});
    QVERIFY(!FShell->HelpWindow()->isVisible());
  }

  // The clock is shown when the window first appears and at every tick.
  void ClockOfTheWindow() {
    ShowWindow();
    QCOMPARE(ClockPanel(), QStringLiteral("03/07  02:05 PM"));
    FClock.Time = QDateTime(QDate(2025, 12, 31), QTime(0, 9));
    FForm->UpdateClock();
    QCOMPARE(ClockPanel(), QStringLiteral("12/31  12:09 AM"));
  }
};

int main(int argc, char** argv) {
  TKorvaneApplication app(argc, argv);
  ShellTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "shell_test.moc"
