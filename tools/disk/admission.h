// Admission of requests on one Disk shared by several threads (the mount's
// workers, the NBD server's). The driver's admission gate refuses, rather
// than queues, a request that conflicts with one in progress on the handle;
// a server admits its requests itself first, with a lock of the same shape:
// reads and queries shared, everything that changes the disk exclusive, and
// a waiting writer holds back new readers so that reads cannot starve it.
// Threads then wait on the lock instead of being refused and retrying, and
// the disk layer's busy retry is left for refusals that come from elsewhere.
#pragma once

#include <pthread.h>

namespace dorvane {

class Admission {
 public:
  Admission() {
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attributes);
    pthread_rwlockattr_destroy(&attributes);
  }
  ~Admission() { pthread_rwlock_destroy(&lock_); }
  Admission(const Admission &) = delete;
  Admission &operator=(const Admission &) = delete;

  // Held for the life of the object.
  class Held {
   public:
    Held(pthread_rwlock_t *lock, bool exclusive) : lock_(lock) {
      if (exclusive) {
        pthread_rwlock_wrlock(lock_);
      } else {
        pthread_rwlock_rdlock(lock_);
      }
    }
    ~Held() { pthread_rwlock_unlock(lock_); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

   private:
    pthread_rwlock_t *lock_;
  };

  Held Shared() { return Held(&lock_, false); }
  Held Exclusive() { return Held(&lock_, true); }

 private:
  pthread_rwlock_t lock_;
};

}  // namespace dorvane
