#pragma once

#include <mutex>

// Clang's thread-safety analysis (-Wthread-safety) checks the lock discipline these
// annotations state; other compilers see plain code. libstdc++'s std::mutex carries no
// annotations, so the analysis needs a mutex and a scoped lock that do.
#if defined(__clang__)
#define ORVANET_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORVANET_THREAD_ANNOTATION(x)
#endif

#define ORVANET_CAPABILITY(name) ORVANET_THREAD_ANNOTATION(capability(name))
#define ORVANET_SCOPED_CAPABILITY ORVANET_THREAD_ANNOTATION(scoped_lockable)
#define ORVANET_GUARDED_BY(m) ORVANET_THREAD_ANNOTATION(guarded_by(m))
#define ORVANET_PT_GUARDED_BY(m) ORVANET_THREAD_ANNOTATION(pt_guarded_by(m))
#define ORVANET_REQUIRES(...) ORVANET_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ORVANET_ACQUIRE(...) ORVANET_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ORVANET_RELEASE(...) ORVANET_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

class ORVANET_CAPABILITY("mutex") AnnotatedMutex {
public:
    void lock() ORVANET_ACQUIRE() { mutex.lock(); }
    void unlock() ORVANET_RELEASE() { mutex.unlock(); }

private:
    std::mutex mutex;
};

// Holds the mutex from construction until unlock() or the end of its scope.
class ORVANET_SCOPED_CAPABILITY AnnotatedLock {
public:
    explicit AnnotatedLock(AnnotatedMutex& mutex) ORVANET_ACQUIRE(mutex) : mutex(mutex) {
        mutex.lock();
    }
    ~AnnotatedLock() ORVANET_RELEASE() {
        if (owned) {
            mutex.unlock();
        }
    }
    AnnotatedLock(const AnnotatedLock&) = delete;
    AnnotatedLock& operator=(const AnnotatedLock&) = delete;

    void unlock() ORVANET_RELEASE() {
        mutex.unlock();
        owned = false;
    }

private:
    AnnotatedMutex& mutex;
    bool owned = true;
};
