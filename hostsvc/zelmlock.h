/*
 * zelmlock.h - the one lock each reference host service keeps around its
 * process-wide state. Statically initialised, so it needs no creation and
 * cannot fail; not re-entrant. Internal to hostsvc.
 */
#ifndef ZELMLOCK_H
#define ZELMLOCK_H

#ifdef _WIN32
#include <windows.h>

typedef SRWLOCK SVCLOCK;
#define SVCLOCK_INIT SRWLOCK_INIT

static inline void SvcLock(SVCLOCK *plck)
{
    AcquireSRWLockExclusive(plck);
}

static inline void SvcUnlock(SVCLOCK *plck)
{
    ReleaseSRWLockExclusive(plck);
}
#else
#include <pthread.h>

typedef pthread_mutex_t SVCLOCK;
#define SVCLOCK_INIT PTHREAD_MUTEX_INITIALIZER

static inline void SvcLock(SVCLOCK *plck)
{
    pthread_mutex_lock(plck);
}

static inline void SvcUnlock(SVCLOCK *plck)
{
    pthread_mutex_unlock(plck);
}
#endif

#endif /* ZELMLOCK_H */
