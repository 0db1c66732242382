// The link's thread: ODSTK_LINK_Thread runs on the thread the library gives
// it and delivers every queued event (and posted trace line) there, until the
// link is terminated or freed.
#include <chrono>
#include <cstring>
#include <utility>

#include "toolkit/internal.h"

using namespace odstk_sim;

void odstk_sim::ArmTimerLocked(Link& link, std::chrono::milliseconds delay, std::function<void()> run) {
  link.deadline = std::chrono::steady_clock::now() + delay;
  link.onDeadline = std::move(run);
  link.wake.notify_all();
}

void odstk_sim::DisarmTimerLocked(Link& link) {
  link.deadline.reset();
  link.onDeadline = nullptr;
}

std::shared_ptr<Delivery> odstk_sim::QueueLocked(Link& link, std::function<void()> run) {
  auto delivery = std::make_shared<Delivery>();
  delivery->run = std::move(run);
  link.queue.push_back(delivery);
  link.wake.notify_all();
  return delivery;
}

namespace {

std::function<void()> EventDelivery(const std::shared_ptr<Link>& link, void* event) {
  return [link, event] {
    ODSTK_LINK_CALLBACK callback;
    ULONG value;
    {
      Lock lock(Toolkit().mu);
      callback = link->callback;
      value = link->callbackValue;
    }
    if (callback) callback(value, event);
  };
}

// Waits for a delivery made in the caller's memory. A delivery already running
// is waited for to the end whatever the bound: it uses that memory.
int AwaitLocked(Lock& lock, Link& link, const std::shared_ptr<Delivery>& delivery, ULONG timeoutMs) {
  State& s = Toolkit();
  auto finished = [&] {
    return delivery->state == Delivery::State::kDone || delivery->state == Delivery::State::kDropped;
  };
  if (!s.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished)) {
    if (delivery->state == Delivery::State::kQueued) {
      std::erase(link.queue, delivery);
      delivery->state = Delivery::State::kDropped;
      return ODSIM_TIMED_OUT;
    }
    s.changed.wait(lock, finished);
  }
  return delivery->state == Delivery::State::kDone ? ODSIM_DELIVERED : ODSIM_NOT_A_LINK;
}

// The live, not terminated link for a delivery, or an ODSIM_* refusal.
int DeliverableLocked(ODSTK_HANDLE handle, std::shared_ptr<Link>* link) {
  std::shared_ptr<Object> object = FindLocked(handle);
  if (!object || object->kind != Kind::kLink) return ODSIM_NOT_A_LINK;
  *link = std::static_pointer_cast<Link>(object);
  if ((*link)->terminated) return ODSIM_NOT_A_LINK;
  return ODSIM_DELIVERED;
}

}  // namespace

extern "C" {

ODSTK_API int ODSTK_CALL ODSTK_LINK_Thread(ODSTK_HANDLE handle) {
  return Guard(1, [&] {
    State& s = Toolkit();
    Lock lock(s.mu);
    RecordLocked("ODSTK_LINK_Thread(" + HandleText(handle) + ")");
    std::shared_ptr<Link> link = FindLocked<Link>(handle, Kind::kLink);
    if (!link || link->threadRunning || link->terminated) return 1;
    link->threadRunning = true;
    ++s.runningThreads;
    CurrentLinkThread() = link.get();
    auto due = [&] { return link->deadline && std::chrono::steady_clock::now() >= *link->deadline; };
    auto ready = [&] { return link->terminated || !link->queue.empty() || due(); };
    while (true) {
      if (link->deadline)
        link->wake.wait_until(lock, *link->deadline, ready);
      else
        link->wake.wait(lock, ready);
      if (link->terminated) break;
      std::shared_ptr<Delivery> delivery;
      if (!link->queue.empty()) {
        delivery = std::move(link->queue.front());
        link->queue.pop_front();
      } else if (due()) {
        // The timer's work runs like a queued step of its session.
        delivery = std::make_shared<Delivery>();
        delivery->run = std::move(link->onDeadline);
        delivery->step = true;
        DisarmTimerLocked(*link);
      } else {
        continue;
      }
      delivery->state = Delivery::State::kRunning;
      link->delivering = true;
      lock.unlock();
      try {
        delivery->run();
      } catch (...) {
      }
      lock.lock();
      delivery->state = Delivery::State::kDone;
      link->delivering = false;
      s.changed.notify_all();
    }
    CurrentLinkThread() = nullptr;
    link->threadRunning = false;
    --s.runningThreads;
    s.changed.notify_all();
    return 0;
  });
}

ODSTK_API int ODSTK_CALL ODSTK_LINK_Terminate(ODSTK_HANDLE handle) {
  return Guard(1, [&] {
    Lock lock(Toolkit().mu);
    std::string args = HandleText(handle);
    std::shared_ptr<Link> link = FindLocked<Link>(handle, Kind::kLink);
    RecordLocked("ODSTK_LINK_Terminate(" + args + ")");
    if (!link) return 1;
    int result = ScriptedLocked("ODSTK_LINK_Terminate", 0);
    TerminateLinkLocked(*link);
    return result;
  });
}

ODSIM_API int ODSIM_PostEvent(ODSTK_HANDLE handle, void* event, ULONG timeoutMs) {
  return Guard(ODSIM_NOT_A_LINK, [&] {
    Lock lock(Toolkit().mu);
    std::shared_ptr<Link> link;
    if (int refused = DeliverableLocked(handle, &link)) return refused;
    if (CurrentLinkThread() == link.get()) return ODSIM_ON_LINK_THREAD;
    auto delivery = QueueLocked(*link, EventDelivery(link, event));
    return AwaitLocked(lock, *link, delivery, timeoutMs);
  });
}

ODSIM_API int ODSIM_QueueEvent(ODSTK_HANDLE handle, const void* event, ULONG length) {
  return Guard(ODSIM_NOT_A_LINK, [&] {
    Lock lock(Toolkit().mu);
    std::shared_ptr<Link> link;
    if (int refused = DeliverableLocked(handle, &link)) return refused;
    size_t words = (length + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    auto copy = std::make_unique<std::max_align_t[]>(words == 0 ? 1 : words);
    if (length != 0) std::memcpy(copy.get(), event, length);
    void* bytes = copy.get();
    auto delivery = QueueLocked(*link, EventDelivery(link, bytes));
    delivery->copy = std::move(copy);
    return ODSIM_DELIVERED;
  });
}

ODSIM_API int ODSIM_WaitIdle(ODSTK_HANDLE handle, ULONG timeoutMs) {
  return Guard(ODSIM_NOT_A_LINK, [&] {
    Lock lock(Toolkit().mu);
    std::shared_ptr<Link> link;
    if (int refused = DeliverableLocked(handle, &link)) return refused;
    if (CurrentLinkThread() == link.get()) return ODSIM_ON_LINK_THREAD;
    bool idle = Toolkit().changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return link->terminated || (link->queue.empty() && !link->delivering);
    });
    return idle ? ODSIM_DELIVERED : ODSIM_TIMED_OUT;
  });
}

ODSIM_API int ODSIM_PostTrace(ODSTK_HANDLE handle, ULONG level, ULONG value, const char* text,
                              const void* data, ULONG length, ULONG timeoutMs) {
  return Guard(ODSIM_NOT_A_LINK, [&] {
    Lock lock(Toolkit().mu);
    std::shared_ptr<Link> link;
    if (int refused = DeliverableLocked(handle, &link)) return refused;
    if (CurrentLinkThread() == link.get()) return ODSIM_ON_LINK_THREAD;
    auto delivery = QueueLocked(*link, [=] {
      ODSTK_TRACE_CALLBACK trace;
      {
        Lock inner(Toolkit().mu);
        trace = Toolkit().trace;
      }
      if (trace) trace(level, value, text, data, length);
    });
    return AwaitLocked(lock, *link, delivery, timeoutMs);
  });
}

}  // extern "C"
