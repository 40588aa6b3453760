// A mutex and a condition variable on pthreads directly, as small as the layer needs them: the
// library links no C++ runtime, which std::mutex and std::condition_variable would bring back.
#pragma once

#include <pthread.h>

namespace kernel_stand_in {

class Lock {
  public:
    // Initialized statically, so a global lock is ready before any constructor runs. It is never
    // destroyed: another thread may still hold a global one while the process exits, and a
    // default mutex owns nothing to give back.
    Lock() = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    friend class Locked;
    friend class Condition;
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

// Holds a lock for its scope; code inside may let it go for a while and take it again.
class Locked {
  public:
    explicit Locked(Lock& lock) : lock_(lock) { relock(); }
    ~Locked() {
        if (held_) unlock();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    void unlock() {
        held_ = false;
        pthread_mutex_unlock(&lock_.mutex_);
    }
    void relock() {
        pthread_mutex_lock(&lock_.mutex_);
        held_ = true;
    }

  private:
    friend class Condition;
    Lock& lock_;
    bool held_ = false;
};

class Condition {
  public:
    Condition() = default;
    // Nobody may be waiting any more.
    ~Condition() { pthread_cond_destroy(&condition_); }
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Lets the held lock go until woken, and takes it again before returning. Wake-ups may be
    // spurious: callers wait in a loop on their own condition.
    void wait(Locked& hold) { pthread_cond_wait(&condition_, &hold.lock_.mutex_); }
    void wakeOne() { pthread_cond_signal(&condition_); }
    void wakeAll() { pthread_cond_broadcast(&condition_); }

  private:
    pthread_cond_t condition_ = PTHREAD_COND_INITIALIZER;
};

}  // namespace kernel_stand_in
