#pragma once

#include <string>

// The outcome of an operation of the VPN session or the DNS isolation: an empty error
// on success, a human-readable text otherwise.
struct OperationResult {
    std::string error;
    bool success = false;

    static OperationResult ok() { return {std::string(), true}; }
    static OperationResult failure(std::string text) { return {std::move(text), false}; }
};
