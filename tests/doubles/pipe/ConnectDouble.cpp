#include "ConnectDouble.h"

#include <atomic>

namespace {

std::atomic<DWORD> g_failWith{0};
std::atomic<int> g_connects{0};
std::atomic<int> g_failed{0};
std::atomic<int> g_created{0};

template <typename Function>
Function real(const char* name) {
    static const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

BOOL WINAPI connectNamedPipe(HANDLE instance, LPOVERLAPPED overlapped) {
    ++g_connects;
    if (const DWORD error = g_failWith.exchange(0); error != 0) {
        ++g_failed;
        SetLastError(error);
        return FALSE;
    }
    static const auto function = real<decltype(&ConnectNamedPipe)>("ConnectNamedPipe");
    return function(instance, overlapped);
}

HANDLE WINAPI createNamedPipeW(LPCWSTR name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                               DWORD outSize, DWORD inSize, DWORD timeout,
                               LPSECURITY_ATTRIBUTES attributes) {
    ++g_created;
    static const auto function = real<decltype(&CreateNamedPipeW)>("CreateNamedPipeW");
    return function(name, openMode, pipeMode, maxInstances, outSize, inSize, timeout, attributes);
}

} // namespace

// The import pointers the callers go through; defined here, they win over kernel32's.
extern "C" {
decltype(&ConnectNamedPipe) __imp_ConnectNamedPipe = &connectNamedPipe;
decltype(&CreateNamedPipeW) __imp_CreateNamedPipeW = &createNamedPipeW;
}

namespace connectdouble {

void reset() {
    g_failWith = 0;
    g_connects = 0;
    g_failed = 0;
    g_created = 0;
}

void failNextConnect(DWORD error) {
    g_failWith = error;
}

int connectCalls() {
    return g_connects;
}

int failedConnects() {
    return g_failed;
}

int instancesCreated() {
    return g_created;
}

} // namespace connectdouble
