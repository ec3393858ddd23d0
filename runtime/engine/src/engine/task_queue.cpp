#include "engine/task_queue.h"

namespace kestrane {

namespace {

// Empties the lists of a list of lists, keeping every list's capacity.
template <typename T>
void clearEach(std::vector<std::vector<T>>& lists) {
  for (auto& list : lists) list.clear();
}

}  // namespace

NPUTask TaskQueue::takeRecord() {
  {
    std::lock_guard lock(recordMutex_);
    if (!records_.empty()) {
      NPUTask task = std::move(records_.back());
      records_.pop_back();
      return task;
    }
  }
  return NPUTask{};
}

void TaskQueue::recycle(NPUTask&& task) {
  if (task.result.pending()) return;  // only finished tasks: its answer still has to come
  // Back to the defaults of a new task; the lists only lose their contents.
  clearEach(task.inputs);
  clearEach(task.outputs);
  task.result = TaskPromise();
  task.seqProduct = 1;
  task.npuOpIndex = 0;
  task.itemCount = 1;
  clearEach(task.inputSeqlens);
  clearEach(task.outputSeqlens);
  task.rmemValues.clear();
  task.memoryFormat = 0x7F;
  task.coreMode = CoreMode::Error;
  task.cores.clear();
  task.supplementary = 0;
  task.supplementaryIndex = 0;
  task.supplementaryRmemValues.clear();
  std::lock_guard lock(recordMutex_);
  if (records_.size() < kKeptRecords) records_.push_back(std::move(task));
}

}  // namespace kestrane
