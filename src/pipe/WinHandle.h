#pragma once

#include <windows.h>

#include <utility>

// Owns a kernel handle and closes it once. Both null and INVALID_HANDLE_VALUE mean "none",
// since the creating calls use either to report failure.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : value(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : value(std::exchange(other.value, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.value, nullptr));
        }
        return *this;
    }

    HANDLE get() const { return value; }
    explicit operator bool() const { return value != nullptr && value != INVALID_HANDLE_VALUE; }

    void reset(HANDLE handle = nullptr) {
        if (*this) {
            CloseHandle(value);
        }
        value = handle;
    }

private:
    HANDLE value = nullptr;
};

// Memory that the system hands out for LocalFree (ACLs, security descriptors).
class LocalMemory {
public:
    LocalMemory() = default;
    explicit LocalMemory(void* memory) : value(memory) {}
    ~LocalMemory() { reset(); }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;

    void* get() const { return value; }
    explicit operator bool() const { return value != nullptr; }

    void reset(void* memory = nullptr) {
        if (value != nullptr) {
            LocalFree(value);
        }
        value = memory;
    }

private:
    void* value = nullptr;
};
