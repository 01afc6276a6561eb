#pragma once

#include <QString>

#include <map>
#include <memory>

class QSoundEffect;

namespace korvane {

// Plays a WAV file asynchronously: Play returns at once. Nothing may wait for a sound to
// end (without an audio device it never reports that it has).
class TSoundPlayer {
public:
  virtual ~TSoundPlayer() = default;
  // Raises EKorvaneError when the file does not exist.
  virtual void Play(const QString& wavFile) = 0;
};

// One preloaded QSoundEffect per file, created on first use (or by Preload) and kept for
// the life of the player. Harmless on a machine without sound: play() still returns at once.
class TQtSoundPlayer : public TSoundPlayer {
public:
  TQtSoundPlayer();
  ~TQtSoundPlayer() override;
  // Loads the file ahead of its first Play, so the first click sounds without delay.
  void Preload(const QString& wavFile);
  void Play(const QString& wavFile) override;

private:
  QSoundEffect& EffectFor(const QString& wavFile);
  std::map<QString, std::unique_ptr<QSoundEffect>> FEffects;
};

}  // namespace korvane
