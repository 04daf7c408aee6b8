#include "hosting/restart_budget.h"

#include <algorithm>

namespace pubsdk {

void RestartBudget::CountRestart(uint32_t now_tick, int64_t today) {
  if (static_cast<uint32_t>(now_tick - last_tick_) <= window_ms_) ++count_;
  last_tick_ = now_tick;
  if (count_ >= budget_) refused_ = true;
  if (today != day_) {
    refused_ = false;
    count_ = 0;
    day_ = today;
  }
}

int64_t RestartBackoff::DelayAfterEnd(int64_t up_ms) {
  if (up_ms >= reset_ms_) quick_ends_ = 0;
  int64_t delay = 0;
  if (quick_ends_ > 0 && first_ms_ > 0) {
    delay = first_ms_;
    for (int i = 1; i < quick_ends_ && delay < max_ms_; ++i) delay *= 2;
    delay = std::min(delay, max_ms_);
  }
  if (quick_ends_ < INT32_MAX) ++quick_ends_;
  return delay;
}

}  // namespace pubsdk
