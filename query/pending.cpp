#include "query/pending.h"

#include <cstring>
#include <mutex>

#include "frame/channel.h"
#include "frame/state.h"
#include "platform/win32.h"

namespace hx {
namespace {

// Two pending queries at once would each take the first reply to arrive.
std::mutex g_pendingLock;

}  // namespace

PendingAnswer QueryWithPendingReply(void* adapter, uint32_t oid, void* payload, ULONG length) {
  std::lock_guard lock(g_pendingLock);
  LibraryState& s = State();
  // Both before the request, so an answer that arrives at once is not lost.
  for (auto& word : s.PendingReply) word.store(0, std::memory_order_relaxed);
  ResetEvent(s.PendingReplyEvent.get());

  PendingAnswer answer{QueryOid(adapter, oid, payload, length), false, 0};
  if (answer.result == kSuccess) {
    std::memcpy(&answer.value, payload, 4);
    answer.answered = true;
  } else if (answer.result == kPending) {
    if (WaitForSingleObject(s.PendingReplyEvent.get(), kPendingReplyTimeoutMs) != WAIT_TIMEOUT) {
      answer.value = s.PendingReply[1].load(std::memory_order_relaxed);
      answer.answered = true;
    }
  }
  return answer;
}

}  // namespace hx
