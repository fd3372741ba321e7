#include "velko/base/cancel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace velko::base {
namespace {

TEST(CancelSignal, CallbacksRunOnceWhenCancelledAndAtOnceWhenLate) {
  auto signal = std::make_shared<CancelSignal>();
  int early = 0;
  int late = 0;
  auto subscription = on_cancel(signal, [&] { ++early; });
  EXPECT_FALSE(is_cancelled(signal));
  EXPECT_NO_THROW(throw_if_cancelled(signal));
  signal->cancel();
  signal->cancel();
  EXPECT_EQ(early, 1);
  EXPECT_TRUE(is_cancelled(signal));
  EXPECT_THROW(throw_if_cancelled(signal), CancelledError);
  auto late_subscription = on_cancel(signal, [&] { ++late; });
  EXPECT_EQ(late, 1);
  // A null signal is never cancelled and takes subscriptions that never fire.
  CancelSignalPtr none;
  EXPECT_FALSE(is_cancelled(none));
  auto nothing = on_cancel(none, [&] { ++late; });
  EXPECT_EQ(late, 1);
}

TEST(CancelSignal, AnUnsubscribedCallbackNeverRunsAndUnsubscribingWaitsForARunningOne) {
  auto signal = std::make_shared<CancelSignal>();
  bool dropped_ran = false;
  {
    auto dropped = on_cancel(signal, [&] { dropped_ran = true; });
  }
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  auto slow = on_cancel(signal, [&] {
    started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished = true;
  });
  std::thread canceller([&] { signal->cancel(); });
  while (!started) std::this_thread::yield();
  slow.reset();  // must wait for the running callback
  EXPECT_TRUE(finished);
  canceller.join();
  EXPECT_FALSE(dropped_ran);
}

TEST(CancelSignal, ConcurrentSubscribersAndCancelEachCallbackRunsExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    auto signal = std::make_shared<CancelSignal>();
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    std::vector<CancelSignal::Subscription> subscriptions(8);
    for (int thread_idx = 0; thread_idx < 8; ++thread_idx) {
      threads.emplace_back([&, thread_idx] { subscriptions[thread_idx] = on_cancel(signal, [&] { ++runs; }); });
    }
    std::thread canceller([&] { signal->cancel(); });
    for (auto& thread : threads) thread.join();
    canceller.join();
    EXPECT_EQ(runs.load(), 8);
  }
}

}  // namespace
}  // namespace velko::base
