#include "korvane/shell/korvane_application.h"

#include <exception>

#include "korvane/shell/dialogs.h"
#include "korvane/ui/window_look.h"

namespace korvane {

TKorvaneApplication::TKorvaneApplication(int& argc, char** argv)
    : QApplication(argc, argv), FDefaultDialogs(std::make_unique<TMessageBoxDialogs>()),
      FErrorDialogs(FDefaultDialogs.get()) {
  PrepareApplication(*this);
}

TKorvaneApplication::~TKorvaneApplication() = default;

bool TKorvaneApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    FErrorDialogs->Error(QString::fromUtf8(error.what()));
  }
  return true;  // the event was handled, unsuccessfully
}

}  // namespace korvane
