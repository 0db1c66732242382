// The toolkit's trace and the supplicant's polled states.
#include "supplicant/trace.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Halvex.h"
#include "frame/state.h"
#include "supplicant/bridge.h"

namespace hx {
namespace {

constexpr size_t kTraceLineSize = 200;
constexpr uint32_t kBytesPerLine = 16;
constexpr size_t kFieldSize = 66;
constexpr size_t kCharacterColumn = 50;

const char* TagFor(ULONG level) {
  switch (level) {
    case 1:
      return "[ERR]";
    case 2:
      return "[WRN]";
    case 3:
      return "[NRM]";
    case 4:
      return "[DTL]";
    default:
      return "[???]";
  }
}

}  // namespace

void ForEachHexDumpLine(const unsigned char* data, uint32_t length,
                        const std::function<void(const char*)>& send) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (uint32_t offset = 0, line = 0; offset < length && line < kHexDumpLines;
       offset += kBytesPerLine, ++line) {
    const uint32_t n = std::min(kBytesPerLine, length - offset);
    char field[kFieldSize + 1];
    std::memset(field, ' ', kFieldSize);
    field[kFieldSize] = '\0';
    for (uint32_t j = 0; j < n; ++j) {
      const unsigned char byte = data[offset + j];
      field[3 * j] = kDigits[byte >> 4];
      field[3 * j + 1] = kDigits[byte & 0x0F];
      field[kCharacterColumn + j] = byte >= 0x20 && byte <= 0x7F ? static_cast<char>(byte) : '.';
    }
    char text[kHexDumpLineSize];
    std::snprintf(text, sizeof text, "   %08X: %s\n", static_cast<unsigned>(offset), field);
    send(text);
  }
}

void ODSTK_CALL TraceCallback(ULONG level, ULONG /*value*/, const char* text, const void* data,
                              ULONG length) {
  const LibraryCodeScope inside;
  try {
    const char* tag = TagFor(level);
    if (text != nullptr) {
      // A text too long for the line is cut, never written past it.
      char line[kTraceLineSize];
      std::snprintf(line, sizeof line, "%s %s", tag, text);
      Notify(HALVEX_MSG_TRACE_TEXT, reinterpret_cast<LPARAM>(line));
    }
    const uint32_t shown = std::min<uint32_t>(length, kHexDumpLines * kBytesPerLine);
    if (shown == 0 || IsBadReadPtr(data, shown)) return;
    ForEachHexDumpLine(static_cast<const unsigned char*>(data), shown, [](const char* line) {
      Notify(HALVEX_MSG_TRACE_TEXT, reinterpret_cast<LPARAM>(line));
    });
  } catch (...) {
  }
}

}  // namespace hx

void HalvexWPATrace(ULONG level) {
  hx::ToolkitUse use;
  const hx::ToolkitEntries* tk = use.Toolkit();
  if (tk == nullptr) return;
  tk->ODSTK_SetTraceCallbackA(hx::TraceCallback);
  tk->ODSTK_SetTraceLevel(level);
}

int HalvexGetWPASuppStatus(ULONG which) {
  const hx::SupplicantBridge& b = hx::Bridge();
  switch (which) {
    case 0:
      return static_cast<int>(b.SupplicantState.load());
    case 1:
      return static_cast<int>(b.SupplicantLinkState.load());
    default:
      return static_cast<int>(b.SupplicantAuthState.load());
  }
}
