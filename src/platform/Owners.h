#pragma once

#include <windows.h>

#include <utility>

// Owners of what the platform hands out, one template and one line of traits per kind:
// each closes its value once, with the one call that kind needs, and treats whatever the
// creating calls use to report failure as "none".
template <typename Traits>
class Owner {
public:
    using Value = typename Traits::Value;

    Owner() = default;
    explicit Owner(Value owned) : value(owned) {}
    ~Owner() { reset(); }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    Owner(Owner&& other) noexcept : value(std::exchange(other.value, Value{})) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.value, Value{}));
        }
        return *this;
    }

    Value get() const { return value; }
    // Handed over to whoever keeps it for the process's life.
    Value release() { return std::exchange(value, Value{}); }
    explicit operator bool() const { return Traits::holds(value); }

    void reset(Value owned = Value{}) {
        if (Traits::holds(value)) {
            Traits::close(value);
        }
        value = owned;
    }

private:
    Value value{};
};

struct KernelHandleTraits {
    using Value = HANDLE;
    // Some creating calls report failure with null, others with INVALID_HANDLE_VALUE.
    static bool holds(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { CloseHandle(h); }
};

// Memory that the system hands out for LocalFree (ACLs, security descriptors).
struct LocalMemoryTraits {
    using Value = void*;
    static bool holds(void* p) { return p != nullptr; }
    static void close(void* p) { LocalFree(p); }
};

// A handle of the Service Control Manager, which CloseHandle does not close.
struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static bool holds(SC_HANDLE h) { return h != nullptr; }
    static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};

// A SID from AllocateAndInitializeSid, which only FreeSid may release.
struct AllocatedSidTraits {
    using Value = PSID;
    static bool holds(PSID p) { return p != nullptr; }
    static void close(PSID p) { FreeSid(p); }
};

// A directory search of FindFirstFileExW, which only FindClose ends.
struct FindHandleTraits {
    using Value = HANDLE;
    static bool holds(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(HANDLE h) { FindClose(h); }
};

// A library loaded by LoadLibrary, released with FreeLibrary.
struct ModuleTraits {
    using Value = HMODULE;
    static bool holds(HMODULE h) { return h != nullptr; }
    static void close(HMODULE h) { FreeLibrary(h); }
};

// A source of the Event Log from RegisterEventSourceW, which DeregisterEventSource ends.
struct EventSourceTraits {
    using Value = HANDLE;
    static bool holds(HANDLE h) { return h != nullptr; }
    static void close(HANDLE h) { DeregisterEventSource(h); }
};

using UniqueHandle = Owner<KernelHandleTraits>;
using UniqueModule = Owner<ModuleTraits>;
using FindHandle = Owner<FindHandleTraits>;
using LocalMemory = Owner<LocalMemoryTraits>;
using ServiceHandle = Owner<ServiceHandleTraits>;
using AllocatedSid = Owner<AllocatedSidTraits>;
using EventSource = Owner<EventSourceTraits>;
