#pragma once

#include <QString>

class QWidget;

namespace korvane {

// The modal boxes the trainer shows. The window talks to this interface so that tests
// can answer questions without a modal loop.
class TDialogs {
public:
  virtual ~TDialogs() = default;
  // A Yes/No question; true for Yes.
  virtual bool Confirm(const QString& text) = 0;
  // An information box with an OK button.
  virtual void Information(const QString& text) = 0;
  // The default error box for an error nobody handled.
  virtual void Error(const QString& text) = 0;
};

// The toolkit's message boxes, titled "Korvane", owned by parent.
class TMessageBoxDialogs : public TDialogs {
public:
  explicit TMessageBoxDialogs(QWidget* parent = nullptr) : FParent(parent) {}
  void SetParent(QWidget* parent) { FParent = parent; }
  bool Confirm(const QString& text) override;
  void Information(const QString& text) override;
  void Error(const QString& text) override;

private:
  QWidget* FParent;
};

}  // namespace korvane
