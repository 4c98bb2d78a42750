#pragma once

#include <windows.h>

// Replaces ConnectNamedPipe and CreateNamedPipeW at link time (through their import
// pointers) with counting calls into the real functions; a connect can be made to fail once.
// Linked into a test executable as a source file, so that it takes precedence over the
// import library.
namespace connectdouble {

void reset();
// The next ConnectNamedPipe fails at once with this error, without touching the instance.
void failNextConnect(DWORD error);
int connectCalls();
int failedConnects();
int instancesCreated();

} // namespace connectdouble
