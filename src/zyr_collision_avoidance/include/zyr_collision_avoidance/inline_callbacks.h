// A callback queue that runs each callback at once, in the thread that
// received the message, instead of queueing it for the spin thread: for
// subscribers whose callbacks only note a time, a few numbers or a transform,
// where waking a second thread for each of hundreds of messages a second would
// cost more than the callbacks themselves. The callbacks must be thread-safe
// against the spin thread.
#ifndef ZYR_COLLISION_AVOIDANCE_INLINE_CALLBACKS_H
#define ZYR_COLLISION_AVOIDANCE_INLINE_CALLBACKS_H

#include <ros/callback_queue_interface.h>

#include <cstdint>

class InlineCallbacks : public ros::CallbackQueueInterface
{
public:
  void addCallback(const ros::CallbackInterfacePtr& callback, uint64_t /*owner_id*/) override
  {
    callback->call();
  }
  void removeByID(uint64_t /*owner_id*/) override {}
};

#endif  // ZYR_COLLISION_AVOIDANCE_INLINE_CALLBACKS_H
