// gen_assets OUTDIR
//
// Writes the pictures and sounds that the trainer reads from its own directory:
//   stB.bmp, stW.bmp  shaded black and white stones, 56 x 56, 32-bit with real alpha
//   Oto1.wav          the ordinary click (60 ms)
//   Oto2.wav          the end-of-line chime (400 ms, two decaying tones)
//
// The output is a pure function of this source: no clock, no random seed, only integer
// powers and square roots in the arithmetic, so a rebuild produces the same bytes.
// Each file is written beside its final name and renamed into place, so a failed run never
// leaves a truncated picture or sound behind. Exit status 0 on success, 1 when a file
// cannot be written (the reason goes to stderr), 2 on a wrong command line.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------
// Little-endian writers. File layouts are built byte by byte, never by copying structs.

void PutU8(TBytes& out, std::uint8_t value) { out.push_back(value); }

void PutU16(TBytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(TBytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

void PutI32(TBytes& out, std::int32_t value) { PutU32(out, static_cast<std::uint32_t>(value)); }

void PutI16(TBytes& out, std::int16_t value) { PutU16(out, static_cast<std::uint16_t>(value)); }

void PutTag(TBytes& out, const char (&tag)[5]) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

void PutZeros(TBytes& out, std::size_t count) { out.insert(out.end(), count, 0); }

// ---------------------------------------------------------------------------------------
// Pictures.

struct TPixel {
  std::uint8_t R = 0, G = 0, B = 0, A = 0;  // straight (not premultiplied) alpha
};

struct TImage {
  int Width = 0;
  int Height = 0;
  std::vector<TPixel> Pixels;  // row-major, top row first
};

struct TColour {
  double R = 0, G = 0, B = 0;
};

constexpr int kStoneSize = 56;
constexpr int kSubSamples = 4;  // per axis, for the anti-aliased rim

enum class TStone { kBlack, kWhite };

double Clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

double IntPow(double base, int exponent) {
  double result = 1.0;
  for (int i = 0; i < exponent; ++i) result *= base;
  return result;
}

// Colour of the stone's surface at (x, y), measured from the centre in units of the
// radius (x*x + y*y <= 1). A sphere lit from the upper left: a diffuse term, a sharp
// specular highlight, and for the white stone a thin dark rim so that it stands out on
// the light board.
TColour ShadeStone(TStone stone, double x, double y) {
  const double z = std::sqrt(std::max(0.0, 1.0 - x * x - y * y));
  // Light direction (towards the light), normalised: up-left and in front.
  constexpr double kLx = -0.45, kLy = -0.55, kLz = 0.70;
  const double lLen = std::sqrt(kLx * kLx + kLy * kLy + kLz * kLz);
  const double lx = kLx / lLen, ly = kLy / lLen, lz = kLz / lLen;
  const double diffuse = Clamp01(x * lx + y * ly + z * lz);
  // Blinn half vector between the light and the viewer (0, 0, 1).
  const double hx = lx, hy = ly, hz = lz + 1.0;
  const double hLen = std::sqrt(hx * hx + hy * hy + hz * hz);
  const double facing = Clamp01((x * hx + y * hy + z * hz) / hLen);
  const double r = std::sqrt(x * x + y * y);

  TColour c;
  if (stone == TStone::kBlack) {
    const double base = 10.0 + 46.0 * diffuse;
    const double sharp = 215.0 * IntPow(facing, 48);
    const double broad = 45.0 * IntPow(facing, 8);
    c.R = base + sharp + broad;
    c.G = base + sharp + broad;
    c.B = base * 1.06 + sharp + broad;
  } else {
    const double base = 0.70 + 0.30 * diffuse;
    const double sharp = 30.0 * IntPow(facing, 32);
    c.R = 250.0 * base + sharp;
    c.G = 248.0 * base + sharp;
    c.B = 240.0 * base + sharp;
    // Thin grey outline: blends in over the outer 6 % of the radius.
    constexpr double kRimStart = 0.94;
    if (r > kRimStart) {
      const double t = Clamp01((r - kRimStart) / (1.0 - kRimStart));
      const double rim = 95.0;
      c.R = c.R * (1.0 - t) + rim * t;
      c.G = c.G * (1.0 - t) + rim * t;
      c.B = c.B * (1.0 - t) + rim * t;
    }
  }
  c.R = std::clamp(c.R, 0.0, 255.0);
  c.G = std::clamp(c.G, 0.0, 255.0);
  c.B = std::clamp(c.B, 0.0, 255.0);
  return c;
}

std::uint8_t ToByte(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// A disc filling the square except for a half-pixel margin; each pixel averages the
// colour of the subsamples inside the disc and takes their share as its alpha.
TImage RenderStone(TStone stone) {
  TImage image;
  image.Width = kStoneSize;
  image.Height = kStoneSize;
  image.Pixels.resize(static_cast<std::size_t>(kStoneSize) * kStoneSize);
  const double centre = kStoneSize / 2.0;
  const double radius = kStoneSize / 2.0 - 0.5;
  for (int py = 0; py < kStoneSize; ++py) {
    for (int px = 0; px < kStoneSize; ++px) {
      TColour sum;
      int inside = 0;
      for (int sy = 0; sy < kSubSamples; ++sy) {
        for (int sx = 0; sx < kSubSamples; ++sx) {
          const double x = (px + (sx + 0.5) / kSubSamples - centre) / radius;
          const double y = (py + (sy + 0.5) / kSubSamples - centre) / radius;
          if (x * x + y * y > 1.0) continue;
          const TColour c = ShadeStone(stone, x, y);
          sum.R += c.R;
          sum.G += c.G;
          sum.B += c.B;
          ++inside;
        }
      }
      TPixel& pixel = image.Pixels[static_cast<std::size_t>(py) * kStoneSize + px];
      if (inside == 0) continue;  // fully transparent, colour zero
      pixel.R = ToByte(sum.R / inside);
      pixel.G = ToByte(sum.G / inside);
      pixel.B = ToByte(sum.B / inside);
      pixel.A = ToByte(255.0 * inside / (kSubSamples * kSubSamples));
    }
  }
  return image;
}

// 32-bit BMP with a BITMAPV5HEADER and BI_BITFIELDS masks, so that readers honour the alpha
// byte (a 40-byte header makes most of them ignore it).
//
//   offset size  file header (14 bytes)
//        0    2  "BM"
//        2    4  file size
//        6    4  reserved, 0
//       10    4  offset of the pixel array (14 + 124)
//   offset size  BITMAPV5HEADER (124 bytes)
//       14    4  header size 124
//       18    4  width
//       22    4  height, positive: rows stored bottom-up
//       26    2  planes 1
//       28    2  bits per pixel 32
//       30    4  compression 3 (BI_BITFIELDS)
//       34    4  pixel array size
//       38    8  resolution 2835 x 2835 pixels per metre (72 dpi)
//       46    8  palette colours used / important: 0
//       54   16  masks R 00FF0000, G 0000FF00, B 000000FF, A FF000000
//       70    4  colour space 'sRGB'
//       74   36  end points (unused for sRGB), 0
//      110   12  gamma (unused for sRGB), 0
//      122    4  intent 4 (LCS_GM_IMAGES)
//      126   12  profile offset, profile size, reserved: 0
//      138       pixels: per pixel B, G, R, A; each row 4 * width bytes, bottom row first
TBytes EncodeBmp(const TImage& image) {
  constexpr std::uint32_t kFileHeaderSize = 14;
  constexpr std::uint32_t kInfoHeaderSize = 124;
  const std::uint32_t pixelBytes = static_cast<std::uint32_t>(image.Width) * image.Height * 4;
  TBytes out;
  out.reserve(kFileHeaderSize + kInfoHeaderSize + pixelBytes);
  PutU8(out, 'B');
  PutU8(out, 'M');
  PutU32(out, kFileHeaderSize + kInfoHeaderSize + pixelBytes);
  PutU32(out, 0);
  PutU32(out, kFileHeaderSize + kInfoHeaderSize);

  PutU32(out, kInfoHeaderSize);
  PutI32(out, image.Width);
  PutI32(out, image.Height);
  PutU16(out, 1);
  PutU16(out, 32);
  PutU32(out, 3);
  PutU32(out, pixelBytes);
  PutI32(out, 2835);
  PutI32(out, 2835);
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, 0x00FF0000);
  PutU32(out, 0x0000FF00);
  PutU32(out, 0x000000FF);
  PutU32(out, 0xFF000000);
  PutU32(out, 0x73524742);  // LCS_sRGB, the characters 'sRGB' as a 32-bit value
  PutZeros(out, 36);
  PutZeros(out, 12);
  PutU32(out, 4);
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, 0);

  for (int row = image.Height - 1; row >= 0; --row) {
    for (int col = 0; col < image.Width; ++col) {
      const TPixel& p = image.Pixels[static_cast<std::size_t>(row) * image.Width + col];
      PutU8(out, p.B);
      PutU8(out, p.G);
      PutU8(out, p.R);
      PutU8(out, p.A);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Sounds.

constexpr std::uint32_t kSampleRate = 22050;
constexpr double kPi = 3.14159265358979323846;

int SampleCount(double milliseconds) { return static_cast<int>(kSampleRate * milliseconds / 1000.0); }

std::int16_t ToSample(double v) {
  return static_cast<std::int16_t>(std::clamp(std::lround(v * 32767.0), -32767L, 32767L));
}

// Short fade at both ends so that the sound starts and stops without a crack.
double Envelope(int i, int count, int fadeIn, int fadeOut) {
  double gain = 1.0;
  if (i < fadeIn) gain *= static_cast<double>(i) / fadeIn;
  if (i >= count - fadeOut) gain *= static_cast<double>(count - 1 - i) / fadeOut;
  return gain;
}

// The ordinary sound: a stone set down on wood. A burst of filtered noise (a fixed linear
// congruential sequence) over two quickly damped body tones.
std::vector<std::int16_t> SynthesizeClick() {
  const int count = SampleCount(60);
  std::vector<std::int16_t> samples(count);
  std::uint32_t seed = 0x4B6F7276;  // fixed: the output must not change between runs
  double noiseLow = 0.0;
  for (int i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    seed = seed * 1664525u + 1013904223u;
    const double white = static_cast<double>(seed >> 8) / static_cast<double>(1u << 24) * 2.0 - 1.0;
    noiseLow += 0.35 * (white - noiseLow);  // one-pole low-pass: a duller, woody noise
    const double noise = noiseLow * std::exp(-t / 0.004);
    const double body = 0.55 * std::sin(2.0 * kPi * 1250.0 * t) * std::exp(-t / 0.010) +
                        0.35 * std::sin(2.0 * kPi * 420.0 * t) * std::exp(-t / 0.016);
    samples[i] = ToSample(0.8 * (0.9 * noise + body) * Envelope(i, count, 8, 220));
  }
  return samples;
}

// The end-of-line sound: two bell-like tones a fifth apart, the second entering 120 ms
// after the first, each with a soft overtone and an exponential decay.
std::vector<std::int16_t> SynthesizeChime() {
  const int count = SampleCount(400);
  std::vector<std::int16_t> samples(count);
  struct TTone {
    double Start;      // seconds
    double Frequency;  // Hz
    double Decay;      // seconds, time constant
  };
  constexpr TTone kTones[] = {{0.000, 880.0, 0.110}, {0.120, 1318.5, 0.090}};
  for (int i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    double v = 0.0;
    for (const TTone& tone : kTones) {
      const double local = t - tone.Start;
      if (local < 0.0) continue;
      const double attack = std::min(1.0, local / 0.004);
      const double decay = std::exp(-local / tone.Decay);
      v += attack * decay *
           (std::sin(2.0 * kPi * tone.Frequency * local) + 0.25 * std::sin(2.0 * kPi * 2.0 * tone.Frequency * local));
    }
    samples[i] = ToSample(0.42 * v * Envelope(i, count, 1, 440));
  }
  return samples;
}

// RIFF/WAVE, PCM 16-bit mono.
//   offset size
//        0    4  "RIFF"
//        4    4  36 + data size
//        8    4  "WAVE"
//       12    4  "fmt "
//       16    4  16
//       20    2  format 1 (PCM)
//       22    2  channels 1
//       24    4  sample rate
//       28    4  byte rate (rate * 2)
//       32    2  block align 2
//       34    2  bits per sample 16
//       36    4  "data"
//       40    4  data size
//       44       samples, little-endian signed 16-bit
TBytes EncodeWav(const std::vector<std::int16_t>& samples) {
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  TBytes out;
  out.reserve(44 + dataBytes);
  PutTag(out, "RIFF");
  PutU32(out, 36 + dataBytes);
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  PutU32(out, 16);
  PutU16(out, 1);
  PutU16(out, 1);
  PutU32(out, kSampleRate);
  PutU32(out, kSampleRate * 2);
  PutU16(out, 2);
  PutU16(out, 16);
  PutTag(out, "data");
  PutU32(out, dataBytes);
  for (std::int16_t s : samples) PutI16(out, s);
  return out;
}

// ---------------------------------------------------------------------------------------
// Output.

// Writes `bytes` to `path` through a temporary file beside it. On failure prints the reason
// and returns false; the temporary file is removed and an older `path` stays untouched.
bool WriteFileAtomically(const std::filesystem::path& path, const TBytes& bytes) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) {
      std::cerr << "gen_assets: cannot create " << temporary.string() << ": " << std::strerror(errno) << '\n';
      return false;
    }
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
      std::cerr << "gen_assets: cannot write " << temporary.string() << ": " << std::strerror(errno) << '\n';
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::cerr << "gen_assets: cannot replace " << path.string() << ": " << error.message() << '\n';
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::cerr << "usage: gen_assets OUTDIR\n"
                 "writes stB.bmp, stW.bmp, Oto1.wav and Oto2.wav into OUTDIR\n";
    return 2;
  }
  const std::filesystem::path outDir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(outDir, error);
  if (error) {
    std::cerr << "gen_assets: cannot create directory " << outDir.string() << ": " << error.message() << '\n';
    return 1;
  }

  struct TOutput {
    const char* Name;
    TBytes Bytes;
  };
  const TOutput outputs[] = {
      {"stB.bmp", EncodeBmp(RenderStone(TStone::kBlack))},
      {"stW.bmp", EncodeBmp(RenderStone(TStone::kWhite))},
      {"Oto1.wav", EncodeWav(SynthesizeClick())},
      {"Oto2.wav", EncodeWav(SynthesizeChime())},
  };
  bool ok = true;
  for (const TOutput& output : outputs) ok = WriteFileAtomically(outDir / output.Name, output.Bytes) && ok;
  return ok ? 0 : 1;
}
