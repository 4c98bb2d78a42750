#pragma once

#include <windows.h>

#include <atomic>

inline constexpr char kServiceName[] = "Orvanet";

extern SERVICE_STATUS_HANDLE g_statusHandle;
extern SERVICE_STATUS g_serviceStatus;
extern std::atomic<bool> g_running;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
void WINAPI ServiceCtrlHandler(DWORD control);

void reportServiceStatus(DWORD state, DWORD exitCode);
void reportStartPending();
// One more STOP_PENDING checkpoint, sent while a long shut-down is still making progress.
void reportStopProgress();
void cleanupWinsock();
