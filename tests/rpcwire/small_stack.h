#ifndef TESTS_RPCWIRE_SMALL_STACK_H
#define TESTS_RPCWIRE_SMALL_STACK_H

#include <cstddef>
#include <functional>

namespace rpcwire_test {

// A thread stack no bigger than a server's connection threads get, so a
// parser that recursed with input depth would crash the test.
constexpr std::size_t kSmallStackBytes = 256 * 1024;

// Runs `work` to completion on a new thread with a kSmallStackBytes stack.
void runOnSmallStack(const std::function<void()>& work);

}  // namespace rpcwire_test

#endif  // TESTS_RPCWIRE_SMALL_STACK_H
