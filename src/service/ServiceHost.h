#pragma once

#include "platform/DllSearch.h"

#include <windows.h>

#include <atomic>
#include <chrono>

inline constexpr char kServiceName[] = "Orvanet";

extern SERVICE_STATUS_HANDLE g_statusHandle;
extern SERVICE_STATUS g_serviceStatus;
extern std::atomic<bool> g_running;
// What main's pinning of the library search left undone, logged at start.
extern DllSearchPin g_dllSearchPin;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

void reportServiceStatus(DWORD state, DWORD exitCode);
// The record filled for a new start (no STOP asked yet) and its first START_PENDING report.
void reportFirstStartPending();
void reportStartPending();
// One more STOP_PENDING checkpoint, sent while a long shut-down is still making progress.
void reportStopProgress();
void cleanupWinsock();

// The longest the service main thread goes without looking at g_running while it runs.
inline constexpr std::chrono::milliseconds kStopRecheck{1000};

// The end of the start-up: sets g_running and reports RUNNING, with the event that lets a
// STOP wake the service main thread. False when a STOP came during the start-up: then
// nothing is reported and the caller goes straight to the shut-down.
bool reportRunning();
// Returns once the STOP handler has cleared g_running: woken by the handler, and looking
// at the flag again at least every `recheck` whatever happens to the wake-up.
void waitForStop(std::chrono::milliseconds recheck);
// From "Service shutting down..." to the STOPPED report; a shut-down that outlasts
// kShutdownBound ends the process instead.
void shutDownService();
