#ifndef GW_METHODS_DETACHED_WORKER_H_
#define GW_METHODS_DETACHED_WORKER_H_

#include <functional>

namespace FINS {
namespace METHOD {

// Runs `work` on a detached thread of its own, for the methods that answer
// the client before the engine call behind them ends ("connect",
// "disconnect", "addMapping", "removeMapping").
//
// Whatever `work` throws is logged at ERROR with `methodName` (the wire name
// of the method; it must live as long as the process, as a string literal
// does) and dropped: an exception leaving a thread would end the
// whole daemon and cut off every other client.
//
// Throws std::system_error, without running `work`, when no thread can be
// started; the request that asked for the work then fails instead.
void startDetachedWorker(const char* methodName, std::function<void()> work);

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_DETACHED_WORKER_H_
