#pragma once

#include <windows.h>

#include <utility>

// Owns one kernel handle and closes it on every path.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE owned) : value(owned) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : value(std::exchange(other.value, nullptr)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            value = std::exchange(other.value, nullptr);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE get() const { return value; }
    explicit operator bool() const { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    void reset() {
        if (*this) {
            CloseHandle(value);
        }
        value = nullptr;
    }

private:
    HANDLE value = nullptr;
};
