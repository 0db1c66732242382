#include "query/pending.h"

#include <cstring>

#include "frame/channel.h"
#include "frame/state.h"
#include "frame/wait.h"
#include "platform/win32.h"

namespace hx {

PendingAnswer QueryWithPendingReply(void* adapter, uint32_t oid, void* payload, ULONG length) {
  const Deadline deadline(kPendingReplyTimeoutMs);
  LibraryState& s = State();
  // Two pending queries at once would each take the first reply to arrive.
  WaitTurn turn(s.PendingTurnEvent.get(), deadline);
  if (!turn.held()) return PendingAnswer{kPending, false, 0};
  // Both before the request, so an answer that arrives at once is not lost.
  for (auto& word : s.PendingReply) word.store(0, std::memory_order_relaxed);
  ResetEvent(s.PendingReplyEvent.get());

  PendingAnswer answer{QueryOid(adapter, oid, payload, length), false, 0};
  if (answer.result == kSuccess) {
    std::memcpy(&answer.value, payload, 4);
    answer.answered = true;
  } else if (answer.result == kPending) {
    // Only the reply's event is an answer: a failed wait delivered nothing.
    if (WaitUntil(s.PendingReplyEvent.get(), deadline) == WAIT_OBJECT_0) {
      answer.value = s.PendingReply[1].load(std::memory_order_relaxed);
      answer.answered = true;
    }
  }
  return answer;
}

}  // namespace hx
