#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

#include <stdexcept>

#include "korvane/shell/app_error.h"
#include "korvane/shell/clock.h"
#include "korvane/shell/korvane_application.h"
#include "korvane/shell/sound_player.h"
#include "korvane/ui/main_window.h"
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

private slots:
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
    TFixedClock clock;
    TRecordingSound sound;
    TScriptedDialogs dialogs;
    {
      TForm2 form({clock, sound, dialogs});
      form.show();
      QVERIFY(QTest::qWaitForWindowExposed(&form));
      QCOMPARE(form.ProgDir, QCoreApplication::applicationDirPath() + "/");
      form.ShowStone(1, kBlack);
      form.ShowStone(2, kWhite);
      QVERIFY(!form.PointImage(1)->pixmap().isNull());
      QVERIFY(!form.PointImage(2)->pixmap().isNull());
      // The black and white pictures differ.
      QVERIFY(form.PointImage(1)->pixmap().toImage() != form.PointImage(2)->pixmap().toImage());
      form.ShowHelp();
      QVERIFY(dialogs.Errors.isEmpty());
    }
    QVERIFY(QDir::setCurrent(before));
  }
};

int main(int argc, char** argv) {
  TKorvaneApplication app(argc, argv);
  ShellTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "shell_test.moc"
