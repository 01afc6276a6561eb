#pragma once

// The open BLOB handles of one cursor (placeholder until the unit lands).

namespace kura {

class TCursorBlobs {};

}  // namespace kura
