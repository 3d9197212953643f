#ifndef GW_METHODS_ENGINE_WORK_QUEUE_H_
#define GW_METHODS_ENGINE_WORK_QUEUE_H_

#include <cstddef>
#include <functional>

namespace FINS {
namespace METHOD {

// Requests that the engine applies at most this many behind the one it is
// running; a client that sends more while the engine is stalled gets a
// fault for each surplus request instead of a thread or queue entry.
constexpr std::size_t kMaxQueuedEngineWork = 1024;

// Queues `work` for the one engine worker thread, for the methods that
// answer the client before the engine call behind them ends ("connect",
// "disconnect", "addMapping", "removeMapping"). Work runs one item at a
// time in the order it was queued, whichever client thread queued it, so
// an addMapping followed by a removeMapping of the same name always ends
// with the mapping gone.
//
// Whatever `work` throws is logged at ERROR with `methodName` (the wire name
// of the method; it must live as long as the process, as a string literal
// does) and dropped: the worker goes on with the next item.
//
// Throws std::runtime_error, queueing nothing, when kMaxQueuedEngineWork
// items are already waiting; std::system_error when the worker thread
// cannot be started. The request that asked for the work then fails.
void queueEngineWork(const char* methodName, std::function<void()> work);

// Returns once every item queued before the call has run. For callers that
// must know the engine applied what they asked (tests, an orderly stop).
void flushEngineWork();

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_ENGINE_WORK_QUEUE_H_
