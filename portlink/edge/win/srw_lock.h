#pragma once
// Scoped holds of a slim reader/writer lock: shared for reading, exclusive for writing.
#include <windows.h>

namespace portlink {

class SharedLock {
  public:
    explicit SharedLock(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockShared(&lock_); }
    ~SharedLock() { ReleaseSRWLockShared(&lock_); }
    SharedLock(const SharedLock &) = delete;
    SharedLock &operator=(const SharedLock &) = delete;

  private:
    SRWLOCK &lock_;
};

class ExclusiveLock {
  public:
    explicit ExclusiveLock(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;

  private:
    SRWLOCK &lock_;
};

} // namespace portlink
