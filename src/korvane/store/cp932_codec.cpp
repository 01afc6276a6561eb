#include "korvane/store/cp932_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace korvane {

namespace {

constexpr const char* kTableCharset = "CP932";
constexpr const char* kInterfaceCharset = "UTF-8";

enum class TDirection { kDecode, kEncode };

// One iconv handle, closed with its owner.
class TIconvHandle {
 public:
  TIconvHandle(const char* toCode, const char* fromCode)
      : FHandle(iconv_open(toCode, fromCode)) {}
  ~TIconvHandle() {
    if (IsOpen()) iconv_close(FHandle);
  }
  TIconvHandle(const TIconvHandle&) = delete;
  TIconvHandle& operator=(const TIconvHandle&) = delete;

  bool IsOpen() const { return FHandle != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return FHandle; }

 private:
  iconv_t FHandle;
};

// The calling thread's converter for one direction. Opened on first use; a failed open is
// retried on the next call rather than remembered, so the error names the cause each time.
iconv_t ThreadConverter(TDirection direction) {
  thread_local std::optional<TIconvHandle> decoder;
  thread_local std::optional<TIconvHandle> encoder;
  std::optional<TIconvHandle>& slot = direction == TDirection::kDecode ? decoder : encoder;
  if (!slot || !slot->IsOpen()) {
    slot.reset();
    if (direction == TDirection::kDecode)
      slot.emplace(kInterfaceCharset, kTableCharset);
    else
      slot.emplace(kTableCharset, kInterfaceCharset);
    if (!slot->IsOpen()) {
      const int err = errno;
      slot.reset();
      throw ECodecError(TCodecFault::kUnavailable, 0,
                        std::string("no CP932 converter is available on this system (iconv_open: errno ") +
                            std::to_string(err) + ")");
    }
  }
  iconv_t handle = slot->Get();
  // Forget any state a previous, failed conversion may have left behind.
  iconv(handle, nullptr, nullptr, nullptr, nullptr);
  return handle;
}

std::string HexBytes(std::string_view input, std::size_t offset, std::size_t count) {
  std::string text;
  for (std::size_t i = offset; i < input.size() && i < offset + count; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%s%02X", text.empty() ? "" : " ",
                  static_cast<unsigned>(static_cast<unsigned char>(input[i])));
    text += buf;
  }
  return text;
}

// Strict UTF-8 decoding of the one character at `offset`: no overlong forms, no
// surrogates, nothing above U+10FFFF. Empty when the bytes there are not such a character.
std::optional<char32_t> DecodeUtf8At(std::string_view text, std::size_t offset) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(offset);
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) return lead;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - offset < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(offset + i);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return std::nullopt;
  return value;
}

[[noreturn]] void RaiseDecodeError(int err, std::string_view input, std::size_t offset) {
  if (err == EINVAL)
    throw ECodecError(TCodecFault::kTruncatedSequence, offset,
                      "CP932 text ends inside a character at byte offset " + std::to_string(offset) +
                          " (" + HexBytes(input, offset, 2) + ")");
  throw ECodecError(TCodecFault::kInvalidSequence, offset,
                    "invalid CP932 bytes at byte offset " + std::to_string(offset) + " (" +
                        HexBytes(input, offset, 2) + ")");
}

[[noreturn]] void RaiseEncodeError(int err, std::string_view input, std::size_t offset) {
  if (err == EINVAL)
    throw ECodecError(TCodecFault::kTruncatedSequence, offset,
                      "UTF-8 text ends inside a character at byte offset " + std::to_string(offset) +
                          " (" + HexBytes(input, offset, 4) + ")");
  if (const std::optional<char32_t> value = DecodeUtf8At(input, offset)) {
    char codePoint[16];
    std::snprintf(codePoint, sizeof codePoint, "U+%04X", static_cast<unsigned>(*value));
    throw ECodecError(TCodecFault::kUnmappable, offset,
                      std::string("character ") + codePoint + " at byte offset " + std::to_string(offset) +
                          " has no CP932 form");
  }
  throw ECodecError(TCodecFault::kInvalidSequence, offset,
                    "invalid UTF-8 at byte offset " + std::to_string(offset) + " (" +
                        HexBytes(input, offset, 4) + ")");
}

// Runs one whole conversion. `expansion` is the worst-case output bytes per input byte,
// used for the first output buffer; the buffer grows if that guess is ever short.
std::string Convert(TDirection direction, std::string_view input, std::size_t expansion) {
  if (input.empty()) return {};
  iconv_t handle = ThreadConverter(direction);

  std::string output(input.size() * expansion + 4, '\0');
  // glibc's iconv takes a non-const input pointer but never writes through it.
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  std::size_t produced = 0;
  // Until the input is consumed, convert; afterwards make the one flushing call that
  // iconv's contract asks for (it writes nothing for these stateless charsets).
  bool flushed = false;
  while (!flushed) {
    char* out = output.data() + produced;
    std::size_t outLeft = output.size() - produced;
    const bool flushing = inLeft == 0;
    const std::size_t result =
        flushing ? iconv(handle, nullptr, nullptr, &out, &outLeft) : iconv(handle, &in, &inLeft, &out, &outLeft);
    const int err = errno;
    produced = output.size() - outLeft;
    if (result != static_cast<std::size_t>(-1)) {
      flushed = flushing;
      continue;
    }
    if (err == E2BIG) {
      output.resize(output.size() * 2);
      continue;
    }
    const std::size_t offset = static_cast<std::size_t>(in - input.data());
    if (direction == TDirection::kDecode) RaiseDecodeError(err, input, offset);
    RaiseEncodeError(err, input, offset);
  }
  output.resize(produced);
  return output;
}

}  // namespace

ECodecError::ECodecError(TCodecFault fault, std::size_t offset, const std::string& message)
    : std::runtime_error(message), FFault(fault), FOffset(offset) {}

std::string Cp932ToUtf8(std::string_view bytes) {
  // One CP932 byte (a half-width katakana) becomes at most three UTF-8 bytes.
  return Convert(TDirection::kDecode, bytes, 3);
}

std::string Utf8ToCp932(std::string_view text) {
  // Every UTF-8 sequence encodes to no more bytes than it has.
  return Convert(TDirection::kEncode, text, 1);
}

}  // namespace korvane
