// Conversion between the interface's text (Unicode, held as UTF-8 in std::string) and the
// bytes that the problem tables store (Shift-JIS as Windows code page 932 defines it).
//
// The table files keep their text in code page 932; the trainer converts only where text
// crosses into or out of the user interface. Both directions go through glibc's "CP932"
// converter, which knows the Microsoft variant: the NEC and IBM extensions, the
// user-defined area F040-F9FC (mapped to the private-use area U+E000-U+E757), and the
// Windows mappings of 815F, 8160, 817C, 818F and friends.
//
// Error policy: a conversion either succeeds completely or raises ECodecError. Nothing is
// ever replaced by a substitute character or skipped, because a silently altered title or
// commentary would be written back to the tables on the next post.
//
// A few Unicode characters have a CP932 form without being its canonical decoding (for
// example U+301C WAVE DASH, U+2212 MINUS SIGN and U+00A5 YEN SIGN encode to 8160, 817C
// and 5C, which decode to U+FF5E, U+FF0D and U+005C). Encoding accepts them, as Windows
// does; such text does not come back byte-identical in Unicode, only in CP932.
//
// Thread safety: both functions may be called from any number of threads at once. Each
// thread keeps its own pair of converter handles, opened on first use and reset before
// every conversion, so no state is shared between threads or between calls.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane {

// Why a conversion failed.
enum class TCodecFault {
  kInvalidSequence,    // bytes that are not CP932, or text that is not valid UTF-8
  kTruncatedSequence,  // the input ends inside a multi-byte character
  kUnmappable,         // a valid Unicode character that has no CP932 form
  kUnavailable,        // the system has no CP932 converter
};

// Raised by Cp932ToUtf8 and Utf8ToCp932. Offset() is the byte offset in the input at which
// the offending character starts; the message names the offset and the offending bytes
// (and, for kUnmappable, the code point as U+XXXX).
class ECodecError : public std::runtime_error {
 public:
  ECodecError(TCodecFault fault, std::size_t offset, const std::string& message);

  TCodecFault Fault() const noexcept { return FFault; }
  std::size_t Offset() const noexcept { return FOffset; }

 private:
  TCodecFault FFault;
  std::size_t FOffset;
};

// Decodes CP932 bytes into UTF-8. Embedded zero bytes are kept. An empty input gives an
// empty result. Raises ECodecError (kInvalidSequence, kTruncatedSequence, kUnavailable).
std::string Cp932ToUtf8(std::string_view bytes);

// Encodes UTF-8 text into CP932 bytes. Embedded zero bytes are kept. An empty input gives
// an empty result. Raises ECodecError (kInvalidSequence for malformed UTF-8, including
// overlong forms and surrogates; kTruncatedSequence; kUnmappable; kUnavailable).
std::string Utf8ToCp932(std::string_view text);

}  // namespace korvane
