// The pieces a task crosses threads with: the ring the queues keep items in,
// the caller's answer and the task's promise, and the task records the
// queue hands back for reuse.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "engine/order_set.h"
#include "engine/ring_deque.h"
#include "engine/task_answer.h"
#include "engine/task_queue.h"

namespace kestrane::test {
namespace {

// Pushes at both ends across the wrap and through growth keep the order a
// deque would have.
TEST(RingDequeTest, KeepsDequeOrderAcrossWrapAndGrowth) {
  RingDeque<int> ring;
  std::vector<int> expected;  // front first
  int next = 0;
  for (int round = 0; round < 40; ++round) {
    // Mostly at the back, now and then at the front, taking some out.
    if (round % 3 == 0) {
      ring.push_front(int{next});
      expected.insert(expected.begin(), next++);
    }
    ring.push_back(int{next});
    expected.push_back(next++);
    if (round % 2 == 1) {
      ASSERT_EQ(ring.front(), expected.front());
      ring.pop_front();
      expected.erase(expected.begin());
    }
    ASSERT_EQ(ring.size(), expected.size());
  }
  std::vector<int> drained{-1};
  ring.drainInto(drained);
  drained.erase(drained.begin());
  EXPECT_EQ(drained, expected);
  EXPECT_TRUE(ring.empty());
}

TEST(OrderSetTest, KeepsTheLowestOfOrdersComingAndGoing) {
  OrderSet set;
  for (uint64_t order : {7u, 3u, 9u, 3u}) set.insert(order);
  EXPECT_EQ(set.lowest(), 3u);
  set.erase(3);
  EXPECT_EQ(set.lowest(), 7u);
  set.erase(8);  // never there
  set.erase(7);
  set.erase(9);
  EXPECT_TRUE(set.empty());
}

// The answer of each way a task ends reaches a caller blocked on it in
// another thread: true, false, and false for a task dropped unanswered.
TEST(TaskAnswerTest, EveryEndOfATaskReachesTheWaitingCaller) {
  enum class End { Succeeds, Fails, Dropped };
  for (End end : {End::Succeeds, End::Fails, End::Dropped}) {
    TaskAnswer answer;
    auto task = std::make_unique<NPUTask>();
    task->result = TaskPromise(answer);
    std::thread engine([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the caller blocks first
      if (end == End::Dropped) task.reset();
      else task->result.set_value(end == End::Succeeds);
    });
    EXPECT_EQ(answer.wait(), end == End::Succeeds);
    engine.join();
    // Only the first answer counts.
    if (task) task->result.set_value(end != End::Succeeds);
    EXPECT_EQ(answer.wait(), end == End::Succeeds);
  }
}

// Inside a held scope the answer is there at once for a caller that looks;
// a caller that blocked is woken when the scope ends, its wake not lost
// (the answer may be gone by then: only its address is woken).
TEST(TaskAnswerTest, HeldWakesReachTheCallerWhenTheScopeEnds) {
  for (int answers : {1, 6}) {  // more than a scope holds: the rest wake at once
    std::vector<std::unique_ptr<TaskAnswer>> waiting;
    for (int i = 0; i < answers; ++i) waiting.push_back(std::make_unique<TaskAnswer>());
    std::vector<std::thread> callers;
    for (auto& answer : waiting) callers.emplace_back([&answer] { EXPECT_TRUE(answer->wait()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the callers block first
    {
      const HeldAnswerWakes held;
      for (auto& answer : waiting) {
        TaskPromise(*answer).set_value(true);
        EXPECT_TRUE(answer->ready());
      }
    }
    for (auto& caller : callers) caller.join();
  }
}

// A future asked for after the engine answered still gets the value; a
// promise assigned over an unanswered one answers that one false.
TEST(TaskPromiseTest, FuturesAfterTheAnswerAndReplacedPromises) {
  TaskPromise answered;
  answered.set_value(true);
  EXPECT_TRUE(answered.get_future().get());
  TaskPromise replaced;
  auto dropped = replaced.get_future();
  replaced = TaskPromise();
  EXPECT_FALSE(dropped.get());
}

// Finished records come back with every field at its default and their
// lists empty; records still waiting for their answer are not taken; the
// queue keeps at most kKeptRecords.
TEST(TaskQueueTest, RecyclesFinishedRecordsOnly) {
  auto queue = std::make_unique<TaskQueue>();  // on the heap, as in the other queue tests
  NPUTask finished;
  finished.inputs = {{Buffer{nullptr, 64}}, {Buffer{nullptr, 8}}};
  finished.outputs = {{Buffer{nullptr, 16}}};
  finished.inputSeqlens = {{2, 1, 1}};
  finished.rmemValues = {5};
  finished.cores = {{Cluster::Cluster0, Core::Core0}};
  finished.npuOpIndex = 3;
  finished.itemCount = 4;
  finished.coreMode = CoreMode::Multi;
  finished.supplementary = 1;
  finished.result.set_value(true);
  queue->recycle(std::move(finished));
  NPUTask unanswered;
  auto future = unanswered.result.get_future();
  queue->recycle(std::move(unanswered));  // left alone: it still answers when it goes

  NPUTask record = queue->takeRecord();
  EXPECT_EQ(record.inputs.size(), 2u);  // the lists stay, empty
  for (const auto& list : record.inputs) EXPECT_TRUE(list.empty());
  EXPECT_TRUE(record.outputs[0].empty());
  EXPECT_TRUE(record.inputSeqlens[0].empty());
  EXPECT_TRUE(record.rmemValues.empty());
  EXPECT_TRUE(record.cores.empty());
  EXPECT_EQ(record.npuOpIndex, 0);
  EXPECT_EQ(record.itemCount, 1);
  EXPECT_EQ(record.coreMode, CoreMode::Error);
  EXPECT_EQ(record.supplementary, 0);
  EXPECT_EQ(record.memoryFormat, 0x7F);
  EXPECT_TRUE(record.result.pending());
  EXPECT_TRUE(queue->takeRecord().inputs.empty());  // none kept: a new one

  for (size_t i = 0; i < TaskQueue::kKeptRecords + 5; ++i) {
    NPUTask done;
    done.inputs = {{Buffer{nullptr, 1}}};
    done.result.set_value(true);
    queue->recycle(std::move(done));
  }
  size_t kept = 0;
  while (!queue->takeRecord().inputs.empty()) ++kept;
  EXPECT_EQ(kept, TaskQueue::kKeptRecords);
  unanswered = NPUTask{};
  EXPECT_FALSE(future.get());
}

}  // namespace
}  // namespace kestrane::test
