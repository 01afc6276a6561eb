#pragma once

#include <QApplication>

#include <memory>

namespace korvane {

class TDialogs;

// The trainer's application object, prepared by PrepareApplication. An error that no
// handler caught while an event was being handled is shown in the default error box
// with its message, and the program goes on with the next event.
class TKorvaneApplication : public QApplication {
  Q_OBJECT
public:
  TKorvaneApplication(int& argc, char** argv);
  ~TKorvaneApplication() override;

  bool notify(QObject* receiver, QEvent* event) override;
  // Where the default error box goes (the toolkit's message box unless replaced).
  void SetErrorDialogs(TDialogs* dialogs) { FErrorDialogs = dialogs; }

private:
  std::unique_ptr<TDialogs> FDefaultDialogs;
  TDialogs* FErrorDialogs;
};

}  // namespace korvane
