#pragma once

#include "WfpRecord.h"

#include <windows.h>
#include <fwpmu.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// The committed filters as lines of text, one a filter, and back. The stand-in in the
// service's process writes them beside itself; the stand-in a problem report's collector
// loads answers its enumeration from them, since the model lives in the service's process.
std::string filterListing(const std::map<UINT64, wfpdouble::Filter>& filters);

// What one enumeration hands out: the FWPM_FILTER0 structures and everything they point to,
// in one owner, which FwpmFreeMemory0 releases as a whole.
struct FilterBlock {
    std::vector<FWPM_FILTER0> filters;
    std::vector<FWPM_FILTER0*> entries;
    std::vector<std::vector<FWPM_FILTER_CONDITION0>> conditions;
    std::vector<std::wstring> names;
    std::vector<UINT64> weights;
};

// The listed filters at `layer`; lines that do not read are left out.
std::unique_ptr<FilterBlock> filtersAt(const std::string& listing, const GUID& layer);
