#include "hosting/restart_budget.h"

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

}  // namespace pubsdk
