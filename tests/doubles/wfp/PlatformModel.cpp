#include "PlatformModel.h"

namespace wfpdouble {
namespace {

const Answer unknownEngine{status::invalidHandle, "unknown engine handle"};

} // namespace

PlatformModel::PlatformModel(std::uintptr_t firstHandle, UINT64 firstFilterId)
    : nextHandle(firstHandle), nextFilterId(firstFilterId) {}

PlatformModel::Engine* PlatformModel::engineOf(HANDLE handle) {
    auto found = engines.find(handle);
    return found == engines.end() ? nullptr : &found->second;
}

const PlatformModel::Engine* PlatformModel::engineOf(HANDLE handle) const {
    auto found = engines.find(handle);
    return found == engines.end() ? nullptr : &found->second;
}

PlatformModel::Objects& PlatformModel::target(Engine& engine) {
    return engine.inTransaction ? engine.pending : engine.committed;
}

bool PlatformModel::sublayerExists(const std::string& key) const {
    if (seeded.count(key) != 0) {
        return true;
    }
    for (const auto& [handle, engine] : engines) {
        if (engine.pending.sublayers.count(key) != 0 ||
            engine.committed.sublayers.count(key) != 0) {
            return true;
        }
    }
    return false;
}

HANDLE PlatformModel::openEngine() {
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle);
    nextHandle += 4;
    engines[handle] = Engine{};
    return handle;
}

Answer PlatformModel::closeEngine(HANDLE engine) {
    // A dynamic session takes every object it added with it, and an open transaction ends.
    return engines.erase(engine) == 1 ? Answer{} : unknownEngine;
}

Answer PlatformModel::beginTransaction(HANDLE handle) {
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return unknownEngine;
    }
    if (engine->inTransaction) {
        return {status::transactionInProgress, "a transaction is already open"};
    }
    engine->inTransaction = true;
    engine->addedInTransaction = 0;
    return {};
}

Answer PlatformModel::endTransaction(HANDLE handle, bool commit) {
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return unknownEngine;
    }
    if (!engine->inTransaction) {
        return {status::noTransaction, "no transaction open"};
    }
    if (commit) {
        engine->committed.filters.merge(engine->pending.filters);
        engine->committed.sublayers.merge(engine->pending.sublayers);
    }
    engine->pending = Objects{};
    engine->inTransaction = false;
    return {};
}

Answer PlatformModel::addSublayer(HANDLE handle, const GUID& key) {
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return unknownEngine;
    }
    const std::string text = guidText(key);
    if (sublayerExists(text)) {
        return {status::alreadyExists, "sublayer " + text + " exists"};
    }
    target(*engine).sublayers.insert(text);
    return {};
}

Answer PlatformModel::deleteSublayer(HANDLE handle, const GUID& key) {
    if (engineOf(handle) == nullptr) {
        return unknownEngine;
    }
    const std::string text = guidText(key);
    // Filters are objects that reference their sublayer: the platform keeps the sublayer
    // while one is left, committed or pending in any session.
    if (sublayerHoldsFilters(text)) {
        return {status::inUse, "filters still in sublayer " + text};
    }
    if (seeded.erase(text) == 1) {
        return {};
    }
    for (auto& [h, engine] : engines) {
        if (engine.committed.sublayers.erase(text) == 1 ||
            engine.pending.sublayers.erase(text) == 1) {
            return {};
        }
    }
    return {status::sublayerNotFound, "sublayer " + text + " does not exist"};
}

Answer PlatformModel::addFilter(HANDLE handle, const Filter& filter, UINT64& id) {
    Engine* engine = engineOf(handle);
    if (engine == nullptr) {
        return unknownEngine;
    }
    const std::string key = guidText(filter.subLayerKey);
    if (!sublayerVisibleTo(handle, key)) {
        return {status::sublayerNotFound, "the filter's sublayer " + key + " does not exist"};
    }
    id = nextFilterId++;
    target(*engine).filters[id] = FilterEntry{filter, key};
    if (engine->inTransaction) {
        ++engine->addedInTransaction;
    }
    return {};
}

Answer PlatformModel::deleteFilter(HANDLE handle, UINT64 id) {
    if (engineOf(handle) == nullptr) {
        return unknownEngine;
    }
    for (auto& [h, engine] : engines) {
        if (engine.committed.filters.erase(id) == 1 || engine.pending.filters.erase(id) == 1) {
            return {};
        }
    }
    return {status::filterNotFound, "no filter " + std::to_string(id)};
}

void PlatformModel::seedSublayer(const GUID& key) {
    seeded.insert(guidText(key));
}

bool PlatformModel::inTransaction(HANDLE handle) const {
    const Engine* engine = engineOf(handle);
    return engine != nullptr && engine->inTransaction;
}

int PlatformModel::addedInTransaction(HANDLE handle) const {
    const Engine* engine = engineOf(handle);
    return engine == nullptr ? 0 : engine->addedInTransaction;
}

bool PlatformModel::sublayerVisibleTo(HANDLE handle, const std::string& key) const {
    const Engine* own = engineOf(handle);
    if (own != nullptr && own->pending.sublayers.count(key) != 0) {
        return true;
    }
    if (seeded.count(key) != 0) {
        return true;
    }
    for (const auto& [h, engine] : engines) {
        if (engine.committed.sublayers.count(key) != 0) {
            return true;
        }
    }
    return false;
}

bool PlatformModel::sublayerHoldsFilters(const std::string& key) const {
    for (const auto& [h, engine] : engines) {
        for (const Objects* objects : {&engine.committed, &engine.pending}) {
            for (const auto& [id, filter] : objects->filters) {
                if (filter.sublayer == key) {
                    return true;
                }
            }
        }
    }
    return false;
}

std::size_t PlatformModel::openTransactions() const {
    std::size_t open = 0;
    for (const auto& [handle, engine] : engines) {
        open += engine.inTransaction ? 1 : 0;
    }
    return open;
}

std::map<UINT64, std::wstring> PlatformModel::liveFilters() const {
    std::map<UINT64, std::wstring> live;
    for (const auto& [handle, engine] : engines) {
        for (const Objects* objects : {&engine.committed, &engine.pending}) {
            for (const auto& [id, filter] : objects->filters) {
                live[id] = filter.filter.name.value_or(L"");
            }
        }
    }
    return live;
}

std::map<UINT64, Filter> PlatformModel::committedById() const {
    std::map<UINT64, Filter> committed;
    for (const auto& [handle, engine] : engines) {
        for (const auto& [id, entry] : engine.committed.filters) {
            committed.emplace(id, entry.filter);
        }
    }
    return committed;
}

std::vector<Filter> PlatformModel::committedFilters() const {
    std::vector<Filter> filters;
    for (auto& [id, filter] : committedById()) {
        filters.push_back(std::move(filter));
    }
    return filters;
}

std::set<std::string> PlatformModel::liveSublayers() const {
    std::set<std::string> live = seeded;
    for (const auto& [handle, engine] : engines) {
        live.insert(engine.pending.sublayers.begin(), engine.pending.sublayers.end());
        live.insert(engine.committed.sublayers.begin(), engine.committed.sublayers.end());
    }
    return live;
}

} // namespace wfpdouble
