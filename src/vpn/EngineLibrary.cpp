#include "vpn/EngineLibrary.h"

#include "log/Format.h"
#include "platform/ModuleFolder.h"
#include "platform/ModuleVersion.h"
#include "platform/Utf8.h"

#include <windows.h>

#include <string>

EngineLibrary loadEngineLibrary(const wchar_t* fileName) {
    EngineLibrary engine;
    const std::string name = toUtf8(fileName, InvalidText::Replace).value_or("");
    // Flags 0: the search the process pinned, as the calls' own binding will use.
    engine.module.reset(LoadLibraryExW(fileName, nullptr, 0));
    if (!engine.module) {
        engine.result =
            OperationResult::failure(orvanet::format("{} could not be loaded (error {}); {}", name,
                                                     GetLastError(), supportedEngineReleases));
        return engine;
    }
    const std::string path =
        toUtf8(modulePath(engine.module.get()).native(), InvalidText::Replace).value_or(name);
    std::string missing;
    for (const char* exported : engineExports) {
        if (GetProcAddress(engine.module.get(), exported) == nullptr) {
            missing += (missing.empty() ? "" : ", ") + std::string(exported);
        }
    }
    if (!missing.empty()) {
        engine.module.reset();
        engine.result = OperationResult::failure(
            orvanet::format("{} lacks {}; {}", path, missing, supportedEngineReleases));
        return engine;
    }
    const std::string version = moduleVersion(engine.module.get());
    engine.found =
        orvanet::format("{} from {}", version.empty() ? "(no version information)" : version, path);
    engine.result = OperationResult::ok();
    return engine;
}
