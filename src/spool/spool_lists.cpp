#include "spool/spool_lists.h"

namespace vellomar {

QueueList& TheQueueList() {
  static QueueList list;
  return list;
}

WorkerRegistry& IncomingRegistry() {
  static WorkerRegistry registry;
  return registry;
}

WorkerRegistry& OutgoingRegistry() {
  static WorkerRegistry registry;
  return registry;
}

}  // namespace vellomar
