#pragma once

#include "platform/Owners.h"

#include <filesystem>
#include <initializer_list>
#include <string>

// Starts `program` with each argument quoted; the process's handle, or none (with the
// platform's error left for GetLastError) when it cannot be started.
UniqueHandle startChild(const std::filesystem::path& program,
                        std::initializer_list<std::wstring> arguments);
