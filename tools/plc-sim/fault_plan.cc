#include "tools/plc-sim/fault_plan.h"

#include <algorithm>
#include <utility>

namespace plcsim {

void FaultPlan::fail(uint16_t end_code, int count) {
  fail_code_ = end_code;
  fail_count_ = std::max(count, 0);
}

void FaultPlan::wrongSid(int count) { wrong_sid_count_ = std::max(count, 0); }

void FaultPlan::delay(std::chrono::milliseconds delay, int count) {
  delay_ = delay;
  delay_count_ = std::max(count, 0);
}

void FaultPlan::ignore(int count) { ignore_count_ = std::max(count, 0); }

void FaultPlan::drop(int count) { drop_count_ = std::max(count, 0); }

void FaultPlan::raw(std::vector<uint8_t> bytes) { raw_.push_back(std::move(bytes)); }

void FaultPlan::clear() {
  fail_count_ = wrong_sid_count_ = delay_count_ = ignore_count_ = drop_count_ = 0;
  raw_.clear();
}

FrameFault FaultPlan::take() {
  FrameFault f;
  if (drop_count_ > 0) {
    --drop_count_;
    f.action = FrameFault::Action::kDrop;
    return f;
  }
  if (ignore_count_ > 0) {
    --ignore_count_;
    f.action = FrameFault::Action::kIgnore;
    return f;
  }
  if (!raw_.empty()) {
    f.action = FrameFault::Action::kRaw;
    f.raw = std::move(raw_.front());
    raw_.pop_front();
    return f;
  }
  if (delay_count_ > 0) {
    --delay_count_;
    f.delay = delay_;
  }
  if (fail_count_ > 0) {
    --fail_count_;
    f.fail = true;
    f.fail_code = fail_code_;
  }
  if (wrong_sid_count_ > 0) {
    --wrong_sid_count_;
    f.wrong_sid = true;
  }
  return f;
}

}  // namespace plcsim
