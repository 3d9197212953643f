// The misbehaviour a test has asked for, handed out one frame at a time.

#ifndef TOOLS_PLC_SIM_FAULT_PLAN_H_
#define TOOLS_PLC_SIM_FAULT_PLAN_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace plcsim {

// What to do with one received frame instead of (or on top of) answering it.
struct FrameFault {
  enum class Action { kAnswer, kDrop, kIgnore, kRaw };
  Action action = Action::kAnswer;
  std::vector<uint8_t> raw;  // kRaw: the bytes to send
  std::chrono::milliseconds delay{0};
  bool fail = false;
  uint16_t fail_code = 0;
  bool wrong_sid = false;
};

// Not thread-safe: the simulator keeps it under its mutex.
class FaultPlan {
 public:
  FaultPlan() = default;
  FaultPlan(const FaultPlan&) = delete;
  FaultPlan& operator=(const FaultPlan&) = delete;

  void fail(uint16_t end_code, int count);
  void wrongSid(int count);
  void delay(std::chrono::milliseconds delay, int count);
  void ignore(int count);
  void drop(int count);
  void raw(std::vector<uint8_t> bytes);
  void clear();

  // The fault for the next frame, using up what it takes. Drop, ignore and
  // a raw reply each replace the answer on their own; a delay, a failing
  // end code and a wrong SID combine.
  FrameFault take();

 private:
  int fail_count_ = 0;
  uint16_t fail_code_ = 0;
  int wrong_sid_count_ = 0;
  int delay_count_ = 0;
  std::chrono::milliseconds delay_{0};
  int ignore_count_ = 0;
  int drop_count_ = 0;
  std::deque<std::vector<uint8_t>> raw_;
};

}  // namespace plcsim

#endif  // TOOLS_PLC_SIM_FAULT_PLAN_H_
