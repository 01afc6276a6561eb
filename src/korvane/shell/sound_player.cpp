#include "korvane/shell/sound_player.h"

#include <QFileInfo>
#include <QSoundEffect>
#include <QUrl>

#include "korvane/app_error.h"
#include "korvane/texts.h"

namespace korvane {

TQtSoundPlayer::TQtSoundPlayer() = default;
TQtSoundPlayer::~TQtSoundPlayer() = default;

QSoundEffect& TQtSoundPlayer::EffectFor(const QString& wavFile) {
  auto it = FEffects.find(wavFile);
  if (it == FEffects.end()) {
    auto effect = std::make_unique<QSoundEffect>();
    effect->setSource(QUrl::fromLocalFile(wavFile));
    it = FEffects.emplace(wavFile, std::move(effect)).first;
  }
  return *it->second;
}

void TQtSoundPlayer::Preload(const QString& wavFile) {
  if (QFileInfo::exists(wavFile)) EffectFor(wavFile);
}

void TQtSoundPlayer::Play(const QString& wavFile) {
  if (!QFileInfo(wavFile).isFile()) {
    throw EKorvaneError(QString::fromUtf8(texts::kSoundMissing).arg(wavFile).toStdString());
  }
  QSoundEffect& effect = EffectFor(wavFile);
  effect.stop();  // a new click restarts the sound instead of being dropped
  effect.play();
}

}  // namespace korvane
